// Operations on the records of an open archive that the public functions
// (qar.h) and compaction share.
#pragma once

#include <cstdint>

#include "archive_handle.h"
#include "record_codec.h"

namespace libqar {

// Where the next record goes, as prepare_append found it; valid until the
// next write through the handle.
struct AppendSlot {
    DirectoryTable table;  // the last table as read from the file
    uint32_t slot;         // the slot the record will fill
};

// The checks an append makes before it writes anything (a read-only or
// refused handle, 0 bytes or an empty name, a directory out of step), with
// their messages; reads the last table into *out.
qar_status prepare_append(qar_archive* archive, uint32_t size, const char* name,
                          AppendSlot* out, qar_error* error);

// Appends an encoded record at the end of the file into the slot that
// prepare_append gave, fills the slot (chaining a new empty table when the
// table fills up) and sets the header's record count to the slots now used.
//
// Writes go in this order, each flushed before the next: the stored bytes,
// the new empty table (when one is chained on), the table with the new slot,
// the header. A process killed between two of them leaves an archive that
// opens with every completed record (see load_directory).
//
// Fails, writing nothing, when the file would grow past 2,147,483,647 bytes.
// A write that fails refuses later changes through the handle: the bytes
// already written stay in the file unreferenced, the archive reads as
// before, and a fresh open can append again.
qar_status store_encoded_record(qar_archive* archive, AppendSlot* slot,
                                const EncodedRecord& record, uint32_t stamp, const char* name,
                                qar_error* error);

// An entry's stored bytes as they lie in the file (masked, and compressed
// when its flags say so), in a new block of stored_size bytes (*out; free()
// it); QAR_DAMAGED when they lie beyond the end of the file.
qar_status read_stored_entry(const qar_archive* archive, const DirectoryEntry& entry,
                             uint8_t** out, qar_error* error);

// The steps of a change to a record in place (record_sync.cpp shares them
// with the update).

// The checks every change makes first: a handle opened for reading, or one
// whose earlier write failed, changes nothing; what names what would be
// written in the message.
qar_status check_writable(const qar_archive* archive, const char* what, qar_error* error);

// Where a record's directory entry lies in the file, and the table that
// holds it as read (read_entry_slot).
struct EntrySlot {
    DirectoryTable table;
    int32_t table_number;
    uint32_t slot;
};

// Reads the directory table that holds the snapshot entry into out and
// checks that its slot still is that entry. A slot that holds something else
// is reported with not_found_format (record name, base name) and
// QAR_NOT_FOUND.
qar_status read_entry_slot(const qar_archive* archive, const DirectoryEntry& entry,
                           const char* name, const char* not_found_format, EntrySlot* out,
                           qar_error* error);

// read_entry_slot for the snapshot entry at position, after the checks every
// change makes (check_writable; QAR_INVALID for a position past the
// snapshot). What a deletion, a replacement and a new time share.
qar_status find_entry_slot(qar_archive* archive, size_t position, EntrySlot* out,
                           qar_error* error);

// Writes a record's stored bytes at the end of the file (*offset_out gets
// where), once it is clear that they and extra bytes still to follow keep
// the archive within its size limit. A failed write refuses later changes.
qar_status write_record_data(qar_archive* archive, const char* name, const uint8_t* bytes,
                             uint32_t size, int64_t extra, int64_t* offset_out,
                             qar_error* error);

// Writes directory table number (from the handle's chain) back. A failed
// write refuses later changes.
qar_status write_table(qar_archive* archive, int32_t number, const DirectoryTable& table,
                       qar_error* error);

// Gives the record of the snapshot entry at position, whose slot at holds
// as read, new stored bytes, flags and time: the bytes are written at the
// end of the file (write_record_data), then the table with the slot pointing
// at them (no longer deleted), and the snapshot entry follows, so that reads
// through the handle give the new bytes. What an update and a replacement
// share.
qar_status store_in_place(qar_archive* archive, size_t position, const EncodedRecord& record,
                          uint32_t stamp, const char* name, EntrySlot* at, qar_error* error);

}  // namespace libqar
