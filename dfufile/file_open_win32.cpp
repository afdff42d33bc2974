// The firmware file by its UTF-8 name through the wide-character call, so
// that a name in any script opens; a handle that is not a disk file (a
// named pipe, a console, a device) is refused by its type before any read.
#include "file_open.h"

#include <cerrno>
#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {

// The longest path the wide calls take, in UTF-16 units.
constexpr int WIDE_PATH_MAX = 32768;
wchar_t wide_path[WIDE_PATH_MAX];

} // namespace

std::FILE* dfufile_OpenFile(const char* path, const char** refusal) {
    *refusal = nullptr;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide_path, WIDE_PATH_MAX) ==
        0) {
        errno = ENOENT;
        return nullptr;
    }
    std::FILE* file = _wfopen(wide_path, L"rb");
    if (file == nullptr) {
        return nullptr;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        std::fclose(file);
        *refusal = DFUFILE_NOT_SEEKABLE;
        return nullptr;
    }
    return file;
}
