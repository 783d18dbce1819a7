// Decoding ahead with a made-up source: record p holds size_of(p) bytes
// following from p, unless the test makes the source skip it or fail it.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "read_ahead.h"

namespace {

struct FakeSource {
    std::set<size_t> unwanted, failing, large;
    std::atomic<size_t> decodes{0};
};

uint64_t size_of(size_t position) { return 1 + position * 37 % 3000; }

uint8_t byte_at(size_t position, size_t i) { return uint8_t(position * 7 + i); }

bool fake_wanted(void* context, size_t position, uint64_t* size) {
    const FakeSource* f = static_cast<const FakeSource*>(context);
    *size = f->large.count(position) ? AHEAD_RECORD_BYTES + 1 : size_of(position);
    return !f->unwanted.count(position);
}

bool fake_decode(void* context, size_t position, uint8_t* out, size_t size) {
    FakeSource* f = static_cast<FakeSource*>(context);
    f->decodes += 1;
    if (f->failing.count(position)) return false;
    for (size_t i = 0; i < size; ++i) out[i] = byte_at(position, i);
    return true;
}

struct Ahead {
    ReadAhead ahead;
    explicit Ahead(FakeSource* f, unsigned workers) {
        ahead.worker_count = workers;
        ahead.source.context = f;
        ahead.source.wanted = fake_wanted;
        ahead.source.decode = fake_decode;
    }
};

// Whether the record came out of a chunk, with its own bytes.
bool served(ReadAhead* ahead, size_t position, size_t records, bool may_wait = true) {
    const AheadBytes got = ahead_take(ahead, position, records, may_wait);
    if (!got.chunk) return false;
    EXPECT_EQ(size_of(position), got.size) << "record " << position;
    for (size_t i = 0; i < got.size; ++i)
        if (got.data[i] != byte_at(position, i)) {
            ADD_FAILURE() << "record " << position << " has a wrong byte at " << i;
            break;
        }
    return true;
}

TEST(ReadAhead, ReadsInOrderAreServedDecodedOnceWithinTheWindow) {
    FakeSource f;
    Ahead a(&f, 2);
    const size_t records = 2000;
    EXPECT_FALSE(served(&a.ahead, 0, records)) << "a first read cannot be in order";
    EXPECT_FALSE(served(&a.ahead, 1, records)) << "the read that starts the window";
    for (size_t p = 2; p < records; ++p) {
        ASSERT_TRUE(served(&a.ahead, p, records)) << "record " << p << " was not decoded ahead";
        std::lock_guard<std::mutex> lock(a.ahead.mutex);
        ASSERT_LE(a.ahead.window.size(), 2 * AHEAD_CHUNKS_PER_WORKER) << "the window outgrew";
    }
    EXPECT_EQ(records - 2, f.decodes) << "a record was decoded twice, or one never read was";
}

TEST(ReadAhead, RecordsNotWantedLargeOrFailingAreLeftToTheReader) {
    FakeSource f;
    f.unwanted = {10};
    f.large = {20};
    f.failing = {30, 31};
    Ahead a(&f, 1);
    for (size_t p = 0; p < 100; ++p) {
        const bool left = p < 2 || p == 10 || p == 20 || p == 30 || p == 31;
        EXPECT_EQ(!left, served(&a.ahead, p, 100)) << "record " << p;
    }
}

TEST(ReadAhead, AReadOutsideTheWindowIsLeftToTheReaderAndTheWindowStartsAgainAfterIt) {
    FakeSource f;
    Ahead a(&f, 1);
    for (size_t p = 0; p < 10; ++p) served(&a.ahead, p, 1000);
    // A jump forward, then one back; each time the next read in order starts
    // the window again after it and the one after that is served.
    for (size_t jump : {900, 100}) {
        EXPECT_FALSE(served(&a.ahead, jump, 1000)) << "the jump to " << jump << " was served";
        EXPECT_FALSE(served(&a.ahead, jump + 1, 1000)) << "the read after the jump to " << jump;
        for (size_t p = jump + 2; p < jump + 80; ++p)
            ASSERT_TRUE(served(&a.ahead, p, 1000)) << "in order again, record " << p;
    }
}

TEST(ReadAhead, WithoutWaitingOnlyADecodedChunkIsTakenAndNothingChanges) {
    FakeSource f;
    Ahead a(&f, 0);  // no workers: queued chunks stay queued
    served(&a.ahead, 0, 100);
    served(&a.ahead, 1, 100);
    EXPECT_FALSE(served(&a.ahead, 2, 100, false)) << "a queued chunk was taken without waiting";
    EXPECT_EQ(0u, f.decodes) << "taking without waiting decoded";
    EXPECT_TRUE(served(&a.ahead, 2, 100)) << "the reader did not decode the queued chunk";
    EXPECT_TRUE(served(&a.ahead, 3, 100, false)) << "a decoded chunk was not taken";
}

TEST(ReadAhead, StoppingWhileThreadsReadInOrderLosesNothing) {
    FakeSource f;
    f.failing = {500};
    Ahead a(&f, 2);
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            for (int round = 0; round < 3; ++round)
                for (size_t p = 0; p < 1000; ++p) served(&a.ahead, p, 1000);
        });
    std::thread stopper([&] {
        for (int stops = 0; stops < 200 && !done; ++stops) ahead_stop(&a.ahead);
    });
    for (std::thread& t : readers) t.join();
    done = true;
    stopper.join();
    EXPECT_GT(f.decodes, 0u) << "nothing was decoded ahead between the stops";
}

}  // namespace
