#include "fake_sysfs.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs(const std::string& linkStart) : linkStart_(linkStart)
{
    std::string pattern = (fs::temp_directory_path() / "tamsu-sysfs-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directories(root_ + "/devices");
}

FakeSysfs::~FakeSysfs()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void FakeSysfs::AddDevice(const std::string& path, const std::string& uevent)
{
    fs::create_directories(root_ + path);
    SetAttribute(path, "uevent", uevent);
}

void FakeSysfs::SetAttribute(const std::string& devicePath, const std::string& name,
                             const std::string& bytes)
{
    std::ofstream(root_ + devicePath + "/" + name, std::ios::binary) << bytes;
}

void FakeSysfs::AddHidraw(const std::string& hidPath, const std::string& name)
{
    const std::string node = hidPath + "/hidraw/" + name;
    AddDevice(node, "MAJOR=245\nDEVNAME=" + name + "\n");
    fs::create_directory_symlink("../../../" + fs::path(hidPath).filename().string(),
                                 root_ + node + "/device");
    fs::create_directories(root_ + "/class/hidraw");
    fs::create_directory_symlink(linkStart_ + node, root_ + "/class/hidraw/" + name);
}

std::string FakeSysfs::AddUsbDevice(const std::string& port, int interfaceCount)
{
    const std::string path = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
    AddDevice(path, "DEVTYPE=usb_device\n");
    char count[8];
    snprintf(count, sizeof count, "%2d\n", interfaceCount);
    SetAttribute(path, "bNumInterfaces", count);
    return path;
}

std::string FakeSysfs::AddUsbHid(const std::string& usbPath, int interfaceNumber,
                                 const std::string& hidName, const std::string& descriptor,
                                 const std::string& hidraw)
{
    const std::string port = fs::path(usbPath).filename().string();
    const std::string interfacePath =
        usbPath + "/" + port + ":1." + std::to_string(interfaceNumber);
    AddDevice(interfacePath, "DEVTYPE=usb_interface\nDRIVER=usbhid\n");
    char number[8];
    snprintf(number, sizeof number, "%02x\n", interfaceNumber);
    SetAttribute(interfacePath, "bInterfaceNumber", number);
    const std::string hidPath = interfacePath + "/" + hidName;
    AddDevice(hidPath, HidUevent(hidName));
    SetAttribute(hidPath, "report_descriptor", descriptor);
    AddHidraw(hidPath, hidraw);
    return hidPath;
}

std::string HidUevent(const std::string& hidName)
{
    // "0003:1BCF:0501.0001" -> HID_ID=0003:00001BCF:00000501
    return "HID_ID=" + hidName.substr(0, 5) + "0000" + hidName.substr(5, 5) + "0000" +
           hidName.substr(10, 4) + "\nHID_NAME=Test device\n";
}
