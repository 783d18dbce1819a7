#include "record_cache.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <system_error>
#include <utility>

namespace {

// Lets go of the record at `at` in `recent`; the next place in it. Lock held.
std::list<size_t>::iterator let_go(RecordCache* cache, std::list<size_t>::iterator at) {
    CacheSlot& slot = cache->slots[*at];
    cache->held -= slot.bytes->size();
    slot.bytes.reset();
    slot.state = SLOT_EMPTY;
    slot.unread = false;
    return cache->recent.erase(at);
}

// After a reader's decoding: lets go of the records used longest ago until
// the rest fits the bound; the record `keep` stays whatever its size. Lock
// held.
void evict_past_capacity(RecordCache* cache, size_t keep) {
    while (cache->held > cache->capacity && !cache->recent.empty() &&
           cache->recent.back() != keep)
        let_go(cache, std::prev(cache->recent.end()));
}

// For decoding ahead: lets go of records used longest ago, sparing `keep`,
// open records and unread ones decoded ahead, until `more` bytes fit the
// bound beside the held and reserved ones. Whether they fit. Lock held.
bool make_room_ahead(RecordCache* cache, uint64_t more, size_t keep) {
    if (more > cache->capacity || cache->reserved > cache->capacity - more) return false;
    const uint64_t room = cache->capacity - cache->reserved - more;
    auto at = cache->recent.end();
    while (cache->held > room && at != cache->recent.begin()) {
        --at;
        const CacheSlot& slot = cache->slots[*at];
        if (*at != keep && slot.opens == 0 && !slot.unread) at = let_go(cache, at);
    }
    return cache->held <= room;
}

struct Decoded {
    DecodeOutcome outcome = DECODE_PASSING;
    RecordBytes bytes;       // DONE
    std::list<size_t> node;  // DONE: the record's place in `recent`, made outside the lock
    std::string why;         // DAMAGED or PASSING
};

// Runs the decoder, outside the lock. With reader_why, a reason is copied
// there too.
Decoded run_decoder(RecordCache* cache, size_t record, std::string* reader_why) {
    Decoded d;
    try {
        std::vector<uint8_t> bytes;
        d.outcome = cache->decode(cache->decode_context, record, &bytes, &d.why);
        if (d.outcome == DECODE_DONE) {
            d.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
            d.node.push_back(record);
        } else if (reader_why) {
            *reader_why = d.why;
        }
    } catch (const std::bad_alloc&) {
        d.outcome = DECODE_PASSING;
        d.bytes.reset();
        d.why.clear();
    }
    // Short enough to need no allocation.
    const char* plain = d.outcome == DECODE_DAMAGED ? "damaged" : "out of memory";
    if (d.outcome != DECODE_DONE && d.why.empty()) d.why = plain;
    if (d.outcome != DECODE_DONE && reader_why && reader_why->empty()) *reader_why = plain;
    return d;
}

// Puts a decoding's outcome into the record's slot and wakes the readers
// waiting for it. A record decoded ahead that no reader waited for is let go
// again when readers took its room meanwhile. Lock held.
void settle(RecordCache* cache, size_t record, Decoded* d, bool ahead) {
    CacheSlot& slot = cache->slots[record];
    switch (d->outcome) {
    case DECODE_DONE:
        slot.state = SLOT_READY;
        slot.bytes = d->bytes;
        slot.unread = ahead && !slot.awaited;
        cache->recent.splice(cache->recent.begin(), d->node);
        slot.recent = cache->recent.begin();
        cache->held += d->bytes->size();
        if (!slot.unread)
            evict_past_capacity(cache, record);
        else if (!make_room_ahead(cache, 0, record))
            let_go(cache, slot.recent);
        break;
    case DECODE_DAMAGED:
        slot.state = SLOT_DAMAGED;
        slot.why = std::move(d->why);
        break;
    case DECODE_PASSING:
        slot.state = SLOT_EMPTY;
        break;
    }
    slot.awaited = false;
    cache->decoded.notify_all();
}

// A worker: takes the queued records oldest first and decodes those that
// are neither cached nor being decoded and fit the bound.
void decode_ahead(RecordCache* cache) {
    std::unique_lock<std::mutex> lock(cache->mutex);
    for (;;) {
        cache->work.wait(lock, [cache] { return cache->stopping || !cache->ahead.empty(); });
        if (cache->stopping) return;
        const size_t record = cache->ahead.front();
        cache->ahead.erase(cache->ahead.begin());
        CacheSlot& slot = cache->slots[record];
        const uint64_t size = cache->size_of(cache->decode_context, record);
        if (slot.state != SLOT_EMPTY || !make_room_ahead(cache, size, record)) {
            cache->decoded.notify_all();  // for whoever waits for the workers to be idle
            continue;
        }
        slot.state = SLOT_DECODING;
        cache->decodes += 1;
        cache->reserved += size;
        cache->busy += 1;
        lock.unlock();
        Decoded d = run_decoder(cache, record, nullptr);
        lock.lock();
        cache->reserved -= size;
        cache->busy -= 1;
        settle(cache, record, &d, true);
    }
}

}  // namespace

