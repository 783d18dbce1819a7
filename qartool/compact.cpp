// The compact command: rewrites an archive with only its live records, in
// index order, after every record has been checked as the test command
// checks it: a damaged one stops the compaction before anything is written.
// Records are copied as they are stored; with -z a record stored
// uncompressed is compressed as add stores it instead, so that an archive
// changed by update and then compacted is the archive add would have made.
//
// Both the checks and the compression run on the record pipeline's workers;
// the calling thread hands the records to the rewrite in index order, so the
// new archive is the same for any number of workers.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "encode_steps.h"
#include "names.h"
#include "record_pipeline.h"
#include "report.h"

namespace {

struct CompactItem {
    size_t position;     // in the archive's snapshot
    bool encode;         // compressed now (-z, stored uncompressed)
    // Filled by the workers when encode is set.
    qar_error read_outcome;
    EncodeJob encoding;  // owned
    ~CompactItem() { free_encode_job(&encoding); }
};

struct CompactRun {
    const qar_archive* archive;  // the workers only read through it
    uint32_t key;
    qar_rewrite* rewrite;        // only the calling thread hands records to it
    qar_error failure;           // the first failure; nothing is handed in after it
};

// The pipeline's buffer for a record to compress: its plain bytes.
constexpr int PLAIN_BYTES = 0;

int load_item(void* context, PipelineJob* job, void*) {
    const CompactRun* run = static_cast<const CompactRun*>(context);
    CompactItem* item = static_cast<CompactItem*>(job->item);
    if (!item->encode) return 0;
    qar_entry entry;
    qar_entry_at(run->archive, item->position, &entry, nullptr);
    uint8_t* plain = reserve_buffer(&job->buffers[PLAIN_BYTES], entry.size);
    size_t size = 0;
    if (qar_read(run->archive, item->position, plain, entry.size, &size, &item->read_outcome) !=
        QAR_OK)
        return 0;
    return begin_encode_job(&item->encoding, plain, size, run->key, 0);
}

void encode_part(void*, PipelineJob* job, int part, void* workspace) {
    encode_job_part(&static_cast<CompactItem*>(job->item)->encoding, part, workspace);
}

void end_encoding(void*, PipelineJob* job) {
    CompactItem* item = static_cast<CompactItem*>(job->item);
    if (item->read_outcome.status == QAR_OK) end_encode_job(&item->encoding);
}

void write_item(void* context, PipelineJob* job) {
    CompactRun* run = static_cast<CompactRun*>(context);
    std::unique_ptr<CompactItem> item(static_cast<CompactItem*>(job->item));
    if (run->failure.status != QAR_OK) return;
    if (!item->encode) {
        qar_rewrite_copy(run->rewrite, item->position, &run->failure);
        return;
    }
    run->failure = item->read_outcome.status != QAR_OK ? item->read_outcome
                                                        : item->encoding.failure;
    if (run->failure.status == QAR_OK)
        qar_rewrite_encoded(run->rewrite, item->position, item->encoding.encoded, &run->failure);
}

// The live records of the snapshot by position, in index order.
std::vector<size_t> index_order(const qar_archive* archive) {
    std::vector<size_t> positions;
    std::vector<qar_entry> entries(qar_count(archive));
    for (size_t e = 0; e < entries.size(); ++e) {
        qar_entry_at(archive, e, &entries[e], nullptr);
        if (!entries[e].deleted) positions.push_back(e);
    }
    std::stable_sort(positions.begin(), positions.end(),
                     [&entries](size_t a, size_t b) {
                         return entries[a].index < entries[b].index;
                     });
    return positions;
}

// Hands every record to a rewrite of the archive (which closes it) and
// commits it; the pipeline's workers compress the records that -z asks for.
qar_status rewrite_archive(const CommandLine& line, qar_archive* archive,
                           const std::vector<size_t>& positions, qar_compact_result* result,
                           qar_error* error) {
    CompactRun run = {archive, qar_archive_key(archive), nullptr, {}};
    if (qar_rewrite_begin(archive, &run.rewrite, error) != QAR_OK) return error->status;
    PipelineSteps steps = {&run,       load_item,           encode_part,          end_encoding,
                           write_item, make_encode_workspace, free_encode_workspace};
    Pipeline* pipeline = start_pipeline(steps, record_pipeline_limits(pipeline_worker_count(line)));
    for (size_t position : positions) {
        qar_entry entry;
        qar_entry_at(archive, position, &entry, nullptr);
        CompactItem* item = new CompactItem{};
        item->position = position;
        item->encode = line.compress_plain && entry.method == QAR_METHOD_NONE;
        // What the job holds at most: the record, its masked copy and two streams.
        pipeline_push(pipeline, item, item->encode ? 4 * uint64_t(entry.size) : 0,
                      item->encode ? 1 : 0);
    }
    stop_pipeline(pipeline);
    if (run.failure.status != QAR_OK) {
        qar_rewrite_abandon(run.rewrite);
        *error = run.failure;
        return error->status;
    }
    return qar_rewrite_commit(run.rewrite, result, error);
}

}  // namespace

int command_compact(const CommandLine& line) {
    if (line.file_count > 0) {
        fprintf(stderr, "ERROR: c compacts the whole qar and takes no file names\n");
        return 1;
    }
    // Opened for writing, which holds the writers' lock until the compacted
    // archive has replaced it: an add waiting meanwhile then adds to that one.
    qar_archive* archive = open_existing_for_write(line);
    if (!archive) return 1;
    const int count = int(qar_count(archive));
    const std::vector<size_t> positions = index_order(archive);
    const int damaged = test_records(line, archive, positions, false);
    if (damaged > 0) {
        qar_close(archive, nullptr);
        return finish_command(Tally{count, damaged}, "records damaged, qar not compacted");
    }
    qar_compact_result result = {};
    qar_error error;
    // The handle is gone once the rewrite ends.
    if (rewrite_archive(line, archive, positions, &result, &error) != QAR_OK) {
        report_failure("could not compact qar \"" + display_text(line.archive) + "\"", error);
        return 1;
    }
    printf("%d records, %lld bytes before, %lld bytes after\n", count,
           (long long)result.size_before, (long long)result.size_after);
    return 0;
}
