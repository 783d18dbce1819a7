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

}  // namespace libqar
