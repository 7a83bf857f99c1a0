// The desktop entry's quoting of the launcher's path, on arbitrary paths. Input: the path (up to
// its first NUL). Checks: an entry is written for every path of printable ASCII but % with a '/'
// that fits; a written one reads back, by the desktop entry rules (string escapes, then Exec's
// quoting), as the path in Exec and TryExec and the icon beside it in Icon, in as many lines as
// the template; and it needs its exact size, no byte less.
#include "desktop_entry_linux.h"
#include "desktop_entry_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// The value of key's line in entry, its string escapes undone.
std::string Value(const std::string& entry, const std::string& key)
{
    const size_t at = entry.find("\n" + key + "=");
    if (at == std::string::npos)
        abort();
    const std::string line =
        entry.substr(at + key.size() + 2, entry.find('\n', at + 1) - (at + key.size() + 2));
    std::string value;
    for (size_t i = 0; i < line.size(); ++i)
    {
        const char* escapes = "s\\ntr";
        const char* escape =
            line[i] == '\\' && i + 1 < line.size() ? strchr(escapes, line[++i]) : nullptr;
        if (line[i] == '\\' && escape == nullptr)
            abort();
        value += escape != nullptr ? " \\\n\t\r"[escape - escapes] : line[i];
    }
    return value;
}

// The entry's lines, each key's with its value left out.
std::vector<std::string> Keys(const std::string& entry)
{
    std::vector<std::string> keys;
    for (size_t at = 0, end; at < entry.size(); at = end + 1)
    {
        end = std::min(entry.find('\n', at), entry.size());
        const std::string line = entry.substr(at, end - at);
        const bool ours = line.rfind("Exec=", 0) == 0 || line.rfind("TryExec=", 0) == 0 ||
                          line.rfind("Icon=", 0) == 0;
        keys.push_back(ours ? line.substr(0, line.find('=')) : line);
    }
    return keys;
}

// Exec's one argument: in double quotes, in which \ makes the next of " ` $ \ literal and %% is
// a %; anything else there (a lone %, a field code) is a fault.
std::string Argument(const std::string& exec)
{
    if (exec.size() < 2 || exec.front() != '"' || exec.back() != '"')
        abort();
    std::string argument;
    size_t i = 1;
    for (; i + 1 < exec.size(); ++i)
    {
        if (exec[i] == '"' || (exec[i] == '\\' && strchr("\"`$\\", exec[i + 1]) == nullptr) ||
            (exec[i] == '%' && exec[i + 1] != '%'))
            abort();
        if (exec[i] == '\\' || exec[i] == '%')
            ++i;
        argument += exec[i];
    }
    if (i != exec.size() - 1) // the closing quote taken as a literal one
        abort();
    return argument;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string launcher(bytes, strnlen(bytes, size));
    std::vector<char> entry(16384);
    if (!FormatDesktopEntry(launcher.c_str(), entry.data(), entry.size()))
    {
        bool plain = launcher.find('/') != std::string::npos && launcher.size() < 1024;
        for (char c : launcher)
            plain = plain && c >= 0x20 && c < 0x7F && c != '%';
        if (plain)
            abort();
        return 0;
    }
    const std::string text = entry.data();
    const std::string icon = launcher.substr(0, launcher.rfind('/') + 1) + "tamsu-pair-kit.png";
    if (Argument(Value(text, "Exec")) != launcher || Value(text, "TryExec") != launcher ||
        Value(text, "Icon") != icon)
        abort();
    // Every other line as the template has it, and no line more.
    if (Keys(text) != Keys(kDesktopEntryTemplate))
        abort();
    // Exactly its size and the terminator; no byte less, and nothing past the capacity written.
    std::vector<char> exact(text.size() + 1);
    if (!FormatDesktopEntry(launcher.c_str(), exact.data(), exact.size()) || text != exact.data())
        abort();
    std::vector<char> oneShort(text.size());
    if (FormatDesktopEntry(launcher.c_str(), oneShort.data(), oneShort.size()))
        abort();
    return 0;
}
