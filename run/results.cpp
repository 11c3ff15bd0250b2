// Result files, decay lists, provenance list and precision files of a phase.

#include "run/results.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <set>

#include "io/datafile.h"
#include "io/input_file.h"

namespace {

// A batch is written once one of its buffers holds this many bytes (about
// 900 events): few system calls, and little to do again after a failure.
constexpr size_t kBatchBytes = 64 * 1024;

char const* output_kind(int k)
{
    if (k == kEventsList) return "provenance list";
    if (k >= kPrecisionFile0) return "precision file";
    return k % 2 == 0 ? "result file" : "decay list";
}

}  // namespace

PhaseOutputs::PhaseOutputs(std::string const& abfile_path, int first_session, int waveforms)
    : first_session_(first_session), waveforms_(waveforms)
{
    for (int c = 0; c < 2; ++c) {
        names_[2 * c] = result_file_name(abfile_path, c);
        names_[2 * c + 1] = decay_list_name(c);
        names_[kPrecisionFile0 + c] = error_file_name(abfile_path, c);
    }
    names_[kEventsList] = kEventsName;
}

PhaseOutputs::~PhaseOutputs() { close_all_quietly(); }

void PhaseOutputs::reset_queues()
{
    for (auto& q : queued_) q.clear();
    queued_events_.clear();
    lost_events_.clear();
    write_failed_ = false;
    cut_failed_ = false;
}

void PhaseOutputs::close_all_quietly()
{
    for (auto& f : files_) {
        if (f) std::fclose(f);
        f = nullptr;
    }
}

// Opens output k; unbuffered, since the batches are the buffers: nothing can
// stay behind in a stream after a failed write. A FIFO, a folder or a link by
// its name is refused, never waited on or written through.
bool PhaseOutputs::open_output(int k, OutputMode mode)
{
    char const* refusal = nullptr;
    files_[k] = open_output_file(names_[k].c_str(), mode, &refusal);
    if (!files_[k]) {
        std::printf("Error: Cannot create %s: %s (%s)\n", output_kind(k), names_[k].c_str(),
                    refusal ? refusal : std::strerror(errno));
        close_all_quietly();
        return false;
    }
    std::setvbuf(files_[k], nullptr, _IONBF, 0);
    return true;
}

// Cuts open output k to `bytes`; a device such as /dev/null has no size to
// cut. Returns false after printing why it cannot be cut.
bool PhaseOutputs::cut_to(int k, int64_t bytes)
{
    struct stat st;
    const int fd = fileno(files_[k]);
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) return true;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) return true;
    std::printf("Error: Cannot cut file %s back to %lld bytes (%s)\n", names_[k].c_str(),
                static_cast<long long>(bytes), std::strerror(errno));
    return false;
}

void PhaseOutputs::report_write_error(int k, int error) const
{
    end_progress_line();
    std::printf("Error: Cannot write to file: %s (%s)\n", names_[k].c_str(), std::strerror(error));
}

// After a failed batch: every file back to the end of the last whole event.
void PhaseOutputs::cut_back_to_written()
{
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files_[k]) continue;
        struct stat st;
        // A device such as /dev/full has no size to cut.
        if (fstat(fileno(files_[k]), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (ftruncate(fileno(files_[k]), static_cast<off_t>(written_.bytes[k])) != 0) {
            std::printf("Error: Cannot cut file %s back to %lld bytes (%s)\n", names_[k].c_str(),
                        static_cast<long long>(written_.bytes[k]), std::strerror(errno));
            cut_failed_ = true;
        }
    }
}

// The queued events were counted when booked; they are not in the files.
void PhaseOutputs::take_back_queued_events()
{
    const int64_t n = static_cast<int64_t>(queued_events_.size());
    counts_.counter_all -= n;
    counts_.nbr_ok[0] -= n;
    counts_.nbr_ok[1] -= n;
    counts_.nbr_all_ok -= n;
    // Only events good in both channels are queued: both were fitted.
    counts_.outcomes[0][static_cast<int>(ChannelOutcome::kFitted)] -= n;
    counts_.outcomes[1][static_cast<int>(ChannelOutcome::kFitted)] -= n;
    lost_events_.insert(lost_events_.end(), queued_events_.begin(), queued_events_.end());
    queued_events_.clear();
    for (auto& q : queued_) q.clear();
}

