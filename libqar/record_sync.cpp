// Changes to a record in place that keep its index: a new encoding of any
// method (what a sync stores for a changed file), or only a new time (a file
// touched without a change).
#include "encoding.h"
#include "errors.h"
#include "record_ops.h"

using namespace libqar;

qar_status qar_replace_encoded(qar_archive* archive, size_t position, const qar_encoded* encoded,
                               int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    EntrySlot at;
    qar_status status = find_entry_slot(archive, position, &at, e.to);
    if (status != QAR_OK) return status;
    const RecordText name = entry_name_text(archive->entries[position]);
    if (!encoded->ended || encoded->key != archive->key || encoded->size == 0)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\": %s",
                         name.text, archive->base_name,
                         !encoded->ended                ? "its encoding is not finished"
                         : encoded->key != archive->key ? "it was encoded with another key"
                                                        : "a record holds at least one byte");
    return store_in_place(archive, position, encoded->record, qar_stamp_from_time(mtime),
                          name.text, &at, e.to);
}

qar_status qar_set_time(qar_archive* archive, size_t position, int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    EntrySlot at;
    qar_status status = find_entry_slot(archive, position, &at, e.to);
    if (status != QAR_OK) return status;
    at.table.slots[at.slot].time = qar_stamp_from_time(mtime);
    status = write_table(archive, at.table_number, at.table, e.to);
    if (status == QAR_OK) archive->entries[position].time = at.table.slots[at.slot].time;
    return status;
}
