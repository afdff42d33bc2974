// Buffered byte I/O over the one serial port of the run. The OS side sits
// behind ComPortOps; everything here is the same on every platform.
#include "serial_port.h"
#include "serial_backend.h"
#include "serial_usb_name.h"

#include "console.h"
#include "platform_clock.h"
#include "report.h"
#include "trace.h"
#include "usb_name.h"
#include "usb_ports.h"

namespace {

const ComPortOps* port_ops = nullptr; // nullptr: chosen by the name at com_Open

const ComBackend* backends[COM_BACKENDS_MAX] = {};
uint8_t backend_count = 0;
// The backend the name chose; nullptr: the platform's local port.
const ComBackend* named_backend = nullptr;

// Output collects here and goes out in one write when full or flushed.
uint8_t tx_buffer[COM_TX_BUFFER_SIZE];
uint16_t tx_length = 0; // 0..256, hence 16 bits

// Read-ahead: one read fills at most COM_RX_READ_MAX bytes, so the 8-bit
// index and count never wrap; empty when rx_index == rx_count.
uint8_t rx_buffer[COM_RX_READ_MAX];
uint8_t rx_index = 0;
uint8_t rx_count = 0;

static_assert(COM_RX_READ_MAX <= 255, "the 8-bit fill count must hold a full read");

// A lost port stays lost for the rest of the run.
bool port_lost = false;

// The round-trip measurement of com_ExpectAnswer/com_AnswerArrived.
bool answer_due_next_write = false; // the next write carries the marked frame
bool answer_awaited = false;        // written at answer_since_us, not answered yet
bool answer_ambiguous = false;      // a copy went out since
uint64_t answer_since_us = 0;
// The allowance reported under com_SetOps.
uint32_t ops_allowance_ms = 0;

const ComPortOps* ops() {
    if (port_ops != nullptr) {
        return port_ops;
    }
    return named_backend != nullptr ? named_backend->ops : com_PlatformOps();
}

// The backend that takes the link's round-trip samples, or nullptr.
const ComBackend* timed_backend() {
    if (port_ops != nullptr || named_backend == nullptr ||
        named_backend->round_trip_sample == nullptr) {
        return nullptr;
    }
    return named_backend;
}

void clear_buffers() {
    tx_length = 0;
    rx_index = 0;
    rx_count = 0;
}

} // namespace

void com_SetOps(const ComPortOps* ops) {
    port_ops = ops;
    ops_allowance_ms = 0;
    clear_buffers();
    port_lost = false;
}

bool com_AddBackend(const ComBackend* backend) {
    for (uint8_t i = 0; i < backend_count; ++i) {
        if (backends[i] == backend) {
            return true;
        }
    }
    if (backend_count == COM_BACKENDS_MAX) {
        return false;
    }
    backends[backend_count++] = backend;
    return true;
}

bool com_Open(const char* name) {
    port_lost = false;
    named_backend = nullptr;
    // A usb: name stands for the local port it selects, opened as if typed.
    char device[USB_PORT_NAME_SIZE];
    const bool resolved = usb_IsUsbName(name);
    if (resolved) {
        if (!com_ResolveUsbName(name, device, sizeof device)) {
            return false;
        }
        name = device;
    }
    for (uint8_t i = 0; i < backend_count && named_backend == nullptr; ++i) {
        if (backends[i]->claims(name)) {
            named_backend = backends[i];
        }
    }
    if (trace_On()) {
        trace_Event("port", "opening %s", name);
    }
    const bool opened = ops()->open(name);
    if (trace_On() && !opened) {
        trace_Event("port", "%s cannot be opened", name);
    }
    if (opened && resolved) {
        report_NotePortOpened(name);
    }
    return opened;
}

void com_ReportRefusal(const char* reason, const char* detail) {
    if (trace_On()) {
        trace_Event("port", "refused: %s%s%s%s", reason, detail ? " (" : "", detail ? detail : "",
                    detail ? ")" : "");
    }
    if (detail != nullptr) {
        con_Print("Serial port: %s (%s)\n", reason, detail);
    } else {
        con_Print("Serial port: %s\n", reason);
    }
}

