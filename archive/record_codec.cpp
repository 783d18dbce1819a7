#include "record_codec.h"

#include <lzo1x.h>
#include <lzo1y.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "archive_format.h"
#include "archive_handle.h"
#include "platform.h"

namespace {

bool g_codec_ready = false;

// CRC-32 table of the polynomial 0x04C11DB7, most significant bit first.
struct CrcTable {
    uint32_t value[256];
};

constexpr CrcTable make_crc_table() {
    CrcTable table = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        table.value[i] = reg;
    }
    return table;
}

constexpr CrcTable CRC_TABLE = make_crc_table();

const char* lzo_result_text(int code) {
    switch (code) {
    case LZO_E_ERROR: return "error";
    case LZO_E_OUT_OF_MEMORY: return "out of memory";
    case LZO_E_NOT_COMPRESSIBLE: return "not compressible";
    case LZO_E_INPUT_OVERRUN: return "input overrun";
    case LZO_E_OUTPUT_OVERRUN: return "output overrun";
    case LZO_E_LOOKBEHIND_OVERRUN: return "lookbehind overrun";
    case LZO_E_EOF_NOT_FOUND: return "end of stream not found";
    case LZO_E_INPUT_NOT_CONSUMED: return "input not consumed";
    case LZO_E_NOT_YET_IMPLEMENTED: return "not implemented";
    case LZO_E_INVALID_ARGUMENT: return "invalid argument";
    case LZO_E_INVALID_ALIGNMENT: return "invalid alignment";
    case LZO_E_OUTPUT_NOT_CONSUMED: return "output not consumed";
    case LZO_E_INTERNAL_ERROR: return "internal error";
    default: return "unknown error";
    }
}

void set_codec_error(int code) {
    set_last_error("Error %d during compression library operation: %s", code,
                   lzo_result_text(code));
}

// 1 for the library's success; otherwise the codec message, and 0.
int library_ok(int result) {
    if (result == LZO_E_OK) return 1;
    set_codec_error(result);
    return 0;
}

}  // namespace

static_assert(CODEC_WORK_AREA_SIZE == LZO1X_999_MEM_COMPRESS, "LZO1X-999 work area");
static_assert(CODEC_WORK_AREA_SIZE == LZO1Y_999_MEM_COMPRESS, "LZO1Y-999 work area");

uint32_t key_from_password(const char* password) {
    uint32_t reg = 0xFFFFFFFFu;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(password); *p != 0; ++p)
        reg = (reg << 8) ^ CRC_TABLE.value[(reg >> 24) ^ *p];
    return ~reg;
}

void mask_with_key(uint8_t* data, uint32_t size, uint32_t key) {
    uint8_t key_bytes[4];
    put_u32_le(key_bytes, key);
    uint32_t whole = size - size % 4;
    for (uint32_t i = 0; i < whole; ++i) data[i] ^= key_bytes[i % 4];
}

int ensure_codec_ready() {
    if (g_codec_ready) return 1;
    g_codec_ready = library_ok(lzo_init()) != 0;
    return g_codec_ready ? 1 : 0;
}

uint32_t compressed_bound(uint32_t size) { return size + size / 64 + 19; }

namespace {

// The library call alone: writes no message, so that a worker thread can run it.
int run_compressor(uint32_t method, const uint8_t* data, uint32_t size, uint8_t* out,
                   lzo_uint* length, void* work_area) {
    *length = compressed_bound(size);
    return method == QAR_COMPRESSION_LZO1X
               ? lzo1x_999_compress(data, size, out, length, work_area)
               : lzo1y_999_compress(data, size, out, length, work_area);
}

}  // namespace

int compress_with_method(uint32_t method, const uint8_t* data, uint32_t size, uint8_t* out,
                         uint32_t* out_size, void* work_area) {
    lzo_uint length = 0;
    if (!library_ok(run_compressor(method, data, size, out, &length, work_area))) return 0;
    *out_size = uint32_t(length);
    return 1;
}

int optimize_stream(uint32_t method, uint8_t* stream, uint32_t stream_size, uint8_t* scratch,
                    uint32_t size) {
    lzo_uint scratch_size = size;
    return library_ok(method == QAR_COMPRESSION_LZO1X
                          ? lzo1x_optimize(stream, stream_size, scratch, &scratch_size, nullptr)
                          : lzo1y_optimize(stream, stream_size, scratch, &scratch_size, nullptr));
}

