#include "record_ops.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive_io.h"
#include "encoding.h"
#include "errors.h"

namespace libqar {

namespace {

const uint8_t EMPTY_TABLE[QAR_TABLE_SIZE] = {};

char lower_char(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// The name field of a new entry: the first 16 bytes of name, zero-padded,
// lower-cased.
void fill_name(char field[QAR_NAME_LENGTH], const char* name) {
    size_t n = strnlen(name, QAR_NAME_LENGTH);
    memset(field, 0, QAR_NAME_LENGTH);
    for (size_t i = 0; i < n; ++i) field[i] = lower_char(name[i]);
}

// The snapshot entry at position, or null with QAR_INVALID.
const DirectoryEntry* entry_at(const qar_archive* archive, size_t position, qar_error* error) {
    if (position < size_t(archive->entry_count)) return &archive->entries[position];
    set_error(error, QAR_INVALID, "No record at that position in file \"%s\"",
              archive->base_name);
    return nullptr;
}

}  // namespace

// The steps of a change that the record operations share with
// record_sync.cpp (declared in record_ops.h).

qar_status read_table(const qar_archive* archive, int32_t number, DirectoryTable* table,
                      qar_error* error) {
    uint8_t bytes[QAR_TABLE_SIZE];
    int system_error = 0;
    if (number < 0 || number >= archive->table_count ||
        !read_at(archive->file, archive->table_offsets[number], bytes, sizeof bytes,
                 &system_error))
        return set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED, system_error,
                                "Could not read dtable %d of file \"%s\"", number,
                                archive->base_name);
    decode_table(bytes, table);
    return QAR_OK;
}

// A failed write: the stream's state afterwards is not to be trusted, so the
// handle refuses every later change.
qar_status set_write_error(qar_archive* archive, int system_error, qar_error* error,
                           const char* format, const char* what) {
    archive->append_refused = 1;
    return set_system_error(error, QAR_IO, system_error, format, what, archive->base_name);
}

qar_status write_table(qar_archive* archive, int32_t number, const DirectoryTable& table,
                       qar_error* error) {
    uint8_t bytes[QAR_TABLE_SIZE];
    encode_table(table, bytes);
    int system_error = 0;
    if (!write_at(archive->file, archive->table_offsets[number], bytes, sizeof bytes,
                  &system_error))
        return set_write_error(archive, system_error, error, "Could not write %s to file \"%s\"",
                               "dtable");
    return QAR_OK;
}

qar_status store_in_place(qar_archive* archive, size_t position, const EncodedRecord& record,
                          uint32_t stamp, const char* name, EntrySlot* at, qar_error* error) {
    int64_t data_offset = 0;
    qar_status status = write_record_data(archive, name, record.stored, record.stored_size, 0,
                                          &data_offset, error);
    if (status != QAR_OK) return status;
    DirectoryEntry& entry = at->table.slots[at->slot];
    entry.data_offset = uint32_t(data_offset);
    entry.stored_size = record.stored_size;
    entry.time = stamp;
    entry.flags = record.flags;
    status = write_table(archive, at->table_number, at->table, error);
    if (status == QAR_OK) archive->entries[position] = entry;
    return status;
}

// Reads the table that holds the snapshot entry and checks that its slot still
// is that entry. An index outside the chain (a damaged file) is never followed.
// A slot that holds something else is reported with not_found_format (record
// name, base name).
qar_status read_entry_slot(const qar_archive* archive, const DirectoryEntry& entry,
                           const char* name, const char* not_found_format, EntrySlot* out,
                           qar_error* error) {
    out->table_number = entry.index < 0 ? -1 : entry.index / int32_t(QAR_ENTRIES_PER_TABLE);
    out->slot = uint32_t(entry.index) % QAR_ENTRIES_PER_TABLE;
    const qar_status status = read_table(archive, out->table_number, &out->table, error);
    if (status != QAR_OK) return status;
    const DirectoryEntry& found = out->table.slots[out->slot];
    if (memcmp(found.name, entry.name, QAR_NAME_LENGTH) != 0 || found.index != entry.index)
        return set_error(error, QAR_NOT_FOUND, not_found_format, name, archive->base_name);
    return QAR_OK;
}

// The checks every change makes first: a handle opened for reading, or one
// whose earlier write failed, changes nothing.
qar_status check_writable(const qar_archive* archive, const char* what, qar_error* error) {
    if (!archive->writable)
        return set_error(error, QAR_INVALID, "Could not write %s to file \"%s\": it is open "
                         "for reading only", what, archive->base_name);
    if (archive->append_refused)
        return set_error(error, QAR_REFUSED, "Could not write %s to file \"%s\": an earlier "
                         "write to it failed", what, archive->base_name);
    return QAR_OK;
}

qar_status find_entry_slot(qar_archive* archive, size_t position, EntrySlot* out,
                           qar_error* error) {
    const qar_status status = check_writable(archive, "dtable", error);
    if (status != QAR_OK) return status;
    const DirectoryEntry* entry = entry_at(archive, position, error);
    if (entry == nullptr) return error->status;
    return read_entry_slot(archive, *entry, entry_name_text(*entry).text,
                           "Could not find record \"%s\" in file \"%s\"", out, error);
}

bool would_pass_size_limit(int64_t end, int64_t growth) {
    return end < 0 || growth > QAR_MAX_FILE_SIZE || end > QAR_MAX_FILE_SIZE - growth;
}

// Writes a record's stored bytes at the end of the file, once it is clear that
// they, and `extra` bytes still to follow (a table chained on), keep the
// archive within its size limit.
qar_status write_record_data(qar_archive* archive, const char* name, const uint8_t* bytes,
                             uint32_t size, int64_t extra, int64_t* offset_out,
                             qar_error* error) {
    if (would_pass_size_limit(stream_size(archive->file), int64_t(size) + extra))
        return set_error(error, QAR_TOO_LARGE, "Could not write data %s to file \"%s\": the "
                         "archive would grow past 2147483647 bytes", name, archive->base_name);
    int system_error = 0;
    if (!write_at_end(archive->file, bytes, size, offset_out, &system_error)) {
        archive->append_refused = 1;
        return set_system_error(error, QAR_IO, system_error,
                                "Could not write data %s to file \"%s\"", name,
                                archive->base_name);
    }
    return QAR_OK;
}

namespace {

qar_status write_header_count(qar_archive* archive, qar_error* error) {
    uint8_t bytes[QAR_HEADER_SIZE];
    int system_error = 0;
    if (!read_at(archive->file, 0, bytes, sizeof bytes, &system_error))
        return set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED, system_error,
                                "Could not read header of file \"%s\"", archive->base_name);
    ArchiveHeader header;
    decode_header(bytes, &header);
    // The count follows the directory, which also brings a header left behind
    // by an interrupted append back into step.
    header.record_count = archive->next_index;
    encode_header(header, bytes);
    if (!write_at(archive->file, 0, bytes, sizeof bytes, &system_error))
        return set_write_error(archive, system_error, error, "Could not write %s of file \"%s\"",
                               "header");
    return QAR_OK;
}

// 1 when the entry's stored bytes lie inside the file. Checked before
// anything is allocated: a damaged entry that claims 4 GB in a 4 KB file is
// a read failure, not exhausted memory. An archive file only grows (records
// are appended; a compaction puts a new file under the name), so bytes within
// the size seen at loading are in the file without asking the system again;
// only an entry beyond it (a record written since) costs a look at the file.
bool stored_bytes_in_file(const qar_archive* archive, const DirectoryEntry& entry) {
    const int64_t end = int64_t(entry.data_offset) + int64_t(entry.stored_size);
    if (end <= archive->size_at_load) return true;
    const int64_t file_size = stream_size(archive->file);
    return file_size >= 0 && end <= file_size;
}

// QAR_DAMAGED, naming the record, when the entry's stored bytes do not lie
// inside the file.
qar_status check_stored_bytes(const qar_archive* archive, const DirectoryEntry& entry,
                              qar_error* error) {
    if (stored_bytes_in_file(archive, entry)) return QAR_OK;
    return set_error(error, QAR_DAMAGED, "Could not read record %s from file \"%s\"",
                     entry_name_text(entry).text, archive->base_name);
}

// Records up to this size are read and decoded in blocks on the stack, so
// that a loop over small records allocates nothing per record.
constexpr uint32_t STACK_RECORD_SIZE = 4096;

// Reads the entry's plain bytes into plain, which holds its plain size; the
// caller has checked the entry against the file (check_stored_bytes). A
// compressed record's stream is read into a block of its own. Only positioned
// reads: several threads may read at once.
qar_status read_entry_into(const qar_archive* archive, const DirectoryEntry& entry,
                           uint8_t* plain, qar_error* error) {
    const bool compressed = (entry.flags & QAR_COMPRESSION_MASK) != 0;
    uint8_t small[STACK_RECORD_SIZE];
    ByteBuffer large = {};
    uint8_t* raw = !compressed                           ? plain
                   : entry.stored_size <= sizeof small ? small
                                                        : reserve_buffer(&large, entry.stored_size);
    if (raw == nullptr) return set_no_memory(error);
    int system_error = 0;
    qar_status status = QAR_OK;
    if (!read_at(archive->file, entry.data_offset, raw, entry.stored_size, &system_error))
        status = set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED, system_error,
                                  "Could not read record %s from file \"%s\"",
                                  entry_name_text(entry).text, archive->base_name);
    else if (compressed)
        status = decode_record(raw, entry.stored_size, entry.flags, plain, error);
    release_buffer(&large);
    if (status == QAR_OK && archive->key != 0)
        mask_with_key(plain, entry_plain_size(entry), archive->key);
    return status;
}

