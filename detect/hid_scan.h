// One detection pass over the HID interfaces present now.
#pragma once

// Writes a "find: " trace line per interface path and classifies each path into the receiver
// counters. Never resets them; failures make the pass yield less, never stop it.
void EnumHidDevices();
