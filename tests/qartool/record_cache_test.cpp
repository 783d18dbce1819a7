// The mount's record cache with a made-up decoder: record r holds 10 bytes of value r.
#include <gtest/gtest.h>

#include <new>

#include "record_cache.h"

namespace {

// failing: how many reads still fail as memory running out would; of two, the first
// throws as the decoder itself runs out of memory, the second says so.
struct FakeRecords {
    int failing = 0;
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
    bytes->assign(10, uint8_t(record));
    return DECODE_DONE;
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

}  // namespace
