// Frames out of a byte stream, and their contents in words. Plain records,
// fixed buffers, snprintf into the caller's buffer: nothing allocates.
#include "trace_wire.h"

#include "bcsp_crc.h"
#include "bcsp_wire.h"
#include "dfu_wire.h"
#include "le_bytes.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t HEADER_SIZE = 4;
constexpr uint16_t CRC_SIZE = 2;
constexpr uint16_t SETUP_SIZE = 8;
constexpr uint16_t REPLY_HEADER_SIZE = 4;
constexpr uint16_t STATUS_DATA_SIZE = 6;
constexpr uint16_t DEVICE_DESCRIPTOR_SIZE = 12;
constexpr uint16_t FUNCTIONAL_DESCRIPTOR_SIZE = 6;
// Hex bytes shown of a payload nobody understands.
constexpr uint16_t UNKNOWN_BYTES_SHOWN = 16;

constexpr const char* LE_NAMES[LE_MESSAGE_COUNT] = {"sync", "sync-response", "conf",
                                                    "conf-response"};

constexpr const char* STATUS_NAMES[] = {
    "OK",      "errTARGET", "errFILE",    "errWRITE",     "errERASE",    "errCHECK_ERASED",
    "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",   "errFIRMWARE", "errVENDOR",
    "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT"};

// Appends to a fixed buffer; output beyond the capacity is dropped, the
// text stays terminated.
struct Text {
    char* out;
    size_t cap;
    size_t len;

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (len + 1 >= cap) {
            return;
        }
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(out + len, cap - len, format, args);
        va_end(args);
        if (n > 0) {
            len += static_cast<size_t>(n);
            if (len >= cap) {
                len = cap - 1;
            }
        }
    }

    void Hex(const uint8_t* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            Add(i == 0 ? "%02X" : " %02X", bytes[i]);
        }
    }
};

void DescribeRequest(uint8_t seq, const uint8_t* p, uint16_t length, WireContext* ctx, Text* t) {
    if (length < SETUP_SIZE) {
        t->Add("short request, %u bytes: ", length);
        t->Hex(p, length);
        return;
    }
    const uint8_t type = p[0];
    const uint8_t request = p[1];
    const uint16_t value = le_Read16(p + 2);
    const uint16_t w_length = le_Read16(p + 6);
    const uint16_t data = static_cast<uint16_t>(length - SETUP_SIZE);
    ctx->request_by_seq[seq] = request;
    ctx->known = static_cast<uint8_t>(ctx->known | (1u << seq));
    if (type == REQ_CLASS_OUT && request == DFU_DETACH) {
        t->Add("DETACH timeout %u ms", value);
    } else if (type == REQ_CLASS_OUT && request == DFU_DNLOAD) {
        t->Add("DNLOAD block %u, %u bytes", value, w_length);
        if (w_length == 0) {
            t->Add(" (end of image)");
        }
        if (data != w_length) {
            t->Add(", %u data bytes carried", data);
        }
    } else if (type == REQ_CLASS_IN && request == DFU_UPLOAD) {
        t->Add("UPLOAD block %u, %u bytes", value, w_length);
    } else if (type == REQ_CLASS_IN && request == DFU_GETSTATUS) {
        t->Add("GETSTATUS");
    } else if (type == REQ_CLASS_OUT && request == DFU_CLRSTATUS) {
        t->Add("CLRSTATUS");
    } else if (type == REQ_CLASS_IN && request == DFU_GETSTATE) {
        t->Add("GETSTATE");
    } else if (type == REQ_CLASS_OUT && request == DFU_ABORT) {
        t->Add("ABORT");
    } else if (type == REQ_VENDOR_OUT && request == VENDOR_RESET) {
        t->Add("RESET (vendor 7)");
    } else if (type == REQ_VENDOR_IN && request == VENDOR_GET_DEVICE_DESCRIPTOR) {
        t->Add("GET DEVICE DESCRIPTOR (vendor 8)");
    } else if (type == REQ_VENDOR_IN && request == VENDOR_GET_FUNCTIONAL_DESCRIPTOR) {
        t->Add("GET FUNCTIONAL DESCRIPTOR (vendor 9)");
    } else {
        t->Add("request type 0x%02X code %u value %u length %u", type, request, value, w_length);
    }
}

