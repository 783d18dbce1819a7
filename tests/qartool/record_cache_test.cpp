// The mount's record cache with a made-up decoder: record r holds 10 bytes of value r
// (record big_record big_size bytes), unless the test makes it fail.
#include <gtest/gtest.h>

#include <new>

#include "record_cache.h"

namespace {

// failing: how many reads still fail as memory running out would; of two, the first
// throws as the decoder itself runs out of memory, the second says so.
struct FakeRecords {
    int failing = 0;
    size_t big_record = SIZE_MAX, big_size = 0;
};

DecodeOutcome fake_decode(void* context, size_t record, std::vector<uint8_t>* bytes,
                          std::string* why) {
    FakeRecords* f = static_cast<FakeRecords*>(context);
    if (f->failing == 2) {
        f->failing = 1;
        throw std::bad_alloc();
    }
    if (f->failing == 1) {
        f->failing = 0;
        *why = "no memory";
        return DECODE_PASSING;
    }
    bytes->assign(record == f->big_record ? f->big_size : 10, uint8_t(record));
    return DECODE_DONE;
}

uint64_t fake_size(void* context, size_t record) {
    const FakeRecords* f = static_cast<const FakeRecords*>(context);
    return record == f->big_record ? f->big_size : 10;
}

void expect_record(RecordCache* cache, size_t record) {
    const CacheRead read = cache_read(cache, record);
    ASSERT_TRUE(read.bytes) << "record " << record << ": " << read.why;
    EXPECT_EQ(std::vector<uint8_t>(10, uint8_t(record)), *read.bytes) << "record " << record;
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

TEST(RecordCache, MemoryRunningOutIsTriedAgainOnTheNextRead) {
    FakeRecords f;
    f.failing = 2;
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

}  // namespace