// 1 when [start, start + size) meets [other, other + other_size).
bool overlaps(int64_t start, int64_t size, int64_t other, int64_t other_size) {
    return size > 0 && start < other + other_size && other < start + size;
}

// The first directory table after table 0 that [start, start + size)
// overlaps, or 0 for none. Tables laid out in chain order are searched by
// halves, so that testing every record does not cost records times tables;
// any other layout (a damaged file) is searched table by table.
int32_t table_overlapped(const qar_archive* archive, int64_t start, int64_t size) {
    const uint32_t* offsets = archive->table_offsets;
    const int32_t count = archive->table_count;
    if (!archive->tables_ascending) {
        for (int32_t t = 1; t < count; ++t)
            if (overlaps(start, size, offsets[t], int64_t(QAR_TABLE_SIZE))) return t;
        return 0;
    }
    // The first table that ends after start: no table before it reaches the
    // span, and none after it can when it does not.
    const uint32_t* first = std::upper_bound(
        offsets + 1, offsets + count, start,
        [](int64_t at, uint32_t offset) { return at < int64_t(offset) + int64_t(QAR_TABLE_SIZE); });
    if (first != offsets + count && overlaps(start, size, *first, int64_t(QAR_TABLE_SIZE)))
        return int32_t(first - offsets);
    return 0;
}

