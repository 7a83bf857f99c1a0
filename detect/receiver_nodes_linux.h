// Whether the caller may open the receivers' hidraw nodes, which the pairing tool opens.
#pragma once

#include <cstddef>

// True when the caller can read and write every /dev node (under deviceRoot) of a hidraw
// device in <sysfsRoot>/class/hidraw whose vendor and product the receiver rules name: exactly
// the nodes the kit's udev rule opens. Otherwise false, with the first refused node's path in
// refused. No receiver node at all is true: the tool has nothing to be refused.
bool CanOpenReceiverNodes(const char* sysfsRoot, const char* deviceRoot, char* refused,
                          size_t capacity);
