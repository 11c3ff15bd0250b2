/*
 * What a failed check of the histogram library does: name the check and
 * stop. The counts live in Boost.MultiArray, whose element access checks
 * every index with BOOST_ASSERT. Left to itself BOOST_ASSERT is assert(),
 * which NDEBUG removes, and every build type but Debug defines NDEBUG; so the
 * library is compiled with BOOST_ENABLE_ASSERT_HANDLER (see CMakeLists.txt),
 * which keeps the checks in every build and sends a failure here.
 *
 * An index off the grid is a caller's mistake, not a condition of the data:
 * there is nothing to return and going on would write into foreign memory,
 * so the program ends, like a failed assert(), on standard error.
 */
#include "histogram/checked_access.h"

#include <cstdio>
#include <cstdlib>

namespace boost {

void assertion_failed(char const* expr, char const* function, char const* file, long line)
{
    std::fflush(stdout);
    std::fprintf(stderr, "Checked access failed: %s\n  in %s\n  at %s:%ld\n", expr, function, file,
                 line);
    std::abort();
}

void assertion_failed_msg(char const* expr, char const* msg, char const* function, char const* file,
                          long line)
{
    std::fflush(stdout);
    std::fprintf(stderr, "Checked access failed: %s (%s)\n  in %s\n  at %s:%ld\n", expr, msg,
                 function, file, line);
    std::abort();
}

} // namespace boost
