// The codec compresses both ways at once with one long-lived worker thread;
// these tests prove that it stores exactly what the one-after-the-other path
// stores, for records of many sizes and contents, the tie and the
// stored-uncompressed cases, many records in a row, a worker that comes late
// on one core, and that the process ends cleanly with the worker still there.
#include <gtest/gtest.h>

#include <lzo1x.h>
#include <lzo1y.h>
#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive_format.h"
#include "archive_handle.h"
#include "record_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using EncodeFn = uint8_t* (*)(const uint8_t*, uint32_t, uint32_t*, uint32_t*);

struct Encoded {
    bool ok;
    bool returned_input;  // the result pointer was the caller's own buffer
    uint32_t stored_size;
    uint32_t flags;
    Bytes stored;
};

// Runs one encoder over size bytes at data and takes ownership of its result.
// data must not be null: null is the encoders' failure result.
Encoded encode_with(EncodeFn fn, const uint8_t* data, size_t size) {
    Encoded e = {false, false, 0xDEADBEEF, 0xDEADBEEF, {}};
    uint8_t* out = fn(data, uint32_t(size), &e.stored_size, &e.flags);
    if (out == nullptr) return e;
    e.ok = true;
    e.returned_input = out == data;
    e.stored.assign(out, out + e.stored_size);
    if (e.flags != 0) std::free(out);
    return e;
}

Encoded encode_with(EncodeFn fn, const Bytes& data) {
    static const uint8_t empty[1] = {0};
    return encode_with(fn, data.empty() ? empty : data.data(), data.size());
}

void expect_same(const Encoded& a, const Encoded& b, const std::string& what) {
    EXPECT_EQ(a.ok, b.ok) << what;
    EXPECT_EQ(a.returned_input, b.returned_input) << what;
    EXPECT_EQ(a.stored_size, b.stored_size) << what;
    EXPECT_EQ(a.flags, b.flags) << what;
    EXPECT_TRUE(a.stored == b.stored) << what << ": stored bytes differ";
}

enum class Content { zeros, text, table, random, mixed, far_repeats };

const char* content_name(Content c) {
    switch (c) {
    case Content::zeros: return "zeros";
    case Content::text: return "text";
    case Content::table: return "table";
    case Content::random: return "random";
    case Content::mixed: return "mixed";
    case Content::far_repeats: return "far repeats";
    }
    return "?";
}

// Deterministic records of the given kind. Far repeats copy blocks from 1 to
// 3 KB back, the distances at which the two methods encode matches differently.
Bytes make_record(Content kind, size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes d(size);
    static const char* words[] = {"sprite ", "texture ", "the ", "level ", "of ", "door\n",
                                  "0x1f ", "load ", "map ", "quest "};
    size_t i = 0;
    switch (kind) {
    case Content::zeros:
        break;
    case Content::text:
        while (i < size)
            for (const char* w = words[rng() % 10]; *w != 0 && i < size; ++w) d[i++] = uint8_t(*w);
        break;
    case Content::table:
        for (; i < size; ++i) d[i] = i % 12 < 4 ? uint8_t(i / 12 >> (8 * (i % 4))) : uint8_t(rng() % 5);
        break;
    case Content::random:
        for (auto& b : d) b = uint8_t(rng());
        break;
    case Content::mixed:
        for (; i < size; ++i) d[i] = (i / 700) % 3 == 0 ? uint8_t(rng()) : uint8_t("abcab"[i % 5]);
        break;
    case Content::far_repeats:
        for (; i < size; ++i) {
            size_t back = 1024 + (i / 4096) % 3 * 700;
            d[i] = i >= back && rng() % 16 != 0 ? d[i - back] : uint8_t(rng() % 7);
        }
        break;
    }
    return d;
}

// Stream lengths straight from the library, to know which case a record is.
void library_lengths(const Bytes& d, lzo_uint* x, lzo_uint* y) {
    static uint8_t work[LZO1X_999_MEM_COMPRESS] __attribute__((aligned(16)));
    Bytes out(d.size() + d.size() / 64 + 19);
    ASSERT_EQ(lzo1x_999_compress(d.data(), d.size(), out.data(), x, work), LZO_E_OK);
    ASSERT_EQ(lzo1y_999_compress(d.data(), d.size(), out.data(), y, work), LZO_E_OK);
}