namespace {

// A process pinned to one core (taskset -c 0) takes the one-after-the-other
// path.
bool worth_a_thread(uint32_t size) {
    static const bool several_cores = plat_usable_cores() >= 2;
    return several_cores && size >= CODEC_PARALLEL_MIN_SIZE;
}

// The LZO1Y compression is handed to one worker thread that lives as long as
// the process: started on the first threaded call and then reused, because
// starting a thread costs more than compressing a small record.
//
// A job moves through the states of JobState. The caller fills the job's
// fields while it is idle and posts it; whoever then moves it out of posted
// first runs it: the worker (to running, then done), or the calling thread
// (back to idle) once its LZO1X run is done and the worker has not picked the
// job up yet (on a busy machine). Only a successful move from posted lets the
// worker read the job, so a job taken back is never touched by the worker.
//
// A record of up to WORKER_COPY_LIMIT bytes is copied into the worker's own
// input buffer and compressed into its own output buffer. Such a job may also
// be dropped while it runs: when the worker lags well behind LZO1X (it lost
// its core to other work), the caller runs LZO1Y itself rather than wait for
// a core. The worker finishes the dropped job on its own buffers and only
// then sets the state back to idle; until then later calls take the
// one-after-the-other path. A larger record is read and written in place by
// the worker, so its caller always waits for the worker to finish.
//
// So the threaded path never waits long for a core that the sequential path
// would not need. The worker never touches the last error text, which is
// process-wide: it leaves the library's result code for the caller.
//
// Neither side sleeps at once: the worker watches for the next job for a
// while after each one (records of a tree of small files come a few tens of
// microseconds apart), and the caller watches for the result before it
// blocks. Waking a sleeping thread costs a system call on each side.
//
// The worker state is allocated once and never freed, and the thread is
// detached: it may be blocked in its wait when the process exits, and a
// static object holding a joinable thread would end the process from its
// destructor. The state stays reachable from a static pointer.
enum JobState : int { job_idle, job_posted, job_running, job_done, job_dropped };

constexpr uint32_t WORKER_COPY_LIMIT = 65536;

struct CodecWorker {
    std::atomic<int> state{job_idle};
    // The job: written by the caller while idle, read by the worker only after
    // it moved the job from posted to running.
    const uint8_t* data = nullptr;  // the input; copy_in when copied
    uint32_t size = 0;
    uint8_t* out = nullptr;  // the output; copy_out when copied
    bool copied = false;
    // The results: written by the worker before done, read by the caller after.
    lzo_uint length = 0;
    int result = LZO_E_ERROR;
    // Sleeping on either side, under lock.
    std::mutex lock;
    std::condition_variable job_posted_signal;
    std::condition_variable job_done_signal;
    bool worker_asleep = false;
    bool caller_asleep = false;
    // The core each thread last ran on, a hint for watch_for.
    std::atomic<int> worker_cpu{-1};
    std::atomic<int> caller_cpu{-1};
    uint8_t copy_in[WORKER_COPY_LIMIT];
    uint8_t copy_out[WORKER_COPY_LIMIT + WORKER_COPY_LIMIT / 64 + 19];
    // The worker's own work area: the first 16-byte boundary inside the block.
    uint8_t work_block[CODEC_WORK_AREA_SIZE + 16];
};

// How long each side watches for the other before it sleeps.
constexpr auto WORKER_WATCH_TIME = std::chrono::microseconds(200);
constexpr auto CALLER_WATCH_TIME = std::chrono::microseconds(50);

CodecWorkerCounts g_counts = {};

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Watches state until it holds want or the time is up; true when it does.
// A watcher on the same core as the other thread (other_cpu, as that thread
// last saw it) offers the core every few microseconds, so as not to hold up
// the thread it waits for; on a core of its own it keeps it, so that other
// work does not take it in the meantime.
bool watch_for(const std::atomic<int>& state, int want, std::chrono::nanoseconds time,
               const std::atomic<int>& other_cpu) {
    auto until = std::chrono::steady_clock::now() + time;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (state.load(std::memory_order_acquire) == want) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        if (plat_current_core() == other_cpu.load(std::memory_order_relaxed))
            std::this_thread::yield();
    }
}

void wait_for_job(CodecWorker& w) {
    w.worker_cpu.store(plat_current_core(), std::memory_order_relaxed);
    if (watch_for(w.state, job_posted, WORKER_WATCH_TIME, w.caller_cpu)) return;
    std::unique_lock<std::mutex> hold(w.lock);
    w.worker_asleep = true;
    w.job_posted_signal.wait(hold, [&] { return w.state.load() == job_posted; });
    w.worker_asleep = false;
}

