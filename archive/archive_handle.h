// An open QAR archive: the stream, its directory tables and a sorted snapshot
// of its live entries, plus the archive store's last error text.
//
// Every operation of the archive store returns 1 (or a pointer) on success and
// 0 (or null) on failure; a failure replaces the last error text with a message
// and the store never prints anything itself. Running out of memory anywhere in
// the store ends the process through fatal_error with exit status 107.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive_format.h"

// Room for the archive's base name in messages; longer names are cut to fit.
constexpr size_t QAR_BASE_NAME_SIZE = 256;
// The last error text, terminating zero included; longer messages are cut.
constexpr size_t QAR_LAST_ERROR_SIZE = 512;

struct ArchiveHandle {
    FILE* file;                          // the archive, binary mode; owned
    char base_name[QAR_BASE_NAME_SIZE];  // file name without directories, zero-terminated
    int32_t table_count;                 // directory tables in the chain
    int32_t entry_count;                 // live entries in `entries`
    uint32_t key;                        // the header's archive key
    int32_t next_index;                  // index of the next appended record
    uint32_t* table_offsets;             // table_count offsets, by table number; owned
    DirectoryEntry* entries;             // live entries at open, sorted by name (one
                                         // name's in index order); owned
    int append_refused;                  // set after a failed write: the stream's state is
                                         // not trusted, later appends, replaces and
                                         // deletes through this handle fail
    int left_by_interrupted_append;      // 1 when the directory holds one complete record
                                         // more than the header counts (load_directory)
};

// The message of the latest failure of the archive store on the calling
// thread (empty at start): each thread has a text of its own.
const char* last_error_text();
// Formats a message into the last error text, cut to fit its buffer.
void set_last_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes a new empty archive (3632 bytes) with the given key. Fails, leaving the
// file untouched, when path already exists. The archive appears whole or not at
// all: it is written and flushed under a temporary name beside path and then
// given its name, never over a file that appeared there meanwhile ("already
// exists" then). On failure nothing is left behind. Opens no handle.
int create_archive(const char* path, uint32_t key);

// Writes the 3632 bytes of a new empty archive with the given key into a new,
// empty stream open for writing, through its descriptor (see archive_io.h),
// and syncs it to the disk; the stream stays open. 0 when a write or the sync
// fails (the last error text names base_name and the system's reason).
int write_new_archive(FILE* file, uint32_t key, const char* base_name);

// Opens an archive read-only (for_write 0) or for reading and writing; the
// latter creates a missing archive with key 0 first and takes the writers'
// lock (see set_writer_wait_notice) before reading anything. Validates the
// header and the chain of directory tables and loads the sorted snapshot of live entries.
// Returns null and leaves nothing open on failure.
ArchiveHandle* open_archive(const char* path, int for_write);

// Closes the stream and frees the handle and its arrays. 0, with a message,
// when the system reported an error on closing (for an archive written to, a
// sign that written bytes may be lost); the handle is freed either way.
int close_archive(ArchiveHandle* handle);

// Opening for writing holds an exclusive advisory lock on the archive from the
// open to close_archive, so that only one writer changes it at a time; readers
// take no lock and never wait. When another writer holds the lock, the open
// waits for it, and after one second of waiting calls the notice set here
// once (from another thread) with the path given to open_archive. No notice
// is set at start.
void set_writer_wait_notice(void (*notice)(const char* path));

// Looks a name up in the snapshot taken at open: case-insensitive (ASCII) over
// at most 16 bytes. Returns a pointer into handle->entries, or null. Records
// appended through this handle are not found; records deleted through it are.
DirectoryEntry* find_entry(ArchiveHandle* handle, const char* name);

// Writes the message to standard error and ends the process with status 107.
// A null message writes the store's own out-of-memory line.
[[noreturn]] void fatal_error(const char* message);

// malloc and realloc for the whole store: they never return null, because
// running out of memory ends the process through fatal_error. A size of 0
// still gives a distinct block that free() releases.
void* store_alloc(size_t size);
void* store_realloc(void* block, size_t size);

// A heap block that is kept and grown as needed, so that a loop over many
// records allocates only when a record is larger than any before it.
struct ByteBuffer {
    uint8_t* data;    // capacity bytes; owned; null while capacity is 0
    size_t capacity;
};
// Makes room for size bytes and returns data; the contents are not kept.
uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size);
// Frees the block; the buffer is empty and usable again afterwards.
void release_buffer(ByteBuffer* buffer);

// The two steps of open_archive, exposed for the tests: read and check the
// header of an open stream and build a handle around it (null on failure; the
// stream is not closed), and load the directory chain into a new handle.
//
// What the directory walk accepts, besides an archive exactly as the format
// describes it: the two states that an append interrupted between its writes
// leaves behind. (a) The last table holds one used slot more than the
// header's record_count accounts for (the table was rewritten, the header was
// not). (b) The header counts 99 records in its last table, that table is full
// and points at one more, empty table (the 100th record of the table was
// stored, the header was not raised). In both states the extra record is
// complete and is listed; next_index and table_count follow the directory, not
// the header, and the next append brings the header back into step.
//
// Anything else that disagrees with the header's record_count is refused: a
// chain longer or shorter than that (or looping), more used slots than the
// count plus one or than the last table allows, a negative count. Memory for
// the walk grows only with the tables actually read. Tables that hold fewer
// used slots than the count implies are read as they are (their entries are
// listed); append_record then refuses to fill a slot behind an empty one.
ArchiveHandle* read_archive_header(FILE* file, const char* base_name);
int load_directory(const ArchiveHeader& header, ArchiveHandle* handle);

// The name order of the snapshot: bytes compared unsigned after folding A-Z to
// a-z, over at most 16 bytes, stopping at a zero byte in either name.
int compare_names(const char* a, const char* b);
