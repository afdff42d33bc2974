#pragma once
// Reading the bytes of one direction of the line back as frames, and naming
// what they carry: the one decoder behind tarnload's trace, tarnsim's trace
// and `tarnsim decode`, so that all three print the same words.
//
// Everything here works on caller-owned plain records with fixed arrays;
// nothing allocates, so the tool can run it on its own hot path.

#include <cstddef>
#include <cstdint>

// Which way the bytes travel. Only channel 12 depends on it: a payload to
// the device is a request, one to the host a reply.
enum WireDirection : uint8_t { WIRE_TO_DEVICE = 0, WIRE_TO_HOST = 1 };

// The largest frame body the header can describe: header, 4095 payload
// bytes, CRC. Anything longer fails the length check whatever it holds.
inline constexpr uint16_t WIRE_MAX_BODY = 4 + 4095 + 2;
// Raw line bytes kept per frame for the hex column. The longest frame the
// tool sends (238-byte payload) takes at most 490 bytes even if every byte
// were escaped; a longer frame's hex is cut and marked.
inline constexpr uint16_t WIRE_RAW_KEEP = 512;

// What both directions of one line share: the requests seen going to the
// device, by sequence number. A reply acknowledges the request it answers
// (its acknowledgement field is that request's sequence number + 1), which
// tells what its data are even when replies lag behind the requests.
struct WireContext {
    uint8_t request_by_seq[8]; // bRequest of the last request with that sequence number
    uint8_t known;             // bit n: request_by_seq[n] holds one
};

// One direction's splitter and its memory of the last reliable frame (for
// marking retransmissions). Zero-initialise it (WireSplitter s{}) or call
// wire_Reset before use.
struct WireSplitter {
    uint8_t body[WIRE_MAX_BODY]; // unescaped bytes of the frame being read
    uint32_t body_total;         // bytes of it, including those beyond the array
    uint8_t raw[WIRE_RAW_KEEP];  // its line bytes, opening delimiter included
    uint32_t raw_total;
    bool escaped;
    bool just_closed;      // the last byte closed a frame
    bool synced;           // a delimiter has been seen: bytes before it are no frame
    uint32_t unsynced;     // bytes seen before the first delimiter
    uint64_t offset;       // line bytes fed so far
    uint64_t frame_offset; // offset of the opening delimiter of the current frame
    uint64_t last_delimiter;
    bool have_last; // the last good reliable frame, for retransmissions
    uint8_t last_seq;
    uint8_t last_channel;
    uint16_t last_length;
    uint16_t last_payload_crc;
};

// Forget everything (a new line, or the device went off the line).
void wire_Reset(WireSplitter* s);

// Feeds one line byte. Returns true when it closed a frame (anything
// between two delimiters, however short or damaged): wire_Describe then
// names it, until the next wire_Feed.
bool wire_Feed(WireSplitter* s, uint8_t byte);

// Describes the frame just closed into `out` (always terminated; cut to
// `cap`). `with_bytes` appends its raw line bytes in hex. Updates the
// context (a request to the device) and the retransmission memory. Returns
// the length written.
//
// Examples: "rel seq 0 ack 0 ch 12 len 8 crc ok: GETSTATUS",
// "unrel seq 0 ack 0 ch 1 len 4 crc ok: sync",
// "rel seq 2 ack 3 ch 12 len 238 crc ok: DNLOAD block 12, 230 bytes (retransmission)",
// "BAD HEADER CHECKSUM, header 40 41 00 7F".
size_t wire_Describe(WireSplitter* s, WireContext* ctx, WireDirection dir, bool with_bytes,
                     char* out, size_t cap);

// Line offset of the opening delimiter of the frame just closed.
uint64_t wire_FrameOffset(const WireSplitter* s);

// Bytes of an unfinished frame (a capture's truncated tail), 0 when none,
// and bytes seen before the first delimiter.
uint32_t wire_PendingBytes(const WireSplitter* s);
uint32_t wire_UnsyncedBytes(const WireSplitter* s);

// The start of every trace line: seconds with microseconds, the source
// padded to 4 ("  1.234567 H>D  "). Returns the length written.
size_t wire_LinePrefix(char* out, size_t cap, uint64_t elapsed_us, const char* source);

// DFU 1.1 state and status names ("dfuDNBUSY", "errSTALLEDPKT"); "?" when
// out of range.
const char* wire_StateName(uint8_t state);
const char* wire_StatusName(uint8_t status);
