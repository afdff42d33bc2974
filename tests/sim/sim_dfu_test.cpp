// The device's DFU behaviour: states, detach and reset, the download and its
// checks, manifestation, descriptors and the received image.
#include "sim_test_host.h"

#include <gtest/gtest.h>

namespace {

using simtest::Host;
using simtest::SetupPacket;

const std::vector<uint8_t> DETACH = SetupPacket(0x21, 0, 1000, 0);
const std::vector<uint8_t> CLRSTATUS = SetupPacket(0x21, 4, 0, 0);
const std::vector<uint8_t> RESET = SetupPacket(0x41, 7, 0, 0);
const std::vector<uint8_t> DEVICE_DESCRIPTOR = SetupPacket(0xC1, 8, 0, 12);
const std::vector<uint8_t> FUNCTIONAL_DESCRIPTOR = SetupPacket(0xC1, 9, 0, 6);

std::vector<uint8_t> Block(size_t size, uint8_t seed) {
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return b;
}

// A device already in DFU mode with the link up.
struct DfuDevice {
    explicit DfuDevice(sim::DeviceConfig config = {}) : dev(WithStart(config)), host(dev) {
        EXPECT_TRUE(host.BringUp());
    }
    static sim::DeviceConfig WithStart(sim::DeviceConfig c) {
        c.start_state = sim::STATE_DFU_IDLE;
        return c;
    }
    // Downloads `block` and polls until dfuDNLOAD-IDLE; the GETSTATUS states seen.
    std::vector<uint8_t> Put(uint16_t number, const std::vector<uint8_t>& data) {
        EXPECT_EQ(host.Download(number, data), 0);
        std::vector<uint8_t> states;
        for (int i = 0; i < 20; ++i) {
            const Host::Status s = host.GetStatus();
            states.push_back(s.state);
            if (s.state != sim::STATE_DNBUSY) {
                break;
            }
        }
        return states;
    }
    sim::Device dev;
    Host host;
};

TEST(SimDfu, DescriptorsFollowTheMode) {
    sim::DeviceConfig config;
    config.app.SetIds(0x1111, 0x2222);
    config.dfu.SetIds(0x3333, 0x4444);
    config.app.attributes = 0x000B;
    config.app.detach_timeout_ms = 0x1234;
    config.app.transfer_size = 64;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    std::vector<uint8_t> r = host.Call(DEVICE_DESCRIPTOR);
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[2], 12);
    EXPECT_EQ(r[4 + 6] | r[4 + 7] << 8, 0x1111);
    EXPECT_EQ(r[4 + 8] | r[4 + 9] << 8, 0x2222);
    r = host.Call(FUNCTIONAL_DESCRIPTOR);
    EXPECT_EQ(r, (std::vector<uint8_t>{0, 0, 6, 0, 0x0B, 0x00, 0x34, 0x12, 64, 0}));

    // DETACH with will-detach: acknowledged, no reply, back in DFU mode after the restart.
    host.Request(DETACH);
    const std::vector<simtest::HostFrame> ack = host.Take();
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].channel, 0);
    EXPECT_EQ(ack[0].ack, host.TxSeq());
    EXPECT_FALSE(dev.Running());
    host.Advance(config.restart_ms);
    EXPECT_TRUE(dev.Running());
    EXPECT_TRUE(dev.InDfuMode());
    ASSERT_TRUE(host.BringUp());
    r = host.Call(DEVICE_DESCRIPTOR);
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[4 + 6] | r[4 + 7] << 8, 0x3333);
    EXPECT_EQ(r[4 + 8] | r[4 + 9] << 8, 0x4444);
    EXPECT_EQ(host.GetStatus().state, sim::STATE_DFU_IDLE);
}

TEST(SimDfu, DetachWithoutWillDetachWaitsForReset) {
    sim::DeviceConfig config;
    config.app.attributes = sim::ATTR_CAN_DOWNLOAD;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    EXPECT_EQ(host.GetStatus().state, sim::STATE_APP_IDLE);
    host.Request(DETACH);
    host.Take();
    host.Advance(1000);
    EXPECT_TRUE(dev.Running());
    EXPECT_EQ(host.GetStatus().state, sim::STATE_APP_DETACH);
    host.Request(RESET);
    host.Advance(config.restart_ms);
    ASSERT_TRUE(host.BringUp());
    EXPECT_EQ(host.GetStatus().state, sim::STATE_DFU_IDLE);
}

