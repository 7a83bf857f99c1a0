/* Stand-in for a kit's Windows pairing tool, for the Linux launcher's tests under Wine. Appends
   one line to the kit's stand-in log (two folders above itself): its argument count, what
   Wine's bus driver reads from this prefix's registry (Enable SDL, and the Hidraw value of each
   Devices key) and the folder it was started in. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#define BUS_KEY "System\\CurrentControlSet\\Services\\winebus"

/* A DWORD value of the key, in decimal, or "-" when it has none. */
static void ReadNumber(HKEY key, const char* name, char* out, size_t capacity)
{
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)&value, &size) == ERROR_SUCCESS &&
        type == REG_DWORD)
        snprintf(out, capacity, "%lu", (unsigned long)value);
    else
        snprintf(out, capacity, "-");
}

/* "<vid>/<pid>:<Hidraw>,..." for each key under Devices, in the registry's order. */
static void ReadDevices(char* out, size_t capacity)
{
    HKEY devices, device;
    char name[64], value[16];
    size_t used = 0;
    out[0] = '\0';
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BUS_KEY "\\Devices", 0, KEY_READ, &devices))
        return;
    for (DWORD i = 0; used < capacity; ++i)
    {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(devices, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        snprintf(value, sizeof value, "-");
        if (RegOpenKeyExA(devices, name, 0, KEY_READ, &device) == ERROR_SUCCESS)
        {
            ReadNumber(device, "Hidraw", value, sizeof value);
            RegCloseKey(device);
        }
        used += snprintf(out + used, capacity - used, "%s%s:%s", i ? "," : "", name, value);
    }
    RegCloseKey(devices);
}

int main(int argc, char** argv)
{
    (void)argv;
    char sdl[16] = "-", devices[2048], folder[MAX_PATH], log[MAX_PATH];
    HKEY bus;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BUS_KEY, 0, KEY_READ, &bus) == ERROR_SUCCESS)
    {
        ReadNumber(bus, "Enable SDL", sdl, sizeof sdl);
        RegCloseKey(bus);
    }
    ReadDevices(devices, sizeof devices);
    GetCurrentDirectoryA(sizeof folder, folder);
    /* <kit>\<family folder>\<tool>: the log is at the top of the kit. */
    DWORD length = GetModuleFileNameA(NULL, log, sizeof log);
    for (int part = 0; part < 2 && length > 0; ++part)
        while (length > 0 && log[--length] != '\\')
            log[length] = '\0';
    snprintf(log + length, sizeof log - length, "\\stand-in-started.log");
    FILE* out = fopen(log, "ab"); /* no CR before each LF */
    if (out == NULL)
        return 1;
    fprintf(out, "windows args=%d enable-sdl=%s devices=%s folder=%s\n", argc - 1, sdl, devices,
            folder);
    return fclose(out) == 0 ? 0 : 1;
}
