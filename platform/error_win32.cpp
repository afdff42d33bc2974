// The thread's last Windows error and its system message text.
#include "platform_error.h"

#include "console.h"
#include "trace.h"

#include <windows.h>

#include <cstring>

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

void plat_ReportLastError() {
    const DWORD code = GetLastError();
    if (code == 0) {
        return;
    }
    LPSTR messageBuffer = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MESSAGE_LANGUAGE, reinterpret_cast<LPSTR>(&messageBuffer), 0, nullptr);
    // No text: print the placeholder ourselves; a null %s is undefined.
    const char* text = messageBuffer != nullptr ? messageBuffer : "(null)";
    const size_t length = std::strlen(text);
    const bool has_line_break = length > 0 && text[length - 1] == '\n';
    con_Print("Last windows error: %s%s", text, has_line_break ? "" : "\n");
    LocalFree(messageBuffer);
}
