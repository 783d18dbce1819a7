#include "gather.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "names.h"
#include "record_ops.h"

// ---------------------------------------------------------------------------
// Time stamps

uint32_t encode_time_stamp(const PlatDateTime& utc) {
    // The month number goes into the 0-based month field unchanged: the
    // one-month shift is part of the stored format.
    PlatTm fields{utc.year - 1900, utc.month, utc.day, utc.hour, utc.minute, utc.second};
    int64_t seconds = plat_mkgmtime(fields);
    return uint32_t(uint64_t(seconds));  // low 32 bits; -1 keeps all bits set
}

int decode_time_stamp(uint32_t stamp, int local, PlatDateTime* out) {
    int64_t seconds = int32_t(stamp);
    PlatTm fields;
    int ok = local ? plat_localtime(seconds, &fields) : plat_gmtime(seconds, &fields);
    if (!ok) return 0;
    out->year = fields.year + 1900;
    out->month = fields.month;
    if (out->month == 0) {  // a December date was shifted into January
        out->month = 12;
        out->year -= 1;
    }
    out->day = fields.day;
    out->hour = fields.hour;
    out->minute = fields.minute;
    out->second = fields.second;
    return 1;
}

// ---------------------------------------------------------------------------
// The walk

namespace {

enum class GatherMode { add, update };

// Largest file a record can hold: its size is a 32-bit number.
constexpr uint64_t MAX_RECORD_FILE = 0xFFFFFFFFu;

using DirectorySet = std::set<std::pair<uint64_t, uint64_t>>;

std::pair<uint64_t, uint64_t> id_key(const PlatFileId& id) { return {id.volume, id.file}; }

void report(const char* name, const char* reason) {
    fprintf(stderr, "\"%s\": %s\n", display_text(name).c_str(), reason);
}

// Reports a file (or an argument or folder standing for the files it would
// have given) that is not stored, and counts it.
void refuse(GatherRun* run, const char* name, const char* reason) {
    report(name, reason);
    run->not_stored += 1;
}

// As refuse, for an argument or folder that yields no file to count: it
// stands for the files the user meant it to give.
void refuse_unfound(GatherRun* run, const char* name, const char* reason) {
    run->files += 1;
    refuse(run, name, reason);
}

// The pattern up to and including its last separator; empty when it has none.
std::string directory_part(const std::string& pattern) {
    size_t cut = pattern.find_last_of('/');
    return cut == std::string::npos ? std::string() : pattern.substr(0, cut + 1);
}

// Why a file that could not be mapped is not stored; null when it was mapped.
const char* map_failure(PlatMapResult result) {
    switch (result) {
    case PLAT_MAP_OK: return nullptr;
    case PLAT_MAP_OPEN_FAILED: return "could not open the file, not stored";
    case PLAT_MAP_EMPTY: return "empty file, not stored";
    case PLAT_MAP_TOO_LARGE: return "file of 4 GiB or more, not stored";
    case PLAT_MAP_FAILED: break;
    }
    return "could not read the file, not stored";
}

struct MappedFileGuard {
    PlatMappedFile* file;
    ~MappedFileGuard() { plat_unmap_file(file); }
};

// Steps for one file found by the walk, after its "file: " line.
void store_file(GatherRun* run, const std::string& path, const PlatFindEntry& entry,
                GatherMode mode) {
    const char* name = entry.name;
    if (run->archive_id_valid && plat_same_file(entry.id, run->archive_id)) {
        refuse(run, name, "the qar file itself is not stored");
        return;
    }
    if (!is_plain_file_name(record_key(name).c_str())) {
        refuse(run, name, "a name that could not be extracted again, not stored");
        return;
    }
    if (mode == GatherMode::add &&
        (find_entry(run->archive, name) || run->appended.count(record_key(name)))) {
        fprintf(stderr, "\"%s\" already exists\n", display_text(name).c_str());
        run->not_stored += 1;
        return;
    }

    PlatMappedFile mapped;
    const char* failure = map_failure(plat_map_file(path.c_str(), MAX_RECORD_FILE, &mapped));
    if (failure) {
        refuse(run, name, failure);
        return;
    }
    MappedFileGuard mapping{&mapped};
    uint32_t size = uint32_t(mapped.size);

    // The record operations mask their data in place, so a non-zero key needs
    // a private copy; with key 0 they never write into it and the read-only
    // view is passed as it is.
    std::unique_ptr<uint8_t, decltype(&free)> copy(nullptr, &free);
    uint8_t* data = const_cast<uint8_t*>(mapped.data);
    if (run->key != 0) {
        copy.reset(static_cast<uint8_t*>(malloc(size)));
        if (!copy) fatal_error(nullptr);
        memcpy(copy.get(), mapped.data, size);
        data = copy.get();
    }

    uint32_t stamp = mapped.write_time_valid ? encode_time_stamp(mapped.write_time)
                                             : 0xFFFFFFFFu;
    int ok;
    if (mode == GatherMode::add) {
        uint32_t stored_size = 0;
        ok = append_record(run->archive, data, size, stamp, name, &stored_size);
        if (ok) run->appended.insert(record_key(name));
    } else {
        ok = replace_record(run->archive, data, size, stamp, name);
    }
    if (!ok) refuse(run, name, display_text(last_error_text()).c_str());
}

bool walk(GatherRun* run, const std::string& pattern, GatherMode mode, DirectorySet* walked);

// Walks the files of a folder found by the walk (or named as "." or "..");
// path is the folder's path, name what the "dir: " line shows.
void walk_folder(GatherRun* run, const std::string& path, const char* name, GatherMode mode,
                 DirectorySet* walked) {
    printf("dir: %s\n", display_text(name).c_str());
    std::string below = path + "/*";
    if (below.size() >= PLAT_PATH_MAX) {
        refuse_unfound(run, name, "path too long, nothing stored from it");
        return;
    }
    // An empty folder gives nothing and asks for nothing; one that cannot be
    // read hides files the user meant to store.
    if (!walk(run, below, mode, walked) && !plat_can_list_directory(path.c_str())) {
        refuse_unfound(run, name, "could not read the directory, nothing stored from it");
    }
}

// Walks what the pattern finds; false when it finds nothing.
bool walk(GatherRun* run, const std::string& pattern, GatherMode mode, DirectorySet* walked) {
    PlatFindEntry entry;
    PlatFind* search = plat_find_first(pattern.c_str(), &entry);
    if (!search) return false;
    const std::string dir = directory_part(pattern);
    do {
        std::string path = dir + entry.name;
        if (entry.is_directory) {
            if (!walked->insert(id_key(entry.id)).second) {
                report(entry.name, "directory already walked (a link loop?), skipped");
                continue;
            }
            walk_folder(run, path, entry.name, mode, walked);
        } else {
            printf("file: %s\n", display_text(entry.name).c_str());
            run->files += 1;
            if (path.size() >= PLAT_PATH_MAX)
                refuse(run, entry.name, "path too long, not stored");
            else
                store_file(run, path, entry, mode);
        }
    } while (plat_find_next(search, &entry));
    plat_find_close(search);
    return true;
}

bool is_dot_or_dotdot(const std::string& name) { return name == "." || name == ".."; }

void gather(GatherRun* run, const char* pattern, GatherMode mode) {
    std::string normal(pattern);
    for (char& c : normal)
        if (c == '\\') c = '/';
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();  // "data/" is "data"
    if (normal.size() >= PLAT_PATH_MAX) {
        refuse_unfound(run, pattern, "path too long, nothing stored");
        return;
    }
    DirectorySet walked;
    PlatFileId dir_id;
    std::string dir = directory_part(normal);
    std::string last = normal.substr(dir.size());
    if (is_dot_or_dotdot(last)) {
        // "." and ".." name a folder that the search never yields: walk it.
        if (plat_path_id(normal.c_str(), 1, &dir_id)) walked.insert(id_key(dir_id));
        walk_folder(run, normal, last.c_str(), mode, &walked);
        return;
    }
    // The folder that a wildcard pattern searches counts as walked, so a link
    // inside it that leads back to it is not walked again.
    if (plat_path_id(dir.empty() ? "." : dir.c_str(), 1, &dir_id)) walked.insert(id_key(dir_id));
    if (!walk(run, normal, mode, &walked)) {
        refuse_unfound(run, pattern,
                       normal.find_first_of("*?", dir.size()) != std::string::npos
                           ? "no file matches, nothing stored"
                           : "no such file or directory, nothing stored");
    }
}

}  // namespace

GatherRun start_gather(ArchiveHandle* archive, uint32_t key) {
    GatherRun run;
    run.archive = archive;
    run.key = key;
    run.archive_id_valid = plat_stream_id(archive->file, &run.archive_id);
    run.files = 0;
    run.not_stored = 0;
    return run;
}

void gather_add(GatherRun* run, const char* pattern) { gather(run, pattern, GatherMode::add); }

void gather_update(GatherRun* run, const char* pattern) {
    gather(run, pattern, GatherMode::update);
}
