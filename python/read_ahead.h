// Decoding ahead for a reader that goes through an archive's records in
// order of position, as a loop over the listing that reads every record does.
//
// The reader asks for each record through ahead_take. Once a read follows the
// one before it in order, worker threads decode the records after it in runs
// of consecutive positions ("chunks"), and the reader copies each record out
// of the chunk that holds it instead of decoding it; a chunk goes once the
// reader has passed it. One lock guards everything; the reader takes it once
// per record and waits only when it has caught up with the workers, so the
// cost per record stays well below a small record's decoding.
//
// Only small records are decoded ahead: those the source wants (not deleted)
// of at most AHEAD_RECORD_BYTES. For them the reader's own cost per call is
// near the decoding's, and a window of them holds little memory (at most
// AHEAD_CHUNKS_PER_WORKER chunks per worker of about AHEAD_CHUNK_BYTES each).
// A larger record, a record the decoder could not decode, and a read out of
// order get nothing from ahead_take: the caller reads them itself (and so
// reports any failure itself). Threads that read large records in parallel
// still each use a core of their own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

constexpr uint64_t AHEAD_RECORD_BYTES = 64 * 1024;
constexpr uint64_t AHEAD_CHUNK_BYTES = 256 * 1024;  // a chunk ends once it holds this much
constexpr size_t AHEAD_CHUNK_RECORDS = 64;          // or this many records
constexpr size_t AHEAD_CHUNKS_PER_WORKER = 4;
// A reader copies records out several times faster than one worker decodes
// them, so more workers than this add only memory held in the window.
constexpr unsigned AHEAD_MOST_WORKERS = 4;

// The records, as the caller reaches them. Both functions may run on any
// thread, without the caller's locks; the caller stops the workers
// (ahead_stop) before anything they use changes.
struct AheadSource {
    void* context = nullptr;
    // Whether the record at `position` may be decoded ahead, and then its
    // listed size in *size.
    bool (*wanted)(void* context, size_t position, uint64_t* size) = nullptr;
    // Decodes the record into exactly `size` bytes at `out`; false when it
    // cannot (the caller's own read of it then says why).
    bool (*decode)(void* context, size_t position, uint8_t* out, size_t size) = nullptr;
};

enum ChunkState { CHUNK_QUEUED, CHUNK_DECODING, CHUNK_READY };

// Consecutive records first .. first + held.size() - 1, decoded together.
struct AheadChunk {
    size_t first = 0;
    ChunkState state = CHUNK_QUEUED;
    std::vector<uint8_t> held;      // 1 while the record's bytes are (to be) in data
    std::vector<uint64_t> offsets;  // record i is data[offsets[i] .. offsets[i + 1])
    std::vector<uint8_t> data;      // READY: the decoded records, one after the other
};

struct ReadAhead {
    AheadSource source;
    unsigned worker_count = 0;  // threads to start at the first read in order (none with 0),
                                // at most AHEAD_MOST_WORKERS

    std::mutex mutex;
    std::condition_variable work;   // a chunk was queued, or the workers are to stop
    std::condition_variable ready;  // a chunk was decoded
    std::deque<std::shared_ptr<AheadChunk>> window;  // consecutive chunks, in order
    size_t window_end = 0;                           // the position after the window
    // The position asked for last (SIZE_MAX: none yet). Written under the
    // mutex; a caller may read it without, as a hint of where the next read
    // in order lies (ahead_next).
    std::atomic<size_t> last{SIZE_MAX};
    std::vector<std::thread> workers;
    bool stopping = false;

    ReadAhead() = default;
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead();  // stops the workers
};

// One record as ahead_take hands it over: bytes inside a decoded chunk that
// stay valid while `chunk` is held. A null chunk means: read it yourself.
struct AheadBytes {
    std::shared_ptr<const AheadChunk> chunk;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// The record at `position` of `records`, decoded ahead; or nothing. Queues
// the records after it when the read is in order (after the one before, at
// most AHEAD_CHUNK_RECORDS further on), starting the workers the first time.
// With may_wait, waits for a chunk under way that holds the record, and
// decodes a queued one that holds it itself; without, it takes the record
// only from a decoded chunk and otherwise returns at once, changing nothing
// (for a caller that must not block). Never throws: when memory runs out the
// record is simply not decoded ahead.
AheadBytes ahead_take(ReadAhead* ahead, size_t position, size_t records, bool may_wait);

// The position after the one asked for last (0 when none was): where a
// reader going in order reads next. Takes no lock.
inline size_t ahead_next(const ReadAhead* ahead) {
    return ahead->last.load(std::memory_order_relaxed) + 1;
}

// Drops the window, lets the decodings under way finish and joins the
// workers; the next read in order starts them again. Readers may go on at the
// same time (they read without workers meanwhile). Call before what the
// source uses changes.
void ahead_stop(ReadAhead* ahead);
