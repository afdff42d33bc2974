// The device's frame codec against the wire examples and the frame check.
#include "sim_frame.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SimFrame, EncodesTheWireExamples) {
    const uint8_t sync[4] = {0xDA, 0xDC, 0xED, 0xED};
    EXPECT_EQ(sim::EncodeLinkFrame(sync),
              (Bytes{0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0}));

    // (A helper rather than a table of frames: GCC 12 at -O2 misreads
    // arrays of aggregates holding vectors as uninitialised.)
    auto expect = [](const char* name, bool reliable, uint8_t ack, uint8_t channel,
                     const Bytes& payload, const Bytes& wire) {
        sim::Frame frame;
        frame.reliable = reliable;
        frame.ack = ack;
        frame.channel = channel;
        frame.payload = payload;
        EXPECT_EQ(sim::EncodeFrame(frame), wire) << name;
    };
    expect("reliable seq 0 ack 0: header byte C0 escaped", true, 0, 12, {0x61, 0x62, 0x63},
           {0xC0, 0xDB, 0xDC, 0x3C, 0x00, 0x03, 0x61, 0x62, 0x63, 0x29, 0x9D, 0xC0});
    expect("GETSTATUS request", true, 0, 12, {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00},
           {0xC0, 0xDB, 0xDC, 0x8C, 0x00, 0xB3, 0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00,
            0xD0, 0x30, 0xC0});
    expect("ack-only, expecting 0", false, 0, 0, {},
           {0xC0, 0x40, 0x00, 0x00, 0xBF, 0x57, 0x1A, 0xC0});
    expect("ack-only, expecting 1", false, 1, 0, {},
           {0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0});
}

// Splits `wire` and checks the one frame in it.
sim::FrameCheck SplitAndCheck(const Bytes& wire, sim::Frame* out, size_t* frames) {
    sim::FrameSplitter splitter;
    sim::FrameCheck result = sim::FrameCheck::Length;
    *frames = 0;
    for (uint8_t b : wire) {
        if (splitter.Feed(b)) {
            ++*frames;
            result = sim::CheckFrame(splitter.Body(), out);
        }
    }
    return result;
}

TEST(SimFrame, RoundTripKeepsSpecialBytesAndFields) {
    sim::Frame in{true, true, 5, 3, 12, {0xC0, 0xDB, 0x00, 0xDC, 0xDD, 0xC0}};
    sim::Frame out;
    size_t frames = 0;
    ASSERT_EQ(SplitAndCheck(sim::EncodeFrame(in), &out, &frames), sim::FrameCheck::Ok);
    EXPECT_EQ(frames, 1u);
    EXPECT_EQ(out.payload, in.payload);
    EXPECT_TRUE(out.reliable);
    EXPECT_EQ(out.seq, 5);
    EXPECT_EQ(out.ack, 3);
    EXPECT_EQ(out.channel, 12);
}

TEST(SimFrame, CheckRejectsDamage) {
    const Bytes good = sim::EncodeFrame({true, true, 1, 2, 12, {1, 2, 3, 4}});
    struct Case {
        const char* name;
        size_t at; // byte index in the wire frame
        uint8_t xor_with;
        sim::FrameCheck expected;
    } cases[] = {
        {"header byte", 2, 0x01, sim::FrameCheck::HeaderChecksum},
        {"header checksum", 4, 0x80, sim::FrameCheck::HeaderChecksum},
        {"payload byte", 6, 0x10, sim::FrameCheck::Crc},
        {"CRC byte", good.size() - 2, 0x01, sim::FrameCheck::Crc},
    };
    for (const Case& c : cases) {
        Bytes wire = good;
        wire[c.at] ^= c.xor_with;
        sim::Frame out;
        size_t frames = 0;
        EXPECT_EQ(SplitAndCheck(wire, &out, &frames), c.expected) << c.name;
    }
    // A lost payload byte and a lost CRC are length errors.
    for (size_t drop : {size_t{6}, good.size() - 2}) {
        Bytes wire = good;
        wire.erase(wire.begin() + static_cast<long>(drop));
        sim::Frame out;
        size_t frames = 0;
        EXPECT_EQ(SplitAndCheck(wire, &out, &frames), sim::FrameCheck::Length) << drop;
    }
}

TEST(SimFrame, SplitterDropsShortFramesSilently) {
    sim::Frame out;
    size_t frames = 0;
    SplitAndCheck({0xC0, 0xC0, 0x01, 0x02, 0xC0, 0xC0}, &out, &frames);
    EXPECT_EQ(frames, 0u);
    // A frame without CRC is checked by its length alone.
    const Bytes no_crc = sim::EncodeFrame({false, false, 0, 0, 3, {9, 9}});
    EXPECT_EQ(SplitAndCheck(no_crc, &out, &frames), sim::FrameCheck::Ok);
    EXPECT_EQ(out.payload, (Bytes{9, 9}));
}

} // namespace

namespace {

TEST(SimFrame, EndlessGarbageStaysBounded) {
    sim::FrameSplitter splitter;
    for (int i = 0; i < 100000; ++i) {
        EXPECT_FALSE(splitter.Feed(static_cast<uint8_t>(i % 0xC0)));
    }
    ASSERT_TRUE(splitter.Feed(0xC0));
    EXPECT_LE(splitter.Body().size(), 4u + 4095u + 2u);
    EXPECT_LT(splitter.Raw().size(), 2u * (4u + 4095u + 2u) + 8u);
    sim::Frame out;
    EXPECT_NE(sim::CheckFrame(splitter.Body(), &out), sim::FrameCheck::Ok);
}

} // namespace
