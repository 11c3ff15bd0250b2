// The file is opened without blocking and without truncation, its type is
// taken from the open descriptor, and only a regular file is then cut to
// nothing. A FIFO without a reader fails to open for writing (ENXIO) instead
// of waiting for one.

#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::FILE* open_output_file(char const* name, OutputMode mode, char const** refusal)
{
    *refusal = nullptr;
    const int append = mode == OutputMode::kAppend ? O_APPEND : 0;
    int fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | append, 0666);
    if (fd < 0) {
        if (errno == EISDIR) *refusal = "it is a directory";
        if (errno == ELOOP) *refusal = "it is a symbolic link";
        if (errno == ENXIO) *refusal = "it is not a regular file";
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        *refusal = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
        close(fd);
        return nullptr;
    }
    if (mode == OutputMode::kTruncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* fp = fdopen(fd, append ? "a" : "w");
    if (!fp) close(fd);
    return fp;
}
