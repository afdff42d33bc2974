// The device's link rules: establishment, acknowledgements, sequence
// numbers, retransmission of its replies, frame errors, host restarts.
#include "sim_test_host.h"

#include <gtest/gtest.h>

namespace {

using simtest::Encode;
using simtest::Host;
using simtest::HostFrame;
using simtest::SetupPacket;

const std::vector<uint8_t> GETSTATUS = SetupPacket(0xA1, 3, 0, 6);

size_t CountLink(const std::vector<HostFrame>& frames, const std::vector<uint8_t>& message) {
    size_t n = 0;
    for (const HostFrame& f : frames) {
        n += f.good && f.channel == 1 && f.payload == message;
    }
    return n;
}

TEST(SimLink, EstablishmentAnswersAndRepeats) {
    sim::DeviceConfig config;
    config.link_repeat_ms = 50;
    sim::Device dev(config);
    Host host(dev);

    // Shy: sync at power-up, again after every repeat interval.
    EXPECT_EQ(CountLink(host.Take(), simtest::SYNC), 1u);
    host.Advance(49);
    EXPECT_TRUE(host.Take().empty());
    host.Advance(1);
    EXPECT_EQ(CountLink(host.Take(), simtest::SYNC), 1u);

    // conf while shy is ignored; sync is answered with sync-response.
    host.SendLink(simtest::CONF);
    EXPECT_TRUE(host.Take().empty());
    host.SendLink(simtest::SYNC);
    EXPECT_EQ(CountLink(host.Take(), simtest::SYNC_RESP), 1u);

    // sync-response makes it curious: conf at once and repeated.
    host.SendLink(simtest::SYNC_RESP);
    EXPECT_EQ(CountLink(host.Take(), simtest::CONF), 1u);
    host.Advance(50);
    EXPECT_EQ(CountLink(host.Take(), simtest::CONF), 1u);
    EXPECT_FALSE(dev.LinkUp());

    // conf-response: up, nothing repeated any more; a conf is still answered.
    host.SendLink(simtest::CONF_RESP);
    EXPECT_TRUE(dev.LinkUp());
    host.Advance(500);
    EXPECT_TRUE(host.Take().empty());
    host.SendLink(simtest::CONF);
    EXPECT_EQ(CountLink(host.Take(), simtest::CONF_RESP), 1u);
    EXPECT_EQ(dev.Stats().link_ups, 1u);
}

TEST(SimLink, RequestsBeforeTheLinkIsUpAreIgnored) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    host.Take();
    host.Request(GETSTATUS);
    EXPECT_TRUE(host.Take().empty());
    EXPECT_EQ(dev.Stats().requests, 0u);
}

TEST(SimLink, ReplyCarriesTheAcknowledgementAndSequence) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    for (int i = 0; i < 10; ++i) { // through a sequence-number wrap
        host.Request(GETSTATUS);
        const std::vector<HostFrame> frames = host.Take();
        ASSERT_EQ(frames.size(), 1u) << i; // no separate ack-only frame
        const HostFrame& f = frames[0];
        EXPECT_TRUE(f.good);
        EXPECT_TRUE(f.reliable);
        EXPECT_EQ(f.channel, 12);
        EXPECT_EQ(f.ack, (i + 1) & 7);
        EXPECT_EQ(f.seq, i & 7);
        host.Send(Encode(false, 0, static_cast<uint8_t>((f.seq + 1) & 7), 0, {}));
    }
    EXPECT_EQ(dev.Stats().requests, 10u);
    EXPECT_EQ(dev.Stats().acks_sent, 0u);
}

TEST(SimLink, DuplicatesAndGapsAreAcknowledgedNotHandled) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    ASSERT_EQ(host.Call(GETSTATUS).size(), 10u);

    struct Case {
        const char* name;
        uint8_t seq;
        uint64_t sim::DeviceStats::*counter;
    } cases[] = {
        {"the request just handled, again", 0, &sim::DeviceStats::host_retransmissions},
        {"a sequence number from the future", 5, &sim::DeviceStats::out_of_sequence},
    };
    for (const Case& c : cases) {
        const uint64_t before = dev.Stats().*c.counter;
        host.Send(Encode(true, c.seq, 1, 12, GETSTATUS));
        const std::vector<HostFrame> frames = host.Take();
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].channel, 0) << c.name;
        EXPECT_TRUE(frames[0].payload.empty()) << c.name;
        EXPECT_EQ(frames[0].ack, 1) << c.name; // unchanged expected number
        EXPECT_EQ(dev.Stats().*c.counter, before + 1) << c.name;
        EXPECT_EQ(dev.Stats().requests, 1u) << c.name;
    }
}

