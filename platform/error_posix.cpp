// The last failure of the platform layer's own OS calls, kept here rather
// than read from errno, which stdio and expected failures overwrite freely.
#include "platform_error.h"

#include <cstring>

namespace {
int last_error = 0;
void (*error_observer)(int code) = nullptr;
} // namespace

void plat_ErrorText(uint32_t code, char* out, uint32_t cap) {
    if (cap == 0) {
        return;
    }
    const char* text = std::strerror(static_cast<int>(code));
    std::strncpy(out, text != nullptr ? text : "", cap - 1);
    out[cap - 1] = '\0';
}

void plat_RecordError(int code) {
    last_error = code;
    if (error_observer != nullptr) {
        error_observer(code);
    }
}

void plat_SetErrorObserver(void (*observer)(int code)) {
    error_observer = observer;
}

uint32_t plat_LastError() {
    return static_cast<uint32_t>(last_error);
}
