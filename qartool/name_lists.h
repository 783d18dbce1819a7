// Names given through list files: an argument "@<file>" where a file name or
// pattern goes (after the archive name, or as the value of -x) stands for
// the names in that file, one per line. Blank lines are skipped, a CR before
// the line end is dropped, and the names read are taken as they stand (a
// name read from a list is never itself a list).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "command_line.h"

// The names read from list files, owned for the whole run: the command
// line's file arguments and exclude patterns point into it after
// expand_name_lists.
struct NameLists {
    std::deque<std::string> names;  // never moved once read
    std::vector<char*> files;       // the file arguments with every list expanded
};

// Replaces every "@<file>" among the file arguments and the -x patterns of
// line with the names of that file, in place and in order. Prints
// "ERROR: could not read list file ..." with the reason and returns 0 when a
// list cannot be read (missing, unreadable, not a plain file, or over
// 64 MiB).
int expand_name_lists(CommandLine* line, NameLists* lists);
