// Result files and decay lists of a phase.

#include "results.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "datafile.h"
#include "progress.h"
#include "run_state.h"

namespace {

// A batch is written once one of its buffers holds this many bytes (about
// 900 events): few system calls, and little to do again after a failure.
constexpr size_t kBatchBytes = 64 * 1024;

FILE* files[kOutputFiles] = {nullptr, nullptr, nullptr, nullptr};
std::string names[kOutputFiles];
std::string queued[kOutputFiles];
std::vector<int> queued_events;
std::vector<int> lost_events;
OutputSizes written = {{0, 0, 0, 0}};
bool write_failed = false;

bool is_result_file(int k)
{
    return k % 2 == 0;
}

void set_names()
{
    for (int c = 0; c < 2; ++c) {
        names[2 * c] = std::string(abfile_path) + std::to_string(c) + ".bin";
        names[2 * c + 1] = "decay" + std::to_string(c) + ".txt";
    }
}

void reset_queues()
{
    for (auto& q : queued) q.clear();
    queued_events.clear();
    lost_events.clear();
    write_failed = false;
}

void close_all_quietly()
{
    for (auto& f : files) {
        if (f) std::fclose(f);
        f = nullptr;
    }
}

// Opens output k; unbuffered, since the batches are the buffers: nothing can
// stay behind in a stream after a failed write.
bool open_output(int k, char const* mode)
{
    files[k] = std::fopen(names[k].c_str(), mode);
    if (!files[k]) {
        std::printf("Error: Cannot create %s: %s (%s)\n",
                    is_result_file(k) ? "result file" : "decay list", names[k].c_str(),
                    std::strerror(errno));
        close_all_quietly();
        return false;
    }
    std::setvbuf(files[k], nullptr, _IONBF, 0);
    return true;
}

void report_write_error(int k, int error)
{
    end_progress_line();
    std::printf("Error: Cannot write to file: %s (%s)\n", names[k].c_str(), std::strerror(error));
}

// After a failed batch: every file back to the end of the last whole event.
void cut_back_to_written()
{
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files[k]) continue;
        struct stat st;
        // A device such as /dev/full has no size to cut.
        if (fstat(fileno(files[k]), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (ftruncate(fileno(files[k]), static_cast<off_t>(written.bytes[k])) != 0) {
            std::printf("Error: Cannot cut file %s back to %lld bytes (%s)\n", names[k].c_str(),
                        static_cast<long long>(written.bytes[k]), std::strerror(errno));
            run_error = 1;
        }
    }
}

// The queued events were counted when booked; they are not in the files.
void take_back_queued_events()
{
    const int64_t n = static_cast<int64_t>(queued_events.size());
    counter_all -= n;
    nbr_ok[0] -= n;
    nbr_ok[1] -= n;
    nbr_all_ok -= n;
    lost_events.insert(lost_events.end(), queued_events.begin(), queued_events.end());
    queued_events.clear();
    for (auto& q : queued) q.clear();
}

// Writes the queued batch. Returns 1 when that fails; after a failure the
// files stay as they were cut back and nothing more is written.
int write_queued()
{
    if (write_failed) return 0;
    for (int k = 0; k < kOutputFiles; ++k) {
        std::string const& q = queued[k];
        if (q.empty()) continue;
        errno = 0;
        if (std::fwrite(q.data(), 1, q.size(), files[k]) != q.size()) {
            report_write_error(k, errno ? errno : EIO);
            write_failed = true;
            cut_back_to_written();
            take_back_queued_events();
            return 1;
        }
    }
    for (int k = 0; k < kOutputFiles; ++k) {
        written.bytes[k] += static_cast<int64_t>(queued[k].size());
        queued[k].clear();
    }
    queued_events.clear();
    return 0;
}

}  // namespace

char const* output_name(int k)
{
    return names[k].c_str();
}

int open_phase_outputs()
{
    set_names();
    reset_queues();
    written = OutputSizes{{0, 0, 0, 0}};
    for (int k = 0; k < kOutputFiles; ++k)
        if (!open_output(k, is_result_file(k) ? "wb" : "w")) return 1;
    return 0;
}

int check_phase_outputs(OutputSizes const& sizes)
{
    set_names();
    for (int k = 0; k < kOutputFiles; ++k) {
        struct stat st;
        if (stat(names[k].c_str(), &st) != 0) {
            // A phase stopped before its outputs were made has nothing in
            // them yet: a missing file is made anew.
            if (errno == ENOENT && sizes.bytes[k] == 0) continue;
            std::printf("Error: Cannot continue %s (%s)\n", names[k].c_str(), std::strerror(errno));
            return 1;
        }
        if (!S_ISREG(st.st_mode) || static_cast<int64_t>(st.st_size) < sizes.bytes[k]) {
            std::printf("Error: %s holds %lld bytes, fewer than the %lld of the checkpoint\n",
                        names[k].c_str(), static_cast<long long>(st.st_size),
                        static_cast<long long>(sizes.bytes[k]));
            return 1;
        }
    }
    return 0;
}

int reopen_phase_outputs(OutputSizes const& sizes)
{
    set_names();
    reset_queues();
    written = sizes;
    for (int k = 0; k < kOutputFiles; ++k) {
        if (truncate(names[k].c_str(), static_cast<off_t>(sizes.bytes[k])) != 0 &&
            !(errno == ENOENT && sizes.bytes[k] == 0)) {
            std::printf("Error: Cannot cut file %s back to %lld bytes (%s)\n", names[k].c_str(),
                        static_cast<long long>(sizes.bytes[k]), std::strerror(errno));
            close_all_quietly();
            return 1;
        }
        if (!open_output(k, is_result_file(k) ? "ab" : "a")) return 1;
    }
    return 0;
}

int record_result(double const* result, int event)
{
    if (write_failed) return 1;
    const bool good0 = result[0] > 0.0;
    const bool good1 = result[9] > 0.0;
    if (good0) ++nbr_ok[0];
    if (good1) ++nbr_ok[1];
    if (!(good0 && good1)) return 0;
    ++nbr_all_ok;

    for (int c = 0; c < 2; ++c) {
        double const* block = result + kBlockDoubles * c;
        append_result_record(queued[2 * c], block);
        append_decay_line(queued[2 * c + 1], block[2]);
    }
    queued_events.push_back(event);
    return queued[0].size() >= kBatchBytes ? write_queued() : 0;
}

int flush_phase_outputs(bool durable)
{
    if (write_queued()) return 1;
    // After a write error the files end at the last whole event: that is
    // what goes to disk.
    if (!durable) return 0;
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files[k] || fsync(fileno(files[k])) == 0) continue;
        // Devices and pipes cannot be synchronised; there is nothing to lose.
        if (errno == EINVAL || errno == EROFS) continue;
        report_write_error(k, errno);
        write_failed = true;
        return 1;
    }
    return 0;
}

OutputSizes written_output_sizes()
{
    return written;
}

std::vector<int> const& unwritten_events()
{
    return lost_events;
}

int close_phase_outputs()
{
    int status = write_queued();
    for (int k = 0; k < kOutputFiles; ++k) {
        if (!files[k]) continue;
        if (std::fclose(files[k]) != 0 && !write_failed) {
            report_write_error(k, errno);
            status = 1;
        }
        files[k] = nullptr;
    }
    return status || write_failed ? 1 : 0;
}
