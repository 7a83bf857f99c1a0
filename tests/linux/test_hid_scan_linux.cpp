#include "counters.h"
#include "error_output_linux.h"
#include "fake_sysfs.h"
#include "hid_scan.h"
#include "hid_scan_linux.h"
#include "text_linux.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace
{

const std::string kOneCollection("\x05\x01\x09\x02\xA1\x01\xC0", 7);
const std::string kTwoCollections = kOneCollection + kOneCollection;
const std::string kThreeCollections = kTwoCollections + kOneCollection;

// The hardware part of each traced path, in trace order; the instance is checked for shape.
std::vector<std::wstring> TracedHardware()
{
    static const std::wregex line(LR"(find: \\\\\?\\(.*)#7&[0-9a-f]{8}&0&[0-9a-f]{4})"
                                  LR"(#\{4d1e55b2-f16f-11cf-88cb-001111000030\}\n)");
    std::vector<std::wstring> parts;
    for (const std::wstring& traced : g_wideTraceLines)
    {
        std::wsmatch match;
        parts.push_back(std::regex_match(traced, match, line) ? match[1].str()
                                                              : L"bad line: " + traced);
    }
    return parts;
}

// Every kind of HID device the pass meets, with the hidraw names out of order. Each port's path
// begins with another's (1-1 after 1-10, 1-12 after 1-1): each its own interface count.
void BuildMixedTree(FakeSysfs& sysfs)
{
    sysfs.AddUsbHid(sysfs.AddUsbDevice("1-10", 1), 0, "0003:1BCF:0501.0001", kTwoCollections,
                    "hidraw0");
    const std::string soc = sysfs.AddUsbDevice("1-1", 2);
    sysfs.AddUsbHid(soc, 0, "0003:7C2F:2003.0002", kOneCollection, "hidraw1");
    sysfs.AddUsbHid(soc, 1, "0003:7C2F:2003.0003", kOneCollection, "hidraw2");
    sysfs.AddUsbHid(sysfs.AddUsbDevice("1-12", 1), 0, "0003:7C2F:2010.0004", kThreeCollections,
                    "hidraw10");

    // A receiver of another maker with one paired peripheral that its driver created under it.
    const std::string receiver = sysfs.AddUsbHid(sysfs.AddUsbDevice("1-4", 1), 0,
                                                 "0003:046D:C52B.0005", kOneCollection, "hidraw3");
    const std::string child = receiver + "/0003:7C2F:2004.0006";
    sysfs.AddDevice(child, HidUevent("0003:7C2F:2004.0006"));
    sysfs.SetAttribute(child, "report_descriptor", kOneCollection);
    sysfs.AddHidraw(child, "hidraw4");

    const std::string bluetooth =
        "/devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0/bluetooth/hci0/hci0:256/"
        "0005:7C2F:2010.0007";
    sysfs.AddDevice("/devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0", "DEVTYPE=usb_interface\n");
    sysfs.AddDevice("/devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0/bluetooth/hci0/hci0:256",
                    "DEVTYPE=link\n");
    sysfs.AddDevice(bluetooth, HidUevent("0005:7C2F:2010.0007"));
    sysfs.SetAttribute(bluetooth, "report_descriptor", kOneCollection);
    sysfs.AddHidraw(bluetooth, "hidraw5");

    const std::string i2c = "/devices/platform/AMDI0010:00/i2c-0/i2c-ELAN0732:00/"
                            "0018:04F3:22E1.0008";
    sysfs.AddDevice(i2c, "HID_ID=0018:000004F3:000022E1\nHID_NAME=ELAN0732:00 04F3:22E1\n");
    sysfs.SetAttribute(i2c, "report_descriptor", kTwoCollections);
    sysfs.AddHidraw(i2c, "hidraw6");
}

class HidScanLinux : public testing::Test
{
  protected:
    void SetUp() override
    {
        ClearTraceLines();
        ResetDeviceCounters();
    }
};

TEST_F(HidScanLinux, EveryInterfaceIsNamedTracedAndCounted)
{
    FakeSysfs sysfs;
    BuildMixedTree(sysfs);
    testing::internal::CaptureStdout();
    EnumHidDevicesUnder(sysfs.Root().c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(TracedHardware(),
              (std::vector<std::wstring>{
                  L"hid#vid_1bcf&pid_0501&col01",
                  L"hid#vid_1bcf&pid_0501&col02",
                  L"hid#vid_7c2f&pid_2003&mi_00",
                  L"hid#vid_7c2f&pid_2010&col01",
                  L"hid#vid_7c2f&pid_2010&col02",
                  L"hid#vid_7c2f&pid_2010&col03",
                  L"hid#vid_7c2f&pid_2003&mi_01",
                  L"hid#vid_046d&pid_c52b",
                  L"hid#bus_0003_vid&7c2f_pid&2004",
                  L"hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&00027c2f_pid&2010",
                  L"hid#elan0732&col01",
                  L"hid#elan0732&col02",
              }));
    EXPECT_EQ(CurrentCounters(), (Counters{1, 1, 0, 0, 2, 3}));

    // The same devices under another root get the same paths: nothing depends on the mount.
    const std::vector<std::wstring> first = g_wideTraceLines;
    FakeSysfs other;
    BuildMixedTree(other);
    ClearTraceLines();
    EnumHidDevicesUnder(other.Root().c_str());
    EXPECT_EQ(g_wideTraceLines, first);
    EXPECT_EQ(CurrentCounters(), (Counters{2, 2, 0, 0, 4, 6})); // the pass never resets
}

TEST_F(HidScanLinux, InterfacesThatVanishAreSkipped)
{
    namespace fs = std::filesystem;
    FakeSysfs sysfs;
    const std::string usb = sysfs.AddUsbDevice("1-2", 3);
    const std::string gone =
        sysfs.AddUsbHid(usb, 0, "0003:7C2F:2003.0001", kOneCollection, "hidraw0");
    const std::string noDescriptor =
        sysfs.AddUsbHid(usb, 1, "0003:7C2F:2003.0002", kOneCollection, "hidraw1");
    // A name of another shape than the kernel's says nothing: its uevent must be read.
    const std::string noUevent =
        sysfs.AddUsbHid(usb, 2, "0003:7c2f:2003.0003", kOneCollection, "hidraw2");
    sysfs.AddUsbHid(sysfs.AddUsbDevice("1-3", 1), 0, "0003:7C2F:2010.0004", kOneCollection,
                    "hidraw3");
    // Listed, then gone before (or while) its facts are read.
    fs::remove_all(sysfs.Root() + gone);
    fs::remove(sysfs.Root() + noDescriptor + "/report_descriptor");
    fs::remove(sysfs.Root() + noUevent + "/uevent");

    EnumHidDevicesUnder(sysfs.Root().c_str());
    EXPECT_EQ(TracedHardware(), std::vector<std::wstring>{L"hid#vid_7c2f&pid_2010"});
    EXPECT_EQ(CurrentCounters(), (Counters{0, 0, 0, 0, 0, 1}));
}

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST_F(HidScanLinux, SharedUsbFactsAreReadOncePerPassAndNoHandleOutlivesIt)
{
    FakeSysfs sysfs;
    // Sorted, the hidraw names take the interfaces of the first device out of turn.
    const std::string soc = sysfs.AddUsbDevice("1-2", 3);
    sysfs.AddUsbHid(soc, 0, "0003:7C2F:2003.0001", kOneCollection, "hidraw0");
    sysfs.AddUsbHid(soc, 1, "0003:7C2F:2003.0002", kOneCollection, "hidraw2");
    sysfs.AddUsbHid(soc, 2, "0003:7C2F:2003.0003", kOneCollection, "hidraw10");
    sysfs.AddUsbHid(sysfs.AddUsbDevice("1-3", 1), 0, "0003:7C2F:2010.0004", kOneCollection,
                    "hidraw1");
    // An interface recorded without its number: its uevent still says it is one.
    const std::string unnumbered = sysfs.AddUsbHid(
        sysfs.AddUsbDevice("1-4", 2), 0, "0003:046D:C52B.0005", kOneCollection, "hidraw3");
    std::filesystem::remove(sysfs.Root() + unnumbered + "/../bInterfaceNumber");

    const size_t descriptorsBefore = OpenDescriptors();
    for (int pass = 0; pass < 2; ++pass)
    {
        SCOPED_TRACE(pass);
        ClearTraceLines();
        g_dwSysfsOpens = 0;
        EnumHidDevicesUnder(sysfs.Root().c_str());
        EXPECT_EQ(TracedHardware(), (std::vector<std::wstring>{
                                        L"hid#vid_7c2f&pid_2003&mi_00", L"hid#vid_7c2f&pid_2010",
                                        L"hid#vid_7c2f&pid_2003&mi_02",
                                        L"hid#vid_7c2f&pid_2003&mi_01", L"hid#vid_046d&pid_c52b"}));
        // bInterfaceNumber and report_descriptor per interface (the name says what the uevent
        // would), bNumInterfaces per USB device, and the unnumbered interface's parent uevent.
        EXPECT_EQ(g_dwSysfsOpens, 5u * 2 + 3 + 1);
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    }
}

TEST_F(HidScanLinux, MissingListIsSilentUnreadableListSaysSoOnce)
{
    FakeSysfs sysfs;
    testing::internal::CaptureStdout();
    EnumHidDevicesUnder(sysfs.Root().c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Exists but cannot be listed (a file where the directory should be: root reads anything
    // with the mode bits cleared, so modes alone would not do).
    std::filesystem::create_directories(sysfs.Root() + "/class");
    sysfs.SetAttribute("/class", "hidraw", "");
    testing::internal::CaptureStdout();
    EnumHidDevicesUnder(sysfs.Root().c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "opendir " + sysfs.Root() + "/class/hidraw failed: 14\n"); // ENOTDIR
    EXPECT_TRUE(g_wideTraceLines.empty());
    EXPECT_FALSE(AnyDeviceCounted());
}

TEST_F(HidScanLinux, LongPathIsCutInTheTraceButClassifiedWhole)
{
    // The SOC identity sits past character 259: only classification can see it.
    const std::wstring path = L"\\\\?\\hid#" + std::wstring(280, L'x') + L"vid_7c2f&pid_2003";
    ReportHidInterfacePath(path.c_str());
    ASSERT_EQ(g_wideTraceLines.size(), 1u);
    EXPECT_EQ(g_wideTraceLines[0], L"find: " + path.substr(0, 253));
    EXPECT_EQ(g_dwSOCDevice, 1u);

    const std::wstring fits = std::wstring(252, L'y');
    ReportHidInterfacePath(fits.c_str());
    EXPECT_EQ(g_wideTraceLines[1], L"find: " + fits + L"\n");
}

} // namespace
