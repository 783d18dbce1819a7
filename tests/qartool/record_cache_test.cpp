// The mount's record cache with a made-up decoder: record r holds `size` bytes of value r
// (record big_record big_size bytes), unless the test makes it damaged, failing or slow.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "record_cache.h"

namespace {

struct FakeRecords {
    size_t big_record = SIZE_MAX, big_size = 0;
    size_t damaged = SIZE_MAX;
    size_t passing_once = SIZE_MAX;  // fails once as memory running out would
    bool throw_once = false;         // the decoder itself runs out of memory once
    // A gate that holds the decoding of `gated` until opened.
    size_t gated = SIZE_MAX;
    std::mutex mutex;
    std::condition_variable changed;
    bool gate_open = false, decoding_gated = false;
};

DecodeOutcome fake_decode(void* context, size_t record, std::vector<uint8_t>* bytes,
                          std::string* why) {
    FakeRecords* f = static_cast<FakeRecords*>(context);
    if (record == f->gated) {
        std::unique_lock<std::mutex> lock(f->mutex);
        f->decoding_gated = true;
        f->changed.notify_all();
        f->changed.wait(lock, [f] { return f->gate_open; });
    }
    if (f->throw_once) {
        f->throw_once = false;
        throw std::bad_alloc();
    }
    *why = record == f->damaged ? "bad stream" : "no memory";
    if (record == f->damaged) return DECODE_DAMAGED;
    if (record == f->passing_once) {
        f->passing_once = SIZE_MAX;
        return DECODE_PASSING;
    }
    bytes->assign(record == f->big_record ? f->big_size : 10, uint8_t(record));
    return DECODE_DONE;
}

uint64_t fake_size(void* context, size_t record) {
    const FakeRecords* f = static_cast<const FakeRecords*>(context);
    return record == f->big_record ? f->big_size : 10;
}

void open_gate(FakeRecords* f) {
    std::lock_guard<std::mutex> lock(f->mutex);
    f->gate_open = true;
    f->changed.notify_all();
}

// Reads the record and checks that it holds what the fake decoder makes.
void expect_record(RecordCache* cache, size_t record, size_t size = 10) {
    const CacheRead read = cache_read(cache, record);
    ASSERT_TRUE(read.bytes) << "record " << record << ": " << read.why;
    EXPECT_EQ(std::vector<uint8_t>(size, uint8_t(record)), *read.bytes) << "record " << record;
}

TEST(RecordCache, TheRecordUsedLongestAgoGoesWhenTheBoundIsPassed) {
    FakeRecords f;
    RecordCache cache;
    cache_init(&cache, 5, 30, fake_decode, &f);
    for (size_t r : {0, 1, 2, 0}) expect_record(&cache, r);
    EXPECT_EQ(3u, cache.decodes) << "a cached record was decoded again";
    expect_record(&cache, 3);  // 40 bytes: record 1 must go
    EXPECT_EQ(30u, cache.held) << "the cache holds more than its bound";
    expect_record(&cache, 0);
    expect_record(&cache, 2);
    EXPECT_EQ(4u, cache.decodes) << "a recently used record was let go";
    expect_record(&cache, 1);
    EXPECT_EQ(5u, cache.decodes) << "the record used longest ago was kept";
}

TEST(RecordCache, ARecordLargerThanTheBoundIsServedAlone) {
    FakeRecords f;
    f.big_record = 1;
    f.big_size = 50;
    RecordCache cache;
    cache_init(&cache, 3, 20, fake_decode, &f);
    expect_record(&cache, 0);
    expect_record(&cache, 1, 50);
    EXPECT_EQ(50u, cache.held) << "everything else must have gone for the large record";
    expect_record(&cache, 1, 50);
    EXPECT_EQ(2u, cache.decodes) << "the large record was not kept for its next read";
    expect_record(&cache, 2);
    EXPECT_EQ(10u, cache.held);
}

TEST(RecordCache, ADamagedRecordIsNewsOnceAndNeverDecodedAgain) {
    FakeRecords f;
    f.damaged = 1;
    RecordCache cache;
    cache_init(&cache, 3, 100, fake_decode, &f);
    for (bool first : {true, false}) {
        const CacheRead read = cache_read(&cache, 1);
        EXPECT_FALSE(read.bytes);
        EXPECT_TRUE(read.damaged);
        EXPECT_EQ(first, read.first_news) << "the damage is news on the first read only";
        EXPECT_EQ("bad stream", read.why);
    }
    EXPECT_EQ(1u, cache.decodes);
    expect_record(&cache, 2);
}

TEST(RecordCache, MemoryRunningOutIsTriedAgainOnTheNextRead) {
    FakeRecords f;
    f.passing_once = 0;
    f.throw_once = true;  // first the decoder throws, then it says so
    RecordCache cache;
    cache_init(&cache, 1, 100, fake_decode, &f);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const CacheRead failed = cache_read(&cache, 0);
        EXPECT_FALSE(failed.bytes);
        EXPECT_FALSE(failed.damaged) << "a passing failure was taken for damage";
        EXPECT_FALSE(failed.why.empty());
    }
    expect_record(&cache, 0);
    EXPECT_EQ(3u, cache.decodes);
}

// Record 0 read on a thread of its own, its decoding held at the gate; the thread is
// joined when the reader goes.
struct GatedReader {
    std::thread thread;
    GatedReader(RecordCache* cache, FakeRecords* f) {
        f->gated = 0;
        thread = std::thread([cache] { expect_record(cache, 0); });
        std::unique_lock<std::mutex> lock(f->mutex);
        f->changed.wait(lock, [f] { return f->decoding_gated; });
    }
    ~GatedReader() { thread.join(); }
};

