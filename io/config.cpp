// Configuration reader: "key = value" entries, echoed as they are read.
//
// Tokens are scanned as "%s" (any white space, line breaks included, may
// precede them). The value's syntax depends on the key; whatever follows the
// value on its line is not interpreted, only echoed, so it serves as a remark.
// A comment is an entry with the key "#".
//
// A value ends at white space or at the end of the file. Text glued to it is
// no remark but a mistake: "10,000" or "3e2" for an integer would otherwise
// be read as 10 or 3 and the rest echoed as if it were a remark, so that the
// echo looks exactly like the file. Integers must fit in 32 bits and reals
// must be finite; a real too small for a double becomes 0 or a subnormal, as
// strtod rounds it.
//
// Every error message is followed by one line of context in the form
// "zorv_mpi.ini:LINE: ...", LINE being the line of the entry's key: what the
// key takes when its value cannot be read, the known key closest to an
// unknown one ("did you mean 'waveforms'?"), the form of an entry when its
// '=' is missing. The messages themselves are as they were; the line comes
// after them.

#include "io/config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/input_file.h"
#include "io/settings.h"

namespace {

constexpr int kTokenLength = 256;

// The keys of zorv_mpi.ini and what each takes, for the line after an error.
struct KeyInfo {
    char const* key;
    char const* takes;
};
constexpr KeyInfo kKeys[] = {
    {"infile_path", "a path in double quotes, the raw files' name before \".SESSION\""},
    {"abfile_path", "a path in double quotes, the result files' name before \"0.bin\""},
    {"waveforms", "an integer, the event records in each raw file"},
    {"data_offset", "an integer, the header bytes before a raw file's first record"},
    {"hist_overflow", "a real, the fraction trimmed at each end of a decay list"},
    {"refresh_interval", "a real, the seconds between progress lines"},
    {"sessions", "two integers, first and last session"},
    {"cal_sessions", "two integers, first and last session of the calibration"},
    {"decay_est", "two reals, the decay rate of channel A and of channel B"},
    {"bcg_est", "two reals, the baseline of channel A and of channel B"},
    {"resume", "an integer, 1 to continue from the checkpoint or 0"},
    {"checkpoint_interval", "a real, the seconds between checkpoints (0: none)"},
    {"events_per_message", "an integer, the events handed to a worker at a time (1 to 4096)"},
    {"worker_reads", "an integer, 1 when the workers read the raw files themselves or 0"},
};

char const* takes(char const* key)
{
    for (KeyInfo const& k : kKeys)
        if (std::strcmp(k.key, key) == 0) return k.takes;
    return nullptr;
}

// Edits between a and b, a transposition of neighbours counting as one edit
// and a change of case as none: "Waveforms" and "wavefroms" are one step
// from "waveforms", not two.
int edit_distance(std::string const& a, std::string const& b)
{
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    size_t const n = a.size(), m = b.size();
    std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int>(i);
    for (size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int>(j);
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            int best = std::min(d[i - 1][j] + 1, d[i][j - 1] + 1);
            best = std::min(best, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1));
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                best = std::min(best, d[i - 2][j - 2] + 1);
            d[i][j] = best;
        }
    return d[n][m];
}

// The line of the file that holds byte `offset`, counted from 1. Only called
// on the way out after an error; the stream's position is not kept.
long line_at(FILE* fp, long offset)
{
    long line = 1;
    if (offset < 0 || std::fseek(fp, 0, SEEK_SET) != 0) return line;
    for (long i = 0; i < offset; ++i) {
        int c = std::fgetc(fp);
        if (c == EOF) break;
        if (c == '\n') ++line;
    }
    return line;
}

// The line after the error of the entry whose key ends at `key_end`: where
// it is and what would be right there.
enum class Mistake { kLongKey, kNoEquals, kUnknownKey, kBadValue };

