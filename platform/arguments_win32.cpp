// The wide command line as UTF-8. The C runtime's argv holds the names in
// the ANSI code page, where a name in another script becomes "??.dfu" and
// can no longer be opened.
#include "platform_arguments.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

namespace {

// The longest command line Windows passes is 32767 UTF-16 units, each at
// most 3 UTF-8 bytes, plus a NUL per argument; one run takes 3 arguments.
constexpr int ARGUMENTS_MAX = 4;
constexpr int STORAGE_SIZE = 3 * 32768 + ARGUMENTS_MAX;
char storage[STORAGE_SIZE];
char* arguments[ARGUMENTS_MAX + 1];
// The console's output code page before the run: a console outlives the
// program, and the next program in it expects its own code page.
UINT original_output_cp = 0;

void RestoreAtExit() {
    plat_RestoreConsoleOutput();
}

} // namespace

void plat_RestoreConsoleOutput() {
    if (original_output_cp != 0) {
        SetConsoleOutputCP(original_output_cp);
    }
}

void plat_Utf8Arguments(int argc, char*** argv) {
    // UTF-8 on the console, as the names are now held, for this run only.
    original_output_cp = GetConsoleOutputCP();
    if (original_output_cp != 0 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(RestoreAtExit);
    }
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return;
    }
    bool converted = count == argc && count <= ARGUMENTS_MAX;
    int used = 0;
    for (int i = 0; converted && i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, storage + used,
                                          STORAGE_SIZE - used, nullptr, nullptr);
        converted = n > 0;
        arguments[i] = storage + used;
        used += n;
    }
    LocalFree(wide);
    if (converted) {
        arguments[count] = nullptr;
        *argv = arguments;
    }
}
