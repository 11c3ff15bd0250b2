// Input files that are not files: a kernel file that is a folder or a FIFO is
// refused by name.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kernel_file.h"
#include "test_util.h"

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
