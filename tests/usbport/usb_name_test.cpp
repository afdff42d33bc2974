// The usb: name parser: every form it takes, every form it refuses and why.
#include "usb_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UsbName, TakesEveryKeyOnceAndRefusesTheRestWithTheirReason) {
    struct Case {
        const char* name;
        const char* reason; // nullptr: well formed, then what it asks for
        uint8_t keys = 0;
        uint16_t vid = 0, pid = 0;
        uint8_t interface = 0;
        const char* serial = "";
        const char* location = "";
    };
    constexpr uint8_t ALL =
        USB_KEY_VID | USB_KEY_PID | USB_KEY_SERIAL | USB_KEY_LOCATION | USB_KEY_INTERFACE;
    const Case cases[] = {
        {"usb:vid=0403", nullptr, USB_KEY_VID, 0x0403, 0, 0, "", ""},
        {"usb:vid=abCD,pid=FFff", nullptr, USB_KEY_VID | USB_KEY_PID, 0xABCD, 0xFFFF, 0, "", ""},
        {"usb:serial=A50285BI", nullptr, USB_KEY_SERIAL, 0, 0, 0, "A50285BI", ""},
        // The value runs to the next comma: '=' and spaces are its own.
        {"usb:serial=a=b c", nullptr, USB_KEY_SERIAL, 0, 0, 0, "a=b c", ""},
        {"usb:location=PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2),interface=255", nullptr,
         USB_KEY_LOCATION | USB_KEY_INTERFACE, 0, 0, 255, "",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"},
        {"usb:interface=007", nullptr, USB_KEY_INTERFACE, 0, 0, 7, "", ""},
        {"usb:interface=1,location=1-1.4,serial=X,pid=6010,vid=0403", nullptr, ALL, 0x0403, 0x6010,
         1, "X", "1-1.4"},
        {"usb:", "no key after usb:"},
        {"usb:vid", "a key without =VALUE"},
        {"usb:vid=0403,", "a key without =VALUE"},
        {"usb:,vid=0403", "a key without =VALUE"},
        {"usb:VID=0403", "unknown key (expected vid, pid, serial, location or interface)"},
        {"usb:name=x", "unknown key (expected vid, pid, serial, location or interface)"},
        {"usb:=x", "unknown key (expected vid, pid, serial, location or interface)"},
        {"usb:serial=A,serial=B", "serial given twice"},
        {"usb:vid=0403,pid=6001,vid=0403", "vid given twice"},
        {"usb:serial=", "empty serial"},
        {"usb:location=,vid=0403", "empty location"},
        {"usb:interface=", "empty interface"},
        {"usb:vid=403", "vid is not 4 hex digits"},
        {"usb:vid=0x0403", "vid is not 4 hex digits"},
        {"usb:pid=60010", "pid is not 4 hex digits"},
        {"usb:pid=60g1", "pid is not 4 hex digits"},
        {"usb:interface=256", "interface is not a number from 0 to 255"},
        {"usb:interface=-1", "interface is not a number from 0 to 255"},
        {"usb:interface=0x1", "interface is not a number from 0 to 255"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(usb_IsUsbName(c.name)) << c.name;
        UsbSelector s{};
        const char* reason = usb_ParseName(c.name, &s);
        EXPECT_EQ(std::string(reason != nullptr ? reason : "(well formed)"),
                  c.reason != nullptr ? c.reason : "(well formed)")
            << c.name;
        if (c.reason != nullptr || reason != nullptr) {
            continue;
        }
        EXPECT_EQ(s.keys, c.keys) << c.name;
        EXPECT_EQ(s.vid, c.vid) << c.name;
        EXPECT_EQ(s.pid, c.pid) << c.name;
        EXPECT_EQ(s.interface, c.interface) << c.name;
        EXPECT_EQ(std::string(s.serial != nullptr ? s.serial : "", s.serial_length), c.serial)
            << c.name;
        EXPECT_EQ(std::string(s.location != nullptr ? s.location : "", s.location_length),
                  c.location)
            << c.name;
    }
    for (const char* other : {"USB:vid=0403", "usb", "/dev/ttyUSB0", "rfc2217://h:1", "COM3"}) {
        EXPECT_FALSE(usb_IsUsbName(other)) << other;
    }
}

} // namespace
