// Helpers shared by the tests: child processes run in a directory of their
// own (process_posix.cpp, process_windows.cpp), temporary folders, whole files.
// A helper a system lacks has a *_missing() that says why (null when it has
// it); the tests that need the helper skip with that reason.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status;           // exit status; 128 + signal number when killed by a signal
    std::string out;      // standard output as text (see as_text)
    std::string err;      // standard error as text
    std::string raw_out;  // the same bytes as they were written
    std::string raw_err;
};

// Runs argv[0] (a path) with its arguments in directory cwd, stdin_data on
// standard input, TZ=UTC and the extra_env entries ("NAME=value") added to a
// copy of the environment.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data = "",
                          const std::vector<std::string>& extra_env = {});

// A child started like run_process and not waited for yet. read_error_line
// (read_output_line) gives the next line it writes, newline included, once it
// is complete, and what is left ("" at the end) once the child closed it;
// finish_process reads the rest, waits for the child and releases it.
struct RunningProcess;
const char* concurrent_processes_missing();
RunningProcess* start_process(const std::vector<std::string>& argv, const std::string& cwd,
                              const std::string& stdin_data = "",
                              const std::vector<std::string>& extra_env = {});
std::string read_error_line(RunningProcess* process);
std::string read_output_line(RunningProcess* process);
void terminate_process(RunningProcess* process);  // asks it to stop, as SIGTERM does
ProcessResult finish_process(RunningProcess* process);

// Runs child() in a child process that may map at most `extra` bytes more
// than this process (missing in sanitizer builds too); its exit status, -1
// when it did not exit normally.
const char* memory_limit_missing();
int run_with_memory_limit(int64_t extra, const std::function<int()>& child);

// Runs the program like run_process with a terminal as standard input on
// which only the end of input is typed.
const char* terminal_input_missing();
ProcessResult run_with_terminal_input(const std::vector<std::string>& argv,
                                      const std::string& cwd);

// The tools' text output as it reads on this system: the CR LF line ends of
// the Windows build become LF; elsewhere the bytes are unchanged.
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

// A file system of about `bytes` bytes (writes past it fail as on a full
// disk) mounted on a fresh directory until the object goes away. Where none
// can be mounted, `missing` says why and `path` is empty.
struct SmallDisk {
    TempDir mount_point;
    std::string path;
    std::string missing;
    explicit SmallDisk(int64_t bytes);
    ~SmallDisk();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);  // whole file; throws when unreadable
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);  // anything, a dangling link included
// Every regular file below a directory, by its path relative to it ('/'
// between folders), with its bytes.
std::map<std::string, std::string> directory_snapshot(const std::string& path);
std::string list_directory(const std::string& path);  // the names, sorted, one a line
// A symbolic link at path leading to target; false when this system makes none.
bool make_symlink(const std::string& target, const std::string& path);
// A file's last-write time in seconds since 1970 (UTC), read and set.
int64_t write_time(const std::string& path);
void set_write_time(const std::string& path, int64_t seconds);
// The permission bits (0750 ...), read and set; false when the system does not
// keep the bits as given.
int permissions(const std::string& path);
bool set_permissions(const std::string& path, int mode);
