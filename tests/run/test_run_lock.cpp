// The locks that keep two runs apart: which lock errors mean a file system
// without locks, outputs refused before anything is touched (links, two
// names for one file, an output that is an input, an output another run
// holds), and a folder lock that notices its file going.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "run/run_lock.h"
#include "test_util.h"

TEST(RunLock, OnlyAFileSystemWithoutLocksIsWarnedAbout)
{
    struct Case {
        int error;
        bool unsupported;
    } const cases[] = {{ENOSYS, true},  {ENOLCK, true},  {EOPNOTSUPP, true},
                       {EAGAIN, false}, {EACCES, false}, {EBADF, false}};
    for (Case const& c : cases) EXPECT_EQ(locking_unsupported(c.error), c.unsupported) << c.error;
}

namespace {

// Every entry of the working folder: its name, and its content (a link's
// target).
std::map<std::string, std::string> folder()
{
    std::map<std::string, std::string> entries;
    DIR* d = opendir(".");
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        char target[256] = "";
        const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
        entries[name] = n >= 0 ? "-> " + std::string(target, static_cast<size_t>(n)) : read_text(name);
    }
    closedir(d);
    return entries;
}

}  // namespace

// Each case sets up a folder; the outputs are refused with the line given,
// and the folder is left as it was: every file keeps its bytes, and no file
// the refused run made stays behind.
TEST(OutputLocks, RefusesOutputsThatAreNotFilesOfTheirOwn)
{
    const std::vector<std::string> outputs = {"ab0.bin", "decay0.txt", "ab1.bin", "decay1.txt",
                                              "events.txt"};
    struct Case {
        char const* what;
        char const* from;  // a link (or with `hard`, a second name) ...
        char const* to;    // ... by this name
        bool hard;
        char const* expected;
    } const cases[] = {
        {"a link to a raw file", "raw.1", "events.txt", false,
         "Error: Cannot use events.txt as an output: it is a symbolic link"},
        {"a dangling link", "nowhere", "ab1.bin", false,
         "Error: Cannot use ab1.bin as an output: it is a symbolic link"},
        {"a link to another output", "decay1.txt", "decay0.txt", false,
         "Error: Cannot use decay0.txt as an output: it is a symbolic link"},
        {"two names of one file", "ab0.bin", "ab1.bin", true,
         "Error: Cannot use ab1.bin as an output: it is the same file as ab0.bin\n"},
        {"an output that is an input", "raw.1", "decay1.txt", true,
         "Error: Cannot use decay1.txt as an output: it is the same file as the input raw.1\n"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_text("raw.1", "raw data");
        write_text("ab0.bin", "earlier results");
        ASSERT_EQ(c.hard ? link(c.from, c.to) : symlink(c.from, c.to), 0);
        const auto before = folder();
        OutputLocks locks;
        const std::string out =
            capture_stdout([&] { EXPECT_EQ(locks.acquire(outputs, {"raw.1"}), 1); });
        EXPECT_NE(out.find(c.expected), std::string::npos) << out;
        EXPECT_TRUE(folder() == before);
    }
}

// A second holder of an output, in this process as in another, is refused;
// a run that did not start removes the empty files it made, and only those.
TEST(OutputLocks, OneRunPerOutputFile)
{
    TempDir dir;
    write_text("decay0.txt", "");
    OutputLocks first;
    ASSERT_EQ(first.acquire({dir.path() + "/ab0.bin", "decay0.txt"}, {}), 0);
    OutputLocks second;
    const std::string out = capture_stdout([&] { EXPECT_EQ(second.acquire({"ab0.bin"}, {}), 1); });
    EXPECT_NE(out.find("Error: Another zorv_mpi writes ab0.bin"), std::string::npos) << out;
    EXPECT_TRUE(file_exists("ab0.bin"));
    first.remove_unused();
    EXPECT_FALSE(file_exists("ab0.bin"));
    EXPECT_TRUE(file_exists("decay0.txt"));
    EXPECT_EQ(second.acquire({"ab0.bin"}, {}), 0);
}

// The folder's lock is intact while its name names the locked file.
TEST(RunLock, NoticesItsFileRemovedOrReplaced)
{
    TempDir dir;
    RunLock lock;
    ASSERT_EQ(lock.acquire(), 0);
    EXPECT_TRUE(run_lock_intact());
    ASSERT_EQ(unlink(kLockName), 0);
    EXPECT_FALSE(run_lock_intact());
    write_text(kLockName, "");
    EXPECT_FALSE(run_lock_intact());
}
