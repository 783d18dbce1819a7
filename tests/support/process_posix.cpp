// The process and file-time helpers of test_support.h on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "test_support.h"

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

// In the child: standard input from in_path, output to out_fd and err_fd,
// then the program in cwd. Never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& in_path, int out_fd, int err_fd,
                             const std::vector<std::string>& extra_env) {
    dup2(open(in_path.c_str(), O_RDONLY), 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (out_fd > 2) close(out_fd);
    if (err_fd > 2 && err_fd != out_fd) close(err_fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    setenv("TZ", "UTC", 1);
    for (const std::string& e : extra_env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

namespace {

// Standard input comes from the file or terminal at in_path; standard output
// and error go through pipes, so that a file size limit set inside the child
// never cuts them.
ProcessResult run_with_input(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& in_path,
                             const std::vector<std::string>& extra_env) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (int fd : {out_pipe[0], err_pipe[0]}) close(fd);
        exec_child(argv, cwd, in_path, out_pipe[1], err_pipe[1], extra_env);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProcessResult result{0, "", "", "", ""};
    drain(out_pipe[0], err_pipe[0], &result.raw_out, &result.raw_err);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.status = wait_for(pid);
    result.out = result.raw_out;
    result.err = result.raw_err;
    return result;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data,
                          const std::vector<std::string>& extra_env) {
    TempDir io;
    write_file(io.file("in"), stdin_data);
    return run_with_input(argv, cwd, io.file("in"), extra_env);
}

const char* terminal_input_missing() { return nullptr; }

ProcessResult run_with_terminal_input(const std::vector<std::string>& argv,
                                      const std::string& cwd) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        throw std::runtime_error("no pseudo-terminal could be opened");
    const std::string in_path = ptsname(terminal);
    // Ctrl-D at the start of a line: the end of input for a reader.
    if (write(terminal, "\x04", 1) != 1) throw std::runtime_error("cannot type on the terminal");
    ProcessResult result = run_with_input(argv, cwd, in_path, {});
    close(terminal);
    return result;
}

SmallDisk::SmallDisk(int64_t bytes) {
    const ProcessResult r = run_process({"/bin/mount", "-t", "tmpfs", "-o",
                                         "size=" + std::to_string(bytes), "qar-test-disk",
                                         mount_point.path},
                                        "/");
    if (r.status != 0) {
        missing = "no small file system can be mounted here (mount: status " +
                  std::to_string(r.status) + " " + r.err + ")";
        return;
    }
    path = mount_point.path;
}

SmallDisk::~SmallDisk() {
    if (!path.empty()) run_process({"/bin/umount", path}, "/");
}

void run_and_kill(const std::vector<std::string>& argv, const std::string& cwd, long delay_us) {
    TempDir io;
    write_file(io.file("in"), "");
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0) throw std::runtime_error("cannot open /dev/null");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) exec_child(argv, cwd, io.file("in"), null_fd, null_fd, {});
    close(null_fd);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    kill(pid, SIGKILL);
    wait_for(pid);
}

struct RunningProcess {
    pid_t pid;
    int out_fd;            // -1 once the child closed it
    int err_fd;
    std::string out, err;
    size_t err_taken = 0;  // bytes of err that read_error_line has returned
    size_t out_taken = 0;  // and of out, read_output_line
    TempDir io;            // the standard input file, kept until the child ends
};

namespace {

// Reads what the child writes until both pipes are closed or stop() holds.
template <typename Stop>
void drain_until(RunningProcess* p, Stop stop) {
    int* owners[2] = {&p->out_fd, &p->err_fd};
    std::string* into[2] = {&p->out, &p->err};
    while ((p->out_fd >= 0 || p->err_fd >= 0) && !stop()) {
        pollfd fds[2] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) into[i]->append(buf, size_t(n));
            if (n == 0 || (n < 0 && errno != EINTR)) {
                close(fds[i].fd);
                *owners[i] = -1;
            }
        }
    }
}

}  // namespace

RunningProcess* start_process(const std::vector<std::string>& argv, const std::string& cwd,
                              const std::string& stdin_data,
                              const std::vector<std::string>& extra_env) {
    RunningProcess* p = new RunningProcess;
    write_file(p->io.file("in"), stdin_data);
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    p->pid = fork();
    if (p->pid < 0) throw std::runtime_error("fork failed");
    if (p->pid == 0) {
        for (int fd : {out_pipe[0], err_pipe[0]}) close(fd);
        exec_child(argv, cwd, p->io.file("in"), out_pipe[1], err_pipe[1], extra_env);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    p->out_fd = out_pipe[0];
    p->err_fd = err_pipe[0];
    return p;
}

namespace {

// The next line of one of the child's outputs; *taken counts what earlier
// calls returned of it.
std::string read_line(RunningProcess* p, const std::string& text, size_t* taken) {
    drain_until(p, [&] { return text.find('\n', *taken) != std::string::npos; });
    size_t end = text.find('\n', *taken);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(*taken, end - *taken);
    *taken = end;
    return line;
}

}  // namespace

std::string read_error_line(RunningProcess* p) { return read_line(p, p->err, &p->err_taken); }

std::string read_output_line(RunningProcess* p) { return read_line(p, p->out, &p->out_taken); }

void terminate_process(RunningProcess* p) { kill(p->pid, SIGTERM); }

ProcessResult finish_process(RunningProcess* p) {
    drain_until(p, [] { return false; });
    ProcessResult result{wait_for(p->pid), p->out, p->err, p->out, p->err};
    delete p;
    return result;
}

const char* concurrent_processes_missing() { return nullptr; }

const char* file_size_limit_missing() { return nullptr; }

int run_with_file_size_limit(int64_t limit, const std::function<int()>& child) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const struct rlimit rl = {rlim_t(limit), RLIM_INFINITY};
        signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail instead
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(child());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* memory_limit_missing() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return "the sanitizers' own memory does not fit under a limit";
#else
    return nullptr;
#endif
}

int run_with_memory_limit(int64_t extra, const std::function<int()>& child) {
    // The process's mapped size, the first figure of /proc/self/statm, in pages.
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
        throw std::runtime_error("cannot read /proc/self/statm");
    fclose(statm);
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + rlim_t(extra);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_AS, &rl);
        _exit(child());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string as_text(const std::string& bytes) { return bytes; }
