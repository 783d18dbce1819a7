// The library's contract per operation as qar.h states it: entries and times, keys, encoding
// in steps, compaction, reads from several threads, and the status and message of each
// failure, system calls failed on purpose through the platform layer's seam included.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "platform.h"
#include "qar_bytes.h"
#include "qar_library.h"
#include "test_support.h"

namespace {

// Bytes that compress, different for each seed.
Bytes text_bytes(size_t size, uint32_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = uint8_t("abcdefgh"[(i / 7 + seed) % 8] + i % 3);
    return out;
}

// An archive made through the library: "a" (compressible), "b", "c" (4 bytes, as is).
struct ThreeRecords {
    TempDir dir;
    std::string path = dir.file("three.qar");
    uint32_t key = qar_key_from_password("pw");
    Bytes a = text_bytes(5000, 1), b = text_bytes(300000, 2), c = {1, 2, 3, 4};
    ThreeRecords() {
        OpenArchive made(path, QAR_CREATE_NEW, key);
        EXPECT_EQ(QAR_OK, qar_add(made.handle, "A", a.data(), a.size(), 1400000000, nullptr));
        EXPECT_EQ(QAR_OK, qar_add(made.handle, "b", b.data(), b.size(), QAR_TIME_UNKNOWN, nullptr));
        EXPECT_EQ(QAR_OK, qar_add(made.handle, "c", c.data(), c.size(), 0, nullptr));
    }
};

// Every platform call counts from here on, and none fails, when the test ends.
struct ArmedSeam {
    ArmedSeam() { plat_reset_calls(); }
    ~ArmedSeam() { plat_reset_calls(); }
};

TEST(Entries, GiveNameSizesMethodTimeAndIndexInNameOrder) {
    ThreeRecords t;
    OpenArchive r(t.path, QAR_READ, t.key);
    ASSERT_EQ(3u, qar_count(r.handle));
    qar_entry e;
    ASSERT_EQ(QAR_OK, qar_entry_at(r.handle, 0, &e, nullptr));
    EXPECT_STREQ("a", e.name) << "names are stored lower-cased";
    EXPECT_EQ(5000u, e.size);
    EXPECT_LT(e.stored_size, 5000u);
    EXPECT_NE(QAR_METHOD_NONE, e.method);
    EXPECT_EQ(1400000000, e.mtime) << "the month shift is undone";
    EXPECT_EQ(0, e.index);
    ASSERT_EQ(QAR_OK, qar_entry_at(r.handle, 1, &e, nullptr));
    EXPECT_EQ(QAR_TIME_UNKNOWN, e.mtime);
    EXPECT_EQ(0xFFFFFFFFu, e.stamp);
    ASSERT_EQ(QAR_OK, qar_entry_at(r.handle, 2, &e, nullptr));
    EXPECT_EQ(QAR_METHOD_NONE, e.method);
    EXPECT_EQ(4u, e.stored_size);
    qar_error error;
    EXPECT_EQ(QAR_INVALID, qar_entry_at(r.handle, 3, &e, &error)) << "past the snapshot";
}

TEST(Entries, ADeletedRecordStaysInTheSnapshotMarkedAndReadable) {
    ThreeRecords t;
    OpenArchive w(t.path, QAR_WRITE, t.key);
    ASSERT_EQ(QAR_OK, qar_delete(w.handle, 2, nullptr));
    qar_entry e;
    ASSERT_EQ(QAR_OK, qar_entry_at(w.handle, 2, &e, nullptr));
    EXPECT_EQ(1, e.deleted);
    EXPECT_EQ(t.c, read_named(w.handle, "c"));
    OpenArchive r(t.path, QAR_READ, t.key);
    EXPECT_EQ(2u, qar_count(r.handle)) << "a fresh open leaves the deleted record out";
}

TEST(Entries, FindGivesTheFirstOfTwoRecordsOfOneNameIgnoringCase) {
    TempDir dir;
    OpenArchive w(dir.file("d.qar"), QAR_CREATE_NEW, 0);
    const Bytes first = {1, 1, 1, 1, 1}, second = {2, 2, 2, 2, 2};
    ASSERT_EQ(QAR_OK, qar_add(w.handle, "same", first.data(), 5, 0, nullptr));
    ASSERT_EQ(QAR_OK, qar_add(w.handle, "SAME", second.data(), 5, 0, nullptr));
    OpenArchive r(dir.file("d.qar"), QAR_READ, 0);
    EXPECT_EQ(first, read_named(r.handle, "Same"));
    qar_error error;
    size_t position = 0;
    EXPECT_EQ(QAR_NOT_FOUND, qar_find(r.handle, "other", &position, &error));
    EXPECT_STREQ("Could not find record \"other\" in file \"d.qar\"", error.message);
}

// Stamps from known dates: the month shift of the format, and its inverse.
TEST(TimeStamp, JanuaryThirtyFirstRollsIntoMarch) {
    const qar_datetime date = {2014, 1, 31, 12, 0, 0};
    EXPECT_EQ(1393848000u, qar_stamp_from_datetime(&date));  // 2014-03-03 12:00
}

TEST(TimeStamp, BeforeNineteenSeventyIsAllOnes) {
    const qar_datetime date = {1969, 11, 30, 23, 59, 59};
    EXPECT_EQ(0xFFFFFFFFu, qar_stamp_from_datetime(&date));
    EXPECT_EQ(0xFFFFFFFFu, qar_stamp_from_time(qar_time_from_datetime(&date)));
}

// The field's last second is 2106-02-07 06:28:14 once shifted; later instants would wrap.
TEST(TimeStamp, PastTheFieldsLastSecondIsAllOnesNotAWrappedDate) {
    const qar_datetime last = {2106, 1, 7, 6, 28, 14}, after = {2106, 1, 7, 6, 28, 15},
                       later = {2107, 1, 1, 0, 0, 0};
    EXPECT_EQ(0xFFFFFFFEu, qar_stamp_from_datetime(&last));
    EXPECT_EQ(0xFFFFFFFFu, qar_stamp_from_datetime(&after));
    EXPECT_EQ(0xFFFFFFFFu, qar_stamp_from_datetime(&later));
}

// A stamp with the top bit set is a date after 2038, not one before 1970.
TEST(TimeStamp, AStampWithTheTopBitSetReadsBackAsALateDate) {
    const qar_datetime date = {2040, 6, 1, 0, 0, 0};
    const uint32_t stamp = qar_stamp_from_datetime(&date);
    ASSERT_GT(stamp, 0x80000000u);
    qar_datetime back = {};
    ASSERT_EQ(1, qar_stamp_to_datetime(stamp, 0, &back));
    EXPECT_EQ(2040, back.year);
    EXPECT_EQ(6, back.month);
    EXPECT_EQ(qar_time_from_datetime(&date), qar_stamp_to_time(stamp));
}

TEST(TimeStamp, SecondsGoThroughTheShiftAndBack) {
    for (int64_t seconds : {int64_t(0), int64_t(1400000000), int64_t(1419984000) /* Dec 31 */}) {
        const uint32_t stamp = qar_stamp_from_time(seconds);
        EXPECT_NE(uint32_t(seconds), stamp) << "stored unshifted: " << seconds;
        EXPECT_EQ(seconds, qar_stamp_to_time(stamp)) << seconds;
    }
}

TEST(Keys, AnArchiveOfAnotherKeyIsRefusedUnlessAnyKeyIsAsked) {
    ThreeRecords t;
    OpenArchive wrong(t.path, QAR_READ, t.key + 1);
    EXPECT_EQ(QAR_KEY_MISMATCH, wrong.error.status);
    EXPECT_STREQ("The key does not match file \"three.qar\"", wrong.error.message);
    OpenArchive any(t.path, QAR_READ | QAR_ANY_KEY, 0);
    ASSERT_NE(nullptr, any.handle) << any.error.message;
    EXPECT_EQ(t.key, qar_archive_key(any.handle));
    qar_archive* by_password = nullptr;
    EXPECT_EQ(QAR_OK, qar_open(t.path.c_str(), QAR_READ, "pw", &by_password, nullptr));
    qar_close(by_password, nullptr);
}

TEST(Writes, AReadOnlyHandleChangesNothing) {
    ThreeRecords t;
    const std::string before = read_file(t.path);
    OpenArchive r(t.path, QAR_READ, t.key);
    qar_error error;
    EXPECT_EQ(QAR_INVALID, qar_add(r.handle, "d", t.c.data(), 4, 0, &error));
    EXPECT_STREQ("Could not write data to file \"three.qar\": it is open for reading only",
                 error.message);
    EXPECT_EQ(QAR_INVALID, qar_delete(r.handle, 0, &error));
    EXPECT_EQ(before, read_file(t.path));
}

TEST(Writes, AnEncodingOfAnotherKeyIsRefused) {
    ThreeRecords t;
    OpenArchive w(t.path, QAR_WRITE, t.key);
    qar_encoded* encoded = nullptr;
    ASSERT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
    ASSERT_EQ(QAR_OK, qar_encode(encoded, t.c.data(), 4, t.key + 1, 0, nullptr, nullptr));
    qar_error error;
    EXPECT_EQ(QAR_INVALID, qar_add_encoded(w.handle, "d", encoded, 0, &error));
    EXPECT_NE(nullptr, strstr(error.message, "another key")) << error.message;
    qar_encoded_free(encoded);
}

// The steps of one record on two threads at once give qar_encode's bytes.
TEST(Encoding, StepsOnTwoThreadsGiveTheBytesOfTheWholeEncoding) {
    const Bytes data = text_bytes(200000, 3);
    qar_encoded *whole = nullptr, *split = nullptr;
    qar_workspace *w0 = nullptr, *w1 = nullptr;
    ASSERT_EQ(QAR_OK, qar_encoded_new(&whole, nullptr));
    ASSERT_EQ(QAR_OK, qar_encoded_new(&split, nullptr));
    ASSERT_EQ(QAR_OK, qar_workspace_new(&w0, nullptr));
    ASSERT_EQ(QAR_OK, qar_workspace_new(&w1, nullptr));
    ASSERT_EQ(QAR_OK, qar_encode(whole, data.data(), data.size(), 77, 0, w0, nullptr));
    unsigned steps = 0;
    ASSERT_EQ(QAR_OK, qar_encode_begin(split, data.data(), data.size(), 77, 0, &steps, nullptr));
    ASSERT_EQ(2u, steps) << "a large record is announced as two steps";
    std::thread other([&] { qar_encode_step(split, 1, w1, nullptr); });
    EXPECT_EQ(QAR_OK, qar_encode_step(split, 0, w0, nullptr));
    other.join();
    ASSERT_EQ(QAR_OK, qar_encode_end(split, nullptr));
    size_t n_whole = 0, n_split = 0;
    const uint8_t* a = static_cast<const uint8_t*>(qar_encoded_bytes(whole, &n_whole, nullptr, nullptr));
    const uint8_t* b = static_cast<const uint8_t*>(qar_encoded_bytes(split, &n_split, nullptr, nullptr));
    EXPECT_EQ(Bytes(a, a + n_whole), Bytes(b, b + n_split));
    for (qar_encoded* e : {whole, split}) qar_encoded_free(e);
    for (qar_workspace* w : {w0, w1}) qar_workspace_free(w);
}

TEST(Encoding, PlainIsMaskedAndNeverCompressed) {
    const Bytes data = text_bytes(1000, 4);
    qar_encoded* encoded = nullptr;
    ASSERT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
    ASSERT_EQ(QAR_OK, qar_encode(encoded, data.data(), data.size(), 0x01010101u, QAR_ENCODE_PLAIN,
                                 nullptr, nullptr));
    size_t stored = 0;
    qar_method method = QAR_METHOD_UNKNOWN;
    const uint8_t* bytes = static_cast<const uint8_t*>(qar_encoded_bytes(encoded, &stored, &method, nullptr));
    EXPECT_EQ(QAR_METHOD_NONE, method);
    ASSERT_EQ(data.size(), stored);
    EXPECT_EQ(uint8_t(data[0] ^ 1), bytes[0]);
    qar_encoded_free(encoded);
}

// Four threads read every record of one handle at once.
TEST(Threads, ReadsOfOneHandleFromFourThreadsGiveTheRecords) {
    ThreeRecords t;
    OpenArchive r(t.path, QAR_READ, t.key);
    const Bytes expected[3] = {t.a, t.b, t.c};
    int wrong[4] = {};
    std::vector<std::thread> readers;
    for (int n = 0; n < 4; ++n)
        readers.emplace_back([&, n] {
            for (int round = 0; round < 20; ++round)
                for (size_t p = 0; p < 3; ++p) {
                    Bytes buffer(expected[p].size());
                    size_t size = 0;
                    if (qar_read(r.handle, p, buffer.data(), buffer.size(), &size, nullptr) != QAR_OK ||
                        buffer != expected[p])
                        wrong[n] += 1;
                }
        });
    for (std::thread& reader : readers) reader.join();
    for (int n = 0; n < 4; ++n) EXPECT_EQ(0, wrong[n]) << "reads gone wrong on thread " << n;
}

TEST(Compaction, KeepsTheLiveRecordsInIndexOrderAndReportsTheSizes) {
    ThreeRecords t;
    OpenArchive w(t.path, QAR_WRITE, t.key);
    ASSERT_EQ(QAR_OK, qar_delete(w.handle, 1, nullptr));  // "b"
    const int64_t before = int64_t(read_file(t.path).size());
    qar_compact_result result = {};
    qar_error error;
    ASSERT_EQ(QAR_OK, qar_compact(w.release(), nullptr, nullptr, &result, &error)) << error.message;
    const std::string after = read_file(t.path);
    EXPECT_EQ(2u, result.records);
    EXPECT_EQ(before, result.size_before);
    EXPECT_EQ(int64_t(after.size()), result.size_after);
    const std::vector<RawEntry> entries = raw_entries(after);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("a", entries[0].name);
    EXPECT_EQ("c", entries[1].name);
    EXPECT_EQ(1, entries[1].index);
    OpenArchive r(t.path, QAR_READ, t.key);
    EXPECT_EQ(t.c, read_named(r.handle, "c"));
}

struct Damaged {
    std::vector<std::string> messages;
};

TEST(Compaction, ADamagedRecordIsNamedAndTheArchiveStaysUntouched) {
    TempDir dir;
    const std::string path = dir.file("d.qar");
    write_file(path, raw_archive(0, {{"ok", 3632, 0, 4, 0, 0}, {"gone", 3636, 1, 99, 0, 0}}, "abcd"));
    OpenArchive w(path, QAR_WRITE, 0);
    Damaged damaged;
    auto notice = [](void* context, size_t position, const char* message) {
        static_cast<Damaged*>(context)->messages.push_back(std::to_string(position) + " " + message);
    };
    qar_error error;
    EXPECT_EQ(QAR_DAMAGED, qar_compact(w.release(), notice, &damaged, nullptr, &error));
    EXPECT_EQ(std::vector<std::string>{"0 its stored bytes lie beyond the end of the file"},
              damaged.messages) << "position 0 is \"gone\" in name order";
    EXPECT_EQ(raw_archive(0, {{"ok", 3632, 0, 4, 0, 0}, {"gone", 3636, 1, 99, 0, 0}}, "abcd"),
              read_file(path));
}

TEST(Testing, TestAllCountsEachDamagedRecordAndGivesTheFirstMessage) {
    TempDir dir;
    const std::string path = dir.file("d.qar");
    write_file(path, raw_archive(0, {{"x1", 3632, 0, 99, 0, 0}, {"ok", 3632, 1, 4, 0, 0},
                                     {"x2", 10, 2, 4, 0, 0}}, "abcd"));
    OpenArchive r(path, QAR_READ, 0);
    size_t damaged = 0;
    qar_error error;
    EXPECT_EQ(QAR_DAMAGED, qar_test_all(r.handle, nullptr, nullptr, &damaged, &error));
    EXPECT_EQ(2u, damaged);
    EXPECT_STREQ("its stored bytes lie beyond the end of the file", error.message);
    EXPECT_EQ(QAR_OK, qar_test(r.handle, 0, nullptr)) << "\"ok\" is sound";
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
        void* data = nullptr;
        size_t size = 0;
        qar_error error;
        const qar_status read = qar_read_alloc(r.handle, 0, &data, &size, &error);
        return read == QAR_NO_MEMORY && std::string(error.message) == "out of memory" ? 0 : 1;
    });
    EXPECT_EQ(0, status) << "the read did not fail with QAR_NO_MEMORY, or the child died";
}

