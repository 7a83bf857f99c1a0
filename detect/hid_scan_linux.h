// The Linux detection pass, opened up for tests (another sysfs root) and for the check of the
// receivers' nodes, which walks the same list.
#pragma once

#include <cstddef>
#include <cstdint>

// One pass over <sysfsRoot>/class/hidraw; EnumHidDevices is this with "/sys".
void EnumHidDevicesUnder(const char* sysfsRoot);

// The HID device behind the hidraw entry name of the open <sysfs>/class/hidraw directory, as a
// path below the sysfs root ("/devices/..."). False when it cannot be told.
bool ResolveHidDevice(int classFd, const char* name, char* out, size_t capacity);

// Attribute files the passes have tried to open, one system call each; tests count them.
extern uint32_t g_dwSysfsOpens;
