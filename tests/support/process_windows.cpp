// The process and file-time helpers of test_support.h on Windows.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() { reset(); }
    void reset() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes double only before a quote.
std::string quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

bool same_variable(const std::string& a, const std::string& b) {
    size_t na = a.find('=', 1), nb = b.find('=', 1);
    return na == nb && _strnicmp(a.c_str(), b.c_str(), na) == 0;
}

// The environment block for the child: this process's own, with TZ=UTC and
// the extra entries replacing any of the same name.
std::string environment_block(const std::vector<std::string>& extra_env) {
    std::vector<std::string> entries;
    char* block = GetEnvironmentStringsA();
    for (const char* p = block; *p; p += strlen(p) + 1) entries.push_back(p);
    FreeEnvironmentStringsA(block);
    std::vector<std::string> added = {"TZ=UTC"};
    added.insert(added.end(), extra_env.begin(), extra_env.end());
    for (const std::string& e : added) {
        for (size_t i = 0; i < entries.size();)
            if (same_variable(entries[i], e))
                entries.erase(entries.begin() + long(i));
            else
                ++i;
        entries.push_back(e);
    }
    std::string joined;
    for (const std::string& e : entries) joined += e + '\0';
    return joined + '\0';
}

HANDLE inheritable(HANDLE h) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

void read_all(HANDLE pipe, std::string* into) {
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
}

// Starts the program with the three standard handles; the caller owns the
// returned process handle.
HANDLE start(const std::vector<std::string>& argv, const std::string& cwd, HANDLE in, HANDLE out,
             HANDLE err, const std::vector<std::string>& extra_env) {
    // The program file is found from here, before the child's directory applies.
    std::string program = std::filesystem::absolute(argv[0]).string();
    std::string command;
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quote(a);
    std::string env = environment_block(extra_env);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info;
    // wine now and then fails a start with ERROR_INTERNAL_ERROR when the
    // machine is busy; a second attempt starts the program.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                 &env[0], cwd.c_str(), &startup, &info);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    if (!started)
        throw std::runtime_error("cannot start " + program + ": error " +
                                 std::to_string(GetLastError()));
    CloseHandle(info.hThread);
    return info.hProcess;
}

HANDLE open_input(const std::string& path) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    return h;
}

int exit_status(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return int(code);
}

}  // namespace

// Standard input comes from a file; standard output and error go through
// pipes, each drained by a thread of its own.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data,
                          const std::vector<std::string>& extra_env) {
    TempDir io;
    write_file(io.file("in"), stdin_data);
    Handle in, out_read, out_write, err_read, err_write, process;
    in.h = open_input(io.file("in"));
    if (!CreatePipe(&out_read.h, &out_write.h, nullptr, 0) ||
        !CreatePipe(&err_read.h, &err_write.h, nullptr, 0))
        throw std::runtime_error("pipe failed");
    process.h = start(argv, cwd, in.h, inheritable(out_write.h), inheritable(err_write.h),
                      extra_env);
    out_write.reset();  // the child's copies are the only writers left
    err_write.reset();
    ProcessResult result{0, "", "", "", ""};
    std::thread err_reader(read_all, err_read.h, &result.raw_err);
    read_all(out_read.h, &result.raw_out);
    err_reader.join();
    result.status = exit_status(process.h);
    result.out = as_text(result.raw_out);
    result.err = as_text(result.raw_err);
    return result;
}

void run_and_kill(const std::vector<std::string>& argv, const std::string& cwd, long delay_us) {
    TempDir io;
    write_file(io.file("in"), "");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    Handle in, null_out, process;
    in.h = open_input(io.file("in"));
    null_out.h = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
    process.h = start(argv, cwd, in.h, null_out.h, null_out.h, {});
    if (WaitForSingleObject(process.h, DWORD(delay_us / 1000)) == WAIT_TIMEOUT)
        TerminateProcess(process.h, 137);
    WaitForSingleObject(process.h, INFINITE);
}

// Side-by-side children are not built here yet; the tests that need them skip.
struct RunningProcess {};

RunningProcess* start_process(const std::vector<std::string>&, const std::string&,
                              const std::string&, const std::vector<std::string>&) {
    throw std::runtime_error(concurrent_processes_missing());
}

std::string read_error_line(RunningProcess*) { return ""; }

std::string read_output_line(RunningProcess*) { return ""; }

void terminate_process(RunningProcess*) {}

ProcessResult finish_process(RunningProcess*) { return ProcessResult{-1, "", "", "", ""}; }

const char* terminal_input_missing() {
    return "a console cannot be given to a child process as its standard input here";
}

ProcessResult run_with_terminal_input(const std::vector<std::string>&, const std::string&) {
    throw std::runtime_error(terminal_input_missing());
}

SmallDisk::SmallDisk(int64_t) : missing("Windows mounts no small file system for a test") {}

SmallDisk::~SmallDisk() {}

const char* concurrent_processes_missing() {
    return "the test support starts no child processes side by side on Windows yet";
}

const char* file_size_limit_missing() {
    return "Windows has no limit on the size of the files a process writes (ulimit -f)";
}

int run_with_file_size_limit(int64_t, const std::function<int()>&) { return -1; }

const char* memory_limit_missing() {
    return "these tests cannot limit a child process's memory on Windows";
}

int run_with_memory_limit(int64_t, const std::function<int()>&) { return -1; }

std::string as_text(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) text += bytes[i];
    return text;
}

