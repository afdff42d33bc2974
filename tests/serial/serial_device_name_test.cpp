// The Windows device path for the port name as typed.
#include "serial_device_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SerialDeviceName, OnlyBareComNamesGetTheDevicePrefix) {
    struct Case {
        const char* typed;
        const char* opened;
    };
    const Case cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM10", "\\\\.\\COM10"},
        {"com256", "\\\\.\\com256"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"COM", "COM"},
        {"COMX", "COMX"},
        {"COM1:", "COM1:"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char out[64];
        ASSERT_TRUE(com_DevicePath(c.typed, out, sizeof out)) << c.typed;
        EXPECT_EQ(std::string(out), c.opened) << c.typed;
    }
}

TEST(SerialDeviceName, RefusesWhenThePathDoesNotFit) {
    char out[9] = "untouch";
    EXPECT_FALSE(com_DevicePath("COM1234", out, sizeof out)); // needs 4 + 7 + 1
    EXPECT_EQ(std::string(out), "untouch");
    char exact[12];
    EXPECT_TRUE(com_DevicePath("COM1234", exact, sizeof exact));
    EXPECT_EQ(std::string(exact), "\\\\.\\COM1234");
}

// The console, null and printer devices under every spelling Windows
// accepts for them; a COM port, or a name that only starts like one, is not.
TEST(SerialDeviceName, ConsoleNullAndPrinterNamesAreNoPorts) {
    struct Case {
        const char* typed;
        bool reserved;
    };
    const Case cases[] = {
        {"CON", true},        {"conout$", true}, {"CONIN$", true},        {"NUL", true},
        {"\\\\.\\NUL", true}, {"nul.dfu", true}, {"C:\\work\\aux", true}, {"PRN:", true},
        {"LPT1", true},       {"COM3", false},   {"\\\\.\\COM12", false}, {"CONSOLE", false},
        {"LPT10", false},     {"NULL", false},   {"/dev/ttyUSB0", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(com_IsReservedDeviceName(c.typed), c.reserved) << c.typed;
    }
}

} // namespace
