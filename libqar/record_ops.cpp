#include "record_ops.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive_io.h"
#include "record_codec.h"

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

int read_table(ArchiveHandle* handle, int32_t number, DirectoryTable* table) {
    uint8_t bytes[QAR_TABLE_SIZE];
    if (number < 0 || number >= handle->table_count ||
        !read_at(handle->file, handle->table_offsets[number], bytes, sizeof bytes)) {
        set_io_error("Could not read dtable %d of file \"%s\"", number, handle->base_name);
        return 0;
    }
    decode_table(bytes, table);
    return 1;
}

int write_table(ArchiveHandle* handle, int32_t number, const DirectoryTable& table) {
    uint8_t bytes[QAR_TABLE_SIZE];
    encode_table(table, bytes);
    if (!write_at(handle->file, handle->table_offsets[number], bytes, sizeof bytes)) {
        // The stream's state after a failed write is not to be trusted.
        handle->append_refused = 1;
        set_io_error("Could not write dtable to file \"%s\"", handle->base_name);
        return 0;
    }
    return 1;
}

// Reads the table that holds the snapshot entry and checks that its slot still
// is that entry. An index outside the chain (a damaged file) is never followed.
// A slot that holds something else is reported with not_found_format (record
// name, base name).
int read_entry_slot(ArchiveHandle* handle, const DirectoryEntry& entry, const char* name,
                    const char* not_found_format, DirectoryTable* table, int32_t* table_number,
                    uint32_t* slot) {
    if (entry.index < 0) {
        set_last_error("Could not read dtable %d of file \"%s\"", -1, handle->base_name);
        return 0;
    }
    *table_number = entry.index / int32_t(QAR_ENTRIES_PER_TABLE);
    *slot = uint32_t(entry.index) % QAR_ENTRIES_PER_TABLE;
    if (!read_table(handle, *table_number, table)) return 0;
    const DirectoryEntry& found = table->slots[*slot];
    if (memcmp(found.name, entry.name, QAR_NAME_LENGTH) != 0 || found.index != entry.index) {
        set_last_error(not_found_format, name, handle->base_name);
        return 0;
    }
    return 1;
}

// The entry's name as text for messages: at most 16 bytes, zero-terminated.
struct RecordText {
    char text[QAR_NAME_LENGTH + 1];
};

RecordText entry_name_text(const DirectoryEntry& entry) {
    RecordText out;
    memcpy(out.text, entry.name, QAR_NAME_LENGTH);
    out.text[QAR_NAME_LENGTH] = 0;
    return out;
}

uint32_t entry_plain_size(const DirectoryEntry& entry) {
    return (entry.flags & QAR_COMPRESSION_MASK) != 0 ? flags_uncompressed_size(entry.flags)
                                                      : entry.stored_size;
}

int refuse_after_failed_write(ArchiveHandle* handle, const char* what) {
    set_last_error("Could not write %s to file \"%s\": an earlier write to it failed", what,
                   handle->base_name);
    return 0;
}

bool would_pass_size_limit(int64_t end, int64_t growth) {
    return end < 0 || growth > QAR_MAX_FILE_SIZE || end > QAR_MAX_FILE_SIZE - growth;
}

void set_size_limit_error(ArchiveHandle* handle, const char* name) {
    set_last_error("Could not write data %s to file \"%s\": the archive would grow past "
                   "2147483647 bytes",
                   name, handle->base_name);
}

// Writes a record's stored bytes at the end of the file, once it is clear that
// they, and `extra` bytes still to follow (a table chained on), keep the
// archive within its size limit. A failed write refuses later writes through
// the handle, whose stream can no longer be trusted.
int write_record_data(ArchiveHandle* handle, const char* name, const uint8_t* bytes,
                      uint32_t size, int64_t extra, int64_t* offset_out) {
    if (would_pass_size_limit(stream_size(handle->file), int64_t(size) + extra)) {
        set_size_limit_error(handle, name);
        return 0;
    }
    if (!write_at_end(handle->file, bytes, size, offset_out)) {
        handle->append_refused = 1;
        set_io_error("Could not write data %s to file \"%s\"", name, handle->base_name);
        return 0;
    }
    return 1;
}

