// The last error's report from errno's text.
#include "run_last_error.h"

#include "console.h"
#include "platform_error.h"

#include <cstring>

void run_ReportLastError() {
    const uint32_t last_error = plat_LastError();
    if (last_error == 0) {
        return;
    }
    const char* text = std::strerror(static_cast<int>(last_error));
    if (text == nullptr) {
        text = "(null)";
    }
    const size_t length = std::strlen(text);
    // The Windows texts end their line; strerror's do not.
    const bool has_line_break = length > 0 && text[length - 1] == '\n';
    con_Print("Last windows error: %s%s", text, has_line_break ? "" : "\n");
}
