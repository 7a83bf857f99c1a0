#include "device_rule_linux.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "error_output_linux.h"

#include <cstdint>

namespace
{

// Four lower-case hex digits, as sysfs writes idVendor and idProduct.
void FormatUsbIdText(uint16_t value, char out[5])
{
    for (int i = 0; i < 4; ++i)
        out[i] = "0123456789abcdef"[(value >> (12 - 4 * i)) & 0xF];
    out[4] = '\0';
}

} // namespace

void WriteDeviceRule(int fd)
{
    WriteText(fd,
              "# The hidraw nodes of Tamsu receivers, opened to the person at the seat while they\n"
              "# are there. Written by `tamsu-launcher --device-rule`; install it as\n"
              "# /etc/udev/rules.d/70-tamsu-receivers.rules.\n");
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    for (size_t i = 0; i < count; ++i)
    {
        // udev compares the attributes' text; all keys that look at parents must match on the same
        // one, here the USB device.
        char vendor[5];
        char product[5];
        FormatUsbIdText(ids[i].vendor, vendor);
        FormatUsbIdText(ids[i].product, product);
        char line[160];
        FormatBoundedA(line, sizeof line,
                       "SUBSYSTEM==\"hidraw\", SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"%s\", "
                       "ATTRS{idProduct}==\"%s\", TAG+=\"uaccess\"\n",
                       vendor, product);
        WriteText(fd, line);
    }
}
