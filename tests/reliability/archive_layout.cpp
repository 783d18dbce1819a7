#include "archive_layout.h"

#include <cstring>

namespace {

const size_t HEADER = 28;
const size_t ENTRY = 36;
const size_t SLOTS = 100;
const size_t TABLE = 4 + SLOTS * ENTRY;

uint32_t u32_at(const std::string& b, size_t off) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data()) + off;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

ArchiveLayout broken(ArchiveLayout layout, const std::string& problem) {
    layout.state = LAYOUT_BROKEN;
    layout.problem = problem;
    return layout;
}

// Reads the used slots of the table at `off` into layout.entries and returns
// their number, or -1 with *problem set when a slot breaks a rule.
int read_table(const std::string& b, size_t off, size_t table_number, ArchiveLayout* layout,
               std::string* problem) {
    size_t used = 0;
    while (used < SLOTS && b[off + 4 + used * ENTRY] != 0) ++used;
    for (size_t s = 0; s < used; ++s) {
        size_t e = off + 4 + s * ENTRY;
        LayoutEntry entry;
        entry.name.assign(b.data() + e, strnlen(b.data() + e, 16));
        entry.data_offset = u32_at(b, e + 16);
        entry.index = int32_t(u32_at(b, e + 20));
        entry.stored_size = u32_at(b, e + 24);
        entry.time = u32_at(b, e + 28);
        entry.flags = u32_at(b, e + 32);
        if (int64_t(entry.index) != int64_t(table_number * SLOTS + s)) {
            *problem = "slot index out of order in table " + std::to_string(table_number);
            return -1;
        }
        if (entry.data_offset < HEADER + TABLE ||
            uint64_t(entry.data_offset) + entry.stored_size > b.size()) {
            *problem = "stored bytes outside the file: " + entry.name;
            return -1;
        }
        layout->entries.push_back(entry);
    }
    for (size_t i = off + 4 + used * ENTRY; i < off + TABLE; ++i) {
        if (b[i] != 0) {
            *problem = "bytes behind the used slots of table " + std::to_string(table_number);
            return -1;
        }
    }
    return int(used);
}

}  // namespace

const char* layout_state_name(LayoutState state) {
    switch (state) {
    case LAYOUT_STRICT: return "strict";
    case LAYOUT_SLOT_AHEAD: return "slot-ahead";
    case LAYOUT_TABLE_AHEAD: return "table-ahead";
    default: return "broken";
    }
}

ArchiveLayout inspect_archive(const std::string& b) {
    ArchiveLayout layout{LAYOUT_BROKEN, "", 0, 0, 0, {}};
    if (b.size() < HEADER) return broken(layout, "short header");
    if (memcmp(b.data(), "QARF", 4) != 0 || u32_at(b, 4) != 1 || u32_at(b, 8) != 16 ||
        u32_at(b, 12) != 100)
        return broken(layout, "invalid header");
    layout.record_count = int32_t(u32_at(b, 16));
    layout.key = u32_at(b, 20);
    if (layout.record_count < 0) return broken(layout, "negative record count");
    if (u32_at(b, 24) != HEADER) return broken(layout, "first table not at 28");

    const size_t n = size_t(layout.record_count);
    const size_t expected_tables = n / SLOTS + 1;
    size_t off = HEADER;
    std::vector<int> used_per_table;
    std::vector<size_t> table_offsets;
    while (true) {
        if (used_per_table.size() == expected_tables + 1)
            return broken(layout, "chain longer than the header allows");
        if (off > b.size() || TABLE > b.size() - off)
            return broken(layout, "table outside the file");
        std::string problem;
        int used = read_table(b, off, used_per_table.size(), &layout, &problem);
        if (used < 0) return broken(layout, problem);
        used_per_table.push_back(used);
        table_offsets.push_back(off);
        uint32_t next = u32_at(b, off);
        if (next == 0) break;
        // Each table is written at the end of the file, behind the one
        // before it.
        if (next < off + TABLE) return broken(layout, "a table overlaps the one before it");
        off = next;
    }
    layout.table_count = used_per_table.size();
    for (const LayoutEntry& entry : layout.entries) {
        for (size_t table : table_offsets) {
            uint64_t end = uint64_t(entry.data_offset) + entry.stored_size;
            if (entry.data_offset < table + TABLE && table < end)
                return broken(layout, "stored bytes over a directory table: " + entry.name);
        }
    }
    for (size_t t = 0; t + 1 < used_per_table.size(); ++t)
        if (used_per_table[t] != int(SLOTS))
            return broken(layout, "table " + std::to_string(t) + " not full before the last");

    const size_t found = layout.entries.size();
    const int last = used_per_table.back();
    if (layout.table_count == expected_tables && found == n) {
        layout.state = LAYOUT_STRICT;
    } else if (layout.table_count == expected_tables && found == n + 1 &&
               size_t(last) == n % SLOTS + 1) {
        layout.state = LAYOUT_SLOT_AHEAD;
    } else if (layout.table_count == expected_tables + 1 && n % SLOTS == SLOTS - 1 &&
               found == n + 1 && last == 0) {
        layout.state = LAYOUT_TABLE_AHEAD;
    } else {
        return broken(layout, "header counts " + std::to_string(n) + " records, " +
                                  std::to_string(layout.table_count) + " tables hold " +
                                  std::to_string(found));
    }
    return layout;
}
