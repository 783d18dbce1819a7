// The process helpers of test_support.h on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "test_support.h"

struct RunningProcess {
    pid_t pid;
    int fds[2];            // standard output and error; -1 once the child closed one
    std::string text[2];   // what came through each so far
    size_t taken[2] = {};  // bytes of each that read_output_line / read_error_line returned
    TempDir io;            // the standard input file, kept until the child ends
};

namespace {

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
    return status;
}

// Starts the program in cwd with standard input from in_path, or (when it is
// empty) from a file of stdin_data, and standard output and error through
// pipes (the child's only copies of any other descriptor of ours close on exec).
RunningProcess* start(const std::vector<std::string>& argv, const std::string& cwd,
                      std::string in_path, const std::string& stdin_data,
                      const std::vector<std::string>& extra_env) {
    RunningProcess* p = new RunningProcess;
    if (in_path.empty()) write_file(in_path = p->io.file("in"), stdin_data);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    p->pid = fork();
    if (p->pid < 0) throw std::runtime_error("fork failed");
    if (p->pid == 0) {
        dup2(open(in_path.c_str(), O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("TZ", "UTC", 1);
        for (const std::string& e : extra_env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    p->fds[0] = out[0];
    p->fds[1] = err[0];
    return p;
}

// Reads what the child writes until both pipes are closed or stop() holds.
template <typename Stop>
void drain_until(RunningProcess* p, Stop stop) {
    while ((p->fds[0] >= 0 || p->fds[1] >= 0) && !stop()) {
        pollfd fds[2] = {{p->fds[0], POLLIN, 0}, {p->fds[1], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) p->text[i].append(buf, size_t(n));
            if (n == 0 || (n < 0 && errno != EINTR)) {
                close(p->fds[i]);
                p->fds[i] = -1;
            }
        }
    }
}

// The next line of output i (0 standard output, 1 standard error).
std::string read_line(RunningProcess* p, int i) {
    drain_until(p, [&] { return p->text[i].find('\n', p->taken[i]) != std::string::npos; });
    const size_t newline = p->text[i].find('\n', p->taken[i]);
    const size_t end = newline == std::string::npos ? p->text[i].size() : newline + 1;
    std::string line = p->text[i].substr(p->taken[i], end - p->taken[i]);
    p->taken[i] = end;
    return line;
}

}  // namespace

RunningProcess* start_process(const std::vector<std::string>& argv, const std::string& cwd,
                              const std::string& stdin_data,
                              const std::vector<std::string>& extra_env) {
    return start(argv, cwd, "", stdin_data, extra_env);
}

std::string read_output_line(RunningProcess* p) { return read_line(p, 0); }

std::string read_error_line(RunningProcess* p) { return read_line(p, 1); }

void terminate_process(RunningProcess* p) { kill(p->pid, SIGTERM); }

ProcessResult finish_process(RunningProcess* p) {
    drain_until(p, [] { return false; });
    const int status = wait_status(p->pid);
    ProcessResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                         p->text[0], p->text[1], p->text[0], p->text[1]};
    delete p;
    return result;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data,
                          const std::vector<std::string>& extra_env) {
    return finish_process(start(argv, cwd, "", stdin_data, extra_env));
}

const char* concurrent_processes_missing() { return nullptr; }
const char* terminal_input_missing() { return nullptr; }

ProcessResult run_with_terminal_input(const std::vector<std::string>& argv,
                                      const std::string& cwd) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        throw std::runtime_error("no pseudo-terminal could be opened");
    // Ctrl-D at the start of a line: the end of input for a reader.
    if (write(terminal, "\x04", 1) != 1) throw std::runtime_error("cannot type on the terminal");
    ProcessResult result = finish_process(start(argv, cwd, ptsname(terminal), "", {}));
    close(terminal);
    return result;
}

SmallDisk::SmallDisk(int64_t bytes) {
    const std::string size = "size=" + std::to_string(bytes);
    const ProcessResult r = run_process(
        {"/bin/mount", "-t", "tmpfs", "-o", size, "qar-test-disk", mount_point.path}, "/");
    if (r.status == 0)
        path = mount_point.path;
    else
        missing = "no small file system can be mounted here (mount: " + r.err + ")";
}

SmallDisk::~SmallDisk() {
    if (!path.empty()) run_process({"/bin/umount", path}, "/");
}

const char* memory_limit_missing() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return "the sanitizers' own memory does not fit under a limit";
#else
    return nullptr;
#endif
}

int run_with_memory_limit(int64_t extra, const std::function<int()>& child) {
    // The process's mapped size: the first figure of /proc/self/statm, in pages.
    const rlim_t pages = std::stoul(read_file("/proc/self/statm"));
    const rlim_t limit = pages * rlim_t(sysconf(_SC_PAGESIZE)) + rlim_t(extra);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_AS, &rl);
        _exit(child());
    }
    const int status = wait_status(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string as_text(const std::string& bytes) { return bytes; }
