// Helpers shared by the end-to-end tests: run a program as a child process in
// a directory of its own, and read and write whole files. The process helpers
// have one implementation per system (process_posix.cpp, process_windows.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status;        // exit status; 128 + signal number when killed by a signal
    std::string out;   // everything written to standard output, as text (see as_text)
    std::string err;   // everything written to standard error, as text
    std::string raw_out;  // the same bytes as they were written
    std::string raw_err;
};

// Runs argv[0] (a path) with the given arguments in directory cwd, feeding
// stdin_data on standard input. extra_env entries ("NAME=value") are added to
// a copy of the environment; TZ=UTC is always set. The program sees argv[0]
// as it is given.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data = "",
                          const std::vector<std::string>& extra_env = {});

// Starts the program like run_process, its output thrown away, and kills it
// outright (no chance to clean up) after delay_us microseconds unless it has
// ended by then; returns once it is gone.
void run_and_kill(const std::vector<std::string>& argv, const std::string& cwd, long delay_us);

// A child process started and not yet waited for; finish_process ends it.
// Only where concurrent_processes_missing() is null.
struct RunningProcess;
RunningProcess* start_process(const std::vector<std::string>& argv, const std::string& cwd,
                              const std::string& stdin_data = "",
                              const std::vector<std::string>& extra_env = {});
// The next line the child writes to standard error, its newline included;
// blocks until the line is complete. What is left when the child closed it
// (possibly "") at the end. Everything read stays in the result's err.
std::string read_error_line(RunningProcess* process);
// The same for standard output; everything read stays in the result's out.
std::string read_output_line(RunningProcess* process);
// Asks the child to stop as a termination request from outside does
// (SIGTERM); finish_process still waits for it.
void terminate_process(RunningProcess* process);
// Reads the rest of both outputs, waits for the child and releases it.
ProcessResult finish_process(RunningProcess* process);

// Why these helpers cannot run children side by side here, or null when
// they can. Tests that need it skip with this reason.
const char* concurrent_processes_missing();

// Why this system cannot limit the size of the files a process writes, or
// null when it can. Tests that need the limit skip with this reason.
const char* file_size_limit_missing();

// Runs child() in a child process whose files cannot grow past limit bytes
// (writes past it fail as on a full disk) and returns its exit status, -1
// when it did not exit normally. Only where file_size_limit_missing() is null.
int run_with_file_size_limit(int64_t limit, const std::function<int()>& child);

// Why this system cannot give a child process a terminal as its standard
// input, or null when it can. Tests that need it skip with this reason.
const char* terminal_input_missing();

// Runs the program like run_process, with a terminal as its standard input
// on which nothing is typed but the end of input, so that a program that
// reads it anyway ends. Only where terminal_input_missing() is null.
ProcessResult run_with_terminal_input(const std::vector<std::string>& argv,
                                      const std::string& cwd);

// Why this system (or this build: the sanitizers map memory of their own)
// cannot limit the memory a child process maps, or null when it can.
const char* memory_limit_missing();

// Runs child() in a child process that may map at most `extra` bytes more
// than the test process has mapped when it starts the child, and returns its
// exit status, -1 when it did not exit normally. Only where
// memory_limit_missing() is null.
int run_with_memory_limit(int64_t extra, const std::function<int()>& child);

// Text as the tools' text outputs read on this system: CR LF line ends (the
// Windows build writes them) become LF; elsewhere the bytes are unchanged.
std::string as_text(const std::string& bytes);

// A fresh directory under the system's temporary folder, removed with all its
// contents when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// A file system of about `bytes` bytes mounted on a fresh directory, where a
// write past its size fails as on a full disk; unmounted and removed when the
// object goes away. When none can be mounted here (no permission, no such
// file system), `missing` says why and `path` is empty; tests then skip.
struct SmallDisk {
    std::string path;
    std::string missing;
    explicit SmallDisk(int64_t bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    TempDir mount_point;  // the directory it is mounted on
};

std::string read_file(const std::string& path);   // whole file; throws when unreadable
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);         // anything, a dangling link included

// Every regular file below a directory, by its path relative to it ('/'
// between folders), with its bytes.
std::map<std::string, std::string> directory_snapshot(const std::string& path);

// The names in a directory, sorted, one per line.
std::string list_directory(const std::string& path);

// A symbolic link at path leading to target; false when this system makes none.
bool make_symlink(const std::string& target, const std::string& path);
// A file's last-write time in seconds since 1970 (UTC), read and set.
int64_t write_time(const std::string& path);
void set_write_time(const std::string& path, int64_t seconds);
// The permission bits of a file (0750 ...), read and set. set_permissions is
// false when the system does not keep the bits as given.
int permissions(const std::string& path);
bool set_permissions(const std::string& path, int mode);
