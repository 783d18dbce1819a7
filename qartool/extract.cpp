// The extract command: each selected record becomes a file of its name in
// the current directory, or in the folder of -o (made with its parents when
// missing). A record is written to a temporary file in that folder first and
// renamed over its destination only once it is complete and timed, so a
// failed write never destroys the file that was there and a symbolic link at
// the destination is replaced rather than followed. With -n nothing that
// exists at the destination is ever replaced. Names that are not plain
// file names are refused, so nothing is ever written outside that folder,
// nor over the archive being read, wherever it lies.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "names.h"
#include "platform.h"
#include "record_pipeline.h"
#include "report.h"

namespace {

// 1 when writing to path would replace or write through to the archive (the
// path itself, or what a link there leads to).
int is_the_archive(const char* path, const PlatFileId& archive_id) {
    PlatFileId id;
    if (plat_path_id(path, 0, &id) && plat_same_file(id, archive_id)) return 1;
    if (plat_path_id(path, 1, &id) && plat_same_file(id, archive_id)) return 1;
    return 0;
}

// error is the errno the failed call left, 0 when it left none (a system
// whose calls do not set it): then the reason line is left out.
void report_write_failure(const char* name, int error) {
    fprintf(stderr, "ERROR: could not write to file \"%s\"\n", display_text(name).c_str());
    if (error != 0) fprintf(stderr, "ERROR: %s\n", strerror(error));
}

// With -n, a record whose file exists is kept on a line of its own on
// standard output; it is not a failure.
void report_kept(const char* name) {
    printf("\"%s\": kept, a file of that name exists\n", display_text(name).c_str());
}

// One selected record, written in listing order by the pipeline.
struct ExtractItem {
    size_t position;              // in the archive's snapshot
    qar_entry entry;
    bool plain;                   // a plain file name: read and written
    // Filled by the worker.
    const uint8_t* data;          // the record's bytes in the job's buffer, null when unread
    size_t size;
    qar_error outcome;            // the read's
};

struct ExtractRun {
    const CommandLine* line;
    qar_archive* archive;          // workers only read records through it
    const PlatFileId* archive_id;  // null when unknown
    std::string folder;            // where the files go
    Tally tally;
};

// The pipeline's buffer for a record: its plain bytes.
constexpr int PLAIN_BYTES = 0;

// Reads and decodes the record on a worker, unless its name is refused.
int read_item(void* context, PipelineJob* job, void*) {
    ExtractRun* run = static_cast<ExtractRun*>(context);
    ExtractItem* item = static_cast<ExtractItem*>(job->item);
    if (!item->plain) return 0;
    // Into the job's buffer, grown only once the library has checked the
    // entry against the file (a damaged entry may claim 4 GiB).
    ByteBuffer* buffer = &job->buffers[PLAIN_BYTES];
    qar_status status = qar_read(run->archive, item->position, buffer->data, buffer->capacity,
                                 &item->size, &item->outcome);
    if (status == QAR_BUFFER_TOO_SMALL) {
        reserve_buffer(buffer, item->size);
        status = qar_read(run->archive, item->position, buffer->data, buffer->capacity,
                          &item->size, &item->outcome);
    }
    if (status == QAR_OK) item->data = buffer->data;
    return 0;
}

// Writes one record out; 1 when its file is in place, 0 when a line on
// standard error said why not.
int write_record_file(const ExtractRun& run, const ExtractItem& item) {
    const char* name = item.entry.name;
    if (!item.plain) {
        fprintf(stderr, "ERROR: not extracting \"%s\": not a plain file name\n",
                display_text(name).c_str());
        return 0;
    }
    // Decided here, in listing order, after every file before it is written.
    const std::string path = run.folder + "/" + name;
    const bool keep_existing = run.line->keep_existing != 0;
    if (keep_existing && plat_path_exists(path.c_str())) {
        report_kept(name);
        return 1;
    }
    if (run.archive_id && is_the_archive(path.c_str(), *run.archive_id)) {
        fprintf(stderr, "ERROR: not extracting \"%s\" over the qar file being read\n",
                display_text(name).c_str());
        return 0;
    }
    if (!item.data) {
        report_failure("could not read \"" + display_text(name) + "\" from qar \"" +
                           display_text(run.line->archive) + "\"",
                       item.outcome);
        return 0;
    }
    errno = 0;
    PlatOutFile* out = plat_create_temp(run.folder.c_str());
    if (!out) {
        report_write_failure(name, errno);
        return 0;
    }
    if (!plat_write_all(out, item.data, item.size)) {
        const int error = errno;
        plat_discard_file(out);
        report_write_failure(name, error);
        return 0;
    }
    // A time that cannot be converted leaves the file's time as written.
    qar_datetime t;
    if (qar_stamp_to_datetime(item.entry.stamp, 0, &t))
        plat_set_write_time(out, PlatDateTime{t.year, t.month, t.day, t.hour, t.minute, t.second});
    errno = 0;
    // With -n the file takes the name only where nothing has it, so that a
    // file that appeared meanwhile is kept too.
    const int committed = keep_existing ? plat_commit_new_file(out, path.c_str())
                                        : plat_commit_file(out, path.c_str());
    if (!committed && keep_existing && errno == EEXIST) {
        report_kept(name);
        return 1;
    }
    if (!committed) {
        report_write_failure(name, errno);
        return 0;
    }
    // Named only once the file is in place under its name.
    printf("%s\n", display_text(name).c_str());
    return 1;
}

// The pipeline's write step, on the calling thread.
void write_item(void* context, PipelineJob* job) {
    ExtractRun* run = static_cast<ExtractRun*>(context);
    std::unique_ptr<ExtractItem> item(static_cast<ExtractItem*>(job->item));
    if (!write_record_file(*run, *item)) run->tally.not_done += 1;
}

}  // namespace

