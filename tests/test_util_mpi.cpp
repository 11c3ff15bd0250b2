// run_mpi, the launcher of every MPI test: a launch that hangs is stopped at
// its timeout, and what the ranks write to standard error is kept.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "test_util.h"

namespace {

// Writes the executable shell script `name` into the current directory.
void script(char const* name, std::string const& body)
{
    EXPECT_TRUE(write_text(name, "#!/bin/sh\n" + body));
    EXPECT_EQ(chmod(name, 0755), 0);
}

}  // namespace

TEST(RunMpi, HangingLaunchIsStoppedAtItsTimeout)
{
    TempDir dir;
    script("hang.sh", "echo started\nexec sleep 600\n");
    auto start = std::chrono::steady_clock::now();
    CommandResult r = run_mpi(2, dir.file("hang.sh"), dir.path(), 3);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.output, "started\nstarted\n");
    EXPECT_NE(r.errors.find("(stopped after 3 s)\n"), std::string::npos) << r.errors;
    EXPECT_LT(seconds, 60.0);
}

TEST(RunMpi, StandardErrorIsKept)
{
    TempDir dir;
    script("complain.sh", "echo \"rank complains\" >&2\nexit 3\n");
    CommandResult r = run_mpi(1, dir.file("complain.sh"), dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.status, -1);
    EXPECT_NE(r.errors.find("rank complains\n"), std::string::npos) << r.errors;
}