void run_worker(CodecWorker* w) {
    uintptr_t start = reinterpret_cast<uintptr_t>(w->work_block);
    void* work_area = w->work_block + ((16 - start % 16) % 16);
    for (;;) {
        wait_for_job(*w);
        int expected = job_posted;
        // Lost to the caller, which took the job back: look for the next one.
        if (!w->state.compare_exchange_strong(expected, job_running)) continue;
        w->worker_cpu.store(plat_current_core(), std::memory_order_relaxed);
        w->result = run_compressor(QAR_COMPRESSION_LZO1Y, w->data, w->size, w->out, &w->length,
                                   work_area);
        expected = job_running;
        if (!w->state.compare_exchange_strong(expected, job_done)) {
            // Dropped by the caller, which has moved on: the buffers were this
            // thread's own, and now the next job may come.
            w->state.store(job_idle, std::memory_order_release);
            continue;
        }
        std::lock_guard<std::mutex> hold(w->lock);
        if (w->caller_asleep) w->job_done_signal.notify_one();
    }
}

// The worker, started on the first call. Null when no thread could be
// started; a later call tries again.
CodecWorker* codec_worker() {
    static CodecWorker* worker = nullptr;
    if (worker != nullptr) return worker;
    std::unique_ptr<CodecWorker> made;
    try {
        made.reset(new CodecWorker);
        std::thread(run_worker, made.get()).detach();
    } catch (const std::exception&) {
        return nullptr;
    }
    worker = made.release();
    return worker;
}

// Only while the state is idle: the worker reads none of the fields then.
void post_job(CodecWorker& w, const uint8_t* data, uint32_t size, uint8_t* out) {
    w.copied = size <= WORKER_COPY_LIMIT;
    if (w.copied) memcpy(w.copy_in, data, size);
    w.data = w.copied ? w.copy_in : data;
    w.size = size;
    w.out = w.copied ? w.copy_out : out;
    w.length = 0;
    w.result = LZO_E_ERROR;
    w.caller_cpu.store(plat_current_core(), std::memory_order_relaxed);
    w.state.store(job_posted, std::memory_order_release);
    std::lock_guard<std::mutex> hold(w.lock);
    if (w.worker_asleep) w.job_posted_signal.notify_one();
}

// Moves the job from state from to state to; true when this thread did.
bool move_job(CodecWorker& w, int from, int to) {
    return w.state.compare_exchange_strong(from, to);
}

// Waits until the worker has finished the job it picked up.
void wait_for_done(CodecWorker& w) {
    if (!watch_for(w.state, job_done, CALLER_WATCH_TIME, w.worker_cpu)) {
        std::unique_lock<std::mutex> hold(w.lock);
        w.caller_asleep = true;
        w.job_done_signal.wait(hold, [&] { return w.state.load() == job_done; });
        w.caller_asleep = false;
    }
}

// For a copied job that the worker runs: true when the worker finished it
// soon enough after LZO1X (which took x_time) and false when this thread
// dropped it instead.
bool done_in_time(CodecWorker& w, std::chrono::nanoseconds x_time) {
    if (watch_for(w.state, job_done, x_time / 4 + std::chrono::microseconds(20), w.worker_cpu))
        return true;
    return !move_job(w, job_running, job_dropped);
}

// Both compressions, LZO1X on this thread and LZO1Y on the worker at the same
// time. Gives what the two compress_with_method calls give one after the
// other, the message included: when both fail, LZO1X's result is reported.
// Without a free worker the sequential calls do the work.
bool compress_both_at_once(const uint8_t* data, uint32_t size, uint8_t* out_x,
                           uint32_t* length_x, uint8_t* out_y, uint32_t* length_y,
                           void* work_area) {
    CodecWorker* worker = codec_worker();
    if (worker == nullptr || worker->state.load(std::memory_order_acquire) != job_idle) {
        if (worker != nullptr) g_counts.worker_busy += 1;
        return compress_with_method(QAR_COMPRESSION_LZO1X, data, size, out_x, length_x,
                                    work_area) &&
               compress_with_method(QAR_COMPRESSION_LZO1Y, data, size, out_y, length_y,
                                    work_area);
    }
    CodecWorker& w = *worker;
    post_job(w, data, size, out_y);
    auto x_start = std::chrono::steady_clock::now();
    lzo_uint length = 0;
    int result = run_compressor(QAR_COMPRESSION_LZO1X, data, size, out_x, &length, work_area);
    auto x_time = std::chrono::steady_clock::now() - x_start;
    lzo_uint length_y_lib = 0;
    int result_y = LZO_E_ERROR;
    bool run_here = false;
    if (move_job(w, job_posted, job_idle)) {
        g_counts.taken_back += 1;
        run_here = true;
    } else if (w.copied) {
        run_here = !done_in_time(w, x_time);
        if (run_here) g_counts.dropped += 1;
    } else {
        wait_for_done(w);
    }
    if (run_here) {  // this thread's work area is free again
        result_y = run_compressor(QAR_COMPRESSION_LZO1Y, data, size, out_y, &length_y_lib,
                                  work_area);
    } else {
        result_y = w.result;
        length_y_lib = w.length;
        if (w.copied && result_y == LZO_E_OK) memcpy(out_y, w.copy_out, length_y_lib);
        w.state.store(job_idle, std::memory_order_release);
    }
    if (result == LZO_E_OK) result = result_y;
    if (!library_ok(result)) {
        return false;
    }
    *length_x = uint32_t(length);
    *length_y = uint32_t(length_y_lib);
    return true;
}

