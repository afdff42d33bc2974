#include "sim_capture.h"

#include "trace_wire.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>

namespace sim {

namespace {

constexpr size_t LINE_MAX_CHARS = 2048;
constexpr uint8_t REQUEST_CHANNEL_ID = 12;

bool IsText(const std::string& content) {
    for (unsigned char c : content) {
        if (!std::isprint(c) && !std::isspace(c)) {
            return false;
        }
    }
    return !content.empty();
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "C0", "0xC0", "0xc" -> byte; anything else -> -1.
int TokenByte(const std::string& token, bool prefixed) {
    std::string digits = token;
    if (prefixed) {
        if (token.size() < 3 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X')) {
            return -1;
        }
        digits = token.substr(2);
        if (digits.size() > 2) {
            return -1;
        }
    } else if (digits.size() != 2) {
        return -1;
    }
    int value = 0;
    for (char c : digits) {
        const int v = HexValue(c);
        if (v < 0) {
            return -1;
        }
        value = value * 16 + v;
    }
    return value;
}

} // namespace

std::vector<uint8_t> ParseCapture(const std::string& content, std::string* note) {
    note->clear();
    if (!IsText(content)) {
        return std::vector<uint8_t>(content.begin(), content.end());
    }
    std::vector<uint8_t> bytes;
    std::istringstream lines(content);
    std::string line;
    char marker = 0; // the socat direction being read
    bool skipping = false;
    size_t skipped_blocks = 0;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && (line[first] == '>' || line[first] == '<') &&
            line.find("length=") != std::string::npos) {
            // A socat block header: the bytes below it went one way.
            if (marker == 0) {
                marker = line[first];
            }
            skipping = line[first] != marker;
            skipped_blocks += skipping ? 1 : 0;
            continue;
        }
        if (skipping) {
            if (line.rfind("--", 0) == 0) {
                skipping = false;
            }
            continue;
        }
        // hexdump -C's ASCII column could hold anything that looks like hex.
        line = line.substr(0, line.find('|'));
        std::vector<std::string> tokens;
        std::string token;
        for (char c : line + " ") {
            if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ';') {
                if (!token.empty()) {
                    tokens.push_back(token);
                }
                token.clear();
            } else {
                token += c;
            }
        }
        bool prefixed = false;
        for (const std::string& t : tokens) {
            prefixed = prefixed || TokenByte(t, true) >= 0;
        }
        // With 0x-bytes on the line, bare numbers are times or indices.
        for (const std::string& t : tokens) {
            const int value = TokenByte(t, prefixed);
            if (value >= 0) {
                bytes.push_back(static_cast<uint8_t>(value));
            }
        }
    }
    if (skipped_blocks != 0) {
        *note = "note: " + std::to_string(skipped_blocks) + " socat blocks marked '" +
                std::string(1, marker == '>' ? '<' : '>') + "' skipped (the other direction)";
    }
    return bytes;
}

std::string DecodeCapture(const std::vector<uint8_t>& bytes, CaptureDirection direction) {
    auto splitter = std::make_unique<WireSplitter>();
    if (direction == CaptureDirection::Guess) {
        // A request's first byte is a request type (0x21, 0xA1, 0x41, 0xC1);
        // a reply's is the low byte of its status, nearly always 0.
        direction = CaptureDirection::ToHost;
        wire_Reset(splitter.get());
        for (uint8_t b : bytes) {
            if (wire_Feed(splitter.get(), b) && splitter->body_total > 4 &&
                splitter->body_total <= WIRE_MAX_BODY &&
                (splitter->body[1] & 0x0F) == REQUEST_CHANNEL_ID) {
                const uint8_t first = splitter->body[4];
                if (first == 0x21 || first == 0xA1 || first == 0x41 || first == 0xC1) {
                    direction = CaptureDirection::FromHost;
                }
                break;
            }
        }
    }
    const WireDirection dir =
        direction == CaptureDirection::FromHost ? WIRE_TO_DEVICE : WIRE_TO_HOST;
    const char* source = dir == WIRE_TO_DEVICE ? "H>D" : "D>H";
    wire_Reset(splitter.get());
    WireContext context{};
    std::string out;
    char text[LINE_MAX_CHARS];
    char prefix[64];
    for (uint8_t b : bytes) {
        if (wire_Feed(splitter.get(), b)) {
            wire_Describe(splitter.get(), &context, dir, false, text, sizeof text);
            std::snprintf(prefix, sizeof prefix, "@%-9llu %-4s ",
                          static_cast<unsigned long long>(wire_FrameOffset(splitter.get())),
                          source);
            out += prefix;
            out += text;
            out += '\n';
        }
    }
    if (wire_PendingBytes(splitter.get()) != 0) {
        std::snprintf(prefix, sizeof prefix, "@%-9llu %-4s ",
                      static_cast<unsigned long long>(splitter->last_delimiter), source);
        out += prefix;
        out += "TRUNCATED: the capture ends " + std::to_string(wire_PendingBytes(splitter.get())) +
               " bytes into a frame\n";
    }
    if (!splitter->synced && !bytes.empty()) {
        out += "no frame delimiter (C0) in " + std::to_string(bytes.size()) + " bytes\n";
    } else if (wire_UnsyncedBytes(splitter.get()) != 0) {
        out = "@0         " + std::string(source) + "  " +
              std::to_string(wire_UnsyncedBytes(splitter.get())) +
              " bytes before the first delimiter (the capture began inside a frame)\n" + out;
    }
    return out;
}

} // namespace sim