void print_context(FILE* fp, long key_end, Mistake mistake, char const* key)
{
    std::printf("zorv_mpi.ini:%ld: ", line_at(fp, key_end));
    switch (mistake) {
    case Mistake::kLongKey:
        std::printf("a key is one word of at most %d characters\n", kTokenLength - 1);
        break;
    case Mistake::kNoEquals:
        if (key[0] == '#')
            std::printf("a comment is \"# = text\", '=' standing alone between blanks\n");
        else
            std::printf("an entry is \"key = value\", '=' standing alone between blanks\n");
        break;
    case Mistake::kUnknownKey: {
        // The closest key, when a slip of a key or two apart from it.
        char const* closest = nullptr;
        int best = 3;
        for (KeyInfo const& k : kKeys) {
            int d = edit_distance(key, k.key);
            if (d < best && d < static_cast<int>(std::strlen(key))) {
                best = d;
                closest = k.key;
            }
        }
        if (closest) {
            std::printf("did you mean '%s'?\n", closest);
        } else {
            std::printf("the keys are");
            for (KeyInfo const& k : kKeys) std::printf(" %s", k.key);
            std::printf(", and # for a comment\n");
        }
        break;
    }
    case Mistake::kBadValue:
        std::printf("%s takes %s\n", key, takes(key));
        break;
    }
}

// True when the next character is white space or the end of the file, so
// that what was just read is a whole word. Nothing is consumed.
bool at_word_end(FILE* fp)
{
    int c = std::fgetc(fp);
    if (c == EOF) return true;
    std::ungetc(c, fp);
    return std::isspace(c) != 0;
}

// Scans one white-space delimited token of at most 255 characters.
// Returns 1 on success, 0 at the end of the file, -1 when the token is
// longer than the buffer (the rest of it is still in the stream).
int scan_token(FILE* fp, char* token)
{
    if (std::fscanf(fp, "%255s", token) != 1) return 0;
    return at_word_end(fp) ? 1 : -1;
}

void print_token_too_long()
{
    std::printf("\nError: Token longer than %d characters\n", kTokenLength - 1);
}

void print_cannot_read_value()
{
    std::printf("\nError: Cannot read value\n");
}

// Reads one number as a word: white space before it, line breaks included,
// is skipped as scanf skips it, and the whole word must be the number.
// The integer is optionally signed decimal, as "%d" reads it, and must fit
// in 32 bits; the real is what "%lf" reads (strtod), and must be finite.
bool read_int(FILE* fp, int* target)
{
    char word[kTokenLength];
    if (scan_token(fp, word) != 1) return false;
    errno = 0;
    char* end;
    long x = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || x < INT_MIN || x > INT_MAX)
        return false;
    *target = static_cast<int>(x);
    return true;
}

bool read_real(FILE* fp, double* target)
{
    char word[kTokenLength];
    if (scan_token(fp, word) != 1) return false;
    char* end;
    double x = std::strtod(word, &end);
    if (end == word || *end != '\0' || !std::isfinite(x)) return false;
    *target = x;
    return true;
}

