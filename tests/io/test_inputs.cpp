// Input files that are not files, and zorv_window's output: a kernel file
// that is a folder or a FIFO is refused by name; zorv_window keeps its usage
// out of the kernel file and fails visibly when the kernel cannot be written.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "io/kernel_file.h"
#include "test_util.h"

namespace {

std::string window_exe()
{
    return ZORV_WINDOW_EXE;
}

}  // namespace

TEST(KernelFile, RefusesWhatIsNotARegularFile)
{
    TempDir dir;
    double table[8];
    int count = 9;
    ASSERT_EQ(mkdir("win.txt", 0700), 0);
    std::string out = capture_stdout([&] { EXPECT_EQ(read_kernel_file("win.txt", table, 8, &count), 1); });
    EXPECT_EQ(out, "Error: Cannot open window file 'win.txt' (it is a directory)\n");
    EXPECT_EQ(count, 0);

    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    out = capture_stdout([&] { EXPECT_EQ(read_kernel_file("fifo", table, 8, &count), 1); });
    EXPECT_EQ(out, "Error: Cannot open window file 'fifo' (it is not a regular file)\n");
}

// Usage and errors on standard error, a status that says what happened,
// and a kernel that zorv_mpi reads back whole.
TEST(ZorvWindow, WritesTheKernelOrFailsVisibly)
{
    TempDir dir;
    struct Case {
        std::string args;
        int status;
        long kernel_bytes;   // of win.txt; -1: not checked
        char const* error;   // start of standard error
    };
    std::vector<Case> const cases = {
        {"17 > win.txt", 0, -1, ""},
        {"100 > win.txt", 1, 0, "Usage: zorv_window N"},
        {"> win.txt", 1, 0, "Usage: zorv_window N"},
        {"5 > /dev/full", 1, -1, "Error: Cannot write the kernel to standard output: No space left on device\n"},
        {"255 > /dev/full", 1, -1, "Error: Cannot write the kernel to standard output: No space left on device\n"},
    };
    for (Case const& c : cases) {
        CommandResult r = run_command(window_exe() + " " + c.args + " 2> err.txt");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(read_text("err.txt").rfind(c.error, 0), 0u) << c.args << ": " << read_text("err.txt");
        if (c.kernel_bytes >= 0) {
            EXPECT_EQ(file_size("win.txt"), c.kernel_bytes) << c.args;
        }
        if (c.status == 0) {
            double table[256];
            int count = 0;
            EXPECT_EQ(read_kernel_file("win.txt", table, 256, &count), 0);
            EXPECT_EQ(count, 17);
            EXPECT_EQ(table[8], 1.0);
        }
    }
}

// -o FILE: the whole kernel or no file at all, and nothing on standard output.
TEST(ZorvWindow, WritesAnOutputFileWholeOrNotAtAll)
{
    TempDir dir;
    ASSERT_EQ(mkdir("folder", 0700), 0);
    struct Case {
        std::string args;
        int status;
        char const* file;   // written whole, or nullptr: none
        char const* error;  // start of standard error
    };
    std::vector<Case> const cases = {
        {"-o k.txt 17", 0, "k.txt", ""},
        {"--output=k2.txt 17", 0, "k2.txt", ""},
        {"-o k3.txt 16", 1, nullptr, "Usage: zorv_window N"},
        {"-o missing/k.txt 17", 1, nullptr, "Error: Cannot write the kernel to missing/k.txt"},
        {"-o folder 17", 1, nullptr, "Error: Cannot write the kernel to folder"},
    };
    for (Case const& c : cases) {
        CommandResult r = run_command(window_exe() + " " + c.args + " 2> err.txt");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.output, "") << c.args;
        EXPECT_EQ(read_text("err.txt").rfind(c.error, 0), 0u) << c.args << ": " << read_text("err.txt");
        if (c.file != nullptr) {
            double table[256];
            int count = 0;
            EXPECT_EQ(read_kernel_file(c.file, table, 256, &count), 0) << c.args;
            EXPECT_EQ(count, 17) << c.args;
        }
    }
    // Nothing else: no temporary file left, no kernel of a refused command.
    std::vector<std::string> names;
    for (char const* name : {"k.txt.tmp", "k2.txt.tmp", "k3.txt", "k3.txt.tmp", "folder.tmp"})
        if (file_exists(name)) names.push_back(name);
    EXPECT_TRUE(names.empty()) << names.front();
}
