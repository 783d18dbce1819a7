// What every command of sprtool shares: its output file, replaced as a
// whole, standard output, and the messages of the parts of a run not done.
// Each function prints its own message on standard error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "file_replace.h"

// Opens a file that is to be replaced as a whole (see file_replace.h). False,
// after the message, when it cannot be.
bool begin_output(const char* name, FileReplacement* out);

// Puts the new file in the place of the old one. False, after the message,
// when it could not be written in full; the old file is then as it was.
bool commit_output(const char* name, FileReplacement* out);

// Flushes standard output. False when any write to it failed, after the message.
bool finish_standard_output();

// "1 row", "3 rows".
std::string count_of(int n, const char* one, const char* many);

// Prints the line that sums up a run that did part of its work (status 2):
// "sprtool: " and the parts, separated by commas.
void print_summary(const std::vector<std::string>& parts);

// After `stb` (named stb_name) was read to its end, record by record: reports
// a read error, or warns of a tail shorter than a record, and adds what was
// not read to `parts`.
void note_table_end(FILE* stb, const char* stb_name, std::vector<std::string>* parts);
