// The one place where qartool turns a status of the library into text: its
// ERROR: lines, its per-file lines, the summary line of a command that left
// part undone, and the exit when memory ran out. Every message thus carries
// the library's reason, with the system's where there is one, in the same way.
#pragma once

#include <string>

#include "qar/qar.h"

// The library's message as the reason part of a line: its first letter
// lower-cased, as the tool's own lines are, and safe to show on a terminal.
std::string reason_text(const qar_error& error);

// Prints "ERROR: <what>" and "ERROR: <reason>" on standard error. A status
// of QAR_NO_MEMORY ends the process instead (exit_out_of_memory).
void report_failure(const std::string& what, const qar_error& error);

// "ERROR: <reason>" and "qartool: closing "<archive>" failed, changes to it
// may be lost": a close that failed after writing.
void report_close_failure(const char* archive, const qar_error& error);

// "ERROR: "<name>" in qar "<archive>" is damaged: <reason>", the reason as
// qar_test words it.
void report_damaged(const char* archive, const char* name, const char* reason);

// The line of a file that add or update did not store: ""<name>": <reason>".
std::string file_failure_line(const std::string& name, const std::string& reason);

// "qartool: <not_done> of <asked> <what>" after standard output is flushed.
void report_summary(int not_done, int asked, const char* what);

// Ends the process with status 107 after "ERROR: out of memory" when the
// status is QAR_NO_MEMORY; otherwise returns.
void exit_if_out_of_memory(const qar_error& error);

// Writes "ERROR: out of memory" on standard error and ends the process with
// status 107. Used from any thread.
[[noreturn]] void exit_out_of_memory();
