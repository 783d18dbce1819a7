// qartool: keeps QAR archives. Parses the command line, runs one command and
// maps it to the exit status: 0 when the command ran, 1 when it could not,
// 107 when memory ran out.
#include <cstdio>
#include <new>

#include "archive_handle.h"
#include "command_line.h"
#include "commands.h"
#include "names.h"

namespace {

int dispatch(const CommandLine& line) {
    char letter = line.command;
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 'a' + 'A');
    if (line.output_dir && letter != 'X') {
        fprintf(stderr, "ERROR: -o goes only with the x command\n");
        return 1;
    }
    if (line.keep_existing && letter != 'X') {
        fprintf(stderr, "ERROR: -n goes only with the x command\n");
        return 1;
    }
    switch (letter) {
    case 'A': return command_add(line);
    case 'C': return command_compact(line);
    case 'D': return command_delete(line);
    case 'L': return command_list(line);
    case 'T': return command_test(line);
    case 'U': return command_update(line);
    case 'X': return command_extract(line);
    default:
        fprintf(stderr, "ERROR: unknown command \"%c\"\n", display_char(line.command));
        return 1;
    }
}

// Another add, update or delete holds the archive; said once, after a second.
void print_waiting(const char* path) {
    fprintf(stderr, "waiting for another process to finish writing \"%s\"\n",
            display_text(path).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    set_writer_wait_notice(print_waiting);
    try {
        CommandLine line;
        switch (parse_command_line(argc, argv, &line)) {
        case PARSE_USAGE: return 0;
        case PARSE_FAILED: return 1;
        case PARSE_RUN: break;
        }
        return dispatch(line);
    } catch (const std::bad_alloc&) {
        fatal_error(nullptr);
    }
}
