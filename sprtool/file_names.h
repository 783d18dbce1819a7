// What the command driver asks of the file names it is given.
#pragma once

// True when `name` ends in `suffix` (lower case), ASCII letters compared
// without regard to case.
bool has_suffix(const char* name, const char* suffix);

// True when both names lead to one existing file.
bool same_file(const char* a, const char* b);
