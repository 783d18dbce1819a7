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

#include "names.h"
#include "record_codec.h"
#include "record_ops.h"

// ---------------------------------------------------------------------------
// Time stamps

uint32_t encode_time_stamp(const PlatDateTime& utc) {
    // The month number goes into the 0-based month field unchanged: the
    // one-month shift is part of the stored format.
    PlatTm fields{utc.year - 1900, utc.month, utc.day, utc.hour, utc.minute, utc.second};
    int64_t seconds = plat_mkgmtime(fields);
    // -1 keeps all bits set. An instant past the field's last second would
    // come back as some date near 1970: it is stored as unknown instead.
    if (seconds < 0 || seconds >= int64_t(QAR_TIME_UNKNOWN)) return QAR_TIME_UNKNOWN;
    return uint32_t(seconds);
}

int decode_time_stamp(uint32_t stamp, int local, PlatDateTime* out) {
    // Unsigned, so that the dates up to 2106 that add stores come back; all
    // bits set is the date before 1970, which cannot be shown.
    if (stamp == QAR_TIME_UNKNOWN) return 0;
    int64_t seconds = stamp;
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

// The pipeline's buffers for a file: its bytes, then the two streams.
constexpr int FILE_BYTES = 0;
constexpr int FIRST_STREAM = 1;

// A file smaller than this is compressed whole on one thread, both methods one
// after the other: its second compression takes less than moving its bytes to
// another core costs, and many small files keep every core busy anyway. A
// larger file's two methods are two parts, so that it uses two cores at once.
constexpr uint32_t WHOLE_RECORD_SIZE = 64 * 1024;

bool compressed_whole(uint32_t size) { return size < WHOLE_RECORD_SIZE; }

// One step of the walk, written in walk order by the pipeline: the lines it
// prints and, for a file to store, the file as a worker read and encoded it.
// The worker steps see nothing but their item.
struct WalkItem {
    std::string out_line;  // a whole line for standard output, or empty
    std::string err_line;  // a whole line for standard error, or empty
    bool store;            // a file to read and store under name
    bool add;              // appended (read, masked, encoded), else replaced
    uint32_t key;          // the archive's key, for add
    std::string path;
    std::string name;
    // Filled by the worker steps.
    PlatReadResult read;
    int read_error;              // the system's error number when the read failed, or 0
    uint32_t size;               // bytes read
    uint32_t stamp;              // the record's time
    uint32_t stream_sizes[2];
    std::string part_failure[2]; // each compression's message when it failed
    std::string failure;         // the encoding's message when it failed
    EncodedRecord encoded;       // for add
};

std::string report_line(const std::string& name, const char* reason) {
    return "\"" + display_text(name.c_str()) + "\": " + reason + "\n";
}

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

// Reads the file with read() into the job's reused buffer and, for add,
// masks it; the compressions follow as the job's parts (one or two).
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
    item->size = uint32_t(got);
    item->stamp = info.write_time_valid ? encode_time_stamp(info.write_time)
                                          : QAR_TIME_UNKNOWN;
    if (!item->add) return 0;  // replace_record masks the bytes itself
    if (item->key != 0) mask_with_key(data, item->size, item->key);
    if (item->size > QAR_MAX_COMPRESSED_SIZE) return 0;
    return compressed_whole(item->size) ? 1 : 2;
}

// Part 0 of a file compressed whole runs both methods; otherwise part n runs
// method n.
void compress_file(void*, PipelineJob* job, int part, void* work_area) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    const int last = compressed_whole(item->size) ? 1 : part;
    for (int method = part; method <= last; ++method) {
        if (!compress_with_method(CODEC_METHODS[method], job->buffers[FILE_BYTES].data,
                                  item->size, &job->buffers[FIRST_STREAM + method],
                                  &item->stream_sizes[method], work_area))
            item->part_failure[method] = last_error_text();
    }
}

