// Checkpoint file: writing it safely, reading it back, and the fingerprint
// of the run it belongs to.

#include "run/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "io/atomic_file.h"
#include "io/datafile.h"
#include "io/input_file.h"
#include "run/progress.h"

namespace {

constexpr char kHeader[] = "zorv_mpi checkpoint 2";
constexpr char kHeaderVersion1[] = "zorv_mpi checkpoint 1";

// 64-bit FNV-1a of n bytes.
uint64_t fnv1a(void const* data, size_t n)
{
    uint64_t h = 14695981039346656037ULL;
    auto const* bytes = static_cast<unsigned char const*>(data);
    for (size_t i = 0; i < n; ++i) {
        h ^= bytes[i];
        h *= 1099511628211ULL;
    }
    return h;
}

std::string hex64(uint64_t h)
{
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, h);
    return text;
}

// Values are single tokens: bytes that are not printable, the blank and '%'
// are written as %XX.
std::string encode(std::string const& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool decode(std::string const& s, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
        char hex[3] = {s[i + 1], s[i + 2], 0};
        *out += static_cast<char>(std::strtol(hex, nullptr, 16));
        i += 2;
    }
    return true;
}

std::string real(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// 64-bit FNV-1a of the coefficients' bytes.
std::string kernel_digest(double const* kernel, int count)
{
    return std::to_string(count) + " coefficients, digest " +
           hex64(fnv1a(kernel, sizeof(double) * static_cast<size_t>(count)));
}

std::string to_text(Checkpoint const& cp)
{
    std::ostringstream out;
    out << kHeader << '\n';
    out << "state " << (cp.finished ? "finished" : "running") << '\n';
    out << "phase " << phase_name(cp.phase) << '\n';
    out << "next_event " << cp.next_event << '\n';
    out << "pending " << cp.pending.size();
    for (int e : cp.pending) out << ' ' << e;
    out << '\n';
    auto counts = [&](char const* prefix, GoodFitCounts const& n) {
        out << prefix << "counters " << n.counter_all << ' ' << n.nbr_ok[0] << ' ' << n.nbr_ok[1]
            << ' ' << n.nbr_all_ok << '\n';
        for (int c = 0; c < 2; ++c) {
            out << prefix << "outcomes" << c;
            for (int64_t k : n.outcomes[c]) out << ' ' << k;
            out << '\n';
        }
    };
    counts("", cp.counts);
    out << "seconds " << real(cp.seconds) << '\n';
    out << "skipped " << (cp.skipped < 0 ? 0 : cp.skipped) << '\n';
    out << "run_error " << cp.run_error << '\n';
    if (cp.calibrated) {
        out << "calibrated " << real(cp.decay[0]) << ' ' << real(cp.decay[1]) << '\n';
        counts("calibration_", cp.calibration);
        out << "calibration_seconds " << real(cp.calibration_seconds) << '\n';
    }
    out << "outputs";
    for (int64_t b : cp.outputs.bytes) out << ' ' << b;
    out << '\n';
    for (auto const& item : cp.fingerprint)
        out << "fingerprint " << encode(item.first) << ' ' << encode(item.second) << '\n';
    const std::string body = out.str();
    return body + "checksum " + hex64(fnv1a(body.data(), body.size())) + "\nend\n";
}

bool parse_int64(std::string const& s, int64_t* v)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0' || errno) return false;
    *v = x;
    return true;
}

bool parse_int(std::string const& s, int* v)
{
    int64_t x;
    if (!parse_int64(s, &x) || x < INT32_MIN || x > INT32_MAX) return false;
    *v = static_cast<int>(x);
    return true;
}

