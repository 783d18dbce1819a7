#include "gather.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "encode_steps.h"
#include "names.h"
#include "report.h"
#include "wildcard.h"

// ---------------------------------------------------------------------------
// The walk

namespace {

enum class GatherMode { add, update, sync };

// Largest file a record can hold: its size is a 32-bit number.
constexpr uint64_t MAX_RECORD_FILE = 0xFFFFFFFFu;

using DirectorySet = std::set<std::pair<uint64_t, uint64_t>>;

std::pair<uint64_t, uint64_t> id_key(const PlatFileId& id) { return {id.volume, id.file}; }

// The pipeline's buffer for a file: its bytes as read.
constexpr int FILE_BYTES = 0;
// And for a sync, the bytes of the record it is compared with.
constexpr int RECORD_BYTES = 1;

// One step of the walk, written in walk order by the pipeline: the lines it
// prints and, for a file to store, the file as a worker read and encoded it.
// The worker steps see nothing but their item.
struct WalkItem {
    std::string out_line;  // a whole line for standard output, or empty
    std::string err_line;  // a whole line for standard error, or empty
    bool store;            // a file to read and store under name
    bool add;              // appended (compressed), else replaced (stored as it is)
    bool sync;             // compared with its record first; stored compressed
    // For a sync: the record of the file's name, read through the workers'
    // own handle.
    int64_t position;      // in the snapshot, or -1 when the archive lacks the name
    uint32_t record_size;
    uint32_t record_stamp;
    qar_archive* reader;   // not owned
    uint32_t key;          // the archive's key
    std::string path;
    std::string name;
    std::string record;    // record_key of name: how the run's maps know the file
    // Filled by the worker steps.
    PlatReadResult read;
    int read_error;        // the system's error number when the read failed, or 0
    int64_t mtime;         // the file's last-write time, or QAR_TIME_UNKNOWN
    EncodeJob encoding;    // owned
    bool same;             // sync: the file holds exactly its record's bytes
    ~WalkItem() { free_encode_job(&encoding); }
};

// Why a file that could not be read is not stored, with the system's reason
// when there is one; empty when it was read.
std::string read_failure(PlatReadResult result, int error) {
    const char* what = "could not read the file";
    switch (result) {
    case PLAT_READ_OK: return "";
    case PLAT_READ_OPEN_FAILED: what = "could not open the file"; break;
    case PLAT_READ_EMPTY: return "empty file, not stored";
    case PLAT_READ_TOO_LARGE: return "file of 4 GiB or more, not stored";
    case PLAT_READ_FAILED: break;
    }
    if (error == 0) return std::string(what) + ", not stored";
    return std::string(what) + ": " + strerror(error) + ", not stored";
}

// Reads the file with read() into the job's reused buffer and begins its
// encoding; the encoding's steps (none, one or two) follow as the job's parts.
int load_file(void*, PipelineJob* job, void*) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    PlatInFile* file = nullptr;
    PlatFileInfo info;
    // errno belongs to this worker's thread: the reason is kept in the item.
    errno = 0;
    item->read = plat_open_read(item->path.c_str(), MAX_RECORD_FILE, &file, &info);
    item->read_error = errno;
    if (item->read != PLAT_READ_OK) return 0;
    uint8_t* data = reserve_buffer(&job->buffers[FILE_BYTES], size_t(info.size));
    size_t got = 0;
    // A file that shrank since it was opened is stored as it was read.
    if (!plat_read_full(file, data, size_t(info.size), &got)) {
        item->read = PLAT_READ_FAILED;
        item->read_error = errno;
    }
    else if (got == 0)
        item->read = PLAT_READ_EMPTY;
    plat_close_read(file);
    if (item->read != PLAT_READ_OK) return 0;
    if (info.write_time_valid) {
        const PlatDateTime& t = info.write_time;
        const qar_datetime utc = {t.year, t.month, t.day, t.hour, t.minute, t.second};
        item->mtime = qar_time_from_datetime(&utc);
    } else {
        item->mtime = QAR_TIME_UNKNOWN;
    }
    // What a sync leaves alone costs no compression: the sizes first, then
    // the bytes the record decodes to. A record that cannot be read is
    // replaced.
    if (item->position >= 0 && got == item->record_size) {
        uint8_t* record = reserve_buffer(&job->buffers[RECORD_BYTES], got);
        size_t size = 0;
        item->same = qar_read(item->reader, size_t(item->position), record, got, &size,
                              nullptr) == QAR_OK &&
                     memcmp(record, data, got) == 0;
        if (item->same) return 0;
    }
    return begin_encode_job(&item->encoding, data, got, item->key,
                            item->add || item->sync ? 0 : QAR_ENCODE_PLAIN);
}

// Part n is the encoding's step n, on this thread's workspace.
void encode_part(void*, PipelineJob* job, int part, void* workspace) {
    encode_job_part(&static_cast<WalkItem*>(job->item)->encoding, part, workspace);
}

