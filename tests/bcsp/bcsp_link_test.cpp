// Reliable delivery: retransmission, acknowledgements, sequence checks,
// delivery one record at a time, and the life of a send record.
#include "bcsp_test_line.h"

namespace {

uint8_t payload_abc[] = {0x61, 0x62, 0x63};

TEST_F(BcspTest, UnacknowledgedPacketIsResentAfterEachRestWithItsSequenceNumber) {
    bring_up();
    BcspPacket send = {12, 1, 3, payload_abc};
    bcsp_Send(&send);
    const Bytes expected = wire_frame(header0(true, 0, 0), 12, {0x61, 0x62, 0x63});

    int poll = 0;
    int last_end = -1;
    for (int copy = 0; copy < 3; ++copy) {
        Bytes frame;
        int start = -1;
        while (frame.empty() || frame.back() != 0xC0 || frame.size() < 2) {
            ASSERT_LT(poll, 1000);
            uint8_t activity = 0;
            const Bytes out = poll_once(&activity);
            EXPECT_EQ(activity, 0);
            if (!out.empty() && start < 0) {
                start = poll;
            }
            frame.insert(frame.end(), out.begin(), out.end());
            ++poll;
        }
        EXPECT_EQ(frame, expected) << "copy " << copy;
        if (last_end >= 0) {
            // A full rest of 25 silent polls between the copies.
            EXPECT_EQ(start - last_end - 1, 25) << "copy " << copy;
        }
        last_end = poll - 1;
    }
}

// Ten packets each way: both sequence fields wrap after 8, every header byte
// is checked, and an acknowledgement that does not advance (it names the
// packet's own number) never releases the packet: it is sent again whole.
TEST_F(BcspTest, SequenceNumbersWrapAndOnlyAnAdvancingAcknowledgementReleases) {
    bring_up();
    for (uint8_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(int(i));
        uint8_t data[] = {i};
        BcspPacket send = {12, 1, 1, data};
        bcsp_Send(&send);
        const Bytes expected = wire_frame(header0(true, i & 7, i & 7), 12, {i});
        EXPECT_EQ(next_wire(), expected);
        inject(wire_frame(header0(false, 0, i & 7), 0, {}));
        EXPECT_EQ(run(1) & ACTIVITY_TX_DONE, 0);
        EXPECT_EQ(next_wire(), expected);
        inject(wire_frame(header0(true, i & 7, (i + 1) & 7), 12, {uint8_t(0x80 | i)}));
        EXPECT_EQ(run(1), ACTIVITY_TX_DONE | ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
        EXPECT_EQ(rx_storage[0], 0x80 | i);
        rearm();
    }
}

// On a slow line the peer's last handshake frames can arrive after the link
// is up; those that want no answer leave the rest before a copy alone.
TEST_F(BcspTest, LateHandshakeFramesDoNotBringACopyForward) {
    for (const uint8_t late : {LE_SYNC_RESP, LE_CONF_RESP}) {
        SCOPED_TRACE(int(late));
        reset();
        bring_up();
        BcspPacket send = {12, 1, 3, payload_abc};
        bcsp_Send(&send);
        const Bytes frame = next_wire();
        inject(le_frame(late));
        int silent = 0;
        uint8_t activity = 0;
        while (poll_once(&activity).empty() && silent < 100) {
            ++silent;
        }
        EXPECT_EQ(silent, 25);
        // The poll that ended the silence wrote the copy's start delimiter.
        EXPECT_EQ(next_wire(), Bytes(frame.begin() + 1, frame.end()));
        bcsp_Withdraw(&send);
    }
}

TEST_F(BcspTest, ConfWhileUpIsAnsweredWithConfResponse) {
    bring_up();
    inject(le_frame(LE_CONF));
    EXPECT_EQ(next_frame().le_message(), LE_CONF_RESP);
    EXPECT_EQ(bcsp_LinkState(), LINK_GARRULOUS);
}

// A new record goes out at the next poll, whatever rest is running; the
// same record registered again keeps its rest. An acknowledgement owed
// rides in the new frame, or goes out whole first once it has begun: the
// line never carries a lone delimiter.
TEST_F(BcspTest, NewRecordGoesOutAtTheNextPollAndCarriesTheAcknowledgement) {
    struct Case {
        const char* name;
        bool same_record_again;
        int owed_ack_bytes_out; // -1: no acknowledgement owed
        int want_silent_polls;
    };
    const Case cases[] = {
        {"rest after a poll with nothing to send", false, -1, 0},
        {"same record again keeps its rest", true, -1, 25},
        {"acknowledgement not begun rides in the frame", false, 0, 0},
        // The frame takes the delimiter over: its first poll writes nothing.
        {"acknowledgement with only its delimiter out rides in the frame", false, 1, 1},
        {"acknowledgement begun goes out whole first", false, 2, 0},
    };
    uint8_t first_data[] = {0x61};
    uint8_t second_data[] = {0x62, 0x63};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        bring_up();
        BcspPacket first = {12, 1, 1, first_data};
        BcspPacket second = {12, 1, 2, second_data};
        BcspPacket* record = &second;
        uint8_t ack = 0;
        Bytes expected;
        if (c.same_record_again) {
            bcsp_Send(&first);
            next_wire();
            record = &first;
        } else if (c.owed_ack_bytes_out < 0) {
            run(1);
        } else {
            inject(wire_frame(header0(true, 0, 0), 12, {0x01}));
            ASSERT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
            rearm();
            ack = 1;
            Bytes ack_out;
            for (int i = 0; i < 100 && int(ack_out.size()) < c.owed_ack_bytes_out; ++i) {
                uint8_t activity = 0;
                const Bytes out = poll_once(&activity);
                ack_out.insert(ack_out.end(), out.begin(), out.end());
            }
            ASSERT_EQ(int(ack_out.size()), c.owed_ack_bytes_out);
            if (c.owed_ack_bytes_out > 1) {
                expected.assign(ACK_EXPECTING_1.begin() + c.owed_ack_bytes_out,
                                ACK_EXPECTING_1.end());
            }
        }
        bcsp_Send(record);
        Bytes frame = wire_frame(header0(true, 0, ack), 12,
                                 Bytes(record->data, record->data + record->length));
        if (c.owed_ack_bytes_out == 1) {
            frame.erase(frame.begin());
        }
        expected.insert(expected.end(), frame.begin(), frame.end());
        Bytes all;
        int silent = 0;
        for (int i = 0; i < 200 && all.size() < expected.size(); ++i) {
            uint8_t activity = 0;
            const Bytes out = poll_once(&activity);
            silent += all.empty() && out.empty();
            all.insert(all.end(), out.begin(), out.end());
        }
        EXPECT_EQ(silent, c.want_silent_polls);
        EXPECT_EQ(all, expected);
    }
}

TEST_F(BcspTest, AcknowledgementOnlyFrameCompletesTheSend) {
    bring_up();
    BcspPacket send = {12, 1, 3, payload_abc};
    bcsp_Send(&send);
    next_wire();
    inject(ACK_EXPECTING_1);
    EXPECT_EQ(run(1), ACTIVITY_TX_DONE);
    // Released: no copy after the rest, and the next packet has seq 1.
    run(100);
    EXPECT_TRUE(written_frames().empty());
    BcspPacket second = {12, 1, 3, payload_abc};
    bcsp_Send(&second);
    EXPECT_EQ(next_wire(), wire_frame(header0(true, 1, 0), 12, {0x61, 0x62, 0x63}));
}

TEST_F(BcspTest, ReliableFrameOutOfSequenceIsNotDelivered) {
    bring_up();
    inject(wire_frame(header0(true, 0, 0), 12, {0x01}));
    ASSERT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
    EXPECT_EQ(next_wire(), ACK_EXPECTING_1);
    rearm();

    // The peer repeats seq 0 (it missed our acknowledgement) and jumps to 2.
    for (uint8_t seq : {0, 2}) {
        inject(wire_frame(header0(true, seq, 0), 12, {0x02}));
        EXPECT_EQ(run(1), 0) << "seq " << int(seq);
        EXPECT_EQ(next_wire(), ACK_EXPECTING_1) << "seq " << int(seq);
    }
    inject(wire_frame(header0(true, 1, 0), 12, {0x03}));
    EXPECT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
    EXPECT_EQ(rx_storage[0], 0x03);
}

TEST_F(BcspTest, SecondPacketOfABurstWaitsForTheRecordToBeRegisteredAgain) {
    bring_up();
    Bytes burst = wire_frame(header0(true, 0, 0), 12, {0xA0, 0xA1});
    const Bytes second = wire_frame(header0(false, 0, 0), 5, {0xB0, 0xB1, 0xB2});
    burst.insert(burst.end(), second.begin(), second.end());
    inject(burst);

    EXPECT_EQ(run(1), ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE);
    EXPECT_EQ(Bytes(rx_storage, rx_storage + rx.length), Bytes({0xA0, 0xA1}));
    EXPECT_EQ(run(200), 0);
    rearm();
    EXPECT_EQ(run(1), ACTIVITY_RX_PACKET);
    EXPECT_EQ(rx.channel, 5);
    EXPECT_EQ(rx.reliable, 0);
    EXPECT_EQ(Bytes(rx_storage, rx_storage + rx.length), Bytes({0xB0, 0xB1, 0xB2}));
}

TEST_F(BcspTest, BeforeTheLinkIsUpFramesAreNotDeliveredButTheirAcknowledgementCounts) {
    BcspPacket send = {12, 1, 3, payload_abc};
    bcsp_Send(&send);
    run(5);
    inject(wire_frame(header0(true, 0, 1), 12, {0x01}));
    // Released without a report while shy; nothing delivered, nothing acknowledged.
    EXPECT_EQ(run(1), 0);
    bring_up();
    BcspPacket next = {12, 1, 3, payload_abc};
    bcsp_Send(&next);
    EXPECT_EQ(next_wire(), wire_frame(header0(true, 1, 0), 12, {0x61, 0x62, 0x63}));
}

TEST_F(BcspTest, WithdrawnRecordIsNeverReadAgain) {
    bring_up();
    uint8_t data[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15};
    BcspPacket send = {12, 1, sizeof(data), data};
    BcspPacket other = {12, 1, sizeof(data), data};
    const Bytes full = wire_frame(header0(true, 0, 0), 12, Bytes(data, data + sizeof(data)));
    bcsp_Send(&send);
    run(4);                // delimiter, escape pair, one header byte
    bcsp_Withdraw(&other); // not the pending record: no effect
    run(4);
    bcsp_Withdraw(&send);
    // The frame stops where it was; with the record gone nothing is resent.
    data[0] = 0xEE;
    send.data = nullptr;
    run(200);
    std::vector<SentFrame> frames = written_frames();
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(written, Bytes(full.begin(), full.begin() + 8));
}

TEST_F(BcspTest, UnreliableRecordIsReleasedOnlyByItsOwnFrame) {
    // While establishment frames go out first, their end must not release
    // an unreliable record that has not been written yet.
    uint8_t data[] = {0x21, 0x22};
    BcspPacket send = {7, 0, sizeof(data), data};
    bcsp_Send(&send);
    uint8_t activity = 0;
    EXPECT_EQ(next_frame(400, &activity).le_message(), LE_SYNC);
    EXPECT_EQ(activity, 0);
    inject(le_frame(LE_CONF_RESP));
    activity = 0;
    EXPECT_EQ(next_frame(400, &activity).le_message(), LE_SYNC);
    EXPECT_EQ(activity, ACTIVITY_TX_DONE); // the link came up
    activity = 0;
    const SentFrame frame = next_frame(400, &activity);
    EXPECT_EQ(frame.channel(), 7);
    EXPECT_EQ(frame.payload(), Bytes({0x21, 0x22}));
    EXPECT_EQ(activity, ACTIVITY_TX_DONE);
    run(100);
    EXPECT_TRUE(written_frames().empty());
}

TEST_F(BcspTest, AbandonedEscapePairDoesNotLeakIntoTheNextFrame) {
    bring_up();
    // Header byte 0 of seq 0 / ack 0 is 0xC0: the first step writes DB and
    // leaves DC pending; a new record abandons the frame right there.
    uint8_t first[] = {0x01};
    BcspPacket a = {12, 1, 1, first};
    bcsp_Send(&a);
    run(2);
    ASSERT_EQ(written, Bytes({0xC0, 0xDB}));
    written.clear();
    BcspPacket b = {12, 1, 3, payload_abc};
    bcsp_Send(&b);
    EXPECT_EQ(next_wire(), wire_frame(header0(true, 0, 0), 12, {0x61, 0x62, 0x63}));
}

TEST_F(BcspTest, EstablishmentHeaderNeverAcknowledgesADataPacket) {
    bring_up();
    BcspPacket first = {12, 1, 3, payload_abc};
    bcsp_Send(&first);
    next_wire();
    inject(ACK_EXPECTING_1);
    ASSERT_EQ(run(1), ACTIVITY_TX_DONE);

    // tx seq is 1 now; the device restarts while this request is out.
    uint8_t request[] = {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
    BcspPacket send = {12, 1, sizeof(request), request};
    bcsp_Send(&send);
    next_wire();
    inject(le_frame(LE_SYNC));
    EXPECT_EQ(run(1), ACTIVITY_PEER_RESET);
    // Still pending: once the link is up again it goes out with seq 0.
    inject(le_frame(LE_CONF_RESP));
    std::vector<SentFrame> frames;
    for (int i = 0; i < 10 && frames.size() < 10; ++i) {
        frames.push_back(next_frame());
        if (frames.back().channel() == 12) {
            break;
        }
    }
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().channel(), 12);
    EXPECT_EQ(frames.back().raw[0], header0(true, 0, 0));
    EXPECT_EQ(frames.back().payload(), Bytes(request, request + sizeof(request)));
}

} // namespace
