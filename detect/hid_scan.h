// One detection pass over the HID interfaces present now.
#pragma once

// Writes a "find: " trace line per interface path and classifies each path into the receiver
// counters. Never resets them; failures make the pass yield less, never stop it.
void EnumHidDevices();

// The step of every pass for each interface path: its "find: " trace line (cut at 259
// characters) and its classification (always of the whole path).
void ReportHidInterfacePath(const wchar_t* path);
