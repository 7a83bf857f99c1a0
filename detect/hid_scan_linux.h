// The Linux detection pass, opened up for tests: another sysfs root.
#pragma once

// One pass over <sysfsRoot>/class/hidraw; EnumHidDevices is this with "/sys".
void EnumHidDevicesUnder(const char* sysfsRoot);

#include <cstdint>

// Attribute files the passes have tried to open, one system call each; tests count them.
extern uint32_t g_dwSysfsOpens;
