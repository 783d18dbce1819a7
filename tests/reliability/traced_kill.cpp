#include "traced_kill.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// The position of the child's descriptor fd, from /proc; -1 when unknown.
long long file_position(pid_t pid, uint64_t fd) {
    std::string path = "/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd);
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    long long pos = -1;
    if (fscanf(f, "pos: %lld", &pos) != 1) pos = -1;
    fclose(f);
    return pos;
}

bool is_kind(pid_t pid, const __ptrace_syscall_info& info, WriteKind kind) {
    if (info.entry.nr != SYS_write || info.entry.args[0] <= 2) return false;
    long long pos = file_position(pid, info.entry.args[0]);
    // The new archive's one write also starts at 0, but is longer.
    return kind == WRITE_HEADER ? pos == 0 && info.entry.args[2] == 28 : pos == 28;
}

[[noreturn]] void exec_traced(const std::string& cwd, const std::vector<std::string>& args) {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    // The leak checker stops the world with ptrace of its own at exit,
    // which it cannot do under a tracer.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
    raise(SIGSTOP);
    std::vector<char*> raw = {const_cast<char*>(QARTOOL_PATH)};
    for (const std::string& a : args) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
}

int wait_stop(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    return status;
}

}  // namespace

TracedOutcome kill_at_write(const std::string& cwd, const std::vector<std::string>& args,
                            WriteKind kind, int nth, KillMoment moment) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) exec_traced(cwd, args);

    int status = wait_stop(pid);
    if (WIFEXITED(status)) return TRACED_UNAVAILABLE;  // PTRACE_TRACEME refused
    // Syscall stops are marked, and the child dies with this process.
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           reinterpret_cast<void*>(long(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)));
    int seen = 0;
    int pending_signal = 0;
    bool chosen = false;  // the write just entered is the one to kill after
    while (true) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(pending_signal))) !=
            0)
            throw std::runtime_error("ptrace failed");
        pending_signal = 0;
        status = wait_stop(pid);
        if (WIFEXITED(status) || WIFSIGNALED(status)) return TRACED_FINISHED;
        if (!WIFSTOPPED(status)) continue;
        const int sig = WSTOPSIG(status);
        if (sig != (SIGTRAP | 0x80)) {
            // The exec's SIGTRAP and the initial SIGSTOP are the tracer's own.
            if (sig != SIGTRAP && sig != SIGSTOP) pending_signal = sig;
            continue;
        }
        __ptrace_syscall_info info;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <=
            0) {
            // A kernel older than 5.3 cannot say which call stopped.
            kill(pid, SIGKILL);
            while (!WIFSIGNALED(status) && !WIFEXITED(status)) status = wait_stop(pid);
            return TRACED_UNAVAILABLE;
        }
        bool kill_now = false;
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY && is_kind(pid, info, kind) && ++seen == nth) {
            kill_now = moment == KILL_BEFORE;
            chosen = moment == KILL_AFTER;
        } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && chosen) {
            kill_now = true;
        }
        if (kill_now) {
            kill(pid, SIGKILL);
            while (!WIFSIGNALED(status) && !WIFEXITED(status)) status = wait_stop(pid);
            return TRACED_KILLED;
        }
    }
}