void cache_init(RecordCache* cache, size_t records, uint64_t capacity, RecordDecoder decode,
                void* decode_context) {
    cache->capacity = capacity;
    cache->decode = decode;
    cache->decode_context = decode_context;
    cache->slots.assign(records, CacheSlot());
    cache->recent.clear();
    cache->held = 0;
    cache->decodes = 0;
}

CacheRead cache_read(RecordCache* cache, size_t record) {
    CacheRead result;
    std::unique_lock<std::mutex> lock(cache->mutex);
    if (record >= cache->slots.size()) {
        result.why = "no such record";
        return result;
    }
    CacheSlot& slot = cache->slots[record];
    for (;;) {
        if (slot.state == SLOT_READY) {
            cache->recent.splice(cache->recent.begin(), cache->recent, slot.recent);
            slot.unread = false;
            result.bytes = slot.bytes;
            return result;
        }
        if (slot.state == SLOT_DAMAGED) {
            result.first_news = !slot.reported;
            slot.reported = true;
            lock.unlock();
            // The reason never changes once the slot is damaged.
            result.damaged = true;
            result.why = slot.why;
            return result;
        }
        if (slot.state == SLOT_EMPTY) break;
        slot.awaited = true;
        cache->decoded.wait(lock);
    }
    // Whatever the decoder does, the slot leaves SLOT_DECODING in settle, or
    // the readers waiting for it would wait for ever.
    slot.state = SLOT_DECODING;
    cache->decodes += 1;
    lock.unlock();
    Decoded d = run_decoder(cache, record, &result.why);
    lock.lock();
    if (d.outcome == DECODE_DONE) result.bytes = d.bytes;
    if (d.outcome == DECODE_DAMAGED) {
        result.damaged = true;
        result.first_news = true;
        slot.reported = true;
    }
    settle(cache, record, &d, false);
    return result;
}

void cache_start_ahead(RecordCache* cache, unsigned workers, size_t depth, RecordSize size_of) {
    cache->size_of = size_of;
    cache->stopping = false;
    try {
        cache->ahead.reserve(2 * depth);
        cache->workers.reserve(workers);
    } catch (const std::bad_alloc&) {
        return;  // no decoding ahead: the readers decode as without workers
    }
    for (unsigned i = 0; i < workers; ++i) {
        try {
            cache->workers.emplace_back(decode_ahead, cache);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (cache->workers.empty()) return;
    std::lock_guard<std::mutex> lock(cache->mutex);
    cache->depth = depth;
}

void cache_opened(RecordCache* cache, size_t record) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    if (record >= cache->slots.size()) return;
    cache->slots[record].opens += 1;
    // The queue's room was reserved when the workers started: nothing is
    // allocated here.
    for (size_t next = record + 1; next - record <= cache->depth && next < cache->slots.size();
         ++next) {
        if (cache->slots[next].state != SLOT_EMPTY ||
            std::find(cache->ahead.begin(), cache->ahead.end(), next) != cache->ahead.end())
            continue;
        if (cache->ahead.size() == 2 * cache->depth) cache->ahead.erase(cache->ahead.begin());
        cache->ahead.push_back(next);
        cache->work.notify_one();
    }
}

void cache_closed(RecordCache* cache, size_t record) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    if (record < cache->slots.size() && cache->slots[record].opens > 0)
        cache->slots[record].opens -= 1;
}

void cache_stop_ahead(RecordCache* cache) {
    {
        std::lock_guard<std::mutex> lock(cache->mutex);
        cache->stopping = true;
        cache->depth = 0;
        cache->ahead.clear();
    }
    cache->work.notify_all();
    for (std::thread& worker : cache->workers) worker.join();
    cache->workers.clear();
}