// Once every step ended: the choice and the optimiser.
void end_encoding(void*, PipelineJob* job) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    if (item->read == PLAT_READ_OK) end_encode_job(&item->encoding);
}

// Brings the record of a file the workers read (and, when it differs,
// encoded) in step with it; the action taken is said on standard output.
void sync_read_file(GatherRun* run, WalkItem* item, qar_error* outcome) {
    const std::string& key = item->record;
    const qar_encoded* encoded = item->encoding.encoded;
    const char* action = nullptr;
    if (item->same) {
        // The bytes are the same: at most the time is set.
        if (qar_stamp_from_time(item->mtime) != item->record_stamp)
            qar_set_time(run->archive, size_t(item->position), item->mtime, outcome);
        if (outcome->status == QAR_OK) run->unchanged += 1;
    } else if (outcome->status == QAR_OK && item->position < 0) {
        if (qar_add_encoded(run->archive, key.c_str(), encoded, item->mtime, outcome) == QAR_OK) {
            run->added += 1;
            action = "added";
        }
    } else if (outcome->status == QAR_OK) {
        if (qar_replace_encoded(run->archive, size_t(item->position), encoded, item->mtime,
                                outcome) == QAR_OK) {
            run->replaced += 1;
            action = "replaced";
        }
    }
    if (outcome->status == QAR_OK) run->stored.emplace(key, item->path);
    if (action != nullptr) printf("%s: %s\n", action, display_text(key.c_str()).c_str());
}

// Stores a file the workers read and encoded.
void store_read_file(GatherRun* run, PipelineJob* job) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    const char* name = item->name.c_str();
    const std::string failure = read_failure(item->read, item->read_error);
    if (!failure.empty()) {
        fputs(file_failure_line(item->name, failure.c_str()).c_str(), stderr);
        run->not_stored += 1;
        return;
    }
    qar_error outcome = item->encoding.failure;
    const qar_encoded* encoded = item->encoding.encoded;
    if (item->sync) {
        sync_read_file(run, item, &outcome);
    } else if (outcome.status == QAR_OK) {
        if (item->add)
            qar_add_encoded(run->archive, name, encoded, item->mtime, &outcome);
        else
            qar_update_encoded(run->archive, name, encoded, item->mtime, &outcome);
        if (outcome.status == QAR_OK) run->stored.emplace(item->record, item->path);
    }
    if (outcome.status != QAR_OK) {
        exit_if_out_of_memory(outcome);
        fputs(file_failure_line(item->name, reason_text(outcome).c_str()).c_str(), stderr);
        run->not_stored += 1;
    }
}

// Writes one step of the walk, in walk order, on the walking thread.
void write_item(void* context, PipelineJob* job) {
    GatherRun* run = static_cast<GatherRun*>(context);
    std::unique_ptr<WalkItem> item(static_cast<WalkItem*>(job->item));
    if (!item->out_line.empty() && !run->quiet) fputs(item->out_line.c_str(), stdout);
    if (!item->err_line.empty()) fputs(item->err_line.c_str(), stderr);
    if (!item->store) return;
    store_read_file(run, job);
    auto pending = run->pending.find(item->record);
    if (pending != run->pending.end() && --pending->second == 0) run->pending.erase(pending);
}

// Hands lines to print in their turn.
void say(GatherRun* run, std::string out_line, std::string err_line) {
    WalkItem* item = new WalkItem{};
    item->out_line = std::move(out_line);
    item->err_line = std::move(err_line);
    pipeline_push(run->pipeline, item, 0, 0);
}

void report(GatherRun* run, const char* name, const char* reason) {
    say(run, std::string(), file_failure_line(name, reason));
}

