// The test command: reads and decodes every selected record completely and
// writes nothing, so that damage shows before an extract or a compaction
// meets it. The format holds no checksums: a flipped byte in a record stored
// as it is, and many flips inside a compressed stream, cannot be seen.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "names.h"
#include "report.h"

int command_test(const CommandLine& line) {
    qar_archive* archive = open_for_read(line);
    if (!archive) return 1;
    if (qar_interrupted_append(archive))
        printf("qar \"%s\" was left by an interrupted add: its last record is complete, and "
               "the next add completes the qar\n",
               display_text(line.archive).c_str());
    const size_t count = qar_count(archive);
    Tally tally{0, 0};
    std::vector<char> hits(size_t(line.file_count), 0);
    for (size_t e = 0; e < count; ++e) {
        qar_entry entry;
        qar_entry_at(archive, e, &entry, nullptr);
        if (!entry_selected(line, entry, &hits)) continue;
        tally.asked += 1;
        qar_error error;
        const bool sound = qar_test(archive, e, &error) == QAR_OK;
        if (!sound) {
            exit_if_out_of_memory(error);
            report_damaged(line.archive, entry.name, error.message);
            tally.not_done += 1;
        }
        printf("%-16s %s\n", display_text(entry.name).c_str(), sound ? "OK" : "damaged");
    }
    qar_close(archive, nullptr);
    printf("%d records tested, %d damaged\n", tally.asked, tally.not_done);
    fflush(stdout);
    const int damaged = tally.not_done;
    report_unmatched(line, hits, "tested", &tally);
    return finish_command(tally, damaged == tally.not_done ? "records damaged"
                                                           : "records damaged or not found");
}