class CodecParallel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ensure_codec_ready(), 1); }

    // All three entry points give the same result, the input is untouched, the
    // last error text is untouched, and a compressed result decodes back.
    Encoded check_paths_agree(const Bytes& data, const std::string& what) {
        const Bytes before = data;
        set_last_error("%s", "untouched");
        Encoded seq = encode_with(encode_record_sequential, data);
        Encoded thr = encode_with(encode_record_threaded, data);
        Encoded aut = encode_with(encode_record, data);
        EXPECT_TRUE(seq.ok) << what;
        expect_same(seq, thr, what + " (threaded)");
        expect_same(seq, aut, what + " (encode_record)");
        EXPECT_TRUE(data == before) << what << ": input changed";
        EXPECT_STREQ(last_error_text(), "untouched") << what;
        if (thr.ok && thr.flags != 0) {
            Bytes back(flags_uncompressed_size(thr.flags));
            EXPECT_EQ(decode_record(thr.stored.data(), thr.stored_size, thr.flags, back.data()), 1);
            EXPECT_TRUE(back == data) << what << ": does not decode back";
        }
        return seq;
    }
};

TEST_F(CodecParallel, ThreadedStoresTheSameBytesForManySizesAndContents) {
    const size_t t = CODEC_PARALLEL_MIN_SIZE;
    const size_t sizes[] = {1, 5, 17, 64, 255, 1000, t - 1, t, t + 1, 10007, 65536, 65537, 150000};
    const Content kinds[] = {Content::zeros, Content::text,  Content::table,
                             Content::random, Content::mixed, Content::far_repeats};
    int compressed_x = 0, compressed_y = 0, stored_plain = 0;
    for (Content kind : kinds) {
        for (size_t size : sizes) {
            std::string what = std::string(content_name(kind)) + " " + std::to_string(size);
            Encoded e = check_paths_agree(make_record(kind, size, uint32_t(size)), what);
            uint32_t method = e.flags & QAR_COMPRESSION_MASK;
            compressed_x += method == QAR_COMPRESSION_LZO1X;
            compressed_y += method == QAR_COMPRESSION_LZO1Y;
            stored_plain += e.flags == 0;
        }
    }
    // The set covers every outcome of the choice, or it proves less than it claims.
    EXPECT_GT(compressed_x, 0);
    EXPECT_GT(compressed_y, 0);
    EXPECT_GT(stored_plain, 0);
}

TEST_F(CodecParallel, IncompressibleAndEmptyRecordsComeBackAsTheInputOnBothPaths) {
    const Bytes cases[] = {Bytes(), Bytes(1, 'a'), Bytes(3, 0),
                           make_record(Content::random, CODEC_PARALLEL_MIN_SIZE, 3),
                           make_record(Content::random, 200000, 4)};
    for (const Bytes& data : cases) {
        std::string what = "size " + std::to_string(data.size());
        Bytes buffer = data;
        buffer.push_back(0x5A);  // one byte more, so that even the empty record has an address
        for (EncodeFn fn : {encode_record_sequential, encode_record_threaded, encode_record}) {
            Encoded e = encode_with(fn, buffer.data(), data.size());
            ASSERT_TRUE(e.ok) << what;
            EXPECT_TRUE(e.returned_input) << what;
            EXPECT_EQ(e.flags, 0u) << what;
            EXPECT_EQ(e.stored_size, data.size()) << what;
        }
    }
}

TEST_F(CodecParallel, EqualStreamLengthsChooseLzo1xOnBothPaths) {
    // Long runs of one byte give streams of the same length with either method.
    for (size_t size : {size_t(1000), size_t(5000), size_t(10000)}) {
        Bytes data = make_record(Content::zeros, size, 0);
        lzo_uint x = 0, y = 0;
        library_lengths(data, &x, &y);
        ASSERT_EQ(x, y) << "size " << size << " is no tie any more";
        Encoded e = check_paths_agree(data, "tie " + std::to_string(size));
        EXPECT_EQ(e.flags, uint32_t(size) << 8 | QAR_COMPRESSION_LZO1X);
        EXPECT_EQ(e.stored_size, x);
    }
}

