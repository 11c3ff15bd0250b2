// The file is opened without blocking (a FIFO without a writer would hold
// open() itself), its type is taken from the open descriptor, so that it
// cannot change between the test and the use, and only then does stdio get
// it.

#include "io/input_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* open_input_file(char const* name, char const* mode, char const** refusal)
{
    *refusal = nullptr;
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        int error = errno;
        if (known) *refusal = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
        close(fd);
        errno = error;
        return nullptr;
    }
    // Reads of a regular file never block; the flag only goes for tidiness.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* fp = fdopen(fd, mode);
    if (!fp) close(fd);
    return fp;
}

std::string file_state(struct stat const& st)
{
    char text[96];
    std::snprintf(text, sizeof text, "size %lld, modified %lld.%09ld",
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                  static_cast<long>(st.st_mtim.tv_nsec));
    return text;
}
