// Decoded records kept in memory for the mount, bounded in bytes.
//
// A record is decoded whole, by the caller's decoder, the first time a reader
// asks for it, and handed out as shared bytes: a reader that holds them keeps
// them valid after the cache has let them go. Several readers use the cache
// at once. The decoding runs outside the cache's lock, so readers of other
// records are never held up by it; a reader that asks for a record another
// thread is decoding waits for that decoding instead of starting its own, so
// each record is decoded once while it stays cached.
//
// The bound counts the bytes of the records the cache holds. When a newly
// decoded record passes it, the records used longest ago are let go until
// the rest fits; the record just decoded always stays, so one record larger
// than the bound is still served (alone).
//
// Decoding ahead (cache_start_ahead): worker threads decode the records
// after one a reader opened, so that a reader going through the records in
// order finds them decoded. A reader never waits for them, except for the
// decoding of its own record when a worker has already begun it. A record is
// decoded ahead only when its listed size fits the bound beside the records
// held and those being decoded ahead; to make room, only records that are
// neither open nor decoded ahead and still unread are let go. So decoding
// ahead never passes the bound; a reader's own decoding may, as above.
//
// A record the decoder finds damaged stays damaged: later readers get the
// same failure without decoding again, and only the first reader learns that
// it was the first (to report it once), also when the damage was found ahead.
// A failure the decoder marks as passing (memory ran out) is not kept: the
// next reader tries again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using RecordBytes = std::shared_ptr<const std::vector<uint8_t>>;

enum DecodeOutcome {
    DECODE_DONE,     // *bytes holds the record
    DECODE_DAMAGED,  // the record cannot be read; *why says why. Kept.
    DECODE_PASSING,  // could not be read this time (memory ran out); not kept
};

// Decodes record number `record` into *bytes (empty when called), or says
// why not in *why. Called on a reader's thread or a worker with no lock of
// the cache held; may run for different records on several threads at once.
typedef DecodeOutcome (*RecordDecoder)(void* context, size_t record, std::vector<uint8_t>* bytes,
                                       std::string* why);

// The decoded size of record number `record`, as listed (decoding ahead
// counts it against the bound before decoding). Same context as the decoder;
// called with the cache's lock held, so it must not call into the cache.
typedef uint64_t (*RecordSize)(void* context, size_t record);

enum SlotState { SLOT_EMPTY, SLOT_DECODING, SLOT_READY, SLOT_DAMAGED };

struct CacheSlot {
    SlotState state = SLOT_EMPTY;
    RecordBytes bytes;                   // while READY
    std::string why;                     // while DAMAGED
    bool reported = false;               // DAMAGED, and a reader has been told
    bool unread = false;                 // READY, decoded ahead, not read yet
    bool awaited = false;                // DECODING, and a reader waits for it
    unsigned opens = 0;                  // files open on the record (cache_opened)
    std::list<size_t>::iterator recent;  // its place in RecordCache::recent while READY
};

struct RecordCache {
    uint64_t capacity = 0;  // bytes
    RecordDecoder decode = nullptr;
    void* decode_context = nullptr;

    std::mutex mutex;
    std::condition_variable decoded;  // a slot left SLOT_DECODING, or a worker is done with one
    std::vector<CacheSlot> slots;     // one per record
    std::list<size_t> recent;         // READY records, most recently used first
    uint64_t held = 0;                // bytes of the READY records
    uint64_t decodes = 0;             // decoder calls so far

    // Decoding ahead; nothing queued and no worker until cache_start_ahead.
    RecordSize size_of = nullptr;
    std::vector<std::thread> workers;  // changed only by cache_start_ahead and cache_stop_ahead
    std::condition_variable work;      // a record was queued, or the workers are to stop
    size_t depth = 0;                  // records queued per opening
    std::vector<size_t> ahead;         // queued records, oldest first; at most 2 * depth
    size_t busy = 0;                   // workers between taking a record and being done with it
    uint64_t reserved = 0;             // listed bytes of the records being decoded ahead
    bool stopping = false;
};

// Prepares an empty cache for records 0 .. records - 1.
void cache_init(RecordCache* cache, size_t records, uint64_t capacity, RecordDecoder decode,
                void* decode_context);

struct CacheRead {
    RecordBytes bytes;        // the record; null when it could not be read
    bool damaged = false;     // null bytes because the record is damaged
    bool first_news = false;  // damaged, and this call is the first to be told
    std::string why;          // the reason when bytes is null
};

// The record's bytes, decoded now or earlier. Never throws: running out of
// memory is a passing failure with its reason.
CacheRead cache_read(RecordCache* cache, size_t record);

// Starts up to `workers` threads that decode ahead (fewer when the system
// refuses a thread; none with 0), `depth` records after each one opened.
// size_of gives the listed sizes and takes the decoder's context. Call
// cache_stop_ahead before the cache goes.
void cache_start_ahead(RecordCache* cache, unsigned workers, size_t depth, RecordSize size_of);

// A file was opened on the record, or closed. While a file is open the
// record is not let go to make room for decoding ahead. Opening also queues
// the next `depth` records to be decoded ahead; the queue holds twice that,
// and when it is full the oldest wishes go. Neither waits for a decoding.
void cache_opened(RecordCache* cache, size_t record);
void cache_closed(RecordCache* cache, size_t record);

// Drops the queued records, lets the decodings under way finish and joins
// the workers. Harmless when none runs.
void cache_stop_ahead(RecordCache* cache);

// Stops the cache's workers when it goes out of scope.
struct AheadWorkers {
    RecordCache* cache;
    ~AheadWorkers() { cache_stop_ahead(cache); }
};
