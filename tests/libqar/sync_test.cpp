// The calls a sync and a driven compaction use, through qar/qar.h: a record replaced by an
// encoding of any method with its index kept, only a time set, and a rewrite fed record by
// record.
#include <gtest/gtest.h>

#include "qar_bytes.h"
#include "qar_library.h"
#include "test_support.h"

namespace {

const int64_t WHEN = 1400000000;

Bytes text(size_t size, char first) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = uint8_t(first + (i / 5) % 4);
    return out;
}

// An archive of "a" then "b", both compressible, with the key.
struct TwoRecords {
    TempDir dir;
    std::string path = dir.file("two.qar");
    uint32_t key = qar_key_from_password("pw");
    Bytes a = text(4000, 'a'), b = text(3000, 'k');
    explicit TwoRecords(bool plain_a = false) {
        {
            OpenArchive made(path, QAR_CREATE_NEW, key);
            EXPECT_EQ(QAR_OK, qar_add(made.handle, "a", a.data(), a.size(), WHEN, nullptr));
            EXPECT_EQ(QAR_OK, qar_add(made.handle, "b", b.data(), b.size(), WHEN, nullptr));
        }
        if (!plain_a) return;
        // Stored as it is, as an update leaves it.
        OpenArchive changed(path, QAR_WRITE, key);
        EXPECT_EQ(QAR_OK, qar_update(changed.handle, "a", a.data(), a.size(), WHEN, nullptr));
    }
};

// A finished encoding of data with the key, freed when it goes away.
struct Encoding {
    qar_encoded* encoded = nullptr;
    Encoding(const Bytes& data, uint32_t key) {
        EXPECT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
        EXPECT_EQ(QAR_OK, qar_encode(encoded, data.data(), data.size(), key, 0, nullptr, nullptr));
    }
    ~Encoding() { qar_encoded_free(encoded); }
};

TEST(Replace, TheRecordKeepsItsIndexAndHoldsTheNewEncoding) {
    TwoRecords t;
    const Bytes changed = text(5000, 'q');
    {
        OpenArchive w(t.path, QAR_WRITE, t.key);
        Encoding e(changed, t.key);
        qar_error error;
        ASSERT_EQ(QAR_OK, qar_replace_encoded(w.handle, 0, e.encoded, WHEN + 60, &error))
            << error.message;
        EXPECT_EQ(changed, read_named(w.handle, "a")) << "the handle reads the old bytes";
    }
    OpenArchive r(t.path, QAR_READ, t.key);
    qar_entry entry;
    ASSERT_EQ(QAR_OK, qar_entry_at(r.handle, 0, &entry, nullptr));
    EXPECT_EQ(0, entry.index) << "the record's index changed";
    EXPECT_NE(QAR_METHOD_NONE, entry.method) << "the new bytes were not stored compressed";
    EXPECT_EQ(WHEN + 60, entry.mtime);
    EXPECT_EQ(changed, read_named(r.handle, "a"));
    EXPECT_EQ(t.b, read_named(r.handle, "b")) << "another record changed";
    EXPECT_EQ(2u, raw_entries(read_file(t.path)).size()) << "a record was appended";
}

TEST(Replace, AnEncodingOfAnotherKeyIsRefusedAndNothingWritten) {
    TwoRecords t;
    const std::string before = read_file(t.path);
    OpenArchive w(t.path, QAR_WRITE, t.key);
    Encoding e(text(100, 'z'), t.key + 1);
    qar_error error;
    EXPECT_EQ(QAR_INVALID, qar_replace_encoded(w.handle, 0, e.encoded, WHEN, &error));
    EXPECT_STREQ("Could not write data a to file \"two.qar\": it was encoded with another key",
                 error.message);
    EXPECT_EQ(QAR_INVALID, qar_replace_encoded(w.handle, 2, e.encoded, WHEN, &error))
        << "a position past the snapshot";
    EXPECT_TRUE(before == read_file(t.path)) << "the archive changed";
}

// The time field of slot 1 of table 0 lies at 28 + 4 + 36 + 28.
TEST(SetTime, OnlyTheRecordsTimeFieldChanges) {
    TwoRecords t;
    std::string expected = read_file(t.path);
    {
        OpenArchive w(t.path, QAR_WRITE, t.key);
        ASSERT_EQ(QAR_OK, qar_set_time(w.handle, 1, WHEN + 3600, nullptr));
    }
    put32(&expected, 28 + 4 + 36 + 28, qar_stamp_from_time(WHEN + 3600));
    EXPECT_TRUE(expected == read_file(t.path)) << "more than the time field of b changed";
}

TEST(SetTime, AReadOnlyHandleIsRefused) {
    TwoRecords t;
    OpenArchive r(t.path, QAR_READ, t.key);
    EXPECT_EQ(QAR_INVALID, qar_set_time(r.handle, 0, WHEN, nullptr));
}

// A copied as it is stored (plain) would not be what add writes; its encoding is.
TEST(Rewrite, RecordsHandedInMakeTheArchiveAddWouldHaveWritten) {
    TwoRecords updated(true), added;
    OpenArchive w(updated.path, QAR_WRITE, updated.key);
    qar_rewrite* rewrite = nullptr;
    ASSERT_EQ(QAR_OK, qar_rewrite_begin(w.release(), &rewrite, nullptr));
    Encoding a(updated.a, updated.key);
    qar_error error;
    EXPECT_EQ(QAR_OK, qar_rewrite_encoded(rewrite, 0, a.encoded, &error)) << error.message;
    EXPECT_EQ(QAR_OK, qar_rewrite_copy(rewrite, 1, &error)) << error.message;
    qar_compact_result result = {};
    ASSERT_EQ(QAR_OK, qar_rewrite_commit(rewrite, &result, &error)) << error.message;
    EXPECT_EQ(2u, result.records);
    EXPECT_TRUE(read_file(added.path) == read_file(updated.path))
        << "the rewritten archive is not the one add wrote";
    EXPECT_EQ("two.qar\n", list_directory(updated.dir.path)) << "a temporary file stayed";
}

TEST(Rewrite, AbandonedItLeavesTheArchiveAndNoTemporaryFile) {
    TwoRecords t;
    const std::string before = read_file(t.path);
    OpenArchive w(t.path, QAR_WRITE, t.key);
    qar_rewrite* rewrite = nullptr;
    ASSERT_EQ(QAR_OK, qar_rewrite_begin(w.release(), &rewrite, nullptr));
    EXPECT_EQ(QAR_OK, qar_rewrite_copy(rewrite, 1, nullptr));
    qar_rewrite_abandon(rewrite);
    EXPECT_TRUE(before == read_file(t.path)) << "the archive changed";
    EXPECT_EQ("two.qar\n", list_directory(t.dir.path)) << "a temporary file stayed";
}

TEST(Rewrite, AReadOnlyArchiveIsRefusedAndClosed) {
    TwoRecords t;
    OpenArchive r(t.path, QAR_READ, t.key);
    qar_rewrite* rewrite = nullptr;
    EXPECT_EQ(QAR_INVALID, qar_rewrite_begin(r.release(), &rewrite, nullptr));
    EXPECT_EQ(nullptr, rewrite);
}

}  // namespace