qar_status check_entry(const qar_archive* archive, const DirectoryEntry& entry, qar_error* error) {
    const int64_t start = entry.data_offset, size = entry.stored_size;
    if (!stored_bytes_in_file(archive, entry))
        return set_error(error, QAR_DAMAGED, "its stored bytes lie beyond the end of the file");
    // Table 0 lies right behind the header, so both are one span.
    if (overlaps(start, size, 0, int64_t(QAR_NEW_ARCHIVE_SIZE)))
        return set_error(error, QAR_DAMAGED,
                         "its stored bytes overlap the header or directory table 0");
    const int32_t table = table_overlapped(archive, start, size);
    if (table != 0)
        return set_error(error, QAR_DAMAGED, "its stored bytes overlap directory table %d",
                         int(table));
    uint8_t small[STACK_RECORD_SIZE];
    ByteBuffer large = {};
    const uint32_t plain_size = entry_plain_size(entry);
    uint8_t* plain = plain_size <= sizeof small ? small : reserve_buffer(&large, plain_size);
    const qar_status status =
        plain != nullptr ? read_entry_into(archive, entry, plain, error) : set_no_memory(error);
    release_buffer(&large);
    if (status == QAR_OK || status == QAR_NO_MEMORY) return status;
    // The reason, in words that follow "is damaged: ".
    char why[QAR_MESSAGE_SIZE];
    snprintf(why, sizeof why, "%s", error->message);
    if ((entry.flags & QAR_COMPRESSION_MASK) != 0 && status == QAR_DAMAGED)
        return set_error(error, status, "its stream does not decode to its %u bytes (%s)",
                         unsigned(flags_uncompressed_size(entry.flags)), why);
    // The read's own message names the record and the file; only the
    // system's reason behind it is kept.
    char prefix[QAR_MESSAGE_SIZE];
    const int length = snprintf(prefix, sizeof prefix, "Could not read record %s from file \"%s\": ",
                                entry_name_text(entry).text, archive->base_name);
    const bool has_reason = length > 0 && strncmp(why, prefix, size_t(length)) == 0;
    return set_error(error, status, "its stored bytes could not be read%s%s",
                     has_reason ? ": " : "", has_reason ? why + length : "");
}

}  // namespace

