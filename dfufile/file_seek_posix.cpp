// fseeko with a 64-bit off_t (_FILE_OFFSET_BITS=64 on 32-bit systems).
#include "file_seek.h"

#include <sys/types.h>

static_assert(sizeof(off_t) >= 8, "off_t must reach past 2 GiB");

bool dfufile_SeekTo(std::FILE* file, uint32_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
