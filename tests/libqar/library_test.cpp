// The library through qar/qar.h against files laid out by hand: the bytes each change
// writes, the archives and calls it refuses with their status and message, the encoder
// against the compression library's own streams, times, and what a handle sees.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <utility>

#include "platform.h"
#include "qar/qar.h"
#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
enum Content { STEPS, NOISE, FAR, ZEROS };

// NOISE is incompressible; LZO1X does better on FAR (1500 back), LZO1Y on STEPS over 4 KB.
Bytes make_bytes(Content kind, size_t size, uint32_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const uint8_t far = i >= 1500 && i % 9 != 0 ? out[i - 1500] : uint8_t(i * 31);
        out[i] = kind == NOISE ? uint8_t(seed >> 24) : kind == FAR ? far : kind == STEPS ? uint8_t(i % 251 * (i / 997)) : 0;
    }
    return out;
}

// The bytes XOR-masked with the key word by word; a last part of 1-3 bytes stays.
Bytes masked(Bytes data, uint32_t key) {
    for (size_t i = 0; i < data.size() / 4 * 4; ++i) data[i] ^= uint8_t(key >> (8 * (i % 4)));
    return data;
}

// An open archive, closed (and its close ignored) when the object goes away.
struct OpenArchive {
    qar_archive* handle = nullptr;
    qar_error error = {};
    OpenArchive(const std::string& path, unsigned mode, uint32_t key) {
        qar_open_key(path.c_str(), mode, key, nullptr, nullptr, &handle, &error);
    }
    ~OpenArchive() { qar_close(handle, nullptr); }
};

// The snapshot position of the first record of that name; SIZE_MAX when there is none.
inline size_t at(const qar_archive* archive, const std::string& name) {
    size_t position = 0;
    return qar_find(archive, name.c_str(), &position, nullptr) == QAR_OK ? position : SIZE_MAX;
}

// The record of that name as read through the handle; empty when it cannot be read.
inline Bytes read_named(const qar_archive* archive, const std::string& name) {
    size_t size = 0;
    void* data = nullptr;
    if (qar_read_alloc(archive, at(archive, name), &data, &size, nullptr) != QAR_OK) return {};
    Bytes out(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    qar_free(data);
    return out;
}

const int64_t WHEN = 1400000000;
const uint32_t K = 0x5A5A5A5A;
const Bytes NOISE_333 = make_bytes(NOISE, 333, 6), FAR_4000 = make_bytes(FAR, 4000, 4), FOUR = {1, 2, 3, 4};

// A finished encoding of the bytes with the key, freed at exit.
const qar_encoded* encoding(const Bytes& data, uint32_t key) {
    static std::vector<std::unique_ptr<qar_encoded, void (*)(qar_encoded*)>> made;
    qar_encoded* encoded = nullptr;
    EXPECT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
    EXPECT_EQ(QAR_OK, qar_encode(encoded, data.data(), data.size(), key, 0, nullptr, nullptr));
    made.emplace_back(encoded, qar_encoded_free);
    return encoded;
}

// The stored bytes and the flags word of the encoding of the bytes with the key.
std::pair<std::string, uint32_t> stored(const Bytes& data, uint32_t key) {
    size_t size = 0, plain = 0;
    qar_method method = QAR_METHOD_NONE;
    const char* bytes = static_cast<const char*>(qar_encoded_bytes(encoding(data, key), &size, &method, &plain));
    return {std::string(bytes, size), method == QAR_METHOD_NONE ? 0 : uint32_t(plain << 8 | method * 2)};
}

// Checks that small records 0 .. First-1 alone are listed, intact, then appends N more:
// "rec<i>", 1 + i % 7 bytes of the value i (too short to compress), at time WHEN + i.
template <int First, int N>
qar_status append_small(qar_archive*& archive) {
    const int first = First, n = N;
    EXPECT_EQ(size_t(first), qar_count(archive)) << "records listed before the append";
    for (int i = 0; i < first; ++i)
        EXPECT_EQ(Bytes(1 + i % 7, uint8_t(i)), read_named(archive, "rec" + std::to_string(i)));
    qar_status status = QAR_OK;
    for (int i = first; i < first + n && status == QAR_OK; ++i) {
        const Bytes data(1 + i % 7, uint8_t(i));
        status = qar_add(archive, ("rec" + std::to_string(i)).c_str(), data.data(), data.size(), WHEN + i, nullptr);
    }
    return status;
}

// The file small records 0 .. n-1 make: each behind the last, an empty table behind every 100th.
std::string expected_small(int n) {
    std::string file = raw_header(n, 0) + raw_table(0);
    size_t table = 28;
    for (int i = 0; i < n; ++i) {
        const RawEntry e = {"rec" + std::to_string(i), uint32_t(file.size()), i, 1u + i % 7,
                            qar_stamp_from_time(WHEN + i), 0};
        file.replace(table + 4 + i % 100 * 36, 36, raw_table(0, {e}).substr(4, 36));
        file += std::string(e.stored_size, char(i));
        if (i % 100 != 99) continue;
        put32(&file, table, uint32_t(file.size()));
        table = file.size();
        file += raw_table(0);
    }
    return file;
}

// An add interrupted after its last record's slot (and any table it chained on) was
// written, before the header's count.
std::string interrupted(int n) {
    std::string file = expected_small(n);
    put32(&file, 16, uint32_t(n - 1));
    return file;
}

std::string first_difference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "the files differ from byte " + std::to_string(i) + " (" + std::to_string(a.size()) + " and " +
           std::to_string(b.size()) + " bytes)";
}

