// Operations on the records of an open archive. All report failure through
// their result and the last error text (archive_handle.h).
#pragma once

#include <cstdint>

#include "archive_handle.h"
#include "record_codec.h"

// Appends a new record at the end of the file, fills the next directory slot
// (chaining a new empty table when a table fills up) and sets the header's
// record count to the number of slots now used. With a non-zero key, data is
// masked in place first (so the caller's buffer holds masked bytes afterwards,
// success or not). Compression is tried only when stored_size_out is given and
// size <= 16,777,215; it then receives the stored size.
//
// Writes go in this order, each flushed before the next: the stored bytes,
// the new empty table (when one is chained on), the table with the new slot,
// the header. A process killed between two of them leaves an archive that
// opens with every completed record (see load_directory).
//
// Fails, writing nothing, for a record of 0 bytes or an empty name (its slot
// would look unused), when the file would grow past 2,147,483,647 bytes, when
// the last table's used slots do not match next_index (a damaged file), or
// when an earlier write through this handle failed (append_refused). A write
// that fails sets append_refused: the bytes already written stay in the file
// unreferenced, the archive reads as before, and a fresh open can append again.
int append_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                  const char* name, uint32_t* stored_size_out);

// The two steps of append_record around the encoding, for a caller that
// encodes records elsewhere (see record_codec.h) and stores them in order.
//
// Where the next record goes, as prepare_append found it; valid until the
// next write through the handle.
struct AppendSlot {
    DirectoryTable table;  // the last table as read from the file
    uint32_t slot;         // the slot the record will fill
};
// The checks that append_record makes before it writes anything (a refused
// handle, 0 bytes or an empty name, a directory out of step), with their
// messages; reads the last table into *out. 1 when a record of size bytes may
// be stored.
int prepare_append(ArchiveHandle* handle, uint32_t size, const char* name, AppendSlot* out);
// Writes an encoded record into the slot prepare_append gave, in
// append_record's order and with its failures (the size limit, failed writes).
int store_encoded_record(ArchiveHandle* handle, AppendSlot* slot, const EncodedRecord& record,
                         uint32_t time, const char* name);

// Writes new data for an existing record (masked, never compressed) at the end
// of the file and points the record's entry at it (flags 0: not deleted, not
// compressed). The name is looked up in the snapshot, and its slot in the file
// checked, before anything is written, so a missing name adds no bytes. Fails
// like append_record on 0 bytes, the size limit and append_refused.
int replace_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                   const char* name);

// Sets the deleted bit of a record's entry in the file. The snapshot keeps it,
// so it can still be read (and deleted again) through this handle.
int delete_record(ArchiveHandle* handle, const char* name);

// Reads a record's plain bytes (decompressed and unmasked). With a buffer, the
// record is read into it when it fits capacity (null, and the last error text
// untouched, when it does not); without one (buffer null), into a new buffer
// the caller frees with free(). size_out receives the record's size. A name
// not in the snapshot, stored bytes that lie beyond the end of the file
// (checked before anything is allocated) or a stream that does not decode to
// exactly the size the flags word records give null with a message: a
// damaged record is never handed out in part.
uint8_t* read_record(ArchiveHandle* handle, const char* name, uint32_t* size_out,
                     uint8_t* buffer, uint32_t capacity);
uint8_t* read_record_alloc(ArchiveHandle* handle, const char* name, uint32_t* size_out);

// delete_record and read_record for one entry of the snapshot (a pointer into
// handle->entries, as get_directory hands them out) rather than a name, so
// that two records of the same name can each be deleted or read.
int delete_entry(ArchiveHandle* handle, const DirectoryEntry* entry);
uint8_t* read_entry(ArchiveHandle* handle, const DirectoryEntry* entry, uint32_t* size_out,
                    uint8_t* buffer, uint32_t capacity);

// read_entry into buffers the caller keeps for the next record: plain is
// grown to the record's size once the entry is checked against the file,
// stored holds a compressed record's stream. Returns plain's data, or null
// with a message. It reads only through positioned reads and the calling
// thread's last error text, so several threads may read records of one
// handle at the same time while nothing writes through it.
uint8_t* read_entry_into(ArchiveHandle* handle, const DirectoryEntry* entry, uint32_t* size_out,
                         ByteBuffer* plain, ByteBuffer* stored);

// Whether an entry of the snapshot is sound: its stored bytes lie inside the
// file, clear of the header and of every directory table, and can be read;
// a compressed record decodes to exactly the size its flags word records.
// The whole record is read and decoded, and then released. 1 when sound;
// otherwise 0, and the last error text says why in words that follow "is
// damaged: " (it names neither the record nor the file).
int check_entry(ArchiveHandle* handle, const DirectoryEntry* entry);

// An entry's stored bytes as they lie in the file (masked, and compressed
// when its flags say so), in a new buffer of stored_size bytes that the
// caller frees with free(); null with a message when they lie beyond the
// end of the file or cannot be read.
uint8_t* read_stored_entry(ArchiveHandle* handle, const DirectoryEntry* entry);

// The handle's sorted snapshot of live entries and its count. Always 1.
int get_directory(ArchiveHandle* handle, DirectoryEntry** entries_out, int32_t* count_out);

// Lowers A-Z in place up to the first zero byte; returns its argument.
char* lower_case_name(char* text);
