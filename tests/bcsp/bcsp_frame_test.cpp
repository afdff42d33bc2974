// Frame format on the wire: CRC, escaping, the engine's frames byte for
// byte, and the receive checks with their messages.
#include <cstdio>
#include <functional>
#include <string>

#include "bcsp_frame.h"
#include "bcsp_test_line.h"

namespace {

TEST(BcspCrc, RegisterIsCrc16Mcrf4xxAndGoesOutBitReversed) {
    uint16_t crc = BCSP_CRC_INIT;
    for (char c : std::string("123456789")) {
        crc = bcsp_Crc16Update(static_cast<uint8_t>(c), crc);
    }
    EXPECT_EQ(crc, 0x6F91);
    EXPECT_EQ(bcsp_BitReverse16(crc), 0x89F6);

    // The nibble table agrees with the bitwise definition on every byte value.
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<uint8_t>(b));
    }
    crc = BCSP_CRC_INIT;
    for (uint8_t b : all) {
        crc = bcsp_Crc16Update(b, crc);
    }
    EXPECT_EQ(crc, reference_crc(all));
    EXPECT_EQ(bcsp_BitReverse16(0x0001), 0x8000);
    EXPECT_EQ(bcsp_BitReverse16(0xA97A), 0x5E95);
}

TEST_F(BcspTest, EngineFramesMatchTheWireExamples) {
    static uint8_t abc[] = {0x61, 0x62, 0x63};
    static uint8_t get_status[] = {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
    static BcspPacket send = {};
    struct Case {
        const char* name;
        std::function<void(BcspTest&)> setup;
        Bytes expected;
    };
    const Case cases[] = {
        {"sync, first frame after a reset",
         [](BcspTest&) {},
         {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0}},
        {"sync-response, after the peer's sync",
         [](BcspTest& t) {
             t.next_frame();
             t.inject(le_frame(LE_SYNC));
             t.next_frame(); // the sync chosen before
         },
         {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0}},
        {"conf, once curious",
         [](BcspTest& t) {
             t.next_frame();
             t.inject(le_frame(LE_SYNC_RESP));
             t.next_frame();
         },
         {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0}},
        {"conf-response, after the peer's conf",
         [](BcspTest& t) {
             t.next_frame();
             t.inject(le_frame(LE_SYNC_RESP));
             t.next_frame();
             t.next_frame();
             t.inject(le_frame(LE_CONF));
             t.next_frame();
         },
         {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0}},
        {"61 62 63 reliable on channel 12",
         [](BcspTest& t) {
             t.bring_up();
             send = {12, 1, 3, abc};
             bcsp_Send(&send);
         },
         {0xC0, 0xDB, 0xDC, 0x3C, 0x00, 0x03, 0x61, 0x62, 0x63, 0x29, 0x9D, 0xC0}},
        {"first GETSTATUS after a reset",
         [](BcspTest& t) {
             t.bring_up();
             send = {12, 1, 8, get_status};
             bcsp_Send(&send);
         },
         {0xC0, 0xDB, 0xDC, 0x8C, 0x00, 0xB3, 0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0xD0,
          0x30, 0xC0}},
        {"acknowledgement-only, expecting 0 (out-of-sequence frame received)",
         [](BcspTest& t) {
             t.bring_up();
             t.inject(wire_frame(header0(true, 1, 0), 12, {0x55}));
         },
         ACK_EXPECTING_0},
        {"acknowledgement-only, expecting 1 (in-sequence frame received)",
         [](BcspTest& t) {
             t.bring_up();
             t.inject(wire_frame(header0(true, 0, 0), 12, {0x55}));
         },
         ACK_EXPECTING_1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        c.setup(*this);
        EXPECT_EQ(next_wire(), c.expected);
    }
}

// A 2-byte payload for channel 12, reliable, seq 0, ack 0, whose CRC has
// `value` in its high (`high`) or low byte.
Bytes payload_with_crc_byte(bool high, uint8_t value) {
    for (uint32_t v = 0; v < 0x10000; ++v) {
        const Bytes payload = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        const Bytes body = {0xC0, 0x2C, 0x00, 0x13, payload[0], payload[1]};
        const uint16_t crc = bcsp_BitReverse16(reference_crc(body));
        if ((high ? crc >> 8 : crc & 0xFF) == value) {
            return payload;
        }
    }
    ADD_FAILURE() << "no payload found";
    return {};
}

TEST_F(BcspTest, DelimiterAndEscapeBytesSurviveBothDirections) {
    const Bytes payloads[] = {
        {0xC0, 0xDB, 0xC0},
        {0xDB, 0xDB},
        {0x00, 0xC0},
        payload_with_crc_byte(true, 0xC0),
        payload_with_crc_byte(false, 0xC0),
        payload_with_crc_byte(true, 0xDB),
        payload_with_crc_byte(false, 0xDB),
    };
    for (const Bytes& payload : payloads) {
        SCOPED_TRACE(testing::PrintToString(payload));
        reset();
        bring_up();
        Bytes data = payload;
        BcspPacket send = {12, 1, static_cast<uint16_t>(data.size()), data.data()};
        bcsp_Send(&send);
        const Bytes expected = wire_frame(header0(true, 0, 0), 12, payload);
        EXPECT_EQ(next_wire(), expected);
        bcsp_Withdraw(&send);

        // The same bytes coming back from the peer deliver the payload.
        inject(expected);
        const uint8_t activity = run(1);
        EXPECT_EQ(activity, ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
        EXPECT_EQ(Bytes(rx_storage, rx_storage + rx.length), payload);
        EXPECT_EQ(rx.channel, 12);
    }
}

TEST_F(BcspTest, PayloadBeyondCapacityIsTruncatedAndFailsTheLengthCheck) {
    bring_up();
    // 232 payload bytes + 2 CRC bytes fill the 234-byte record exactly.
    inject(wire_frame(header0(true, 0, 0), 12, Bytes(232, 0x5A)));
    EXPECT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
    EXPECT_EQ(rx.length, 232);
    EXPECT_EQ(printed(), "");
    next_wire();

    rearm();
    inject(wire_frame(header0(true, 1, 0), 12, Bytes(233, 0x5A)));
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(printed(), "\n######################## Slip Length Error (With CRC) 233,232\n");
    EXPECT_EQ(next_wire(), ACK_EXPECTING_1);
}

TEST_F(BcspTest, EmptyAndShortFramesAreDroppedSilently) {
    bring_up();
    inject({0xC0, 0xC0, 0xC0, 0x40, 0x41, 0x00, 0xC0, 0xC0});
    EXPECT_EQ(run(200), 0);
    EXPECT_EQ(printed(), "");
    EXPECT_TRUE(written_frames().empty());
}

TEST_F(BcspTest, EachFrameErrorPrintsItsMessageAndRepeatsTheExpectedNumber) {
    // Header C1 3C 00 02: reliable, seq 1, ack 0, channel 12, length 3.
    const Bytes good_header = {0xC1, 0x3C, 0x00, 0x02};
    auto with = [](Bytes header, const Bytes& payload) {
        header.insert(header.end(), payload.begin(), payload.end());
        return header;
    };
    Bytes crc_flipped = wire_body(with(good_header, {1, 2, 3}), true);
    crc_flipped[crc_flipped.size() - 2] ^= 0x01;
    const Bytes no_crc_header = {0x81, 0x3C, 0x00, 0x42};
    struct Case {
        Bytes wire;
        std::string message;
    };
    const Case cases[] = {
        {wire_body(with({0xC1, 0x3C, 0x00, 0x03}, {1, 2, 3}), true),
         "\n######################## Header Checksum Error C1 3C 00 03\n"},
        {wire_body(with(good_header, {1, 2}), true),
         "\n######################## Slip Length Error (With CRC) 3,2\n"},
        {crc_flipped, "\n######################## CRC Error\n"},
        {wire_body(with(no_crc_header, {1, 2}), false),
         "\n######################## Slip Length Error (No CRC) 3,2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        reset();
        bring_up();
        inject(wire_frame(header0(true, 0, 0), 12, {0x11}));
        ASSERT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
        ASSERT_EQ(next_wire(), ACK_EXPECTING_1);
        rearm();
        printed();

        inject(c.wire);
        EXPECT_EQ(run(1), 0);
        EXPECT_EQ(printed(), c.message);
        EXPECT_EQ(next_wire(), ACK_EXPECTING_1);
    }
}

TEST_F(BcspTest, EscapeFollowedByAnOrdinaryByteKeepsThatByte) {
    const uint8_t odd_seconds[] = {0x41, 0xFF, 0x00};
    for (uint8_t second : odd_seconds) {
        SCOPED_TRACE(static_cast<int>(second));
        reset();
        bring_up();
        // Sent as DB xx, taken as xx: the frame is checked as if xx was sent.
        Bytes wire = wire_frame(header0(true, 0, 0), 12, {0x01, second, 0x03});
        const auto at = std::find(wire.begin() + 5, wire.end(), second);
        ASSERT_NE(at, wire.end());
        wire.insert(at, 0xDB);
        inject(wire);
        EXPECT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
        EXPECT_EQ(Bytes(rx_storage, rx_storage + rx.length), Bytes({0x01, second, 0x03}));
    }
}

} // namespace
