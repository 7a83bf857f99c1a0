// The detection pass through the platform's device setup services.
#include "hid_scan.h"

#include "bounded_format.h"
#include "system_library_windows.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>

extern "C"
{
#include <hidsdi.h>
}

// The platform checks both size fields; these are their values for the 32-bit build.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);

namespace
{

// The launcher runs elevated from wherever the kit was unpacked: hid.dll is not one of the
// libraries Windows always takes from the system directory, so it is loaded from there by full
// path and never found beside the launcher.
bool ReadHidClassGuid(GUID* guid)
{
    HMODULE hid = LoadSystemLibrary("hid.dll");
    if (hid == nullptr)
        return false;
    bool found = false;
    using GetHidGuid = decltype(&HidD_GetHidGuid);
    const auto getHidGuid = reinterpret_cast<GetHidGuid>(
        reinterpret_cast<void*>(GetProcAddress(hid, "HidD_GetHidGuid")));
    if (getHidGuid != nullptr)
    {
        getHidGuid(guid);
        found = true;
    }
    FreeLibrary(hid);
    return found;
}

// One interface: its path into the trace and into the rules. A detail that cannot be read
// (the device left meanwhile) skips the interface.
void VisitInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailW(set, interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
        HeapAlloc(GetProcessHeap(), 0, requiredSize));
    if (detail == nullptr)
        return;
    // The fixed header as this build defines it, not the whole block.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, requiredSize, nullptr,
                                         nullptr))
        ReportHidInterfacePath(detail->DevicePath);
    HeapFree(GetProcessHeap(), 0, detail);
}

} // namespace

void EnumHidDevices()
{
    GUID hidGuid;
    if (!ReadHidClassGuid(&hidGuid))
        return;

    HDEVINFO set =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
    {
        char line[kNarrowTraceBytes];
        FormatBoundedA(line, sizeof line, "SetupDiGetClassDevs failed: %x\n",
                       static_cast<unsigned>(GetLastError()));
        std::fputs(line, stdout);
        std::fflush(stdout);
        return;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // A failed call at any index ends the list, whatever the reason.
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData); ++index)
        VisitInterface(set, &interfaceData);

    SetupDiDestroyDeviceInfoList(set);
}