qar_status prepare_append(qar_archive* archive, uint32_t size, const char* name,
                          AppendSlot* out, qar_error* error) {
    qar_status status = check_writable(archive, "data", error);
    if (status != QAR_OK) return status;
    // A record of no bytes cannot be stored, and an empty name would make its
    // slot look unused and hide every record after it.
    if (size == 0 || name[0] == 0)
        return set_error(error, QAR_INVALID, "Could not write data %s to file \"%s\"", name,
                         archive->base_name);
    const int32_t last = archive->table_count - 1;
    status = read_table(archive, last, &out->table, error);
    if (status != QAR_OK) return status;
    out->slot = uint32_t(archive->next_index) % QAR_ENTRIES_PER_TABLE;
    if (archive->next_index / int32_t(QAR_ENTRIES_PER_TABLE) != last ||
        table_used_slots(out->table) != out->slot || archive->next_index == INT32_MAX)
        return set_error(error, QAR_DAMAGED, "Could not write data %s to file \"%s\": its "
                         "directory does not match its header", name, archive->base_name);
    return QAR_OK;
}

qar_status store_encoded_record(qar_archive* archive, AppendSlot* slot,
                                const EncodedRecord& record, uint32_t stamp, const char* name,
                                qar_error* error) {
    const int32_t last = archive->table_count - 1;
    DirectoryTable& table = slot->table;
    const bool chain = slot->slot + 1 == QAR_ENTRIES_PER_TABLE;
    // Room for the new table's offset, taken before anything is written.
    if (chain) {
        uint32_t* offsets = static_cast<uint32_t*>(realloc(
            archive->table_offsets, size_t(archive->table_count + 1) * sizeof(uint32_t)));
        if (offsets == nullptr) return set_no_memory(error);
        archive->table_offsets = offsets;
    }
    // Order of writes: the data, a new empty table when this slot fills the
    // table, the table with the new entry, and last the header. A process
    // killed between any two of them leaves an archive that still opens.
    int64_t data_offset = 0;
    qar_status status = write_record_data(archive, name, record.stored, record.stored_size,
                                          chain ? int64_t(QAR_TABLE_SIZE) : 0, &data_offset, error);
    if (status != QAR_OK) return status;

    DirectoryEntry& entry = table.slots[slot->slot];
    fill_name(entry.name, name);
    entry.data_offset = uint32_t(data_offset);
    entry.index = archive->next_index;
    entry.stored_size = record.stored_size;
    entry.time = stamp;
    entry.flags = record.flags;
    // Readers ignore the slots behind the first empty one, but bytes left there
    // (a damaged file) would surface as records once this slot is used.
    for (uint32_t s = slot->slot + 1; s < QAR_ENTRIES_PER_TABLE; ++s)
        table.slots[s] = DirectoryEntry{};
    int64_t new_table_offset = 0;
    if (chain) {
        int system_error = 0;
        if (!write_at_end(archive->file, EMPTY_TABLE, sizeof EMPTY_TABLE, &new_table_offset,
                          &system_error))
            return set_write_error(archive, system_error, error,
                                   "Could not write %s to file \"%s\"", "a new dtable");
        table.next_table_offset = uint32_t(new_table_offset);
    }
    status = write_table(archive, last, table, error);
    if (status != QAR_OK) return status;

    archive->next_index += 1;
    if (chain) {
        if (new_table_offset < archive->table_offsets[archive->table_count - 1])
            archive->tables_ascending = 0;
        archive->table_offsets[archive->table_count] = uint32_t(new_table_offset);
        archive->table_count += 1;
    }
    return write_header_count(archive, error);
}

