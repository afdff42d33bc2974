#pragma once
// The device's statistics as key=value lines, one per counter, in a fixed
// order (the soak and benchmark scripts read them by key).

#include "sim_device.h"

#include <string>

namespace sim {

// Every DeviceStats counter, then image_bytes, image_complete (0/1),
// manifestation_done (0/1), state (DFU state number). Each line ends in \n.
std::string FormatStats(const Device& device);

} // namespace sim
