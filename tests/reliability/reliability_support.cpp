#include "reliability_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

std::string random_bytes(std::mt19937& rng, size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(rng() & 0xFF);
    return bytes;
}

// Text with enough repetition for the compressors to shorten it.
std::string compressible_bytes(std::mt19937& rng, size_t n) {
    static const char* const words[] = {"sprite ", "texture ", "korvath ", "level ", "map\n",
                                        "0x00ff ", "door ",    "key ",     "wall\t"};
    std::string text;
    while (text.size() < n) text += words[rng() % 9];
    text.resize(n);
    return text;
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + path);
}

}  // namespace

FileTree make_file_tree(const std::string& parent, uint32_t seed, int file_count) {
    std::mt19937 rng(seed);
    FileTree tree;
    tree.root = parent + "/tree";
    const std::string dirs[] = {tree.root, tree.root + "/maps", tree.root + "/maps/old",
                                tree.root + "/sound"};
    for (const std::string& d : dirs) make_dir(d);
    for (int i = 0; i < file_count; ++i) {
        // Mostly small files, so that a kill often lands between the writes
        // of one append, and a few larger ones that take a while to store.
        size_t size;
        int kind = int(rng() % 20);
        if (kind < 15)
            size = 1 + rng() % 300;
        else if (kind < 19)
            size = 500 + rng() % 4000;
        else
            size = 8000 + rng() % 16000;
        std::string name = "f" + std::to_string(i) + (rng() % 2 ? ".dat" : ".txt");
        std::string bytes =
            rng() % 3 == 0 ? random_bytes(rng, size) : compressible_bytes(rng, size);
        write_file(dirs[rng() % 4] + "/" + name, bytes);
        tree.content[name] = bytes;
    }
    return tree;
}

std::string read_file_prefix(const std::string& path, size_t n) {
    std::string bytes(n, '\0');
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot read " + path);
    bytes.resize(fread(&bytes[0], 1, n, f));
    fclose(f);
    return bytes;
}

int trials_from_env(const char* name, int fallback) {
    const char* text = getenv(name);
    return text && atoi(text) > 0 ? atoi(text) : fallback;
}

bool trial_budget_spent(const char* name, int done, std::chrono::steady_clock::time_point start) {
    const int min_trials = 10;
    const double budget_seconds = 12;
    return getenv(name) == nullptr && done >= min_trials &&
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
               budget_seconds;
}

ProcessResult run_qartool(const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QARTOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, cwd);
}

Child start_qartool(const std::string& cwd, const std::vector<std::string>& args,
                    int64_t fsize_limit) {
    std::vector<std::string> argv = {QARTOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    int err_pipe[2];
    if (pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid != 0) {
        close(err_pipe[1]);
        return Child{pid, err_pipe[0]};
    }
    // Child: set up the streams and the limit, then exec. A pipe is not
    // subject to the file size limit, so every message gets through.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(null_fd, 1);
    dup2(err_pipe[1], 2);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (fsize_limit >= 0) {
        struct rlimit limit = {rlim_t(fsize_limit), rlim_t(fsize_limit)};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    setenv("TZ", "UTC", 1);
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
}

ProcessResult finish_child(Child child) {
    ProcessResult result{0, "", ""};
    char buffer[4096];
    ssize_t n;
    while ((n = read(child.err_fd, buffer, sizeof buffer)) != 0) {
        if (n > 0)
            result.err.append(buffer, size_t(n));
        else if (errno != EINTR)
            break;
    }
    close(child.err_fd);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> walk_from_progress(const std::string& add_output) {
    std::vector<std::string> walk;
    std::istringstream lines(add_output);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, 6, "file: ") == 0) walk.push_back(line.substr(6));
    return walk;
}

std::vector<std::pair<int, std::string>> listed_records(const std::string& listing,
                                                        std::string* problem) {
    std::vector<std::pair<int, std::string>> rows;
    std::istringstream lines(listing);
    std::string line;
    int line_number = 0;
    while (std::getline(lines, line)) {
        ++line_number;
        // Two heading lines, then rows up to the closing separator.
        if (line_number <= 2) continue;
        if (line.compare(0, 5, "-----") == 0) break;
        int index = 0;
        char name[64] = {};
        if (sscanf(line.c_str(), "%d %63s", &index, name) != 2) {
            *problem = "unreadable listing row: " + line;
            return rows;
        }
        rows.emplace_back(index, name);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::string check_walk_prefix(const std::string& cwd, const std::string& archive,
                              const FileTree& tree, const std::vector<std::string>& walk,
                              size_t* count) {
    *count = 0;
    ProcessResult list = run_qartool(cwd, {"l", archive});
    if (list.status != 0) return "list failed: " + list.err;
    std::string problem;
    std::vector<std::pair<int, std::string>> rows = listed_records(list.out, &problem);
    if (!problem.empty()) return problem;
    *count = rows.size();
    if (rows.size() > walk.size()) return "more records than files";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].first != int(i) || rows[i].second != walk[i])
            return "record " + std::to_string(i) + " is " + rows[i].second + " (index " +
                   std::to_string(rows[i].first) + "), the walk has " + walk[i] + " there";
    }

    TempDir out;
    ProcessResult extract = run_qartool(out.path, {"x", cwd + "/" + archive});
    if (extract.status != 0 || !extract.err.empty()) return "extract failed: " + extract.err;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out.path)) {
        (void)entry;
        ++files;
    }
    if (files != rows.size()) return "extract wrote " + std::to_string(files) + " files";
    for (const auto& row : rows) {
        if (read_file(out.file(row.second)) != tree.content.at(row.second))
            return "bytes of " + row.second + " differ";
    }
    return "";
}
