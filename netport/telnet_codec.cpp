// The Telnet byte stream, one byte at a time.
#include "telnet_codec.h"

namespace {

enum State : uint8_t {
    DATA,    // plain data
    IAC,     // after IAC
    VERB,    // after IAC WILL/WONT/DO/DONT
    SB_OPT,  // after IAC SB
    SB_DATA, // inside a subnegotiation
    SB_IAC,  // after IAC inside a subnegotiation
};

TelnetEvent none() {
    return TelnetEvent{TelnetEventKind::NONE, 0, 0, 0, 0, false, nullptr};
}

TelnetEvent subnegotiation(const TelnetDecoder* d) {
    return TelnetEvent{TelnetEventKind::SUBNEG, 0, 0, d->option, d->length, d->truncated, d->sb};
}

void keep(TelnetDecoder* d, uint8_t byte) {
    if (d->sb_bytes <= TELNET_SB_ENDLESS) {
        ++d->sb_bytes;
    }
    if (d->length < TELNET_SB_MAX) {
        d->sb[d->length++] = byte;
    } else {
        d->truncated = true;
    }
}

// The byte after IAC outside a subnegotiation.
TelnetEvent command(TelnetDecoder* d, uint8_t byte) {
    switch (byte) {
    case TELNET_IAC:
        d->state = DATA;
        return TelnetEvent{TelnetEventKind::DATA, TELNET_IAC, 0, 0, 0, false, nullptr};
    case TELNET_WILL:
    case TELNET_WONT:
    case TELNET_DO:
    case TELNET_DONT:
        d->verb = byte;
        d->state = VERB;
        return none();
    case TELNET_SB:
        d->state = SB_OPT;
        return none();
    default:
        d->state = DATA;
        return none();
    }
}

} // namespace

void telnet_Reset(TelnetDecoder* d) {
    *d = TelnetDecoder{};
    d->state = DATA;
}

TelnetEvent telnet_Feed(TelnetDecoder* d, uint8_t byte) {
    switch (d->state) {
    case DATA:
        if (byte == TELNET_IAC) {
            d->state = IAC;
            return none();
        }
        return TelnetEvent{TelnetEventKind::DATA, byte, 0, 0, 0, false, nullptr};
    case IAC:
        return command(d, byte);
    case VERB:
        d->state = DATA;
        return TelnetEvent{TelnetEventKind::OPTION, 0, d->verb, byte, 0, false, nullptr};
    case SB_OPT:
        d->option = byte;
        d->length = 0;
        d->sb_bytes = 0;
        d->truncated = false;
        d->state = SB_DATA;
        return none();
    case SB_DATA:
        if (byte == TELNET_IAC) {
            d->state = SB_IAC;
        } else {
            keep(d, byte);
        }
        return none();
    case SB_IAC:
        if (byte == TELNET_IAC) {
            keep(d, byte);
            d->state = SB_DATA;
            return none();
        }
        if (byte == TELNET_SE) {
            d->state = DATA;
            return subnegotiation(d);
        }
        // An unterminated subnegotiation: report what came, marked cut, and
        // read the byte as the command it starts (no command yields an event
        // on its first byte, so nothing else is lost).
        d->truncated = true;
        {
            const TelnetEvent cut = subnegotiation(d);
            command(d, byte);
            return cut;
        }
    default:
        telnet_Reset(d);
        return none();
    }
}

uint32_t telnet_Escape(const uint8_t* data, uint32_t len, uint8_t* out) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < len; ++i) {
        out[n++] = data[i];
        if (data[i] == TELNET_IAC) {
            out[n++] = TELNET_IAC;
        }
    }
    return n;
}

uint8_t telnet_ComPortRequest(uint8_t code, uint32_t value, uint8_t value_size, uint8_t* out) {
    uint8_t n = 0;
    out[n++] = TELNET_IAC;
    out[n++] = TELNET_SB;
    out[n++] = TELNET_OPT_COM_PORT;
    out[n++] = code;
    for (uint8_t i = value_size; i-- > 0;) {
        const auto byte = static_cast<uint8_t>(value >> (8 * i));
        out[n++] = byte;
        if (byte == TELNET_IAC) {
            out[n++] = TELNET_IAC;
        }
    }
    out[n++] = TELNET_IAC;
    out[n++] = TELNET_SE;
    return n;
}

bool telnet_EndlessSubnegotiation(const TelnetDecoder* d) {
    return (d->state == SB_DATA || d->state == SB_IAC) && d->sb_bytes > TELNET_SB_ENDLESS;
}
