// The RFC 2217 client's reading of server streams, recorded from ser2net or
// made hostile, fed whole and byte by byte (a command split across reads
// must decode the same), and the network names.
#include "net_address.h"
#include "net_timing.h"
#include "rfc2217_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes repeat(const Bytes& piece, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// ser2net 4.3 with a telnet(rfc2217) accepter, as recorded: its greeting,
// its answer to our options (with an unsolicited NOTIFY-MODEMSTATE), the
// five settings answers, a NOTIFY-LINESTATE, the purge answer.
const Bytes GREETING = hex("ff fb 03 ff fd 03 ff fb 01 ff fe 01 ff fd 00 ff fb 00 ff fd 2c ");
const Bytes OPTION_ANSWERS = hex("ff fd 03 ff fa 2c 6b 00 ff f0 ");
const Bytes SETTINGS_ANSWERS = hex("ff fa 2c 65 00 01 c2 00 ff f0 ff fa 2c 66 08 ff f0 ff fa 2c 67 "
                                   "03 ff f0 ff fa 2c 68 01 ff f0 ff fa 2c 69 01 ff f0 ");
const Bytes LINESTATE = hex("ff fa 2c 6a 00 ff f0 ");
const Bytes PURGE_ANSWER = hex("ff fa 2c 70 03 ff f0 ");

struct StreamCase {
    const char* name;
    Bytes stream;
    Bytes data;         // the data bytes the link gets
    Bytes reply;        // what the client answers
    bool agreed;        // DO COM-PORT-OPTION seen
    bool refused;       // DONT COM-PORT-OPTION seen
    uint16_t awaited;   // answers still due
    uint8_t wrong_code; // first answer that did not confirm
    uint32_t wrong_value;
};

constexpr uint16_t ALL_DUE = 0x103E; // settings 1..5 and the purge (12)

std::vector<StreamCase> cases() {
    return {
        {"ser2net session, data with a doubled 0xFF",
         concat({GREETING, OPTION_ANSWERS, SETTINGS_ANSWERS, LINESTATE, PURGE_ANSWER,
                 hex("ff ff 01 c0 ")}),
         hex("ff 01 c0 "), hex("ff fe 01 "), true, false, 0, 0, 0},
        {"answers out of order, parity answered none",
         concat({hex("ff fd 2c ff fa 2c 70 03 ff f0 ff fa 2c 69 01 ff f0 ff fa 2c 67 01 ff f0 "
                     "ff fa 2c 68 01 ff f0 ff fa 2c 66 08 ff f0 ff fa 2c 65 00 01 c2 00 ff f0 ")}),
         {},
         {},
         true,
         false,
         0,
         3,
         1},
        {"a baud answer with a doubled 0xFF in its value",
         hex("ff fa 2c 65 00 00 ff ff ff f0 "),
         {},
         {},
         false,
         false,
         ALL_DUE & ~2,
         1,
         255},
        {"COM-PORT-OPTION refused, flow control notices between data",
         hex("41 ff fe 2c ff fa 2c 6c ff f0 42 ff fa 2c 6d ff f0 43 "),
         hex("41 42 43 "),
         {},
         false,
         true,
         ALL_DUE,
         0,
         0},
        {"endless option requests answered once each",
         concat({repeat(hex("ff fb 63 ff fd 18 "), 200), hex("ff fb 00 ff fd 2c 5a ")}), hex("5a "),
         hex("ff fe 63 ff fc 18 "), true, false, ALL_DUE, 0, 0},
        {"a huge subnegotiation, then an answer",
         concat({hex("ff fa 2c 65 "), repeat(hex("00 ff ff "), 3000), hex("ff f0 "),
                 hex("ff fa 2c 66 08 ff f0 7e ")}),
         hex("7e "),
         {},
         false,
         false,
         ALL_DUE & ~6,
         1,
         0x00FF00FF},
        {"an unterminated subnegotiation ends at the next command",
         hex("ff fa 05 01 02 ff fd 05 ff f1 ff f9 33 "), hex("33 "), hex("ff fc 05 "), false, false,
         ALL_DUE, 0, 0},
    };
}

struct Outcome {
    Bytes data;
    Bytes reply;
    Rfc2217Client client;
};

// Feeds `stream` in pieces of `piece` bytes (0: whole) to a client that has
// sent its settings and a purge.
Outcome feed(const Bytes& stream, size_t piece) {
    Outcome o{};
    rfc2217_Start(&o.client);
    uint8_t scratch[RFC2217_SETTINGS_REQUESTS_MAX];
    rfc2217_SettingsRequests(&o.client, scratch);
    rfc2217_PurgeRequest(&o.client, scratch);
    const size_t step = piece == 0 ? 256 : piece;
    for (size_t at = 0; at < stream.size(); at += step) {
        Bytes chunk(stream.begin() + static_cast<long>(at),
                    stream.begin() + static_cast<long>(std::min(stream.size(), at + step)));
        const uint32_t n =
            rfc2217_Receive(&o.client, chunk.data(), static_cast<uint32_t>(chunk.size()));
        o.data.insert(o.data.end(), chunk.begin(), chunk.begin() + n);
        o.reply.insert(o.reply.end(), o.client.reply, o.client.reply + o.client.reply_length);
        o.client.reply_length = 0;
    }
    return o;
}

