// A Windows probe for the kernel stage's guest: lists the HID interfaces through SetupDi as the
// launcher does, opens each by its path for reading and writing, reads its attributes and
// top-level collection, and sends one output report to each interface it opens that has one.
// One plain line per fact on standard output, each flushed at once:
//   started PROGRAM in FOLDER                           its own path, and its current folder
//   interface PATH                                      as SetupDi lists it
//   open PATH error N                                   CreateFile refused it
//   attributes PATH vid=VVVV pid=PPPP page=PPPP usage=UUUU output=N
//   report PATH sent=HEX written=N | report PATH error N  the output report, by WriteFile
//   done N                                              interfaces listed
#include <windows.h>

#include <setupapi.h>

// mingw's HID header (with hidpi.h) has no C++ guards of its own.
extern "C"
{
#include <hidsdi.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace
{

// What the probe writes into an output report after the report id, zero-filled to its length.
const char kPayload[] = "TAMSU";

// One line, out at once: a probe that Wine ends early still leaves what it saw.
void PrintLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

// The report id of a collection's first output report: 0 when it numbers none.
UCHAR OutputReportId(PHIDP_PREPARSED_DATA preparsed)
{
    HIDP_VALUE_CAPS values[8];
    USHORT count = 8;
    if (HidP_GetValueCaps(HidP_Output, values, &count, preparsed) == HIDP_STATUS_SUCCESS &&
        count > 0)
        return values[0].ReportID;
    HIDP_BUTTON_CAPS buttons[8];
    count = 8;
    if (HidP_GetButtonCaps(HidP_Output, buttons, &count, preparsed) == HIDP_STATUS_SUCCESS &&
        count > 0)
        return buttons[0].ReportID;
    return 0;
}

// One output report to the open interface: its id, then the payload, zero-filled to length.
void SendReport(HANDLE device, const char* path, UCHAR id, USHORT length)
{
    unsigned char report[64] = {};
    char hex[2 * sizeof report + 1] = "";
    if (length == 0 || length > sizeof report)
        return;
    report[0] = id;
    for (size_t i = 0; i + 1 < sizeof kPayload && i + 1 < length; ++i)
        report[i + 1] = static_cast<unsigned char>(kPayload[i]);
    for (USHORT i = 0; i < length; ++i)
        snprintf(hex + 2 * i, 3, "%02x", report[i]);
    DWORD written = 0;
    if (WriteFile(device, report, length, &written, nullptr))
        PrintLine("report %s sent=%s written=%lu\n", path, hex, written);
    else
        PrintLine("report %s error %lu\n", path, GetLastError());
}

// Opens one interface by its path and reports what it is, and sends it a report when it has an
// output report: Wine lists one interface for a hidraw node of several top-level collections,
// with the first one's usage, so the vendor's report may be behind a mouse's usage.
void ProbeInterface(const wchar_t* widePath)
{
    char path[512];
    if (WideCharToMultiByte(CP_UTF8, 0, widePath, -1, path, sizeof path, nullptr, nullptr) == 0)
        snprintf(path, sizeof path, "(unprintable)");
    PrintLine("interface %s\n", path);
    HANDLE device =
        CreateFileW(widePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
    {
        PrintLine("open %s error %lu\n", path, GetLastError());
        return;
    }
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps = {};
    if (HidD_GetAttributes(device, &attributes) && HidD_GetPreparsedData(device, &preparsed))
    {
        if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS)
        {
            PrintLine("attributes %s vid=%04x pid=%04x page=%04x usage=%04x output=%u\n", path,
                      attributes.VendorID, attributes.ProductID, caps.UsagePage, caps.Usage,
                      caps.OutputReportByteLength);
            SendReport(device, path, OutputReportId(preparsed), caps.OutputReportByteLength);
        }
        HidD_FreePreparsedData(preparsed);
    }
    else
        PrintLine("attributes %s error %lu\n", path, GetLastError());
    CloseHandle(device);
}

// Lists the HID interfaces present; with probe, opens and reports each. The count listed, or
// -1 when there is no list.
long ListInterfaces(bool probe)
{
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO list =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
    {
        PrintLine("SetupDiGetClassDevs error %lu\n", GetLastError());
        return -1;
    }
    DWORD index = 0;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    while (SetupDiEnumDeviceInterfaces(list, nullptr, &hidGuid, index, &interfaceData))
    {
        ++index;
        if (!probe)
            continue;
        // A fixed buffer: an interface path longer than it is not one of the gadgets'.
        union
        {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            BYTE bytes[2048];
        } buffer = {};
        buffer.detail.cbSize = sizeof buffer.detail;
        if (SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, &buffer.detail,
                                             sizeof buffer.bytes, nullptr, nullptr))
            ProbeInterface(buffer.detail.DevicePath);
        else
            PrintLine("SetupDiGetDeviceInterfaceDetail error %lu\n", GetLastError());
    }
    SetupDiDestroyDeviceInfoList(list);
    return static_cast<long>(index);
}

} // namespace

// hid_probe [COUNT]: with COUNT, first waits up to two minutes for that many interfaces, since
// Wine's bus driver adds the devices it finds while the first programs of a prefix start. A
// launcher starts its tool with no arguments: then COUNT may come from HID_PROBE_COUNT in the
// environment, which Wine hands on from the caller's.
int main(int argumentCount, char* arguments[])
{
    const char* count = argumentCount > 1 ? arguments[1] : getenv("HID_PROBE_COUNT");
    const long wanted = count != nullptr ? strtol(count, nullptr, 10) : 0;
    char program[MAX_PATH] = "";
    char folder[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, program, sizeof program);
    GetCurrentDirectoryA(sizeof folder, folder);
    PrintLine("started %s in %s\n", program, folder);
    for (int tries = 0; tries < 480 && ListInterfaces(false) < wanted; ++tries)
        Sleep(250);
    const long listed = ListInterfaces(true);
    PrintLine("done %ld\n", listed);
    return listed < 0 ? 1 : 0;
}
