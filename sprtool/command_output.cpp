#include "command_output.h"

#include <cerrno>
#include <cstring>

#include "sprite_table.h"
#include "text_scan.h"

bool begin_output(const char* name, FileReplacement* out) {
    if (begin_replacement(name, out)) return true;
    report_open_failure(name, "write", errno);
    return false;
}

bool commit_output(const char* name, FileReplacement* out) {
    if (commit_replacement(out)) return true;
    std::fprintf(stderr, "ERROR: could not write file \"%s\": %s failed: %s\n", name, out->failed,
                 std::strerror(out->error));
    return false;
}

bool finish_standard_output() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fputs("ERROR: could not write to standard output\n", stderr);
    return false;
}

std::string count_of(int n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

void print_summary(const std::vector<std::string>& parts) {
    std::string line = "sprtool: ";
    for (size_t i = 0; i < parts.size(); ++i) line += (i ? ", " : "") + parts[i];
    std::fprintf(stderr, "%s\n", line.c_str());
}

void note_table_end(FILE* stb, const char* stb_name, std::vector<std::string>* parts) {
    if (std::ferror(stb)) {
        std::fprintf(stderr, "ERROR: could not read file \"%s\" to its end\n", stb_name);
        parts->push_back("\"" + std::string(stb_name) + "\" not read to its end");
        return;
    }
    // The readers stop at the first short read, which has taken the tail.
    long tail = std::ftell(stb) % long(SPRITE_ENTRY_SIZE);
    if (tail > 0) {
        const std::string ignored =
            count_of(int(tail), "trailing byte", "trailing bytes") + " ignored";
        std::fprintf(stderr, "WARNING: \"%s\": %s (the size is no multiple of 52)\n", stb_name,
                     ignored.c_str());
        parts->push_back(ignored);
    }
}