void DescribeStatus(const uint8_t* d, Text* t) {
    // Poll time-out byte 1 most significant, as the host combines it.
    const uint32_t poll_ms = (static_cast<uint32_t>(d[1]) << 16) | (d[2] << 8) | d[3];
    t->Add("status %s, %s, poll %u ms", wire_StatusName(d[0]), wire_StateName(d[4]), poll_ms);
}

void DescribeReply(uint8_t ack, const uint8_t* p, uint16_t length, const WireContext* ctx,
                   Text* t) {
    if (length < REPLY_HEADER_SIZE) {
        t->Add("partial reply, %u bytes: ", length);
        t->Hex(p, length);
        return;
    }
    const uint16_t status = le_Read16(p);
    const uint16_t claimed = le_Read16(p + 2);
    const uint8_t* d = p + REPLY_HEADER_SIZE;
    const uint16_t data = static_cast<uint16_t>(length - REPLY_HEADER_SIZE);
    if (status == 0) {
        t->Add("reply OK");
    } else {
        t->Add("reply status %u (%s)", status,
               status < 256 ? wire_StatusName(static_cast<uint8_t>(status)) : "?");
    }
    if (claimed != data) {
        t->Add(", length field %u but %u data bytes", claimed, data);
    }
    if (data == 0) {
        return;
    }
    const uint8_t answered = (ack + 7) & 0x07;
    const bool known = (ctx->known >> answered) & 1;
    const uint8_t request = ctx->request_by_seq[answered];
    if (known && request == DFU_GETSTATUS && data >= STATUS_DATA_SIZE) {
        t->Add(": ");
        DescribeStatus(d, t);
    } else if (known && request == VENDOR_GET_DEVICE_DESCRIPTOR && data >= DEVICE_DESCRIPTOR_SIZE) {
        t->Add(": device descriptor VID 0x%04X PID 0x%04X", le_Read16(d + 6), le_Read16(d + 8));
    } else if (known && request == VENDOR_GET_FUNCTIONAL_DESCRIPTOR &&
               data >= FUNCTIONAL_DESCRIPTOR_SIZE) {
        t->Add(": functional descriptor attributes 0x%04X, detach %u ms, transfer %u bytes",
               le_Read16(d), le_Read16(d + 2), le_Read16(d + 4));
    } else if (!known && data == STATUS_DATA_SIZE && d[4] < DFU_STATE_COUNT && d[5] == 0) {
        // No request seen (one direction of a capture): a status is the
        // likely reading, marked as a guess.
        t->Add(": GETSTATUS? ");
        DescribeStatus(d, t);
    } else if (!known && data == DEVICE_DESCRIPTOR_SIZE) {
        t->Add(": device descriptor? VID 0x%04X PID 0x%04X", le_Read16(d + 6), le_Read16(d + 8));
    } else {
        t->Add(": %u data bytes: ", data);
        t->Hex(d, data < UNKNOWN_BYTES_SHOWN ? data : UNKNOWN_BYTES_SHOWN);
        if (data > UNKNOWN_BYTES_SHOWN) {
            t->Add(" ...");
        }
    }
}

