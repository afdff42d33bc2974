#pragma once
// BCSP frames on the serial line: SLIP-delimited (0xC0) and escaped
// (0xC0 -> DB DC, 0xDB -> DB DD), a 4-byte header with checksum, the
// payload, and a 16-bit CRC sent high byte first.
//
// Header, before escaping:
//   byte 0: bits 0-2 sequence, bits 3-5 acknowledgement (next expected),
//           bit 6 CRC present, bit 7 reliable
//   byte 1: bits 0-3 channel, bits 4-7 payload length bits 0-3
//   byte 2: payload length bits 4-11
//   byte 3: ~(byte0 + byte1 + byte2), modulo 256
//
// The encoder and assembler state belong to the one link instance
// (bcsp_link); the functions here that touch it are used by the engine.

#include <cstdint>

inline constexpr uint8_t SLIP_END = 0xC0;
inline constexpr uint8_t SLIP_ESC = 0xDB;
inline constexpr uint8_t SLIP_ESC_END = 0xDC;
inline constexpr uint8_t SLIP_ESC_ESC = 0xDD;
inline constexpr uint16_t BCSP_CRC_INIT = 0xFFFF;

// One byte into the CRC register (reflected CCITT 0x8408, a nibble at a
// time, low nibble first). Start from BCSP_CRC_INIT; no final XOR.
uint16_t bcsp_Crc16Update(uint8_t byte, uint16_t crc);

// Bit 0 becomes bit 15 and so on. The CRC goes on the wire bit-reversed.
uint16_t bcsp_BitReverse16(uint16_t value);

// The header checksum: the complement of the sum of the first three bytes.
uint8_t bcsp_HeaderChecksum(const uint8_t header[3]);

// --- Transmit encoder (one frame at a time) ---

// Starts a frame whose start delimiter the caller has already written. With
// `compute_checksum`, header[3] is overwritten with the header checksum;
// otherwise the header goes out exactly as stored. An empty payload is
// passed as nullptr with length 0. The header and payload must stay
// unchanged until the frame is complete or abandoned.
void bcsp_StartFrame(uint8_t header[4], bool compute_checksum, const uint8_t* payload,
                     uint16_t length);

// True while a frame is in progress (bytes still to write).
bool bcsp_EncoderBusy();

// Writes the next byte of the frame in progress through com_PutByte (an
// escape pair takes two steps). The step that writes the frame's last byte
// also writes the end delimiter and returns true; otherwise false. Must
// only be called while bcsp_EncoderBusy().
bool bcsp_EncodeStep();

// Abandons the frame in progress: no more bytes of it, no CRC, no end
// delimiter. A half-written escape pair is discarded with it, so nothing of
// the abandoned frame ever leaks into the next one.
void bcsp_AbandonFrame();

// --- Receive assembler ---

// Restarts assembly: the next stored bytes are a new frame's header. The
// escape flag is kept.
void bcsp_RestartAssembly();

// Consumes one received byte, storing payload (and CRC) bytes into
// storage[0..capacity-1]; bytes beyond the capacity are dropped. Returns
// true when an end delimiter closes a frame whose 4 header bytes arrived:
// the frame is then described by bcsp_FrameHeader/bcsp_FrameCount until the
// next call. Empty and shorter-than-header frames return false silently.
// 0xDB followed by anything but 0xDC/0xDD stores that byte as it is.
bool bcsp_AssembleStep(uint8_t b, uint8_t* storage, uint16_t capacity);

// The 4 header bytes of the frame just closed.
const uint8_t* bcsp_FrameHeader();

// Bytes stored for the frame just closed (payload, plus the 2 CRC bytes
// until bcsp_CheckBody has verified them).
uint16_t bcsp_FrameCount();

// Header sum check of the frame just closed. On failure prints
// "\n######################## Header Checksum Error %02X %02X %02X %02X\n"
// and returns false.
bool bcsp_CheckHeader();

// Length and CRC checks of the frame just closed, whose stored bytes are in
// `storage`. Returns true when good; with a CRC the frame count then no
// longer includes the 2 CRC bytes. On failure prints one of
// "\n######################## Slip Length Error (With CRC) %d,%d\n",
// "\n######################## CRC Error\n",
// "\n######################## Slip Length Error (No CRC) %d,%d\n"
// and returns false.
bool bcsp_CheckBody(const uint8_t* storage, bool crc_present, uint16_t payload_length);

// Puts encoder and assembler back to their initial state (escape flags too).
void bcsp_FrameInit();
