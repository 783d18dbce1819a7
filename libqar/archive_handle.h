// The open archive behind a qar_archive handle: the stream, its directory
// tables and a sorted snapshot of its live entries, and the steps of opening
// and creating an archive. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive_format.h"
#include "qar/qar.h"

namespace libqar {

// Room for the archive's base name in messages; longer names are cut to fit.
constexpr size_t QAR_BASE_NAME_SIZE = 256;


// A heap block that is kept and grown as needed, so that a loop over many
// records allocates only when a record is larger than any before it.
struct ByteBuffer {
    uint8_t* data;    // capacity bytes; owned; null while capacity is 0
    size_t capacity;
};
// Makes room for size bytes and returns data, or null when memory ran out
// (the buffer is then empty); the contents are not kept.
uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size);
// Frees the block; the buffer is empty and usable again afterwards.
void release_buffer(ByteBuffer* buffer);

// Writes a new empty archive (3632 bytes) with the given key. QAR_EXISTS,
// leaving the file untouched, when path already exists. The archive appears
// whole or not at all: it is written and flushed under a temporary name
// beside path (announced through notice, which may be null) and then given
// its name, never over a file that appeared there meanwhile. On failure
// nothing is left behind.
qar_status create_archive(const char* path, uint32_t key, qar_temp_notice notice,
                          void* context, qar_error* error);

// Writes the 3632 bytes of a new empty archive with the given key into a new,
// empty stream open for writing, through its descriptor (see archive_io.h),
// and syncs it to the disk; the stream stays open. The message names name.
qar_status write_new_archive(FILE* file, uint32_t key, const char* name, qar_error* error);

// Reads the header and directory again from the file into the handle: the
// snapshot then is the file's directory as it is now, with the records added
// through the handle and without those deleted through it. For a handle open
// for writing, which holds the writers' lock, that directory holds exactly
// the handle's own changes. On failure the handle is left as it was.
qar_status reload_snapshot(qar_archive* archive, qar_error* error);

// The position of the snapshot's first entry of that name (compare_names),
// or -1.
int32_t find_entry(const qar_archive* archive, const char* name);

// The name order of the snapshot: bytes compared unsigned after folding A-Z to
// a-z, over at most 16 bytes, stopping at a zero byte in either name.
int compare_names(const char* a, const char* b);

// The entry's name as text for messages: at most 16 bytes, zero-terminated.
struct RecordText {
    char text[QAR_NAME_LENGTH + 1];
};
RecordText entry_name_text(const DirectoryEntry& entry);

// The record's plain size: the flags word's for a compressed record, else
// the stored size.
uint32_t entry_plain_size(const DirectoryEntry& entry);

// The method the compression bits of a flags word name.
qar_method method_of_flags(uint32_t flags);

}  // namespace libqar

// The handle of qar.h.
struct qar_archive {
    FILE* file;                          // the archive, binary mode; owned
    char* path;                          // as given to open, zero-terminated; owned
    char base_name[libqar::QAR_BASE_NAME_SIZE];  // path without directories, zero-terminated
    int writable;                        // opened for writing (holds the writers' lock)
    int created;                         // this open created the archive
    int32_t table_count;                 // directory tables in the chain
    int32_t entry_count;                 // entries in `entries`
    uint32_t key;                        // the header's archive key
    int32_t next_index;                  // index of the next appended record
    int64_t size_at_load;                // file size when the directory was loaded
    uint32_t* table_offsets;             // table_count offsets, by table number; owned
    int tables_ascending;                // the offsets rise with the table number, as
                                         // appends lay tables out (so they can be
                                         // searched by halves)
    libqar::DirectoryEntry* entries;     // live entries at open, sorted by name (entries
                                         // of one name in index order); owned. An
                                         // entry deleted through the handle keeps its
                                         // place and gets QAR_FLAG_DELETED; one updated
                                         // or replaced through it follows the file.
    int append_refused;                  // set after a failed write: the stream's state is
                                         // not trusted, later changes through this handle
                                         // fail
    int left_by_interrupted_append;      // 1 when the directory holds one complete record
                                         // more than the header counts (load_directory)
    qar_temp_notice temp_notice;         // from the open options, or null
    void* temp_context;
};
