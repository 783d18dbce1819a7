// The command line of qartool: usage text, options and the command.
//
//   qartool <options> <command> <qar_name> [<file_names>...]
//
// Options come before the command and begin with '-' or '/'; their letter is
// the second character, case ignored: -k <number> sets the archive key,
// -p <password> derives it from a password, the last one wins. Arguments
// after the archive name are file names or patterns, even when they begin
// with '-'. Before that rule, a first argument "-h" or "--help" prints the
// usage text and "--version" the tool's name and version.
#pragma once

#include <cstdint>

enum ParseOutcome {
    PARSE_RUN,     // *out holds a command to run
    PARSE_USAGE,   // the usage text or the version was printed: exit 0
    PARSE_FAILED,  // a message was printed on standard error: exit 1
};

struct CommandLine {
    uint32_t key;              // 0 unless set by -k or -p
    char command;              // the command argument's first character as typed
    const char* archive;       // the archive argument
    char* const* files;        // the arguments after the archive name
    int file_count;
};

// Reads the whole command line; prints the usage text or the error message
// itself. Does not look at the command letter beyond taking it.
ParseOutcome parse_command_line(int argc, char* const* argv, CommandLine* out);

// The number of a -k option, read as the system's strtoul reads base 10 into
// 32 bits: leading white space and one sign allowed, digits up to the first
// other character, none giving 0; a value past 32 bits gives 4294967295, and
// a minus sign negates modulo 2^32 ("-1" is 4294967295).
uint32_t parse_key_number(const char* text);

void print_usage(const char* program);