int command_extract(const CommandLine& line) {
    qar_archive* archive = open_for_read(line);
    if (!archive) return 1;
    PlatFileId archive_id;
    int have_id = qar_archive_file_id(archive, &archive_id.volume, &archive_id.file);
    // Made only once the archive is open and the key matches, so that a
    // command that cannot run leaves no folder behind.
    std::string folder = line.output_dir ? line.output_dir : ".";
    for (char& c : folder)
        if (c == '\\') c = '/';
    errno = 0;
    if (line.output_dir && !plat_make_directories(folder.c_str())) {
        const int error = errno;
        fprintf(stderr, "ERROR: could not create folder \"%s\"%s%s\n",
                display_text(line.output_dir).c_str(), error != 0 ? ": " : "",
                error != 0 ? strerror(error) : "");
        qar_close(archive, nullptr);
        return 1;
    }

    // Workers read and decode the records; this thread writes the files in
    // listing order, so the files and the output are the same for any number
    // of workers.
    ExtractRun run = {&line, archive, have_id ? &archive_id : nullptr, folder, Tally{0, 0}};
    PipelineSteps steps = {&run, read_item, nullptr, nullptr, write_item, nullptr, nullptr};
    Pipeline* pipeline = start_pipeline(steps, record_pipeline_limits(pipeline_worker_count(line)));
    std::vector<char> hits(size_t(line.file_count), 0);
    const size_t count = qar_count(archive);
    for (size_t e = 0; e < count; ++e) {
        ExtractItem* item = new ExtractItem{};
        item->position = e;
        qar_entry_at(archive, e, &item->entry, nullptr);
        if (!entry_selected(line, item->entry, &hits)) {
            delete item;
            continue;
        }
        run.tally.asked += 1;
        item->plain = is_plain_file_name(item->entry.name) != 0;
        // What the job holds: the record's bytes and, compressed, its stream.
        const uint64_t stream = item->entry.method != QAR_METHOD_NONE ? item->entry.size : 0;
        const uint64_t bytes = item->plain ? uint64_t(item->entry.stored_size) + stream : 0;
        pipeline_push(pipeline, item, bytes, item->plain ? 1 : 0);
    }
    stop_pipeline(pipeline);
    qar_close(archive, nullptr);
    report_unmatched(line, hits, "extracted", &run.tally);
    return finish_command(run.tally, "records not extracted");
}
