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

#include "command_output.h"
#include "file_names.h"
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

// The l command (form 0) and the r commands: the STB file files[0] to text,
// on standard output or into the file files[1], which is replaced as a whole.
int run_read(char form, int file_count, char** files) {
    const std::string command = form ? std::string("r") + form : std::string("l");
    // A wildcard that matched several tables would have the first one's text
    // written over the second.
    if (file_count > 2) {
        std::fprintf(stderr,
                     "ERROR: %s reads one STB file and writes at most one output file, "
                     "but %d file names were given\n",
                     command.c_str(), file_count);
        return 1;
    }
    const char* stb_name = files[0];
    const char* out_name = file_count > 1 ? files[1] : nullptr;
    if (out_name && has_suffix(out_name, ".stb")) {
        std::fprintf(stderr,
                     "ERROR: not writing to \"%s\": the output of %s is text, and the name "
                     "is that of an STB file\n",
                     out_name, command.c_str());
        return 1;
    }
    FILE* stb = open_source(stb_name, "rb");
    if (!stb) {
        report_open_failure(stb_name, "read", errno);
        return 1;
    }
    FILE* out = stdout;
    FileReplacement replacement;
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
        if (!begin_output(out_name, &replacement)) {
            std::fclose(stb);
            return 1;
        }
        out = replacement.stream;
        plat_write_lines_as_text(out);
    }
    switch (form) {
    case 't': write_txt(out, stb); break;
    case 'c': write_csv(out, stb); break;
    case 'x': write_xml(out, stb); break;
    case 'j': write_json(out, stb); break;
    default: list_sprites(out, stb); break;
    }
    std::vector<std::string> partial;
    note_table_end(stb, stb_name, &partial);
    std::fclose(stb);
    const bool ok = out_name ? commit_output(out_name, &replacement) : finish_standard_output();
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
            report_open_failure(name, "read", errno);
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

// What a W command's reading passed over or stored other than written, one
// part of the summary line per kind.
std::vector<std::string> reading_notes(const ReadReport& report, char form) {
    std::vector<std::string> parts;
    if (report.skipped > 0) {
        const bool rows = form == 't' || form == 'c';
        parts.push_back(
            count_of(report.skipped, rows ? "row" : "sprite", rows ? "rows" : "sprites") +
            " skipped");
    }
    static const char* const kinds[NOTE_KINDS][2] = {
        {"number not stored as written", "numbers not stored as written"},
        {"name or texture cut", "names or textures cut"},
        {"row with missing fields", "rows with missing fields"},
        {"element skipped", "elements skipped"},
        {"attribute ignored", "attributes ignored"},
    };
    for (int kind = 0; kind < NOTE_KINDS; ++kind) {
        if (report.noted[kind] > 0)
            parts.push_back(count_of(report.noted[kind], kinds[kind][0], kinds[kind][1]));
    }
    return parts;
}

// The w commands: text sources to a new STB file, which replaces the old one
// only when every source was read completely and the new table was written.
int run_write(char form, const char* stb_name, int input_count, char** inputs) {
    // The names given the other way round would put a table over the text.
    for (const char* text_suffix : {".txt", ".csv", ".xml", ".json"}) {
        if (has_suffix(stb_name, text_suffix)) {
            std::fprintf(stderr,
                         "ERROR: not writing a table over \"%s\": an STB file name does not "
                         "end in %s (the STB file comes first)\n",
                         stb_name, text_suffix);
            return 1;
        }
    }
    if (form == 'x' && input_count == 0) {
        std::fputs("ERROR: no input file given: XML is read from files only\n", stderr);
        return 1;
    }
    if (input_count == 0 && plat_is_terminal(stdin)) {
        std::fputs("ERROR: no input file given, and standard input is a terminal\n", stderr);
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
    if (!begin_output(stb_name, &stb)) return 1;
    ReadReport report;
    if (input_count == 0) read_source(form, stb.stream, nullptr, &report);
    for (int i = 0; i < input_count; ++i) read_source(form, stb.stream, inputs[i], &report);
    if (report.failed_files > 0) {
        abandon_replacement(&stb);
        std::fprintf(stderr, "sprtool: %s could not be read, \"%s\" not written\n",
                     count_of(report.failed_files, "file", "files").c_str(), stb_name);
        return 1;
    }
    std::vector<std::string> partial = reading_notes(report, form);
    // Rows were there and none gave a sprite: a file of another form, most
    // likely, whose empty table must not replace the old one.
    if (std::ftell(stb.stream) == 0 && (report.skipped > 0 || report.noted[NOTE_ELEMENT] > 0)) {
        abandon_replacement(&stb);
        partial.push_back("no sprite was read, \"" + std::string(stb_name) + "\" not written");
        print_summary(partial);
        return 1;
    }
    if (!commit_output(stb_name, &stb)) return 1;
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
    if (kind == 'l') return run_read(0, argc - 2, argv + 2);
    if (kind == 'r' && is_form_letter(form)) return run_read(form, argc - 2, argv + 2);
    if (kind == 'w' && is_form_letter(form)) return run_write(form, argv[2], argc - 3, argv + 3);
    if (kind == 'v') return run_view_command(argc - 2, argv + 2);
    if (kind == 'k') return run_check_command(argc - 2, argv + 2);
    return unknown_command(command);
}
