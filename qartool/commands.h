// The five commands of qartool. Each takes the parsed command line, prints
// its own output and messages, and returns the exit status: 0 when the
// command ran (also when single files or records failed along the way), 1
// when it could not run. Each opens the archive it works on and closes it
// before it returns.
#pragma once

#include "archive_handle.h"
#include "command_line.h"

int command_add(const CommandLine& line);
int command_update(const CommandLine& line);
int command_delete(const CommandLine& line);
int command_list(const CommandLine& line);
int command_extract(const CommandLine& line);

// Shared steps of the commands (commands.cpp).

// Opens the archive read-only and compares its key with the command line's.
// Prints the reason and returns null when either fails.
ArchiveHandle* open_for_read(const CommandLine& line);

// 1 when the command selects the entry: every entry when no patterns were
// given, otherwise an entry whose name matches at least one pattern.
int entry_selected(const CommandLine& line, const DirectoryEntry& entry);
