// O_NONBLOCK for the open alone: a FIFO opens at once whether or not it has
// a writer, and is then refused by its type before a read could wait.
#include "file_open.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* dfufile_OpenFile(const char* path, const char** refusal) {
    *refusal = nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)) {
        close(fd);
        *refusal = DFUFILE_NOT_SEEKABLE;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}
