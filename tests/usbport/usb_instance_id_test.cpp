// Windows instance IDs, as Windows and FTDI's bus driver write them, read
// for a port's USB identity.
#include "usb_instance_id.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UsbInstanceId, ReadsUsbFtdibusAndCompositeChains) {
    struct Case {
        const char* what;
        const char* ids[3]; // the port's node first, then its parents
        int device;         // index of the USB device, -1 for none
        uint8_t known;
        uint16_t vid, pid;
        const char* serial;
        uint8_t interface;
    };
    constexpr uint8_t IDS = USB_KEY_VID | USB_KEY_PID;
    const Case cases[] = {
        {"a CDC device on its own",
         {"USB\\VID_2341&PID_0043\\75330303035351F0F1C2", "USB\\ROOT_HUB30\\4&1B2C3D4E&0&0"},
         0,
         IDS | USB_KEY_SERIAL,
         0x2341,
         0x0043,
         "75330303035351F0F1C2",
         0},
        {"a composite device's interface, serial from its parent",
         {"USB\\VID_2E8A&PID_000A&MI_00\\6&2C3B4A5&0&0000",
          "USB\\VID_2E8A&PID_000A\\E66038B7133A2F2D"},
         1,
         IDS | USB_KEY_SERIAL | USB_KEY_INTERFACE,
         0x2E8A,
         0x000A,
         "E66038B7133A2F2D",
         0},
        {"an interface numbered in hex, a device without a serial of its own",
         {"USB\\VID_1A86&PID_55D4&MI_0A\\7&1111&0&000A", "USB\\VID_1A86&PID_55D4\\5&3753427A&0&3"},
         1,
         IDS | USB_KEY_INTERFACE,
         0x1A86,
         0x55D4,
         "",
         10},
        {"FTDI's bus driver, one port",
         {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "USB\\VID_0403&PID_6001\\A50285BI"},
         1,
         IDS | USB_KEY_SERIAL | USB_KEY_INTERFACE,
         0x0403,
         0x6001,
         "A50285BI",
         0},
        {"FTDI's bus driver, the second port of a two-port chip",
         {"FTDIBUS\\VID_0403+PID_6010+FT4ZQ1B\\0000", "USB\\VID_0403&PID_6010&MI_01\\6&AB12&0&0001",
          "USB\\VID_0403&PID_6010\\FT4ZQ1"},
         2,
         IDS | USB_KEY_SERIAL | USB_KEY_INTERFACE,
         0x0403,
         0x6010,
         "FT4ZQ1",
         1},
        {"FTDI's bus driver alone, lower case as typed",
         {"ftdibus\\vid_0403+pid_6011+ft9xyzD\\0000"},
         -1,
         IDS | USB_KEY_SERIAL | USB_KEY_INTERFACE,
         0x0403,
         0x6011,
         "ft9xyz",
         3},
        {"not USB at all", {"ACPI\\PNP0501\\1"}, -1, 0, 0, 0, "", 0},
    };
    for (const Case& c : cases) {
        size_t count = 0;
        while (count < 3 && c.ids[count] != nullptr) {
            ++count;
        }
        UsbPort port{};
        EXPECT_EQ(usb_IdentityFromInstanceIds(c.ids, count, &port), c.device) << c.what;
        EXPECT_EQ(port.known, c.known) << c.what;
        EXPECT_EQ(port.vid, c.vid) << c.what;
        EXPECT_EQ(port.pid, c.pid) << c.what;
        EXPECT_EQ(std::string(port.serial), c.serial) << c.what;
        EXPECT_EQ(port.interface, c.interface) << c.what;
    }
}

} // namespace
