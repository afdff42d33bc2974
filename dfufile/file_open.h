#pragma once
// Opens the firmware file for binary reading without ever waiting on it:
// the port is already held when the file is opened, and a FIFO with no
// writer would otherwise block the open for good. The reader seeks to the
// suffix and reads the image twice (its CRC at open, then the download),
// so only a file that can be read again is taken.

#include <cstdio>

// The reason a file that cannot be read twice is refused with.
inline constexpr char DFUFILE_NOT_SEEKABLE[] =
    "not a regular file (a pipe, FIFO or device cannot be read twice; save it to a file first)";

// The open stream, or nullptr: with *refusal set to DFUFILE_NOT_SEEKABLE for
// a pipe, FIFO, socket or character device, else *refusal null and the
// system's error in errno. Prints nothing.
std::FILE* dfufile_OpenFile(const char* path, const char** refusal);
