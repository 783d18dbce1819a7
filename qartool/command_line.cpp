#include "command_line.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "names.h"
#include "qar_version.h"
#include "qar/qar.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool is_option(const char* arg) { return arg[0] == '-' || arg[0] == '/'; }

// 1 when the two texts are equal, ASCII case ignored.
bool same_word(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (upper(*a) != upper(*b)) return false;
    return *a == *b;
}

// The letter of a command given as a word; otherwise the argument's first
// character, which picks the command as before (so "Add" and "x-all" work).
char command_letter(const char* arg) {
    const std::pair<const char*, char> words[] = {
        {"add", 'a'},     {"update", 'u'}, {"delete", 'd'}, {"list", 'l'},
        {"extract", 'x'}, {"test", 't'},   {"compact", 'c'}, {"sync", 's'},
        {"mount", 'm'}};
    for (const auto& [word, letter] : words)
        if (same_word(arg, word)) return letter;
    return arg[0];
}

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
    printf("  -k <number>: use this key (0 to 4294967295) instead of a password\n");
    printf("  -o <folder>: extract into this folder (made when missing)\n");
    printf("  -n: extract never replaces a file that exists\n");
    printf("  -x <pattern>: leave out files, folders and records whose name matches\n");
    printf("  -z: c also compresses the records stored uncompressed\n");
    printf("  @<file>: where a name or pattern goes, the names in <file>, one a line\n");
    printf("  -d: mount goes on in the background once mounted\n");
    printf("The password or key masks the records; it does not encrypt them: anyone\n"
           "holding the qar can read it.\n");
    printf("\nCommands\n");
    printf("  a: Add files to qar\n");
    printf("  d: Delete files from qar\n");
    printf("  x: Extract files from qar\n");
    printf("  l: List contents of qar\n");
    printf("  u: Update files in qar\n");
    printf("  t: Test files in qar\n");
    printf("  c: Compact qar\n");
    printf("  s: Sync qar with files: add new, replace changed, keep the rest\n");
    printf("  m: Mount qar read-only at an empty folder (Linux; -d detaches)\n");
    printf("Commands may also be given as words: add, delete, extract, list, update,\n"
           "test, compact, sync, mount.\n");
    printf("\nThe c command reclaims the space that Delete and Update leave in the qar.\n");
    printf("\nExit status: 0 all done; 1 could not run, nothing changed; 2 ran, but some\n"
           "files or records were not done (each named on stderr); 107 out of memory.\n");
}

namespace {

// The arguments that ask for the usage text when they come first.
bool asks_for_help(const char* arg) {
    for (const char* help : {"-h", "--help", "-?", "/?"})
        if (std::strcmp(arg, help) == 0) return true;
    return false;
}

// The option letter of an option spelled as a word (-key, /Password), which
// takes the next argument as its value; 0 for any other option.
char spelled_option(const char* option) {
    const std::pair<const char*, char> words[] = {
        {"key", 'K'}, {"password", 'P'}, {"output", 'O'}};
    for (const auto& [word, letter] : words)
        if (same_word(option + 1, word)) return letter;
    return 0;
}

}  // namespace

ParseOutcome parse_command_line(int argc, char* const* argv, CommandLine* out) {
    const char* program = argc > 0 ? argv[0] : "qartool";
    // Looked at before the option rule, which would take "--help" for an
    // unknown option "-" and "-h" for an unknown option "h".
    if (argc <= 1 || asks_for_help(argv[1])) {
        print_usage(program);
        return PARSE_USAGE;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        printf("qartool %s\n", QAR_TOOLS_VERSION);
        return PARSE_USAGE;
    }
    uint32_t key = 0;
    const char* output_dir = nullptr;
    int keep_existing = 0;
    int workers = -1;
    std::vector<const char*> excludes;
    int compress_plain = 0;
    bool detach = false;
    int cursor = 1;
    while (cursor < argc && is_option(argv[cursor])) {
        const char* option = argv[cursor++];
        const char spelled = spelled_option(option);
        const char letter = spelled ? spelled : upper(option[1]);
        if (letter == 'N' && option[2] == '\0') {
            keep_existing = 1;
            continue;
        }
        if (letter == 'Z' && option[2] == '\0') {
            compress_plain = 1;
            continue;
        }
        if (letter == 'D' && option[2] == '\0') {
            detach = true;
            continue;
        }
        if (letter != 'K' && letter != 'P' && letter != 'O' && letter != 'J' && letter != 'X') {
            fprintf(stderr, "ERROR: unknown option \"%s\"\n", display_text(option).c_str());
            return PARSE_FAILED;
        }
        // The value is attached (-ppassword) or the next argument.
        const char* value = option + 2;
        if (spelled || *value == '\0') {
            if (cursor >= argc) break;
            value = argv[cursor++];
        }
        if (letter == 'X') {
            if (value[0] == '\0') {
                fprintf(stderr, "ERROR: empty pattern after -x\n");
                return PARSE_FAILED;
            }
            excludes.push_back(value);
        } else if (letter == 'O') {
            output_dir = value;
            if (output_dir[0] == '\0') {
                fprintf(stderr, "ERROR: empty folder name after -o\n");
                return PARSE_FAILED;
            }
        } else if (letter == 'J') {
            uint32_t count = 0;
            if (!parse_key_number(value, &count) || count > 64) {
                fprintf(stderr, "ERROR: worker count \"%s\" is not a number from 0 to 64\n",
                        display_text(value).c_str());
                return PARSE_FAILED;
            }
            workers = int(count);
        } else if (!take_key_option(letter, value, &key)) {
            return PARSE_FAILED;
        }
    }
    // A single argument was a request for the usage text before commands
    // needed an archive: it still gets it, with the reason it cannot run.
    if (argc == 2) print_usage(program);
    if (cursor >= argc) {
        fprintf(stderr, "ERROR: no command specified\n");
        return PARSE_FAILED;
    }
    if (cursor == argc - 1 || argv[cursor + 1][0] == '\0') {
        fprintf(stderr, "ERROR: no qar file specified\n");
        return PARSE_FAILED;
    }
    out->key = key;
    out->command = command_letter(argv[cursor]);
    out->archive = argv[cursor + 1];
    out->files = argv + cursor + 2;
    out->file_count = argc - cursor - 2;
    out->output_dir = output_dir;
    out->keep_existing = keep_existing;
    out->workers = workers;
    out->excludes = excludes;
    out->compress_plain = compress_plain;
    out->detach = detach;
    return PARSE_RUN;
}
