// The Linux detection pass, opened up for tests: another sysfs root.
#pragma once

// One pass over <sysfsRoot>/class/hidraw; EnumHidDevices is this with "/sys".
void EnumHidDevicesUnder(const char* sysfsRoot);
