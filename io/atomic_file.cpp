// Temporary file, fsync, rename, fsync of the folder.

#include "io/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool write_all(int fd, std::string const& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string directory_of(std::string const& name)
{
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

}  // namespace

int write_file_atomically(std::string const& name, std::string const& text, std::string* failed)
{
    const std::string tmp = name + ".tmp";
    int fd = -1;
    bool ok = unlink(tmp.c_str()) == 0 || errno == ENOENT;
    // What is in the way (a folder by the temporary file's name) is named,
    // not the file it would replace.
    if (failed) *failed = ok ? name : tmp;
    if (ok) fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    ok = fd >= 0 && write_all(fd, text) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tmp.c_str(), name.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        if (fd >= 0) unlink(tmp.c_str());
        return error ? error : EIO;
    }
    int dir = open(directory_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}
