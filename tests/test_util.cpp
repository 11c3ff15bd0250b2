// Helpers shared by the tests (see test_util.h). Everything a test starts,
// it waits for; temporary files and folders are removed when done.
#include "test_util.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    previous_ = buf;
    char templ[] = "/tmp/zorv_test_XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

TempDir::~TempDir()
{
    if (chdir(previous_.c_str()) != 0) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string TempDir::file(char const* name) const
{
    return path_ + "/" + name;
}

std::string capture_stdout(std::function<void()> const& fn)
{
    std::fflush(stdout);
    char templ[] = "/tmp/zorv_stdout_XXXXXX";
    int fd = mkstemp(templ);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = read_text(templ);
    std::remove(templ);
    return text;
}

bool write_text(std::string const& path, std::string const& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    return !out.fail();
}

std::string read_text(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<unsigned char> read_bytes(std::string const& path)
{
    std::string text = read_text(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

long file_size(std::string const& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

bool file_exists(std::string const& path)
{
    return file_size(path) >= 0;
}

std::vector<std::string> read_lines(std::string const& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> split_lines(std::string const& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int count_of(std::string const& text, std::string const& what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

CommandResult run_command(std::string const& command)
{
    CommandResult result{-1, "", ""};
    FILE* p = popen(command.c_str(), "r");
    if (!p) return result;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) result.output.append(buf, n);
    int status = pclose(p);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

CommandResult run_mpi(int ranks, std::string const& exe, std::string const& dir, int timeout_seconds)
{
    char errors[] = "/tmp/zorv_mpi_stderr_XXXXXX";
    int fd = mkstemp(errors);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    // timeout sends SIGTERM to mpiexec, which passes it on to the ranks; one
    // that ignores it is killed 10 s later. Its status 124 (137 after the
    // kill) means the launch was stopped.
    std::string cmd = "cd '" + dir + "' && OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
                      "OMPI_MCA_mpi_yield_when_idle=1 timeout -k 10 " +
                      std::to_string(timeout_seconds) + " " + std::string(ZORV_MPIEXEC) +
                      " --oversubscribe -n " + std::to_string(ranks) + " '" + exe + "' 2>'" +
                      errors + "'";
    CommandResult result = run_command(cmd);
    result.errors = read_text(errors);
    std::remove(errors);
    bool stopped = result.status == 124 || result.status == 137;
    if (stopped) {
        result.status = -1;
        result.errors += "(stopped after " + std::to_string(timeout_seconds) + " s)\n";
    }
    if (!result.errors.empty()) {
        std::fprintf(stderr, "--- standard error of mpiexec -n %d %s (status %d) ---\n%s---\n",
                     ranks, exe.c_str(), result.status, result.errors.c_str());
    }
    return result;
}

void write_raw_file(std::string const& path, int header,
                    std::vector<std::vector<int16_t>> const& records)
{
    std::ofstream out(path, std::ios::binary);
    std::string zeros(static_cast<size_t>(header), '\0');
    out.write(zeros.data(), header);
    for (auto const& r : records)
        out.write(reinterpret_cast<char const*>(r.data()), static_cast<std::streamsize>(r.size() * 2));
}

std::vector<std::vector<double>> read_result_file(std::string const& path)
{
    std::vector<unsigned char> bytes = read_bytes(path);
    std::vector<std::vector<double>> records;
    for (size_t off = 0; off + 72 <= bytes.size(); off += 72) {
        std::vector<double> r(9);
        std::memcpy(r.data(), bytes.data() + off, 72);
        records.push_back(r);
    }
    return records;
}
