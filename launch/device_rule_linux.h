// The kit's udev rule on Linux: the receivers' hidraw nodes opened to the person at the seat.
#pragma once

#include "device_rules.h"

#include <cstddef>

// The kit's copy of the rule, beside the launcher; also the name an administrator installs it by.
constexpr const wchar_t* kDeviceRuleFile = L"70-tamsu-receivers.rules";
constexpr const char* kDeviceRuleFileName = "70-tamsu-receivers.rules";

// Room for the rule's text: its comment and a line for each pair the rules can name.
constexpr size_t kDeviceRuleBytes = 256 + kMaxReceiverUsbIds * 128;

// Formats the rules file into out: one line per USB vendor and product pair of the receiver
// rules, each matching only the hidraw nodes of a USB device with that pair, and tagging them
// "uaccess", so that logind gives the person at the seat read and write access to them. The
// file name sorts before systemd's 73-seat-late.rules, which acts on the tag. False when cut.
bool FormatDeviceRule(char* out, size_t capacity);

// Writes that text to fd.
void WriteDeviceRule(int fd);

// True when folder holds the rules file as a regular file (not a link, nor anything that could
// block a read) with exactly the text FormatDeviceRule writes.
bool FolderHoldsDeviceRule(const char* folder);

// True when udev applies the launcher's own rule: of its rules folders, the first that holds a
// file of that name (which hides one of the same name in the folders after it) holds that one.
bool IsDeviceRuleInstalled();