bool parse_real(std::string const& s, double* v)
{
    if (s.empty()) return false;
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

// One line of the file; false when it does not belong there.
bool parse_line(std::vector<std::string> const& w, Checkpoint* cp, std::set<std::string>* seen)
{
    std::string const& key = w[0];
    const size_t n = w.size();
    if (key != "fingerprint") {
        if (seen->count(key)) return false;
        seen->insert(key);
    }
    if (key == "state" && n == 2 && (w[1] == "running" || w[1] == "finished")) {
        cp->finished = w[1] == "finished";
        return true;
    }
    if (key == "phase" && n == 2 && (w[1] == "calibration" || w[1] == "processing")) {
        cp->phase = w[1] == kPhaseNames[0] ? Phase::kCalibration : Phase::kProcessing;
        return true;
    }
    if (key == "next_event" && n == 2) return parse_int(w[1], &cp->next_event) && cp->next_event >= 0;
    if (key == "pending" && n >= 2) {
        int count;
        if (!parse_int(w[1], &count) || count < 0 || n != static_cast<size_t>(count) + 2) return false;
        cp->pending.assign(static_cast<size_t>(count), 0);
        for (int i = 0; i < count; ++i)
            if (!parse_int(w[2 + i], &cp->pending[i]) || cp->pending[i] < 0) return false;
        return true;
    }
    const bool past = key.compare(0, 12, "calibration_") == 0;
    GoodFitCounts& counts = past ? cp->calibration : cp->counts;
    std::string const item = past ? key.substr(12) : key;
    if (item == "counters" && n == 5)
        return parse_int64(w[1], &counts.counter_all) && parse_int64(w[2], &counts.nbr_ok[0]) &&
               parse_int64(w[3], &counts.nbr_ok[1]) && parse_int64(w[4], &counts.nbr_all_ok);
    if ((item == "outcomes0" || item == "outcomes1") && n == 1 + kOutcomes) {
        int64_t* o = counts.outcomes[item == "outcomes0" ? 0 : 1];
        for (int k = 0; k < kOutcomes; ++k)
            if (!parse_int64(w[1 + k], &o[k]) || o[k] < 0) return false;
        return true;
    }
    if (item == "seconds" && n == 2)
        return parse_real(w[1], past ? &cp->calibration_seconds : &cp->seconds);
    if (key == "skipped" && n == 2) return parse_int64(w[1], &cp->skipped);
    if (key == "run_error" && n == 2) return parse_int(w[1], &cp->run_error);
    if (key == "calibrated" && n == 3) {
        cp->calibrated = true;
        return parse_real(w[1], &cp->decay[0]) && parse_real(w[2], &cp->decay[1]);
    }
    // A version 1 file has four outputs (no provenance list, no precision
    // files), a version 2 file of an earlier program five (no precision
    // files): the sizes of the outputs it does not name are unknown.
    if (key == "outputs" && (n == 1 + kOutputFiles || n == 1 + kPrecisionFile0 ||
                             n == 1 + kEventsList)) {
        for (int k = kEventsList; k < kOutputFiles; ++k) cp->outputs.bytes[k] = kUnknownSize;
        for (size_t k = 0; k + 1 < n; ++k)
            if (!parse_int64(w[1 + k], &cp->outputs.bytes[k]) || cp->outputs.bytes[k] < 0)
                return false;
        return true;
    }
    if (key == "fingerprint" && n == 3) {
        std::string item, value;
        if (!decode(w[1], &item) || !decode(w[2], &value)) return false;
        cp->fingerprint.emplace_back(item, value);
        return true;
    }
    return false;
}

std::vector<std::string> words(std::string const& line)
{
    std::vector<std::string> w;
    std::istringstream in(line);
    for (std::string word; in >> word;) w.push_back(word);
    return w;
}

}  // namespace

int write_checkpoint(Checkpoint const& cp, char const* name)
{
    std::string failed;
    const int error = write_file_atomically(name, to_text(cp), &failed);
    if (error == 0) return 0;
    end_progress_line();
    std::printf("Error: Cannot write checkpoint %s (%s)\n", failed.c_str(), std::strerror(error));
    return 1;
}

int remove_checkpoint(char const* name)
{
    if (unlink(name) == 0 || errno == ENOENT) return 0;
    end_progress_line();
    std::printf("Error: Cannot remove the old checkpoint %s (%s)\n", name, std::strerror(errno));
    return 1;
}

