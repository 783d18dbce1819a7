#include "file_replace.h"

#include <cstdio>

#include "platform.h"

namespace {

void close_and_remove(FileReplacement* r) {
    if (r->stream) std::fclose(r->stream);
    r->stream = nullptr;
    if (!r->temp.empty()) {
        plat_remove_file(r->temp.c_str());
        plat_forget_on_interrupt();
        r->temp.clear();
    }
}

}  // namespace

bool begin_replacement(const char* path, FileReplacement* r) {
    r->target = plat_link_target(path);
    r->temp.clear();
    r->stream = nullptr;
    PlatFileKind kind = plat_file_kind(r->target.c_str());
    if (kind == PLAT_FILE_OTHER) {
        r->stream = std::fopen(r->target.c_str(), "wb");
        return r->stream != nullptr;
    }
    if (kind == PLAT_FILE_REGULAR && !plat_may_write(r->target.c_str())) return false;
    r->stream = plat_create_temp_beside(r->target.c_str(), &r->temp);
    if (!r->stream) return false;
    plat_remove_on_interrupt(r->temp.c_str());
    return true;
}

bool commit_replacement(FileReplacement* r) {
    bool ok = std::fflush(r->stream) == 0 && !std::ferror(r->stream);
    if (ok && !r->temp.empty()) ok = plat_sync_stream(r->stream) != 0;
    ok = std::fclose(r->stream) == 0 && ok;
    r->stream = nullptr;
    if (r->temp.empty()) return ok;
    if (ok) ok = plat_replace_file(r->temp.c_str(), r->target.c_str()) != 0;
    if (ok) {
        plat_forget_on_interrupt();
        r->temp.clear();
    } else {
        close_and_remove(r);
    }
    return ok;
}

void abandon_replacement(FileReplacement* r) {
    close_and_remove(r);
}
