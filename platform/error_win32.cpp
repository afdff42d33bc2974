// The thread's last Windows error and its system message text.
#include "platform_error.h"

#include <windows.h>

namespace {
// Neutral language, user default.
constexpr DWORD MESSAGE_LANGUAGE = 0x0400;
void (*error_observer)(int code) = nullptr;
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
    if (error_observer != nullptr) {
        error_observer(code);
    }
    SetLastError(static_cast<DWORD>(code));
}

void plat_SetErrorObserver(void (*observer)(int code)) {
    error_observer = observer;
}

uint32_t plat_LastError() {
    return GetLastError();
}