enum class CodecPath { sequential, threaded };

uint8_t* encode_on_path(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                        uint32_t* flags_out, CodecPath path) {
    // The compressors' work area lives in this call frame: the first 16-byte
    // boundary inside a block 16 bytes larger than needed.
    uint8_t work_block[CODEC_WORK_AREA_SIZE + 16];
    uintptr_t start = reinterpret_cast<uintptr_t>(work_block);
    void* work_area = work_block + ((16 - start % 16) % 16);
    uint8_t* out_x = static_cast<uint8_t*>(store_alloc(compressed_bound(size)));
    uint8_t* out_y = static_cast<uint8_t*>(store_alloc(compressed_bound(size)));
    uint8_t* scratch = static_cast<uint8_t*>(store_alloc(size));

    uint32_t length_x = 0;
    uint32_t length_y = 0;
    uint32_t method = QAR_COMPRESSION_NONE;
    bool ok = ensure_codec_ready();
    if (ok && path == CodecPath::threaded)
        ok = compress_both_at_once(data, size, out_x, &length_x, out_y, &length_y, work_area);
    else if (ok)
        ok = compress_with_method(QAR_COMPRESSION_LZO1X, data, size, out_x, &length_x,
                                  work_area) &&
             compress_with_method(QAR_COMPRESSION_LZO1Y, data, size, out_y, &length_y,
                                  work_area);
    if (ok) {
        if (length_x <= length_y && length_x < size)
            method = QAR_COMPRESSION_LZO1X;
        else if (length_y < size)
            method = QAR_COMPRESSION_LZO1Y;
    }
    uint8_t* chosen = method == QAR_COMPRESSION_LZO1X ? out_x : out_y;
    uint32_t chosen_length = method == QAR_COMPRESSION_LZO1X ? length_x : length_y;
    if (ok && method != QAR_COMPRESSION_NONE)
        ok = optimize_stream(method, chosen, chosen_length, scratch, size);
    free(scratch);
    if (!ok || method == QAR_COMPRESSION_NONE) {
        free(out_x);
        free(out_y);
        if (!ok) return nullptr;
        *stored_size_out = size;
        *flags_out = 0;
        return const_cast<uint8_t*>(data);
    }
    free(method == QAR_COMPRESSION_LZO1X ? out_y : out_x);
    *stored_size_out = chosen_length;
    *flags_out = (size << 8) | method;
    return chosen;
}

}  // namespace

uint8_t* encode_record(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                       uint32_t* flags_out) {
    CodecPath path = worth_a_thread(size) ? CodecPath::threaded : CodecPath::sequential;
    return encode_on_path(data, size, stored_size_out, flags_out, path);
}

uint8_t* encode_record_sequential(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                                  uint32_t* flags_out) {
    return encode_on_path(data, size, stored_size_out, flags_out, CodecPath::sequential);
}

uint8_t* encode_record_threaded(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                                uint32_t* flags_out) {
    return encode_on_path(data, size, stored_size_out, flags_out, CodecPath::threaded);
}

CodecWorkerCounts codec_worker_counts() { return g_counts; }

int decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags, uint8_t* out) {
    if (!ensure_codec_ready()) return 0;
    uint32_t method = flags & QAR_COMPRESSION_MASK;
    if (method == 0) return 0;
    lzo_uint out_size = flags_uncompressed_size(flags);
    return library_ok((method & QAR_COMPRESSION_LZO1X) != 0
                          ? lzo1x_decompress_safe(stored, stored_size, out, &out_size, nullptr)
                          : lzo1y_decompress_safe(stored, stored_size, out, &out_size, nullptr));
}
