#pragma once
// BCSP frames as the device sees them: building and escaping the frames it
// sends, splitting the host's byte stream at SLIP delimiters, and the frame
// check (header checksum, payload length, CRC) applied to each frame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint8_t FRAME_END = 0xC0;
inline constexpr uint8_t FRAME_ESC = 0xDB;
inline constexpr uint8_t FRAME_ESC_END = 0xDC;
inline constexpr uint8_t FRAME_ESC_ESC = 0xDD;
inline constexpr size_t FRAME_HEADER_SIZE = 4;
inline constexpr size_t FRAME_CRC_SIZE = 2;
// The header's 12-bit length field.
inline constexpr size_t FRAME_MAX_PAYLOAD = 4095;
inline constexpr uint8_t LINK_CHANNEL = 1;
inline constexpr uint8_t REQUEST_CHANNEL = 12;

// One decoded (or to-be-encoded) frame.
struct Frame {
    bool reliable = false;
    bool has_crc = true;
    uint8_t seq = 0;     // 0..7
    uint8_t ack = 0;     // 0..7, the sequence number the sender expects next
    uint8_t channel = 0; // 0..15
    std::vector<uint8_t> payload;
};

// The four header bytes of `frame` (checksum included) for a payload of
// `length` bytes.
void BuildHeader(const Frame& frame, size_t length, uint8_t header[FRAME_HEADER_SIZE]);

// The frame as it goes on the line: C0, escaped header, payload and CRC
// (when has_crc), C0. The payload must not exceed FRAME_MAX_PAYLOAD.
std::vector<uint8_t> EncodeFrame(const Frame& frame);

// Link-establishment frames are sent with this fixed header, whatever the
// link's sequence numbers are.
std::vector<uint8_t> EncodeLinkFrame(const uint8_t message[4]);

enum class FrameCheck { Ok, HeaderChecksum, Length, Crc };

// Checks the unescaped bytes between two delimiters (at least the 4 header
// bytes) and fills *out on success. Any other result leaves *out partly
// written.
FrameCheck CheckFrame(const std::vector<uint8_t>& body, Frame* out);

// Splits a byte stream into frame bodies. Bytes after an escape byte other
// than DC/DD are kept as they came (the CRC then decides), and a body never
// grows beyond the largest legal frame (the length check rejects it).
class FrameSplitter {
  public:
    // Feeds one line byte. True when it completed a body of at least a
    // header's length; Body() and Raw() then hold it until the next Feed.
    // Shorter bodies (back-to-back delimiters) are dropped silently.
    bool Feed(uint8_t byte);
    const std::vector<uint8_t>& Body() const { return done_body_; }
    // The line bytes of that frame, delimiters included (cut short for a
    // frame far beyond the largest legal one).
    const std::vector<uint8_t>& Raw() const { return done_raw_; }
    // True when the byte just fed was a delimiter (not an escaped C0).
    bool AtDelimiter() const { return at_delimiter_; }
    // Drops a partly received frame.
    void Reset();

  private:
    std::vector<uint8_t> body_;
    std::vector<uint8_t> raw_;
    std::vector<uint8_t> done_body_;
    std::vector<uint8_t> done_raw_;
    bool escaped_ = false;
    bool at_delimiter_ = false;
};

// "C0 40 41 ..." for diagnostics.
std::string HexBytes(const std::vector<uint8_t>& bytes);

} // namespace sim
