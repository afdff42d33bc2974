// The DFU client against a scripted device that answers every request with
// a reply payload taken from the fuzz input: the whole run (connect, enter
// dfuIDLE, download, manifestation) and then each request once more on its
// own. The device side is a small BCSP peer built on the reference codec,
// behind the serial seam, on a virtual clock so that every time-out and
// every device-requested sleep passes at once.
//
// Input: a sequence of reply records, one taken per new request the device
// accepts: ctl, length, payload. ctl bits:
//   0 reply reliable             1 acknowledgement-only frame before the reply
//   2 acknowledge, but no reply  3 ignore the request (no acknowledgement)
//   4 restart (send sync) instead of answering (after an acknowledgement
//     when bit 1 is set too; after the usual answer when bit 6 is set too)
//   5 reply on channel 5         6 reply even to DETACH and request 7
//   7 reply without CRC
// When the input runs out the device answers every request with an error
// status, so each run ends within the transport's time-outs.
//
// Checks beyond the sanitizers (stack-use-after-return included, so an
// engine still holding a finished request's stack record is caught): the
// DNLOAD requests the device accepts carry the image in order, block
// numbers counting from 0 (a block may only be repeated right after itself,
// after a restart), an end-of-image block comes only after the whole image,
// and a download reported as successful had its end-of-image block accepted
// and no restart of the device after its first block.
// A request that dfu_SendPacket reports as sent was taken by the device.
#include "fuzz_quiet.h"
#include "fuzz_wire.h"

#include "bcsp_link.h"
#include "dfu_file.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "serial_backend.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=1";
}

