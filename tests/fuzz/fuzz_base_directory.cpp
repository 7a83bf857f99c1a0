// The base-directory split on arbitrary module paths: always terminated, never longer than the
// buffer, and, when whole, the module path's own leading part (plus at most one separator).
#include "base_directory.h"
#include "bounded_format.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring modulePath;
    for (size_t i = 0; i + 1 < size && modulePath.size() < kPathChars - 1; i += 2)
        modulePath.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    modulePath = modulePath.c_str();

    wchar_t out[kPathChars];
    const bool whole = MakeBaseDirectory(modulePath.c_str(), out, kPathChars);
    // The qualification test reads only within the terminated text, whatever it is given.
    IsFullyQualifiedDirectory(modulePath.c_str());
    const size_t length = wcsnlen(out, kPathChars);
    if (length >= kPathChars)
        abort();
    if (!whole)
        return 0;

    const std::wstring base(out, length);
    if (base.empty())
        return 0;
    const wchar_t last = base.back();
    const bool driveOnly = length == 2 && base[1] == L':';
    if (!driveOnly && last != L'\\' && last != L'/')
        abort();
    // Everything but an appended separator comes from the module path, in place.
    if (modulePath.compare(0, length, base) != 0 &&
        modulePath.compare(0, length - 1, base, 0, length - 1) != 0)
        abort();
    return 0;
}
