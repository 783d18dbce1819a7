#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

void fuzz_fail(const char* message) {
    fprintf(stderr, "FUZZ CHECK FAILED: %s\n", message);
    abort();
}

const std::string& fuzz_scratch_dir() {
    static std::string dir;
    if (dir.empty()) {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/qar-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0]) || !freopen("/dev/null", "w", stdout))
            fuzz_fail("cannot make a scratch directory");
        dir = pattern;
        atexit([] { std::error_code ignored; std::filesystem::remove_all(dir, ignored); });
    }
    return dir;
}

void fuzz_write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && (size == 0 || fwrite(data, 1, size, f) == size);
    if (!f || fclose(f) != 0 || !ok) fuzz_fail("cannot write a scratch file");
}

std::map<std::string, std::string> fuzz_snapshot(const std::string& dir) {
    std::map<std::string, std::string> snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string& what = snapshot[entry.path().filename()];
        what = entry.is_symlink()        ? "link:" + std::filesystem::read_symlink(entry).string()
               : entry.is_directory()    ? "dir"
               : entry.is_regular_file() ? "file:"
                                         : "other";
        std::ifstream in(what == "file:" ? entry.path() : "", std::ios::binary);
        what.append(std::istreambuf_iterator<char>(in), {});
    }
    return snapshot;
}
