#pragma once
// BCSP frames on the serial line (the format is in bcsp_wire.h): the
// encoder that writes one and the assembler that reads one.
//
// The encoder and assembler state belong to the one link instance
// (bcsp_link); the functions here that touch it are used by the engine.

#include <cstdint>

#include "bcsp_crc.h"
#include "bcsp_wire.h"

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
