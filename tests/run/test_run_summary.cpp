// The run summary "zorv_mpi.summary.json" as a JSON parser reads it: text of
// any bytes in its strings, numbers JSON has no form for, and doubles that
// must read back bit for bit. The file is parsed by Python's json module,
// which decodes it as UTF-8 and refuses what RFC 8259 refuses.
#include "run/run_summary.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// Prints each warning as the hex of its UTF-8 bytes, then the calibrated
// decay rates, hist_overflow and the calibration phase's seconds, one per
// line, as repr() gives them ("None" for null).
char const* const kParse = R"(import json, sys
d = json.load(open(sys.argv[1], encoding="utf-8"))
for w in d["warnings"]:
    print(w.encode("utf-8").hex())
for x in d["decay_rates"] + [d["settings"]["hist_overflow"], d["phases"]["calibration"]["seconds"]]:
    print(repr(x))
)";

std::string hex(std::string const& bytes)
{
    std::string h;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        h += two;
    }
    return h;
}

// What a byte string becomes when each byte is read as the code point of the
// same number (Latin-1), in UTF-8.
std::string latin1_as_utf8(std::string const& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

// Quotes, backslashes and control characters are escaped, UTF-8 passes
// through as it is, and text that is not UTF-8 keeps its bytes as code
// points of the same numbers; doubles read back exactly and what is not
// finite is null. Every string must come back from a strict parser.
TEST(RunSummaryJson, StringsAndNumbersReadBackThroughAParser)
{
    struct Case {
        char const* name;
        std::string text;
        bool utf8;  // passes through unchanged (else: read as Latin-1)
    };
    std::vector<Case> const cases = {
        {"quote and backslash", "a \"quoted\" C:\\path\\", true},
        {"control characters", "tab\t line\n cr\r bell\x07 nul\0 unit\x1f del\x7f"s, true},
        {"UTF-8 of 2, 3 and 4 bytes", "Z\xc3\xbcrich \xe6\x97\xa5 \xf0\x9f\x98\x80", true},
        {"empty", "", true},
        {"Latin-1", "caf\xe9", false},
        {"cut-off sequence", "x\xe6\x97", false},
        {"lone continuation byte", "\x80 y", false},
        {"overlong encoding of '/'", "\xc0\xaf", false},
        {"UTF-16 surrogate", "\xed\xa0\x80", false},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", false},
    };
    TempDir dir;
    RunSettings settings;
    settings.hist_overflow = std::numeric_limits<double>::quiet_NaN();
    RunSummary s;
    s.settings = &settings;
    s.calibrated = true;
    s.decay_rates[0] = -0.0015000000000000001;
    s.decay_rates[1] = -std::numeric_limits<double>::infinity();
    s.phases[0].seconds = 0.1 + 0.2;
    for (Case const& c : cases) s.warnings.push_back(c.text);
    ASSERT_EQ(write_summary(s, "s.json"), 0);
    ASSERT_TRUE(write_text("parse.py", kParse));

    CommandResult r = run_command("/usr/bin/python3 parse.py s.json 2>&1");
    ASSERT_EQ(r.status, 0) << "not valid JSON:\n" << r.output << read_text("s.json");
    std::vector<std::string> lines = split_lines(r.output);
    ASSERT_EQ(lines.size(), cases.size() + 4) << r.output;
    for (size_t i = 0; i < cases.size(); ++i) {
        Case const& c = cases[i];
        EXPECT_EQ(lines[i], hex(c.utf8 ? c.text : latin1_as_utf8(c.text))) << c.name;
    }
    // UTF-8 stands in the file as it is, not as escapes.
    EXPECT_NE(read_text("s.json").find(cases[2].text), std::string::npos);
    EXPECT_EQ(std::strtod(lines[cases.size()].c_str(), nullptr), s.decay_rates[0]);
    EXPECT_EQ(lines[cases.size() + 1], "None");  // -inf
    EXPECT_EQ(lines[cases.size() + 2], "None");  // NaN
    EXPECT_EQ(std::strtod(lines[cases.size() + 3].c_str(), nullptr), 0.1 + 0.2);
}