// Opening with its open or its lock failed: QAR_IO, the file and the system's reason.
TEST(FailedCalls, AnOpenOrALockThatFailsGivesTheSystemsReason) {
    ThreeRecords t;
    ArmedSeam seam;
    const std::pair<PlatCall, unsigned> cases[] = {{PLAT_CALL_OPEN, QAR_READ}, {PLAT_CALL_LOCK, QAR_WRITE}};
    for (const auto& [kind, mode] : cases) {
        plat_reset_calls();
        plat_fail_call(kind, 1, EACCES);
        OpenArchive a(t.path, mode, t.key);
        EXPECT_EQ(QAR_IO, a.error.status) << plat_call_name(kind);
        const std::string word = kind == PLAT_CALL_OPEN ? "open" : "lock";
        EXPECT_EQ("Could not " + word + " file \"" + t.path + "\": " + strerror(EACCES),
                  std::string(a.error.message));
    }
}

// One operation on an archive open for writing; the handle is the operation's to close.
using Operation = qar_status (*)(qar_archive* archive, qar_error* error);

qar_status add_one(qar_archive* archive, qar_error* error) {
    const Bytes data = text_bytes(100, 9);
    const qar_status status = qar_add(archive, "new", data.data(), data.size(), 0, error);
    qar_close(archive, nullptr);
    return status;
}