// Writes the queued batch. Returns 1 when that fails; after a failure the
// files stay as they were cut back and nothing more is written.
int PhaseOutputs::write_queued()
{
    if (write_failed_) return 0;
    for (int k = 0; k < kOutputFiles; ++k) {
        std::string const& q = queued_[k];
        if (q.empty()) continue;
        errno = 0;
        if (std::fwrite(q.data(), 1, q.size(), files_[k]) != q.size()) {
            report_write_error(k, errno ? errno : EIO);
            write_failed_ = true;
            cut_back_to_written();
            take_back_queued_events();
            return 1;
        }
    }
    for (int k = 0; k < kOutputFiles; ++k) {
        written_.bytes[k] += static_cast<int64_t>(queued_[k].size());
        queued_[k].clear();
    }
    queued_events_.clear();
    return 0;
}

int PhaseOutputs::prepare()
{
    reset_queues();
    for (int k = 0; k < kOutputFiles; ++k)
        if (!open_output(k, OutputMode::kKeep)) return 1;
    return 0;
}

int PhaseOutputs::start_anew()
{
    written_ = OutputSizes{};
    counts_ = GoodFitCounts();
    for (int k = 0; k < kOutputFiles; ++k)
        if (!cut_to(k, 0)) {
            close_all_quietly();
            return 1;
        }
    return 0;
}

int PhaseOutputs::open()
{
    return prepare() || start_anew() ? 1 : 0;
}

int PhaseOutputs::check(OutputSizes const& sizes, double const* held_decay, int next_event,
                        std::vector<int> const& pending) const
{
    for (int k = 0; k < kOutputFiles; ++k) {
        if (sizes.bytes[k] == kUnknownSize) continue;  // made anew
        struct stat st;
        if (lstat(names_[k].c_str(), &st) != 0) {
            // A phase stopped before its outputs were made has nothing in
            // them yet: a missing file is made anew.
            if (errno == ENOENT && sizes.bytes[k] == 0) continue;
            std::printf("Error: Cannot continue %s (%s)\n", names_[k].c_str(),
                        std::strerror(errno));
            return 1;
        }
        if (!S_ISREG(st.st_mode)) {
            std::printf("Error: Cannot continue %s: %s\n", names_[k].c_str(),
                        S_ISDIR(st.st_mode)   ? "it is a directory"
                        : S_ISLNK(st.st_mode) ? "it is a symbolic link"
                                              : "it is not a regular file");
            return 1;
        }
        if (static_cast<int64_t>(st.st_size) < sizes.bytes[k]) {
            std::printf("Error: %s holds %lld bytes, fewer than the %lld of the checkpoint\n",
                        names_[k].c_str(), static_cast<long long>(st.st_size),
                        static_cast<long long>(sizes.bytes[k]));
            return 1;
        }
    }
    for (int c = 0; c < 2; ++c)
        if (check_channel(c, sizes, held_decay ? &held_decay[c] : nullptr)) return 1;
    return check_events(sizes, next_event, pending);
}

