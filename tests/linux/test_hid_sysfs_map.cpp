#include "counters.h"
#include "hid_sysfs_map.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace
{

const std::string kOneCollection("\x05\x01\x09\x02\xA1\x01\xC0", 7);
const std::string kTwoCollections = kOneCollection + kOneCollection;
const std::string kThreeCollections = kTwoCollections + kOneCollection;
const std::string kUnbalanced("\xA1\x01\xC0\xC0", 4);
const std::string kKeyboard("\x05\x01\x09\x06\xA1\x01\xC0", 7);
// Usage 6 of a vendor page: no keyboard, whatever the number.
const std::string kVendorUsageSix("\x06\x00\xFF\x09\x06\xA1\x01\xC0", 8);

const char kUsbInterface[] = "DEVTYPE=usb_interface\nDRIVER=usbhid\nPRODUCT=7c2f/2003/100\n";
const char kReceiverHid[] = "DRIVER=receiver\nHID_ID=0003:00001BCF:00000501\n";
const char kDevicePath[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/0003:7C2F:2003.0007";

struct Device
{
    std::string hidUevent = "HID_ID=0003:00007C2F:00002003\nHID_NAME=Tamsu Receiver\n";
    std::string parentUevent = kUsbInterface;
    std::string interfaceNumber = "01\n";
    std::string interfaceCount = " 2\n";
    std::string descriptor = kOneCollection;
    std::string devicePath = kDevicePath;
};

HidInterfaceIdentity Describe(const Device& d)
{
    const HidSysfsFacts facts{d.hidUevent.c_str(),
                              d.parentUevent.c_str(),
                              d.interfaceNumber.c_str(),
                              d.interfaceCount.c_str(),
                              reinterpret_cast<const unsigned char*>(d.descriptor.data()),
                              d.descriptor.size(),
                              d.devicePath.c_str()};
    HidInterfaceIdentity identity;
    DescribeHidInterface(facts, &identity);
    return identity;
}

std::vector<std::wstring> PathsOf(const Device& d)
{
    const HidInterfaceIdentity identity = Describe(d);
    std::vector<std::wstring> paths;
    for (int i = 0; i < identity.pathCount; ++i)
    {
        wchar_t path[260];
        EXPECT_TRUE(FormatHidInterfacePath(identity, i, path, 260));
        paths.emplace_back(path);
    }
    return paths;
}

// Hardware part and collection suffix, then any \kbd; the instance is checked for its shape
// alone.
std::wstring HardwarePart(const std::wstring& path)
{
    static const std::wregex shape(LR"(\\\\\?\\(.*)#7&[0-9a-f]{8}&0&[0-9a-f]{4})"
                                   LR"(#\{4d1e55b2-f16f-11cf-88cb-001111000030\}(\\kbd)?)");
    std::wsmatch match;
    return std::regex_match(path, match, shape) ? match[1].str() + match[2].str()
                                                : L"bad shape: " + path;
}

std::wstring InstancePart(const std::wstring& path)
{
    const size_t start = path.find(L"#7&");
    return path.substr(start, path.rfind(L'#') - start);
}

TEST(HidSysfsMap, UsbInterfacesAndCollections)
{
    Device d;
    std::vector<std::wstring> paths = PathsOf(d);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(HardwarePart(paths[0]), L"hid#vid_7c2f&pid_2003&mi_01");

    d.interfaceCount = " 1\n"; // a single-interface device has no &mi_
    EXPECT_EQ(HardwarePart(PathsOf(d)[0]), L"hid#vid_7c2f&pid_2003");
    d.interfaceCount = "10\n";
    d.interfaceNumber = "0a\n"; // bInterfaceNumber is hex
    EXPECT_EQ(HardwarePart(PathsOf(d)[0]), L"hid#vid_7c2f&pid_2003&mi_0a");
    d.interfaceNumber = "";
    EXPECT_EQ(HardwarePart(PathsOf(d)[0]), L"hid#vid_7c2f&pid_2003");

    d.hidUevent = "HID_ID=0003:00001BCF:000005C2\n";
    d.interfaceCount = " 2\n";
    d.interfaceNumber = "00\n";
    d.descriptor = kThreeCollections;
    paths = PathsOf(d);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(HardwarePart(paths[0]), L"hid#vid_1bcf&pid_05c2&mi_00&col01");
    EXPECT_EQ(HardwarePart(paths[2]), L"hid#vid_1bcf&pid_05c2&mi_00&col03");
    EXPECT_NE(paths[1].find(L"&0&0001#"), std::wstring::npos);
    // One device, one instance hash; each collection its own index.
    EXPECT_EQ(InstancePart(paths[0]).substr(0, 11), InstancePart(paths[2]).substr(0, 11));
    EXPECT_NE(InstancePart(paths[0]), InstancePart(paths[2]));

    for (const std::string& oneOrNone : {kUnbalanced, std::string()}) // malformed, empty
    {
        d.descriptor = oneOrNone;
        paths = PathsOf(d);
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_EQ(HardwarePart(paths[0]), L"hid#vid_1bcf&pid_05c2&mi_00");
    }
}

TEST(HidSysfsMap, CollectionsNumberedInHexKeyboardsMarked)
{
    Device d;
    d.descriptor = kKeyboard;
    std::vector<std::wstring> paths = PathsOf(d);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(HardwarePart(paths[0]), L"hid#vid_7c2f&pid_2003&mi_01\\kbd");
    // \kbd fits whole or the path is refused.
    wchar_t path[260];
    EXPECT_TRUE(FormatHidInterfacePath(Describe(d), 0, path, paths[0].size() + 1));
    EXPECT_FALSE(FormatHidInterfacePath(Describe(d), 0, path, paths[0].size()));
    d.descriptor = kKeyboard + "\xC0"; // malformed: nothing known about its collections
    EXPECT_EQ(HardwarePart(PathsOf(d)[0]), L"hid#vid_7c2f&pid_2003&mi_01");

    // A touchscreen-like device with sixteen collections, the tenth a keyboard, the eleventh
    // usage 6 of another page.
    d.descriptor.clear();
    for (int i = 1; i <= 16; ++i)
        d.descriptor += i == 10 ? kKeyboard : i == 11 ? kVendorUsageSix : kOneCollection;
    paths = PathsOf(d);
    ASSERT_EQ(paths.size(), 16u);
    EXPECT_EQ(HardwarePart(paths[0]), L"hid#vid_7c2f&pid_2003&mi_01&col01");
    EXPECT_EQ(HardwarePart(paths[8]), L"hid#vid_7c2f&pid_2003&mi_01&col09");
    EXPECT_EQ(HardwarePart(paths[9]), L"hid#vid_7c2f&pid_2003&mi_01&col0a\\kbd");
    EXPECT_EQ(HardwarePart(paths[10]), L"hid#vid_7c2f&pid_2003&mi_01&col0b");
    EXPECT_EQ(HardwarePart(paths[15]), L"hid#vid_7c2f&pid_2003&mi_01&col10");
    EXPECT_NE(paths[15].find(L"&0&000f#"), std::wstring::npos);
}

// The scan's tests cover Bluetooth, I2C and a receiver's child in a sysfs tree; these are the
// shapes a tree does not show as easily.
TEST(HidSysfsMap, NonUsbDevicesNeverLookLikeUsbReceivers)
{
    Device uhid; // created from user space: no USB interface above it at all
    uhid.parentUevent = "";
    Device usbDeviceParent; // a USB device, not an interface, as direct parent
    usbDeviceParent.parentUevent = "DEVTYPE=usb_device\n";
    Device i2c; // an I2C device without a usable name
    i2c.hidUevent = "HID_ID=0018:000004F3:000022E1\nHID_NAME=:00\n";
    Device bluetoothUnderUsb; // behind a USB dongle, yet Bluetooth
    bluetoothUnderUsb.hidUevent = "HID_ID=0005:00007C2F:00002003\n";

    EXPECT_EQ(HardwarePart(PathsOf(uhid)[0]), L"hid#bus_0003_vid&7c2f_pid&2003");
    EXPECT_EQ(HardwarePart(PathsOf(usbDeviceParent)[0]), L"hid#bus_0003_vid&7c2f_pid&2003");
    EXPECT_EQ(HardwarePart(PathsOf(i2c)[0]), L"hid#bus_0018_vid&04f3_pid&22e1");
    EXPECT_EQ(HardwarePart(PathsOf(bluetoothUnderUsb)[0]),
              L"hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&00027c2f_pid&2003");
    ResetDeviceCounters();
    for (const Device* d : {&uhid, &usbDeviceParent, &i2c, &bluetoothUnderUsb})
        ClassifyDevicePath(PathsOf(*d)[0].c_str());
    EXPECT_FALSE(AnyDeviceCounted());
}

TEST(HidSysfsMap, InstanceIsStableAcrossReplugButTellsPortsApart)
{
    Device d;
    const std::wstring first = InstancePart(PathsOf(d)[0]);
    d.devicePath.back() = '9'; // plugged in again: the kernel numbers the HID device anew
    EXPECT_EQ(InstancePart(PathsOf(d)[0]), first);
    d.devicePath = "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.1/0003:7C2F:2003.0007";
    EXPECT_NE(InstancePart(PathsOf(d)[0]), first);

    // Children of one receiver differ only by that number: it keeps them apart.
    Device child;
    child.parentUevent = kReceiverHid;
    child.devicePath = std::string(kDevicePath) + "/0003:7C2F:2003.0008";
    const std::wstring firstChild = InstancePart(PathsOf(child)[0]);
    child.devicePath.back() = '9';
    EXPECT_NE(InstancePart(PathsOf(child)[0]), firstChild);
}

TEST(HidSysfsMap, UnusableFactsYieldNoPath)
{
    for (const char* uevent : {"", "HID_NAME=x\n", "HID_ID=0003:7C2F\n", "HID_ID=0003::2003\n",
                               "HID_ID=0003:00007C2F:00002003x\n", "XHID_ID=0003:1:2\n",
                               "HID_ID=0003:000000007C2F:2003\n"})
    {
        Device d;
        d.hidUevent = uevent;
        EXPECT_EQ(Describe(d).pathCount, 0) << uevent;
    }
    const HidSysfsFacts empty{};
    HidInterfaceIdentity identity;
    DescribeHidInterface(empty, &identity);
    EXPECT_EQ(identity.pathCount, 0);
    wchar_t path[260];
    EXPECT_FALSE(FormatHidInterfacePath(identity, 0, path, 260));
    EXPECT_EQ(path[0], L'\0');

    // HID_ID on a later line is found; ids are written in lower case.
    Device d;
    d.hidUevent = "DRIVER=hid-generic\nHID_ID=0003:00007C2F:0000ABCD\n";
    EXPECT_EQ(HardwarePart(PathsOf(d)[0]), L"hid#vid_7c2f&pid_abcd&mi_01");
    EXPECT_FALSE(FormatHidInterfacePath(Describe(d), 1, path, 260));
    EXPECT_FALSE(FormatHidInterfacePath(Describe(d), 0, path, 40)); // cut
}

} // namespace
