// Every off-grid index stops the program with a message, also where NDEBUG
// turns assert() off. Built and run by the main project's test
// "HistogramChecks.NDEBUG" in a RelWithDebInfo project of its own.
#ifndef NDEBUG
#error "built without NDEBUG: these checks would prove nothing"
#endif

#include <gtest/gtest.h>

#include <functional>

#include "histogram/histogram1d.h"
#include "histogram/histogram2d.h"

namespace {

struct Case {
    char const* what;
    std::function<void()> access;
};

TEST(HistogramChecksDeathTest, OffGridIndexAborts)
{
    histogram1D h1(4, 2, 0.0, 3.0);
    histogram2D h2(4, 3, 2, 0.0, 3.0, 0.0, 2.0);
    histogram2D thin(1, 3, 1, 0.0, 1.0, 0.0, 2.0);
    Case const cases[] = {
        {"histogram1D::add, column 2 of 2", [&] { h1.add(1.0, 2); }},
        {"histogram1D::count, bin 4 of 4", [&] { h1.count(4, 0); }},
        {"histogram1D::fwhm, column -1", [&] { h1.fwhm(1.0, -1); }},
        {"histogram2D::add, set 2 of 2", [&] { h2.add(1.0, 1.0, 2); }},
        {"histogram2D::setCount, y bin 3 of 3", [&] { h2.setCount(0, 3, 0, 1.0); }},
        {"writeConstXCut, x bin 4 of 4", [&] { h2.writeConstXCut("/dev/null", 4, false); }},
        {"writeConstYCutWide, band past the last y bin",
         [&] { h2.writeConstYCutWide("/dev/null", 2, 1, false); }},
        {"fwhmConstXCutWide, band below x bin 0", [&] { h2.fwhmConstXCutWide(0, 1.0, 1, 0); }},
        {"writeImage, one x bin", [&] { thin.writeImage("thin", false); }},
    };
    for (Case const& c : cases) EXPECT_DEATH(c.access(), "Checked access failed: ") << c.what;
    // In range, the same calls do their work.
    h1.add(1.0, 1);
    EXPECT_EQ(h1.count(1, 1), 1.0);
}

}  // namespace