// Editors on Windows may begin a UTF-8 file with the byte-order mark
// EF BB BF. It is no part of the first key; without this, that key would be
// "Unknown description" with an invisible prefix.
void skip_byte_order_mark(FILE* fp)
{
    unsigned char head[3];
    if (std::fread(head, 1, 3, fp) == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
        return;
    std::rewind(fp);
}

// Copies the rest of the current line to standard output; the line break is
// consumed and replaced by one of our own.
void echo_rest_of_line(FILE* fp)
{
    int c;
    while ((c = std::fgetc(fp)) != EOF && c != '\n') std::putchar(c);
    std::putchar('\n');
}

// Reads the value of one known key and echoes it. Returns 0 on success,
// 1 after printing why the value could not be read, -1 for an unknown key.
int read_value(FILE* fp, char const* key, RunSettings* s)
{
    char path[kPathLength];
    if (compare_str(key, "infile_path") || compare_str(key, "abfile_path")) {
        std::string& target = compare_str(key, "infile_path") ? s->infile_path : s->abfile_path;
        // The path is stored before the check of what follows it, as far as
        // it was read.
        const int got = read_quoted_string(fp, path);
        target = path;
        if (!got || !at_word_end(fp)) return 1;
        std::printf(" \"%s\"", path);
    } else if (compare_str(key, "waveforms")) {
        if (!read_int(fp, &s->waveforms)) return 1;
        std::printf(" %d", s->waveforms);
    } else if (compare_str(key, "data_offset")) {
        if (!read_int(fp, &s->data_offset)) return 1;
        std::printf(" %d", s->data_offset);
    } else if (compare_str(key, "hist_overflow")) {
        if (!read_real(fp, &s->hist_overflow)) return 1;
        std::printf(" %g", s->hist_overflow);
    } else if (compare_str(key, "refresh_interval")) {
        if (!read_real(fp, &s->refresh_interval)) return 1;
        std::printf(" %g", s->refresh_interval);
    } else if (compare_str(key, "resume")) {
        if (!read_int(fp, &s->resume)) return 1;
        std::printf(" %d", s->resume);
    } else if (compare_str(key, "events_per_message")) {
        if (!read_int(fp, &s->events_per_message)) return 1;
        std::printf(" %d", s->events_per_message);
    } else if (compare_str(key, "worker_reads")) {
        if (!read_int(fp, &s->worker_reads)) return 1;
        std::printf(" %d", s->worker_reads);
    } else if (compare_str(key, "checkpoint_interval")) {
        if (!read_real(fp, &s->checkpoint_interval)) return 1;
        std::printf(" %g", s->checkpoint_interval);
    } else if (compare_str(key, "sessions")) {
        if (!read_int(fp, &s->start_session) || !read_int(fp, &s->stop_session)) return 1;
        std::printf(" %d %d", s->start_session, s->stop_session);
    } else if (compare_str(key, "cal_sessions")) {
        if (!read_int(fp, &s->start_cal_session) || !read_int(fp, &s->stop_cal_session)) return 1;
        std::printf(" %d %d", s->start_cal_session, s->stop_cal_session);
    } else if (compare_str(key, "decay_est") || compare_str(key, "bcg_est")) {
        double* target = compare_str(key, "decay_est") ? s->decay_est : s->bcg_est;
        // The first value is echoed before the second is scanned, so a
        // failure on the second shows how far the entry got.
        if (!read_real(fp, &target[0])) return 1;
        std::printf(" %g", target[0]);
        if (!read_real(fp, &target[1])) return 1;
        std::printf(" %g", target[1]);
    } else if (compare_str(key, "#")) {
        // a comment: the rest of the line is its text
    } else {
        return -1;
    }
    return 0;
}

// Length of the name that printf would form, or -1 on an encoding error.
int name_length(char const* format, char const* path, int number)
{
    return std::snprintf(nullptr, 0, format, path, number);
}

bool name_fits(char const* format, char const* path, int number)
{
    int len = name_length(format, path, number);
    return len >= 0 && len < kPathLength;
}

}  // namespace

bool compare_str(char const* a, char const* b)
{
    return std::strcmp(a, b) == 0;
}

int read_quoted_string(FILE* fp, char* target)
{
    std::memset(target, 0, kPathLength);

    int c;
    do {
        c = std::fgetc(fp);
    } while (c == ' ' || c == '\t');

    if (c != '"') {
        // At the end of the file c is EOF; printed as a character it is the
        // byte 0xFF, as the C library renders (char) EOF.
        std::printf("\nError: Unexpected character: %c\n", c);
        return 0;
    }

    int n = 0;
    while ((c = std::fgetc(fp)) != EOF) {
        if (c == '"') return 1;
        if (n == kPathLength - 1) {
            std::printf("\nError: Quoted string longer than %d characters\n", kPathLength - 1);
            return 0;
        }
        target[n++] = static_cast<char>(c);
    }
    std::printf("\nError: Unexpected end of file\n");
    return 0;
}

int initialize(RunSettings* settings)
{
    *settings = RunSettings();
    std::printf("Reading configuration file: zorv_mpi.ini\n");
    char const* refusal;
    FILE* fp = open_input_file("zorv_mpi.ini", "r", &refusal);
    if (!fp) {
        if (refusal)
            std::printf("Error: Cannot open inifile: zorv_mpi.ini (%s)\n", refusal);
        else
            std::printf("Error: Cannot open inifile: zorv_mpi.ini\n");
        return 1;
    }
    skip_byte_order_mark(fp);

    char key[kTokenLength];
    char eq[kTokenLength];
    int status = 0;
    for (;;) {
        int got = std::feof(fp) ? 0 : scan_token(fp, key);
        if (got == 0) {
            std::printf("End of configuration file\n");
            break;
        }
        long const key_end = std::ftell(fp);  // on the key's line
        std::printf("  %s", key);
        if (got < 0) {
            print_token_too_long();
            print_context(fp, key_end, Mistake::kLongKey, key);
            status = 1;
            break;
        }

        got = scan_token(fp, eq);
        if (got == 0 || !compare_str(eq, "=")) {
            std::printf("\nError: Missing '=' sign\n");
            print_context(fp, key_end, Mistake::kNoEquals, key);
            status = 1;
            break;
        }
        std::printf(" =");

        int value = read_value(fp, key, settings);
        if (value < 0) {
            std::printf("\nError: Unknown description: %s\n", key);
            print_context(fp, key_end, Mistake::kUnknownKey, key);
            status = 1;
            break;
        }
        if (value > 0) {
            print_cannot_read_value();
            print_context(fp, key_end, Mistake::kBadValue, key);
            status = 1;
            break;
        }
        if (!compare_str(key, "#") && !settings->sets(key)) settings->keys_set.push_back(key);
        echo_rest_of_line(fp);
    }
    std::fclose(fp);
    return status;
}

