// Link establishment against a scripted peer, and peer-reset detection.
#include <vector>

#include "bcsp_test_line.h"

namespace {

// One step of a scripted peer: the engine's next frame must carry
// `engine_sends`; the peer then puts `peer_replies` on the line.
struct Step {
    uint8_t engine_sends;
    std::vector<uint8_t> peer_replies;
};

struct Script {
    const char* name;
    std::vector<uint8_t> peer_first; // on the line before the first poll
    std::vector<Step> steps;
    // Step (0-based) after whose peer replies the link must report itself up.
    size_t up_after;
};

TEST_F(BcspTest, BringUpAgainstAScriptedPeer) {
    const Script scripts[] = {
        // Both shy; the peer's sync is already waiting. The sync chosen
        // before it arrived still goes out once more, then sync-response.
        {"peer sync before ours",
         {LE_SYNC},
         {{LE_SYNC, {LE_SYNC_RESP}},
          {LE_SYNC, {LE_SYNC_RESP}},
          {LE_SYNC_RESP, {LE_CONF}},
          {LE_CONF, {LE_CONF_RESP}},
          {LE_CONF_RESP, {}}},
         3},
        // Both shy; the peer answers our sync, then sends its own.
        {"peer sync after ours",
         {},
         {{LE_SYNC, {LE_SYNC_RESP, LE_SYNC}},
          {LE_SYNC, {LE_SYNC_RESP}},
          {LE_SYNC_RESP, {LE_CONF}},
          {LE_CONF, {LE_CONF_RESP}},
          {LE_CONF_RESP, {}}},
         3},
        // A later reception replaces the pending reply: the peer's conf
        // arriving with its sync-response supersedes the sync-response we
        // owed, and the conf chosen while curious still goes out once.
        {"conf replaces the owed sync-response",
         {LE_SYNC},
         {{LE_SYNC, {LE_SYNC_RESP, LE_CONF}},
          {LE_SYNC, {}},
          {LE_CONF_RESP, {LE_CONF_RESP}},
          {LE_CONF, {}}},
         2},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        reset();
        for (uint8_t m : script.peer_first) {
            inject(le_frame(m));
        }
        for (size_t i = 0; i < script.steps.size(); ++i) {
            uint8_t activity = 0;
            EXPECT_EQ(next_frame(400, &activity).le_message(), script.steps[i].engine_sends)
                << "step " << i;
            for (uint8_t m : script.steps[i].peer_replies) {
                inject(le_frame(m));
            }
            // The replies are read by the next poll.
            activity |= run(1);
            EXPECT_EQ((activity & ACTIVITY_TX_DONE) != 0, i == script.up_after) << "step " << i;
            EXPECT_EQ(bcsp_LinkState() == LINK_GARRULOUS, i >= script.up_after) << "step " << i;
        }
        // Nothing more is due, and data flows both ways.
        run(200);
        EXPECT_TRUE(written_frames().empty());
        uint8_t data[] = {0x42};
        BcspPacket send = {12, 1, 1, data};
        bcsp_Send(&send);
        EXPECT_EQ(next_frame().payload(), Bytes({0x42}));
        inject(wire_frame(header0(true, 0, 1), 12, {0x43}));
        EXPECT_EQ(run(1), ACTIVITY_TX_DONE | ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
        EXPECT_EQ(rx_storage[0], 0x43);
    }
}

TEST_F(BcspTest, PeerAnsweringOnlySyncResponseLeavesTheLinkCuriousRepeatingConf) {
    EXPECT_EQ(next_frame().le_message(), LE_SYNC);
    inject(le_frame(LE_SYNC_RESP));
    EXPECT_EQ(next_frame().le_message(), LE_SYNC);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(next_frame().le_message(), LE_CONF) << i;
    }
    EXPECT_EQ(bcsp_LinkState(), LINK_CURIOUS);
}

TEST_F(BcspTest, ConfResponseWhileShyBringsTheLinkUp) {
    EXPECT_EQ(bcsp_LinkState(), LINK_SHY);
    inject(le_frame(LE_CONF_RESP));
    uint8_t activity = 0;
    poll_once(&activity); // starts sync; input waits for the next poll
    EXPECT_EQ(activity, 0);
    poll_once(&activity);
    EXPECT_EQ(activity, ACTIVITY_TX_DONE);
    EXPECT_EQ(bcsp_LinkState(), LINK_GARRULOUS);
}

TEST_F(BcspTest, SyncWhileGarrulousResetsTheLink) {
    bring_up();
    // Move both sequence numbers away from 0.
    uint8_t data[] = {0x61, 0x62, 0x63};
    BcspPacket send = {12, 1, 3, data};
    bcsp_Send(&send);
    next_wire();
    inject(wire_frame(header0(true, 0, 1), 12, {0x01}));
    ASSERT_EQ(run(1), ACTIVITY_TX_DONE | ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
    rearm();
    bcsp_Send(&send);
    EXPECT_EQ(next_wire(), wire_frame(header0(true, 1, 1), 12, {0x61, 0x62, 0x63}));

    // The acknowledgement's report stays; the sync's frame reports 0x04 alone.
    Bytes burst = wire_frame(header0(false, 0, 2), 0, {});
    const Bytes sync = le_frame(LE_SYNC);
    burst.insert(burst.end(), sync.begin(), sync.end());
    inject(burst);
    EXPECT_EQ(run(1), ACTIVITY_TX_DONE | ACTIVITY_PEER_RESET);
    EXPECT_EQ(bcsp_LinkState(), LINK_SHY);
    EXPECT_EQ(next_frame().le_message(), LE_SYNC);

    // Up again: sequence numbers start from 0 in both directions.
    inject(le_frame(LE_CONF_RESP));
    run(200);
    ASSERT_EQ(bcsp_LinkState(), LINK_GARRULOUS);
    written_frames();
    bcsp_Send(&send);
    EXPECT_EQ(next_frame().raw[0], header0(true, 0, 0));
    inject(wire_frame(header0(true, 1, 0), 12, {0x02}));
    EXPECT_EQ(run(1), 0) << "seq 1 is out of sequence after the reset";
}

TEST_F(BcspTest, ResetClearsAPendingConfResponse) {
    EXPECT_EQ(next_frame().le_message(), LE_SYNC);
    inject(le_frame(LE_SYNC_RESP));
    EXPECT_EQ(next_frame().le_message(), LE_SYNC);
    EXPECT_EQ(next_frame().le_message(), LE_CONF);
    inject(le_frame(LE_CONF));
    run(1);
    // A conf-response is pending when the caller restarts the link.
    bcsp_ResetLink();
    written_frames();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(next_frame().le_message(), LE_SYNC) << i;
    }
}

TEST_F(BcspTest, ChannelOneFramesThatAreNoMessageChangeNothing) {
    // A data frame received while shy leaves the conf-response bytes in the
    // receive storage; shorter channel-1 frames must not match them.
    inject(wire_frame(header0(false, 0, 0), 12, LE_PAYLOAD[LE_CONF_RESP]));
    run(2);
    // Without a CRC nothing of the stale bytes is overwritten.
    const Bytes payloads[] = {{}, {0xDE}, {0xDE, 0xAD, 0xD0}, {0x01, 0x02, 0x03, 0x04}};
    for (uint8_t byte0 : {0x00, 0x40}) {
        for (const Bytes& payload : payloads) {
            SCOPED_TRACE(testing::PrintToString(payload));
            inject(wire_frame(byte0, 1, payload));
            EXPECT_EQ(run(2), 0);
            EXPECT_EQ(bcsp_LinkState(), LINK_SHY);
        }
    }
    // Such a frame still ends a rest at once.
    next_frame();
    uint8_t activity = 0;
    uint8_t idle = 0;
    poll_once(&activity, &idle);
    ASSERT_EQ(idle, IDLE_TICKS - 1);
    inject(wire_frame(0x40, 1, {0x01, 0x02, 0x03, 0x04}));
    poll_once(&activity, &idle);
    EXPECT_EQ(idle, 0);
}

TEST(BcspIdentify, FirstFourBytesDecide) {
    for (uint8_t i = 0; i < 4; ++i) {
        Bytes longer = LE_PAYLOAD[i];
        longer.push_back(0x99);
        EXPECT_EQ(bcsp_IdentifyLeMessage(longer.data()), i);
    }
    Bytes almost = LE_PAYLOAD[LE_CONF];
    almost[3] ^= 1;
    EXPECT_EQ(bcsp_IdentifyLeMessage(almost.data()), LE_UNKNOWN);
}

} // namespace