void com_ExpectAnswer(bool first_copy) {
    // A local port has no use for the samples: no clock is read for it.
    if (timed_backend() == nullptr) {
        return;
    }
    if (!first_copy) {
        answer_ambiguous = true;
        return;
    }
    answer_ambiguous = false;
    answer_awaited = false;
    // The frame's last byte may have filled the buffer and gone out already.
    if (tx_length == 0) {
        answer_awaited = true;
        answer_since_us = plat_NowUs();
    } else {
        answer_due_next_write = true;
    }
}

void com_AnswerArrived() {
    const ComBackend* timed = timed_backend();
    if (timed != nullptr && answer_awaited && !answer_ambiguous) {
        timed->round_trip_sample(plat_NowUs() - answer_since_us);
    }
    answer_awaited = false;
    answer_due_next_write = false;
}

void com_SetOpsAnswerAllowanceMs(uint32_t ms) {
    ops_allowance_ms = ms;
}

uint32_t com_AnswerAllowanceMs() {
    if (port_ops != nullptr) {
        return ops_allowance_ms;
    }
    const ComBackend* timed = timed_backend();
    return timed != nullptr && timed->answer_allowance_ms != nullptr ? timed->answer_allowance_ms()
                                                                     : 0;
}

void com_ReportLost(const char* reason) {
    if (port_lost) {
        return;
    }
    port_lost = true;
    // Cut to a line's worth: a network server's farewell text can be long.
    constexpr int REASON_MAX = COM_LOST_REASON_SIZE - 1;
    const char* text = reason != nullptr ? reason : "";
    if (trace_On()) {
        trace_Event("port", "lost: %.*s", REASON_MAX, text);
    }
    con_Print("%sSerial port lost: %.*s\n", con_AtLineStart() ? "" : "\n", REASON_MAX, text);
}

bool com_PortLost() {
    return port_lost;
}

bool com_GetByte(uint8_t* b) {
    if (rx_index != rx_count) {
        *b = rx_buffer[rx_index++];
        return true;
    }
    rx_index = 0;
    rx_count = 0;
    if (port_lost) {
        return false;
    }
    const uint32_t got = ops()->read(rx_buffer, COM_RX_READ_MAX);
    if (got == 0) {
        return false;
    }
    // An implementation that returned more than asked must not overrun the index.
    rx_count = static_cast<uint8_t>(got < COM_RX_READ_MAX ? got : COM_RX_READ_MAX);
    if (trace_On()) {
        trace_Wire(WIRE_TO_HOST, rx_buffer, rx_count);
    }
    *b = rx_buffer[0];
    rx_index = 1;
    return true;
}

void com_PutByte(uint8_t b) {
    tx_buffer[tx_length++] = b;
    if (tx_length == COM_TX_BUFFER_SIZE) {
        com_Flush();
    }
}

bool com_Wait(uint32_t max_us) {
    if (rx_index != rx_count) {
        return true;
    }
    return ops()->wait(max_us);
}

bool com_Flush() {
    if (tx_length == 0) {
        return false;
    }
    if (!port_lost) {
        if (trace_On()) {
            trace_Wire(WIRE_TO_DEVICE, tx_buffer, tx_length);
        }
        ops()->write(tx_buffer, tx_length);
    }
    tx_length = 0;
    if (answer_due_next_write) {
        answer_due_next_write = false;
        answer_awaited = true;
        answer_since_us = plat_NowUs();
    }
    return true;
}

void com_Purge() {
    if (trace_On()) {
        trace_Event("port", "purge: %u unread and %u unsent bytes dropped, OS queues emptied",
                    static_cast<unsigned>(rx_count - rx_index), static_cast<unsigned>(tx_length));
    }
    clear_buffers();
    ops()->purge();
}

void com_Close() {
    clear_buffers();
    ops()->close();
}