int write_header_count(ArchiveHandle* handle) {
    uint8_t bytes[QAR_HEADER_SIZE];
    if (!read_at(handle->file, 0, bytes, sizeof bytes)) {
        set_io_error("Could not read header of file \"%s\"", handle->base_name);
        return 0;
    }
    ArchiveHeader header;
    decode_header(bytes, &header);
    // The count follows the directory, which also brings a header left behind
    // by an interrupted append back into step.
    header.record_count = handle->next_index;
    encode_header(header, bytes);
    if (!write_at(handle->file, 0, bytes, sizeof bytes)) {
        handle->append_refused = 1;
        set_io_error("Could not write header of file \"%s\"", handle->base_name);
        return 0;
    }
    return 1;
}

}  // namespace

int prepare_append(ArchiveHandle* handle, uint32_t size, const char* name, AppendSlot* out) {
    if (handle->append_refused) {
        set_last_error("Could not write data %s to file \"%s\": an earlier write to it failed",
                       name, handle->base_name);
        return 0;
    }
    // A record of no bytes cannot be stored, and an empty name would make its
    // slot look unused and hide every record after it.
    if (size == 0 || name[0] == 0) {
        set_last_error("Could not write data %s to file \"%s\"", name, handle->base_name);
        return 0;
    }
    const int32_t last = handle->table_count - 1;
    if (!read_table(handle, last, &out->table)) return 0;
    out->slot = uint32_t(handle->next_index) % QAR_ENTRIES_PER_TABLE;
    if (handle->next_index / int32_t(QAR_ENTRIES_PER_TABLE) != last ||
        table_used_slots(out->table) != out->slot || handle->next_index == INT32_MAX) {
        set_last_error("Could not write data %s to file \"%s\": its directory does not match "
                       "its header",
                       name, handle->base_name);
        return 0;
    }
    return 1;
}

int store_encoded_record(ArchiveHandle* handle, AppendSlot* slot, const EncodedRecord& record,
                         uint32_t time, const char* name) {
    const int32_t last = handle->table_count - 1;
    DirectoryTable& table = slot->table;
    const bool chain = slot->slot + 1 == QAR_ENTRIES_PER_TABLE;
    // Order of writes: the data, a new empty table when this slot fills the
    // table, the table with the new entry, and last the header. A process
    // killed between any two of them leaves an archive that still opens.
    int64_t data_offset = 0;
    if (!write_record_data(handle, name, record.stored, record.stored_size,
                           chain ? int64_t(QAR_TABLE_SIZE) : 0, &data_offset))
        return 0;

    DirectoryEntry& entry = table.slots[slot->slot];
    fill_name(entry.name, name);
    entry.data_offset = uint32_t(data_offset);
    entry.index = handle->next_index;
    entry.stored_size = record.stored_size;
    entry.time = time;
    entry.flags = record.flags;
    // Readers ignore the slots behind the first empty one, but bytes left there
    // (a damaged file) would surface as records once this slot is used.
    for (uint32_t s = slot->slot + 1; s < QAR_ENTRIES_PER_TABLE; ++s)
        table.slots[s] = DirectoryEntry{};
    int64_t new_table_offset = 0;
    if (chain) {
        if (!write_at_end(handle->file, EMPTY_TABLE, sizeof EMPTY_TABLE, &new_table_offset)) {
            handle->append_refused = 1;
            set_io_error("Could not write a new dtable to file \"%s\"", handle->base_name);
            return 0;
        }
        table.next_table_offset = uint32_t(new_table_offset);
    }
    if (!write_table(handle, last, table)) return 0;

    handle->next_index += 1;
    if (chain) {
        handle->table_offsets = static_cast<uint32_t*>(store_realloc(
            handle->table_offsets, size_t(handle->table_count + 1) * sizeof(uint32_t)));
        handle->table_offsets[handle->table_count] = uint32_t(new_table_offset);
        handle->table_count += 1;
    }
    return write_header_count(handle);
}