TEST(SimDfu, ResetAcknowledgementIsAnOption) {
    for (bool acked : {true, false}) {
        sim::DeviceConfig config;
        config.ack_reset_request = acked;
        sim::Device dev(config);
        Host host(dev);
        ASSERT_TRUE(host.BringUp());
        host.Request(RESET);
        const std::vector<simtest::HostFrame> frames = host.Take();
        EXPECT_EQ(frames.size(), acked ? 1u : 0u);
        EXPECT_FALSE(dev.Running());
        EXPECT_EQ(dev.Stats().restarts, 1u);
    }
}

TEST(SimDfu, FullDownloadRecordsTheImageAndComesBackAsApplication) {
    sim::DeviceConfig config;
    config.busy_answers = 2;
    config.busy_poll_timeout_ms = 0x012345; // byte 1 most significant
    config.manifest_answers = 3;
    DfuDevice d(config);
    std::vector<uint8_t> image;
    for (uint16_t n = 0; n < 3; ++n) {
        const std::vector<uint8_t> data = Block(n == 2 ? 17 : 230, static_cast<uint8_t>(n));
        image.insert(image.end(), data.begin(), data.end());
        EXPECT_EQ(d.Put(n, data), (std::vector<uint8_t>{4, 4, 5}));
    }
    EXPECT_EQ(d.dev.Image(), image);
    EXPECT_FALSE(d.dev.ImageComplete());
    EXPECT_EQ(d.host.Download(3, {}), 0);
    EXPECT_TRUE(d.dev.ImageComplete());
    std::vector<uint8_t> states;
    for (int i = 0; i < 4; ++i) {
        states.push_back(d.host.GetStatus().state);
    }
    EXPECT_EQ(states, (std::vector<uint8_t>{7, 7, 7, 2}));
    EXPECT_TRUE(d.dev.ManifestationDone());
    EXPECT_EQ(d.dev.CompletedUpdates(), 1u);
    d.host.Request(RESET);
    d.host.Advance(d.dev.Config().restart_ms);
    ASSERT_TRUE(d.host.BringUp());
    EXPECT_EQ(d.host.GetStatus().state, sim::STATE_APP_IDLE);
    EXPECT_EQ(d.dev.Image(), image);
}

TEST(SimDfu, PollTimeoutBytesAreMostSignificantFirst) {
    sim::DeviceConfig config;
    config.busy_poll_timeout_ms = 0x012345;
    DfuDevice d(config);
    ASSERT_EQ(d.host.Download(0, Block(10, 0)), 0);
    const std::vector<uint8_t> r = d.host.Call(SetupPacket(0xA1, 3, 0, 6));
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r[5], 0x01);
    EXPECT_EQ(r[6], 0x23);
    EXPECT_EQ(r[7], 0x45);
    EXPECT_EQ(r[8], sim::STATE_DNBUSY);
}

TEST(SimDfu, ManifestationEndsInTheConfiguredState) {
    for (uint8_t final_state : {sim::STATE_DFU_IDLE, sim::STATE_MANIFEST_WAIT_RESET}) {
        sim::DeviceConfig config;
        config.manifest_answers = 0;
        config.manifest_final_state = final_state;
        DfuDevice d(config);
        // A zero-length first block: an empty image.
        EXPECT_EQ(d.host.Download(0, {}), 0);
        EXPECT_EQ(d.host.GetStatus().state, final_state);
        EXPECT_TRUE(d.dev.Image().empty());
        EXPECT_TRUE(d.dev.ManifestationDone());
    }
}

TEST(SimDfu, BadBlocksPutTheDeviceIntoError) {
    struct Case {
        const char* name;
        uint16_t number;
        size_t size;
        uint8_t status;
    } cases[] = {
        {"skipped block", 2, 10, sim::STATUS_ERR_ADDRESS},
        {"repeated block", 0, 10, sim::STATUS_ERR_ADDRESS},
        {"end block with the wrong number", 3, 0, sim::STATUS_ERR_ADDRESS},
        {"larger than the transfer size", 1, 65, sim::STATUS_ERR_STALLEDPKT},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        config.busy_answers = 0;
        config.dfu.transfer_size = 64;
        DfuDevice d(config);
        d.Put(0, Block(10, 1));
        EXPECT_NE(d.host.Download(c.number, Block(c.size, 2)), 0) << c.name;
        const Host::Status s = d.host.GetStatus();
        EXPECT_EQ(s.state, sim::STATE_ERROR) << c.name;
        EXPECT_EQ(s.status, c.status) << c.name;
        EXPECT_EQ(d.dev.Image(), Block(10, 1)) << c.name;
        // CLRSTATUS leaves the error; a new image starts at block 0.
        EXPECT_EQ(d.host.Call(CLRSTATUS), (std::vector<uint8_t>{0, 0, 0, 0})) << c.name;
        EXPECT_EQ(d.host.GetStatus().state, sim::STATE_DFU_IDLE) << c.name;
        EXPECT_EQ(d.host.Download(1, Block(5, 3)), sim::STATUS_ERR_ADDRESS) << c.name;
    }
}

