// Small helpers shared by the tests: temporary working directories, captured
// standard output, files, and launching programs (under mpiexec).
#ifndef ZORV_TEST_UTIL_H
#define ZORV_TEST_UTIL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Creates a fresh directory under /tmp and makes it the working directory;
// the destructor goes back and removes it with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    std::string const& path() const { return path_; }
    // path() + "/" + name.
    std::string file(char const* name) const;

private:
    std::string path_;
    std::string previous_;
};

// Runs fn with standard output redirected and returns what it printed.
std::string capture_stdout(std::function<void()> const& fn);

// False when the file could not be written.
bool write_text(std::string const& path, std::string const& text);
std::string read_text(std::string const& path);
std::vector<unsigned char> read_bytes(std::string const& path);
long file_size(std::string const& path);  // -1 when missing
bool file_exists(std::string const& path);
std::vector<std::string> read_lines(std::string const& path);
// The lines of text without their '\n'; a final '\n' ends the last line
// rather than starting an empty one ("a\nb\n" and "a\nb" give {"a", "b"}).
std::vector<std::string> split_lines(std::string const& text);
// Number of (possibly overlapping) occurrences of `what` in `text`.
int count_of(std::string const& text, std::string const& what);

struct CommandResult {
    int status;          // exit status of the command, -1 if it did not exit
    std::string output;  // standard output
    std::string errors;  // standard error (run_mpi only)
};

// Runs a shell command and collects its output.
CommandResult run_command(std::string const& command);

// Runs `exe` under mpiexec with `ranks` ranks in directory `dir`, as root if
// need be, with more ranks than cores and with waiting ranks yielding. A
// launch still running after `timeout_seconds` is stopped (the ranks with
// it) and gives status -1, so that a deadlock fails the test instead of
// hanging it. The result holds the program's standard output and, in
// `errors`, what the launcher and the ranks wrote to standard error; that is
// also copied to the test's standard error, which ctest shows when the test
// fails.
CommandResult run_mpi(int ranks, std::string const& exe, std::string const& dir,
                      int timeout_seconds = 120);

// A raw waveform file: `header` zero bytes, then the records, each 5,000
// values (sample k of channel c at 2k + c).
void write_raw_file(std::string const& path, int header,
                    std::vector<std::vector<int16_t>> const& records);

// Reads a result file as records of 9 doubles.
std::vector<std::vector<double>> read_result_file(std::string const& path);

#endif