TEST_F(CodecParallel, ShorterLzo1yStreamWinsOnBothPaths) {
    Bytes data = make_record(Content::zeros, 12, 0);
    lzo_uint x = 0, y = 0;
    library_lengths(data, &x, &y);
    ASSERT_LT(y, x);
    Encoded e = check_paths_agree(data, "short zeros");
    EXPECT_EQ(e.flags, 12u << 8 | QAR_COMPRESSION_LZO1Y);
    EXPECT_EQ(e.stored_size, y);
}

TEST_F(CodecParallel, LargestCompressibleRecordKeepsItsSizeInTheFlags) {
    Bytes data(0xFFFFFF);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 / 13);
    Encoded e = check_paths_agree(data, "16 MiB - 1");
    uint32_t method = e.flags & QAR_COMPRESSION_MASK;
    EXPECT_TRUE(method == QAR_COMPRESSION_LZO1X || method == QAR_COMPRESSION_LZO1Y);
    EXPECT_EQ(flags_uncompressed_size(e.flags), 0xFFFFFFu);
}

// Where the codec's worker runs during a test, by moving every thread of the
// process other than this one. late_worker: on this thread's core at idle
// priority, so that it runs only while this thread sleeps and this thread
// takes most jobs back before the worker starts them. preempted_worker: on
// another core shared with a thread that only spins, so that the worker is
// often preempted in the middle of a job and this thread drops it. The
// destructor restores the masks and priorities and stops the spinning thread.
enum class WorkerPlan { late_worker, preempted_worker };

struct WorkerPlacement {
    cpu_set_t saved;
    std::vector<pid_t> others;
    std::atomic<bool> stop{false};
    std::thread hog;
    bool ok = false;

    explicit WorkerPlacement(WorkerPlan plan) {
        if (sched_getaffinity(0, sizeof saved, &saved) != 0) return;
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved)) cpus.push_back(cpu);
        if (plan == WorkerPlan::preempted_worker && cpus.size() < 2) return;
        cpu_set_t mine = one_cpu(cpus[0]);
        cpu_set_t theirs = one_cpu(plan == WorkerPlan::late_worker ? cpus[0] : cpus[1]);
        const pid_t self = pid_t(syscall(SYS_gettid));
        ok = sched_setaffinity(self, sizeof mine, &mine) == 0;
        for (pid_t tid : thread_ids()) {
            if (tid == self) continue;
            others.push_back(tid);
            ok = ok && sched_setaffinity(tid, sizeof theirs, &theirs) == 0;
            sched_param idle = {};
            if (plan == WorkerPlan::late_worker)
                ok = ok && sched_setscheduler(tid, SCHED_IDLE, &idle) == 0;
        }
        if (plan == WorkerPlan::preempted_worker) {
            hog = std::thread([this, theirs] {
                sched_setaffinity(0, sizeof theirs, &theirs);
                while (!stop.load(std::memory_order_relaxed)) {
                }
            });
        }
    }
    ~WorkerPlacement() {
        stop = true;
        if (hog.joinable()) hog.join();
        sched_param normal = {};
        for (pid_t tid : others) sched_setscheduler(tid, SCHED_OTHER, &normal);
        for (pid_t tid : thread_ids()) sched_setaffinity(tid, sizeof saved, &saved);
    }
    static cpu_set_t one_cpu(int cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        return set;
    }
    static std::vector<pid_t> thread_ids() {
        std::vector<pid_t> ids;
        DIR* dir = opendir("/proc/self/task");
        if (dir == nullptr) return ids;
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ids.push_back(pid_t(atoi(e->d_name)));
        closedir(dir);
        return ids;
    }
};

std::vector<Bytes> record_series(size_t count, size_t first_size, size_t step) {
    const Content kinds[] = {Content::text, Content::table, Content::zeros,
                             Content::random, Content::mixed, Content::far_repeats};
    std::vector<Bytes> records;
    for (size_t i = 0; i < count; ++i)
        records.push_back(make_record(kinds[i % 6], first_size + step * i, uint32_t(i)));
    return records;
}

void expect_series_matches_sequential(const std::vector<Bytes>& records,
                                      const std::vector<Encoded>& threaded) {
    ASSERT_EQ(records.size(), threaded.size());
    for (size_t i = 0; i < records.size(); ++i)
        expect_same(encode_with(encode_record_sequential, records[i]), threaded[i],
                    "record " + std::to_string(i) + " of " + std::to_string(records[i].size()));
}

