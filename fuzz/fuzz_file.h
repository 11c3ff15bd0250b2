// What both fuzz targets share: the readers under test take their input from
// a file in the working directory, so each target works in a directory of
// its own and writes every input to that file before the reader runs.
#ifndef ZORV_FUZZ_FILE_H
#define ZORV_FUZZ_FILE_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_file {

inline std::string& work_dir()
{
    static std::string dir;
    return dir;
}

inline std::string& input_name()
{
    static std::string name;
    return name;
}

inline void remove_work_dir()
{
    std::remove(input_name().c_str());
    if (!work_dir().empty()) rmdir(work_dir().c_str());
}

// Makes a fresh directory (in memory when /dev/shm is there) the working
// directory, removed at exit, and silences standard output: the readers echo
// what they read, and the fuzzer's own report goes to standard error.
inline void enter_work_dir(char const* tag, char const* name)
{
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string dir = base + "/zorv_fuzz_" + tag + "_XXXXXX";
    if (!mkdtemp(&dir[0]) || chdir(dir.c_str()) != 0) std::abort();
    work_dir() = dir;
    input_name() = name;
    std::atexit(remove_work_dir);
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

// Writes one input to the reader's file.
inline void write_input(uint8_t const* data, size_t size)
{
    FILE* fp = std::fopen(input_name().c_str(), "wb");
    if (!fp) std::abort();
    if (size && std::fwrite(data, 1, size, fp) != size) std::abort();
    if (std::fclose(fp) != 0) std::abort();
}

}  // namespace fuzz_file

#endif
