// Each lock is a record lock over the whole file, taken on a descriptor
// that is kept until the end. An open file description lock stays until
// that descriptor is closed; where the kernel has none (EINVAL), a
// process-wide POSIX lock is taken instead, which any close of the file in
// this process would drop.

#include "run/run_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace {

RunLock const* g_run_lock = nullptr;  // this process's run lock

// Locks the whole file open as fd for writing without waiting. Returns 0 or
// the error.
int lock_whole(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
    if (errno != EINVAL) return errno;
#endif
    return fcntl(fd, F_SETLK, &whole) == 0 ? 0 : errno;
}

// True when another process holds a lock on any part of the file open as
// fd (which may be open for reading only).
bool locked_elsewhere(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
#ifdef F_OFD_GETLK
    if (fcntl(fd, F_OFD_GETLK, &whole) == 0) return whole.l_type != F_UNLCK;
    whole.l_type = F_WRLCK;
#endif
    return fcntl(fd, F_GETLK, &whole) == 0 && whole.l_type != F_UNLCK;
}

bool same_file(struct stat const& a, struct stat const& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

bool locking_unsupported(int error)
{
    return error == ENOSYS || error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP;
}

RunLock::~RunLock()
{
    if (g_run_lock == this) g_run_lock = nullptr;
    if (fd_ >= 0) close(fd_);
}

bool RunLock::intact() const
{
    if (fd_ < 0) return true;
    struct stat held, named;
    return fstat(fd_, &held) == 0 && lstat(name_.c_str(), &named) == 0 && same_file(held, named);
}

bool lock_held_elsewhere(char const* name)
{
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = locked_elsewhere(fd);
    if (held) {
        std::string holder = holder_of(fd);
        if (holder.empty()) holder = "another process";
        std::printf(
            "Error: Another zorv_mpi runs in this folder (%s; it holds %s); two runs "
            "in one folder would spoil each other's files, so this one does not start\n",
            holder.c_str(), name);
    }
    close(fd);
    return held;
}

bool run_lock_intact()
{
    return g_run_lock == nullptr || g_run_lock->intact();
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
    const int error = lock_whole(fd);
    if (locking_unsupported(error)) {
        std::printf(
            "Warning: %s cannot be locked on this file system (%s); make sure no other "
            "zorv_mpi writes these files\n",
            name, std::strerror(error));
        close(fd);
        return 0;
    }
    if (error != 0) {
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
    name_ = name;
    g_run_lock = this;
    return 0;
}

OutputLocks::~OutputLocks() { release(); }

void OutputLocks::release()
{
    for (Held const& h : held_) close(h.fd);
    held_.clear();
}

void OutputLocks::remove_unused()
{
    for (Held const& h : held_) {
        struct stat st;
        if (h.made && fstat(h.fd, &st) == 0 && st.st_size == 0) unlink(h.name.c_str());
    }
    release();
}

int OutputLocks::check(std::vector<std::string> const& outputs,
                       std::vector<std::string> const& inputs)
{
    OutputLocks probe;
    probe.dry_ = true;
    return probe.acquire(outputs, inputs);
}

int OutputLocks::acquire(std::vector<std::string> const& outputs,
                         std::vector<std::string> const& inputs)
{
    std::vector<std::pair<std::string, struct stat>> seen;  // regular outputs so far
    std::string unsupported;
    int unsupported_error = 0;
    for (std::string const& name : outputs) {
        struct stat st;
        if (lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            std::printf(
                "Error: Cannot use %s as an output: it is a symbolic link (an output is never "
                "written through a link; name the file itself)\n",
                name.c_str());
            remove_unused();
            return 1;
        }
        bool made = !dry_;
        int fd = dry_ ? -1 : open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (dry_) {
            fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        } else if (fd < 0 && errno == EEXIST) {
            made = false;
            fd = open(name.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        }
        // What cannot be opened here (a folder, a file without write
        // permission) is refused by name when the phase opens its outputs.
        if (fd < 0) continue;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        held_.push_back(Held{name, fd, made});
        for (auto const& other : seen)
            if (same_file(st, other.second)) {
                std::printf("Error: Cannot use %s as an output: it is the same file as %s\n",
                            name.c_str(), other.first.c_str());
                remove_unused();
                return 1;
            }
        seen.emplace_back(name, st);
        const int error = dry_ ? (locked_elsewhere(fd) ? EAGAIN : 0) : lock_whole(fd);
        if (locking_unsupported(error)) {
            unsupported += (unsupported.empty() ? "" : ", ") + name;
            unsupported_error = error;
        } else if (error != 0) {
            std::printf(
                "Error: Another zorv_mpi writes %s (%s); two runs writing one file would "
                "spoil it, so this one does not start\n",
                name.c_str(), std::strerror(error));
            remove_unused();
            return 1;
        }
    }
    for (std::string const& name : inputs) {
        struct stat st;
        if (stat(name.c_str(), &st) != 0) continue;
        for (auto const& output : seen)
            if (same_file(st, output.second)) {
                std::printf(
                    "Error: Cannot use %s as an output: it is the same file as the input %s\n",
                    output.first.c_str(), name.c_str());
                remove_unused();
                return 1;
            }
    }
    if (!unsupported.empty())
        std::printf(
            "Warning: %s cannot be locked on this file system (%s); make sure no other "
            "zorv_mpi writes these files\n",
            unsupported.c_str(), std::strerror(unsupported_error));
    return 0;
}

