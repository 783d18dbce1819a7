// Helpers shared by the end-to-end tests: run a program as a child process in
// a directory of its own, and read and write whole files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
    int status;        // exit status; 128 + signal number when killed by a signal
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
};

// Runs argv[0] (a path) with the given arguments in directory cwd, feeding
// stdin_data on standard input. extra_env entries ("NAME=value") are added to
// a copy of the environment; TZ=UTC is always set.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& stdin_data = "",
                          const std::vector<std::string>& extra_env = {});

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

std::string read_file(const std::string& path);   // whole file; throws when unreadable
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

// A symbolic link at path leading to target; false when this system makes none.
bool make_symlink(const std::string& target, const std::string& path);
// A file's last-write time in seconds since 1970 (UTC), read and set.
int64_t write_time(const std::string& path);
void set_write_time(const std::string& path, int64_t seconds);
// The permission bits of a file (0750 ...), read and set. set_permissions is
// false when the system does not keep the bits as given.
int permissions(const std::string& path);
bool set_permissions(const std::string& path, int mode);