qar_status update_one(qar_archive* archive, qar_error* error) {
    const qar_status status = qar_update(archive, "c", "abcdef", 6, 0, error);
    qar_close(archive, nullptr);
    return status;
}

qar_status read_and_delete(qar_archive* archive, qar_error* error) {
    void* data = nullptr;
    size_t size = 0;
    qar_status status = qar_read_alloc(archive, 1, &data, &size, error);
    qar_free(data);
    if (status == QAR_OK) status = qar_delete(archive, 0, error);
    const qar_status closed = qar_close(archive, status == QAR_OK ? error : nullptr);
    return status == QAR_OK ? closed : status;
}

qar_status compact(qar_archive* archive, qar_error* error) {
    return qar_compact(archive, nullptr, nullptr, nullptr, error);
}

// Fails each call of the operation in turn, every n of every kind: the result is QAR_OK (a
// failure that costs nothing) or QAR_IO with the system's reason, and every record of the
// archive reads as before or as the operation leaves it. Returns the messages seen.
std::set<std::string> fail_every_call(Operation operation) {
    std::set<std::string> messages;
    ThreeRecords plain;
    ArmedSeam seam;
    uint64_t counts[PLAT_CALL_KINDS];
    {
        OpenArchive w(plain.path, QAR_WRITE, plain.key);
        plat_reset_calls();
        EXPECT_EQ(QAR_OK, operation(w.release(), nullptr)) << "the operation fails by itself";
        for (int k = 0; k < PLAT_CALL_KINDS; ++k) counts[k] = plat_calls_made(PlatCall(k));
    }
    for (int k = 0; k < PLAT_CALL_KINDS; ++k)
        for (uint64_t n = 1; n <= counts[k]; ++n) {
            ThreeRecords t;
            const std::string before = read_file(t.path);
            OpenArchive w(t.path, QAR_WRITE, t.key);
            plat_reset_calls();
            const int system_error = PlatCall(k) == PLAT_CALL_WRITE ? ENOSPC : EIO;
            plat_fail_call(PlatCall(k), n, system_error);
            qar_error error = {};
            const qar_status status = operation(w.release(), &error);
            plat_reset_calls();
            const std::string trace = std::string(plat_call_name(PlatCall(k))) + " call " +
                                      std::to_string(n) + ": " + error.message;
            EXPECT_TRUE(status == QAR_OK || status == QAR_IO) << trace;
            if (status != QAR_OK) {
                EXPECT_NE(nullptr, strstr(error.message, strerror(system_error)))
                    << "no system's reason, " << trace;
                messages.insert(error.message);
            }
            OpenArchive r(t.path, QAR_READ, t.key);
            EXPECT_EQ(t.b, read_named(r.handle, "b")) << "a record was lost, " << trace;
        }
    return messages;
}

