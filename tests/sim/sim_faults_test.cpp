// Injected line faults: the counted frame faults hit exactly their frame,
// random damage is counted, and damage that slips through the frame check
// is reported separately.
#include "sim_faults.h"
#include "sim_test_host.h"

#include <gtest/gtest.h>

namespace {

using simtest::Encode;
using simtest::Host;
using simtest::HostFrame;
using simtest::SetupPacket;

const std::vector<uint8_t> GETSTATUS = SetupPacket(0xA1, 3, 0, 6);

TEST(SimFaults, CountedReplyFaults) {
    struct Case {
        const char* name;
        std::vector<uint32_t> sim::FaultConfig::*list;
        size_t frames_seen;
        bool first_good;
    } cases[] = {
        {"drop", &sim::FaultConfig::drop_reply, 0, false},
        {"corrupt", &sim::FaultConfig::corrupt_reply, 1, false},
        {"duplicate", &sim::FaultConfig::duplicate_reply, 2, true},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        (config.faults.*c.list).push_back(2); // the second reply
        sim::Device dev(config);
        Host host(dev);
        ASSERT_TRUE(host.BringUp());
        ASSERT_EQ(host.Call(GETSTATUS).size(), 10u) << c.name;
        host.Request(GETSTATUS);
        const std::vector<HostFrame> frames = host.Take();
        ASSERT_EQ(frames.size(), c.frames_seen) << c.name;
        if (!frames.empty()) {
            EXPECT_EQ(frames[0].good, c.first_good) << c.name;
        }
        EXPECT_EQ(dev.Stats().injected_tx, 1u) << c.name;
        // A lost or damaged reply comes again after the rest, intact.
        if (!c.first_good) {
            host.Advance(config.retransmit_ms);
            const std::vector<HostFrame> again = host.Take();
            ASSERT_EQ(again.size(), 1u) << c.name;
            EXPECT_TRUE(again[0].good) << c.name;
            EXPECT_EQ(again[0].seq, 1) << c.name;
        }
    }
}

TEST(SimFaults, DroppedAcknowledgementLeavesTheHostToRetransmit) {
    sim::DeviceConfig config;
    config.faults.drop_ack.push_back(1);
    config.start_state = sim::STATE_APP_IDLE;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    host.Request(SetupPacket(0x21, 0, 1000, 0)); // DETACH: answered by an ack-only frame
    EXPECT_TRUE(host.Take().empty());
    EXPECT_EQ(dev.Stats().acks_sent, 1u);
}

TEST(SimFaults, SurelyCorruptedFramesAlwaysFailTheCheck) {
    // Payloads full of bytes that need escaping, CRCs of every kind.
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> payload;
        for (int j = 0; j < i % 23; ++j) {
            payload.push_back(static_cast<uint8_t>(j % 3 == 0 ? 0xC0 : j % 3 == 1 ? 0xDB : i * j));
        }
        std::vector<uint8_t> frame = Encode(i % 2, static_cast<uint8_t>(i & 7),
                                            static_cast<uint8_t>(i / 8 & 7), 12, payload);
        const std::vector<uint8_t> original = frame;
        ASSERT_TRUE(sim::CorruptFrameSurely(frame)) << i;
        EXPECT_EQ(frame.size(), original.size()) << i;
        const std::vector<HostFrame> decoded = simtest::Decode(frame);
        ASSERT_EQ(decoded.size(), 1u) << i;
        EXPECT_FALSE(decoded[0].good) << i;
        EXPECT_FALSE(sim::DamagedFramePasses(frame, original)) << i;
    }
}

TEST(SimFaults, DamageWithoutCrcPassingIsDetected) {
    const std::vector<uint8_t> original = Encode(false, 0, 0, 3, {1, 2, 3, 4}, false);
    std::vector<uint8_t> damaged = original;
    damaged[6] ^= 0x20; // a payload byte; no CRC to notice
    EXPECT_TRUE(sim::DamagedFramePasses(damaged, original));
    EXPECT_FALSE(sim::DamagedFramePasses(original, original));
}

TEST(SimFaults, DamagedHostFramesThatPassAreCountedAndLogged) {
    // Host frames without CRC: a damaged payload byte passes the check.
    for (double rate : {0.0, 0.01}) {
        sim::DeviceConfig config;
        config.faults.rx_corrupt_rate = rate;
        config.faults.seed = 42;
        sim::Device dev(config);
        std::vector<std::string> lines;
        dev.SetLog([&lines](const std::string& l) {
            if (l.find("damaged host frame passed") != std::string::npos) {
                lines.push_back(l);
            }
        });
        Host host(dev);
        const std::vector<uint8_t> frame =
            Encode(false, 0, 0, 3, std::vector<uint8_t>(60, 0x55), false);
        for (int i = 0; i < 200; ++i) {
            host.Send(frame);
        }
        if (rate == 0) {
            EXPECT_EQ(dev.Stats().damaged_rx_passed, 0u);
            EXPECT_EQ(dev.Stats().injected_rx, 0u);
            EXPECT_EQ(dev.Stats().host_frames, 200u);
        } else {
            EXPECT_GT(dev.Stats().injected_rx, 0u);
            EXPECT_GT(dev.Stats().damaged_rx_passed, 0u);
            EXPECT_GT(dev.Stats().frame_errors, 0u);
        }
        EXPECT_EQ(lines.size(), dev.Stats().damaged_rx_passed);
        EXPECT_EQ(dev.Stats().bytes_from_host, 200u * frame.size());
    }
}

TEST(SimFaults, RandomFaultsRepeatWithTheSameSeed) {
    auto run = [](uint64_t seed) {
        sim::DeviceConfig config;
        config.faults.tx_corrupt_rate = 0.05;
        config.faults.tx_drop_rate = 0.02;
        config.faults.tx_duplicate_rate = 0.1;
        config.faults.seed = seed;
        sim::Device dev(config);
        Host host(dev);
        for (int i = 0; i < 50; ++i) {
            host.Advance(config.link_repeat_ms);
        }
        return std::make_pair(host.Take().size(), dev.Stats().injected_tx);
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_GT(run(7).second, 0u);
}

} // namespace