int read_checkpoint(Checkpoint* cp, char const* name)
{
    *cp = Checkpoint();
    char const* refusal = nullptr;
    FILE* f = open_input_file(name, "r", &refusal);
    if (!f) {
        if (!refusal && errno == ENOENT) return -1;
        std::printf("Error: Cannot read checkpoint %s (%s)\n", name,
                    refusal ? refusal : std::strerror(errno));
        return 1;
    }
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    std::fclose(f);

    std::istringstream in(text);
    std::string line;
    std::set<std::string> seen;
    int number = 0;
    int version = 0;
    bool ended = false;
    size_t checked_bytes = std::string::npos;  // bytes before the checksum line
    std::string checksum;
    size_t at = 0;  // offset of the current line
    while (std::getline(in, line)) {
        const size_t line_start = at;
        at += line.size() + 1;
        ++number;
        if (ended) break;
        if (number == 1) {
            version = line == kHeader ? 2 : line == kHeaderVersion1 ? 1 : 0;
            if (version == 0) break;
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        std::vector<std::string> w = words(line);
        if (version == 2 && w.size() == 2 && w[0] == "checksum" && checksum.empty()) {
            checked_bytes = line_start;
            checksum = w[1];
            continue;
        }
        if (!checksum.empty() || w.empty() || !parse_line(w, cp, &seen)) break;
    }
    static char const* const required[] = {"state", "phase", "next_event", "pending",
                                           "counters", "run_error", "outputs"};
    bool complete = ended && !in.good() && (cp->phase == Phase::kCalibration || seen.count("calibrated")) &&
                    (version == 1 || (seen.count("skipped") && seen.count("outcomes0") &&
                                      seen.count("outcomes1") && !checksum.empty()));
    for (char const* key : required) complete = complete && seen.count(key);
    if (!complete || number == 0) {
        std::printf("Error: Checkpoint %s is damaged (line %d); remove it or set resume = 0\n",
                    name, number);
        *cp = Checkpoint();
        return 1;
    }
    if (version == 2 && checksum != hex64(fnv1a(text.data(), checked_bytes))) {
        std::printf(
            "Error: Checkpoint %s is damaged (its checksum does not match its contents); "
            "remove it or set resume = 0\n",
            name);
        *cp = Checkpoint();
        return 1;
    }
    return 0;
}

namespace {

// Prints why the checkpoint does not hold together; returns 1.
int inconsistent(char const* name, std::string const& what)
{
    std::printf("Error: Checkpoint %s does not hold together: %s; remove it or set resume = 0\n",
                name, what.c_str());
    return 1;
}

}  // namespace

int check_checkpoint(Checkpoint const& cp, int64_t phase_events, char const* name)
{
    auto str = [](int64_t v) { return std::to_string(v); };
    if (cp.next_event < 0 || cp.next_event > phase_events)
        return inconsistent(name, "next_event " + str(cp.next_event) +
                                      " lies outside the phase's " + str(phase_events) + " events");
    std::set<int> pending;
    for (int e : cp.pending) {
        if (e < 0 || e >= cp.next_event)
            return inconsistent(
                name, "pending event " + str(e) + " is not below next_event " + str(cp.next_event));
        if (!pending.insert(e).second)
            return inconsistent(name, "pending event " + str(e) + " is named twice");
    }
    GoodFitCounts const& n = cp.counts;
    if (n.counter_all < 0 || n.nbr_ok[0] < 0 || n.nbr_ok[1] < 0 || n.nbr_all_ok < 0 ||
        n.nbr_ok[0] > n.counter_all || n.nbr_ok[1] > n.counter_all || n.nbr_all_ok > n.nbr_ok[0] ||
        n.nbr_all_ok > n.nbr_ok[1])
        return inconsistent(name, "counters " + str(n.counter_all) + " " + str(n.nbr_ok[0]) + " " +
                                      str(n.nbr_ok[1]) + " " + str(n.nbr_all_ok) +
                                      " do not nest (both good <= each good <= results)");
    // Each channel's outcomes add up to the results, its fits to its good
    // ones (a version 1 file has no outcomes).
    auto outcomes_agree = [](GoodFitCounts const& g) {
        for (int c = 0; c < 2; ++c) {
            int64_t sum = 0;
            for (int64_t k : g.outcomes[c]) {
                if (k < 0 || k > g.counter_all) return false;
                sum += k;
            }
            if (sum != g.counter_all || g.outcomes[c][0] != g.nbr_ok[c]) return false;
        }
        return true;
    };
    if (cp.skipped >= 0 && !outcomes_agree(n))
        return inconsistent(name, "the outcomes of a channel do not add up to its counters");
    if (cp.skipped >= 0 && cp.phase == Phase::kProcessing && !outcomes_agree(cp.calibration))
        return inconsistent(name, "the calibration's outcomes do not add up to its counters");
    // Every event read so far is booked, pending or skipped: the sum is
    // formed without overflow since each term is at most the phase's size.
    const int64_t pending_count = static_cast<int64_t>(cp.pending.size());
    const int64_t skipped = cp.skipped < 0 ? 0 : cp.skipped;
    const bool adds_up = cp.skipped < 0
                             ? n.counter_all <= cp.next_event - pending_count
                             : n.counter_all <= phase_events && skipped <= phase_events &&
                                   n.counter_all + pending_count + skipped == cp.next_event;
    if (!adds_up)
        return inconsistent(name, str(n.counter_all) + " results, " + str(pending_count) +
                                      " pending and " + str(skipped) +
                                      " skipped events do not make next_event " +
                                      str(cp.next_event));
    // An event is skipped only when it could not be read, which the run
    // records as an error (a file of the first version keeps no count of
    // them: they are what the others leave of next_event).
    const int64_t passed_over =
        cp.skipped < 0 ? cp.next_event - pending_count - n.counter_all : skipped;
    if (passed_over > 0 && cp.run_error == 0)
        return inconsistent(name, str(passed_over) +
                                      " events were skipped, yet the run records no error");
    int64_t const* b = cp.outputs.bytes;
    for (int k = 0; k < kOutputFiles; ++k)
        if (b[k] < (may_be_unknown(k) ? kUnknownSize : 0))
            return inconsistent(name, "an output size is negative");
    if (b[0] % kResultBytes != 0 || b[2] % kResultBytes != 0 || b[0] != b[2])
        return inconsistent(name, "result files of " + str(b[0]) + " and " + str(b[2]) +
                                      " bytes are not the same whole number of " +
                                      str(kResultBytes) + "-byte records");
    for (int k = kPrecisionFile0; k < kPrecisionFile0 + 2; ++k)
        if (b[k] != kUnknownSize && b[k] != b[0])
            return inconsistent(name, "a precision file of " + str(b[k]) +
                                          " bytes beside result files of " + str(b[0]));
    if (b[0] / kResultBytes != n.nbr_all_ok)
        return inconsistent(name, "the result files hold " + str(b[0] / kResultBytes) +
                                      " records, the counters " + str(n.nbr_all_ok));
    if (cp.calibrated != (cp.phase == Phase::kProcessing))
        return inconsistent(name, cp.phase == Phase::kProcessing
                                      ? "the processing phase has no calibrated decay rates"
                                      : "the calibration phase has calibrated decay rates");
    if (cp.calibrated && !(std::isfinite(cp.decay[0]) && std::isfinite(cp.decay[1])))
        return inconsistent(name, "the calibrated decay rates " + real(cp.decay[0]) + " " +
                                      real(cp.decay[1]) + " are not finite");
    return 0;
}

Fingerprint run_fingerprint(RunSettings const& settings, double const* kernel, int count)
{
    auto pair = [](int a, int b) { return std::to_string(a) + " " + std::to_string(b); };
    RunSettings const& c = settings;
    return {
        {"infile_path", c.infile_path},
        {"abfile_path", c.abfile_path},
        {"waveforms", std::to_string(c.waveforms)},
        {"data_offset", std::to_string(c.data_offset)},
        {"hist_overflow", real(c.hist_overflow)},
        {"sessions", pair(c.start_session, c.stop_session)},
        {"cal_sessions", pair(c.start_cal_session, c.stop_cal_session)},
        {"decay_est", real(c.decay_est[0]) + " " + real(c.decay_est[1])},
        {"bcg_est", real(c.bcg_est[0]) + " " + real(c.bcg_est[1])},
        {"kernel win.txt", kernel_digest(kernel, count)},
    };
}

std::string raw_file_item(std::string const& name) { return std::string(kRawFileItem) + name; }

std::string raw_file_state(char const* name)
{
    struct stat st;
    if (stat(name, &st) != 0) return "missing";
    return file_state(st);
}

void add_to_fingerprint(Fingerprint* fp, Fingerprint const& items)
{
    for (auto const& item : items) {
        bool known = false;
        for (auto const& have : *fp) known = known || have.first == item.first;
        if (!known) fp->push_back(item);
    }
}

int compare_fingerprints(Fingerprint const& saved, Fingerprint const& now)
{
    auto differs = [](std::string const& item, std::string const& then, std::string const& is) {
        std::printf("Error: Checkpoint %s belongs to another run: %s was %s, is now %s\n",
                    kCheckpointName, item.c_str(), then.c_str(), is.c_str());
        return 1;
    };
    auto value_in = [](Fingerprint const& fp, std::string const& item, std::string* value) {
        for (auto const& have : fp)
            if (have.first == item) {
                *value = have.second;
                return true;
            }
        return false;
    };
    const size_t prefix = std::strlen(kRawFileItem);
    for (auto const& item : saved) {
        std::string is;
        if (item.first.compare(0, prefix, kRawFileItem) == 0) {
            // As it was when the run read it.
            is = raw_file_state(item.first.c_str() + prefix);
        } else if (!value_in(now, item.first, &is)) {
            is = "absent";
        }
        if (is != item.second) return differs(item.first, item.second, is);
    }
    for (auto const& item : now) {
        std::string then;
        if (!value_in(saved, item.first, &then)) return differs(item.first, "absent", item.second);
    }
    return 0;
}
