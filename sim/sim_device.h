#pragma once
// The virtual device: a BCSP peer with a DFU function behind channel 12.
//
// The model is passive and single-threaded. Its owner feeds it the bytes
// the host wrote (Receive), takes the bytes it has for the host (Transmit)
// and moves its clock forward (AdvanceTo); every timer of the device (link
// establishment repeats, retransmission of unacknowledged replies, reply
// delay, restarts, line pacing) runs inside those calls and nowhere else.
// Time is the owner's: microseconds from any start, never going backwards.
// The pty front end passes real time, the in-process line virtual time.
//
// Wire conventions the device speaks (both sides of the line agree on them):
// - Frames: SLIP (C0 delimiters, DB DC / DB DD escapes), 4-byte header with
//   checksum, payload, 16-bit CRC (reflected CCITT, bit-reversed, high byte
//   first). Every frame the device sends carries a CRC.
// - Link establishment on channel 1 with the four 4-byte messages sync,
//   sync-response, conf, conf-response; the device repeats sync while shy
//   and conf while curious, answers sync with sync-response and conf with
//   conf-response, and treats a sync received while up as a host restart
//   (its link resets and establishment starts again).
// - Requests arrive as reliable packets on channel 12: an 8-byte USB setup
//   packet (bmRequestType, bRequest, wValue LE, wIndex LE, wLength LE),
//   followed by wLength data bytes for DNLOAD. Every reliable host packet is
//   acknowledged at the latest in the device's next channel-12 packet (its
//   header's acknowledgement field), or by an acknowledgement-only frame
//   (channel 0, no payload) sent before it.
// - Replies go on channel 12, one per DNLOAD, GETSTATUS, CLRSTATUS and
//   vendor requests 8 and 9, with the payload
//     status u16 LE (0 = success), data length u16 LE, data.
//   DETACH and vendor request 7 get no reply. Nothing else is ever sent on
//   channel 12; host packets on channels other than 1 and 12 are dropped.
// - GETSTATUS data, 6 bytes: device status, poll time-out in 3 bytes with
//   byte 1 MOST significant (poll_ms = b1 * 65536 + b2 * 256 + b3; this is
//   how the host combines them), DFU 1.1 state number, string index 0.
//
// DFU behaviour:
// - The application (states 0 and 1) reports appIDLE. DETACH with the
//   application's will-detach bit set restarts the device into the DFU
//   firmware (off the line for restart_ms, then sync again); without it
//   the state becomes appDETACH and request 7 does the restart. Request 7
//   in appIDLE restarts the application. DNLOAD and CLRSTATUS are refused
//   (status errSTALLEDPKT, no state change).
// - The DFU firmware takes DNLOAD in dfuIDLE (block 0 starts a new image)
//   and dfuDNLOAD-IDLE (the block after the last one), wLength at most
//   min(transfer size, 230) and exactly wLength data bytes. Anything else is
//   refused with a non-zero reply status and leaves dfuERROR (errADDRESS for
//   a wrong block number, errSTALLEDPKT otherwise). A data block is followed
//   by busy_answers GETSTATUS answers of dfuDNBUSY, then dfuDNLOAD-IDLE; the
//   zero-length block ends the image, followed by manifest_answers answers
//   of dfuMANIFEST, then manifest_final_state, which completes the update.
//   CLRSTATUS turns dfuERROR into dfuIDLE and is refused in other states.
//   Request 7 starts the application if its firmware is whole (the last
//   image was manifested, or none was begun), else the DFU firmware comes
//   back in dfuERROR with errFIRMWARE.
// - Unknown requests are refused with errSTALLEDPKT.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// DFU 1.1 state numbers.
enum DfuState : uint8_t {
    STATE_APP_IDLE = 0,
    STATE_APP_DETACH = 1,
    STATE_DFU_IDLE = 2,
    STATE_DNLOAD_SYNC = 3,
    STATE_DNBUSY = 4,
    STATE_DNLOAD_IDLE = 5,
    STATE_MANIFEST_SYNC = 6,
    STATE_MANIFEST = 7,
    STATE_MANIFEST_WAIT_RESET = 8,
    STATE_UPLOAD_IDLE = 9,
    STATE_ERROR = 10,
};

