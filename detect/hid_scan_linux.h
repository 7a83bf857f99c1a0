// The Linux detection pass, opened up for tests: another sysfs root, and the per-path step.
#pragma once

// One pass over <sysfsRoot>/class/hidraw; EnumHidDevices is this with "/sys".
void EnumHidDevicesUnder(const char* sysfsRoot);

// Writes the "find: " trace line of one interface path (cut at 259 characters) and classifies
// the whole path.
void ReportHidInterfacePath(const wchar_t* path);