// Once both compressions ended: the choice and the optimiser. Of two failed
// compressions the first in method order is reported, as when they run one
// after the other.
void choose_file_stream(void*, PipelineJob* job) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    if (!item->add || item->read != PLAT_READ_OK) return;
    const uint8_t* data = job->buffers[FILE_BYTES].data;
    if (item->size > QAR_MAX_COMPRESSED_SIZE)
        item->encoded = EncodedRecord{data, item->size, 0};
    else if (!item->part_failure[0].empty() || !item->part_failure[1].empty())
        item->failure = item->part_failure[item->part_failure[0].empty() ? 1 : 0];
    else if (!choose_stream(data, item->size, &job->buffers[FIRST_STREAM], item->stream_sizes,
                            &item->encoded))
        item->failure = last_error_text();
}

// Stores a file the workers read: the same checks, messages and writes as
// append_record and replace_record.
void store_read_file(GatherRun* run, PipelineJob* job) {
    WalkItem* item = static_cast<WalkItem*>(job->item);
    const char* name = item->name.c_str();
    const std::string failure = read_failure(item->read, item->read_error);
    if (!failure.empty()) {
        fputs(report_line(item->name, failure.c_str()).c_str(), stderr);
        run->not_stored += 1;
        return;
    }
    int ok;
    if (item->add) {
        AppendSlot slot;
        ok = prepare_append(run->archive, item->size, name, &slot);
        if (ok && !item->failure.empty()) {
            set_last_error("%s", item->failure.c_str());
            ok = 0;
        }
        if (ok) ok = store_encoded_record(run->archive, &slot, item->encoded, item->stamp, name);
    } else {
        ok = replace_record(run->archive, job->buffers[FILE_BYTES].data, item->size, item->stamp,
                            name);
    }
    if (ok) run->stored.emplace(record_key(name), item->path);
    if (!ok) {
        fputs(report_line(item->name, display_text(last_error_text()).c_str()).c_str(), stderr);
        run->not_stored += 1;
    }
}

// Writes one step of the walk, in walk order, on the walking thread.
void write_item(void* context, PipelineJob* job) {
    GatherRun* run = static_cast<GatherRun*>(context);
    std::unique_ptr<WalkItem> item(static_cast<WalkItem*>(job->item));
    if (!item->out_line.empty()) fputs(item->out_line.c_str(), stdout);
    if (!item->err_line.empty()) fputs(item->err_line.c_str(), stderr);
    if (!item->store) return;
    store_read_file(run, job);
    auto pending = run->pending.find(record_key(item->name.c_str()));
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
    say(run, std::string(), report_line(name, reason));
}

// Reports a file (or an argument or folder standing for the files it would
// have given) that is not stored, and counts it; out_line goes first.
void refuse(GatherRun* run, const char* name, const char* reason,
            std::string out_line = std::string()) {
    say(run, std::move(out_line), report_line(name, reason));
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
    if (mode == GatherMode::add && find_entry(run->archive, name)) {
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
    item->key = run->archive->key;
    item->path = path;
    item->name = name;
    run->pending[key] += 1;
    // What the job holds at most: the file, and for add the two streams.
    const uint64_t bytes = item->add ? 3 * entry.size : entry.size;
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

// Walks what the pattern finds; false when it finds nothing.
bool walk(GatherRun* run, const std::string& pattern, GatherMode mode, DirectorySet* walked) {
    const std::vector<PlatFindEntry> found = find_sorted(pattern);
    const std::string dir = directory_part(pattern);
    for (const PlatFindEntry& entry : found) {
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

void start_gather(GatherRun* run, ArchiveHandle* archive, unsigned workers) {
    run->archive = archive;
    run->archive_id_valid = plat_stream_id(archive->file, &run->archive_id);
    run->files = 0;
    run->not_stored = 0;
    PipelineSteps steps = {run, load_file, compress_file, choose_file_stream, write_item,
                           CODEC_WORK_AREA_SIZE};
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
