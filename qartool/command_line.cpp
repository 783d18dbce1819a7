#include "command_line.h"

#include <cstdio>
#include <cstring>

#include "names.h"
#include "qar_version.h"
#include "qar/qar.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool is_option(const char* arg) { return arg[0] == '-' || arg[0] == '/'; }

}  // namespace

int parse_key_number(const char* text, uint32_t* key) {
    const char* p = text;
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return 0;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + uint64_t(*p - '0');
        if (value > 0xFFFFFFFFu) return 0;
    }
    if (*p != '\0') return 0;
    uint32_t result = uint32_t(value);
    *key = negative ? uint32_t(0u - result) : result;
    return 1;
}

namespace {

// Sets the key from the value of a -k or -p option; prints why and returns 0
// when the value is refused.
int take_key_option(char letter, const char* value, uint32_t* key) {
    if (letter == 'K') {
        if (parse_key_number(value, key)) return 1;
        fprintf(stderr, "ERROR: key \"%s\" is not a decimal number from 0 to 4294967295\n",
                display_text(value).c_str());
        return 0;
    }
    if (value[0] == '\0') {
        fprintf(stderr, "ERROR: empty password\n");
        return 0;
    }
    *key = qar_key_from_password(value);
    return 1;
}

}  // namespace

void print_usage(const char* program) {
    printf("Korvath qartool utility (Jul 15 2014)\n");
    printf("\nUsage: %s <options> <command> <qar_name> [<file_names>...]\n", program);
    printf("\nOptions\n");
    printf("  -p <password>: encrypt using a password\n");
    printf("  -o <folder>: extract into this folder (made when missing)\n");
    printf("\nCommands\n");
    printf("  a: Add files to qar\n");
    printf("  d: Delete files from qar\n");
    printf("  x: Extract files from qar\n");
    printf("  l: List contents of qar\n");
    printf("  u: Update files in qar\n");
    printf("  t: Test files in qar\n");
    printf("  c: Compact qar\n");
    printf("  m: Mount qar read-only at an empty folder (Linux; -d detaches)\n");
    printf("\nThe c command reclaims the space that Delete and Update leave in the qar.\n");
    printf("\nExit status: 0 all done; 1 could not run, nothing changed; 2 ran, but some\n"
           "files or records were not done (each named on stderr); 107 out of memory.\n");
}

ParseOutcome parse_command_line(int argc, char* const* argv, CommandLine* out) {
    // Looked at before the option rule, which would take "--help" for an
    // unknown option "-" and "-h" for an unknown option "h".
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        print_usage(argv[0] ? argv[0] : "qartool");
        return PARSE_USAGE;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        printf("qartool %s\n", QAR_TOOLS_VERSION);
        return PARSE_USAGE;
    }
    if (argc <= 2) {
        print_usage(argc > 0 ? argv[0] : "qartool");
        return PARSE_USAGE;
    }
    uint32_t key = 0;
    const char* output_dir = nullptr;
    int workers = -1;
    bool detach = false;
    int cursor = 1;
    while (cursor < argc && is_option(argv[cursor])) {
        const char* option = argv[cursor];
        char letter = upper(option[1]);
        if (letter == 'D' && option[2] == '\0') {
            detach = true;
            ++cursor;
            continue;
        }
        if (letter != 'K' && letter != 'P' && letter != 'O' && letter != 'J') {
            fprintf(stderr, "ERROR: unknown option \"%s\"\n", display_text(option).c_str());
            return PARSE_FAILED;
        }
        ++cursor;
        if (cursor >= argc) break;
        if (letter == 'O') {
            output_dir = argv[cursor];
            if (output_dir[0] == '\0') {
                fprintf(stderr, "ERROR: empty folder name after -o\n");
                return PARSE_FAILED;
            }
        } else if (letter == 'J') {
            uint32_t count = 0;
            if (!parse_key_number(argv[cursor], &count) || count > 64) {
                fprintf(stderr, "ERROR: worker count \"%s\" is not a number from 0 to 64\n",
                        display_text(argv[cursor]).c_str());
                return PARSE_FAILED;
            }
            workers = int(count);
        } else if (!take_key_option(letter, argv[cursor], &key)) {
            return PARSE_FAILED;
        }
        ++cursor;
    }
    if (cursor >= argc) {
        fprintf(stderr, "ERROR: no command specified\n");
        return PARSE_FAILED;
    }
    if (cursor == argc - 1) {
        fprintf(stderr, "ERROR: no qar file specified\n");
        return PARSE_FAILED;
    }
    out->key = key;
    out->command = argv[cursor][0];
    out->archive = argv[cursor + 1];
    out->files = argv + cursor + 2;
    out->file_count = argc - cursor - 2;
    out->output_dir = output_dir;
    out->workers = workers;
    out->detach = detach;
    return PARSE_RUN;
}
