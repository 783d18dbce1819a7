// The commands of qartool. Each takes the parsed command line, prints its own
// output and messages, and returns the exit status: 0 when everything asked
// was done; 1 when the command could not run (nothing was changed); 2 when it
// ran but left part undone: each file, record or pattern not done has its
// own line on standard error, and a last line sums them up. Each opens the
// archive it works on and closes it before it returns.
#pragma once

#include <vector>

#include "command_line.h"
#include "qar/qar.h"

int command_add(const CommandLine& line);
int command_update(const CommandLine& line);
int command_delete(const CommandLine& line);
int command_list(const CommandLine& line);
// Brings the archive in step with the files and folders named (gathered as
// add gathers them, created as add creates it): a file of a new name is
// appended, one whose bytes differ from its record's replaces them (the
// record keeps its index), one whose bytes are the same is left alone, with
// only its time set when that differs. One line per file added or replaced,
// then "<n> added, <m> replaced, <k> unchanged".
int command_sync(const CommandLine& line);
int command_extract(const CommandLine& line);
// Reads and decodes each record that the patterns select (all without
// patterns), writing nothing: one line per record, "OK" or "damaged", then
// the counts; each damaged record also gets an ERROR: line with the reason.
// An archive left by an interrupted add is said so on standard output; that
// alone is no damage. A pattern that matches no record is reported as
// extract reports it. 0 when nothing is damaged or unmatched, else 2.
int command_test(const CommandLine& line);
// Tests the records at the given positions of the archive's snapshot
// (qar_test) on the record pipeline's workers and reports each damaged one
// with its reason, in the order given; with list_each every record also gets
// its line "<name> OK" or "<name> damaged" on standard output. Returns the
// number damaged.
int test_records(const CommandLine& line, const qar_archive* archive,
                 const std::vector<size_t>& positions, bool list_each);
// Rewrites the archive with only its live records (see compact.cpp); with
// -z the records stored uncompressed are compressed as add stores them. Takes
// no file arguments. 0 when compacted; 2, with the archive untouched, when a
// record is damaged; 1 when it could not run or the rewrite failed, the
// archive untouched either way.
int command_compact(const CommandLine& line);

// Shared steps of the commands (commands.cpp).

// Opens the archive read-only and compares its key with the command line's.
// Prints the reason and returns null when either fails.
qar_archive* open_for_read(const CommandLine& line);

// The workers of the record pipeline for add, update and extract: the -j
// option's number, else one fewer than the cores this process may use (none,
// and no thread, with one).
unsigned pipeline_worker_count(const CommandLine& line);

// Opens an existing archive for writing, which holds the writers' lock until
// it is closed, and compares its key. A missing archive is not created.
// Prints the reason and returns null when any of it fails.
//
// Every open of qartool says, once, when it waits a second for another
// writer's lock, and arranges that a temporary file the library writes
// beside the archive is removed when the process is interrupted.
qar_archive* open_existing_for_write(const CommandLine& line);

// 1 when the command selects the entry: none whose name an -x pattern
// matches; of the others every entry when no patterns were given, otherwise
// an entry whose name matches at least one pattern, without regard to ASCII
// case (a pattern that matches only left-out records matches nothing). With hits (one per pattern), marks every pattern
// that matches.
int entry_selected(const CommandLine& line, const qar_entry& entry,
                   std::vector<char>* hits = nullptr);

// How much of what a command was asked to do was left undone.
struct Tally {
    int asked;     // files, records, and patterns that found nothing
    int not_done;  // of those, each already reported on its own line
};

// Reports each pattern that matched no record ("ERROR: no record in qar
// ... matches ..., nothing <done>") and counts it in the tally.
void report_unmatched(const CommandLine& line, const std::vector<char>& hits, const char* done,
                      Tally* tally);

// The status of a command that ran: 0 when nothing was left undone, else 2
// after the summary line "qartool: <n> of <asked> <what>" on standard error.
int finish_command(const Tally& tally, const char* what);
