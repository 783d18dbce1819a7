#include "name_lists.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "names.h"
#include "platform.h"

namespace {

// A list file larger than this is a mistake (a game file given by accident).
constexpr uint64_t MAX_LIST_BYTES = uint64_t(64) << 20;

bool is_list(const char* arg) { return arg[0] == '@' && arg[1] != '\0'; }

bool is_blank(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

// Reads the names of the list file path into lists->names and their places
// into *out. An empty file is a list of no names.
bool read_list(const char* path, NameLists* lists, std::vector<const char*>* out) {
    PlatInFile* file = nullptr;
    PlatFileInfo info;
    errno = 0;
    PlatReadResult result = plat_open_read(path, MAX_LIST_BYTES, &file, &info);
    std::string bytes;
    if (result == PLAT_READ_OK) {
        bytes.resize(size_t(info.size));
        size_t got = 0;
        if (plat_read_full(file, reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size(), &got))
            bytes.resize(got);
        else
            result = PLAT_READ_FAILED;
        plat_close_read(file);
    }
    if (result != PLAT_READ_OK && result != PLAT_READ_EMPTY) {
        // Where the system's call left no reason (Windows), a missing file is
        // still named as such.
        const int error = errno != 0 || result != PLAT_READ_OPEN_FAILED ? errno
                          : plat_path_exists(path)                      ? 0
                                                                        : ENOENT;
        const char* reason = result == PLAT_READ_TOO_LARGE ? "larger than 64 MiB"
                             : error != 0                  ? strerror(error)
                                                           : "not a file that can be read";
        fprintf(stderr, "ERROR: could not read list file \"%s\": %s\n",
                display_text(path).c_str(), reason);
        return false;
    }
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string name = bytes.substr(start, end - start);
        if (!name.empty() && name.back() == '\r') name.pop_back();
        start = end + 1;
        if (is_blank(name)) continue;
        lists->names.push_back(std::move(name));
        out->push_back(lists->names.back().c_str());
    }
    return true;
}

// Expands the lists among args into *out; false when one cannot be read.
bool expand(const std::vector<const char*>& args, NameLists* lists,
            std::vector<const char*>* out) {
    for (const char* arg : args) {
        if (!is_list(arg))
            out->push_back(arg);
        else if (!read_list(arg + 1, lists, out))
            return false;
    }
    return true;
}

}  // namespace

int expand_name_lists(CommandLine* line, NameLists* lists) {
    std::vector<const char*> excludes;
    if (!expand(line->excludes, lists, &excludes)) return 0;
    std::vector<const char*> files;
    if (!expand(std::vector<const char*>(line->files, line->files + line->file_count), lists,
                &files))
        return 0;
    line->excludes = excludes;
    // The names stay where they are; only the array of pointers is new.
    lists->files.clear();
    for (const char* name : files) lists->files.push_back(const_cast<char*>(name));
    line->files = lists->files.data();
    line->file_count = int(lists->files.size());
    return 1;
}
