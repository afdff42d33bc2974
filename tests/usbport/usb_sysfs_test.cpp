// The Linux listing against a sysfs tree of the test's own, and the usb:
// names resolved against it: one match, none, several, a two-port chip.
#include "serial_usb_name.h"
#include "usb_name.h"
#include "usb_ports.h"
#include "usb_ports_sysfs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A bench's worth of ports, laid out as the kernel does:
//   ttyUSB0, ttyUSB1  two FT232R adapters (usb-serial: tty below the interface)
//   ttyUSB2, ttyUSB3  the two ports of one FT2232 (interfaces 0 and 1)
//   ttyACM0           a CDC device without a serial number, behind a hub
//   ttyS4             a UART on the board; ttyS0 an 8250 placeholder; tty0 a console
class FakeSysfs : public testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/usb-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        const std::string hub1 = "devices/pci0000:00/0000:00:14.0/usb1";
        usb_device(hub1 + "/1-1", "0403", "6001", "A1", "FT232R USB UART");
        usb_device(hub1 + "/1-2", "0403", "6001", "B2", "FT232R USB UART");
        usb_device(hub1 + "/1-3", "0403", "6010", "C3", "Dual RS232-HS");
        usb_device("devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.4", "2e8a", "000a", "", "Pico");
        tty("ttyUSB0", hub1 + "/1-1/1-1:1.0", "00", "/ttyUSB0");
        tty("ttyUSB1", hub1 + "/1-2/1-2:1.0", "00", "/ttyUSB1");
        tty("ttyUSB2", hub1 + "/1-3/1-3:1.0", "00", "/ttyUSB2");
        tty("ttyUSB3", hub1 + "/1-3/1-3:1.1", "01", "/ttyUSB3");
        tty("ttyACM0", "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.4/2-1.4:1.0", "00", "");
        tty("ttyS4", "devices/pnp0/00:01", "", "");
        tty("ttyS0", "devices/platform/serial8250", "", "");
        fs::create_directories(root / "sys/class/tty/tty0");
        usb_SetSysfsRoot(root.c_str());
    }
    void TearDown() override {
        usb_SetSysfsRoot(nullptr);
        fs::remove_all(root);
    }

    void file(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }
    void usb_device(const std::string& dir, const char* vid, const char* pid, const char* serial,
                    const char* product) {
        const fs::path d = root / "sys" / dir;
        file(d / "idVendor", vid);
        file(d / "idProduct", pid);
        if (serial[0] != '\0') {
            file(d / "serial", serial);
        }
        file(d / "manufacturer", "Maker");
        file(d / "product", product);
    }
    // /sys/class/tty/NAME/device -> the interface (a CDC tty) or the port
    // device below it (usb-serial), as a relative link like the kernel's.
    void tty(const char* name, const std::string& parent, const char* interface,
             const std::string& below) {
        const fs::path device = root / "sys" / (parent + below);
        fs::create_directories(device);
        if (interface[0] != '\0') {
            file(root / "sys" / parent / "bInterfaceNumber", interface);
        }
        const fs::path entry = root / "sys/class/tty" / name;
        fs::create_directories(entry);
        fs::create_directory_symlink(fs::path("../../..") / (parent + below), entry / "device");
    }

    fs::path root;
};

std::string resolve(const char* name, std::string* device) {
    char out[USB_PORT_NAME_SIZE] = "";
    testing::internal::CaptureStdout();
    const bool found = com_ResolveUsbName(name, out, sizeof out);
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    *device = found ? out : "";
    return printed;
}

TEST_F(FakeSysfs, ListsEveryPortWithItsIdentityAndTheShortestNameForIt) {
    UsbPort ports[USB_PORTS_MAX];
    char error[128] = "";
    const int count = usb_ListPorts(ports, USB_PORTS_MAX, error, sizeof error);
    ASSERT_EQ(count, 6) << error;
    struct Row {
        const char* port;
        const char* description;
        const char* shortest;
    };
    const Row rows[] = {
        {"/dev/ttyACM0", "/dev/ttyACM0 (2e8a:000a, location 2-1.4, interface 0)", "usb:vid=2e8a"},
        {"/dev/ttyS4", "/dev/ttyS4", ""},
        {"/dev/ttyUSB0", "/dev/ttyUSB0 (0403:6001, serial A1, location 1-1, interface 0)",
         "usb:serial=A1"},
        {"/dev/ttyUSB1", "/dev/ttyUSB1 (0403:6001, serial B2, location 1-2, interface 0)",
         "usb:serial=B2"},
        {"/dev/ttyUSB2", "/dev/ttyUSB2 (0403:6010, serial C3, location 1-3, interface 0)",
         "usb:pid=6010,interface=0"},
        {"/dev/ttyUSB3", "/dev/ttyUSB3 (0403:6010, serial C3, location 1-3, interface 1)",
         "usb:interface=1"}, // the only port on an interface 1
    };
    for (size_t i = 0; i < 6; ++i) {
        const Row& row = rows[i];
        EXPECT_EQ(std::string(ports[i].port), row.port);
        char description[512] = "";
        EXPECT_EQ(std::string(usb_AppendDescription(&ports[i], description, sizeof description)),
                  row.description);
        char shortest[512];
        EXPECT_EQ(usb_ShortestName(ports, 6, i, shortest, sizeof shortest), row.shortest[0] != 0);
        EXPECT_EQ(std::string(shortest), row.shortest) << row.port;
    }
    EXPECT_EQ(std::string(ports[2].manufacturer) + "/" + ports[2].product, "Maker/FT232R USB UART");
}

