// An independent reading of an archive file's layout, used by the
// reliability tests and the fuzz harnesses to judge what the tool left on
// disk. It shares no code with the archive store on purpose: it decodes the
// bytes itself and says which of the states a writer may leave the file in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum LayoutState {
    // Header, chain and slots in step: record_count N, N / 100 + 1 tables,
    // every table but the last full, the last holding N % 100 used slots and
    // all-zero bytes behind them.
    LAYOUT_STRICT,
    // An append stopped after rewriting its table and before the header: the
    // last table holds one used slot more than N accounts for.
    LAYOUT_SLOT_AHEAD,
    // The append of a table's 100th record stopped before the header: that
    // table is full and points at one more, empty table, while N still
    // counts 99 in it.
    LAYOUT_TABLE_AHEAD,
    // Anything else.
    LAYOUT_BROKEN,
};

struct LayoutEntry {
    std::string name;  // up to 16 bytes, as stored
    int32_t index;
    uint32_t data_offset;
    uint32_t stored_size;
    uint32_t time;
    uint32_t flags;
};

struct ArchiveLayout {
    LayoutState state;
    std::string problem;               // why the file is LAYOUT_BROKEN, else empty
    int32_t record_count;              // the header's
    uint32_t key;                      // the header's
    size_t table_count;                // tables found along the chain
    std::vector<LayoutEntry> entries;  // used slots in chain order (deleted ones too)
};

// Inspects the whole file content. Never reads outside it.
ArchiveLayout inspect_archive(const std::string& bytes);

const char* layout_state_name(LayoutState state);
