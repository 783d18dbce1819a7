#include "file_replace.h"

#include <cerrno>
#include <cstdio>

#include "platform.h"

namespace {

void (*g_wait_notice)(const char* path) = nullptr;

void notice_waiting(void* path) {
    if (g_wait_notice != nullptr) g_wait_notice(static_cast<const char*>(path));
}

void release_lock(FileReplacement* r) {
    if (r->lock) plat_close_stream(r->lock);
    r->lock = nullptr;
}

// Locks the existing target. The lock is on the file, and a writer that held
// it renames a new file to the name before letting go: whoever waited then
// holds a file that no longer has the name, and locks the new one instead.
bool lock_target(const char* path, FileReplacement* r) {
    for (;;) {
        r->lock = plat_open_stream(path, "rb");
        if (!r->lock) return errno == ENOENT;  // nothing to replace, nothing to lock
        if (!plat_lock_exclusive(r->lock, notice_waiting, const_cast<char*>(path))) {
            release_lock(r);
            return false;
        }
        PlatFileId locked, named;
        if (!plat_stream_id(r->lock, &locked) || !plat_path_id(path, 1, &named) ||
            plat_same_file(locked, named))
            return true;
        release_lock(r);
    }
}

void close_and_remove(FileReplacement* r) {
    if (r->stream) plat_close_stream(r->stream);
    r->stream = nullptr;
    if (!r->temp.empty()) {
        plat_remove_file(r->temp.c_str());
        plat_forget_on_interrupt();
        r->temp.clear();
    }
    release_lock(r);
}

bool fail_at(FileReplacement* r, const char* step) {
    r->failed = step;
    r->error = errno;
    return false;
}

}  // namespace

void set_replacement_wait_notice(void (*on_wait)(const char* path)) { g_wait_notice = on_wait; }

bool begin_replacement(const char* path, FileReplacement* r) {
    r->target = plat_link_target(path);
    r->temp.clear();
    r->stream = nullptr;
    r->lock = nullptr;
    r->failed = nullptr;
    r->error = 0;
    PlatFileKind kind = plat_file_kind(r->target.c_str());
    if (kind == PLAT_FILE_OTHER) {
        r->stream = plat_open_stream(r->target.c_str(), "wb");
        return r->stream != nullptr;
    }
    if (kind == PLAT_FILE_REGULAR && !plat_may_write(r->target.c_str())) return false;
    if (kind == PLAT_FILE_REGULAR && !lock_target(r->target.c_str(), r)) return false;
    r->stream = plat_create_temp_beside(r->target.c_str(), &r->temp);
    if (!r->stream) {
        const int error = errno;
        release_lock(r);
        errno = error;
        return false;
    }
    plat_remove_on_interrupt(r->temp.c_str());
    return true;
}

bool commit_replacement(FileReplacement* r) {
    bool ok = std::fflush(r->stream) == 0 && !std::ferror(r->stream);
    if (!ok) fail_at(r, "write");
    if (ok && !r->temp.empty() && !plat_sync_stream(r->stream)) ok = fail_at(r, "flush");
    if (!plat_close_stream(r->stream) && ok) ok = fail_at(r, "close");
    r->stream = nullptr;
    if (!plat_can_replace_open_file()) release_lock(r);
    if (ok && !r->temp.empty() && !plat_replace_file(r->temp.c_str(), r->target.c_str()))
        ok = fail_at(r, "rename");
    if (ok) {
        if (!r->temp.empty()) plat_forget_on_interrupt();
        r->temp.clear();
    }
    close_and_remove(r);
    return ok;
}

void abandon_replacement(FileReplacement* r) {
    close_and_remove(r);
}