// The provenance list within the checkpoint's size: one line "<session>
// <record>" of two whole numbers (or the placeholder "- -") for each result
// record.
int PhaseOutputs::check_events(OutputSizes const& sizes, int next_event,
                               std::vector<int> const& pending) const
{
    const int64_t bytes = sizes.bytes[kEventsList];
    const int64_t records = sizes.bytes[0] / kResultBytes;
    if (bytes == kUnknownSize || (bytes == 0 && records == 0)) return 0;
    char const* name = names_[kEventsList].c_str();
    char const* refusal = nullptr;
    FILE* f = open_input_file(name, "r", &refusal);
    if (!f) {
        std::printf("Error: Cannot continue %s (%s)\n", name,
                    refusal ? refusal : std::strerror(errno));
        return 1;
    }
    int64_t lines = 0, read = 0;
    std::string line;
    bool whole = true;
    int ch;
    std::set<int64_t> named;  // the raw events named so far
    const std::set<int64_t> to_do(pending.begin(), pending.end());
    std::string wrong;        // what is wrong with an event named
    while (read < bytes && (ch = std::fgetc(f)) != EOF) {
        ++read;
        if (ch != '\n') {
            line += static_cast<char>(ch);
            continue;
        }
        long long session, record;
        char rest;
        const bool known = line != "- -";
        whole = whole && (!known ||
                          std::sscanf(line.c_str(), "%lld %lld%c", &session, &record, &rest) == 2);
        if (whole && known && next_event >= 0 && wrong.empty()) {
            const int64_t e = event_number(first_session_, waveforms_, RawEvent{session, record});
            if (!named.insert(e).second)
                wrong = "it names event " + line + " twice";
            else if (to_do.count(e))
                wrong = "event " + line + " has a record, yet the checkpoint keeps it to be done";
            else if (record < 0 || record >= waveforms_ || e < 0 || e >= next_event)
                wrong = "event " + line + " was not read yet";
            if (!wrong.empty()) wrong += " (line " + std::to_string(lines + 1) + ")";
        }
        line.clear();
        ++lines;
    }
    std::fclose(f);
    if (!whole || !line.empty() || read != bytes || lines != records) {
        std::printf(
            "Error: Cannot continue: %s does not hold one line \"<session> <record>\" for "
            "each of the %lld records of the checkpoint\n",
            name, static_cast<long long>(records));
        return 1;
    }
    if (!wrong.empty()) {
        std::printf("Error: Cannot continue: %s does not agree with the checkpoint: %s\n", name,
                    wrong.c_str());
        return 1;
    }
    return 0;
}

// Channel c's result file and decay list, record by record and line by line
// within the checkpoint's sizes.
int PhaseOutputs::check_channel(int c, OutputSizes const& sizes, double const* held) const
{
    std::string const& ab = names_[2 * c];
    std::string const& list = names_[2 * c + 1];
    const int64_t records = sizes.bytes[2 * c] / kResultBytes;
    const int64_t list_bytes = sizes.bytes[2 * c + 1];
    if (records == 0 && list_bytes == 0) return 0;
    char const* refusal = nullptr;
    FILE* f_ab = open_input_file(ab.c_str(), "rb", &refusal);
    FILE* f_list = f_ab ? open_input_file(list.c_str(), "r", &refusal) : nullptr;
    int status = 0;
    if (!f_ab || !f_list) {
        std::printf("Error: Cannot continue %s (%s)\n", (f_ab ? list : ab).c_str(),
                    refusal ? refusal : std::strerror(errno));
        status = 1;
    }
    std::string expected, line;
    int64_t read_bytes = 0;
    for (int64_t i = 0; status == 0 && i < records; ++i) {
        double block[kBlockDoubles];
        if (std::fread(block, sizeof block, 1, f_ab) != 1) {
            std::printf("Error: Cannot read record %lld of %s\n", static_cast<long long>(i),
                        ab.c_str());
            status = 1;
            break;
        }
        line.clear();
        int ch = 0;
        while (read_bytes < list_bytes && (ch = std::fgetc(f_list)) != EOF) {
            ++read_bytes;
            line += static_cast<char>(ch);
            if (ch == '\n') break;
        }
        expected.clear();
        append_decay_line(expected, block[kFieldDecayRate]);
        if (line != expected) {
            std::printf(
                "Error: Cannot continue: line %lld of %s does not hold the decay rate of "
                "record %lld of %s, so the two do not describe the same events\n",
                static_cast<long long>(i + 1), list.c_str(), static_cast<long long>(i + 1),
                ab.c_str());
            status = 1;
        } else if (held && !(block[kFieldDecayRate] == *held)) {
            std::printf(
                "Error: Cannot continue: record %lld of %s was not fitted with the "
                "calibrated decay rate of the processing phase\n",
                static_cast<long long>(i + 1), ab.c_str());
            status = 1;
        }
    }
    if (status == 0 && read_bytes != list_bytes) {
        std::printf(
            "Error: Cannot continue: %s holds more than the %lld lines of the %lld "
            "records of %s\n",
            list.c_str(), static_cast<long long>(records), static_cast<long long>(records),
            ab.c_str());
        status = 1;
    }
    if (f_ab) std::fclose(f_ab);
    if (f_list) std::fclose(f_list);
    return status;
}

