// sprtool: converts sprite tables between the binary STB file and its TXT,
// CSV, XML and JSON forms. One command per run:
//   sprtool <command> <stb_file> [<file_name>...]
// Exit status 0 when everything asked was done; 1 when the command could not
// run and nothing was changed; 2 when it ran but part of it was not done: each
// such part has had its own message, and one last line on standard error sums
// them up.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "file_replace.h"
#include "json_reader.h"
#include "platform.h"
#include "qar_version.h"
#include "sprite_table.h"
#include "text_forms.h"
#include "text_scan.h"
#include "view_commands.h"
#include "xml_json_forms.h"

namespace {

void print_usage(const char* program) {
    std::fputs("Korvath sprtool utility (Sep  7 2013)\n", stdout);
    std::printf("\nUsage: %s <command> <stb_file> [<file_name>...]\n", program);
    std::fputs("\nCommands:\n"
               "  l: list sprite table entries\n"
               "  rt: read STB and output TXT\n"
               "  rc: read STB and output CSV\n"
               "  rx: read STB and output XML\n"
               "  rj: read STB and output JSON\n"
               "  wt: input TXT and write STB\n"
               "  wc: input CSV and write STB\n"
               "  wx: input XML and write STB\n"
               "  wj: input JSON and write STB\n"
               "  v: draw the table as a web page: v <stb_file> <out.html> [<texture folder>]\n"
               "  k: check the table and list what is wrong: k <stb_file> [<texture folder>]\n"
               "\nExit status: 0 done, 1 could not run (nothing changed),\n"
               "             2 done in part (each part not done is reported)\n",
               stdout);
}

int unknown_command(const char* command) {
    std::fprintf(stderr, "ERROR: unknown command \"%s\"\n", command);
    return 1;
}

bool is_form_letter(char form) {
    return form == 't' || form == 'c' || form == 'x' || form == 'j';
}

bool same_file(const char* a, const char* b) {
    PlatFileId ia, ib;
    return plat_path_id(a, 1, &ia) && plat_path_id(b, 1, &ib) && plat_same_file(ia, ib);
}

// Flushes and, for an output file, closes the output. False when any write to
// it failed, after the message.
bool finish_output(FILE* out, const char* out_name) {
    bool ok = std::fflush(out) == 0 && !std::ferror(out);
    if (out_name) ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        if (out_name) {
            std::fprintf(stderr, "ERROR: could not write file \"%s\"\n", out_name);
        } else {
            std::fputs("ERROR: could not write to standard output\n", stderr);
        }
    }
    return ok;
}

