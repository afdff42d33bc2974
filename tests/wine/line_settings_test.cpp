// The port's device-control block as the Windows build makes it, checked
// field by field under the system's own BuildCommDCBA. Reading the settings
// back from a port cannot replace this: the pseudo-terminals behind the test
// ports drop the parity they are given. Prints one line per wrong field;
// exit status 0 when every field is right.
#include "serial_win32_settings.h"

#include <cstdio>
#include <cstring>

namespace {

struct Field {
    const char* name;
    unsigned long actual;
    unsigned long expected;
};

int check(const char* start, const DCB& c) {
    const Field fields[] = {
        {"DCBlength", c.DCBlength, sizeof(DCB)},
        {"BaudRate", c.BaudRate, CBR_115200},
        {"ByteSize", c.ByteSize, 8},
        {"Parity", c.Parity, EVENPARITY},
        {"StopBits", c.StopBits, ONESTOPBIT},
        {"fBinary", c.fBinary, TRUE},
        // No software flow control: 0x11 and 0x13 are ordinary frame bytes.
        {"fOutX", c.fOutX, FALSE},
        {"fInX", c.fInX, FALSE},
        // No hardware flow control: the device drives no handshake lines.
        {"fOutxCtsFlow", c.fOutxCtsFlow, FALSE},
        {"fOutxDsrFlow", c.fOutxDsrFlow, FALSE},
        {"fDsrSensitivity", c.fDsrSensitivity, FALSE},
        {"fDtrControl", c.fDtrControl, DTR_CONTROL_ENABLE},
        {"fRtsControl", c.fRtsControl, RTS_CONTROL_ENABLE},
        // Every received byte reaches the link as it came.
        {"fNull", c.fNull, FALSE},
        {"fErrorChar", c.fErrorChar, FALSE},
        {"fAbortOnError", c.fAbortOnError, FALSE},
    };
    int wrong = 0;
    for (const Field& f : fields) {
        if (f.actual != f.expected) {
            std::printf("block that started %s: %s is %lu, expected %lu\n", start, f.name, f.actual,
                        f.expected);
            ++wrong;
        }
    }
    return wrong;
}

} // namespace

int main() {
    // Whatever the block held before must not show through.
    const struct {
        const char* name;
        int fill;
    } starts[] = {{"zeroed", 0x00}, {"all ones", 0xFF}, {"patterned", 0xA5}};
    int wrong = 0;
    for (const auto& s : starts) {
        DCB config;
        std::memset(&config, s.fill, sizeof config);
        com_MakeLineSettings(&config);
        wrong += check(s.name, config);
    }
    return wrong == 0 ? 0 : 1;
}