int validate_config(RunSettings const& s)
{
    // The order of these two tests decides which message a file with both
    // ranges reversed gets: the processing range is checked first.
    if (s.stop_session < s.start_session) {
        std::printf("Error: Stop_session number must be larger than start_session number\n");
        return 1;
    }
    if (s.stop_cal_session < s.start_cal_session) {
        std::printf("Error: Stop_cal_session number must be larger than start_cal_session number\n");
        return 1;
    }
    if (s.waveforms < 1) {
        std::printf("Error: waveforms must be at least 1 (it is %d)\n", s.waveforms);
        return 1;
    }
    if (s.data_offset < 0) {
        std::printf("Error: data_offset must not be negative (it is %d)\n", s.data_offset);
        return 1;
    }
    if (s.infile_path.empty()) {
        std::printf("Error: infile_path is not set\n");
        return 1;
    }
    if (s.abfile_path.empty()) {
        std::printf("Error: abfile_path is not set\n");
        return 1;
    }
    if (!(s.hist_overflow >= 0.0 && s.hist_overflow < 0.5)) {
        std::printf("Error: hist_overflow must lie in 0 <= hist_overflow < 0.5 (it is %g)\n",
                    s.hist_overflow);
        return 1;
    }
    if (s.resume != 0 && s.resume != 1) {
        std::printf("Error: resume must be 0 or 1 (it is %d)\n", s.resume);
        return 1;
    }
    if (!(s.checkpoint_interval >= 0.0 && s.checkpoint_interval <= 1e9)) {
        std::printf(
            "Error: checkpoint_interval must lie in 0 <= checkpoint_interval <= 1e9 "
            "seconds (it is %g)\n",
            s.checkpoint_interval);
        return 1;
    }
    if (s.events_per_message < 1 || s.events_per_message > kMaxEventsPerMessage) {
        std::printf("Error: events_per_message must lie in 1 .. %d (it is %d)\n",
                    kMaxEventsPerMessage, s.events_per_message);
        return 1;
    }
    if (s.worker_reads != 0 && s.worker_reads != 1) {
        std::printf("Error: worker_reads must be 0 or 1 (it is %d)\n", s.worker_reads);
        return 1;
    }
    if (s.resume == 1 && s.checkpoint_interval == 0.0) {
        std::printf(
            "Error: resume = 1 needs a checkpoint, and checkpoint_interval = 0 keeps "
            "none; set checkpoint_interval above 0\n");
        return 1;
    }
    // Event numbers of a phase are 32-bit: waveforms x sessions must fit.
    int const ranges[2][2] = {{s.start_cal_session, s.stop_cal_session},
                              {s.start_session, s.stop_session}};
    for (auto const& r : ranges) {
        const long long events = phase_events(s, {r[0], r[1]});
        if (events > INT_MAX) {
            std::printf("Error: Sessions %d to %d hold %lld events, more than %d\n",
                        r[0], r[1], events, INT_MAX);
            return 1;
        }
        // The longest session number is one of the two ends.
        for (int session : r) {
            if (!name_fits("%s.%d", s.infile_path.c_str(), session)) {
                std::printf("Error: Raw file name for session %d is longer than %d characters\n",
                            session, kPathLength - 1);
                return 1;
            }
        }
    }
    if (!name_fits("%s%d.bin", s.abfile_path.c_str(), 1)) {
        std::printf("Error: Result file name is longer than %d characters\n", kPathLength - 1);
        return 1;
    }
    return 0;
}
