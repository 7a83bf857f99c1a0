// A sysfs tree in a temporary directory, shaped as the kernel lays out HID devices.
#pragma once

#include <string>

class FakeSysfs
{
  public:
    // Class links begin with linkStart, which leads from class/hidraw back to the root.
    explicit FakeSysfs(const std::string& linkStart = "../..");
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const std::string& Root() const
    {
        return root_;
    }

    // A device directory (path below the root, "/devices/...") with its uevent text.
    void AddDevice(const std::string& path, const std::string& uevent);
    void SetAttribute(const std::string& devicePath, const std::string& name,
                      const std::string& bytes);
    // A hidraw node of the HID device at hidPath, listed in class/hidraw.
    void AddHidraw(const std::string& hidPath, const std::string& name);

    // A USB device at port ("1-2") with interfaceCount interfaces; returns its path.
    std::string AddUsbDevice(const std::string& port, int interfaceCount);
    // One interface of that device with a HID device ("0003:1BCF:0501.0001") and a hidraw node.
    std::string AddUsbHid(const std::string& usbPath, int interfaceNumber,
                          const std::string& hidName, const std::string& descriptor,
                          const std::string& hidraw);

  private:
    std::string root_;
    std::string linkStart_;
};

// HID_ID for a HID device named "bbbb:VVVV:PPPP.nnnn".
std::string HidUevent(const std::string& hidName);
