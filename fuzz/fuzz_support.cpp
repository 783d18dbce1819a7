#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string g_scratch;

void remove_tree(const std::string& path) {
    fuzz_empty_directory(path);
    rmdir(path.c_str());
}

void remove_scratch_at_exit() {
    if (!g_scratch.empty()) remove_tree(g_scratch);
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

}  // namespace

void fuzz_fail(const char* message) {
    fprintf(stderr, "FUZZ CHECK FAILED: %s\n", message);
    fflush(stderr);
    abort();
}

const std::string& fuzz_scratch_dir() {
    if (g_scratch.empty()) {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/qar-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) fuzz_fail("cannot make a scratch directory");
        g_scratch = pattern;
        atexit(remove_scratch_at_exit);
    }
    return g_scratch;
}

void fuzz_silence_stdout() {
    if (!freopen("/dev/null", "w", stdout)) fuzz_fail("cannot redirect standard output");
}

void fuzz_write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) fuzz_fail("cannot create a scratch file");
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !ok) fuzz_fail("cannot write a scratch file");
}

void fuzz_write_file(const std::string& path, const std::string& text) {
    fuzz_write_file(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string fuzz_read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) fuzz_fail("cannot open a file to read it back");
    std::string content;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    fclose(f);
    return content;
}

void fuzz_empty_directory(const std::string& dir) {
    for (const std::string& name : names_in(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_tree(path);
        else
            unlink(path.c_str());
    }
}

std::map<std::string, std::string> fuzz_snapshot(const std::string& dir) {
    std::map<std::string, std::string> snapshot;
    for (const std::string& name : names_in(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            snapshot[name] = "file:" + fuzz_read_file(path);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            snapshot[name] = "link:" + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            snapshot[name] = "dir";
        } else {
            snapshot[name] = "other";
        }
    }
    return snapshot;
}

void fuzz_expect_same(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after, const char* what) {
    if (before == after) return;
    for (const auto& item : after) {
        auto old = before.find(item.first);
        if (old == before.end() || old->second != item.second)
            fprintf(stderr, "changed or added: %s\n", item.first.c_str());
    }
    for (const auto& item : before)
        if (!after.count(item.first)) fprintf(stderr, "removed: %s\n", item.first.c_str());
    fuzz_fail(what);
}
