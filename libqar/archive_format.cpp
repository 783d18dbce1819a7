#include "archive_format.h"

#include <cstring>

namespace libqar {

void encode_header(const ArchiveHeader& header, uint8_t out[QAR_HEADER_SIZE]) {
    memcpy(out, header.magic, 4);
    put_u32_le(out + 4, header.version);
    put_u32_le(out + 8, header.name_length);
    put_u32_le(out + 12, header.entries_per_table);
    put_u32_le(out + 16, uint32_t(header.record_count));
    put_u32_le(out + 20, header.key);
    put_u32_le(out + 24, header.first_table_offset);
}

void decode_header(const uint8_t in[QAR_HEADER_SIZE], ArchiveHeader* header) {
    memcpy(header->magic, in, 4);
    header->version = get_u32_le(in + 4);
    header->name_length = get_u32_le(in + 8);
    header->entries_per_table = get_u32_le(in + 12);
    header->record_count = int32_t(get_u32_le(in + 16));
    header->key = get_u32_le(in + 20);
    header->first_table_offset = get_u32_le(in + 24);
}

void encode_entry(const DirectoryEntry& entry, uint8_t out[QAR_ENTRY_SIZE]) {
    memcpy(out, entry.name, QAR_NAME_LENGTH);
    put_u32_le(out + 16, entry.data_offset);
    put_u32_le(out + 20, uint32_t(entry.index));
    put_u32_le(out + 24, entry.stored_size);
    put_u32_le(out + 28, entry.time);
    put_u32_le(out + 32, entry.flags);
}

void decode_entry(const uint8_t in[QAR_ENTRY_SIZE], DirectoryEntry* entry) {
    memcpy(entry->name, in, QAR_NAME_LENGTH);
    entry->data_offset = get_u32_le(in + 16);
    entry->index = int32_t(get_u32_le(in + 20));
    entry->stored_size = get_u32_le(in + 24);
    entry->time = get_u32_le(in + 28);
    entry->flags = get_u32_le(in + 32);
}

void encode_table(const DirectoryTable& table, uint8_t out[QAR_TABLE_SIZE]) {
    put_u32_le(out, table.next_table_offset);
    for (uint32_t i = 0; i < QAR_ENTRIES_PER_TABLE; ++i)
        encode_entry(table.slots[i], out + 4 + i * QAR_ENTRY_SIZE);
}

void decode_table(const uint8_t in[QAR_TABLE_SIZE], DirectoryTable* table) {
    table->next_table_offset = get_u32_le(in);
    for (uint32_t i = 0; i < QAR_ENTRIES_PER_TABLE; ++i)
        decode_entry(in + 4 + i * QAR_ENTRY_SIZE, &table->slots[i]);
}

ArchiveHeader new_archive_header(uint32_t key) {
    ArchiveHeader header;
    memcpy(header.magic, QAR_MAGIC, 4);
    header.version = QAR_VERSION;
    header.name_length = QAR_NAME_LENGTH;
    header.entries_per_table = QAR_ENTRIES_PER_TABLE;
    header.record_count = 0;
    header.key = key;
    header.first_table_offset = QAR_FIRST_TABLE_OFFSET;
    return header;
}

uint32_t table_used_slots(const DirectoryTable& table) {
    uint32_t used = 0;
    while (used < QAR_ENTRIES_PER_TABLE && table.slots[used].name[0] != 0) ++used;
    return used;
}

}  // namespace libqar
