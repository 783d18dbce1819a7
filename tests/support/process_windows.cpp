// The process helpers of test_support.h on Windows.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

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
    return quoted.append(backslashes * 2, '\\') + "\"";
}

// The environment block for the child: the extra entries, TZ=UTC, then this
// process's own entries; the first of each name counts.
std::string environment_block(const std::vector<std::string>& extra_env) {
    std::vector<std::string> entries = extra_env;
    entries.push_back("TZ=UTC");
    char* block = GetEnvironmentStringsA();
    for (const char* p = block; *p; p += strlen(p) + 1) entries.push_back(p);
    FreeEnvironmentStringsA(block);
    std::string joined;
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t name = entries[i].find('=', 1);
        bool shadowed = false;
        for (size_t j = 0; j < i; ++j)
            shadowed = shadowed || (entries[j].find('=', 1) == name &&
                                    _strnicmp(entries[i].c_str(), entries[j].c_str(), name) == 0);
        if (!shadowed) joined += entries[i] + '\0';
    }
    return joined + '\0';
}

void read_all(HANDLE pipe, std::string* into) {
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
}

}  // namespace

// Standard input comes from a file; standard output and error go through
// pipes, each drained by a thread of its own.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data,
                          const std::vector<std::string>& extra_env) {
    TempDir io;
    write_file(io.file("in"), stdin_data);
    const HANDLE in = CreateFileA(io.file("in").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + io.file("in"));
    HANDLE out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read, &out_write, nullptr, 0) ||
        !CreatePipe(&err_read, &err_write, nullptr, 0))
        throw std::runtime_error("pipe failed");
    for (HANDLE h : {in, out_write, err_write})
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    // The program file is found from here, before the child's directory applies.
    const std::string program = std::filesystem::absolute(argv[0]).string();
    std::string command;
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quote(a);
    std::string env = environment_block(extra_env);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
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
    for (HANDLE h : {in, out_write, err_write, info.hThread}) CloseHandle(h);
    ProcessResult result{0, "", "", "", ""};
    std::thread err_reader(read_all, err_read, &result.raw_err);
    read_all(out_read, &result.raw_out);
    err_reader.join();
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    for (HANDLE h : {out_read, err_read, info.hProcess}) CloseHandle(h);
    result.status = int(code);
    result.out = as_text(result.raw_out);
    result.err = as_text(result.raw_err);
    return result;
}

// Side-by-side children, a terminal as input, small disks and a memory
// limit are not built here; the tests that need them skip.
const char* concurrent_processes_missing() { return "no side-by-side children on Windows yet"; }
const char* terminal_input_missing() { return "no console as a child's input on Windows"; }
const char* memory_limit_missing() { return "no memory limit for a child on Windows"; }

struct RunningProcess {};

RunningProcess* start_process(const std::vector<std::string>&, const std::string&,
                              const std::string&, const std::vector<std::string>&) {
    throw std::runtime_error(concurrent_processes_missing());
}

std::string read_error_line(RunningProcess*) { return ""; }

std::string read_output_line(RunningProcess*) { return ""; }

void terminate_process(RunningProcess*) {}

ProcessResult finish_process(RunningProcess*) { return ProcessResult{-1, "", "", "", ""}; }

ProcessResult run_with_terminal_input(const std::vector<std::string>&, const std::string&) {
    throw std::runtime_error(terminal_input_missing());
}

int run_with_memory_limit(int64_t, const std::function<int()>&) { return -1; }

SmallDisk::SmallDisk(int64_t) : missing("Windows mounts no small file system for a test") {}

SmallDisk::~SmallDisk() {}

std::string as_text(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) text += bytes[i];
    return text;
}