// DFU 1.1 status codes the device reports.
enum DfuStatusCode : uint8_t {
    STATUS_OK = 0x00,
    STATUS_ERR_WRITE = 0x03,
    STATUS_ERR_ADDRESS = 0x08,
    STATUS_ERR_NOTDONE = 0x09,
    STATUS_ERR_FIRMWARE = 0x0A,
    STATUS_ERR_STALLEDPKT = 0x0F,
};

// Functional-descriptor attribute bits.
inline constexpr uint16_t ATTR_CAN_DOWNLOAD = 0x0001;
inline constexpr uint16_t ATTR_CAN_UPLOAD = 0x0002;
inline constexpr uint16_t ATTR_MANIFEST_TOLERANT = 0x0004;
inline constexpr uint16_t ATTR_WILL_DETACH = 0x0008;

// The largest DNLOAD block the device ever takes, whatever it announces:
// the host's request buffer holds 8 + 230 bytes.
inline constexpr uint16_t MAX_BLOCK_DATA = 230;

// One line byte at 115200 baud, 8 data bits, even parity, 1 start and 1 stop
// bit: 11 bits, in nanoseconds (95486 ns).
inline constexpr uint64_t PACED_BYTE_NS = 11ull * 1000000000ull / 115200ull;

// What the firmware of one mode (application or DFU) says about itself.
struct Identity {
    // Returned by vendor request 8; VID at bytes 6-7, PID at 8-9 (LE). The
    // other bytes follow the USB device-descriptor layout loosely (length,
    // type, bcdUSB, class...) and mean nothing to the host.
    uint8_t device_descriptor[12];
    // Returned by vendor request 9, each field LE on the wire.
    uint16_t attributes;
    uint16_t detach_timeout_ms;
    uint16_t transfer_size;

    // Writes vid/pid into the descriptor.
    void SetIds(uint16_t vid, uint16_t pid);
    uint16_t Vid() const;
    uint16_t Pid() const;
};

// Faults the device injects on its own line. Counters are 1-based; 0 means
// off. Rates are probabilities in [0, 1]; all random decisions come from one
// generator seeded with `seed`, so a run with the same traffic repeats.
struct FaultConfig {
    // Reply frames are the channel-12 frames the device sends, counted from
    // 1 over the device's life, retransmissions included.
    std::vector<uint32_t> drop_reply;      // never written to the line
    std::vector<uint32_t> corrupt_reply;   // one bit flipped (a CRC or length error)
    std::vector<uint32_t> duplicate_reply; // written twice back to back
    // Acknowledgement-only frames, counted the same way.
    std::vector<uint32_t> drop_ack;
    // Every frame the device writes (establishment, acknowledgements and
    // replies alike), counted from 1.
    std::vector<uint32_t> drop_frame;
    std::vector<uint32_t> corrupt_frame;

    // Per byte, device -> host, after framing.
    double tx_corrupt_rate = 0;
    double tx_drop_rate = 0;
    // Per byte, host -> device, before the device's frame decoder.
    double rx_corrupt_rate = 0;
    double rx_drop_rate = 0;
    // Per frame: a whole frame written (tx) or decoded (rx) twice.
    double tx_duplicate_rate = 0;
    double rx_duplicate_rate = 0;
    uint64_t seed = 1;
};

// Every behaviour of the device. The defaults are a healthy device in
// application mode whose firmware detaches by itself.
struct DeviceConfig {
    DeviceConfig();

    // Power-up state: 0 or 1 start the application, 2..10 start the DFU
    // firmware in that state (10, dfuERROR, reports error_status).
    uint8_t start_state = STATE_APP_IDLE;
    Identity app;
    Identity dfu;

