// Walking the session files of a phase.

#include "run/event_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "run/checkpoint.h"
#include "io/datafile.h"
#include "io/input_file.h"
#include "run/progress.h"

FILE* open_raw_file(char const* name)
{
    char const* refusal = nullptr;
    FILE* f = open_input_file(name, "rb", &refusal);
    if (f) return f;
    if (refusal)
        std::printf("Error: Cannot read raw file %s: %s\n", name, refusal);
    else
        std::printf("ERROR: Cannot open file: %s (%s)\n", name, std::strerror(errno));
    return nullptr;
}

namespace {

// "<infile_path>.<session>"; false when it does not fit (the configuration
// check makes sure every name of the run fits).
bool copy_raw_file_name(std::string const& infile_path, int session, char* name)
{
    const std::string full = raw_file_name(infile_path, session);
    if (full.size() < static_cast<size_t>(kPathLength)) {
        std::memcpy(name, full.c_str(), full.size() + 1);
        return true;
    }
    std::printf("Error: Raw file name for session %d is too long\n", session);
    return false;
}

}  // namespace

EventSource::~EventSource()
{
    end();
}

void EventSource::begin(SessionRange sessions, int next, std::vector<int> const& again,
                        int64_t skipped)
{
    skipped_ = skipped;
    end();
    first_ = sessions.first;
    last_ = sessions.last;
    lost_ = false;
    next_ = next;
    // Delivered from the back: keep the caller's order.
    again_.assign(again.rbegin(), again.rend());
}

void EventSource::end()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

int EventSource::session_of(int e) const { return first_ + e / settings_.waveforms; }

bool EventSource::exhausted() const
{
    return again_.empty() && static_cast<long long>(first_) + next_ / settings_.waveforms > last_;
}

void EventSource::skip_session()
{
    end();
    const int rest = settings_.waveforms - next_ % settings_.waveforms;
    next_ += rest;
    skipped_ += rest;
    lost_ = true;
}

// Records raw file `name`, open as `f` (or not opened: null), as it is now,
// unless it was recorded before.
void EventSource::note_opened(char const* name, FILE* f)
{
    const std::string item = raw_file_item(name);
    for (auto const& have : opened_)
        if (have.first == item) return;
    struct stat st;
    const bool known = f && fstat(fileno(f), &st) == 0;
    opened_.emplace_back(item, known ? file_state(st) : raw_file_state(name));
}

std::string const* EventSource::opened_state(std::string const& name) const
{
    const std::string item = raw_file_item(name);
    for (auto const& have : opened_)
        if (have.first == item) return have.second == "missing" ? nullptr : &have.second;
    return nullptr;
}

// Complete records of the raw file f behind its header, from its size.
static int64_t complete_records(FILE* f, int data_offset)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    const int64_t behind = static_cast<int64_t>(st.st_size) - data_offset;
    return behind > 0 ? behind / kRecordBytes : 0;
}

// True when the raw file f holds the record of event e in full.
bool EventSource::has_record(FILE* f, int e) const
{
    return e % settings_.waveforms < complete_records(f, settings_.data_offset);
}

// Opens the file of event e's session and positions it at e's record.
bool EventSource::open_session_at(int e)
{
    end_progress_line();
    if (!copy_raw_file_name(settings_.infile_path, session_of(e), name_)) return false;
    file_ = open_raw_file(name_);
    note_opened(name_, file_);
    if (!file_) return false;
    std::printf("Processing file: %s\n", name_);
    if (!read_samples_) {
        complete_ = complete_records(file_, settings_.data_offset);
        return true;
    }
    if (seek_record(file_, settings_.data_offset, e % settings_.waveforms) != 0) {
        std::printf("Error: Cannot position file %s at record %d\n", name_,
                    e % settings_.waveforms);
        end();
        return false;
    }
    return true;
}

// An event that was in flight when the phase stopped, read on its own.
int EventSource::read_again(int e, int16_t* record)
{
    end_progress_line();
    char name[kPathLength];
    if (!copy_raw_file_name(settings_.infile_path, session_of(e), name)) return 0;
    FILE* f = open_raw_file(name);
    note_opened(name, f);
    if (!f) return 0;
    const bool ok = read_samples_
                        ? seek_record(f, settings_.data_offset, e % settings_.waveforms) == 0 &&
                              read_event_record(f, record)
                        : has_record(f, e);
    std::fclose(f);
    if (!ok) std::printf("Error: Cannot read event %d again from %s\n", e, name);
    return ok ? 1 : 0;
}

int EventSource::next(int16_t* record, int* event)
{
    while (!again_.empty()) {
        const int e = again_.back();
        again_.pop_back();
        if (read_again(e, record)) {
            *event = e;
            return 1;
        }
        lost_ = true;  // the file changed under the run
        ++skipped_;
    }
    for (;;) {
        if (static_cast<long long>(first_) + next_ / settings_.waveforms > last_) return 0;
        if (!file_ && !open_session_at(next_)) {
            skip_session();
            continue;
        }
        if (read_samples_ ? !read_event_record(file_, record)
                          : next_ % settings_.waveforms >= complete_) {
            std::printf(
                "Error: File %s holds only %d complete records behind its header, "
                "%d expected; skipping the rest of it\n",
                name_, next_ % settings_.waveforms, settings_.waveforms);
            skip_session();
            continue;
        }
        *event = next_++;
        if (next_ % settings_.waveforms == 0) end();  // that was the file's last record
        return 1;
    }
}