TEST_F(FakeSysfs, ANameResolvesOnlyWhenExactlyOnePortMatches) {
    struct Case {
        const char* name;
        const char* device; // "" when refused
        const char* printed;
    };
    const Case cases[] = {
        {"usb:serial=B2", "/dev/ttyUSB1", ""},
        {"usb:location=1-1", "/dev/ttyUSB0", ""},
        {"usb:vid=2E8A,pid=000A", "/dev/ttyACM0", ""},
        {"usb:serial=C3,interface=1", "/dev/ttyUSB3", ""},
        {"usb:location=1-3,interface=0", "/dev/ttyUSB2", ""},
        {"usb:serial=b2", "",
         "Serial port: no USB serial port matches usb:serial=b2 (present: "
         "/dev/ttyACM0 (2e8a:000a, location 2-1.4, interface 0), "
         "/dev/ttyUSB0 (0403:6001, serial A1, location 1-1, interface 0), "
         "/dev/ttyUSB1 (0403:6001, serial B2, location 1-2, interface 0), "
         "/dev/ttyUSB2 (0403:6010, serial C3, location 1-3, interface 0), "
         "/dev/ttyUSB3 (0403:6010, serial C3, location 1-3, interface 1))\n"},
        {"usb:vid=0403,pid=6001", "",
         "Serial port: usb:vid=0403,pid=6001 matches 2 USB serial ports, none opened: "
         "/dev/ttyUSB0 (0403:6001, serial A1, location 1-1, interface 0), "
         "/dev/ttyUSB1 (0403:6001, serial B2, location 1-2, interface 0)\n"},
        {"usb:serial=C3", "",
         "Serial port: usb:serial=C3 matches 2 USB serial ports, none opened: "
         "/dev/ttyUSB2 (0403:6010, serial C3, location 1-3, interface 0), "
         "/dev/ttyUSB3 (0403:6010, serial C3, location 1-3, interface 1)\n"},
        {"usb:serial=A1,interface=1", "",
         "Serial port: no USB serial port matches usb:serial=A1,interface=1 (present: "
         "/dev/ttyACM0 (2e8a:000a, location 2-1.4, interface 0), "
         "/dev/ttyUSB0 (0403:6001, serial A1, location 1-1, interface 0), "
         "/dev/ttyUSB1 (0403:6001, serial B2, location 1-2, interface 0), "
         "/dev/ttyUSB2 (0403:6010, serial C3, location 1-3, interface 0), "
         "/dev/ttyUSB3 (0403:6010, serial C3, location 1-3, interface 1))\n"},
        {"usb:serial=\x1b[2J", "",
         "Serial port: no USB serial port matches usb:serial=\\x1B[2J (present: "
         "/dev/ttyACM0 (2e8a:000a, location 2-1.4, interface 0), "
         "/dev/ttyUSB0 (0403:6001, serial A1, location 1-1, interface 0), "
         "/dev/ttyUSB1 (0403:6001, serial B2, location 1-2, interface 0), "
         "/dev/ttyUSB2 (0403:6010, serial C3, location 1-3, interface 0), "
         "/dev/ttyUSB3 (0403:6010, serial C3, location 1-3, interface 1))\n"},
        {"usb:vid=0403,vid=0403", "",
         "Serial port: malformed USB port name usb:vid=0403,vid=0403 (vid given twice)\n"},
    };
    for (const Case& c : cases) {
        std::string device;
        EXPECT_EQ(resolve(c.name, &device), c.printed) << c.name;
        EXPECT_EQ(device, c.device) << c.name;
    }
}

TEST_F(FakeSysfs, NoUsbPortAndNoTreeAreToldApart) {
    fs::remove_all(root / "sys/class/tty");
    fs::create_directories(root / "sys/class/tty/ttyS4");
    std::string device;
    EXPECT_EQ(resolve("usb:serial=A1", &device),
              "Serial port: no USB serial port matches usb:serial=A1 (none present)\n");
    fs::remove_all(root / "sys/class");
    EXPECT_EQ(resolve("usb:serial=A1", &device),
              "Serial port: cannot list the serial ports (cannot read " + root.string() +
                  "/sys/class/tty (No such file or directory))\n");
    EXPECT_EQ(device, "");
}

} // namespace