    // After a DNLOAD block, this many GETSTATUS answers report dfuDNBUSY
    // with busy_poll_timeout_ms before dfuDNLOAD-IDLE.
    uint32_t busy_answers = 1;
    uint32_t busy_poll_timeout_ms = 5;
    // After the end-of-image block, this many GETSTATUS answers report
    // dfuMANIFEST with manifest_poll_timeout_ms, then manifest_final_state.
    uint32_t manifest_answers = 1;
    uint32_t manifest_poll_timeout_ms = 10;
    // 2 (dfuIDLE) or 8 (dfuMANIFEST-WAIT-RESET).
    uint8_t manifest_final_state = STATE_DFU_IDLE;

    // Whether vendor request 7 is acknowledged before the device resets.
    bool ack_reset_request = true;
    // Whether replies are sent reliably (retransmitted until acknowledged).
    bool reliable_replies = true;
    // A write error reported (dfuERROR, error_status) after DNLOAD block
    // number error_at_block (-1: never), or at the end of manifestation.
    int32_t error_at_block = -1;
    bool error_in_manifest = false;
    uint8_t error_status = STATUS_ERR_WRITE;
    // Non-zero: CLRSTATUS is refused with this reply status and the device
    // stays in dfuERROR.
    uint16_t clear_status_refusal = 0;
    // GETSTATUS replies carry only 5 data bytes (a broken firmware).
    bool short_status = false;

    // Restart (link reset, sync again) once the reply to DNLOAD block number
    // restart_after_block has gone out (-1: never). The image is incomplete
    // then, so the DFU firmware comes back in dfuERROR with errFIRMWARE (the
    // partial image is kept for inspection). Happens once: the next
    // download passes block restart_after_block.
    int32_t restart_after_block = -1;
    // Restart once the request numbered restart_after_request (1-based, over
    // the device's life) has been handled and answered (0: never).
    uint32_t restart_after_request = 0;
    // Restart on the request with this number after acknowledging it, before
    // any reply (the host sees the restart while waiting for the reply).
    uint32_t restart_before_reply = 0;
    // Restart on the request with this number without acknowledging it (the
    // host sees the restart while its request is unacknowledged).
    uint32_t restart_unacknowledged = 0;
    // CLRSTATUS is answered with status 0 but the device stays in dfuERROR.
    bool sticky_error = false;
    // Replies are cut to their first 2 bytes (shorter than a reply header).
    bool partial_replies = false;
    // Non-zero: an unreliable packet on this channel (never 1 or 12) goes
    // out just before every reply, carrying the acknowledgement.
    uint8_t stray_channel = 0;

    // Replies leave this long after the request arrived; the request is
    // acknowledged at once by an acknowledgement-only frame.
    uint32_t reply_delay_ms = 0;
    // A restart (detach with will-detach, request 7, injected) keeps the
    // device off the line this long: it reads and sends nothing.
    uint32_t restart_ms = 20;
    // Link-establishment messages are repeated at this interval.
    uint32_t link_repeat_ms = 50;
    // An unacknowledged reliable reply is sent again after this rest.
    uint32_t retransmit_ms = 100;
    // The device never writes a byte (a dead line), but still records what
    // it receives.
    bool mute = false;
    // Both directions run at 115200 baud 8E1: a received byte is handled
    // PACED_BYTE_NS after the previous one, and output leaves no faster.
    bool paced = false;

    FaultConfig faults;
};

