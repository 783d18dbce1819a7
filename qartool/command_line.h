// The command line of qartool: usage text, options and the command.
//
//   qartool <options> <command> <qar_name> [<file_names>...]
//
// Options come before the command and begin with '-' or '/'; their letter is
// the second character, case ignored: -k <number> sets the archive key,
// -p <password> derives it from a password, the last one wins; -o <folder>
// names the folder that extract writes into; -n keeps extract from replacing
// files; -x <pattern> (repeatable) leaves out files and folders (a, u, s) or
// records (x, t, d, l) whose name matches; -z makes c compress the records
// stored uncompressed. A value may also be attached to its option
// (-ppassword, -k123, -oDIR, -x*.tmp). A key that is not a plain decimal
// number of 32 bits and an empty password are refused, so that a typing slip
// never silently gives an unprotected archive. The command is a letter (its
// first character, case ignored) or one of the words add, update, delete,
// list, extract, test, compact, sync and mount. Arguments after the archive name
// are file names or patterns, even when they begin with '-'; "@<file>" where
// a name or pattern goes reads names from a file (name_lists.h). Before that
// rule, a first argument "-h", "--help", "-?" or "/?" prints the usage text
// and "--version" the tool's name and version; so does a command line with
// no argument at all. A command without an archive name prints the usage
// text and is refused.
//
// -d (no value) makes the m command detach once the archive is mounted.
//
// -j <number> sets the number of worker threads that read and encode or
// decode records (0: none). It is left out of the usage text: the default
// (one fewer than the usable cores) is right for users, and the tests use it
// to compare runs with different numbers of workers.
#pragma once

#include <cstdint>
#include <vector>

enum ParseOutcome {
    PARSE_RUN,     // *out holds a command to run
    PARSE_USAGE,   // the usage text or the version was printed: exit 0
    PARSE_FAILED,  // a message was printed on standard error: exit 1
};

struct CommandLine {
    uint32_t key;              // 0 unless set by -k or -p
    char command;              // the command argument's first character as typed, or
                               // the letter of a command given as a word
    const char* archive;       // the archive argument
    char* const* files;        // the arguments after the archive name
    int file_count;
    const char* output_dir;    // -o <folder>: where extract writes; null for the current one
    int keep_existing;         // -n: extract never replaces a file that exists
    int workers;               // -j, or -1 to follow the usable cores
    std::vector<const char*> excludes;  // -x patterns, in the order given
    int compress_plain;        // -z: c compresses the records stored uncompressed
    bool detach;               // -d: m goes on in the background
};

// Reads the whole command line; prints the usage text or the error message
// itself. Does not look at the command letter beyond taking it.
ParseOutcome parse_command_line(int argc, char* const* argv, CommandLine* out);

// The number of a -k option: leading white space, one optional sign, then
// decimal digits and nothing else. A minus sign negates modulo 2^32 ("-1" is
// 4294967295), as archives keyed that way have always been opened. Returns 0
// (and leaves *key alone) for text without digits, with anything after them,
// or with a value past 4294967295.
int parse_key_number(const char* text, uint32_t* key);

void print_usage(const char* program);