TEST(TelnetStream, ServerStreamsWholeAndSplit) {
    for (const StreamCase& c : cases()) {
        for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            const Outcome o = feed(c.stream, piece);
            EXPECT_EQ(o.data, c.data);
            EXPECT_EQ(o.reply, c.reply);
            EXPECT_EQ(o.client.com_port_agreed, c.agreed);
            EXPECT_EQ(o.client.com_port_refused, c.refused);
            EXPECT_EQ(o.client.awaited, c.awaited);
            EXPECT_EQ(o.client.wrong_code, c.wrong_code);
            EXPECT_EQ(o.client.wrong_value, c.wrong_value);
        }
    }
}

TEST(TelnetStream, RequestsAreTheLineSettingsOnceEach) {
    Rfc2217Client client;
    rfc2217_Start(&client);
    uint8_t out[RFC2217_SETTINGS_REQUESTS_MAX];
    const uint8_t n = rfc2217_SettingsRequests(&client, out);
    EXPECT_EQ(Bytes(out, out + n),
              hex("ff fa 2c 01 00 01 c2 00 ff f0 ff fa 2c 02 08 ff f0 ff fa 2c 03 03 ff f0 "
                  "ff fa 2c 04 01 ff f0 ff fa 2c 05 01 ff f0 "));
    uint8_t escaped[8];
    const uint8_t data[] = {0xFF, 0xC0, 0xFF};
    EXPECT_EQ(Bytes(escaped, escaped + telnet_Escape(data, 3, escaped)), hex("ff ff c0 ff ff "));
}

TEST(NetAddress, Names) {
    struct Row {
        const char* name;
        bool ok;
        NetKind kind;
        const char* host;
        uint16_t port;
    };
    const Row rows[] = {
        {"rfc2217://lab-7.example:2217", true, NetKind::RFC2217, "lab-7.example", 2217},
        {"socket://10.0.0.5:4001", true, NetKind::RAW, "10.0.0.5", 4001},
        {"socket://[fe80::1%eth0]:65535", true, NetKind::RAW, "fe80::1%eth0", 65535},
        {"rfc2217://::1:2217", false, NetKind::RAW, "", 0},
        {"rfc2217://[::1:2217", false, NetKind::RAW, "", 0},
        {"rfc2217://host:0", false, NetKind::RAW, "", 0},
        {"rfc2217://host:65536", false, NetKind::RAW, "", 0},
        {"rfc2217://host:22x", false, NetKind::RAW, "", 0},
        {"rfc2217://host:", false, NetKind::RAW, "", 0},
        {"socket://:4001", false, NetKind::RAW, "", 0},
        {"telnet://host:23", false, NetKind::RAW, "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        NetAddress a{};
        ASSERT_EQ(net_ParseAddress(r.name, &a), r.ok);
        if (r.ok) {
            EXPECT_EQ(a.kind, r.kind);
            EXPECT_STREQ(a.host, r.host);
            EXPECT_EQ(a.port, r.port);
        }
    }
    // Too long a host is said as such, not as a malformed name.
    const std::string long_host(NET_HOST_SIZE, 'a');
    for (const std::string& name :
         {"socket://" + long_host + ":4001", "rfc2217://[" + long_host + "]:2217"}) {
        NetAddress a{};
        EXPECT_FALSE(net_ParseAddress(name.c_str(), &a));
        EXPECT_TRUE(net_HostTooLong(name.c_str()));
    }
    EXPECT_FALSE(net_HostTooLong(("socket://" + long_host.substr(1) + ":4001").c_str()));
    EXPECT_FALSE(net_HostTooLong("rfc2217://::1:2217"));
    EXPECT_FALSE(net_IsNetworkName("/dev/ttyUSB0"));
    EXPECT_TRUE(net_IsNetworkName("socket://"));
}

// 11 bits a byte at 115200: writes queue behind each other on the far line,
// and one after a pause starts when it is written.
TEST(NetTiming, LineClockAndAllowance) {
    NetTiming t;
    nettiming_Reset(&t);
    EXPECT_EQ(nettiming_AllowanceMs(&t), 0u);
    EXPECT_EQ(nettiming_Write(&t, 1000, 1152), 1000 + 110'000);
    EXPECT_EQ(nettiming_Write(&t, 2000, 1152), 1000 + 220'000);
    EXPECT_EQ(nettiming_Write(&t, 500'000, 0), 500'000);
    // The answer came 100 ms after the first write's bytes had left.
    nettiming_Arrived(&t, 111'000 + 100'000);
    EXPECT_EQ(nettiming_AllowanceMs(&t), 100u + 4 * 50);
    for (int i = 0; i < 80; ++i) {
        nettiming_Sample(&t, 20'000);
    }
    EXPECT_LE(nettiming_AllowanceMs(&t), 21u);
    nettiming_Sample(&t, 60'000'000);
    EXPECT_EQ(nettiming_AllowanceMs(&t), NET_ALLOWANCE_MAX_MS);
}

} // namespace