TEST(SimDfu, FirstBlockOfANewImageReplacesTheOld) {
    sim::DeviceConfig config;
    config.busy_answers = 0;
    DfuDevice d(config);
    d.Put(0, Block(30, 1));
    d.Put(1, Block(30, 2));
    ASSERT_EQ(d.host.Call(SetupPacket(0x21, 4, 0, 0))[0],
              sim::STATUS_ERR_STALLEDPKT); // CLRSTATUS outside error
    ASSERT_EQ(d.host.Call(SetupPacket(0x21, 4, 0, 0))[0], 0);
    d.Put(0, Block(12, 9));
    EXPECT_EQ(d.dev.Image(), Block(12, 9));
}

TEST(SimDfu, InjectedDeviceErrors) {
    sim::DeviceConfig at_block;
    at_block.busy_answers = 0;
    at_block.error_at_block = 1;
    at_block.error_status = 0x06;
    DfuDevice a(at_block);
    a.Put(0, Block(8, 0));
    EXPECT_EQ(a.host.Download(1, Block(8, 1)), 0); // the request itself is fine
    Host::Status s = a.host.GetStatus();
    EXPECT_EQ(s.state, sim::STATE_ERROR);
    EXPECT_EQ(s.status, 0x06);

    sim::DeviceConfig manifest;
    manifest.manifest_answers = 1;
    manifest.error_in_manifest = true;
    DfuDevice m(manifest);
    EXPECT_EQ(m.host.Download(0, {}), 0);
    EXPECT_EQ(m.host.GetStatus().state, sim::STATE_MANIFEST);
    s = m.host.GetStatus();
    EXPECT_EQ(s.state, sim::STATE_ERROR);
    EXPECT_EQ(s.status, sim::STATUS_ERR_WRITE);
    EXPECT_FALSE(m.dev.ManifestationDone());

    sim::DeviceConfig refuse;
    refuse.start_state = sim::STATE_ERROR;
    refuse.clear_status_refusal = 0x0E;
    sim::Device dev(refuse);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    EXPECT_EQ(host.Call(CLRSTATUS), (std::vector<uint8_t>{0x0E, 0, 0, 0}));
    EXPECT_EQ(host.GetStatus().state, sim::STATE_ERROR);
}

TEST(SimDfu, ShortStatusReplyHasFiveDataBytes) {
    sim::DeviceConfig config;
    config.short_status = true;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    const std::vector<uint8_t> r = host.Call(SetupPacket(0xA1, 3, 0, 6));
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(r[2], 5);
}

TEST(SimDfu, RestartInTheMiddleOfADownloadLeavesBrokenFirmware) {
    sim::DeviceConfig config;
    config.busy_answers = 0;
    config.restart_after_block = 1;
    DfuDevice d(config);
    d.Put(0, Block(8, 0));
    EXPECT_EQ(d.host.Download(1, Block(8, 1)), 0); // the reply still goes out
    EXPECT_FALSE(d.dev.Running());
    d.host.Advance(config.restart_ms);
    EXPECT_GE(d.host.Take().size(), 1u); // sync again
    EXPECT_EQ(d.dev.Stats().restarts, 1u);
    ASSERT_TRUE(d.host.BringUp());
    const Host::Status s = d.host.GetStatus();
    EXPECT_EQ(s.state, sim::STATE_ERROR);
    EXPECT_EQ(s.status, sim::STATUS_ERR_FIRMWARE);
    std::vector<uint8_t> partial = Block(8, 0);
    const std::vector<uint8_t> second = Block(8, 1);
    partial.insert(partial.end(), second.begin(), second.end());
    EXPECT_EQ(d.dev.Image(), partial);
    // A reset does not start a broken firmware either.
    d.host.Request(RESET);
    d.host.Advance(config.restart_ms);
    ASSERT_TRUE(d.host.BringUp());
    EXPECT_EQ(d.host.GetStatus().state, sim::STATE_ERROR);
}

