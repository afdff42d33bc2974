#pragma once
// The device's DFU function: the request set on channel 12 (DETACH, DNLOAD,
// GETSTATUS, CLRSTATUS, vendor reset 7, vendor descriptor reads 8 and 9),
// the DFU 1.1 state machine of the application and of the DFU firmware,
// and the image the downloads leave behind.

#include "sim_device.h"

#include <cstdint>
#include <vector>

namespace sim {

inline constexpr size_t SETUP_SIZE = 8;
inline constexpr uint8_t REQ_DETACH = 0;
inline constexpr uint8_t REQ_DNLOAD = 1;
inline constexpr uint8_t REQ_GETSTATUS = 3;
inline constexpr uint8_t REQ_CLRSTATUS = 4;
inline constexpr uint8_t REQ_RESET = 7;
inline constexpr uint8_t REQ_DEVICE_DESCRIPTOR = 8;
inline constexpr uint8_t REQ_FUNCTIONAL_DESCRIPTOR = 9;

// What the device does after a request.
struct DfuOutcome {
    bool reply = false;
    std::vector<uint8_t> payload; // the reply: status u16 LE, length u16 LE, data
    enum class Restart { None, IntoApp, IntoDfu } restart = Restart::None;
    // The request is acknowledged before the restart (false: the device
    // drops off the line with the acknowledgement still owed).
    bool ack_before_restart = true;
    // The reply (if any) goes out first, then the device restarts.
    bool restart_after_reply = false;
};

class DfuFunction {
  public:
    // `config` must outlive the function.
    explicit DfuFunction(const DeviceConfig& config);

    // Power-up in `state`: 0/1 run the application, anything else the DFU
    // firmware (dfuERROR reports config.error_status).
    void PowerUp(uint8_t state);

    // Start after a restart: the application if asked for and the firmware
    // is whole, else the DFU firmware, in dfuIDLE, or in dfuERROR with
    // errFIRMWARE while a download begun has not been manifested.
    void Boot(bool into_app);

    // Handles one request payload (setup packet and data).
    DfuOutcome Handle(const std::vector<uint8_t>& request, RequestRecord* record);

    uint8_t State() const { return state_; }
    bool InDfuMode() const { return state_ >= STATE_DFU_IDLE; }
    const std::vector<uint8_t>& Image() const { return image_; }
    bool ImageComplete() const { return image_complete_; }
    bool ManifestationDone() const { return manifest_done_; }
    uint32_t Updates() const { return updates_; }

  private:
    const Identity& Current() const;
    DfuOutcome Reply(uint16_t status, const std::vector<uint8_t>& data = {}) const;
    DfuOutcome Stall(uint8_t dfu_status);
    DfuOutcome Download(uint16_t block, uint16_t length, const std::vector<uint8_t>& request);
    DfuOutcome GetStatus();
    DfuOutcome Reset();

    const DeviceConfig& config_;
    uint8_t state_ = STATE_APP_IDLE;
    uint8_t status_ = STATUS_OK;
    uint16_t next_block_ = 0;
    uint32_t busy_left_ = 0;
    uint32_t manifest_left_ = 0;
    std::vector<uint8_t> image_;
    bool image_complete_ = false;
    bool manifest_done_ = false;
    // False from the first block of an image until its manifestation.
    bool firmware_valid_ = true;
    // The injected restart after a block happens once in the device's life.
    bool block_restart_done_ = false;
    uint32_t updates_ = 0;
};

} // namespace sim
