// The mount command: shows an archive as a read-only folder, one file per
// record, for as long as it runs.
//
//   qartool [-k <key>|-p <password>] [-d] m <qar> <folder>
//
// The generic part lives here: the folder's contents (mount_tree.h), the
// decoded records (record_cache.h), the damage reports and the notices that
// the archive changed. The system's part (mount_system.h) checks the
// machine and the folder, mounts, and serves the folder's requests through
// the functions below.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "command_line.h"
#include "mount_tree.h"
#include "qar/qar.h"
#include "record_cache.h"

// The bytes of decoded records the mount keeps in memory.
constexpr uint64_t MOUNT_CACHE_BYTES = 64ull << 20;

// Checks the machine, the folder and the archive, then mounts and serves
// until the folder is unmounted or the process is interrupted (with -d, in
// the background after saying how to unmount). 0 once served and unmounted;
// 1, with a message and nothing mounted, when it cannot start.
int command_mount(const CommandLine& line);

// The archive file as the system sees it, for telling that it changed.
struct ArchiveFileState {
    bool present;        // the path still names a file
    int64_t size;
    int64_t mtime_ns;    // last write, nanoseconds since 1970
    uint64_t volume;     // identity of the file the path names
    uint64_t file;
    bool writer_locked;  // a writer holds the archive's lock
};

// A mounted archive.
struct MountService {
    qar_archive* archive;      // open for reading; only read calls are made
    std::string archive_name;  // as given on the command line, for messages
    std::string archive_path;  // where to look for changes (mount_serve makes it absolute)
    MountTree tree;
    RecordCache cache;         // slot n holds tree.files[n]
    unsigned ahead_workers;    // threads that decode ahead (mount_start_ahead)

    std::mutex watch_mutex;    // guards the two below
    ArchiveFileState last_seen;
    bool writer_seen;
};

// The bytes of tree.files[file]. A damaged record is reported on standard
// error the first time it is found. Each time a record has to be decoded,
// the archive file is looked at first (mount_check_archive).
CacheRead mount_read_file(MountService* service, size_t file);

// Starts the threads that decode the next files ahead when one is opened
// (cache_opened). The system's part calls it once, in the process that
// serves (after going into the background), before serving, and stops them
// (cache_stop_ahead) before it returns, whichever way it returns.
void mount_start_ahead(MountService* service);

// Compares the archive file's state now with the last one seen, and says on
// standard error when it changed or a writer took its lock. The folder goes
// on showing what was loaded. mount_check_archive takes the state from the
// system (mount_archive_file_state).
void mount_note_archive_state(MountService* service, const ArchiveFileState& now);
void mount_check_archive(MountService* service);
