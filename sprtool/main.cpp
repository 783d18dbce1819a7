// sprtool: converts sprite tables between the binary STB file and its TXT,
// CSV, XML and JSON forms. One command per run:
//   sprtool <command> <stb_file> [<file_name>...]
// Exit status 0 when the command ran (also when single input files were
// skipped), 1 when it could not run.
#include <cctype>
#include <cstdio>

#include "file_replace.h"
#include "platform.h"
#include "sprite_table.h"
#include "text_forms.h"
#include "text_scan.h"
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
               "  wx: input XML and write STB\n",
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
        out = same_file(stb_name, out_name) ? nullptr : std::fopen(out_name, "w");
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
    bool ok = finish_output(out, out_name);
    std::fclose(stb);
    return ok ? 0 : 1;
}

// The JSON read path: each input is opened and reported, nothing is read, and
// the STB file is not touched.
int run_read_json(int input_count, char** inputs) {
    for (int i = 0; i < input_count; ++i) {
        FILE* in = open_source(inputs[i], "r");
        if (!in) {
            std::fprintf(stderr, "ERROR: could not open file \"%s\" for read\n", inputs[i]);
            continue;
        }
        read_json();
        std::fclose(in);
    }
    if (input_count == 0) read_json();
    return 1;
}

// One text source into the STB stream; `name` null means standard input.
void read_source(char form, FILE* stb, const char* name) {
    FILE* in = stdin;
    if (name) {
        in = open_source(name, form == 'x' ? "rb" : "r");
        if (!in) {
            std::fprintf(stderr, "ERROR: could not open file \"%s\" for read\n", name);
            return;
        }
    }
    switch (form) {
    case 't': read_txt(stb, in); break;
    case 'c': read_csv(stb, in); break;
    default: read_xml(stb, in); break;
    }
    if (name) std::fclose(in);
}

// The w commands: text sources to a new STB file, which replaces the old one
// only when it was written completely.
int run_write(char form, const char* stb_name, int input_count, char** inputs) {
    if (form == 'j') return run_read_json(input_count, inputs);
    if (form == 'x' && input_count == 0) {
        std::fputs("ERROR: cannot read XML from standard in :(\n", stderr);
        return 1;
    }
    FileReplacement stb;
    if (!begin_replacement(stb_name, &stb)) {
        std::fprintf(stderr, "ERROR: could not open file \"%s\" for write\n", stb_name);
        return 1;
    }
    if (input_count == 0) read_source(form, stb.stream, nullptr);
    for (int i = 0; i < input_count; ++i) read_source(form, stb.stream, inputs[i]);
    if (!commit_replacement(&stb)) {
        std::fprintf(stderr, "ERROR: could not write file \"%s\"\n", stb_name);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
    return unknown_command(command);
}