// 1 when one of the messages begins with start.
bool said(const std::set<std::string>& messages, const std::string& start) {
    for (const std::string& message : messages)
        if (message.compare(0, start.size(), start) == 0) return true;
    return false;
}

TEST(FailedCalls, EveryFailedCallOfAnAddGivesTheSystemsReason) {
    const std::set<std::string> messages = fail_every_call(add_one);
    for (const char* start : {"Could not write data new", "Could not write dtable", "Could not write header"})
        EXPECT_TRUE(said(messages, start)) << "no failure said \"" << start << "...\"";
}

TEST(FailedCalls, EveryFailedCallOfAnUpdateGivesTheSystemsReason) {
    fail_every_call(update_one);
}

TEST(FailedCalls, EveryFailedCallOfAReadAndADeleteGivesTheSystemsReason) {
    fail_every_call(read_and_delete);
}

// The temporary file, its flush and its rename each name the system's reason.
TEST(FailedCalls, EveryFailedCallOfACompactionGivesTheSystemsReason) {
    const std::set<std::string> messages = fail_every_call(compact);
    for (const char* start : {"Could not create a temporary file", "Could not flush file", "Could not rename"})
        EXPECT_TRUE(said(messages, start)) << "no failure said \"" << start << "...\"";
}

}  // namespace