void DescribePayload(uint8_t channel, uint8_t seq, uint8_t ack, const uint8_t* p, uint16_t length,
                     WireContext* ctx, WireDirection dir, Text* t) {
    if (channel == LE_CHANNEL) {
        if (length >= LE_MESSAGE_SIZE) {
            for (uint8_t i = 0; i < LE_MESSAGE_COUNT; ++i) {
                if (std::memcmp(p, LE_MESSAGES[i], LE_MESSAGE_SIZE) == 0) {
                    t->Add("%s", LE_NAMES[i]);
                    if (length > LE_MESSAGE_SIZE) {
                        t->Add(" (+%u bytes)", length - LE_MESSAGE_SIZE);
                    }
                    return;
                }
            }
        }
        t->Add("unknown link message ");
        t->Hex(p, length < UNKNOWN_BYTES_SHOWN ? length : UNKNOWN_BYTES_SHOWN);
        return;
    }
    if (length == 0) {
        t->Add("ack");
        return;
    }
    if (channel == DFU_CHANNEL) {
        if (dir == WIRE_TO_DEVICE) {
            DescribeRequest(seq, p, length, ctx, t);
        } else {
            DescribeReply(ack, p, length, ctx, t);
        }
        return;
    }
    t->Add("%u bytes: ", length);
    t->Hex(p, length < UNKNOWN_BYTES_SHOWN ? length : UNKNOWN_BYTES_SHOWN);
    if (length > UNKNOWN_BYTES_SHOWN) {
        t->Add(" ...");
    }
}

void StartFrame(WireSplitter* s) {
    s->body_total = 0;
    s->raw_total = 0;
    s->escaped = false;
}

void KeepRaw(WireSplitter* s, uint8_t byte) {
    if (s->raw_total < WIRE_RAW_KEEP) {
        s->raw[s->raw_total] = byte;
    }
    ++s->raw_total;
}

void AppendBytes(const WireSplitter* s, Text* t) {
    const uint32_t kept = s->raw_total < WIRE_RAW_KEEP ? s->raw_total : WIRE_RAW_KEEP;
    t->Add(" | ");
    t->Hex(s->raw, kept);
    if (kept < s->raw_total) {
        t->Add(" ... (%u line bytes)", s->raw_total);
    }
}

} // namespace

void wire_Reset(WireSplitter* s) {
    std::memset(s, 0, sizeof *s);
}

bool wire_Feed(WireSplitter* s, uint8_t byte) {
    const uint64_t at = s->offset++;
    if (s->just_closed) {
        // The delimiter that closed the last frame opens this one.
        s->just_closed = false;
        StartFrame(s);
        KeepRaw(s, SLIP_END);
    }
    if (!s->synced) {
        if (byte != SLIP_END) {
            ++s->unsynced;
            return false;
        }
        s->synced = true;
        s->last_delimiter = at;
        StartFrame(s);
        KeepRaw(s, byte);
        return false;
    }
    // After an escape byte even C0 is data, as the link's own assembler takes it.
    if (byte == SLIP_END && !s->escaped) {
        if (s->body_total == 0) {
            s->last_delimiter = at;
            StartFrame(s);
            KeepRaw(s, byte);
            return false;
        }
        KeepRaw(s, byte);
        s->frame_offset = s->last_delimiter;
        s->last_delimiter = at;
        s->just_closed = true;
        return true;
    }
    KeepRaw(s, byte);
    if (byte == SLIP_ESC && !s->escaped) {
        s->escaped = true;
        return false;
    }
    uint8_t value = byte;
    if (s->escaped) {
        s->escaped = false;
        value = byte == SLIP_ESC_END ? SLIP_END : byte == SLIP_ESC_ESC ? SLIP_ESC : byte;
    }
    if (s->body_total < WIRE_MAX_BODY) {
        s->body[s->body_total] = value;
    }
    ++s->body_total;
    return false;
}

uint64_t wire_FrameOffset(const WireSplitter* s) {
    return s->frame_offset;
}

uint32_t wire_PendingBytes(const WireSplitter* s) {
    return s->synced && !s->just_closed ? s->body_total : 0;
}

uint32_t wire_UnsyncedBytes(const WireSplitter* s) {
    return s->unsynced;
}

