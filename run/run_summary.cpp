// JSON text of the run summary, written by hand: a fixed shape of objects,
// numbers and strings.

#include "run/run_summary.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "io/atomic_file.h"
#include "run/checkpoint.h"
#include "run/progress.h"
#include "zorv_version.h"

namespace {

// True when s is UTF-8 as a JSON reader decodes it: every sequence the
// shortest for its code point, none for a UTF-16 surrogate (U+D800 ..
// U+DFFF) or beyond U+10FFFF. A reader refuses the whole file over one such
// sequence, so text holding one is escaped byte by byte instead.
bool valid_utf8(std::string const& s)
{
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const int n = c < 0x80             ? 0
                      : (c & 0xE0) == 0xC0 ? 1
                      : (c & 0xF0) == 0xE0 ? 2
                      : (c & 0xF8) == 0xF0 ? 3
                                           : -1;
        if (n < 0) return false;
        uint32_t code = n == 0 ? c : c & (0x3Fu >> n);
        for (int k = 1; k <= n; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
            code = code << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        }
        static const uint32_t shortest[4] = {0, 0x80, 0x800, 0x10000};
        if (code < shortest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += static_cast<size_t>(n) + 1;
    }
    return true;
}

// A JSON string. Text that is not UTF-8 (a path in another encoding) keeps
// its bytes as \u00XX escapes, so that the file stays valid JSON.
std::string quoted(std::string const& s)
{
    const bool utf8 = valid_utf8(s);
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A number that reads back to the same double; null for what JSON has no
// number for.
std::string number(double v)
{
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string number(int64_t v) { return std::to_string(v); }

std::string settings_json(RunSettings const& s, std::string const& in)
{
    auto pair = [](double a, double b) { return "[" + number(a) + ", " + number(b) + "]"; };
    auto ints = [](int a, int b) {
        return "[" + std::to_string(a) + ", " + std::to_string(b) + "]";
    };
    return "{\n" + in + "  \"infile_path\": " + quoted(s.infile_path) + ",\n" + in +
           "  \"abfile_path\": " + quoted(s.abfile_path) + ",\n" + in +
           "  \"waveforms\": " + std::to_string(s.waveforms) + ",\n" + in +
           "  \"data_offset\": " + std::to_string(s.data_offset) + ",\n" + in +
           "  \"hist_overflow\": " + number(s.hist_overflow) + ",\n" + in +
           "  \"refresh_interval\": " + number(s.refresh_interval) + ",\n" + in +
           "  \"cal_sessions\": " + ints(s.start_cal_session, s.stop_cal_session) + ",\n" + in +
           "  \"sessions\": " + ints(s.start_session, s.stop_session) + ",\n" + in +
           "  \"decay_est\": " + pair(s.decay_est[0], s.decay_est[1]) + ",\n" + in +
           "  \"bcg_est\": " + pair(s.bcg_est[0], s.bcg_est[1]) + ",\n" + in +
           "  \"resume\": " + std::to_string(s.resume) + ",\n" + in +
           "  \"checkpoint_interval\": " + number(s.checkpoint_interval) + ",\n" + in +
           "  \"events_per_message\": " + std::to_string(s.events_per_message) + ",\n" + in +
           "  \"worker_reads\": " + std::to_string(s.worker_reads) + "\n" + in + "}";
}

std::string phase_json(PhaseSummary const& p)
{
    GoodFitCounts const& n = p.counts;
    std::string outcomes;
    for (int c = 0; c < 2; ++c) {
        outcomes += c ? ", {" : "{";
        for (int o = 0; o < kOutcomes; ++o) {
            outcomes += (o ? ", " : "") + quoted(outcome_key(static_cast<ChannelOutcome>(o))) +
                        ": " + number(n.outcomes[c][o]);
        }
        outcomes += "}";
    }
    return "{\n      \"state\": " + quoted(p.state) + ",\n      \"events\": " + number(p.events) +
           ",\n      \"results\": " + number(n.counter_all) + ",\n      \"good\": [" +
           number(n.nbr_ok[0]) + ", " + number(n.nbr_ok[1]) +
           "],\n      \"both_good\": " + number(n.nbr_all_ok) + ",\n      \"outcomes\": [" +
           outcomes + "],\n      \"seconds\": " + number(p.seconds) + "\n    }";
}

}  // namespace

void note_running(RunSummary* summary, Checkpoint const& record)
{
    PhaseSummary& p = summary->phases[static_cast<int>(record.phase)];
    p.state = kStateRunning;
    p.counts = record.counts;
    p.seconds = record.seconds;
    summary->phase = record.phase;
    summary->status = kStatusRunning;
    summary->events_lost = record.run_error != 0;
    note_raw_files(summary, record.fingerprint);
}

void note_raw_files(RunSummary* summary, Fingerprint const& fingerprint)
{
    const std::string prefix = kRawFileItem;
    summary->raw_files.clear();
    for (auto const& item : fingerprint)
        if (item.first.compare(0, prefix.size(), prefix) == 0)
            summary->raw_files.emplace_back(item.first.substr(prefix.size()), item.second);
}

std::string summary_json(RunSummary const& s)
{
    std::string hosts;
    for (size_t r = 0; r < s.hosts.size(); ++r) hosts += (r ? ", " : "") + quoted(s.hosts[r]);
    std::string json = "{\n";
    json += "  \"status\": " + quoted(s.status) + ",\n";
    if (!s.stopped_by.empty()) json += "  \"stopped_by\": " + quoted(s.stopped_by) + ",\n";
    json += "  \"version\": " + quoted(ZORV_VERSION) + ",\n";
    json += "  \"started\": " + quoted(s.started) + ",\n";
    json += "  \"ranks\": " + std::to_string(s.hosts.size()) + ",\n";
    json += "  \"hosts\": [" + hosts + "],\n";
    if (!s.exp.empty()) json += "  \"exp\": " + quoted(s.exp) + ",\n";
    if (s.settings) json += "  \"settings\": " + settings_json(*s.settings, "  ") + ",\n";
    json += "  \"phase\": " + quoted(phase_name(s.phase)) + ",\n";
    json += std::string("  \"phases\": {\n    \"") + kPhaseNames[0] + "\": " + phase_json(s.phases[0]) +
            ",\n    \"" + kPhaseNames[1] + "\": " + phase_json(s.phases[1]) + "\n  },\n";
    json += "  \"decay_rates\": ";
    json += s.calibrated ? "[" + number(s.decay_rates[0]) + ", " + number(s.decay_rates[1]) + "]"
                         : std::string("null");
    json += ",\n  \"events_lost\": " + std::string(s.events_lost ? "true" : "false");
    std::string raw;
    for (size_t i = 0; i < s.raw_files.size(); ++i)
        raw += (i ? ",\n    " : "\n    ") + quoted(s.raw_files[i].first) + ": " +
               quoted(s.raw_files[i].second);
    json += ",\n  \"raw_files\": {" + raw + (raw.empty() ? "}" : "\n  }");
    std::string warnings;
    for (size_t i = 0; i < s.warnings.size(); ++i)
        warnings += (i ? ",\n    " : "\n    ") + quoted(s.warnings[i]);
    json += ",\n  \"warnings\": [" + warnings + (warnings.empty() ? "]" : "\n  ]") + "\n}\n";
    return json;
}

int write_summary(RunSummary const& summary, char const* name)
{
    std::string failed;
    const int error = write_file_atomically(name, summary_json(summary), &failed);
    if (error == 0) return 0;
    end_progress_line();
    std::printf("Error: Cannot write the run summary %s (%s)\n", failed.c_str(),
                std::strerror(error));
    return 1;
}
