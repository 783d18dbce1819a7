// Helpers shared by the fuzz harnesses, each a single source file. They abort (a
// finding) when the system refuses what a harness needs, so a broken set-up never passes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

// Prints the message on standard error and aborts: the input is kept.
[[noreturn]] inline void fuzz_fail(const char* message) {
    fprintf(stderr, "FUZZ CHECK FAILED: %s\n", message);
    abort();
}

// A directory of the process's own in the temporary directory ($TMPDIR), made on first
// use and removed at exit. Standard output goes to /dev/null from then on.
inline const std::string& fuzz_scratch_dir() {
    static std::string dir;
    static std::error_code ignored;  // the removal at exit must not throw
    if (dir.empty()) {
        dir = std::filesystem::temp_directory_path().string() + "/qar-fuzz-XXXXXX";
        if (!mkdtemp(&dir[0]) || !freopen("/dev/null", "w", stdout))
            fuzz_fail("cannot make a scratch directory");
        atexit([] { std::filesystem::remove_all(dir, ignored); });
    }
    return dir;
}

// Writes size bytes to path, replacing the file.
inline void fuzz_write_file(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(static_cast<const char*>(data), std::streamsize(size)).flush())
        fuzz_fail("cannot write a scratch file");
}

// What dir holds, one level deep: each name with its kind, and a file's bytes
// or a link's target. Equal snapshots: nothing added, removed or changed.
inline std::map<std::string, std::string> fuzz_snapshot(const std::string& dir) {
    std::map<std::string, std::string> snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string& what = snapshot[entry.path().filename()];
        what = entry.is_symlink() ? "link:" + std::filesystem::read_symlink(entry).string()
               : entry.is_regular_file() ? "file:" : "other";
        std::ifstream in(what == "file:" ? entry.path() : "", std::ios::binary);
        what.append(std::istreambuf_iterator<char>(in), {});
    }
    return snapshot;
}
