// The lock is a POSIX record lock over the whole file. Such a lock belongs
// to the process and goes when any descriptor of the file is closed in it,
// so the file is opened once and the descriptor kept until the end.

#include "run_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// What the holder wrote into the file: "pid P on host H since ...".
std::string holder_of(int fd)
{
    char text[512];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return "";
    text[n] = '\0';
    std::string s(text);
    const size_t end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

}  // namespace

RunLock::~RunLock()
{
    if (fd_ >= 0) close(fd_);
}

int RunLock::acquire(char const* name)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::printf(
            "Error: Cannot create the lock file %s (%s); zorv_mpi needs to write in its "
            "folder\n",
            name, std::strerror(errno));
        return 1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Error: Cannot use the lock file %s: it is not a regular file\n", name);
        close(fd);
        return 1;
    }
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &whole) != 0) {
        const int error = errno;
        if (error == EACCES || error == EAGAIN) {
            std::string holder = holder_of(fd);
            if (holder.empty()) holder = "another process";
            std::printf(
                "Error: Another zorv_mpi runs in this folder (%s; it holds %s); two runs "
                "in one folder would spoil each other's files, so this one does not "
                "start\n",
                holder.c_str(), name);
        } else {
            std::printf("Error: Cannot lock %s (%s)\n", name, std::strerror(error));
        }
        close(fd);
        return 1;
    }
    char host[256] = "unknown host";
    gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    const std::time_t now = std::time(nullptr);
    char since[64] = "";
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    char text[512];
    const int n = std::snprintf(text, sizeof text, "pid %ld on host %s since %s\n",
                                static_cast<long>(getpid()), host, since);
    // The holder's name is for the message of a second run only: a failure
    // to write it does not stop this one.
    if (ftruncate(fd, 0) == 0 && n > 0) {
        const ssize_t written = pwrite(fd, text, static_cast<size_t>(n), 0);
        (void)written;
    }
    fd_ = fd;
    return 0;
}
