#pragma once
// An independent reference for the frame format, for the fuzz targets'
// peers and checks: a frame encoder that can also build damaged frames,
// and a decoder that splits a byte stream into frames and judges each one.
// Written from the wire format alone, bit by bit, so that it shares no
// fault with the link engine's nibble-table code.

#include <cstddef>
#include <cstdint>
#include <vector>

// The 16-bit value as it goes on the wire (high byte first) for `n` bytes.
uint16_t wire_Crc(const uint8_t* p, size_t n);

struct WireHeader {
    uint8_t seq; // 0..7
    uint8_t ack; // 0..7
    bool reliable;
    bool crc;        // CRC present
    uint8_t channel; // 0..15
};

// Appends one complete frame (both delimiters). `bad_checksum` spoils the
// header checksum; everything else is a well-formed frame.
void wire_AppendFrame(std::vector<uint8_t>& out, const WireHeader& h, const uint8_t* payload,
                      uint16_t length, bool bad_checksum = false);

// The fixed establishment frames: index 0 sync, 1 sync-response, 2 conf,
// 3 conf-response.
void wire_AppendLeFrame(std::vector<uint8_t>& out, uint8_t index);
// The establishment message index of a 4-byte payload, or -1.
int wire_LeIndex(const uint8_t* payload, size_t length);

struct WireFrame {
    uint8_t header[4];
    std::vector<uint8_t> payload; // without CRC
    bool valid;                   // header checksum, length and CRC all good

    bool reliable() const { return (header[0] & 0x80) != 0; }
    uint8_t seq() const { return header[0] & 0x07; }
    uint8_t ack() const { return (header[0] >> 3) & 0x07; }
    uint8_t channel() const { return header[1] & 0x0F; }
};

// Splits a stream at 0xC0 and unescapes. Frames shorter than a header are
// dropped, like the receiver does.
class WireDecoder {
  public:
    // Returns true when `b` closed a frame; it is then in frame().
    bool feed(uint8_t b);
    const WireFrame& frame() const { return frame_; }
    // An escape byte followed by something other than DC/DD/C0 was seen.
    bool bad_escape() const { return bad_escape_; }

  private:
    std::vector<uint8_t> raw_;
    bool escape_ = false;
    bool bad_escape_ = false;
    WireFrame frame_{};
};