qar_status read_stored_entry(const qar_archive* archive, const DirectoryEntry& entry,
                             uint8_t** out, qar_error* error) {
    *out = nullptr;
    const qar_status status = check_stored_bytes(archive, entry, error);
    if (status != QAR_OK) return status;
    uint8_t* stored = static_cast<uint8_t*>(malloc(entry.stored_size != 0 ? entry.stored_size : 1));
    if (stored == nullptr) return set_no_memory(error);
    int system_error = 0;
    if (!read_at(archive->file, entry.data_offset, stored, entry.stored_size, &system_error)) {
        free(stored);
        return set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED, system_error,
                                "Could not read record %s from file \"%s\"",
                                entry_name_text(entry).text, archive->base_name);
    }
    *out = stored;
    return QAR_OK;
}

}  // namespace libqar

using namespace libqar;

// ---------------------------------------------------------------------------
// The public record operations

qar_status qar_add_encoded(qar_archive* archive, const char* name, const qar_encoded* encoded,
                           int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    if (name == nullptr) name = "";
    if (!encoded->ended || encoded->key != archive->key)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\": %s", name,
                         archive->base_name,
                         !encoded->ended ? "its encoding is not finished"
                                         : "it was encoded with another key");
    AppendSlot slot;
    const qar_status status = prepare_append(archive, encoded->size, name, &slot, e.to);
    if (status != QAR_OK) return status;
    return store_encoded_record(archive, &slot, encoded->record, qar_stamp_from_time(mtime), name,
                                e.to);
}

namespace {

// Encodes data with the archive's key and hands it to store (qar_add_encoded
// or qar_update_encoded).
qar_status encode_and_store(qar_archive* archive, const char* name, const void* data,
                            size_t size, int64_t mtime, unsigned options,
                            qar_status (*store)(qar_archive*, const char*, const qar_encoded*,
                                                int64_t, qar_error*),
                            qar_error* error) {
    qar_encoded* encoded = nullptr;
    qar_status status = qar_encoded_new(&encoded, error);
    if (status == QAR_OK)
        status = qar_encode(encoded, data, size, archive->key, options, nullptr, error);
    if (status == QAR_OK) status = store(archive, name, encoded, mtime, error);
    qar_encoded_free(encoded);
    return status;
}

}  // namespace

qar_status qar_add(qar_archive* archive, const char* name, const void* data, size_t size,
                   int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    // Refused before the work of encoding.
    qar_status status = check_writable(archive, "data", e.to);
    if (status != QAR_OK) return status;
    return encode_and_store(archive, name, data, size, mtime, 0, qar_add_encoded, e.to);
}

qar_status qar_update_encoded(qar_archive* archive, const char* name,
                              const qar_encoded* encoded, int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    if (name == nullptr) name = "";
    qar_status status = check_writable(archive, "data", e.to);
    if (status != QAR_OK) return status;
    if (!encoded->ended || encoded->key != archive->key || encoded->record.flags != 0)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\": %s", name,
                         archive->base_name,
                         !encoded->ended ? "its encoding is not finished"
                         : encoded->key != archive->key ? "it was encoded with another key"
                                                        : "a replacement is stored as it is");
    if (encoded->size == 0)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\"", name,
                         archive->base_name);
    // Looked up before anything is written, so a missing name costs no bytes.
    const int32_t found = find_entry(archive, name);
    if (found < 0)
        return set_error(e.to, QAR_NOT_FOUND, "Could not find old record \"%s\" in file \"%s\"",
                         name, archive->base_name);
    EntrySlot at;
    status = read_entry_slot(archive, archive->entries[found], name,
                             "Could not find old record \"%s\" in file \"%s\"", &at, e.to);
    if (status != QAR_OK) return status;
    return store_in_place(archive, size_t(found), encoded->record, qar_stamp_from_time(mtime),
                          name, &at, e.to);
}

