// The RFC 2217 client's reading of the server's Telnet stream.
#include "rfc2217_client.h"

#include <cstring>

namespace {

struct Setting {
    uint8_t code;
    uint32_t value;
    uint8_t size; // value bytes on the wire
};

constexpr Setting SETTINGS[] = {
    {RFC2217_SET_BAUDRATE, RFC2217_BAUD, 4},
    {RFC2217_SET_DATASIZE, RFC2217_DATASIZE_8, 1},
    {RFC2217_SET_PARITY, RFC2217_PARITY_EVEN, 1},
    {RFC2217_SET_STOPSIZE, RFC2217_STOPSIZE_1, 1},
    {RFC2217_SET_CONTROL, RFC2217_CONTROL_NO_FLOW, 1},
};

static_assert(RFC2217_PURGE_DATA < 16, "the awaited answers are bits of 16");

bool ours(uint8_t option) {
    return option == TELNET_OPT_BINARY || option == TELNET_OPT_SGA;
}

// Declines `option` once: a second request for it is not answered again.
void decline(Rfc2217Client* c, uint8_t* declined, uint8_t verb, uint8_t option) {
    const uint8_t bit = static_cast<uint8_t>(1u << (option % 8));
    if ((declined[option / 8] & bit) != 0 || c->reply_length + 3 > RFC2217_REPLY_MAX) {
        return;
    }
    declined[option / 8] |= bit;
    c->reply[c->reply_length++] = TELNET_IAC;
    c->reply[c->reply_length++] = verb;
    c->reply[c->reply_length++] = option;
}

void option_request(Rfc2217Client* c, uint8_t verb, uint8_t option) {
    switch (verb) {
    case TELNET_WILL:
        // WILL for an option we asked for is its confirmation.
        if (!ours(option)) {
            decline(c, c->declined_will, TELNET_DONT, option);
        }
        break;
    case TELNET_DO:
        if (option == TELNET_OPT_COM_PORT) {
            c->com_port_agreed = true;
        } else if (!ours(option)) {
            decline(c, c->declined_do, TELNET_WONT, option);
        }
        break;
    case TELNET_DONT:
        if (option == TELNET_OPT_COM_PORT) {
            c->com_port_refused = true;
        }
        break;
    default: // WONT: nothing to do, nothing to answer
        break;
    }
}

const Setting* setting_for(uint8_t code) {
    for (const Setting& s : SETTINGS) {
        if (s.code == code) {
            return &s;
        }
    }
    return nullptr;
}

void answer(Rfc2217Client* c, const TelnetEvent& e) {
    if (e.option != TELNET_OPT_COM_PORT || e.length == 0 || e.data[0] <= RFC2217_ANSWER_OFFSET) {
        return;
    }
    const uint8_t code = static_cast<uint8_t>(e.data[0] - RFC2217_ANSWER_OFFSET);
    // Notifications (line and modem state, flow control) and answers to
    // nothing asked fall out here.
    if (code >= 16 || !rfc2217_Awaiting(c, code)) {
        return;
    }
    c->awaited &= static_cast<uint16_t>(~(1u << code));
    const Setting* s = setting_for(code);
    if (s == nullptr) {
        return; // the purge: its value is not examined
    }
    // The value as far as its 4 bytes go, for the refusal line.
    uint32_t value = 0;
    for (uint8_t i = 1; i < e.length && i <= 4; ++i) {
        value = (value << 8) | e.data[i];
    }
    const bool confirmed = !e.truncated && e.length == 1 + s->size && value == s->value;
    if (!confirmed && c->wrong_code == 0) {
        c->wrong_code = code;
        c->wrong_value = value;
    }
}

} // namespace

void rfc2217_Start(Rfc2217Client* c) {
    std::memset(c, 0, sizeof *c);
    telnet_Reset(&c->decoder);
}

void rfc2217_OptionRequests(uint8_t* out) {
    const uint8_t requests[RFC2217_OPTION_REQUESTS_SIZE] = {
        TELNET_IAC,        TELNET_WILL,    TELNET_OPT_BINARY, TELNET_IAC,     TELNET_DO,
        TELNET_OPT_BINARY, TELNET_IAC,     TELNET_WILL,       TELNET_OPT_SGA, TELNET_IAC,
        TELNET_DO,         TELNET_OPT_SGA, TELNET_IAC,        TELNET_WILL,    TELNET_OPT_COM_PORT};
    std::memcpy(out, requests, sizeof requests);
}

uint8_t rfc2217_SettingsRequests(Rfc2217Client* c, uint8_t* out) {
    uint8_t n = 0;
    for (const Setting& s : SETTINGS) {
        n = static_cast<uint8_t>(n + telnet_ComPortRequest(s.code, s.value, s.size, out + n));
        c->awaited |= static_cast<uint16_t>(1u << s.code);
    }
    return n;
}

uint8_t rfc2217_PurgeRequest(Rfc2217Client* c, uint8_t* out) {
    c->awaited |= static_cast<uint16_t>(1u << RFC2217_PURGE_DATA);
    return telnet_ComPortRequest(RFC2217_PURGE_DATA, RFC2217_PURGE_BOTH, 1, out);
}

uint32_t rfc2217_Receive(Rfc2217Client* c, uint8_t* buf, uint32_t len) {
    uint32_t data = 0;
    for (uint32_t i = 0; i < len; ++i) {
        const TelnetEvent e = telnet_Feed(&c->decoder, buf[i]);
        switch (e.kind) {
        case TelnetEventKind::DATA:
            buf[data++] = e.byte; // never ahead of i: decoding only shrinks
            break;
        case TelnetEventKind::OPTION:
            option_request(c, e.verb, e.option);
            break;
        case TelnetEventKind::SUBNEG:
            answer(c, e);
            break;
        case TelnetEventKind::NONE:
            break;
        }
    }
    return data;
}
