// The test command: reads and decodes every selected record completely and
// writes nothing, so that damage shows before an extract or a compaction
// meets it. The format holds no checksums: a flipped byte in a record stored
// as it is, and many flips inside a compressed stream, cannot be seen.
//
// The records are tested on the record pipeline's workers and reported on
// the calling thread in the order asked, so the output is the same for any
// number of workers.
#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "names.h"
#include "record_pipeline.h"
#include "report.h"

namespace {

struct TestItem {
    size_t position;   // in the archive's snapshot
    qar_entry entry;
    qar_error outcome;  // qar_test's, filled by the worker
};

struct TestRun {
    const CommandLine* line;
    const qar_archive* archive;  // the workers only read through it
    bool list_each;
    int damaged;
};

int test_item(void* context, PipelineJob* job, void*) {
    const TestRun* run = static_cast<const TestRun*>(context);
    TestItem* item = static_cast<TestItem*>(job->item);
    qar_test(run->archive, item->position, &item->outcome);
    return 0;
}

void report_item(void* context, PipelineJob* job) {
    TestRun* run = static_cast<TestRun*>(context);
    std::unique_ptr<TestItem> item(static_cast<TestItem*>(job->item));
    const bool sound = item->outcome.status == QAR_OK;
    if (!sound) {
        exit_if_out_of_memory(item->outcome);
        report_damaged(run->line->archive, item->entry.name, item->outcome.message);
        run->damaged += 1;
    }
    if (run->list_each)
        printf("%-16s %s\n", display_text(item->entry.name).c_str(), sound ? "OK" : "damaged");
}

}  // namespace

int test_records(const CommandLine& line, const qar_archive* archive,
                 const std::vector<size_t>& positions, bool list_each) {
    TestRun run = {&line, archive, list_each, 0};
    PipelineSteps steps = {&run, test_item, nullptr, nullptr, report_item, nullptr, nullptr};
    Pipeline* pipeline = start_pipeline(steps, record_pipeline_limits(pipeline_worker_count(line)));
    for (size_t position : positions) {
        TestItem* item = new TestItem{};
        item->position = position;
        qar_entry_at(archive, position, &item->entry, nullptr);
        // What the test holds: the record's bytes and, compressed, its stream.
        const uint64_t stream = item->entry.method != QAR_METHOD_NONE ? item->entry.stored_size : 0;
        pipeline_push(pipeline, item, uint64_t(item->entry.size) + stream, 1);
    }
    stop_pipeline(pipeline);
    return run.damaged;
}

int command_test(const CommandLine& line) {
    qar_archive* archive = open_for_read(line);
    if (!archive) return 1;
    if (qar_interrupted_append(archive))
        printf("qar \"%s\" was left by an interrupted add: its last record is complete, and "
               "the next add completes the qar\n",
               display_text(line.archive).c_str());
    const size_t count = qar_count(archive);
    std::vector<char> hits(size_t(line.file_count), 0);
    std::vector<size_t> positions;
    for (size_t e = 0; e < count; ++e) {
        qar_entry entry;
        qar_entry_at(archive, e, &entry, nullptr);
        if (entry_selected(line, entry, &hits)) positions.push_back(e);
    }
    Tally tally{int(positions.size()), test_records(line, archive, positions, true)};
    qar_close(archive, nullptr);
    printf("%d records tested, %d damaged\n", tally.asked, tally.not_done);
    fflush(stdout);
    const int damaged = tally.not_done;
    report_unmatched(line, hits, "tested", &tally);
    return finish_command(tally, damaged == tally.not_done ? "records damaged"
                                                           : "records damaged or not found");
}
