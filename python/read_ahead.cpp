#include "read_ahead.h"

#include <new>
#include <system_error>
#include <utility>

namespace {

size_t chunk_end(const AheadChunk& chunk) { return chunk.first + chunk.held.size(); }

// Decodes the chunk's records, outside the lock. A record that cannot be
// decoded, or a chunk whose room cannot be had, is left for the reader.
void decode_chunk(const AheadSource& source, AheadChunk* chunk) {
    try {
        chunk->data.resize(chunk->offsets.back());
    } catch (const std::bad_alloc&) {
        chunk->held.assign(chunk->held.size(), 0);
        return;
    }
    for (size_t i = 0; i < chunk->held.size(); ++i) {
        if (!chunk->held[i]) continue;
        const uint64_t size = chunk->offsets[i + 1] - chunk->offsets[i];
        chunk->held[i] = source.decode(source.context, chunk->first + i,
                                       chunk->data.data() + chunk->offsets[i], size_t(size));
    }
}

// Claims a queued chunk, decodes it outside the lock and wakes the readers
// waiting for it. The lock is held on entry and on return.
void decode_claimed(ReadAhead* ahead, AheadChunk* chunk, std::unique_lock<std::mutex>* lock) {
    chunk->state = CHUNK_DECODING;
    lock->unlock();
    decode_chunk(ahead->source, chunk);
    lock->lock();
    chunk->state = CHUNK_READY;
    ahead->ready.notify_all();
}

// A worker: decodes the oldest queued chunk of the window, then the next.
void decode_ahead(ReadAhead* ahead) {
    std::unique_lock<std::mutex> lock(ahead->mutex);
    for (;;) {
        std::shared_ptr<AheadChunk> chunk;
        ahead->work.wait(lock, [&] {
            if (ahead->stopping) return true;
            for (const std::shared_ptr<AheadChunk>& c : ahead->window)
                if (c->state == CHUNK_QUEUED) {
                    chunk = c;
                    return true;
                }
            return false;
        });
        if (ahead->stopping) return;
        decode_claimed(ahead, chunk.get(), &lock);
    }
}

// Starts the workers when none runs. Lock held.
void start_workers(ReadAhead* ahead) {
    if (!ahead->workers.empty() || ahead->stopping) return;
    for (unsigned i = 0; i < ahead->worker_count; ++i) {
        try {
            ahead->workers.emplace_back(decode_ahead, ahead);
        } catch (const std::system_error&) {
            break;  // fewer workers; with none the reader decodes the chunks itself
        }
    }
}

// A new chunk from the window's end, or null when the records there are
// not to be decoded ahead or are all read. Lock held.
std::shared_ptr<AheadChunk> next_chunk(ReadAhead* ahead, size_t records) {
    auto chunk = std::make_shared<AheadChunk>();
    chunk->first = ahead->window_end;
    chunk->offsets.push_back(0);
    bool any = false;
    for (size_t position = chunk->first; position < records; ++position) {
        if (chunk->held.size() == AHEAD_CHUNK_RECORDS ||
            chunk->offsets.back() >= AHEAD_CHUNK_BYTES)
            break;
        uint64_t size = 0;
        const bool wanted = ahead->source.wanted(ahead->source.context, position, &size) &&
                            size <= AHEAD_RECORD_BYTES;
        any = any || wanted;
        chunk->held.push_back(wanted);
        chunk->offsets.push_back(chunk->offsets.back() + (wanted ? size : 0));
    }
    if (chunk->held.empty()) return nullptr;
    ahead->window_end = chunk_end(*chunk);
    // A run of records none of which is wanted still goes into the window
    // (nothing to decode), so that the window moves past it.
    if (!any) chunk->state = CHUNK_READY;
    return chunk;
}

// Fills the window up to its number of chunks and wakes the workers. Lock
// held.
void top_up(ReadAhead* ahead, size_t records) {
    const size_t chunks = AHEAD_CHUNKS_PER_WORKER * (ahead->worker_count ? ahead->worker_count : 1);
    bool queued = false;
    while (ahead->window.size() < chunks) {
        std::shared_ptr<AheadChunk> chunk = next_chunk(ahead, records);
        if (!chunk) break;
        queued = queued || chunk->state == CHUNK_QUEUED;
        ahead->window.push_back(std::move(chunk));
    }
    if (!queued) return;
    start_workers(ahead);
    ahead->work.notify_all();
}

}  // namespace

AheadBytes ahead_take(ReadAhead* ahead, size_t position, size_t records, bool may_wait) {
    AheadBytes out;
    try {
        std::unique_lock<std::mutex> lock(ahead->mutex);
        std::shared_ptr<AheadChunk> chunk;
        for (const std::shared_ptr<AheadChunk>& c : ahead->window)
            if (c->first <= position && position < chunk_end(*c)) chunk = c;
        if (!may_wait && (!chunk || chunk->state != CHUNK_READY)) return out;
        const size_t last = ahead->last;
        ahead->last = position;
        const bool in_order =
            last != SIZE_MAX && position > last && position - last <= AHEAD_CHUNK_RECORDS;
        // The chunks the reader has passed go; those under way finish first
        // (their workers hold them).
        if (in_order)
            while (!ahead->window.empty() && chunk_end(*ahead->window.front()) <= position)
                ahead->window.pop_front();
        if (!chunk) {
            // Outside the window: the reader reads it; in order, the window
            // starts again after it.
            if (in_order) {
                ahead->window.clear();
                ahead->window_end = position + 1;
                top_up(ahead, records);
            }
            return out;
        }
        if (chunk->state == CHUNK_QUEUED) decode_claimed(ahead, chunk.get(), &lock);
        ahead->ready.wait(lock, [&] { return chunk->state == CHUNK_READY; });
        if (in_order) top_up(ahead, records);
        const size_t i = position - chunk->first;
        if (!chunk->held[i]) return out;
        out.data = chunk->data.data() + chunk->offsets[i];
        out.size = size_t(chunk->offsets[i + 1] - chunk->offsets[i]);
        out.chunk = std::move(chunk);
    } catch (const std::bad_alloc&) {
        out = AheadBytes();
    }
    return out;
}

ReadAhead::~ReadAhead() { ahead_stop(this); }

void ahead_stop(ReadAhead* ahead) {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(ahead->mutex);
        ahead->stopping = true;
        ahead->window.clear();
        ahead->last = SIZE_MAX;
        workers.swap(ahead->workers);
    }
    ahead->work.notify_all();
    for (std::thread& worker : workers) worker.join();
    std::lock_guard<std::mutex> lock(ahead->mutex);
    ahead->stopping = false;
}
