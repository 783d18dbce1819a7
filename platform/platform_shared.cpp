// The parts of the platform layer that are the same on every system: the
// counts of the failing-calls seam, and waiting for a lock.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform.h"

namespace {

// The tools use the layer from one thread, but the record pipeline's workers
// may one day read or write: the counts are atomic so that a count is never lost.
std::atomic<uint64_t> g_calls[PLAT_CALL_KINDS];
std::atomic<int> g_fail_kind{PLAT_CALL_KINDS};
std::atomic<uint64_t> g_fail_nth{0};
std::atomic<int> g_fail_error{0};

const char* const kCallNames[PLAT_CALL_KINDS] = {"open",  "read",  "write", "flush",
                                                 "rename", "close", "lock"};

}  // namespace

const char* plat_call_name(PlatCall kind) {
    return kind >= 0 && kind < PLAT_CALL_KINDS ? kCallNames[kind] : "?";
}

void plat_fail_call(PlatCall kind, uint64_t nth, int error) {
    g_fail_kind = kind;
    g_fail_nth = nth;
    g_fail_error = error;
}

void plat_reset_calls() {
    for (auto& count : g_calls) count = 0;
    plat_fail_call(PLAT_CALL_KINDS, 0, 0);
}

uint64_t plat_calls_made(PlatCall kind) {
    return kind >= 0 && kind < PLAT_CALL_KINDS ? g_calls[kind].load() : 0;
}

int plat_call_fails(PlatCall kind) {
    const uint64_t made = ++g_calls[kind];
    if (g_fail_kind != kind || g_fail_nth == 0 || made != g_fail_nth) return 0;
    errno = g_fail_error;
    return 1;
}

int plat_lock_exclusive(FILE* file, void (*on_wait)(void* context), void* context) {
    if (plat_call_fails(PLAT_CALL_LOCK)) return 0;
    switch (plat_try_lock(file)) {
    case PLAT_LOCK_TAKEN: return 1;
    case PLAT_LOCK_FAILED: return 0;
    case PLAT_LOCK_BUSY: break;
    }
    // The notice comes from a second thread, so that the wait itself is the
    // system's blocking lock call rather than a loop of attempts.
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::thread notice([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done_changed.wait_for(lock, std::chrono::seconds(1), [&] { return done; }) &&
            on_wait != nullptr)
            on_wait(context);
    });
    const int taken = plat_wait_lock(file);
    const int error = errno;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    done_changed.notify_one();
    notice.join();
    errno = error;
    return taken;
}
