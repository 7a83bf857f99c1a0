// SHA-256 (FIPS 180-4), for the checksum of the launcher's own udev rule that the access
// notice's commands check with sha256sum before installing anything.
#pragma once

#include <cstddef>

// Room for the digest as 64 hex digits and a terminator.
constexpr size_t kSha256HexChars = 65;

// The SHA-256 of length bytes at data, in lower-case hex as sha256sum writes it.
void Sha256Hex(const void* data, size_t length, char hex[kSha256HexChars]);
