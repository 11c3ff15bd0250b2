// One run per folder.
//
// Two runs in one folder would append to each other's outputs and
// checkpoint (a batch system's requeue and a start by hand can overlap), and
// both would report success. Rank 0 therefore holds a write lock (fcntl) on
// "zorv_mpi.lock" in its working directory for the whole run. The kernel
// drops the lock when the process ends however it ends, so a killed run
// leaves no stale lock; the file itself stays, holding the last holder's
// host and pid for the message a second run prints.
#ifndef ZORV_RUN_LOCK_H
#define ZORV_RUN_LOCK_H

constexpr char kLockName[] = "zorv_mpi.lock";

class RunLock {
public:
    RunLock() = default;
    ~RunLock();
    RunLock(RunLock const&) = delete;
    RunLock& operator=(RunLock const&) = delete;

    // Takes the lock on `name`. Returns 0, or 1 after printing one "Error: "
    // line: another process holds it (naming its host and pid), or the file
    // cannot be created or is not a regular file. Touches nothing else.
    int acquire(char const* name = kLockName);

private:
    int fd_ = -1;
};

#endif