namespace {

constexpr uint8_t DFU_CHANNEL_NO = 12;
constexpr uint8_t OTHER_CHANNEL = 5;
constexpr size_t SETUP_SIZE = 8;
// Image bytes after the 100-byte header: two blocks and a bit at 230 bytes.
constexpr size_t IMAGE_TAIL = 380;
// Attempts of the direct send: long enough for the link to come up and the
// device to answer, short enough not to dominate the run when it never does.
constexpr uint16_t DIRECT_SEND_TICKS = 200;
// How long a restart that follows an acknowledgement keeps the device quiet.
constexpr uint64_t RESTART_MS = 5;
constexpr uint8_t ERROR_REPLY[4] = {0x0E, 0x00, 0x00, 0x00}; // status 14, no data

constexpr uint8_t CTL_RELIABLE = 0x01;
constexpr uint8_t CTL_ACK_FIRST = 0x02;
constexpr uint8_t CTL_NO_REPLY = 0x04;
constexpr uint8_t CTL_IGNORE = 0x08;
constexpr uint8_t CTL_RESTART = 0x10;
constexpr uint8_t CTL_OTHER_CHANNEL = 0x20;
constexpr uint8_t CTL_ALWAYS_REPLY = 0x40;
constexpr uint8_t CTL_NO_CRC = 0x80;

// --- virtual clock ---
uint64_t now_ms = 0;
void clock_sleep(uint32_t ms) {
    now_ms += ms;
}
uint32_t clock_tick() {
    return static_cast<uint32_t>(now_ms);
}
uint64_t clock_us() {
    return now_ms * 1000;
}
const ClockOps virtual_clock = {clock_sleep, clock_tick, clock_us};

// --- the firmware file ---
std::vector<uint8_t> image; // what the device must receive: file offset 0 up to the suffix
std::string file_path;

void write_firmware_file() {
    image.assign(100, 0);
    image[10] = static_cast<uint8_t>((100 + IMAGE_TAIL) & 0xFF);
    image[11] = static_cast<uint8_t>((100 + IMAGE_TAIL) >> 8);
    const char desc[] = "fuzz image";
    std::memcpy(&image[16], desc, sizeof desc);
    for (size_t i = 0; i < IMAGE_TAIL; ++i) {
        image.push_back(static_cast<uint8_t>(i * 31 + 7));
    }
    uint8_t suffix[16] = {0x00, 0x01, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01,
                          'U',  'F',  'D',  0x10, 0,    0,    0,    0};
    // The reader refuses a file whose suffix CRC does not match: this one
    // is taken over the image alone, one of the accepted forms.
    uint32_t crc = 0xFFFFFFFF;
    for (const uint8_t b : image) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
        }
    }
    for (int i = 0; i < 4; ++i) {
        suffix[12 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    file_path = std::string(dir) + "/tarn_fuzz_dfu_image_" + std::to_string(getpid());
    FILE* f = std::fopen(file_path.c_str(), "wb");
    fuzz_Check(f != nullptr, "cannot write the firmware file");
    std::fwrite(image.data(), image.size(), 1, f);
    std::fwrite(suffix, sizeof suffix, 1, f);
    std::fclose(f);
}

// --- the scripted device ---
struct Device {
    const uint8_t* script = nullptr;
    size_t script_size = 0;
    size_t script_at = 0;
    WireDecoder decoder;
    std::vector<uint8_t> to_host;
    size_t read_at = 0;
    // Bytes from held_from on reach the host only at held_until (virtual ms).
    size_t held_from = SIZE_MAX;
    uint64_t held_until = 0;
    uint8_t expected = 0; // next sequence number from the host
    uint8_t tx_seq = 0;
    // Link up (conf answered); until then data frames are not looked at.
    bool up = false;
    uint32_t accepted = 0; // requests taken
    // What the accepted DNLOAD requests delivered.
    size_t covered = 0;
    uint16_t next_block = 0;
    std::vector<uint8_t> last_block;
    bool end_of_image = false;
    // Restarted once image data had been taken: the image or its
    // manifestation is lost.
    bool restarted_in_download = false;
} device;

void send_ack_only() {
    wire_AppendFrame(device.to_host, WireHeader{0, device.expected, false, true, 0}, nullptr, 0);
}

void restart_device() {
    device.expected = 0;
    device.tx_seq = 0;
    device.up = false;
}

void check_dnload(const std::vector<uint8_t>& request) {
    const uint16_t block = static_cast<uint16_t>(request[2] | request[3] << 8);
    const uint16_t length = static_cast<uint16_t>(request[6] | request[7] << 8);
    fuzz_Check(length == request.size() - SETUP_SIZE, "DNLOAD wLength differs from its data");
    const std::vector<uint8_t> data(request.begin() + SETUP_SIZE, request.end());
    if (length == 0) {
        fuzz_Check(device.covered == image.size(), "end-of-image block after an incomplete image");
        fuzz_Check(block == device.next_block, "end-of-image block with the wrong number");
        device.end_of_image = true;
        return;
    }
    fuzz_Check(!device.end_of_image, "image data after the end-of-image block");
    if (block + 1 == device.next_block && data == device.last_block) {
        return; // the same request again, sent anew after a restart
    }
    fuzz_Check(block == device.next_block, "DNLOAD block number out of order");
    fuzz_Check(device.covered + length <= image.size(), "DNLOAD data past the end of the image");
    fuzz_Check(std::equal(data.begin(), data.end(), image.begin() + device.covered),
               "DNLOAD data differs from the image");
    device.covered += length;
    device.next_block = static_cast<uint16_t>(block + 1);
    device.last_block = data;
}

void on_request(const WireFrame& f) {
    if (f.seq() != device.expected) {
        send_ack_only(); // a resend of what was already accepted
        return;
    }
    uint8_t ctl = 0;
    const uint8_t* reply = ERROR_REPLY;
    size_t reply_length = sizeof ERROR_REPLY;
    if (device.script_at < device.script_size) {
        ctl = device.script[device.script_at++];
        const size_t want =
            device.script_at < device.script_size ? device.script[device.script_at++] : 0;
        reply = device.script + device.script_at;
        reply_length = std::min(want, device.script_size - device.script_at);
        device.script_at += reply_length;
    }
    if (ctl & CTL_IGNORE) {
        return;
    }
    device.expected = (device.expected + 1) & 7;
    ++device.accepted;
    const std::vector<uint8_t>& request = f.payload;
    const uint8_t b_request = request[1];
    if (b_request == DFU_DNLOAD) {
        check_dnload(request);
    }
    const bool restart_after_reply = (ctl & CTL_RESTART) && (ctl & CTL_ALWAYS_REPLY);
    if ((ctl & CTL_RESTART) && !restart_after_reply) {
        if (ctl & CTL_ACK_FIRST) {
            // Takes the request, then restarts a little later, before replying.
            send_ack_only();
            device.held_from = device.to_host.size();
            device.held_until = now_ms + RESTART_MS;
        }
        restart_device();
        if (device.covered > 0 || device.end_of_image) {
            device.restarted_in_download = true;
        }
        wire_AppendLeFrame(device.to_host, 0);
        return;
    }
    const bool answers = b_request != DFU_DETACH && b_request != VENDOR_RESET;
    const bool reply_now =
        !(ctl & CTL_NO_REPLY) && (answers || (ctl & CTL_ALWAYS_REPLY && !restart_after_reply));
    if ((ctl & CTL_ACK_FIRST) || !reply_now) {
        send_ack_only();
    }
    if (reply_now) {
        const bool reliable = (ctl & CTL_RELIABLE) != 0;
        const WireHeader h{device.tx_seq, device.expected, reliable, !(ctl & CTL_NO_CRC),
                           (ctl & CTL_OTHER_CHANNEL) ? OTHER_CHANNEL : DFU_CHANNEL_NO};
        wire_AppendFrame(device.to_host, h, reply, static_cast<uint16_t>(reply_length));
        if (reliable) {
            device.tx_seq = (device.tx_seq + 1) & 7;
        }
    }
    if (restart_after_reply) {
        device.held_from = device.to_host.size();
        device.held_until = now_ms + RESTART_MS;
        restart_device();
        if (device.covered > 0 || device.end_of_image) {
            device.restarted_in_download = true;
        }
        wire_AppendLeFrame(device.to_host, 0);
    }
}

void on_host_frame(const WireFrame& f) {
    if (!f.valid) {
        return;
    }
    if (f.channel() == 1) {
        const int message = wire_LeIndex(f.payload.data(), f.payload.size());
        if (message == 0) {
            restart_device(); // the host restarted its link: so does the device
            wire_AppendLeFrame(device.to_host, 1);
        } else if (message == 2) {
            device.up = true;
            wire_AppendLeFrame(device.to_host, 3);
        }
        return;
    }
    if (device.up && f.channel() == DFU_CHANNEL_NO && f.reliable() &&
        f.payload.size() >= SETUP_SIZE) {
        on_request(f);
    }
}

bool line_open(const char*) {
    return true;
}
uint32_t line_read(uint8_t* buf, uint32_t max) {
    if (device.held_from != SIZE_MAX && now_ms >= device.held_until) {
        device.held_from = SIZE_MAX;
    }
    const size_t available = std::min(device.to_host.size(), device.held_from);
    const size_t n = std::min<size_t>(max, available - std::min(available, device.read_at));
    if (n > 0) {
        std::memcpy(buf, device.to_host.data() + device.read_at, n);
    }
    device.read_at += n;
    return static_cast<uint32_t>(n);
}
void line_write(const uint8_t* buf, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) {
        if (device.decoder.feed(buf[i])) {
            on_host_frame(device.decoder.frame());
        }
    }
}
void line_purge() {
    device.read_at = device.to_host.size();
}
void line_close() {}
bool line_wait(uint32_t max_us) {
    uint8_t none[1];
    const size_t before = device.read_at;
    // A zero-length read tells whether anything is due without taking it.
    line_read(none, 0);
    device.read_at = before;
    const size_t available = std::min(device.to_host.size(), device.held_from);
    if (available > device.read_at) {
        return true;
    }
    clock_sleep((max_us + 999) / 1000);
    return false;
}
const ComPortOps line_ops = {line_open, line_read, line_write, line_purge, line_close, line_wait};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_Quiet();
    if (file_path.empty()) {
        write_firmware_file();
    }
    device = Device{};
    device.script = data;
    device.script_size = size;
    plat_SetClock(&virtual_clock);
    com_SetOps(&line_ops);
    bcsp_Init();
    dfu_TransportInit();
    device_descriptor = DeviceDescriptor{};
    functional_descriptor = DfuFunctionalDescriptor{};
    fuzz_Check(dfufile_Open(file_path.c_str(), nullptr), "cannot open the firmware file");

    bool downloaded = false;
    if (dfu_Connect() && dfu_EnterIdle()) {
        downloaded = dfu_DownloadImage();
    }
    if (downloaded) {
        fuzz_Check(device.end_of_image, "download reported success without end-of-image");
        fuzz_Check(!device.restarted_in_download,
                   "download reported success though the device restarted during it");
    }

    // A send reported as done must have reached the device, whatever state
    // the link was left in.
    const uint8_t get_status[SETUP_SIZE] = {0xA1, DFU_GETSTATUS, 0, 0, 0, 0, 6, 0};
    const uint32_t accepted_before = device.accepted;
    if (dfu_SendPacket(get_status, sizeof get_status, DIRECT_SEND_TICKS)) {
        fuzz_Check(device.accepted > accepted_before,
                   "dfu_SendPacket reported a request done that the device never took");
    }

    // Each request once more on its own, against whatever replies remain.
    DfuStatus status{};
    DeviceDescriptor descriptor{};
    DfuFunctionalDescriptor functional{};
    dfu_GetStatus(&status);
    dfu_GetDeviceDescriptor(&descriptor);
    dfu_GetFunctionalDescriptor(&functional);
    dfu_ClearStatus();
    dfu_Detach(0);
    dfu_ResetDevice();
    dfu_EstablishLink();

    // The next run starts from scratch; nothing of this one may stay registered.
    bcsp_Init();
    com_SetOps(nullptr);
    plat_SetClock(nullptr);
    return 0;
}
