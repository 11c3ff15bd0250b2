/*
 * Boost.MultiArray with its index checks on in every build. The library's
 * target defines BOOST_ENABLE_ASSERT_HANDLER for itself and for everything
 * that links it, so that BOOST_ASSERT reports through checked_access.cpp
 * whether or not NDEBUG is defined. A file compiled without it would get
 * element access that NDEBUG can switch off, and the linker could keep that
 * unchecked copy for the whole program: refuse to compile instead.
 *
 * Index with operator[] (counts[i][j][s]): Boost.MultiArray checks those
 * indices with BOOST_ASSERT, but leaves the checks of operator() (an index
 * list) to NDEBUG alone.
 */
#ifndef ZORV_HISTOGRAM_CHECKED_ACCESS_H
#define ZORV_HISTOGRAM_CHECKED_ACCESS_H

#ifndef BOOST_ENABLE_ASSERT_HANDLER
#error "compile with BOOST_ENABLE_ASSERT_HANDLER defined (link the CMake target zorv_histogram)"
#endif

#include <boost/assert.hpp>

// The handlers never return (checked_access.cpp). Said before the arrays'
// code is read, so that the compiler knows no access continues past a failed
// check.
namespace boost {
__attribute__((noreturn)) void assertion_failed(char const* expr, char const* function,
                                                char const* file, long line);
__attribute__((noreturn)) void assertion_failed_msg(char const* expr, char const* msg,
                                                    char const* function, char const* file,
                                                    long line);
} // namespace boost

#include <boost/multi_array.hpp>

#endif