int append_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                  const char* name, uint32_t* stored_size_out) {
    if (handle->key != 0) mask_with_key(data, size, handle->key);
    AppendSlot slot;
    if (!prepare_append(handle, size, name, &slot)) return 0;
    ByteBuffer streams[2] = {};
    ByteBuffer work_block = {};
    EncodedRecord record;
    int ok = encode_record(data, size, stored_size_out != nullptr, streams,
                           stored_size_out != nullptr ? codec_work_area(&work_block) : nullptr,
                           &record);
    release_buffer(&work_block);
    if (ok) {
        if (stored_size_out != nullptr) *stored_size_out = record.stored_size;
        ok = store_encoded_record(handle, &slot, record, time, name);
    }
    release_buffer(&streams[0]);
    release_buffer(&streams[1]);
    return ok;
}

int replace_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                   const char* name) {
    if (handle->key != 0) mask_with_key(data, size, handle->key);
    if (handle->append_refused) return refuse_after_failed_write(handle, "data");
    if (size == 0) {
        set_last_error("Could not write data %s to file \"%s\"", name, handle->base_name);
        return 0;
    }
    // Looked up before anything is written, so a missing name costs no bytes.
    const DirectoryEntry* found = find_entry(handle, name);
    DirectoryTable table;
    int32_t table_number = 0;
    uint32_t slot = 0;
    if (found == nullptr) {
        set_last_error("Could not find old record \"%s\" in file \"%s\"", name,
                       handle->base_name);
        return 0;
    }
    if (!read_entry_slot(handle, *found, name, "Could not find old record \"%s\" in file \"%s\"",
                         &table, &table_number, &slot))
        return 0;
    int64_t data_offset = 0;
    if (!write_record_data(handle, name, data, size, 0, &data_offset)) return 0;
    DirectoryEntry& entry = table.slots[slot];
    entry.data_offset = uint32_t(data_offset);
    entry.stored_size = size;
    entry.time = time;
    entry.flags = 0;
    return write_table(handle, table_number, table);
}

int delete_record(ArchiveHandle* handle, const char* name) {
    const DirectoryEntry* found = find_entry(handle, name);
    if (found == nullptr) {
        set_last_error("Could not find record \"%s\" in file \"%s\"", name, handle->base_name);
        return 0;
    }
    return delete_entry(handle, found);
}

int delete_entry(ArchiveHandle* handle, const DirectoryEntry* entry) {
    if (handle->append_refused) return refuse_after_failed_write(handle, "dtable");
    RecordText name = entry_name_text(*entry);
    DirectoryTable table;
    int32_t table_number = 0;
    uint32_t slot = 0;
    if (!read_entry_slot(handle, *entry, name.text, "Could not find record \"%s\" in file \"%s\"",
                         &table, &table_number, &slot))
        return 0;
    table.slots[slot].flags |= QAR_FLAG_DELETED;
    return write_table(handle, table_number, table);
}

uint8_t* read_record(ArchiveHandle* handle, const char* name, uint32_t* size_out,
                     uint8_t* buffer, uint32_t capacity) {
    const DirectoryEntry* entry = find_entry(handle, name);
    if (entry == nullptr) {
        set_last_error("Could not find record \"%s\" in file \"%s\"", name, handle->base_name);
        return nullptr;
    }
    return read_entry(handle, entry, size_out, buffer, capacity);
}

namespace {

// 1 when the entry's stored bytes lie inside the file. Checked before
// anything is allocated: a damaged entry that claims 4 GB in a 4 KB file is
// a read failure, not exhausted memory.
bool stored_bytes_in_file(ArchiveHandle* handle, const DirectoryEntry* entry) {
    const int64_t file_size = stream_size(handle->file);
    return file_size >= 0 &&
           int64_t(entry->data_offset) + int64_t(entry->stored_size) <= file_size;
}

}  // namespace

