// The request transport and the requests against a scripted peer: replies
// in odd places and shapes, time-outs and restarts, on virtual time.
#include <gtest/gtest.h>

#include "bcsp_link.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "script_peer.h"
#include "serial_backend.h"

#include <algorithm>
#include <iterator>

namespace {

const Bytes STATUS_IDLE = {0x00, 0x01, 0x02, 0x03, 0x02, 0x00};

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string text = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::fputs(text.c_str(), stdout);
        }
    }
    std::string Printed() {
        std::string text = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return text;
    }
    void BringUp() {
        ASSERT_TRUE(dfu_EstablishLink());
        ASSERT_EQ(Printed(), "");
    }
    // Every request answered at once with `reply`, acknowledged in the
    // reply's own header.
    void AnswerWith(const sim::Frame& reply) {
        peer.on_request = [this, reply](const sim::Frame&) { peer.Send(reply); };
    }

    ScriptPeer peer;
};

TEST_F(TransportTest, RepliesAreAcceptedInTheAcknowledgingFrameOrAfterIt) {
    struct Case {
        const char* name;
        bool separate_ack;
        bool reliable_reply;
        bool other_channel_first;
    };
    const Case cases[] = {
        {"reply carries the ack", false, true, false},
        {"unreliable reply carries the ack", false, false, false},
        {"ack-only frame first", true, true, false},
        {"packet on channel 5 before the reply is discarded", true, true, true},
        {"packet on channel 5 before the ack is discarded", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        local.on_request = [&](const sim::Frame&) {
            if (c.other_channel_first && !c.separate_ack) {
                local.SendRaw(sim::EncodeFrame(ScriptPeer::Reply(0, 6, Bytes(6, 0xEE), 5, false)));
            }
            if (c.separate_ack) {
                local.SendAck();
            }
            if (c.other_channel_first && c.separate_ack) {
                local.Send(ScriptPeer::Reply(0, 6, Bytes(6, 0xEE), 5, c.reliable_reply));
            }
            local.Send(
                ScriptPeer::Reply(0, 6, STATUS_IDLE, sim::REQUEST_CHANNEL, c.reliable_reply));
        };
        ASSERT_TRUE(dfu_EstablishLink());
        DfuStatus st{};
        EXPECT_TRUE(dfu_GetStatus(&st));
        EXPECT_EQ(st.state, 2);
        EXPECT_EQ(dfu_PollTimeout(st), 0x010203u);
        ASSERT_EQ(local.Requests().size(), 1u);
        EXPECT_EQ(local.Requests()[0].payload, (Bytes{0xA1, 0x03, 0, 0, 0, 0, 6, 0}));
        EXPECT_EQ(Printed(), "");
    }
}

TEST_F(TransportTest, ReplyShapesAndTheirOutcome) {
    struct Case {
        const char* name;
        sim::Frame reply;
        uint16_t caller_size;
        uint16_t want_result;
        uint16_t want_size;
        const char* want_printed;
    };
    const Bytes twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Case cases[] = {
        {"exact", ScriptPeer::Reply(0, 6, STATUS_IDLE), 6, 0, 6, ""},
        {"longer than asked: only the caller's size", ScriptPeer::Reply(0, 12, twelve), 6, 0, 6,
         ""},
        {"shorter than asked", ScriptPeer::Reply(0, 5, Bytes(5, 7)), 6, 0, 5, ""},
        {"length field beyond the received bytes", ScriptPeer::Reply(0, 6, Bytes(3, 7)), 6, 0, 3,
         ""},
        {"device status", ScriptPeer::Reply(0x0F, 0, {}), 6, 0x0F, 6, "dfu_ReceivePacket \n"},
        {"device status 2", ScriptPeer::Reply(2, 6, STATUS_IDLE), 6, 2, 6, "dfu_ReceivePacket \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        // A full earlier reply leaves its bytes in the receive buffer.
        local.on_request = [&](const sim::Frame&) {
            local.Send(ScriptPeer::Reply(0, 12, Bytes(12, 0xAA)));
        };
        ASSERT_TRUE(dfu_EstablishLink());
        DeviceDescriptor dd{};
        ASSERT_TRUE(dfu_GetDeviceDescriptor(&dd));

        local.on_request = [&](const sim::Frame&) { local.Send(c.reply); };
        const uint8_t header[8] = {0xA1, 3, 0, 0, 0, 0, 6, 0};
        ASSERT_TRUE(dfu_SendPacket(header, sizeof header, 5000));
        uint8_t out[12] = {};
        uint16_t size = c.caller_size;
        EXPECT_EQ(dfu_ReceivePacket(out, &size), c.want_result);
        EXPECT_EQ(size, c.want_size);
        if (c.want_result == 0 && 4u + size <= c.reply.payload.size()) {
            const Bytes got(out, out + size);
            const Bytes sent(c.reply.payload.begin() + 4, c.reply.payload.begin() + 4 + size);
            EXPECT_EQ(got, sent);
            for (uint16_t i = size; i < sizeof out; ++i) {
                EXPECT_EQ(out[i], 0) << "byte " << i << " written beyond the copied size";
            }
        }
        EXPECT_EQ(Printed(), c.want_printed);
    }
}

TEST_F(TransportTest, RequestsFailOnBadRepliesWithTheirLines) {
    sim::Frame partial = ScriptPeer::Reply(0, 0, {});
    partial.payload.resize(2);
    struct Case {
        const char* name;
        sim::Frame reply;
        const char* want_printed;
    };
    const Case cases[] = {
        {"partial packet", partial,
         "dfu_ReceivePacket received a partial packet\nGet status receive packet failed"},
        {"five status bytes", ScriptPeer::Reply(0, 5, Bytes(5, 0)),
         "Get status receive packet failed"},
        {"lying length field", ScriptPeer::Reply(0, 6, Bytes(4, 0)),
         "Get status receive packet failed"},
        {"device status", ScriptPeer::Reply(9, 6, STATUS_IDLE),
         "dfu_ReceivePacket \nGet status receive packet failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        local.on_request = [&](const sim::Frame&) { local.Send(c.reply); };
        ASSERT_TRUE(dfu_EstablishLink());
        DfuStatus st{};
        EXPECT_FALSE(dfu_GetStatus(&st));
        EXPECT_EQ(Printed(), c.want_printed);
    }
}

TEST_F(TransportTest, StatusOnlyRequestsTellZeroFromNonZero) {
    AnswerWith(ScriptPeer::Reply(0, 0, {}));
    BringUp();
    EXPECT_TRUE(dfu_ClearStatus());
    EXPECT_TRUE(dfu_Download(3, STATUS_IDLE.data(), 6));
    AnswerWith(ScriptPeer::Reply(0x0B, 0, {}));
    EXPECT_FALSE(dfu_ClearStatus());
    EXPECT_FALSE(dfu_Download(4, STATUS_IDLE.data(), 6));
    EXPECT_EQ(Printed(), "dfu_ReceivePacket \ndfu_ReceivePacket \n"
                         "dfu_Download receive packet failed\n");
}

TEST_F(TransportTest, RequestsGoOutAsSetupPackets) {
    peer.on_request = [&](const sim::Frame& f) {
        // DETACH and the reset request get no reply.
        if (f.payload[1] == 0 || f.payload[1] == 7) {
            peer.SendAck();
        } else {
            peer.Send(ScriptPeer::Reply(0, 12, Bytes(12, 0)));
        }
    };
    BringUp();
    Bytes block(230);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    DfuStatus st{};
    DeviceDescriptor dd{};
    DfuFunctionalDescriptor fd{};
    EXPECT_TRUE(dfu_Detach(0x1234));
    EXPECT_TRUE(dfu_Download(0xBEEF, block.data(), 230));
    EXPECT_TRUE(dfu_Download(7, nullptr, 0));
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_TRUE(dfu_ClearStatus());
    EXPECT_TRUE(dfu_ResetDevice());
    EXPECT_TRUE(dfu_GetDeviceDescriptor(&dd));
    EXPECT_TRUE(dfu_GetFunctionalDescriptor(&fd));
    EXPECT_FALSE(dfu_Download(1, block.data(), 231));
    EXPECT_EQ(Printed(), "dfu_Download data size > max mtu\n");

    Bytes dnload = {0x21, 1, 0xEF, 0xBE, 0, 0, 230, 0};
    dnload.insert(dnload.end(), block.begin(), block.end());
    const std::vector<Bytes> want = {
        {0x21, 0, 0x34, 0x12, 0, 0, 0, 0}, dnload,
        {0x21, 1, 7, 0, 0, 0, 0, 0},       {0xA1, 3, 0, 0, 0, 0, 6, 0},
        {0x21, 4, 0, 0, 0, 0, 0, 0},       {0x41, 7, 0, 0, 0, 0, 0, 0},
        {0xC1, 8, 0, 0, 0, 0, 12, 0},      {0xC1, 9, 0, 0, 0, 0, 6, 0},
    };
    ASSERT_EQ(peer.Requests().size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(peer.Requests()[i].payload, want[i]) << "request " << i;
        EXPECT_TRUE(peer.Requests()[i].reliable);
    }
}

TEST_F(TransportTest, DescriptorFieldsAreLittleEndian) {
    const Bytes device = {0, 0, 0, 0, 0, 0, 0x34, 0x12, 0x78, 0x56, 0, 0};
    const Bytes functional = {0x0D, 0x00, 0xE8, 0x03, 0x40, 0x00};
    peer.on_request = [&](const sim::Frame& f) {
        const Bytes& data = f.payload[1] == 8 ? device : functional;
        peer.Send(ScriptPeer::Reply(0, static_cast<uint16_t>(data.size()), data));
    };
    BringUp();
    DeviceDescriptor dd{};
    DfuFunctionalDescriptor fd{};
    ASSERT_TRUE(dfu_GetDeviceDescriptor(&dd));
    ASSERT_TRUE(dfu_GetFunctionalDescriptor(&fd));
    EXPECT_EQ(dfu_Vid(dd), 0x1234);
    EXPECT_EQ(dfu_Pid(dd), 0x5678);
    EXPECT_EQ(dfu_Attributes(fd), 0x000D);
    EXPECT_EQ(dfu_DetachTimeout(fd), 1000);
    EXPECT_EQ(dfu_TransferSize(fd), 64);
}

TEST_F(TransportTest, UnacknowledgedSendRetriesFourTimesThenLetsGoOfItsRecord) {
    struct Case {
        uint16_t timeout;
        bool reset_request;
    };
    for (const Case c : {Case{5000, false}, Case{300, true}}) {
        SCOPED_TRACE(c.timeout);
        ScriptPeer local;
        ASSERT_TRUE(dfu_EstablishLink());
        const uint32_t start = local.NowMs();
        if (c.reset_request) {
            EXPECT_TRUE(dfu_ResetDevice());
        } else {
            const uint8_t header[8] = {0x21, 4, 0, 0, 0, 0, 0, 0};
            EXPECT_FALSE(dfu_SendPacket(header, sizeof header, c.timeout));
        }
        // Every tick is one 1 ms sleep.
        EXPECT_EQ(local.NowMs() - start, 4u * c.timeout);
        EXPECT_EQ(Printed(), "dfu_SendPacket timed out, retry 0\n"
                             "dfu_SendPacket timed out, retry 1\n"
                             "dfu_SendPacket timed out, retry 2\n"
                             "dfu_SendPacket timed out, retry 3\n");
        // The engine resent it after every rest, but never once it was given
        // up: with nothing registered to send, the line stays quiet.
        EXPECT_GT(local.Requests().size(), 4u);
        const uint64_t written = local.HostBytes();
        EXPECT_EQ(dfu_ReceivePacket(nullptr, nullptr), DFU_TRANSPORT_FAILED);
        EXPECT_EQ(local.HostBytes(), written);
        EXPECT_EQ(Printed(), "dfu_ReceivePacket timed out\n");
    }
}

TEST_F(TransportTest, AcknowledgedRequestWithoutReplyTimesOutIn5000Ticks) {
    peer.on_request = [&](const sim::Frame&) { peer.SendAck(); };
    BringUp();
    const uint8_t header[8] = {0x21, 4, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(dfu_SendPacket(header, sizeof header, 5000));
    const uint32_t start = peer.NowMs();
    EXPECT_EQ(dfu_ReceivePacket(nullptr, nullptr), DFU_TRANSPORT_FAILED);
    EXPECT_EQ(peer.NowMs() - start, 5000u);
    EXPECT_EQ(Printed(), "dfu_ReceivePacket timed out\n");
}

// Input that never stops wakes every wait early; time-outs and the rest
// between copies still last their full number of milliseconds.
TEST_F(TransportTest, ANeverQuietLineShortensNoTimeOutAndNoRest) {
    struct Case {
        const char* name;
        Bytes flood;
    };
    sim::Frame stale_ack; // acknowledges nothing: the host's packet has seq 0
    const Case cases[] = {
        {"garbage", Bytes(24, 0x55)},
        {"acknowledgements that do not advance", sim::EncodeFrame(stale_ack)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        ASSERT_TRUE(dfu_EstablishLink());
        local.flood = c.flood;
        local.flood_every_us = 250;
        // The conf repeated once after the link came up would be answered,
        // and an establishment frame cuts a rest short by design.
        local.answer_link = false;
        const uint8_t header[8] = {0x21, 4, 0, 0, 0, 0, 0, 0};
        uint64_t start = local.NowUs();
        EXPECT_FALSE(dfu_SendPacket(header, sizeof header, 300));
        EXPECT_GE(local.NowUs() - start, 4u * 300'000u);
        const auto& times = local.RequestTimesUs();
        ASSERT_GT(times.size(), 4u);
        for (size_t i = 1; i < times.size(); ++i) {
            EXPECT_GE(times[i] - times[i - 1], 25'000u) << "copy " << i;
        }
        start = local.NowUs();
        EXPECT_EQ(dfu_ReceivePacket(nullptr, nullptr), DFU_TRANSPORT_FAILED);
        EXPECT_GE(local.NowUs() - start, 5'000'000u);
    }
}

// Every wait ends at its bound in real time, whatever the line does: busy
// passes, input that trickles in, a network allowance. Only a write begun
// within the bound and its answer allowance may move the end, once.
TEST_F(TransportTest, EveryWaitEndsAtItsBoundInRealTime) {
    // Frames whose header fails its check: each one is answered with an
    // acknowledgement, so the engine has output at every pass.
    const Bytes bad_frame = {0xC0, 0x41, 0x42, 0x43, 0x44, 0xC0};
    struct Case {
        const char* name;
        uint32_t flood_every_us; // 0: no flood at the waits
        bool never_dry;          // bad frames at every read
        bool trickle;            // one byte of bad frames a second
        uint32_t allowance_ms;
        // A line that never runs dry keeps each poll reading for a frame's
        // air time, the last look's polls included.
        uint32_t slack_ms;
    };
    const Case cases[] = {
        {"a bad frame at every wait", 1000, false, false, 0, 0},
        {"a line that never runs dry", 0, true, false, 0, 250},
        {"one byte a second", 0, false, true, 0, 0},
        {"one byte a second through a slow network port", 0, false, true, 1000, 0},
        {"a silent network port with a large allowance", 0, false, false, 1000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        ASSERT_TRUE(dfu_EstablishLink());
        com_SetOpsAnswerAllowanceMs(c.allowance_ms);
        local.answer_link = false;
        local.flood = bad_frame;
        local.flood_every_us = c.flood_every_us;
        local.flood_on_read = c.never_dry;
        for (uint32_t s = 1; c.trickle && s <= 60; ++s) {
            local.At(local.NowMs() + s * 1000, [&local, &bad_frame, s] {
                local.SendRaw({bad_frame[s % (bad_frame.size() - 1)]});
            });
        }
        // Each of `waits` within a millisecond of its bound, plus one allowance.
        const auto expect_bound = [&](uint64_t start_us, uint64_t bound_ms, uint64_t waits = 1) {
            const uint64_t took_us = local.NowUs() - start_us;
            EXPECT_GE(took_us, waits * bound_ms * 1000);
            EXPECT_LE(took_us, waits * (bound_ms + c.allowance_ms + 1 + c.slack_ms) * 1000);
        };
        const uint8_t header[8] = {0x21, 4, 0, 0, 0, 0, 0, 0};
        uint64_t start = local.NowUs();
        EXPECT_FALSE(dfu_SendPacket(header, sizeof header, 5000));
        expect_bound(start, 5000, SEND_ATTEMPTS);
        // The allowance paces the copies still.
        const auto& times = local.RequestTimesUs();
        for (size_t i = 1; i < times.size(); ++i) {
            EXPECT_GE(times[i] - times[i - 1], (25 + c.allowance_ms) * 1000u) << "copy " << i;
        }
        start = local.NowUs();
        EXPECT_EQ(dfu_ReceivePacket(nullptr, nullptr), DFU_TRANSPORT_FAILED);
        expect_bound(start, 5000);
        start = local.NowUs();
        EXPECT_FALSE(dfu_EstablishLink());
        expect_bound(start, 5000);
        const std::string printed = Printed();
        EXPECT_NE(printed.find("dfu_SendPacket timed out, retry 3\n"), std::string::npos);
        EXPECT_NE(printed.find("dfu_ReceivePacket timed out\n"), std::string::npos);
    }

    // The last look: what arrived as the bound ran out (a process stopped
    // and resumed finds it waiting) is handled before giving up.
    ScriptPeer last;
    last.on_request = [&](const sim::Frame&) {
        last.SendAck();
        last.At(last.NowMs() + 5000, [&] { last.Send(ScriptPeer::Reply(0, 6, STATUS_IDLE)); });
    };
    ASSERT_TRUE(dfu_EstablishLink());
    DfuStatus st{};
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_EQ(st.state, 2);
    last.answer_link = false;
    last.At(last.NowMs() + 5000, [&] {
        last.SendLink(1);
        last.SendLink(3);
    });
    EXPECT_TRUE(dfu_EstablishLink());
    EXPECT_EQ(Printed(), "");
}

TEST_F(TransportTest, RequestCutOffByAPeerResetIsSentAgainOnTheNewLink) {
    int seen = 0;
    peer.on_request = [&](const sim::Frame&) {
        if (++seen == 1) {
            // Restart before acknowledging.
            peer.At(peer.NowMs() + 10, [&] { peer.SendLink(0); });
        } else {
            peer.Send(ScriptPeer::Reply(0, 6, STATUS_IDLE));
        }
    };
    BringUp();
    const uint32_t syncs_before = peer.HostLinkMessages(0);
    DfuStatus st{};
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_EQ(seen, 2);
    EXPECT_GT(peer.HostLinkMessages(0), syncs_before) << "the host restarted its link";
    EXPECT_EQ(Printed(), "dfu_SendPacket detected a peer reset\n");
}

TEST_F(TransportTest, PeerResetWithoutTheLinkComingBackFailsTheSend) {
    peer.on_request = [&](const sim::Frame&) {
        peer.answer_link = false;
        peer.SendLink(0);
    };
    BringUp();
    const uint8_t header[8] = {0x21, 4, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(dfu_SendPacket(header, sizeof header, 100));
    EXPECT_EQ(Printed(), "dfu_SendPacket detected a peer reset\n"
                         "dfu_SendPacket timed out, retry 0\n"
                         "dfu_SendPacket timed out, retry 1\n"
                         "dfu_SendPacket timed out, retry 2\n"
                         "dfu_SendPacket timed out, retry 3\n");
}

TEST_F(TransportTest, PeerResetDuringTheReplyWaitFailsTheRequest) {
    peer.on_request = [&](const sim::Frame&) {
        peer.SendAck();
        peer.At(peer.NowMs() + 5, [&] { peer.SendLink(0); });
    };
    BringUp();
    DfuStatus st{};
    EXPECT_FALSE(dfu_GetStatus(&st));
    EXPECT_EQ(Printed(), "dfu_ReceivePacket detected peer reset\nGet status receive packet failed");
    EXPECT_TRUE(dfu_EstablishLink());
}

TEST_F(TransportTest, PacketArrivingWithTheLinkUpDoesNotStopInput) {
    // The conf-response and a stray packet reach the host in one read.
    peer.answer_link = false;
    peer.At(1, [&] { peer.SendLink(1); });
    peer.At(40, [&] {
        peer.SendLink(3);
        peer.SendRaw(sim::EncodeFrame(ScriptPeer::Reply(0, 0, {}, sim::REQUEST_CHANNEL, false)));
    });
    AnswerWith(ScriptPeer::Reply(0, 6, STATUS_IDLE));
    BringUp();
    DfuStatus st{};
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_EQ(st.state, 2);
    EXPECT_EQ(Printed(), "");
}

TEST_F(TransportTest, EstablishLinkGivesUpAfter5000TicksOrOnAPeerReset) {
    peer.answer_link = false;
    EXPECT_FALSE(dfu_EstablishLink());
    EXPECT_EQ(peer.NowMs(), 5000u);
    EXPECT_GT(peer.HostLinkMessages(0), 1u);
    EXPECT_EQ(Printed(), "");
}

} // namespace

namespace {

TEST_F(TransportTest, ResetRequestEndsWhenTheDeviceRestartsInsteadOfResendingIt) {
    int resets = 0;
    peer.on_request = [&](const sim::Frame&) {
        ++resets;
        peer.SendLink(0);
    };
    BringUp();
    EXPECT_TRUE(dfu_ResetDevice());
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(Printed(), "dfu_SendPacket detected a peer reset\n");
    // Nothing of the request is left in the engine: the next link carries no
    // channel-12 frame.
    const size_t frames = peer.Requests().size();
    EXPECT_TRUE(dfu_EstablishLink());
    EXPECT_EQ(dfu_ReceivePacket(nullptr, nullptr), DFU_TRANSPORT_FAILED);
    EXPECT_EQ(peer.Requests().size(), frames);
}

// A device that walks through the given states, one per GETSTATUS.
class EnterIdleTest : public TransportTest {
  protected:
    void Serve(ScriptPeer& peer, std::vector<uint8_t> states) {
        states_ = std::move(states);
        peer.on_request = [this, &peer](const sim::Frame& f) {
            const uint8_t request = f.payload[1];
            ++counts_[request];
            switch (request) {
            case DFU_GETSTATUS: {
                const uint8_t state = states_.empty() ? 2 : states_.front();
                if (!states_.empty()) {
                    states_.erase(states_.begin());
                }
                peer.Send(ScriptPeer::Reply(0, 6, {0, 0, 0, 0, state, 0}));
                break;
            }
            case VENDOR_GET_DEVICE_DESCRIPTOR:
                peer.Send(ScriptPeer::Reply(0, 12, {0, 0, 0, 0, 0, 0, 0x34, 0x12, 0x02, 0, 0, 0}));
                break;
            case VENDOR_GET_FUNCTIONAL_DESCRIPTOR:
                peer.Send(ScriptPeer::Reply(0, 6, {attributes_, 0, 0xF4, 0x01, 64, 0}));
                break;
            case DFU_CLRSTATUS:
                peer.Send(ScriptPeer::Reply(0, 0, {}));
                break;
            default: // DETACH, reset: acknowledged, no reply
                peer.SendAck();
                break;
            }
        };
    }
    std::vector<uint8_t> states_;
    uint8_t attributes_ = 0x0F;
    int counts_[16] = {};
};

TEST_F(EnterIdleTest, AtMostThreeStatusChecks) {
    struct Case {
        const char* name;
        std::vector<uint8_t> states;
        uint8_t attributes;
        bool want;
        const char* want_printed;
        int want_status_requests, want_clears, want_detaches, want_resets;
    };
    const Case cases[] = {
        {"dfuERROR three times",
         {10, 10, 10, 2},
         0x0F,
         false,
         "Device in error state - clearing error\n"
         "Device in error state - clearing error\n"
         "Device in error state - clearing error\n",
         3,
         3,
         0,
         0},
        {"application, dfuERROR, dfuIDLE",
         {0, 10, 2},
         0x0F,
         true,
         "Device in App mode - executing detach\nBCSP communication re-established\n"
         "VID: 0x1234, PID: 0x0002\n"
         "DFU capabilities: WillDetach ManifestTollerant Upload Download \nMTU 64 bytes\n"
         "Device in error state - clearing error\nDevice in DFU mode\n",
         3,
         1,
         1,
         0},
        {"application without will-detach, no capabilities",
         {0, 2},
         0x00,
         true,
         "Device in App mode - executing detach\nBCSP communication re-established\n"
         "VID: 0x1234, PID: 0x0002\nDFU capabilities: \nMTU 64 bytes\nDevice in DFU mode\n",
         2,
         0,
         1,
         1},
        {"unexpected, unexpected, unexpected",
         {3, 9, 6, 2},
         0x0F,
         false,
         "Device in unexpected state - resetting\n"
         "Device in unexpected state - resetting\n"
         "Device in unexpected state - resetting\n",
         3,
         0,
         0,
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptPeer local;
        std::fill(std::begin(counts_), std::end(counts_), 0);
        attributes_ = c.attributes;
        Serve(local, c.states);
        ASSERT_TRUE(dfu_EstablishLink());
        // The descriptors as the connect step leaves them.
        DfuFunctionalDescriptor fd{};
        ASSERT_TRUE(dfu_GetFunctionalDescriptor(&fd));
        functional_descriptor = fd;
        counts_[VENDOR_GET_FUNCTIONAL_DESCRIPTOR] = 0;
        EXPECT_EQ(dfu_EnterIdle(), c.want);
        EXPECT_EQ(Printed(), c.want_printed);
        EXPECT_EQ(counts_[DFU_GETSTATUS], c.want_status_requests);
        EXPECT_EQ(counts_[DFU_CLRSTATUS], c.want_clears);
        EXPECT_EQ(counts_[DFU_DETACH], c.want_detaches);
        EXPECT_EQ(counts_[VENDOR_RESET], c.want_resets);
    }
}

} // namespace

namespace {

TEST_F(TransportTest, StalePacketArrivingWithTheNewLinkDoesNotBlockTheResentRequest) {
    int seen = 0;
    peer.on_request = [&](const sim::Frame&) {
        if (++seen > 1) {
            peer.Send(ScriptPeer::Reply(0, 6, STATUS_IDLE));
            return;
        }
        const uint32_t t = peer.NowMs();
        peer.answer_link = false;
        peer.At(t + 10, [&] { peer.SendLink(0); });
        peer.At(t + 30, [&] { peer.SendLink(1); });
        peer.At(t + 90, [&] {
            peer.SendLink(3);
            peer.SendRaw(sim::EncodeFrame(
                ScriptPeer::Reply(0, 6, Bytes(6, 0xEE), sim::REQUEST_CHANNEL, false)));
        });
    };
    BringUp();
    DfuStatus st{};
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(st.state, 2) << "the stale packet was taken for the reply";
    EXPECT_EQ(Printed(), "dfu_SendPacket detected a peer reset\n");
}

} // namespace

namespace {

// The peer restarted during the last reply wait; the next request starts on
// a link that is still coming up, whose link-up is no acknowledgement.
TEST_F(TransportTest, SendStartingOnALinkThatIsDownWaitsForItsOwnAcknowledgement) {
    int seen = 0;
    peer.on_request = [&](const sim::Frame&) {
        if (++seen == 1) {
            peer.SendAck();
            peer.At(peer.NowMs() + 5, [&] { peer.SendLink(0); });
        } else {
            peer.Send(ScriptPeer::Reply(0, 6, STATUS_IDLE));
        }
    };
    BringUp();
    DfuStatus st{};
    EXPECT_FALSE(dfu_GetStatus(&st));
    EXPECT_EQ(Printed(), "dfu_ReceivePacket detected peer reset\nGet status receive packet failed");
    EXPECT_TRUE(dfu_GetStatus(&st));
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(st.state, 2);
    EXPECT_EQ(Printed(), "");
}

} // namespace