// Two records of key K at time 1: "level.map" (flagged as compressed, or SOUND) and "plain".
const RawEntry LEVEL = {"level.map", 3632, 0, 4, 1, 4000u << 8 | 2}, PLAIN = {"plain", 3636, 1, 4, 1, 0},
               SOUND = {"level.map", 3632, 0, 4, 1, 0};
std::string two(const RawEntry& first, const RawEntry& second, const std::string& tail = "") {
    return raw_archive(K, {first, second}, "abcdwxyz" + tail);
}
const auto FAR_STORED = stored(FAR_4000, K);
const Bytes NOISE_MASKED = masked(NOISE_333, K);


// A change through a handle opened with QAR_CREATE (key K where there is no archive), and
// the file it must leave.
struct Change {
    const char* name;
    std::string before;  // empty: no file
    qar_status (*change)(qar_archive*& archive);
    std::string after;
};
void PrintTo(const Change& change, std::ostream* out) { *out << change.name; }
class Changes : public testing::TestWithParam<Change> {};

TEST_P(Changes, WriteTheBytesTheFormatGives) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    if (!GetParam().before.empty()) write_file(path, GetParam().before);
    {
        OpenArchive a(path, QAR_CREATE | QAR_ANY_KEY, K);
        ASSERT_NE(nullptr, a.handle) << a.error.message;
        ASSERT_EQ(QAR_OK, GetParam().change(a.handle)) << "the change failed";
    }
    const std::string after = read_file(path);
    EXPECT_TRUE(GetParam().after == after) << first_difference(GetParam().after, after);
}