TEST(RecordCache, TwoReadersOfOneRecordShareOneDecoding) {
    FakeRecords f;
    RecordCache cache;
    cache_init(&cache, 1, 100, fake_decode, &f);
    // The second reader opens the gate once it waits for the first's decoding.
    cache.on_wait = [](void* context, size_t) { open_gate(static_cast<FakeRecords*>(context)); };
    cache.wait_context = &f;
    {
        GatedReader first(&cache, &f);
        expect_record(&cache, 0);
    }
    EXPECT_EQ(1u, cache.decodes);
}

TEST(RecordCache, ADecodingDoesNotHoldUpReadersOfOtherRecords) {
    FakeRecords f;
    RecordCache cache;
    cache_init(&cache, 2, 100, fake_decode, &f);
    GatedReader first(&cache, &f);
    expect_record(&cache, 1);  // record 0's gate is shut: this must not wait for it
    open_gate(&f);
}

// Decoding ahead

// A cache of `records` records whose workers run while it lives.
struct AheadCache {
    RecordCache cache;
    AheadCache(FakeRecords* f, size_t records, uint64_t capacity, unsigned workers,
               size_t depth) {
        cache_init(&cache, records, capacity, fake_decode, f);
        cache_start_ahead(&cache, workers, depth, fake_size);
    }
    ~AheadCache() { cache_stop_ahead(&cache); }
};

// Waits until nothing is queued and no worker is decoding.
void wait_until_idle(RecordCache* cache) {
    std::unique_lock<std::mutex> lock(cache->mutex);
    cache->decoded.wait(lock, [cache] { return cache->ahead.empty() && cache->busy == 0; });
}

TEST(RecordCache, OpeningARecordDecodesTheNextOnesUpToTheDepth) {
    FakeRecords f;
    AheadCache a(&f, 4, 100, 2, 2);
    cache_opened(&a.cache, 0);
    wait_until_idle(&a.cache);
    EXPECT_EQ(2u, a.cache.decodes) << "records 1 and 2 were not decoded ahead, or 3 was too";
    expect_record(&a.cache, 1);
    expect_record(&a.cache, 2);
    EXPECT_EQ(2u, a.cache.decodes) << "a record decoded ahead was decoded again by its reader";
}

TEST(RecordCache, DecodingAheadLetsGoOnlyOfClosedReadRecordsWithinTheBound) {
    // Record 0 opened and read, record 1 decoded ahead: 20 of 25 bytes. Then
    // opening record 1 asks for record 2.
    struct Case {
        const char* what;
        bool close_0;
        uint64_t size_2;
        bool decoded_2;
    };
    const Case cases[] = {
        {"record 0 open, record 1 unread: no room for record 2", false, 10, false},
        {"record 0 closed: it goes to make room for record 2", true, 10, true},
        {"record 2 larger than the bound: nothing goes for it", true, 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeRecords f;
        f.big_record = 2;
        f.big_size = c.size_2;
        AheadCache a(&f, 3, 25, 1, 1);
        cache_opened(&a.cache, 0);
        wait_until_idle(&a.cache);
        expect_record(&a.cache, 0);
        if (c.close_0) cache_closed(&a.cache, 0);
        cache_opened(&a.cache, 1);
        wait_until_idle(&a.cache);
        EXPECT_LE(a.cache.held, 25u) << "decoding ahead passed the bound";
        EXPECT_EQ(c.decoded_2, a.cache.slots[2].state == SLOT_READY) << "record 2 decoded ahead";
        EXPECT_EQ(!c.decoded_2, a.cache.slots[0].state == SLOT_READY)
            << "record 0 was let go for nothing, or kept when it had to go";
        EXPECT_EQ(SLOT_READY, a.cache.slots[1].state) << "the unread record 1 was let go";
    }
}

TEST(RecordCache, StoppingFinishesTheDecodingUnderWayAndDropsTheQueue) {
    FakeRecords f;
    f.gated = 1;
    RecordCache cache;
    cache_init(&cache, 3, 100, fake_decode, &f);
    cache_start_ahead(&cache, 1, 1, fake_size);
    cache_opened(&cache, 0);
    std::unique_lock<std::mutex> gate(f.mutex);
    f.changed.wait(gate, [&f] { return f.decoding_gated; });
    gate.unlock();
    cache_opened(&cache, 1);  // record 2 waits in the queue
    // The gate opens once the stop has begun (it wakes whoever waits for work).
    std::thread opener([&] {
        std::unique_lock<std::mutex> lock(cache.mutex);
        cache.work.wait(lock, [&cache] { return cache.stopping; });
        lock.unlock();
        open_gate(&f);
    });
    cache_stop_ahead(&cache);
    opener.join();
    EXPECT_TRUE(cache.workers.empty());
    EXPECT_EQ(SLOT_READY, cache.slots[1].state) << "the decoding under way was not finished";
    EXPECT_EQ(SLOT_EMPTY, cache.slots[2].state) << "a queued record was decoded after the stop";
}

TEST(RecordCache, ADamageFoundAheadIsNewsToItsFirstReaderOnly) {
    FakeRecords f;
    f.damaged = 1;
    AheadCache a(&f, 2, 100, 1, 1);
    cache_opened(&a.cache, 0);
    wait_until_idle(&a.cache);
    ASSERT_EQ(SLOT_DAMAGED, a.cache.slots[1].state) << "the damage was not found ahead";
    for (bool first : {true, false}) {
        const CacheRead read = cache_read(&a.cache, 1);
        EXPECT_TRUE(read.damaged);
        EXPECT_EQ(first, read.first_news) << "the damage is news on the first read only";
        EXPECT_EQ("bad stream", read.why);
    }
    EXPECT_EQ(1u, a.cache.decodes) << "the damaged record was decoded again";
}

}  // namespace
