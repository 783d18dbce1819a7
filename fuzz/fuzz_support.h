// Helpers shared by the fuzz harnesses. Each aborts (a finding) when the
// system refuses what the harness needs, so a broken set-up never passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Prints the message on standard error and aborts: the input is kept.
[[noreturn]] void fuzz_fail(const char* message);

// A directory of the process's own in the temporary directory ($TMPDIR), made on first use
// and removed at exit. Standard output goes to /dev/null from then on.
const std::string& fuzz_scratch_dir();

// Writes size bytes to path, replacing the file.
void fuzz_write_file(const std::string& path, const void* data, size_t size);

// What dir holds, one level deep: each name with its kind, and a file's bytes
// or a link's target. Equal snapshots: nothing added, removed or changed.
std::map<std::string, std::string> fuzz_snapshot(const std::string& dir);
