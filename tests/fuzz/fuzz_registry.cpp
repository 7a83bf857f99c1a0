// The reading of a prefix's registry text (system.reg), on arbitrary text. Checks: a text
// without a receiver pair's value never holds the settings, and with the settings as Wine keeps
// them set between two copies of it, on lines of their own, they are always found: no text
// before them hides them, and none after takes them back.
#include "memory_file.h"
#include "wine_prefix_linux.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

// The settings as Wine's system.reg holds them once imported: key names relative to
// HKEY_LOCAL_MACHINE with each backslash doubled, and a time after each key.
std::string RegistrySettings()
{
    char settings[4096];
    if (!FormatWineSettings(settings, sizeof settings))
        abort();
    std::string text;
    for (const char* c = strchr(settings, '['); *c != '\0'; ++c)
    {
        if (strncmp(c, "[HKEY_LOCAL_MACHINE\\", 20) == 0)
        {
            text += '[';
            c += 19; // to its backslash, which the loop steps past
        }
        else
            text += *c == '\\' ? "\\\\" : *c == ']' ? "] 1" : std::string(1, *c);
    }
    return text;
}

bool Holds(const std::string& text)
{
    return RegistryHoldsSettings(MemoryFile(text.data(), text.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string settings = RegistrySettings();
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Without a receiver pair's value, in any case, the text cannot hold them.
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (Holds(text) && lower.find("\"hidraw\"=dword:00000001") == std::string::npos)
        abort();
    if (!Holds(text + "\n" + settings + text))
        abort();
    return 0;
}
