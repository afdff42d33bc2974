#pragma once
// Whole files as bytes, for the tests that write a firmware file and read
// back the image the device received.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace e2e {

// Replaces the file at `path` with `bytes`.
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The whole file at `path`; empty when it cannot be read.
inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

} // namespace e2e
