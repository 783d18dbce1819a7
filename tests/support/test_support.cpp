#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// Reads what the child writes to its two pipes until both are closed.
void drain(int out_fd, int err_fd, std::string* out, std::string* err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* into[2] = {out, err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) into[i]->append(buf, size_t(n));
            if (n == 0 || (n < 0 && errno != EINTR)) fds[i].fd = -1;
        }
    }
}

}  // namespace

// Standard input comes from a file; standard output and error go through
// pipes, so that a file size limit set inside the child never cuts them.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data,
                          const std::vector<std::string>& extra_env) {
    TempDir io;
    write_file(io.file("in"), stdin_data);
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(open(io.file("in").c_str(), O_RDONLY), 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("TZ", "UTC", 1);
        for (const std::string& e : extra_env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProcessResult result{0, "", ""};
    drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "qartest-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(data.data(), std::streamsize(data.size()));
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool make_symlink(const std::string& target, const std::string& path) {
    std::error_code ec;
    std::filesystem::create_symlink(target, path, ec);
    return !ec && std::filesystem::is_symlink(path, ec);
}

namespace {

// Seconds between the epoch of the file clock and 1970, found by reading both
// clocks; whole seconds, so that the moment of reading does not show.
int64_t file_clock_offset() {
    using namespace std::chrono;
    const auto file_now = std::filesystem::file_time_type::clock::now().time_since_epoch();
    const auto system_now = system_clock::now().time_since_epoch();
    return int64_t(std::llround(duration<double>(file_now - system_now).count()));
}

}  // namespace

int64_t write_time(const std::string& path) {
    using namespace std::chrono;
    const auto since = std::filesystem::last_write_time(path).time_since_epoch();
    return duration_cast<seconds>(since).count() - file_clock_offset();
}

void set_write_time(const std::string& path, int64_t seconds) {
    const auto since = std::chrono::seconds(seconds + file_clock_offset());
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type(
                  std::chrono::duration_cast<std::filesystem::file_time_type::duration>(since)));
}

int permissions(const std::string& path) {
    return int(std::filesystem::status(path).permissions() & std::filesystem::perms::mask);
}

bool set_permissions(const std::string& path, int mode) {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms(mode), ec);
    return !ec && permissions(path) == mode;
}