int PhaseOutputs::reopen(OutputSizes const& sizes, GoodFitCounts const& counts)
{
    reset_queues();
    written_ = sizes;
    counts_ = counts;
    // Every file open before any is cut: a file that cannot be opened leaves
    // all of them as they were.
    for (int k = 0; k < kOutputFiles; ++k) {
        const bool anew = sizes.bytes[k] == kUnknownSize;
        if (!open_output(k, anew ? OutputMode::kKeep : OutputMode::kAppend)) return 1;
    }
    for (int k = 0; k < kOutputFiles; ++k) {
        const bool anew = sizes.bytes[k] == kUnknownSize;
        if (!cut_to(k, anew ? 0 : sizes.bytes[k])) {
            close_all_quietly();
            return 1;
        }
        if (!anew) continue;
        written_.bytes[k] = 0;
        queue_placeholders(k, sizes.bytes[0] / kResultBytes);
        if (write_queued()) return 1;
    }
    return 0;
}

// One placeholder per record already written keeps entry i of output k with
// record i: the line "- -" in the provenance list, a record of NaN in a
// precision file (nothing is known of those fits).
void PhaseOutputs::queue_placeholders(int k, int64_t records)
{
    double unknown[kBlockDoubles];
    std::fill(unknown, unknown + kBlockDoubles, std::numeric_limits<double>::quiet_NaN());
    for (int64_t i = 0; i < records; ++i) {
        if (k == kEventsList)
            queued_[k] += "- -\n";
        else
            append_result_record(queued_[k], unknown);
    }
}

int PhaseOutputs::record(double const* result, ChannelOutcome const outcomes[2], int event,
                         double const* precision)
{
    if (write_failed_) return 1;
    ++counts_.counter_all;
    for (int c = 0; c < 2; ++c) {
        const int o = static_cast<int>(outcomes[c]);
        if (o >= 0 && o < kOutcomes) ++counts_.outcomes[c][o];
    }
    const bool good0 = result[0] > 0.0;
    const bool good1 = result[kBlockDoubles] > 0.0;
    if (good0) ++counts_.nbr_ok[0];
    if (good1) ++counts_.nbr_ok[1];
    if (!(good0 && good1)) return 0;
    ++counts_.nbr_all_ok;

    for (int c = 0; c < 2; ++c) {
        double const* block = result + kBlockDoubles * c;
        append_result_record(queued_[2 * c], block);
        append_decay_line(queued_[2 * c + 1], block[2]);
    }
    const RawEvent raw = raw_event(first_session_, waveforms_, event);
    char line[48];
    const int n = std::snprintf(line, sizeof line, "%lld %lld\n", raw.session,
                                static_cast<long long>(raw.record));
    queued_[kEventsList].append(line, static_cast<size_t>(n));
    for (int c = 0; c < 2; ++c) {
        if (precision)
            append_result_record(queued_[kPrecisionFile0 + c], precision + kBlockDoubles * c);
        else
            queue_placeholders(kPrecisionFile0 + c, 1);
    }
    queued_events_.push_back(event);
    return queued_[0].size() >= kBatchBytes ? write_queued() : 0;
}

int PhaseOutputs::flush(bool durable)
{
    if (write_queued()) return 1;
    // After a write error the files end at the last whole event: that is
    // what goes to disk.
    if (!durable) return 0;
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files_[k] || fsync(fileno(files_[k])) == 0) continue;
        // Devices and pipes cannot be synchronised; there is nothing to lose.
        if (errno == EINVAL || errno == EROFS) continue;
        report_write_error(k, errno);
        write_failed_ = true;
        return 1;
    }
    return 0;
}

int PhaseOutputs::close()
{
    int status = write_queued();
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files_[k]) continue;
        if (std::fclose(files_[k]) != 0 && !write_failed_) {
            report_write_error(k, errno);
            status = 1;
        }
        files_[k] = nullptr;
    }
    return status || write_failed_ ? 1 : 0;
}
