#include "sim_capture.h"

#include "trace_wire.h"

#include <cctype>
#include <cstdio>
#include <map>
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

CaptureDirection GuessDirection(const std::vector<uint8_t>& bytes) {
    // A request's first byte is a request type (0x21, 0xA1, 0x41, 0xC1); a
    // reply's is the low byte of its status, nearly always 0.
    auto splitter = std::make_unique<WireSplitter>();
    wire_Reset(splitter.get());
    for (uint8_t b : bytes) {
        if (wire_Feed(splitter.get(), b) && splitter->body_total > 4 &&
            splitter->body_total <= WIRE_MAX_BODY &&
            (splitter->body[1] & 0x0F) == REQUEST_CHANNEL_ID) {
            const uint8_t first = splitter->body[4];
            const bool request = first == 0x21 || first == 0xA1 || first == 0x41 || first == 0xC1;
            return request ? CaptureDirection::FromHost : CaptureDirection::ToHost;
        }
    }
    return CaptureDirection::Guess;
}

std::vector<uint8_t> ParseCapture(const std::string& content, CaptureDirection direction,
                                  std::string* note) {
    note->clear();
    if (!IsText(content)) {
        return std::vector<uint8_t>(content.begin(), content.end());
    }
    // Bytes by socat direction marker ('>' or '<'; 0 outside socat blocks),
    // in the order the markers first appear.
    std::vector<std::pair<char, std::vector<uint8_t>>> streams;
    size_t current = 0;
    auto stream_of = [&streams](char marker) {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].first == marker) {
                return i;
            }
        }
        streams.emplace_back(marker, std::vector<uint8_t>());
        return streams.size() - 1;
    };
    std::map<char, size_t> blocks;
    current = stream_of(0);
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && (line[first] == '>' || line[first] == '<') &&
            line.find("length=") != std::string::npos) {
            // A socat block header: the bytes below it went one way.
            current = stream_of(line[first]);
            ++blocks[line[first]];
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
                streams[current].second.push_back(static_cast<uint8_t>(value));
            }
        }
    }
    // A socat dump of both directions: the one asked for, as far as its
    // channel-12 frames tell; else the first.
    std::vector<size_t> marked;
    for (size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].first != 0 && !streams[i].second.empty()) {
            marked.push_back(i);
        }
    }
    if (marked.size() < 2) {
        std::vector<uint8_t> all;
        for (const auto& stream : streams) {
            all.insert(all.end(), stream.second.begin(), stream.second.end());
        }
        return all;
    }
    size_t chosen = marked[0];
    for (size_t i : marked) {
        if (direction != CaptureDirection::Guess &&
            GuessDirection(streams[i].second) == direction) {
            chosen = i;
            break;
        }
    }
    const char taken = streams[chosen].first;
    const char other = taken == '>' ? '<' : '>';
    *note = "note: socat blocks marked '" + std::string(1, taken) + "' decoded; " +
            std::to_string(blocks[other]) + " marked '" + std::string(1, other) +
            "' skipped (the other direction)";
    return streams[chosen].second;
}

std::string DecodeCapture(const std::vector<uint8_t>& bytes, CaptureDirection direction) {
    if (direction == CaptureDirection::Guess) {
        direction = GuessDirection(bytes);
    }
    auto splitter = std::make_unique<WireSplitter>();
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
