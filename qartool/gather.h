// Gathering files from disk for the add and update commands.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform.h"
#include "qar/qar.h"
#include "record_pipeline.h"

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
    qar_archive* archive;              // open for reading and writing; not owned
    PlatFileId archive_id;             // the archive itself is never stored
    int archive_id_valid;
    std::map<std::string, std::string> stored;  // record_key of each name stored in this
                                                // run, with the path of its file
    int files;                         // files found, and arguments or folders that gave none
    int not_stored;                    // of those, the ones not stored (each reported)
    std::map<std::string, int> pending;  // record_key of files in flight, with their count
    Pipeline* pipeline;                // owned; from start_gather to finish_gather
    std::vector<const char*> excludes; // files and folders whose name matches one are
                                       // left out of the walk, silently
    // A sync's counts, and the read-only handle on the same archive through
    // which its workers compare files with records (the handle the run
    // writes through is only ever touched by the walking thread).
    int added;
    int replaced;
    int unchanged;
    qar_archive* reader;               // not owned; set before the first gather_sync
    bool quiet;                        // no "dir: " and "file: " lines
};

// Prepares a run over an open archive and starts the pipeline with the given
// number of workers (0: everything on the calling thread, no thread).
void start_gather(GatherRun* run, qar_archive* archive, unsigned workers);
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

// As gather_add, but a file whose name the archive holds is compared with
// its record (sizes, then the record's bytes, read through run->reader): when
// they differ the record gets the file's bytes, compressed as add stores
// them, with its index kept; when they are the same only a differing time is
// set. Prints "added: NAME" or "replaced: NAME" (the record name) for each
// file stored and counts what it did in run.
void gather_sync(GatherRun* run, const char* pattern);

