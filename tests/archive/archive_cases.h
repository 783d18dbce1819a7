// Record contents, and archives of small records laid out by hand.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "qar_bytes.h"
#include "record_ops.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;
enum Content { ZEROS, TEXT, NOISE, FAR };

// TEXT compresses well, NOISE does not, FAR repeats bytes 1500 back (where LZO1X is shorter).
inline Bytes make_bytes(Content kind, size_t size, uint32_t seed) {
    static const std::string words[] = {"sprite ", "texture ", "map ", "level ", "\n", "0123 "};
    std::string text;
    while (kind == TEXT && text.size() < size) text += words[((seed = seed * 1664525u + 1013904223u) >> 16) % 6];
    Bytes out(size);
    for (size_t i = 0; kind != ZEROS && i < size; ++i)
        out[i] = kind == TEXT ? text[i] : kind == NOISE ? uint8_t((seed = seed * 1664525u + 1013904223u) >> 24)
                 : i >= 1500 && i % 9 != 0 ? out[i - 1500] : uint8_t(i * 31 + seed);
    return out;
}

// Small record i: "rec<i>", 1 + i % 7 bytes of the value i, time 1000 + i, stored as is.
inline bool append_small(ArchiveHandle* handle, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        Bytes d(1 + i % 7, uint8_t(i));
        if (!append_record(handle, d.data(), uint32_t(d.size()), 1000 + i, ("rec" + std::to_string(i)).c_str(), nullptr)) return false;
    }
    return true;
}

// The file small records 0 .. n-1 make: each behind the last, an empty table behind every 100th.
inline std::string expected_small(int n) {
    std::string file = raw_header(n, 0) + raw_table(0);
    std::vector<std::vector<RawEntry>> tables(1);
    std::vector<uint32_t> offsets = {28};
    for (int i = 0; i < n; ++i) {
        tables.back().push_back({"rec" + std::to_string(i), uint32_t(file.size()), i, 1u + i % 7, 1000u + i, 0});
        file += std::string(1 + i % 7, char(i));
        if (i % 100 == 99) offsets.push_back(uint32_t(file.size())), file += raw_table(0), tables.emplace_back();
    }
    for (size_t t = 0; t < tables.size(); ++t)
        file.replace(offsets[t], 3604, raw_table(t + 1 < tables.size() ? offsets[t + 1] : 0, tables[t]));
    return file;
}

inline Bytes read_back(ArchiveHandle* handle, const std::string& name) {
    uint32_t size = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> d(read_record_alloc(handle, name.c_str(), &size), free);
    return d ? Bytes(d.get(), d.get() + size) : Bytes();
}

// True when the archive opens read-only listing exactly small records 0 .. n-1, each intact.
inline bool small_records_intact(const std::string& path, int n) {
    ArchiveHandle* handle = open_archive(path.c_str(), 0);
    bool ok = handle != nullptr && handle->entry_count == n;
    for (int i = 0; ok && i < n; ++i) ok = read_back(handle, "rec" + std::to_string(i)) == Bytes(1 + i % 7, uint8_t(i));
    return (handle == nullptr || close_archive(handle)) && ok;
}

// Opens the archive for writing and appends small records first .. first+n-1 behind as many.
inline bool reopen_and_append(const std::string& path, int first, int n) {
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    bool ok = handle != nullptr && handle->entry_count == first && handle->next_index == first && append_small(handle, first, n);
    return (handle == nullptr || close_archive(handle)) && ok;
}
