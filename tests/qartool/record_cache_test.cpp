// The mount's record cache with a made-up decoder: record r holds 10 bytes of value r,
// unless the test makes it fail as memory running out does.
#include <gtest/gtest.h>

#include <new>

#include "record_cache.h"

namespace {

struct FakeRecords {
    size_t passing_once = SIZE_MAX;  // fails once as memory running out would
    bool throw_once = false;         // the decoder itself runs out of memory once
};

DecodeOutcome fake_decode(void* context, size_t record, std::vector<uint8_t>* bytes,
                          std::string* why) {
    FakeRecords* f = static_cast<FakeRecords*>(context);
    if (f->throw_once) {
        f->throw_once = false;
        throw std::bad_alloc();
    }
    if (record == f->passing_once) {
        f->passing_once = SIZE_MAX;
        *why = "no memory";
        return DECODE_PASSING;
    }
    bytes->assign(10, uint8_t(record));
    return DECODE_DONE;
}

// Reads the record and checks that it holds what the fake decoder makes.
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

}  // namespace
