// The parts of the platform layer that are the same on every system: the
// counts of the failing-calls seam, calendar fields, the name matcher, the
// memory-stream paths of positioned reads and writes, and waiting for a lock.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform.h"
#include "platform_internal.h"

namespace {

// The record pipeline's workers open and read files at the same time as the
// calling thread writes: the counts are atomic so that a count is never lost.
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
    if (g_fail_error == PLAT_CALL_INTERRUPTS) plat_interrupt_self();
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

// ---------------------------------------------------------------------------
// Calendar fields

namespace {

struct tm to_tm(const PlatTm& f) {
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = f.year;
    t.tm_mon = f.month;
    t.tm_mday = f.day;
    t.tm_hour = f.hour;
    t.tm_min = f.minute;
    t.tm_sec = f.second;
    return t;
}

PlatTm from_tm(const struct tm& t) {
    return PlatTm{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace

int64_t plat_mkgmtime(const PlatTm& fields) {
    struct tm t = to_tm(fields);
    int64_t seconds = plat_system_timegm(&t);
    return seconds < 0 ? -1 : seconds;
}

int plat_gmtime(int64_t seconds, PlatTm* out) {
    struct tm t;
    if (seconds < 0 || !plat_system_gmtime(seconds, &t)) return 0;
    *out = from_tm(t);
    return 1;
}

int plat_localtime(int64_t seconds, PlatTm* out) {
    struct tm t;
    if (seconds < 0 || !plat_system_localtime(seconds, &t)) return 0;
    *out = from_tm(t);
    return 1;
}

// ---------------------------------------------------------------------------
// File identity and names

int plat_same_file(const PlatFileId& a, const PlatFileId& b) {
    return a.volume == b.volume && a.file == b.file;
}

namespace {

// Remaining pattern that an exhausted name still matches: stars only, or a
// dot followed by stars only ("*.*" and "name.*" match a name without a dot).
bool matches_empty_rest(const char* p) {
    while (*p == '*') ++p;
    if (*p == '.') {
        ++p;
        while (*p == '*') ++p;
    }
    return *p == '\0';
}

}  // namespace

int plat_match_name(const char* name, const char* pattern, bool fold_case) {
    const char* star_pattern = nullptr;  // pattern just after the latest '*'
    const char* star_name = nullptr;     // name position that '*' has reached
    for (;;) {
        if (*name == '\0') return matches_empty_rest(pattern) ? 1 : 0;
        const bool same = fold_case ? plat_fold_ascii(*pattern) == plat_fold_ascii(*name)
                                    : *pattern == *name;
        if (*pattern == '*') {
            star_pattern = ++pattern;
            star_name = name;
        } else if (*pattern != '\0' && (*pattern == '?' || same)) {
            ++pattern;
            ++name;
        } else if (star_pattern) {
            pattern = star_pattern;
            name = ++star_name;
        } else {
            return 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Streams without a system file behind them

namespace {

int buffered_write_here(FILE* file, const void* buffer, size_t n) {
    if (fwrite(buffer, 1, n, file) != n) return 0;
    return fflush(file) == 0 ? 1 : 0;
}

}  // namespace

int64_t plat_buffered_size(FILE* file) {
    if (plat_seek_stream(file, 0, SEEK_END) != 0) return -1;
    int64_t end = plat_tell_stream(file);
    return end < 0 ? -1 : end;
}

int plat_buffered_read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    if (plat_seek_stream(file, offset, SEEK_SET) != 0) return 0;
    return fread(buffer, 1, n, file) == n ? 1 : 0;
}

int plat_buffered_write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    if (plat_seek_stream(file, offset, SEEK_SET) != 0) return 0;
    return buffered_write_here(file, buffer, n);
}

int plat_buffered_write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    int64_t end = plat_buffered_size(file);
    if (end < 0) return 0;
    *offset_out = end;
    return buffered_write_here(file, buffer, n);
}

// ---------------------------------------------------------------------------
// Closing streams

int plat_close_stream(FILE* file) {
    const bool failed = plat_call_fails(PLAT_CALL_CLOSE);
    const int error = errno;
    const int closed = fclose(file) == 0;
    if (!failed) return closed;
    errno = error;
    return 0;
}
