// Streaming the image in DNLOAD blocks, following manifestation, and the
// final reset with the timing report.
#include "console.h"
#include "dfu_file.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "report.h"
#include "trace.h"

namespace {

// Blocks per progress line; the line ends with the running byte total.
constexpr uint16_t BLOCKS_PER_LINE = 50;
constexpr double MS_PER_S = 1000.0;

// Peer resets counted when the download began. A device that restarted
// since then has lost the image or its manifestation, and may well answer
// dfuIDLE: that must not pass for a finished manifestation, nor be polled
// for ever while waiting for a block.
uint16_t resets_at_start = 0;

bool RestartedSinceStart(const char* during) {
    if (dfu_PeerResets() == resets_at_start) {
        return false;
    }
    con_Print("\nDevice restarted during %s - aborting\n", during);
    return true;
}

// After each block, polls until the device is ready for the next one,
// sleeping as long as it asks while busy.
bool WaitReadyForBlock() {
    DfuStatus device_status{};
    for (;;) {
        if (!dfu_GetStatus(&device_status)) {
            return false;
        }
        if (RestartedSinceStart("download")) {
            return false;
        }
        if (device_status.status != 0) {
            con_Print("\nDevice reports error (%d) during download - aborting\n",
                      device_status.status);
            return false;
        }
        if (device_status.state == DFU_STATE_DNBUSY) {
            const uint32_t wait_ms = dfu_PollTimeout(device_status);
            con_Print("Device BUSY, sleeping %u\n", wait_ms);
            if (trace_On()) {
                trace_Event("dfu", "device busy: sleeping %u ms as asked", wait_ms);
            }
            plat_Sleep(wait_ms);
        } else if (device_status.state == DFU_STATE_DNLOAD_IDLE) {
            return true;
        }
    }
}

bool SendImage(uint16_t* block, uint32_t* bytes_sent) {
    // A terminal gets every dot as its block goes out; elsewhere stdout's own
    // buffering stays in charge and the output bytes are the same.
    const bool live_progress = con_IsTerminal();
    uint8_t buffer[MAX_BLOCK_DATA];
    uint16_t progress = 0;
    for (;;) {
        uint16_t block_size = dfu_TransferSize(functional_descriptor);
        if (block_size > MAX_BLOCK_DATA) {
            block_size = MAX_BLOCK_DATA;
        }
        const uint16_t n = dfufile_Read(buffer, block_size);
        if (n == 0) {
            // A failed read must not pass for the end of the image: the
            // device would take a truncated image as complete.
            return !dfufile_ReadFailed();
        }
        con_Print(".");
        if (live_progress) {
            con_Flush();
        }
        ++progress;
        if (!dfu_Download(*block, buffer, n)) {
            return false;
        }
        report_NoteBlockAcknowledged();
        ++*block;
        *bytes_sent += n;
        if (progress == BLOCKS_PER_LINE) {
            con_Print("%d\n", static_cast<int>(*bytes_sent));
            con_Flush();
            progress = 0;
        }
        if (!WaitReadyForBlock()) {
            return false;
        }
    }
}

enum class ManifestEnd { Failed, WaitsForReset, Complete };

ManifestEnd FollowManifestation() {
    DfuStatus device_status{};
    for (;;) {
        if (!dfu_GetStatus(&device_status)) {
            return ManifestEnd::Failed;
        }
        if (RestartedSinceStart("manifestation")) {
            return ManifestEnd::Failed;
        }
        if (device_status.status != 0) {
            con_Print("Device reports error (%d) during manifestation - aborting\n",
                      device_status.status);
            return ManifestEnd::Failed;
        }
        switch (device_status.state) {
        case DFU_STATE_MANIFEST:
            if (trace_On()) {
                trace_Event("dfu", "manifesting: sleeping %u ms as asked",
                            dfu_PollTimeout(device_status));
            }
            plat_Sleep(dfu_PollTimeout(device_status));
            break;
        case DFU_STATE_MANIFEST_WAIT_RESET:
            if (trace_On()) {
                trace_Event("dfu", "waiting for reset: sleeping %u ms as asked",
                            dfu_PollTimeout(device_status));
            }
            plat_Sleep(dfu_PollTimeout(device_status));
            return ManifestEnd::WaitsForReset;
        case DFU_STATE_IDLE:
            return ManifestEnd::Complete;
        default:
            break;
        }
    }
}

void PrintTiming(uint32_t download_start, uint32_t manifest_start, uint32_t end,
                 uint32_t bytes_sent) {
    // Differences are taken on the wrapping 32-bit tick first, then widened.
    const double download_ms = static_cast<double>(manifest_start - download_start);
    const double manifest_ms = static_cast<double>(end - manifest_start);
    const double total_ms = static_cast<double>(end - download_start);
    con_Print("Download time: %.1f s (%.0f Bytes/s)\nManifest time: %.1f s\nTotal time: %.1f s\n",
              download_ms / MS_PER_S, static_cast<double>(bytes_sent) * MS_PER_S / download_ms,
              manifest_ms / MS_PER_S, total_ms / MS_PER_S);
}

} // namespace

bool dfu_DownloadImage() {
    if (!(dfu_Attributes(functional_descriptor) & DFU_ATTR_CAN_DOWNLOAD)) {
        con_Print("Device not capable of download\n");
        return false;
    }
    // With a transfer size of 0 the first read would end the image at once
    // and the device would be told a non-empty image is complete.
    if (dfu_TransferSize(functional_descriptor) == 0 && dfufile_ImageSize() != 0) {
        con_Print("Device transfer size is 0 - cannot download a non-empty image\n");
        return false;
    }
    DfuStatus device_status{};
    if (!dfu_GetStatus(&device_status)) {
        con_Print("Unable to get status of device\n");
        return false;
    }
    if (device_status.state != DFU_STATE_IDLE) {
        con_Print("Device not in dfuIDLE state\n");
        return false;
    }

    con_Print("Downloading\n");
    resets_at_start = dfu_PeerResets();
    const uint32_t download_start = plat_TickCount();
    uint16_t block = 0;
    uint32_t bytes_sent = 0;
    if (!SendImage(&block, &bytes_sent)) {
        return false;
    }
    con_Print("done\n");
    // The empty block tells the device the image is complete.
    if (!dfu_Download(block, nullptr, 0)) {
        return false;
    }

    const uint32_t manifest_start = plat_TickCount();
    report_NoteStage(REPORT_MANIFEST);
    con_Print("Manifest\n");
    switch (FollowManifestation()) {
    case ManifestEnd::Failed:
        return false;
    case ManifestEnd::WaitsForReset:
        // The device resets itself: no reset request, no timing report.
        return true;
    case ManifestEnd::Complete:
        break;
    }
    con_Print("Manifest complete, resetting device\n");
    const uint32_t end = plat_TickCount();
    dfu_ResetDevice();
    PrintTiming(download_start, manifest_start, end, bytes_sent);
    return true;
}
