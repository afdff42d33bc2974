// The last error's report from the system's message text, as it gives it.
#include "run_last_error.h"

#include "console.h"
#include "platform_error.h"

#include <windows.h>

#include <cstring>

namespace {
// Neutral language, user default.
constexpr DWORD MESSAGE_LANGUAGE = 0x0400;
} // namespace

void run_ReportLastError() {
    const DWORD code = plat_LastError();
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
