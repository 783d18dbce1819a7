// Gathering files from disk for the add and update commands, and the time
// stamp that a record's `time` field holds.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "archive_handle.h"
#include "platform.h"
#include "record_pipeline.h"

// ---------------------------------------------------------------------------
// Time stamps
//
// A record's `time` is encoded from the file's last-write time in UTC: the
// month number 1-12 is put unchanged into the month field of the calendar
// structure (which counts from 0), the fields are read as a UTC date with
// normalisation, and the low 32 bits of the seconds since 1970 are stored.
// The value is thus the instant one month later: December becomes January of
// the next year, and 31 January becomes 3 March. Dates before 1970 give -1
// (all bits set), and so do instants past the last the field holds
// (2106-02-07 06:28:14 UTC), rather than a wrong date. Every archive ever
// written relies on this.

// The time field's value for a time that is not known.
constexpr uint32_t QAR_TIME_UNKNOWN = 0xFFFFFFFFu;

uint32_t encode_time_stamp(const PlatDateTime& utc);

// Undoes the encoding for display or restoring: the stored value, read as an
// unsigned number of seconds since 1970 (so dates up to 2106 come back), is
// split into calendar fields (local time for the listing, UTC for
// extraction) and the month field is taken as the month number; a month
// field of 0 is December of the year before. Returns 0 for QAR_TIME_UNKNOWN
// and for a value the system cannot convert.
int decode_time_stamp(uint32_t stamp, int local, PlatDateTime* out);

// ---------------------------------------------------------------------------
// The walk

// One add or update command's walk over its file arguments.
//
// The walk decides on the calling thread, in walk order, what is stored and
// what is said; the files to store are read (and for add, encoded) by the
// record pipeline's workers, and the calling thread writes them, with every
// line, in walk order. So the archive and the output are the same for any
// number of workers, and a walk cut short at any moment has stored a prefix
// of it.
struct GatherRun {
    ArchiveHandle* archive;            // open for reading and writing; not owned
    PlatFileId archive_id;             // the archive itself is never stored
    int archive_id_valid;
    std::map<std::string, std::string> stored;  // record_key of each name stored in this
                                                // run, with the path of its file
    int files;                         // files found, and arguments or folders that gave none
    int not_stored;                    // of those, the ones not stored (each reported)
    std::map<std::string, int> pending;  // record_key of files in flight, with their count
    Pipeline* pipeline;                // owned; from start_gather to finish_gather
};

// Prepares a run over an open archive and starts the pipeline with the given
// number of workers (0: everything on the calling thread, no thread).
void start_gather(GatherRun* run, ArchiveHandle* archive, unsigned workers);
// Writes every file still in flight and stops the pipeline.
void finish_gather(GatherRun* run);

// Walks the file pattern (directories separated by '/' or '\', wildcards in
// the last component, directories descended and their files stored under
// their bare names; "." and ".." walk that folder) and appends each file that
// the archive does not hold yet under its name, nor one stored earlier in
// this run (that one is named beside it). The entries of each folder, and
// those a pattern finds, are taken in name order (bytes compared with ASCII
// letters folded to lower case, ties in plain byte order) on every system,
// so the same files give the same archive whatever order the file system
// lists them in. Prints "dir: " and "file: " progress lines on standard output and
// one line on standard error for each file it skips or fails to store, for a
// pattern that finds nothing and for a folder it cannot read; each of those
// counts once in run->not_stored. Never stops early. Files still in flight
// when it returns are written, with their lines (and counted), by the next
// call or by finish_gather.
//
// A file is refused before anything is written when it is the archive
// itself, empty, unreadable, 4 GiB or more, already in the archive (add), or
// when its stored name (lower-cased, cut to 16 bytes) is one that extract
// would refuse to write: what goes in can always come out.
void gather_add(GatherRun* run, const char* pattern);

// As gather_add, but replaces the record of each file found (stored
// uncompressed); a file whose name the archive lacks is reported, and so is
// a second file of a record name already stored in this run.
void gather_update(GatherRun* run, const char* pattern);