TEST(SimLink, FrameErrorsAreAnsweredWithTheUnchangedExpectedNumber) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    ASSERT_EQ(host.Call(GETSTATUS).size(), 10u);
    std::vector<uint8_t> bad = Encode(true, 1, 1, 12, GETSTATUS);
    bad[8] ^= 0x04; // a payload byte
    host.Send(bad);
    const std::vector<HostFrame> frames = host.Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, 0);
    EXPECT_EQ(frames[0].ack, 1);
    EXPECT_EQ(dev.Stats().frame_errors, 1u);
    EXPECT_EQ(dev.Stats().requests, 1u);
}

TEST(SimLink, OtherChannelsAreAcknowledgedAndDropped) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    host.Send(Encode(true, 0, 0, 5, GETSTATUS));
    const std::vector<HostFrame> frames = host.Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, 0);
    EXPECT_EQ(frames[0].ack, 1);
    EXPECT_EQ(dev.Stats().requests, 0u);
}

TEST(SimLink, UnacknowledgedRepliesAreSentAgainUntilAcknowledged) {
    struct Case {
        bool reliable;
        size_t copies_after_rests;
    } cases[] = {{true, 3}, {false, 0}};
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        config.reliable_replies = c.reliable;
        config.retransmit_ms = 100;
        sim::Device dev(config);
        Host host(dev);
        ASSERT_TRUE(host.BringUp());
        host.Request(GETSTATUS);
        const std::vector<HostFrame> first = host.Take();
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].reliable, c.reliable);
        size_t copies = 0;
        for (int rest = 0; rest < 3; ++rest) {
            host.Advance(99);
            EXPECT_TRUE(host.Take().empty());
            host.Advance(1);
            for (const HostFrame& f : host.Take()) {
                EXPECT_EQ(f.payload, first[0].payload);
                EXPECT_EQ(f.seq, first[0].seq);
                ++copies;
            }
        }
        EXPECT_EQ(copies, c.copies_after_rests) << c.reliable;
        // The acknowledgement ends it.
        host.Send(Encode(false, 0, 1, 0, {}));
        host.Advance(1000);
        EXPECT_TRUE(host.Take().empty());
        EXPECT_EQ(dev.Stats().reply_retransmissions, c.copies_after_rests);
    }
}

TEST(SimLink, DelayedReplyIsPrecededByAnAcknowledgement) {
    sim::DeviceConfig config;
    config.reply_delay_ms = 30;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    host.Request(GETSTATUS);
    std::vector<HostFrame> frames = host.Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, 0);
    EXPECT_EQ(frames[0].ack, 1);
    host.Advance(29);
    EXPECT_TRUE(host.Take().empty());
    host.Advance(1);
    frames = host.Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, 12);
}

TEST(SimLink, SyncWhileUpRestartsTheLinkFromSequenceZero) {
    sim::Device dev{sim::DeviceConfig{}};
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    ASSERT_EQ(host.Call(GETSTATUS).size(), 10u);
    ASSERT_EQ(host.Call(GETSTATUS).size(), 10u);
    host.SendLink(simtest::SYNC);
    const std::vector<HostFrame> frames = host.Take();
    EXPECT_EQ(CountLink(frames, simtest::SYNC), 1u);
    EXPECT_EQ(CountLink(frames, simtest::SYNC_RESP), 1u);
    EXPECT_FALSE(dev.LinkUp());
    EXPECT_EQ(dev.Stats().host_restarts, 1u);
    ASSERT_TRUE(host.BringUp());
    host.Request(GETSTATUS);
    const std::vector<HostFrame> reply = host.Take();
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].seq, 0);
    EXPECT_EQ(reply[0].ack, 1);
}

TEST(SimLink, PacedOutputLeavesAtLineSpeed) {
    sim::DeviceConfig config;
    config.paced = true;
    sim::Device dev(config);
    uint8_t buf[64];
    // The 12-byte sync frame takes 12 byte times (about 1.15 ms).
    EXPECT_EQ(dev.Transmit(buf, sizeof buf), 0u);
    dev.AdvanceTo(500);
    const size_t half = dev.Transmit(buf, sizeof buf);
    EXPECT_EQ(half, 500000u / sim::PACED_BYTE_NS);
    dev.AdvanceTo(1200);
    EXPECT_EQ(half + dev.Transmit(buf, sizeof buf), 12u);
}

} // namespace
