#pragma once
// Positions a stdio stream at an absolute offset of up to 4 GiB - 1, which a
// 32-bit signed fseek cannot reach. True when the stream is now there.

#include <cstdint>
#include <cstdio>

bool dfufile_SeekTo(std::FILE* file, uint32_t offset);
