// Decoded records kept in memory for the mount, bounded in bytes.
//
// A record is decoded whole, by the caller's decoder, the first time a reader
// asks for it, and handed out as shared bytes: a reader that holds them keeps
// them valid after the cache has let them go. Several readers use the cache
// at once. The decoding runs outside the cache's lock, so readers of other
// records are never held up by it; a reader that asks for a record another
// reader is decoding waits for that decoding instead of starting its own, so
// each record is decoded once while it stays cached.
//
// The bound counts the bytes of the records the cache holds. When a newly
// decoded record passes it, the records used longest ago are let go until
// the rest fits; the record just decoded always stays, so one record larger
// than the bound is still served (alone).
//
// A record the decoder finds damaged stays damaged: later readers get the
// same failure without decoding again, and only the first learns that it was
// the first (to report it once). A failure the decoder marks as passing
// (memory ran out) is not kept: the next reader tries again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using RecordBytes = std::shared_ptr<const std::vector<uint8_t>>;

enum DecodeOutcome {
    DECODE_DONE,     // *bytes holds the record
    DECODE_DAMAGED,  // the record cannot be read; *why says why. Kept.
    DECODE_PASSING,  // could not be read this time (memory ran out); not kept
};

// Decodes record number `record` into *bytes (empty when called), or says
// why not in *why. Called on the reader's thread with no lock held; may run
// for different records on several threads at once.
typedef DecodeOutcome (*RecordDecoder)(void* context, size_t record, std::vector<uint8_t>* bytes,
                                       std::string* why);

enum SlotState { SLOT_EMPTY, SLOT_DECODING, SLOT_READY, SLOT_DAMAGED };

struct CacheSlot {
    SlotState state = SLOT_EMPTY;
    RecordBytes bytes;                   // while READY
    std::string why;                     // while DAMAGED
    std::list<size_t>::iterator recent;  // its place in RecordCache::recent while READY
};

struct RecordCache {
    uint64_t capacity = 0;  // bytes
    RecordDecoder decode = nullptr;
    void* decode_context = nullptr;
    // Called with the cache's lock held when a reader finds its record being
    // decoded by another and is about to wait for it (tests use it to know
    // that two readers met). Must not call into the cache. May be null.
    void (*on_wait)(void* context, size_t record) = nullptr;
    void* wait_context = nullptr;

    std::mutex mutex;
    std::condition_variable decoded;  // a slot left SLOT_DECODING
    std::vector<CacheSlot> slots;     // one per record
    std::list<size_t> recent;         // READY records, most recently used first
    uint64_t held = 0;                // bytes of the READY records
    uint64_t decodes = 0;             // decoder calls so far
};

// Prepares an empty cache for records 0 .. records - 1.
void cache_init(RecordCache* cache, size_t records, uint64_t capacity, RecordDecoder decode,
                void* decode_context);

struct CacheRead {
    RecordBytes bytes;        // the record; null when it could not be read
    bool damaged = false;     // null bytes because the record is damaged
    bool first_news = false;  // damaged, and this call is the one that found out
    std::string why;          // the reason when bytes is null
};

// The record's bytes, decoded now or earlier. Never throws: running out of
// memory is a passing failure with its reason.
CacheRead cache_read(RecordCache* cache, size_t record);
