// The thread's last Windows error and its system message text.
#include "platform_error.h"

#include "trace.h"

#include <windows.h>

namespace {
// Neutral language, user default.
constexpr DWORD MESSAGE_LANGUAGE = 0x0400;
constexpr uint32_t ERROR_TEXT_MAX = 256;
} // namespace

void plat_ErrorText(uint32_t code, char* out, uint32_t cap) {
    if (cap == 0) {
        return;
    }
    const DWORD saved = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MESSAGE_LANGUAGE, out, cap, nullptr);
    if (n >= cap) {
        n = cap - 1;
    }
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) {
        --n;
    }
    out[n] = '\0';
    SetLastError(saved);
}

void plat_RecordError(int code) {
    if (trace_On()) {
        char text[ERROR_TEXT_MAX];
        plat_ErrorText(static_cast<uint32_t>(code), text, sizeof text);
        trace_Event("os", "error %d: %s", code, text);
    }
    SetLastError(static_cast<DWORD>(code));
}

uint32_t plat_LastError() {
    return GetLastError();
}
