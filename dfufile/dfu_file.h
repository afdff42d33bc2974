#pragma once
// The firmware file: a 100-byte header (suffix offset at 10, description at
// 16), the image (the file's bytes from offset 0 up to the suffix, header
// included) and a 16-byte suffix carrying PID (+2) and VID (+4).
// One file per run, open from dfufile_Open until the exit-time close.

#include <cstdint>

inline constexpr uint32_t DFUFILE_HEADER_SIZE = 100;
inline constexpr uint32_t DFUFILE_SUFFIX_SIZE = 16;

// Opens `path` for binary reading, reads header and suffix, checks the
// file, rewinds, prints "DFU file: %s\n" (the description up to its first
// NUL, control characters as text_EscapeControls shows them) and
// "DFU file VID: 0x%04X, PID: 0x%04X\n". When vid_pid is given, stores VID
// in vid_pid[0] and PID in vid_pid[1].
// Returns false when the file is refused, after one line with the reason,
// "Firmware file: %s\n", one of:
//   cannot be opened (<system's text>)
//   not a regular file (a pipe, FIFO or device cannot be read twice; save it to a file first)
//   cannot be read (<system's text>)
//   shorter than the 100-byte header
//   ends before its 16-byte suffix (suffix offset N)
//   suffix offset N lies inside the header       (below 100)
//   no DFU suffix signature                       ("UFD" at suffix bytes 8-10)
//   shorter than its suffix offset
//   CRC mismatch (file 0xXXXXXXXX, computed 0xXXXXXXXX)
// The CRC-32 at suffix bytes 12-15 must match the file in one of the
// accepted ways: the register (reflected 0xEDB88320, initial 0xFFFFFFFF)
// over every byte before the CRC field or over the image alone, each with
// or without the final inversion; "computed" is the first of these, not
// inverted. Reads the whole image once to take that CRC. The file is closed
// at process exit in every case once it was opened.
// With a report on, the same reads also give the whole file's SHA-256 and
// size (the bytes past the image, its suffix and any after it, are read
// once more for them), noted for the report once the CRC has been checked
// (the file accepted, or refused for its CRC).
bool dfufile_Open(const char* path, uint16_t* vid_pid);

// Reads the next chunk of the image, at most `maximum` bytes. Returns the
// count, 0 at the end of the image. A read that fails or ends early (file
// shrunk or I/O error) prints "Firmware file read error\n", returns 0 and
// makes dfufile_ReadFailed() true: the caller must not treat that 0 as the
// end of the image. When the image read during the run differs from the one
// checked at open (the file was rewritten in place), the last chunk is not
// returned: "Firmware file changed during download\n" is printed, the
// result is 0 and dfufile_ReadFailed() is true.
uint16_t dfufile_Read(uint8_t* buffer, uint16_t maximum);

// True once a dfufile_Read has failed since the last successful open.
bool dfufile_ReadFailed();

// The number of image bytes (the suffix offset) of the open file.
uint32_t dfufile_ImageSize();

// Closes the file (the exit-time handler; harmless when already closed).
void dfufile_Close();
