// Small files written whole: the new text or the old, never a mixture, and
// a failure names the file that is in the way.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io/atomic_file.h"
#include "test_util.h"

TEST(AtomicFile, WritesWholeOrNamesWhatIsInTheWay)
{
    struct Case {
        char const* what;
        char const* folder;  // a folder made by this name first
        int error;
        char const* named;
    } const cases[] = {
        {"nothing in the way", nullptr, 0, "state"},
        {"a folder by the temporary file's name", "state.tmp", EISDIR, "state.tmp"},
        {"a folder by the file's own name", "state", EISDIR, "state"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.folder) {
            ASSERT_EQ(mkdir(c.folder, 0755), 0);
        }
        std::string failed;
        EXPECT_EQ(write_file_atomically("state", "new\n", &failed), c.error);
        EXPECT_EQ(failed, c.named);
        EXPECT_EQ(read_text("state"), c.error ? "" : "new\n");
        EXPECT_FALSE(c.error && file_exists("state.tmp") && !c.folder);
    }
    // A link by the temporary file's name is removed, not written through.
    TempDir dir;
    write_text("other", "kept\n");
    ASSERT_EQ(symlink("other", "state.tmp"), 0);
    EXPECT_EQ(write_file_atomically("state", "new\n"), 0);
    EXPECT_EQ(read_text("other"), "kept\n");
    EXPECT_EQ(read_text("state"), "new\n");
}
