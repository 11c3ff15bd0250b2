// Reading raw event records by their numbers.

#include "raw_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "datafile.h"
#include "input_file.h"

RawEventReader::~RawEventReader() { close(); }

void RawEventReader::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int RawEventReader::read(SessionRange sessions, int event, int16_t* record, std::string* why)
{
    const long long session = sessions.first + static_cast<long long>(event / settings_.waveforms);
    const int r = event % settings_.waveforms;
    if (fd_ < 0 || session != session_) {
        close();
        name_ = settings_.infile_path + "." + std::to_string(session);
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
        session_ = session;
        const int64_t behind = static_cast<int64_t>(st.st_size) - settings_.data_offset;
        complete_ = behind > 0 ? behind / kRecordBytes : 0;
    }
    if (r >= complete_) {
        *why = "raw file " + name_ + " (it holds only " + std::to_string(complete_) +
               " complete records behind its header, event " + std::to_string(event) +
               " is record " + std::to_string(r) + ")";
        return 1;
    }
    auto* bytes = reinterpret_cast<char*>(record);
    off_t at = static_cast<off_t>(settings_.data_offset) + static_cast<off_t>(r) * kRecordBytes;
    size_t done = 0;
    while (done < static_cast<size_t>(kRecordBytes)) {
        const ssize_t n = pread(fd_, bytes + done, kRecordBytes - done, at + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "raw file " + name_ + " (" + (n < 0 ? std::strerror(errno) : "it ended early") +
                   ")";
            close();
            return 1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}
