// The C runtime's 64-bit seek.
#include "file_seek.h"

bool dfufile_SeekTo(std::FILE* file, uint32_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}