size_t wire_Describe(WireSplitter* s, WireContext* ctx, WireDirection dir, bool with_bytes,
                     char* out, size_t cap) {
    if (cap == 0) {
        return 0;
    }
    Text t{out, cap, 0};
    out[0] = '\0';
    const uint32_t total = s->body_total;
    const uint8_t* b = s->body;
    if (total > WIRE_MAX_BODY) {
        t.Add("OVERLONG FRAME, %u bytes, header ", total);
        t.Hex(b, HEADER_SIZE);
    } else if (total < HEADER_SIZE) {
        t.Add("SHORT FRAME, %u bytes: ", total);
        t.Hex(b, total);
    } else if (static_cast<uint8_t>(b[0] + b[1] + b[2] + b[3]) != 0xFF) {
        t.Add("BAD HEADER CHECKSUM, header ");
        t.Hex(b, HEADER_SIZE);
    } else {
        const bool reliable = (b[0] & HDR_RELIABLE) != 0;
        const bool has_crc = (b[0] & HDR_CRC) != 0;
        const uint8_t seq = b[0] & 0x07;
        const uint8_t ack = (b[0] >> 3) & 0x07;
        const uint8_t channel = b[1] & 0x0F;
        const uint16_t length = static_cast<uint16_t>((b[1] >> 4) | (b[2] << 4));
        t.Add("%s seq %u ack %u ch %u len %u", reliable ? "rel" : "unrel", seq, ack, channel,
              length);
        const uint32_t expected =
            static_cast<uint32_t>(HEADER_SIZE + length + (has_crc ? CRC_SIZE : 0));
        bool good = true;
        if (total != expected) {
            t.Add(" BAD LENGTH, %u bytes after the header, header ", total - HEADER_SIZE);
            t.Hex(b, HEADER_SIZE);
            good = false;
        } else if (has_crc) {
            uint16_t crc = BCSP_CRC_INIT;
            for (uint32_t i = 0; i < uint32_t{HEADER_SIZE} + length; ++i) {
                crc = bcsp_Crc16Update(b[i], crc);
            }
            crc = bcsp_BitReverse16(crc);
            const uint16_t sent =
                static_cast<uint16_t>((b[HEADER_SIZE + length] << 8) | b[HEADER_SIZE + length + 1]);
            if (crc == sent) {
                t.Add(" crc ok");
            } else {
                t.Add(" BAD CRC %04X, computed %04X, header ", sent, crc);
                t.Hex(b, HEADER_SIZE);
                good = false;
            }
        } else {
            t.Add(" no crc");
        }
        if (total == expected) {
            // A damaged frame is still named as far as it can be read; it
            // must not teach the context or the retransmission memory.
            WireContext scratch = *ctx;
            t.Add(": ");
            DescribePayload(channel, seq, ack, b + HEADER_SIZE, length, good ? ctx : &scratch, dir,
                            &t);
            if (good && reliable) {
                uint16_t payload_crc = BCSP_CRC_INIT;
                for (uint16_t i = 0; i < length; ++i) {
                    payload_crc = bcsp_Crc16Update(b[HEADER_SIZE + i], payload_crc);
                }
                if (s->have_last && s->last_seq == seq && s->last_channel == channel &&
                    s->last_length == length && s->last_payload_crc == payload_crc) {
                    t.Add(" (retransmission)");
                }
                s->have_last = true;
                s->last_seq = seq;
                s->last_channel = channel;
                s->last_length = length;
                s->last_payload_crc = payload_crc;
            }
        }
    }
    if (with_bytes) {
        AppendBytes(s, &t);
    }
    return t.len;
}

size_t wire_LinePrefix(char* out, size_t cap, uint64_t elapsed_us, const char* source) {
    constexpr uint64_t US_PER_S = 1000000;
    const int n = std::snprintf(out, cap, "%4llu.%06llu %-4s ",
                                static_cast<unsigned long long>(elapsed_us / US_PER_S),
                                static_cast<unsigned long long>(elapsed_us % US_PER_S), source);
    if (n <= 0 || cap == 0) {
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

const char* wire_StateName(uint8_t state) {
    return state < DFU_STATE_COUNT ? DFU_STATE_NAMES[state] : "state?";
}

const char* wire_StatusName(uint8_t status) {
    return status < sizeof STATUS_NAMES / sizeof *STATUS_NAMES ? STATUS_NAMES[status] : "err?";
}