// Prints the line that sums up a run that did part of its work (status 2).
void print_summary(const std::vector<std::string>& parts) {
    std::string line = "sprtool: ";
    for (size_t i = 0; i < parts.size(); ++i) line += (i ? ", " : "") + parts[i];
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string count_of(int n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

// The l command (form 0) and the r commands: STB file to text.
int run_read(char form, const char* stb_name, const char* out_name) {
    FILE* stb = open_source(stb_name, "rb");
    if (!stb) {
        std::fprintf(stderr, "ERROR: could not open file \"%s\" for read\n", stb_name);
        return 1;
    }
    FILE* out = stdout;
    if (out_name) {
        // Emptying the output first would destroy the table about to be read.
        if (same_file(stb_name, out_name)) {
            std::fprintf(stderr,
                         "ERROR: could not open file \"%s\" for write: it is the STB file being "
                         "read\n",
                         out_name);
            std::fclose(stb);
            return 1;
        }
        out = std::fopen(out_name, "w");
        if (!out) {
            std::fprintf(stderr, "ERROR: could not open file \"%s\" for write\n", out_name);
            std::fclose(stb);
            return 1;
        }
    }
    switch (form) {
    case 't': write_txt(out, stb); break;
    case 'c': write_csv(out, stb); break;
    case 'x': write_xml(out, stb); break;
    case 'j': write_json(out, stb); break;
    default: list_sprites(out, stb); break;
    }
    std::vector<std::string> partial;
    if (std::ferror(stb)) {
        std::fprintf(stderr, "ERROR: could not read file \"%s\" to its end\n", stb_name);
        partial.push_back("\"" + std::string(stb_name) + "\" not read to its end");
    } else {
        // The readers stop at the first short read, which has taken the tail.
        long tail = std::ftell(stb) % long(SPRITE_ENTRY_SIZE);
        if (tail > 0) {
            const std::string ignored =
                count_of(int(tail), "trailing byte", "trailing bytes") + " ignored";
            std::fprintf(stderr, "WARNING: \"%s\": %s (the size is no multiple of 52)\n",
                         stb_name, ignored.c_str());
            partial.push_back(ignored);
        }
    }
    bool ok = finish_output(out, out_name);
    std::fclose(stb);
    if (!ok) return 1;
    if (partial.empty()) return 0;
    print_summary(partial);
    return 2;
}

// One text source into the STB stream; `name` null means standard input.
void read_source(char form, FILE* stb, const char* name, ReadReport* report) {
    // Text sources are read as bytes: the readers take CR LF and LF alike
    // themselves, and a stray end-of-file character stays data.
    FILE* in = stdin;
    if (!name) {
        plat_read_bytes_as_they_are(stdin);
    } else {
        in = open_source(name, "rb");
        if (!in) {
            std::fprintf(stderr, "ERROR: could not open file \"%s\" for read\n", name);
            ++report->failed_files;
            return;
        }
    }
    const std::string path = name ? name : "";
    switch (form) {
    case 't': read_txt(stb, in, path, report); break;
    case 'c': read_csv(stb, in, path, report); break;
    case 'j': read_json(stb, in, path, report); break;
    default: read_xml(stb, in, path, report); break;
    }
    if (name) {
        finish_source(in, path, report);
    } else if (std::ferror(in)) {
        std::fputs("ERROR: could not read standard input\n", stderr);
        ++report->failed_files;
    }
}

// The w commands: text sources to a new STB file, which replaces the old one
// only when every source was read completely and the new table was written.
int run_write(char form, const char* stb_name, int input_count, char** inputs) {
    if (form == 'x' && input_count == 0) {
        std::fputs("ERROR: cannot read XML from standard in :(\n", stderr);
        return 1;
    }
    for (int i = 0; i < input_count; ++i) {
        // The table would replace the text it is made from.
        if (same_file(stb_name, inputs[i])) {
            std::fprintf(stderr,
                         "ERROR: could not open file \"%s\" for write: it is also an input\n",
                         stb_name);
            return 1;
        }
    }
    FileReplacement stb;
    if (!begin_replacement(stb_name, &stb)) {
        std::fprintf(stderr, "ERROR: could not open file \"%s\" for write: %s\n", stb_name,
                     std::strerror(errno));
        return 1;
    }
    ReadReport report;
    if (input_count == 0) read_source(form, stb.stream, nullptr, &report);
    for (int i = 0; i < input_count; ++i) read_source(form, stb.stream, inputs[i], &report);
    if (report.failed_files > 0) {
        abandon_replacement(&stb);
        std::fprintf(stderr, "sprtool: %s could not be read, \"%s\" not written\n",
                     count_of(report.failed_files, "file", "files").c_str(), stb_name);
        return 1;
    }
    if (!commit_replacement(&stb)) {
        std::fprintf(stderr, "ERROR: could not write file \"%s\": %s failed: %s\n", stb_name,
                     stb.failed, std::strerror(stb.error));
        return 1;
    }
    std::vector<std::string> partial;
    if (report.skipped > 0) {
        const bool rows = form == 't' || form == 'c';
        partial.push_back(
            count_of(report.skipped, rows ? "row" : "sprite", rows ? "rows" : "sprites") +
            " skipped");
    }
    if (report.out_of_range > 0) {
        partial.push_back(count_of(report.out_of_range, "number", "numbers") +
                          " not stored as written");
    }
    if (partial.empty()) return 0;
    print_summary(partial);
    return 2;
}

// Another sprtool replaces the same table; said once, after a second.
void print_waiting(const char* path) {
    std::fprintf(stderr, "waiting for another process to finish writing \"%s\"\n", path);
}

}  // namespace

int main(int argc, char** argv) {
    set_replacement_wait_notice(print_waiting);
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        print_usage(argv[0] ? argv[0] : "sprtool");
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("sprtool %s\n", QAR_TOOLS_VERSION);
        return 0;
    }
    if (argc < 3) {
        print_usage(argc > 0 && argv[0] ? argv[0] : "sprtool");
        return 0;
    }
    const char* command = argv[1];
    char kind = static_cast<char>(std::tolower(static_cast<unsigned char>(command[0])));
    char form = kind ? static_cast<char>(std::tolower(static_cast<unsigned char>(command[1]))) : 0;
    if (kind == 'l') return run_read(0, argv[2], argc > 3 ? argv[3] : nullptr);
    if (kind == 'r' && is_form_letter(form)) {
        return run_read(form, argv[2], argc > 3 ? argv[3] : nullptr);
    }
    if (kind == 'w' && is_form_letter(form)) return run_write(form, argv[2], argc - 3, argv + 3);
    if (kind == 'v') return run_view_command(argc - 2, argv + 2);
    if (kind == 'k') return run_check_command(argc - 2, argv + 2);
    return unknown_command(command);
}