// What the device saw and did; every counter starts at 0 and only grows.
struct DeviceStats {
    uint64_t bytes_from_host = 0; // as they came off the line, before rx faults
    uint64_t bytes_to_host = 0;   // as written to the line, after tx faults
    uint64_t host_frames = 0;     // delimited frames with at least a header
    uint64_t frame_errors = 0;    // header checksum, length or CRC failures
    // Reliable host frames whose sequence number was the one just accepted:
    // the host sent the packet again.
    uint64_t host_retransmissions = 0;
    uint64_t out_of_sequence = 0; // other unexpected reliable sequence numbers
    uint64_t requests = 0;        // channel-12 packets handed to the DFU function
    uint64_t replies = 0;         // distinct replies (not retransmissions)
    uint64_t reply_retransmissions = 0;
    uint64_t acks_sent = 0;     // acknowledgement-only frames
    uint64_t link_ups = 0;      // times the link reached the up state
    uint64_t host_restarts = 0; // sync received while up
    uint64_t restarts = 0;      // device restarts (any cause)
    uint64_t updates = 0;       // completed manifestations
    // Injected faults.
    uint64_t injected_tx = 0; // tx bytes or frames altered, dropped or duplicated
    uint64_t injected_rx = 0; // rx bytes altered or dropped, frames duplicated
    // Host frames that an injected fault altered and that still passed the
    // header checksum, length and CRC checks (each also logged). A frame
    // that comes out byte for byte as the host sent it (a fault hit only a
    // delimiter or a neighbour) is intact and not counted.
    uint64_t damaged_rx_passed = 0;
    // Device frames that an injected fault altered and that would still pass
    // a receiver's frame check (judged on the altered frame alone).
    uint64_t damaged_tx_passed = 0;
};

// One request as the DFU function received it.
struct RequestRecord {
    uint64_t time_us;
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t length;
    uint8_t state_before; // DFU state when it arrived
};

class Device {
  public:
    // Powers the device up at time `now_us` in config.start_state; its link
    // starts shy and sends sync at once.
    explicit Device(const DeviceConfig& config, uint64_t now_us = 0);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Bytes the host wrote, arriving now (paced: one after the other from
    // now on). Unpaced they are decoded and handled before this returns.
    void Receive(const uint8_t* data, size_t length);

    // Copies up to `max` bytes that are on the line for the host now into
    // `out` and removes them. Returns the count (0 when none).
    size_t Transmit(uint8_t* out, size_t max);
    // True when Transmit would hand out a byte now.
    bool OutputDue() const;

    // Moves the device clock to `now_us` (earlier values are ignored),
    // running every timer due up to then, in time order.
    void AdvanceTo(uint64_t now_us);
    uint64_t Now() const;

    // Earliest time at which something is due (a timer, a paced byte), or
    // UINT64_MAX when nothing is. Lets a front end sleep exactly that long.
    uint64_t NextEventTime() const;

    // The configuration in force; changes take effect from the next event
    // (tests flip behaviours between steps), except the fault seed, which is
    // read once at power-up.
    DeviceConfig& Config();

    // Current DFU state (0/1 while the application runs).
    uint8_t State() const;
    bool InDfuMode() const;
    bool LinkUp() const;
    // False while the device is restarting (off the line).
    bool Running() const;

    // The DNLOAD data in block order since the last block 0 was accepted.
    const std::vector<uint8_t>& Image() const;
    // True once the zero-length block ended that image.
    bool ImageComplete() const;
    // True once the manifestation of that image completed.
    bool ManifestationDone() const;
    uint32_t CompletedUpdates() const;
    // True while a reply is owed to the host: held back by reply_delay_ms,
    // queued, or sent reliably and not yet acknowledged.
    bool RepliesDue() const;

    const DeviceStats& Stats() const;
    const std::vector<RequestRecord>& Requests() const;

    // Where the device's diagnostics go (one line each, no newline), such as
    // "damaged host frame passed the frame check: frame 17, bytes C0 ... C0".
    // Default: nowhere.
    void SetLog(std::function<void(const std::string&)> log);

    // The device's side of the run trace, in tarnload's trace format: every
    // frame it reads ("H>D", as its decoder saw it after any injected
    // receive fault) and writes ("D>H", as it went on the line), marked
    // where an injected fault touched it, and its own events ("sim"). The
    // sink gets the device time in microseconds, the source and the text.
    // `with_bytes` adds each frame's line bytes in hex. Default: no trace.
    using TraceSink =
        std::function<void(uint64_t now_us, const char* source, const std::string& text)>;
    void SetTrace(TraceSink sink, bool with_bytes);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sim
