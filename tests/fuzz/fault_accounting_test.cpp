// The soak counts a damaged frame that passes the frame check as a limit of
// the protocol, from the virtual device's own count. That count must hold
// only frames whose bytes really differ from what the host sent: a dropped
// delimiter between two frames changes nothing the receiver sees.
#include "sim_device.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// The sync frame: no escape pair inside, so no single dropped byte can turn
// it into another well-formed frame; every frame that passes is intact.
constexpr uint8_t SYNC_FRAME[] = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA,
                                  0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};
constexpr int FRAMES = 2000;

TEST(FaultAccounting, DroppedBytesNeverMakeAnIntactFrameCountAsDamaged) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < FRAMES; ++i) {
        stream.insert(stream.end(), std::begin(SYNC_FRAME), std::end(SYNC_FRAME));
    }
    for (uint64_t seed : {1u, 2u, 3u, 4u}) {
        sim::DeviceConfig config;
        config.faults.rx_drop_rate = 0.02;
        config.faults.seed = seed;
        sim::Device device(config);
        device.Receive(stream.data(), stream.size());
        const sim::DeviceStats& stats = device.Stats();
        ASSERT_GT(stats.injected_rx, 0u) << "seed " << seed;
        EXPECT_EQ(stats.damaged_rx_passed, 0u)
            << "seed " << seed << ": intact frames counted as damaged";
    }
}

} // namespace