INSTANTIATE_TEST_SUITE_P(Archive, Changes, testing::Values(
    Change{"CreateWritesTheEmptyArchiveWithItsKey", "", [](qar_archive*&) { return QAR_OK; }, raw_header(0, K) + raw_table(0)},
    Change{"TheHundredthAppendChainsANewTable", expected_small(99), append_small<99, 2>, expected_small(101)},
    // The interrupted add's record is listed; the next append mends the header.
    Change{"AnAppendInterruptedAtRecord99", interrupted(99), append_small<99, 1>, expected_small(100)},
    Change{"AnAppendInterruptedAtRecord150", interrupted(150), append_small<150, 1>, expected_small(151)},
    Change{"AnAppendInterruptedAfterChainingTable2", interrupted(100), append_small<100, 1>, expected_small(101)},
    Change{"AnAppendInterruptedAfterChainingTable3", interrupted(200), append_small<200, 1>, expected_small(201)},
    // Bytes behind the first empty slot (a damaged file) never surface as a record later.
    Change{"AnAppendClearsTheSlotsBehindTheOneItFills", expected_small(3).replace(176, 4, "junk"), append_small<3, 1>,
           expected_small(4)},
    Change{"UpdateAppendsTheMaskedBytesAsTheyAre", two(LEVEL, PLAIN),
           [](qar_archive*& a) { return qar_update(a, "LEVEL.MAP", NOISE_333.data(), 333, WHEN, nullptr); },
           two({"level.map", 3640, 0, 333, qar_stamp_from_time(WHEN), 0}, PLAIN, {NOISE_MASKED.begin(), NOISE_MASKED.end()})},
    Change{"ReplaceAppendsTheEncodingKeepingTheIndex", two(LEVEL, PLAIN),
           [](qar_archive*& a) { return qar_replace_encoded(a, at(a, "plain"), encoding(FAR_4000, K), WHEN, nullptr); },
           two(LEVEL, {"plain", 3640, 1, uint32_t(FAR_STORED.first.size()), qar_stamp_from_time(WHEN), FAR_STORED.second},
               FAR_STORED.first)},
    Change{"DeleteSetsTheDeletedBitAlone", two(LEVEL, PLAIN),
           [](qar_archive*& a) { return qar_delete(a, at(a, "plain"), nullptr); }, two(LEVEL, {"plain", 3636, 1, 4, 1, 1})},
    Change{"SetTimeWritesTheTimeFieldAlone", two(LEVEL, PLAIN),
           [](qar_archive*& a) { return qar_set_time(a, at(a, "plain"), WHEN, nullptr); },
           two(LEVEL, {"plain", 3636, 1, 4, qar_stamp_from_time(WHEN), 0})},
    Change{"CompactLeavesOutARecordDeletedThroughTheSameHandle", two(SOUND, PLAIN),
           [](qar_archive*& a) {
               qar_delete(a, at(a, "level.map"), nullptr);
               return qar_compact(std::exchange(a, nullptr), nullptr, nullptr, nullptr, nullptr);
           }, raw_archive(K, {{"plain", 3632, 0, 4, 1, 0}}, "wxyz")}),
    [](const testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

// An archive refused at opening: its bytes ("(none)": no file), the modes tried, the key
// given, and the status and message ('@' stands for the path).
struct Refused {
    const char* name;
    std::string bytes;
    std::vector<unsigned> modes;
    uint32_t key;
    qar_status status;
    std::string message;
};
void PrintTo(const Refused& refused, std::ostream* out) { *out << refused.name; }
class RefusedArchive : public testing::TestWithParam<Refused> {};

// Named by the base name alone: a backslash separates too (a folder on Windows).
TEST_P(RefusedArchive, IsLeftUntouched) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub"));
    const std::string path = dir.file("sub\\c.qar");
    if (GetParam().bytes != "(none)") write_file(path, GetParam().bytes);
    std::string message = GetParam().message;
    if (message.find('@') != std::string::npos) message.replace(message.find('@'), 1, path);
    for (unsigned mode : GetParam().modes) {
        OpenArchive a(path, mode, GetParam().key);
        EXPECT_EQ(GetParam().status, a.error.status) << "mode " << mode;
        EXPECT_EQ(message, std::string(a.error.message)) << "mode " << mode;
    }
    EXPECT_EQ(GetParam().bytes, file_exists(path) ? read_file(path) : "(none)") << "the refused file was changed or made";
}

const std::vector<unsigned> BOTH = {QAR_READ, QAR_WRITE};
const std::string IN_C = " file \"c.qar\"", INVALID = "Invalid header in" + IN_C, EMPTY = raw_header(0, K) + raw_table(0);
std::string tables(int header, int found) {
    return "Header has " + std::to_string(header) + " dtables; actually " + std::to_string(found) + " dtables in" + IN_C;
}

INSTANTIATE_TEST_SUITE_P(ArchiveOpen, RefusedArchive, testing::Values(
    Refused{"Missing", "(none)", BOTH, 0, QAR_NOT_FOUND, "Could not open file \"@\": " + std::string(strerror(ENOENT))},
    Refused{"ThereForCreateNew", "mine", {QAR_CREATE_NEW}, 0, QAR_EXISTS, "File \"@\" already exists"},
    Refused{"OfAnotherKey", EMPTY, BOTH, K + 1, QAR_KEY_MISMATCH, "The key does not match" + IN_C},
    Refused{"ShortHeader", EMPTY.substr(0, 27), BOTH, 0, QAR_DAMAGED, "Could not read header of" + IN_C},
    Refused{"OtherVersion", "QARF\x02" + EMPTY.substr(5), BOTH, K, QAR_DAMAGED, INVALID},
    Refused{"NegativeCount", raw_header(-1, 0) + raw_table(0), BOTH, 0, QAR_DAMAGED, INVALID},
    Refused{"MoreLiveSlotsThanCounted", raw_header(248, 0) + expected_small(250).substr(28), BOTH, 0, QAR_DAMAGED, INVALID},
    Refused{"TableCutShort", expected_small(250).substr(0, 6000), BOTH, 0, QAR_DAMAGED, "Could not read dtable 1 of" + IN_C},
    Refused{"ChainTooShort", raw_header(100, 0) + raw_table(0), BOTH, 0, QAR_DAMAGED, tables(2, 1)},
    Refused{"ChainTooLong", raw_header(0, 0) + raw_table(3632) + raw_table(7236) + raw_table(0), BOTH, 0, QAR_DAMAGED, tables(1, 3)},
    Refused{"ChainLoops", raw_header(0, 0) + raw_table(28), BOTH, 0, QAR_DAMAGED, tables(1, 2)},
    Refused{"TablesOverlap", raw_header(100, 0) + raw_table(3000) + raw_table(0), BOTH, 0, QAR_DAMAGED, tables(2, 2)},
    Refused{"HugeCount", raw_header(INT32_MAX, 0) + raw_table(0), BOTH, 0, QAR_DAMAGED, tables(21474837, 1)}),
    [](const testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

// Records laid out by hand (key 0): "exact", a compressed stream; "long" and "short", the
// same stream under a smaller and a larger size; "big", reaching past the end of the file;
// "lost", with an index beyond the tables.
std::string laid_out() {
    const auto [packed, flags] = stored(FAR_4000, 0);
    const uint32_t n = uint32_t(packed.size()), method = flags & 6;
    return raw_archive(0, {{"exact", 3632, 0, n, 0, 4000u << 8 | method}, {"long", 3632, 1, n, 0, 3999u << 8 | method},
                           {"short", 3632, 2, n, 0, 4001u << 8 | method}, {"big", 3632, 3, ~0u, 0, 0},
                           {"lost", 3632, 777, 4, 0, 0}}, packed);
}

// qar_read_alloc of the named record; a damaged record is never handed out in part.
qar_status read_alloc(qar_archive* archive, const char* name, qar_error* error) {
    void* data = nullptr;
    size_t size = 0;
    const qar_status status = qar_read_alloc(archive, at(archive, name), &data, &size, error);
    EXPECT_TRUE(status == QAR_OK || data == nullptr) << name << " was handed out";
    qar_free(data);
    return status;
}

// qar_read of the named record into a buffer of capacity bytes; one too small is left as
// it was, and the record's size given.
qar_status read_into(qar_archive* archive, const char* name, size_t capacity, qar_error* error) {
    Bytes buffer(capacity, 0xEE);
    size_t size = 7;
    const qar_status status = qar_read(archive, at(archive, name), buffer.data(), capacity, &size, error);
    if (status == QAR_BUFFER_TOO_SMALL) {
        EXPECT_EQ(Bytes(capacity, 0xEE), buffer) << "the buffer was written";
        EXPECT_EQ(4000u, size) << "not the size the record needs";
    }
    EXPECT_TRUE(status != QAR_OK || FAR_4000 == buffer) << name << " read back wrong";
    return status;
}

// A call on the laid-out archive "c.qar", and the status and message it gives; a refused
// call leaves the archive as it was.
struct Call {
    const char* name;
    unsigned mode;
    qar_status (*call)(qar_archive*& archive, qar_error* error);
    qar_status status;
    const char* message = nullptr;  // nullptr: not compared
};
void PrintTo(const Call& call, std::ostream* out) { *out << call.name; }
class Calls : public testing::TestWithParam<Call> {};

TEST_P(Calls, GiveTheStatusAndMessageAndARefusedOneChangesNothing) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    write_file(path, laid_out());
    {
        OpenArchive a(path, GetParam().mode, 0);
        ASSERT_NE(nullptr, a.handle) << a.error.message;
        qar_error error = {};
        plat_reset_calls();
        EXPECT_EQ(GetParam().status, GetParam().call(a.handle, &error)) << error.message;
        plat_reset_calls();
        EXPECT_STREQ(GetParam().message ? GetParam().message : error.message, error.message);
    }
    EXPECT_TRUE(laid_out() == read_file(path)) << "the call changed the archive";
}

using A = qar_archive*&;
using E = qar_error*;
qar_rewrite* r = nullptr;  // a rewrite begun where none may be
const char* const OVERRUN = "Error -5 during compression library operation: output overrun";
const char* const SHORT = "Error -12 during compression library operation: output not consumed";

INSTANTIATE_TEST_SUITE_P(Library, Calls, testing::Values(
    Call{"AddThroughAReadOnlyHandle", QAR_READ, [](A a, E e) { return qar_add(a, "d", "abcd", 4, 0, e); }, QAR_INVALID,
         "Could not write data to file \"c.qar\": it is open for reading only"},
    Call{"DeleteThroughAReadOnlyHandle", QAR_READ, [](A a, E e) { return qar_delete(a, 0, e); }, QAR_INVALID},
    Call{"SetTimeThroughAReadOnlyHandle", QAR_READ, [](A a, E e) { return qar_set_time(a, 0, 0, e); }, QAR_INVALID},
    Call{"RewriteOfAReadOnlyArchive", QAR_READ, [](A a, E e) { return qar_rewrite_begin(std::exchange(a, nullptr), &r, e); }, QAR_INVALID},
    Call{"AddOfAnEncodingOfAnotherKey", QAR_WRITE, [](A a, E e) { return qar_add_encoded(a, "d", encoding(FOUR, 1), 0, e); },
         QAR_INVALID, "Could not write data d to file \"c.qar\": it was encoded with another key"},
    Call{"ReplaceByAnEncodingOfAnotherKey", QAR_WRITE,
         [](A a, E e) { return qar_replace_encoded(a, at(a, "exact"), encoding(FOUR, 1), 0, e); }, QAR_INVALID,
         "Could not write data exact to file \"c.qar\": it was encoded with another key"},
    Call{"ReplacePastTheSnapshot", QAR_WRITE, [](A a, E e) { return qar_replace_encoded(a, 5, encoding(FOUR, 0), 0, e); }, QAR_INVALID},
    Call{"UpdateOfAMissingName", QAR_WRITE, [](A a, E e) { return qar_update(a, "nothere", "abcd", 4, 0, e); },
         QAR_NOT_FOUND, "Could not find old record \"nothere\" in file \"c.qar\""},
    Call{"DeleteOfAnIndexBeyondTheTables", QAR_WRITE, [](A a, E e) { return qar_delete(a, at(a, "lost"), e); }, QAR_DAMAGED,
         "Could not read dtable 7 of file \"c.qar\""},
    // The first write fails as on a full disk (and writes nothing); the handle refuses what follows.
    Call{"AChangeAfterAFailedWrite", QAR_WRITE,
         [](A a, E e) {
             plat_fail_call(PLAT_CALL_WRITE, 1, ENOSPC);
             qar_add(a, "d", "abcd", 4, 0, nullptr);
             return qar_add(a, "e", "abcd", 4, 0, e);
         }, QAR_REFUSED},
    Call{"FindOfAMissingName", QAR_READ, [](A a, E e) { size_t p; return qar_find(a, "other", &p, e); }, QAR_NOT_FOUND,
         "Could not find record \"other\" in file \"c.qar\""},
    Call{"EntryPastTheSnapshot", QAR_READ, [](A a, E e) { qar_entry x; return qar_entry_at(a, 5, &x, e); }, QAR_INVALID},
    Call{"ReadOfARecordPastTheEndOfTheFile", QAR_READ, [](A a, E e) { return read_alloc(a, "big", e); }, QAR_DAMAGED,
         "Could not read record big from file \"c.qar\""},
    // Damaged before too small: a caller would otherwise size a buffer from the claim.
    Call{"ReadIntoNoRoomOfARecordPastTheEnd", QAR_READ, [](A a, E e) { return read_into(a, "big", 0, e); }, QAR_DAMAGED},
    Call{"ReadOfAStreamLongerThanItsSize", QAR_READ, [](A a, E e) { return read_alloc(a, "long", e); }, QAR_DAMAGED, OVERRUN},
    Call{"ReadOfAStreamShorterThanItsSize", QAR_READ, [](A a, E e) { return read_alloc(a, "short", e); }, QAR_DAMAGED, SHORT},
    Call{"ReadIntoABufferOfAStreamLongerThanItsSize", QAR_READ, [](A a, E e) { return read_into(a, "long", 5000, e); }, QAR_DAMAGED, OVERRUN},
    Call{"ReadIntoABufferOfAStreamShorterThanItsSize", QAR_READ, [](A a, E e) { return read_into(a, "short", 5000, e); }, QAR_DAMAGED, SHORT},
    Call{"ReadIntoABufferOneByteShort", QAR_READ, [](A a, E e) { return read_into(a, "exact", 3999, e); }, QAR_BUFFER_TOO_SMALL},
    Call{"ReadIntoABufferOfExactlyItsSize", QAR_READ, [](A a, E e) { return read_into(a, "exact", 4000, e); }, QAR_OK, ""}),
    [](const testing::TestParamInfo<Call>& info) { return std::string(info.param.name); });

// Through the handle that changed it, a record reads as changed and its entry follows.
TEST(Snapshot, ARecordUpdatedOrReplacedThroughTheHandleReadsItsNewBytesThroughIt) {
    TempDir dir;
    write_file(dir.file("c.qar"), two(SOUND, PLAIN));
    OpenArchive w(dir.file("c.qar"), QAR_WRITE, K);
    ASSERT_EQ(QAR_OK, qar_update(w.handle, "plain", FOUR.data(), 4, WHEN + 1, nullptr));
    ASSERT_EQ(QAR_OK, qar_replace_encoded(w.handle, 0, encoding(FAR_4000, K), WHEN + 2, nullptr));
    EXPECT_EQ(FOUR, read_named(w.handle, "plain")) << "the read gave the bytes before the update";
    EXPECT_EQ(FAR_4000, read_named(w.handle, "level.map")) << "the read gave the bytes before the replace";
    qar_entry e;
    ASSERT_EQ(QAR_OK, qar_entry_at(w.handle, 1, &e, nullptr));
    EXPECT_EQ(WHEN + 1, e.mtime) << "the entry still describes the record before the update";
    ASSERT_EQ(QAR_OK, qar_entry_at(w.handle, 0, &e, nullptr));
    EXPECT_EQ(4000u, e.size) << "the entry still describes the record before the replace";
    EXPECT_NE(QAR_METHOD_NONE, e.method);
    EXPECT_EQ(WHEN + 2, e.mtime);
}

// A killed compaction leaves its temporary file, under the name the notice gave.
TEST(Compaction, ATemporaryFileLeftByAKilledOneDoesNotBlockTheNext) {
    TempDir dir;
    const std::string path = dir.file("c.qar"), archive = two(SOUND, PLAIN);
    write_file(path, archive);
    std::string temp;
    auto note = [](void* context, const char* name) { *static_cast<std::string*>(context) += name ? name : ""; };
    const qar_open_options options = {nullptr, nullptr, note, &temp};
    for (int round = 0; round < 2; ++round) {
        qar_archive* w = nullptr;
        ASSERT_EQ(QAR_OK, qar_open_with(path.c_str(), QAR_WRITE, K, &options, &w, nullptr));
        qar_error error = {};
        ASSERT_EQ(QAR_OK, qar_compact(w, nullptr, nullptr, nullptr, &error)) << "round " << round << ": " << error.message;
        ASSERT_NE("", temp) << "no temporary file was announced";
        write_file(std::exchange(temp, ""), archive.substr(0, 3000));
    }
    EXPECT_TRUE(archive == read_file(path)) << "the compacted archive is not the one it was";
}

// A date and the stamp it is stored as: the instant one month later (31 January rolls into
// March), all bits set before 1970 and past the field's last second (2106-02-07 06:28:14
// once shifted); a stamp with the top bit set is a date after 2038.
struct Stamp {
    qar_datetime date;
    uint32_t stamp;
    bool reads_back;  // to the date's own seconds and month
};
class Stamps : public testing::TestWithParam<Stamp> {};

TEST_P(Stamps, AreTheDateShiftedByAMonth) {
    const qar_datetime date = GetParam().date;
    const int64_t seconds = qar_time_from_datetime(&date);
    EXPECT_EQ(GetParam().stamp, qar_stamp_from_datetime(&date)) << "from the date";
    EXPECT_EQ(GetParam().stamp, qar_stamp_from_time(seconds)) << "from the seconds";
    if (!GetParam().reads_back) return;
    EXPECT_EQ(seconds, qar_stamp_to_time(GetParam().stamp)) << "the shift is not undone";
    qar_datetime back = {};
    ASSERT_EQ(1, qar_stamp_to_datetime(GetParam().stamp, 0, &back));
    EXPECT_EQ(date.year * 100 + date.month, back.year * 100 + back.month) << "year and month read back";
}

INSTANTIATE_TEST_SUITE_P(TimeStamp, Stamps, testing::Values(
    Stamp{{1970, 1, 1, 0, 0, 0}, 2678400, true},
    Stamp{{2014, 1, 31, 12, 0, 0}, 1393848000, false},  // 2014-03-03 12:00
    Stamp{{2014, 5, 13, 16, 53, 20}, 1402678400, true},
    Stamp{{2014, 12, 31, 0, 0, 0}, 1422662400, true},   // 2015-01-31
    Stamp{{2040, 6, 1, 0, 0, 0}, 2224713600, true},
    Stamp{{2106, 1, 7, 6, 28, 14}, 0xFFFFFFFEu, true},
    Stamp{{1969, 11, 30, 23, 59, 59}, 0xFFFFFFFFu, false},
    Stamp{{2106, 1, 7, 6, 28, 15}, 0xFFFFFFFFu, false},
    Stamp{{2107, 1, 1, 0, 0, 0}, 0xFFFFFFFFu, false}));

// FNV-1a: a fingerprint of a stored stream.
uint64_t fingerprint(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// A content, the flags word it is stored under with the key of the password "123456789",
// and the stored stream's length and fingerprint: the shorter optimised stream of the
// compression library (LZO1X on a tie), or the masked bytes as they are.
struct Stored {
    Content kind;
    uint32_t size, flags, stored_size;
    uint64_t fingerprint;
};

// Sizes that grow and shrink the encoder's reused buffers, in one step and in two (from
// 64 KiB); one word masked and three bytes left; the flags word's largest size, one more,
// and one that sets its top bit.
const Stored STORED[] = {
    {NOISE, 7, 0x00000000u, 7, 0xE6040DDDE7FAB78Bull},
    {ZEROS, 12, 0x00000C02u, 10, 0x5BBC104D6800F5B7ull},  // a tie
    {ZEROS, 16, 0x00001004u, 10, 0x3BD9A2F5D9F77147ull},
    {STEPS, 1, 0x00000000u, 1, 0x44BD2BD473CCF799ull},
    {STEPS, 511, 0x0001FF02u, 16, 0x68454E9E9450E8B4ull},
    {STEPS, 150000, 0x0249F004u, 102808, 0xC4C0AEC38702F5F4ull},
    {NOISE, 150000, 0x00000000u, 150000, 0xB8A28F2763CFB9F7ull},
    {FAR, 150000, 0x0249F002u, 49771, 0x2DEC9BC251540161ull},
    {STEPS, 512, 0x00020002u, 13, 0x6CA860CEB149F3DBull},
    {STEPS, 65537, 0x01000104u, 44591, 0x756C4A3BEB3EDE62ull},
    {FAR, 65537, 0x01000102u, 21617, 0x7DE2397C53B460F9ull},
    {STEPS, 65536, 0x01000004u, 44590, 0xB59E1422E6270CFEull},
    {FAR, 65536, 0x01000002u, 21616, 0x1AF50C1795D57ECEull},
    {ZEROS, 16777215, 0xFFFFFF02u, 90123, 0xA0F1BF308B343168ull},
    {ZEROS, 16777216, 0x00000000u, 16777216, 0xDF453FBC731D0383ull},
    {ZEROS, 10000000, 0x98968002u, 53720, 0x581C88EB6DEE283Eull},
};

// Each row through qar_add, and through qar_encode into one reused encoding.
TEST(ArchiveRecords, AddAndEncodeStoreTheShorterStreamOfTheMaskedBytes) {
    TempDir dir;
    const std::string path = dir.file("k.qar");
    const uint32_t key = qar_key_from_password("123456789");
    EXPECT_EQ(0xFC891918u, key);
    OpenArchive a(path, QAR_CREATE_NEW, key);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    qar_encoded* encoded = nullptr;
    ASSERT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
    for (size_t i = 0; i < std::size(STORED); ++i) {
        const Stored& row = STORED[i];
        const Bytes data = make_bytes(row.kind, row.size, row.size);
        qar_error error;
        ASSERT_EQ(QAR_OK, qar_add(a.handle, std::to_string(i).c_str(), data.data(), data.size(), QAR_TIME_UNKNOWN,
                                  &error)) << error.message;
        const std::string file = read_file(path);
        const RawEntry e = raw_entries(file).back();
        EXPECT_EQ(row.flags, e.flags) << "flags of row " << i;
        EXPECT_EQ(row.stored_size, e.stored_size) << "stored size of row " << i;
        EXPECT_EQ(file.size() - row.stored_size, size_t(e.data_offset)) << "offset of row " << i;
        EXPECT_EQ(row.fingerprint, fingerprint(file.substr(e.data_offset))) << "stored bytes of row " << i;
        ASSERT_EQ(QAR_OK, qar_encode(encoded, data.data(), data.size(), key, 0, nullptr, &error)) << error.message;
        size_t size = 0;
        const char* bytes = static_cast<const char*>(qar_encoded_bytes(encoded, &size, nullptr, nullptr));
        EXPECT_EQ(row.fingerprint, fingerprint(std::string(bytes, size))) << "qar_encode, reused, row " << i;
    }
    qar_encoded_free(encoded);
    OpenArchive r(path, QAR_READ, key);
    for (size_t i = 0; i < std::size(STORED); ++i)
        EXPECT_TRUE(make_bytes(STORED[i].kind, STORED[i].size, STORED[i].size) == read_named(r.handle, std::to_string(i)))
            << "row " << i << " read back wrong";
}

TEST(FailedWrite, AnAppendPastTwoGigabytesFailsAndWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    const uintmax_t start = 2147483647 - 3604 - 10;
    write_file(path, expected_small(99));
    std::filesystem::resize_file(path, start);  // sparse, unreferenced
    OpenArchive a(path, QAR_WRITE, 0);
    // The 100th record chains a table on: 11 + 3604 bytes do not fit, 10 do (noise: stored as is).
    qar_error error;
    EXPECT_EQ(QAR_TOO_LARGE, qar_add(a.handle, "over", NOISE_333.data(), 11, 0, &error));
    EXPECT_EQ("Could not write data over to file \"big.qar\": the archive would grow past 2147483647 bytes",
              std::string(error.message));
    EXPECT_EQ(start, std::filesystem::file_size(path)) << "the refused add wrote";
    EXPECT_EQ(QAR_OK, qar_add(a.handle, "last", NOISE_333.data(), 10, 0, &error)) << error.message;
    EXPECT_EQ(2147483647u, std::filesystem::file_size(path));
}

// A record of 1 GiB stored as it is (in a sparse file), read where memory is short: the
// read fails with a status the caller can act on; the process goes on.
TEST(Memory, RunningOutIsAStatusAndNotAnExit) {
    if (const char* why = memory_limit_missing()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string path = dir.file("huge.qar");
    write_file(path, raw_archive(0, {{"huge", 3632, 0, 1u << 30, 0, 0}}, ""));
    std::filesystem::resize_file(path, 3632 + (uintmax_t(1) << 30));
    const int status = run_with_memory_limit(int64_t(256) << 20, [&] {
        OpenArchive r(path, QAR_READ, 0);
        qar_error error;
        return read_alloc(r.handle, "huge", &error) == QAR_NO_MEMORY && std::string(error.message) == "out of memory" ? 0 : 1;
    });
    EXPECT_EQ(0, status) << "the read did not fail with QAR_NO_MEMORY, or the child died";
}

}  // namespace
