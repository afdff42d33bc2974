#include "sim_stats.h"

namespace sim {

std::string FormatStats(const Device& device) {
    const DeviceStats& s = device.Stats();
    const std::pair<const char*, uint64_t> lines[] = {
        {"bytes_from_host", s.bytes_from_host},
        {"bytes_to_host", s.bytes_to_host},
        {"host_frames", s.host_frames},
        {"frame_errors", s.frame_errors},
        {"host_retransmissions", s.host_retransmissions},
        {"out_of_sequence", s.out_of_sequence},
        {"requests", s.requests},
        {"replies", s.replies},
        {"reply_retransmissions", s.reply_retransmissions},
        {"acks_sent", s.acks_sent},
        {"link_ups", s.link_ups},
        {"host_restarts", s.host_restarts},
        {"restarts", s.restarts},
        {"updates", s.updates},
        {"injected_tx", s.injected_tx},
        {"injected_rx", s.injected_rx},
        {"damaged_rx_passed", s.damaged_rx_passed},
        {"damaged_tx_passed", s.damaged_tx_passed},
        {"image_bytes", device.Image().size()},
        {"image_complete", device.ImageComplete() ? 1u : 0u},
        {"manifestation_done", device.ManifestationDone() ? 1u : 0u},
        {"state", device.State()},
    };
    std::string out;
    for (const auto& [key, value] : lines) {
        out += key;
        out += '=';
        out += std::to_string(value);
        out += '\n';
    }
    return out;
}

} // namespace sim
