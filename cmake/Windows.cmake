# The Windows launcher, cross-built with mingw-w64.
