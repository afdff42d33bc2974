// tarnload-ports [--json]: the serial ports present, with the USB identity
// of those on a USB adapter and the shortest `usb:` name that selects each.
// It opens no port, so listing never disturbs a run in progress.
#include "json_out.h"
#include "text_escape.h"
#include "usb_name.h"
#include "usb_ports.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

constexpr char USAGE[] = "Usage: tarnload-ports [--json]\n";
// The listing's own limit on a reason, with room for the system's text.
constexpr size_t ERROR_TEXT_SIZE = 256;
// Room for a usb: name giving every key.
constexpr size_t SELECTOR_SIZE = 5 * (USB_TEXT_SIZE + 16);

UsbPort ports[USB_PORTS_MAX];

// A field of a line: the device's text with control characters (tabs
// included) as \xNN, or "-" when unknown.
void print_field(const char* text) {
    char shown[TEXT_SHOWN_NAME_SIZE];
    std::printf("\t%s", text[0] != '\0' ? text_ShownName(text, shown, sizeof shown) : "-");
}

void print_line(const UsbPort* port, const char* selector) {
    char shown[TEXT_SHOWN_NAME_SIZE];
    std::printf("%s", text_ShownName(port->port, shown, sizeof shown));
    if (port->known != 0) {
        char text[16] = "";
        if ((port->known & USB_KEY_VID) != 0) {
            std::snprintf(text, sizeof text, "%04x:%04x", port->vid, port->pid);
        }
        print_field(text);
        print_field(port->serial);
        print_field(port->location);
        text[0] = '\0';
        if ((port->known & USB_KEY_INTERFACE) != 0) {
            std::snprintf(text, sizeof text, "%u", port->interface);
        }
        print_field(text);
        print_field(port->manufacturer);
        print_field(port->product);
        print_field(selector);
    }
    std::printf("\n");
}

// A JSON string, or null for an empty text when `null_if_empty`. A device's
// own texts may hold any bytes: the writer keeps the JSON valid whatever
// they are.
void print_json_string(const char* text, bool null_if_empty = true) {
    if (text[0] == '\0' && null_if_empty) {
        std::printf("null");
        return;
    }
    // The longest text listed is a selector; every byte escaped at its
    // longest (\u00XX), with the quotes.
    char json[6 * SELECTOR_SIZE + 2];
    JsonOut out(json, sizeof json);
    out.String(text);
    std::fwrite(json, 1, out.Length(), stdout);
}

void print_json_object(const UsbPort* port, const char* selector) {
    char text[16] = "";
    std::printf("  {\"port\": ");
    print_json_string(port->port, false);
    if ((port->known & USB_KEY_VID) != 0) {
        std::snprintf(text, sizeof text, "%04x", port->vid);
    }
    std::printf(", \"vid\": ");
    print_json_string(text);
    text[0] = '\0';
    if ((port->known & USB_KEY_PID) != 0) {
        std::snprintf(text, sizeof text, "%04x", port->pid);
    }
    std::printf(", \"pid\": ");
    print_json_string(text);
    std::printf(", \"serial\": ");
    print_json_string(port->serial);
    std::printf(", \"location\": ");
    print_json_string(port->location);
    if ((port->known & USB_KEY_INTERFACE) != 0) {
        std::printf(", \"interface\": %u", port->interface);
    } else {
        std::printf(", \"interface\": null");
    }
    std::printf(", \"manufacturer\": ");
    print_json_string(port->manufacturer);
    std::printf(", \"product\": ");
    print_json_string(port->product);
    std::printf(", \"selector\": ");
    print_json_string(selector);
    std::printf("}");
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    if (argc == 2 && std::strcmp(argv[1], "--json") == 0) {
        json = true;
    } else if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("%s", USAGE);
        return EXIT_OK;
    } else if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tarnload-ports %s\n", TARN_VERSION);
        return EXIT_OK;
    } else if (argc != 1) {
        std::fprintf(stderr, "%s", USAGE);
        return EXIT_FAILED;
    }
    char error[ERROR_TEXT_SIZE] = "";
    const int count = usb_ListPorts(ports, USB_PORTS_MAX, error, sizeof error);
    if (count < 0) {
        std::fprintf(stderr, "tarnload-ports: %s\n", error);
        return EXIT_FAILED;
    }
    const size_t n = static_cast<size_t>(count);
    if (json) {
        std::printf("[");
    }
    for (size_t i = 0; i < n; ++i) {
        char selector[SELECTOR_SIZE];
        usb_ShortestName(ports, n, i, selector, sizeof selector);
        if (json) {
            std::printf(i == 0 ? "\n" : ",\n");
            print_json_object(&ports[i], selector);
        } else {
            print_line(&ports[i], selector);
        }
    }
    if (json) {
        std::printf(n == 0 ? "]\n" : "\n]\n");
    }
    return std::fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
}
