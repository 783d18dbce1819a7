// Helpers of the process-level reliability tests: a deterministic tree of
// files to add, qartool runs that can be killed or limited in file size, and
// the checks that an archive left behind holds a prefix of the walk with
// every byte intact.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

// Files under `root` (a directory `tree` inside the test's scratch
// directory): a few nested directories, mostly small files and some larger
// ones, compressible and not. Every file name is unique, lower case and at
// most 16 bytes, so that the archive's flat name space holds them all.
struct FileTree {
    std::string root;                            // path of the tree's top directory
    std::map<std::string, std::string> content;  // bare name -> bytes
};
FileTree make_file_tree(const std::string& parent, uint32_t seed, int file_count);

// The first n bytes of a file (fewer when it is shorter).
std::string read_file_prefix(const std::string& path, size_t n);

// The number of trials a test runs: the environment variable's value when
// it is set (soak.sh sets a large one), else the fallback.
int trials_from_env(const char* name, int fallback);

// True when the trials should stop early: the variable is not set, a few
// trials (10) have run, and more than a dozen seconds have passed since start,
// so that slow builds (the sanitizer one) keep the suite quick.
bool trial_budget_spent(const char* name, int done, std::chrono::steady_clock::time_point start);

// Runs qartool in cwd and waits for it.
ProcessResult run_qartool(const std::string& cwd, const std::vector<std::string>& args);

// A qartool started in the background; its standard error goes to a pipe.
struct Child {
    pid_t pid;
    int err_fd;  // read end of the standard error pipe; owned until finish_child
};

// Starts qartool in cwd with standard output discarded. With fsize_limit >= 0
// the child first lowers its RLIMIT_FSIZE to that many bytes and ignores
// SIGXFSZ, so writes past the limit fail with EFBIG as on a full disk.
Child start_qartool(const std::string& cwd, const std::vector<std::string>& args,
                    int64_t fsize_limit = -1);

// Reads the child's standard error to its end, waits for it and closes the
// pipe. The status is the exit status, or 128 + the signal that ended it.
ProcessResult finish_child(Child child);

// The bare names of "file: " progress lines of an add, in order.
std::vector<std::string> walk_from_progress(const std::string& add_output);

// The rows of a listing, as (index, name), ordered by index. Fills *problem
// when a row cannot be read.
std::vector<std::pair<int, std::string>> listed_records(const std::string& listing,
                                                        std::string* problem);

// Lists and extracts the archive (in a fresh directory) and checks that it
// holds exactly the first records of `walk`, in walk order, each extracted
// byte for byte as in the tree. Returns "" when all holds, else what did not;
// *count receives the number of records found.
std::string check_walk_prefix(const std::string& cwd, const std::string& archive,
                              const FileTree& tree, const std::vector<std::string>& walk,
                              size_t* count);
