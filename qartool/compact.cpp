// The compact command: rewrites an archive with only its live records
// (qar_compact), after every record has been checked as the test command
// checks it: a damaged one stops the compaction before anything is written.
#include <cstdio>

#include "commands.h"
#include "names.h"
#include "report.h"

namespace {

struct DamageReport {
    const CommandLine* line;
    qar_archive* archive;
    int damaged;
};

void report_damaged_record(void* context, size_t position, const char* message) {
    DamageReport* report = static_cast<DamageReport*>(context);
    qar_entry entry;
    qar_entry_at(report->archive, position, &entry, nullptr);
    report_damaged(report->line->archive, entry.name, message);
    report->damaged += 1;
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
    DamageReport damage = {&line, archive, 0};
    qar_compact_result result = {};
    qar_error error;
    // The handle is gone once qar_compact returns.
    const qar_status status = qar_compact(archive, report_damaged_record, &damage, &result, &error);
    if (status == QAR_OK) {
        printf("%d records, %lld bytes before, %lld bytes after\n", count,
               (long long)result.size_before, (long long)result.size_after);
        return 0;
    }
    if (damage.damaged > 0 && status == QAR_DAMAGED)
        return finish_command(Tally{count, damage.damaged}, "records damaged, qar not compacted");
    report_failure("could not compact qar \"" + display_text(line.archive) + "\"", error);
    return 1;
}