// Reports a file (or an argument or folder standing for the files it would
// have given) that is not stored, and counts it; out_line goes first.
void refuse(GatherRun* run, const char* name, const char* reason,
            std::string out_line = std::string()) {
    say(run, std::move(out_line), file_failure_line(name, reason));
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

// Decides, in walk order, whether a file found by the walk is stored, and
// hands it to the pipeline with its "file: " line.
void store_file(GatherRun* run, const std::string& path, const PlatFindEntry& entry,
                GatherMode mode, std::string file_line) {
    const char* name = entry.name;
    if (run->archive_id_valid && plat_same_file(entry.id, run->archive_id)) {
        refuse(run, name, "the qar file itself is not stored", file_line);
        return;
    }
    const std::string key = record_key(name);
    if (!is_plain_file_name(key.c_str())) {
        refuse(run, name, "a name that could not be extracted again, not stored", file_line);
        return;
    }
    if (run->pending.count(key) != 0) {
        // Whether a file of this name is stored depends on how the one in
        // flight fares: let it land first.
        pipeline_flush(run->pipeline);
    }
    size_t position = 0;
    if (mode == GatherMode::add && qar_find(run->archive, name, &position, nullptr) == QAR_OK) {
        say(run, file_line, "\"" + display_text(name) + "\" already exists\n");
        run->not_stored += 1;
        return;
    }
    // Two files of one record name in one run: the first stored keeps the
    // record, whatever the file system's order, and the second is named.
    const auto earlier = run->stored.find(key);
    if (earlier != run->stored.end()) {
        refuse(run, path.c_str(),
               ("same record name \"" + display_text(key.c_str()) + "\" as \"" +
                display_text(earlier->second.c_str()) + "\", not stored")
                   .c_str(),
               file_line);
        return;
    }
    WalkItem* item = new WalkItem{};
    item->out_line = std::move(file_line);
    item->store = true;
    item->add = mode == GatherMode::add;
    item->sync = mode == GatherMode::sync;
    item->position = -1;
    if (item->sync && qar_find(run->archive, name, &position, nullptr) == QAR_OK) {
        qar_entry record;
        qar_entry_at(run->archive, position, &record, nullptr);
        item->position = int64_t(position);
        item->record_size = record.size;
        item->record_stamp = record.stamp;
        item->reader = run->reader;
    }
    item->key = qar_archive_key(run->archive);
    item->path = path;
    item->name = name;
    item->record = key;
    run->pending[key] += 1;
    // What the job holds at most: the file, its masked copy, and for add the
    // two streams.
    const uint64_t bytes = item->add || item->sync ? 4 * entry.size : 2 * entry.size;
    pipeline_push(run->pipeline, item, bytes, 1);
}

bool walk(GatherRun* run, const std::string& pattern, GatherMode mode, DirectorySet* walked);

// Walks the files of a folder found by the walk (or named as "." or "..");
// path is the folder's path, name what the "dir: " line shows.
void walk_folder(GatherRun* run, const std::string& path, const char* name, GatherMode mode,
                 DirectorySet* walked) {
    say(run, "dir: " + display_text(name) + "\n", std::string());
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

// The walk's order of names: bytes compared unsigned with A-Z folded to
// a-z, names that differ only in case in plain byte order.
unsigned folded(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? unsigned(u - 'A' + 'a') : unsigned(u);
}

bool walked_before(const PlatFindEntry& a, const PlatFindEntry& b) {
    for (size_t i = 0;; ++i) {
        const unsigned x = folded(a.name[i]), y = folded(b.name[i]);
        if (x != y) return x < y;
        if (x == 0) break;
    }
    return std::strcmp(a.name, b.name) < 0;
}

// Everything the pattern finds, in the walk's order; empty when it finds nothing.
std::vector<PlatFindEntry> find_sorted(const std::string& pattern) {
    std::vector<PlatFindEntry> found;
    PlatFindEntry entry;
    PlatFind* search = plat_find_first(pattern.c_str(), &entry);
    if (!search) return found;
    do found.push_back(entry);
    while (plat_find_next(search, &entry));
    plat_find_close(search);
    std::sort(found.begin(), found.end(), walked_before);
    return found;
}

// Walks what the pattern finds; false when it finds nothing (what -x leaves
// out counts as found).
bool walk(GatherRun* run, const std::string& pattern, GatherMode mode, DirectorySet* walked) {
    const std::vector<PlatFindEntry> found = find_sorted(pattern);
    const std::string dir = directory_part(pattern);
    for (const PlatFindEntry& entry : found) {
        if (matches_any(entry.name, run->excludes)) continue;
        std::string path = dir + entry.name;
        if (entry.is_directory) {
            if (!walked->insert(id_key(entry.id)).second) {
                report(run, entry.name, "directory already walked (a link loop?), skipped");
                continue;
            }
            walk_folder(run, path, entry.name, mode, walked);
        } else {
            std::string file_line = "file: " + display_text(entry.name) + "\n";
            run->files += 1;
            if (path.size() >= PLAT_PATH_MAX)
                refuse(run, entry.name, "path too long, not stored", file_line);
            else
                store_file(run, path, entry, mode, file_line);
        }
    }
    return !found.empty();
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

void start_gather(GatherRun* run, qar_archive* archive, unsigned workers) {
    run->archive = archive;
    run->archive_id_valid =
        qar_archive_file_id(archive, &run->archive_id.volume, &run->archive_id.file);
    run->files = 0;
    run->not_stored = 0;
    run->added = run->replaced = run->unchanged = 0;
    run->reader = nullptr;
    run->quiet = false;
    PipelineSteps steps = {run,        load_file,      encode_part,   end_encoding,
                           write_item, make_encode_workspace, free_encode_workspace};
    run->pipeline = start_pipeline(steps, record_pipeline_limits(workers));
}

void finish_gather(GatherRun* run) {
    stop_pipeline(run->pipeline);
    run->pipeline = nullptr;
}

void gather_add(GatherRun* run, const char* pattern) { gather(run, pattern, GatherMode::add); }

void gather_update(GatherRun* run, const char* pattern) {
    gather(run, pattern, GatherMode::update);
}

void gather_sync(GatherRun* run, const char* pattern) { gather(run, pattern, GatherMode::sync); }
