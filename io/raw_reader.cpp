// Reading raw event records by their numbers.

#include "io/raw_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/datafile.h"
#include "io/input_file.h"

RawEventReader::~RawEventReader() { close(); }

void RawEventReader::expect(long long session, std::string const& state)
{
    expected_[session] = state;
    if (fd_ >= 0 && session == session_) close();  // checked again at the next read
}

void RawEventReader::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// Makes `session`'s file the open one.
int RawEventReader::open_session(long long session, std::string* why)
{
    if (fd_ >= 0 && session == session_) return 0;
    close();
    name_ = raw_file_name(settings_.infile_path, session);
    char const* refusal = nullptr;
    FILE* f = open_input_file(name_.c_str(), "rb", &refusal);
    if (!f) {
        *why = "raw file " + name_ + " (" + (refusal ? refusal : std::strerror(errno)) + ")";
        return 1;
    }
    fd_ = dup(fileno(f));
    std::fclose(f);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        *why = "raw file " + name_ + " (" + std::strerror(errno) + ")";
        close();
        return 1;
    }
    const auto expected = expected_.find(session);
    const std::string state = file_state(st);
    if (expected == expected_.end() || expected->second != state) {
        *why = "raw file " + name_ + " (it is not the file rank 0 read: " + state + " here, " +
               (expected == expected_.end() ? std::string("not named by rank 0")
                                            : expected->second + " on rank 0") +
               ")";
        close();
        return 1;
    }
    session_ = session;
    const int64_t behind = static_cast<int64_t>(st.st_size) - settings_.data_offset;
    complete_ = behind > 0 ? behind / kRecordBytes : 0;
    return 0;
}

int RawEventReader::read(SessionRange sessions, int const* events, int count, int16_t* records,
                         std::string* why)
{
    const int w = settings_.waveforms;
    for (int i = 0; i < count;) {
        const int event = events[i];
        const int r = event % w;
        if (open_session(sessions.first + static_cast<long long>(event / w), why)) return 1;
        // The run of events that follow this one within its file.
        int n = 1;
        while (i + n < count && events[i + n] == event + n && r + n < w) ++n;
        if (r + n > complete_) {
            *why = "raw file " + name_ + " (it holds only " + std::to_string(complete_) +
                   " complete records behind its header, event " +
                   std::to_string(event + (complete_ > r ? complete_ - r : 0)) + " is record " +
                   std::to_string(r + (complete_ > r ? complete_ - r : 0)) + ")";
            return 1;
        }
        auto* bytes = reinterpret_cast<char*>(records + static_cast<size_t>(i) * kRecordShorts);
        const size_t want = static_cast<size_t>(n) * kRecordBytes;
        const off_t at =
            static_cast<off_t>(settings_.data_offset) + static_cast<off_t>(r) * kRecordBytes;
        size_t done = 0;
        while (done < want) {
            const ssize_t got =
                pread(fd_, bytes + done, want - done, at + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                *why = "raw file " + name_ + " (" +
                       (got < 0 ? std::strerror(errno) : "it ended early") + ")";
                close();
                return 1;
            }
            done += static_cast<size_t>(got);
        }
        i += n;
    }
    return 0;
}
