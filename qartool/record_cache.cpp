#include "record_cache.h"

#include <new>
#include <utility>

namespace {

// Lets go of the records used longest ago until the rest fits the bound; the
// record `keep` stays whatever its size. Called with the lock held.
void evict_past_capacity(RecordCache* cache, size_t keep) {
    while (cache->held > cache->capacity && !cache->recent.empty() &&
           cache->recent.back() != keep) {
        CacheSlot& slot = cache->slots[cache->recent.back()];
        cache->held -= slot.bytes->size();
        slot.bytes.reset();
        slot.state = SLOT_EMPTY;
        cache->recent.pop_back();
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
    bool waited = false;
    for (;;) {
        if (slot.state == SLOT_READY) {
            cache->recent.splice(cache->recent.begin(), cache->recent, slot.recent);
            result.bytes = slot.bytes;
            return result;
        }
        if (slot.state == SLOT_DAMAGED) {
            lock.unlock();
            // The reason never changes once the slot is damaged.
            result.damaged = true;
            result.why = slot.why;
            return result;
        }
        if (slot.state == SLOT_EMPTY) break;
        if (!waited && cache->on_wait) cache->on_wait(cache->wait_context, record);
        waited = true;
        cache->decoded.wait(lock);
    }
    slot.state = SLOT_DECODING;
    cache->decodes += 1;
    lock.unlock();

    // Whatever happens here, the slot leaves SLOT_DECODING below, or the
    // readers waiting for it would wait for ever.
    DecodeOutcome outcome = DECODE_PASSING;
    std::string why;
    RecordBytes shared;
    std::list<size_t> node;  // made here so that nothing is allocated under the lock
    try {
        std::vector<uint8_t> bytes;
        outcome = cache->decode(cache->decode_context, record, &bytes, &why);
        if (outcome == DECODE_DONE) {
            shared = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
            node.push_back(record);
        } else {
            result.why = why;
        }
    } catch (const std::bad_alloc&) {
        outcome = DECODE_PASSING;
        shared.reset();
        why.clear();
    }
    if (outcome == DECODE_PASSING && result.why.empty()) result.why = "out of memory";
    if (outcome == DECODE_DAMAGED && result.why.empty()) result.why = "damaged";

    lock.lock();
    switch (outcome) {
    case DECODE_DONE:
        slot.state = SLOT_READY;
        slot.bytes = shared;
        cache->recent.splice(cache->recent.begin(), node);
        slot.recent = cache->recent.begin();
        cache->held += shared->size();
        evict_past_capacity(cache, record);
        result.bytes = std::move(shared);
        break;
    case DECODE_DAMAGED:
        slot.state = SLOT_DAMAGED;
        slot.why = std::move(why);
        result.damaged = true;
        result.first_news = true;
        break;
    case DECODE_PASSING:
        slot.state = SLOT_EMPTY;
        break;
    }
    cache->decoded.notify_all();
    return result;
}
