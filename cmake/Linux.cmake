# The native Linux launcher.
