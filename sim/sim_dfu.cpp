#include "sim_dfu.h"

#include <algorithm>

namespace sim {

namespace {

// The poll time-out travels in 3 bytes.
constexpr uint32_t MAX_POLL_TIMEOUT_MS = 0xFFFFFF;
// GETSTATUS data as the host expects it, and the short form a broken
// firmware sends.
constexpr size_t STATUS_DATA_SIZE = 6;
constexpr size_t SHORT_STATUS_DATA_SIZE = 5;

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

} // namespace

DfuFunction::DfuFunction(const DeviceConfig& config) : config_(config) {}

void DfuFunction::PowerUp(uint8_t state) {
    state_ = state;
    status_ = state == STATE_ERROR ? config_.error_status : uint8_t{STATUS_OK};
    next_block_ = 0;
    busy_left_ = config_.busy_answers;
    manifest_left_ = config_.manifest_answers;
}

void DfuFunction::Boot(bool into_app) {
    if (!firmware_valid_) {
        PowerUp(STATE_ERROR);
        status_ = STATUS_ERR_FIRMWARE;
    } else {
        PowerUp(into_app ? STATE_APP_IDLE : STATE_DFU_IDLE);
    }
}

const Identity& DfuFunction::Current() const {
    return InDfuMode() ? config_.dfu : config_.app;
}

DfuOutcome DfuFunction::Reply(uint16_t status, const std::vector<uint8_t>& data) const {
    DfuOutcome out;
    out.reply = true;
    PutLe16(out.payload, status);
    PutLe16(out.payload, static_cast<uint16_t>(data.size()));
    out.payload.insert(out.payload.end(), data.begin(), data.end());
    return out;
}

// A request the firmware refuses: the DFU firmware falls into dfuERROR, the
// application just refuses.
DfuOutcome DfuFunction::Stall(uint8_t dfu_status) {
    if (InDfuMode()) {
        state_ = STATE_ERROR;
        status_ = dfu_status;
    }
    return Reply(dfu_status);
}

DfuOutcome DfuFunction::Handle(const std::vector<uint8_t>& request, RequestRecord* record) {
    record->state_before = state_;
    if (request.size() < SETUP_SIZE) {
        record->request_type = 0;
        record->request = 0xFF;
        record->value = 0;
        record->length = 0;
        return Stall(STATUS_ERR_STALLEDPKT);
    }
    record->request_type = request[0];
    record->request = request[1];
    record->value = Le16(request, 2);
    record->length = Le16(request, 6);

    switch (request[1]) {
    case REQ_DETACH: {
        DfuOutcome out;
        if (state_ == STATE_APP_IDLE) {
            if (config_.app.attributes & ATTR_WILL_DETACH) {
                out.restart = DfuOutcome::Restart::IntoDfu;
            } else {
                state_ = STATE_APP_DETACH;
            }
        } else if (InDfuMode()) {
            state_ = STATE_ERROR;
            status_ = STATUS_ERR_STALLEDPKT;
        }
        return out;
    }
    case REQ_DNLOAD:
        return Download(record->value, record->length, request);
    case REQ_GETSTATUS:
        return GetStatus();
    case REQ_CLRSTATUS:
        if (!InDfuMode()) {
            return Reply(STATUS_ERR_STALLEDPKT);
        }
        if (state_ != STATE_ERROR) {
            return Stall(STATUS_ERR_STALLEDPKT);
        }
        if (config_.clear_status_refusal != 0) {
            return Reply(config_.clear_status_refusal);
        }
        if (config_.sticky_error) {
            return Reply(STATUS_OK);
        }
        state_ = STATE_DFU_IDLE;
        status_ = STATUS_OK;
        return Reply(STATUS_OK);
    case REQ_RESET:
        return Reset();
    case REQ_DEVICE_DESCRIPTOR: {
        const Identity& id = Current();
        return Reply(STATUS_OK,
                     std::vector<uint8_t>(id.device_descriptor, id.device_descriptor + 12));
    }
    case REQ_FUNCTIONAL_DESCRIPTOR: {
        const Identity& id = Current();
        std::vector<uint8_t> data;
        PutLe16(data, id.attributes);
        PutLe16(data, id.detach_timeout_ms);
        PutLe16(data, id.transfer_size);
        return Reply(STATUS_OK, data);
    }
    default:
        return Reply(STATUS_ERR_STALLEDPKT);
    }
}

DfuOutcome DfuFunction::Download(uint16_t block, uint16_t length,
                                 const std::vector<uint8_t>& request) {
    if (!InDfuMode()) {
        return Reply(STATUS_ERR_STALLEDPKT);
    }
    if (state_ != STATE_DFU_IDLE && state_ != STATE_DNLOAD_IDLE) {
        return Stall(STATUS_ERR_STALLEDPKT);
    }
    const size_t limit = std::min<size_t>(Current().transfer_size, MAX_BLOCK_DATA);
    if (request.size() != SETUP_SIZE + length || length > limit) {
        return Stall(STATUS_ERR_STALLEDPKT);
    }
    // A new image starts with block 0; then every block follows the last.
    const uint16_t expected = state_ == STATE_DFU_IDLE ? 0 : next_block_;
    if (block != expected) {
        return Stall(STATUS_ERR_ADDRESS);
    }
    if (state_ == STATE_DFU_IDLE) {
        image_.clear();
        image_complete_ = false;
        manifest_done_ = false;
        firmware_valid_ = false;
    }
    if (length == 0) {
        image_complete_ = true;
        state_ = STATE_MANIFEST_SYNC;
        manifest_left_ = config_.manifest_answers;
        return Reply(STATUS_OK);
    }
    DfuOutcome out = Reply(STATUS_OK);
    if (config_.error_at_block >= 0 && block == config_.error_at_block) {
        // The request itself was fine; writing the block failed.
        state_ = STATE_ERROR;
        status_ = config_.error_status;
        return out;
    }
    image_.insert(image_.end(), request.begin() + SETUP_SIZE, request.end());
    next_block_ = static_cast<uint16_t>(block + 1);
    state_ = STATE_DNLOAD_SYNC;
    busy_left_ = config_.busy_answers;
    if (config_.restart_after_block >= 0 && block == config_.restart_after_block &&
        !block_restart_done_) {
        block_restart_done_ = true;
        out.restart = DfuOutcome::Restart::IntoDfu;
        out.restart_after_reply = true;
    }
    return out;
}

DfuOutcome DfuFunction::GetStatus() {
    uint32_t poll_ms = 0;
    switch (state_) {
    case STATE_DNLOAD_SYNC:
    case STATE_DNBUSY:
        if (busy_left_ > 0) {
            --busy_left_;
            state_ = STATE_DNBUSY;
            poll_ms = config_.busy_poll_timeout_ms;
        } else {
            state_ = STATE_DNLOAD_IDLE;
        }
        break;
    case STATE_MANIFEST_SYNC:
    case STATE_MANIFEST:
        if (manifest_left_ > 0) {
            --manifest_left_;
            state_ = STATE_MANIFEST;
            poll_ms = config_.manifest_poll_timeout_ms;
        } else if (config_.error_in_manifest) {
            state_ = STATE_ERROR;
            status_ = config_.error_status;
        } else {
            state_ = config_.manifest_final_state;
            manifest_done_ = true;
            firmware_valid_ = true;
            ++updates_;
        }
        break;
    default:
        break;
    }
    poll_ms = std::min(poll_ms, MAX_POLL_TIMEOUT_MS);
    std::vector<uint8_t> data = {status_,
                                 static_cast<uint8_t>(poll_ms >> 16),
                                 static_cast<uint8_t>(poll_ms >> 8),
                                 static_cast<uint8_t>(poll_ms),
                                 state_,
                                 0};
    data.resize(config_.short_status ? SHORT_STATUS_DATA_SIZE : STATUS_DATA_SIZE);
    return Reply(STATUS_OK, data);
}

DfuOutcome DfuFunction::Reset() {
    DfuOutcome out;
    out.ack_before_restart = config_.ack_reset_request;
    if (InDfuMode()) {
        // A whole firmware is started; a broken one leaves the DFU firmware
        // in charge.
        out.restart = firmware_valid_ ? DfuOutcome::Restart::IntoApp : DfuOutcome::Restart::IntoDfu;
    } else {
        out.restart = state_ == STATE_APP_DETACH ? DfuOutcome::Restart::IntoDfu
                                                 : DfuOutcome::Restart::IntoApp;
    }
    return out;
}

} // namespace sim
