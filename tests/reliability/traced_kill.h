// Kills a qartool run at an exact point: between two of the writes that make
// up one append. The child runs under ptrace, and is killed with SIGKILL at
// the entry to, or the return from, the chosen write() system call.
#pragma once

#include <string>
#include <vector>

// Writes are told apart by the file position they start at, which does not
// depend on how the stream splits them.
enum WriteKind {
    WRITE_HEADER,       // 28 bytes at offset 0: the header
    WRITE_FIRST_TABLE,  // at offset 28: directory table 0 rewritten
};

enum KillMoment {
    KILL_BEFORE,  // when the write is about to start: it never happens
    KILL_AFTER,   // as soon as it has returned
};

enum TracedOutcome {
    TRACED_KILLED,       // killed at the chosen moment
    TRACED_FINISHED,     // the program ended before making that many writes
    TRACED_UNAVAILABLE,  // the system does not let this process trace its child, or
                         // cannot report its system calls (before Linux 5.3)
};

// Runs qartool with args in cwd and kills it before or after its nth write
// (n counts from 1) of the given kind to a file other than its standard
// streams.
TracedOutcome kill_at_write(const std::string& cwd, const std::vector<std::string>& args,
                            WriteKind kind, int nth, KillMoment moment);
