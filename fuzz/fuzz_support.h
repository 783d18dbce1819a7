// Helpers shared by the fuzz harnesses: a scratch directory per process,
// whole-file writes, and a check that a directory holds exactly what it held
// before.
//
// Every helper aborts the process (a finding) when the system refuses an
// operation that the harness itself needs, so that a broken set-up never
// passes for a clean run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// A directory of its own under $TMPDIR (or /tmp), made on first use and
// removed with everything in it when the process exits.
const std::string& fuzz_scratch_dir();

// Sends standard output to /dev/null: the tools print a line per record,
// which would only slow the fuzzer down. Standard error is left to the
// fuzzer's -close_fd_mask option.
void fuzz_silence_stdout();

// Writes size bytes to path, replacing the file. Aborts on failure.
void fuzz_write_file(const std::string& path, const uint8_t* data, size_t size);
void fuzz_write_file(const std::string& path, const std::string& text);

// The whole content of a file; aborts when it cannot be read.
std::string fuzz_read_file(const std::string& path);

// Removes everything inside dir (not dir itself), descending into
// subdirectories without following symbolic links.
void fuzz_empty_directory(const std::string& dir);

// What a directory holds, one level deep: for each name, its kind and, for a
// regular file, its bytes; for a link, its target. Two snapshots compare
// equal exactly when nothing was added, removed or changed.
std::map<std::string, std::string> fuzz_snapshot(const std::string& dir);

// Aborts with a message naming what differs when the two snapshots differ.
void fuzz_expect_same(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after, const char* what);

// Prints the message on standard error and aborts (the fuzzer records the
// input as a finding).
[[noreturn]] void fuzz_fail(const char* message);
