// qartool: keeps QAR archives. Parses the command line, runs one command and
// maps it to the exit status: 0 when the command ran, 1 when it could not,
// 107 when memory ran out.
#include <cstdio>
#include <new>

#include "command_line.h"
#include "commands.h"
#include "name_lists.h"
#include "mount.h"
#include "names.h"
#include "report.h"

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
    if (line.compress_plain && letter != 'C') {
        fprintf(stderr, "ERROR: -z goes only with the c command\n");
        return 1;
    }
    if (!line.excludes.empty() && letter == 'C') {
        fprintf(stderr, "ERROR: -x does not go with the c command, which keeps every record\n");
        return 1;
    }
    if (line.detach && letter != 'M') {
        fprintf(stderr, "ERROR: -d goes only with the m command\n");
        return 1;
    }
    switch (letter) {
    case 'A': return command_add(line);
    case 'C': return command_compact(line);
    case 'D': return command_delete(line);
    case 'L': return command_list(line);
    case 'S': return command_sync(line);
    case 'M': return command_mount(line);
    case 'T': return command_test(line);
    case 'U': return command_update(line);
    case 'X': return command_extract(line);
    default:
        fprintf(stderr, "ERROR: unknown command \"%c\"\n", display_char(line.command));
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CommandLine line;
        switch (parse_command_line(argc, argv, &line)) {
        case PARSE_USAGE: return 0;
        case PARSE_FAILED: return 1;
        case PARSE_RUN: break;
        }
        NameLists lists;
        if (!expand_name_lists(&line, &lists)) return 1;
        return dispatch(line);
    } catch (const std::bad_alloc&) {
        exit_out_of_memory();
    }
}
