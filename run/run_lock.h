// One run per folder, and one run per output file.
//
// Two runs in one folder would append to each other's outputs and
// checkpoint (a batch system's requeue and a start by hand can overlap), and
// both would report success. Rank 0 therefore holds a write lock (fcntl) on
// "zorv_mpi.lock" in its working directory for the whole run. The kernel
// drops the lock when the process ends however it ends, so a killed run
// leaves no stale lock; the file itself stays, holding the last holder's
// host and pid for the message a second run prints.
//
// The folder's lock alone does not keep two runs apart: two folders whose
// settings name one result file by its absolute path, or a lock file removed
// while its run goes on, would let a second run write the first one's
// outputs. So rank 0 also locks every output file itself before it touches
// anything, and checks at every checkpoint that "zorv_mpi.lock" still is the
// file it locked.
//
// The locks are open file description locks where the kernel has them: they
// belong to the descriptor, not to the process, so closing another
// descriptor of the same file (as the checks of a resume do) cannot drop
// them. On a file system that keeps no locks at all (Lustre mounted without
// flock, NFS without its lock daemon) the run warns and goes on.
#ifndef ZORV_RUN_LOCK_H
#define ZORV_RUN_LOCK_H

#include <string>
#include <vector>

#include "formats/run_files.h"


// True when `error`, from fcntl's lock request, means that the file system
// keeps no locks (rather than that another process holds one).
bool locking_unsupported(int error);

class RunLock {
public:
    RunLock() = default;
    ~RunLock();
    RunLock(RunLock const&) = delete;
    RunLock& operator=(RunLock const&) = delete;

    // Takes the lock on `name`. Returns 0, or 1 after printing one "Error: "
    // line: another process holds it (naming its host and pid), or the file
    // cannot be created or is not a regular file. Touches nothing else. Where
    // the file system keeps no locks it prints one "Warning: " line and
    // returns 0.
    int acquire(char const* name = kLockName);

    // True while the name the lock was taken on still names the locked file
    // (also when no lock could be kept).
    bool intact() const;

private:
    int fd_ = -1;
    std::string name_;
};

// Whether the lock of this process's RunLock is intact (true without one).
bool run_lock_intact();

// For a check that writes nothing: true, after printing the line a run
// prints, when another process holds the lock on `name`. Never creates it.
bool lock_held_elsewhere(char const* name);

class OutputLocks {
public:
    OutputLocks() = default;
    ~OutputLocks();
    OutputLocks(OutputLocks const&) = delete;
    OutputLocks& operator=(OutputLocks const&) = delete;

    // Locks each of `outputs` that is a regular file, creating the missing
    // ones; other kinds of file (a folder, a FIFO, a device) are left to be
    // refused or used when they are opened. Refuses, touching no file's
    // content, an output that is a symbolic link, two outputs that are one
    // file, an output that is one of `inputs`, and an output another process
    // holds. Returns 0, or 1 after printing one "Error: " line (and removing
    // the files it made).
    int acquire(std::vector<std::string> const& outputs, std::vector<std::string> const& inputs);

    // Removes the files acquire() made that are still empty: a run that did
    // not start leaves no trace of its outputs.
    void remove_unused();

    // What acquire() refuses, found without making, opening for writing or
    // locking any file: for a check that writes nothing. Returns 0 or 1.
    static int check(std::vector<std::string> const& outputs,
                     std::vector<std::string> const& inputs);

private:
    struct Held {
        std::string name;
        int fd;
        bool made;
    };
    void release();
    std::vector<Held> held_;
    bool dry_ = false;  // check(): touch nothing
};

#endif