TEST(SimDfu, ResetInDfuModeStartsAWholeFirmware) {
    // Nothing downloaded yet: the firmware in place is whole.
    DfuDevice d;
    d.host.Request(RESET);
    d.host.Advance(d.dev.Config().restart_ms);
    ASSERT_TRUE(d.host.BringUp());
    EXPECT_EQ(d.host.GetStatus().state, sim::STATE_APP_IDLE);
}

TEST(SimDfu, StartStates) {
    struct Case {
        uint8_t start;
        uint8_t status;
        bool dfu_mode;
    } cases[] = {{0, 0, false},
                 {1, 0, false},
                 {2, 0, true},
                 {6, 0, true},
                 {10, sim::STATUS_ERR_WRITE, true}};
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        config.start_state = c.start;
        sim::Device dev(config);
        Host host(dev);
        ASSERT_TRUE(host.BringUp());
        const Host::Status s = host.GetStatus();
        EXPECT_EQ(dev.InDfuMode(), c.dfu_mode) << int{c.start};
        EXPECT_EQ(s.status, c.status) << int{c.start};
        if (c.start != 6) {
            EXPECT_EQ(s.state, c.start);
        } else {
            EXPECT_EQ(s.state, sim::STATE_MANIFEST); // manifestation under way
        }
    }
}

TEST(SimDfu, RequestsAreLogged) {
    DfuDevice d;
    d.host.GetStatus();
    d.host.Download(0, Block(3, 0));
    ASSERT_EQ(d.dev.Requests().size(), 2u);
    EXPECT_EQ(d.dev.Requests()[0].request, 3);
    EXPECT_EQ(d.dev.Requests()[1].request, 1);
    EXPECT_EQ(d.dev.Requests()[1].length, 3);
    EXPECT_EQ(d.dev.Requests()[1].state_before, sim::STATE_DFU_IDLE);
}

} // namespace

namespace {

// What the host sees for one GETSTATUS under each misbehaviour.
TEST(SimDfu, MisbehavioursTowardsOneRequest) {
    struct Case {
        const char* name;
        void (*set)(sim::DeviceConfig&);
        std::vector<uint8_t> channels; // of the frames seen, in order
        size_t reply_size;             // of the channel-12 payload (0: none)
        bool running;
    } cases[] = {
        {"healthy", [](sim::DeviceConfig&) {}, {12}, 10, true},
        {"partial replies", [](sim::DeviceConfig& c) { c.partial_replies = true; }, {12}, 2, true},
        {"stray channel", [](sim::DeviceConfig& c) { c.stray_channel = 7; }, {7, 12}, 10, true},
        {"restart before the reply",
         [](sim::DeviceConfig& c) { c.restart_before_reply = 1; },
         {0},
         0,
         false},
        {"restart unacknowledged",
         [](sim::DeviceConfig& c) { c.restart_unacknowledged = 1; },
         {},
         0,
         false},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        c.set(config);
        sim::Device dev(config);
        Host host(dev);
        ASSERT_TRUE(host.BringUp());
        host.Request(SetupPacket(0xA1, 3, 0, 6));
        std::vector<uint8_t> channels;
        size_t reply_size = 0;
        for (const simtest::HostFrame& f : host.Take()) {
            EXPECT_TRUE(f.good) << c.name;
            EXPECT_EQ(f.ack, 1) << c.name; // every frame acknowledges the request
            channels.push_back(f.channel);
            if (f.channel == 12) {
                reply_size = f.payload.size();
            }
        }
        EXPECT_EQ(channels, c.channels) << c.name;
        EXPECT_EQ(reply_size, c.reply_size) << c.name;
        EXPECT_EQ(dev.Running(), c.running) << c.name;
    }
}

TEST(SimDfu, StickyErrorSurvivesClearStatus) {
    sim::DeviceConfig config;
    config.start_state = sim::STATE_ERROR;
    config.sticky_error = true;
    sim::Device dev(config);
    Host host(dev);
    ASSERT_TRUE(host.BringUp());
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(host.GetStatus().state, sim::STATE_ERROR);
        EXPECT_EQ(host.Call(CLRSTATUS), (std::vector<uint8_t>{0, 0, 0, 0}));
    }
}

} // namespace