uint8_t* read_entry_into(ArchiveHandle* handle, const DirectoryEntry* entry, uint32_t* size_out,
                         ByteBuffer* plain, ByteBuffer* stored) {
    RecordText record = entry_name_text(*entry);
    const char* name = record.text;
    const bool compressed = (entry->flags & QAR_COMPRESSION_MASK) != 0;
    const uint32_t plain_size = entry_plain_size(*entry);
    if (!stored_bytes_in_file(handle, entry)) {
        set_last_error("Could not read record %s from file \"%s\"", name, handle->base_name);
        return nullptr;
    }
    uint8_t* result = reserve_buffer(plain, plain_size);
    uint8_t* raw = compressed ? reserve_buffer(stored, entry->stored_size) : result;
    if (!read_at(handle->file, entry->data_offset, raw, entry->stored_size)) {
        set_io_error("Could not read record %s from file \"%s\"", name, handle->base_name);
        return nullptr;
    }
    if (compressed && !decode_record(raw, entry->stored_size, entry->flags, result))
        return nullptr;
    *size_out = plain_size;
    if (handle->key != 0) mask_with_key(result, plain_size, handle->key);
    return result;
}

uint8_t* read_entry(ArchiveHandle* handle, const DirectoryEntry* entry, uint32_t* size_out,
                    uint8_t* buffer, uint32_t capacity) {
    if (buffer != nullptr && entry_plain_size(*entry) > capacity) return nullptr;
    // The caller's buffer is large enough, so read_entry_into never replaces it.
    ByteBuffer plain = {buffer, buffer != nullptr ? size_t(capacity) : 0};
    ByteBuffer stored = {};
    uint8_t* result = read_entry_into(handle, entry, size_out, &plain, &stored);
    release_buffer(&stored);
    if (result == nullptr && buffer == nullptr) release_buffer(&plain);
    return result;
}

namespace {

// 1 when [start, start + size) meets [other, other + other_size).
bool overlaps(int64_t start, int64_t size, int64_t other, int64_t other_size) {
    return size > 0 && start < other + other_size && other < start + size;
}

}  // namespace

int check_entry(ArchiveHandle* handle, const DirectoryEntry* entry) {
    const int64_t start = entry->data_offset, size = entry->stored_size;
    if (!stored_bytes_in_file(handle, entry)) {
        set_last_error("its stored bytes lie beyond the end of the file");
        return 0;
    }
    // Table 0 lies right behind the header, so both are one span.
    if (overlaps(start, size, 0, int64_t(QAR_NEW_ARCHIVE_SIZE))) {
        set_last_error("its stored bytes overlap the header or directory table 0");
        return 0;
    }
    for (int32_t t = 1; t < handle->table_count; ++t) {
        if (overlaps(start, size, handle->table_offsets[t], int64_t(QAR_TABLE_SIZE))) {
            set_last_error("its stored bytes overlap directory table %d", int(t));
            return 0;
        }
    }
    uint32_t plain_size = 0;
    uint8_t* plain = read_entry(handle, entry, &plain_size, nullptr, 0);
    if (plain != nullptr) {
        free(plain);
        return 1;
    }
    if ((entry->flags & QAR_COMPRESSION_MASK) == 0) {
        set_last_error("its stored bytes could not be read");
    } else {
        char codec[QAR_LAST_ERROR_SIZE];
        snprintf(codec, sizeof codec, "%s", last_error_text());
        set_last_error("its stream does not decode to its %u bytes (%s)",
                       unsigned(flags_uncompressed_size(entry->flags)), codec);
    }
    return 0;
}

uint8_t* read_stored_entry(ArchiveHandle* handle, const DirectoryEntry* entry) {
    RecordText record = entry_name_text(*entry);
    uint8_t* stored = nullptr;
    if (stored_bytes_in_file(handle, entry)) {
        stored = static_cast<uint8_t*>(store_alloc(entry->stored_size));
        if (read_at(handle->file, entry->data_offset, stored, entry->stored_size)) return stored;
        free(stored);
    }
    set_last_error("Could not read record %s from file \"%s\"", record.text, handle->base_name);
    return nullptr;
}

uint8_t* read_record_alloc(ArchiveHandle* handle, const char* name, uint32_t* size_out) {
    return read_record(handle, name, size_out, nullptr, 0);
}

int get_directory(ArchiveHandle* handle, DirectoryEntry** entries_out, int32_t* count_out) {
    *entries_out = handle->entries;
    *count_out = handle->entry_count;
    return 1;
}

char* lower_case_name(char* text) {
    for (char* p = text; *p != 0; ++p) *p = lower_char(*p);
    return text;
}
