// The kit's udev rule on Linux: the receivers' hidraw nodes opened to the person at the seat.
#pragma once

// The kit's copy of the rule, beside the launcher; also the name an administrator installs it by.
constexpr const wchar_t* kDeviceRuleFile = L"70-tamsu-receivers.rules";

// Writes the rules file to fd: one line per USB vendor and product pair of the receiver rules,
// each matching only the hidraw nodes of a USB device with that pair, and tagging them
// "uaccess", so that logind gives the person at the seat read and write access to them. The
// file name sorts before systemd's 73-seat-late.rules, which acts on the tag.
void WriteDeviceRule(int fd);