qar_status qar_update(qar_archive* archive, const char* name, const void* data, size_t size,
                      int64_t mtime, qar_error* error) {
    ErrorOut e(error);
    qar_status status = check_writable(archive, "data", e.to);
    if (status != QAR_OK) return status;
    return encode_and_store(archive, name, data, size, mtime, QAR_ENCODE_PLAIN,
                            qar_update_encoded, e.to);
}

qar_status qar_delete(qar_archive* archive, size_t position, qar_error* error) {
    ErrorOut e(error);
    EntrySlot at;
    qar_status status = find_entry_slot(archive, position, &at, e.to);
    if (status != QAR_OK) return status;
    at.table.slots[at.slot].flags |= QAR_FLAG_DELETED;
    status = write_table(archive, at.table_number, at.table, e.to);
    if (status == QAR_OK) archive->entries[position].flags |= QAR_FLAG_DELETED;
    return status;
}

qar_status qar_read(const qar_archive* archive, size_t position, void* buffer, size_t capacity,
                    size_t* size, qar_error* error) {
    ErrorOut e(error);
    const DirectoryEntry* entry = entry_at(archive, position, e.to);
    if (entry == nullptr) return e.to->status;
    const uint32_t plain_size = entry_plain_size(*entry);
    if (size != nullptr) *size = plain_size;
    // Checked before the capacity, so that a caller that sizes its buffer
    // from *size never allocates what a damaged entry claims.
    const qar_status status = check_stored_bytes(archive, *entry, e.to);
    if (status != QAR_OK) return status;
    if (plain_size > capacity || buffer == nullptr)
        return set_error(e.to, QAR_BUFFER_TOO_SMALL, "Record %s of file \"%s\" holds %u bytes",
                         entry_name_text(*entry).text, archive->base_name, unsigned(plain_size));
    return read_entry_into(archive, *entry, static_cast<uint8_t*>(buffer), e.to);
}

qar_status qar_read_alloc(const qar_archive* archive, size_t position, void** data, size_t* size,
                          qar_error* error) {
    ErrorOut e(error);
    *data = nullptr;
    const DirectoryEntry* entry = entry_at(archive, position, e.to);
    if (entry == nullptr) return e.to->status;
    qar_status status = check_stored_bytes(archive, *entry, e.to);
    if (status != QAR_OK) return status;
    const uint32_t plain_size = entry_plain_size(*entry);
    // A record of 0 bytes still gets a block.
    uint8_t* plain = static_cast<uint8_t*>(malloc(plain_size != 0 ? plain_size : 1));
    if (plain == nullptr) return set_no_memory(e.to);
    status = read_entry_into(archive, *entry, plain, e.to);
    if (status != QAR_OK) {
        free(plain);
        return status;
    }
    *data = plain;
    if (size != nullptr) *size = plain_size;
    return QAR_OK;
}

void qar_free(void* data) { free(data); }

qar_status qar_test(const qar_archive* archive, size_t position, qar_error* error) {
    ErrorOut e(error);
    const DirectoryEntry* entry = entry_at(archive, position, e.to);
    if (entry == nullptr) return e.to->status;
    return check_entry(archive, *entry, e.to);
}

qar_status qar_test_all(const qar_archive* archive, qar_damage_notice notice,
                        void* notice_context, size_t* damaged, qar_error* error) {
    ErrorOut e(error);
    size_t count = 0;
    for (size_t position = 0; position < size_t(archive->entry_count); ++position) {
        qar_error outcome;
        const qar_status status = qar_test(archive, position, &outcome);
        if (status == QAR_NO_MEMORY) {
            *e.to = outcome;
            return status;
        }
        if (status == QAR_OK) continue;
        if (count++ == 0) *e.to = outcome;
        if (notice != nullptr) notice(notice_context, position, outcome.message);
    }
    if (damaged != nullptr) *damaged = count;
    return e.to->status;
}
