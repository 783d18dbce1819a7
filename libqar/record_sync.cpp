// Changes to a record in place that keep its index: a new encoding of any
// method (what a sync stores for a changed file), or only a new time (a file
// touched without a change).
#include "encoding.h"
#include "errors.h"
#include "record_ops.h"

using namespace libqar;

namespace {

// Where a record's directory entry lies in the file, and the table that
// holds it as read.
struct EntrySlot {
    DirectoryTable table;
    int32_t table_number;
    uint32_t slot;
};

// The slot of the snapshot entry at position, after the checks every change
// makes.
qar_status find_slot(qar_archive* archive, size_t position, EntrySlot* out, qar_error* error) {
    qar_status status = check_writable(archive, "dtable", error);
    if (status != QAR_OK) return status;
    if (position >= size_t(archive->entry_count))
        return set_error(error, QAR_INVALID, "No record at that position in file \"%s\"",
                         archive->base_name);
    const DirectoryEntry& entry = archive->entries[position];
    return read_entry_slot(archive, entry, entry_name_text(entry).text,
                           "Could not find record \"%s\" in file \"%s\"", &out->table,
                           &out->table_number, &out->slot, error);
}

}  // namespace

qar_status qar_replace_encoded(qar_archive* archive, size_t position, const qar_encoded* encoded,
                               int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    EntrySlot at;
    qar_status status = find_slot(archive, position, &at, e.to);
    if (status != QAR_OK) return status;
    const RecordText name = entry_name_text(archive->entries[position]);
    if (!encoded->ended || encoded->key != archive->key || encoded->size == 0)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\": %s",
                         name.text, archive->base_name,
                         !encoded->ended                ? "its encoding is not finished"
                         : encoded->key != archive->key ? "it was encoded with another key"
                                                        : "a record holds at least one byte");
    int64_t data_offset = 0;
    status = write_record_data(archive, name.text, encoded->record.stored,
                               encoded->record.stored_size, 0, &data_offset, e.to);
    if (status != QAR_OK) return status;
    DirectoryEntry& entry = at.table.slots[at.slot];
    entry.data_offset = uint32_t(data_offset);
    entry.stored_size = encoded->record.stored_size;
    entry.time = qar_stamp_from_time(mtime);
    entry.flags = encoded->record.flags;
    status = write_table(archive, at.table_number, at.table, e.to);
    if (status == QAR_OK) archive->entries[position] = entry;
    return status;
}

qar_status qar_set_time(qar_archive* archive, size_t position, int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    EntrySlot at;
    qar_status status = find_slot(archive, position, &at, e.to);
    if (status != QAR_OK) return status;
    at.table.slots[at.slot].time = qar_stamp_from_time(mtime);
    status = write_table(archive, at.table_number, at.table, e.to);
    if (status == QAR_OK) archive->entries[position].time = at.table.slots[at.slot].time;
    return status;
}
