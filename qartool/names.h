// Record names as text: showing them safely on a terminal, and deciding
// whether one may become a file name.
#pragma once

#include <cstddef>
#include <string>

// The text as it is printed in listings and messages: bytes below 0x20 and
// the byte 0x7F become '?', so a name cannot drive the terminal; every other
// byte stays. At most max_length bytes of the text are taken.
std::string display_text(const char* text, size_t max_length = 4096);
char display_char(char c);

// 1 when the name may be written as a file in the current directory: not
// empty, not "." or "..", no '/' or '\', no byte below 0x20, and nothing the
// system takes for more than a file name (plat_is_ordinary_name).
int is_plain_file_name(const char* name);

// The key under which the archive store compares names: at most the first 16
// bytes, A-Z folded to a-z.
std::string record_key(const char* name);