TEST_F(CodecParallel, ManySmallRecordsInARowThroughTheOneWorker) {
    // A tree of small files: hundreds of jobs, one right after the other, so
    // that a job's results are never mixed up with the job before or after.
    std::vector<Bytes> records = record_series(600, 1, 13);
    std::vector<Encoded> threaded;
    for (const Bytes& r : records) threaded.push_back(encode_with(encode_record_threaded, r));
    expect_series_matches_sequential(records, threaded);
}

TEST_F(CodecParallel, LateOrPreemptedWorkerNeverTouchesJobsTakenFromIt) {
    // The caller takes jobs back from a worker that has not started them,
    // drops jobs the worker was preempted in, and takes the sequential path
    // while the worker still finishes a dropped job. The worker must then
    // leave the caller's buffers and work area alone, and its late results
    // must not end up in a later call (the output of each call is checked
    // after all of them are done).
    encode_with(encode_record_threaded, make_record(Content::text, 100, 1));  // worker started
    std::vector<Bytes> records = record_series(40, 2048, 997);
    std::vector<Bytes> small = record_series(300, 16, 5);
    records.insert(records.end(), small.begin(), small.end());
    records.push_back(make_record(Content::text, 200000, 9));  // one the worker writes in place
    for (WorkerPlan plan : {WorkerPlan::late_worker, WorkerPlan::preempted_worker}) {
        std::vector<Encoded> threaded;
        CodecWorkerCounts before = codec_worker_counts();
        {
            WorkerPlacement place(plan);
            if (!place.ok && plan == WorkerPlan::preempted_worker) continue;  // one core only
            ASSERT_TRUE(place.ok) << "could not place the worker";
            // Preemption comes when it comes: a few rounds until a job was
            // dropped and a later call found the worker still busy with it.
            for (int round = 0; round < 10; ++round) {
                threaded.clear();
                for (const Bytes& r : records)
                    threaded.push_back(encode_with(encode_record_threaded, r));
                CodecWorkerCounts now = codec_worker_counts();
                if (plan == WorkerPlan::late_worker ||
                    (now.dropped > before.dropped && now.worker_busy > before.worker_busy))
                    break;
            }
        }
        // Whether a job was taken back or dropped depends on the scheduler,
        // which a loaded machine (or a sanitizer build) can always defeat, so
        // the counts are reported, not required; the bytes are what must hold.
        CodecWorkerCounts after = codec_worker_counts();
        RecordProperty(plan == WorkerPlan::late_worker ? "taken_back" : "dropped",
                       int(plan == WorkerPlan::late_worker ? after.taken_back - before.taken_back
                                                           : after.dropped - before.dropped));
        expect_series_matches_sequential(records, threaded);
    }
    // And the worker still serves jobs afterwards.
    std::vector<Encoded> threaded;
    for (const Bytes& r : small) threaded.push_back(encode_with(encode_record_threaded, r));
    expect_series_matches_sequential(small, threaded);
}

TEST(CodecWorkerExit, ExitWhileTheWorkerWatchesOrSleepsIsClean) {
    // The worker is never joined: the process must end normally (no
    // terminate from a joinable thread, no leak report) both right after a
    // call, while the worker still watches for work, and once it sleeps.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bytes data = make_record(Content::text, 5000, 7);
    for (int sleep_ms : {0, 20}) {
        EXPECT_EXIT(
            {
                ensure_codec_ready();
                encode_with(encode_record_threaded, data);
                if (sleep_ms > 0) usleep(useconds_t(sleep_ms) * 1000);
                exit(0);
            },
            testing::ExitedWithCode(0), "")
            << "after " << sleep_ms << " ms";
    }
}

TEST_F(CodecParallel, RepeatedThreadedCallsKeepGivingTheSameBytes) {
    // A worker that read another call's buffers or work area would show here.
    Bytes a = make_record(Content::text, 50000, 1);
    Bytes b = make_record(Content::far_repeats, 70000, 2);
    Encoded first_a = encode_with(encode_record_threaded, a);
    Encoded first_b = encode_with(encode_record_threaded, b);
    for (int i = 0; i < 5; ++i) {
        expect_same(first_a, encode_with(encode_record_threaded, a), "text again");
        expect_same(first_b, encode_with(encode_record_threaded, b), "far repeats again");
    }
}

}  // namespace
