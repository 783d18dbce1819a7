// The test command: reads and decodes every selected record completely and
// writes nothing, so that damage shows before an extract or a compaction
// meets it. The format holds no checksums: a flipped byte in a record stored
// as it is, and many flips inside a compressed stream, cannot be seen.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "names.h"
#include "record_ops.h"

void report_damaged(const CommandLine& line, const DirectoryEntry& entry) {
    fprintf(stderr, "ERROR: \"%s\" in qar \"%s\" is damaged: %s\n",
            display_text(record_name(entry).text).c_str(), display_text(line.archive).c_str(),
            display_text(last_error_text()).c_str());
}

int command_test(const CommandLine& line) {
    ArchiveHandle* archive = open_for_read(line);
    if (!archive) return 1;
    if (archive->left_by_interrupted_append)
        printf("qar \"%s\" was left by an interrupted add: its last record is complete, and "
               "the next add completes the qar\n",
               display_text(line.archive).c_str());
    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    Tally tally{0, 0};
    std::vector<char> hits(size_t(line.file_count), 0);
    for (int32_t e = 0; e < count; ++e) {
        if (!entry_selected(line, entries[e], &hits)) continue;
        tally.asked += 1;
        int sound = check_entry(archive, &entries[e]);
        if (!sound) {
            report_damaged(line, entries[e]);
            tally.not_done += 1;
        }
        printf("%-16s %s\n", display_text(record_name(entries[e]).text).c_str(),
               sound ? "OK" : "damaged");
    }
    close_archive(archive);
    printf("%d records tested, %d damaged\n", tally.asked, tally.not_done);
    fflush(stdout);
    const int damaged = tally.not_done;
    report_unmatched(line, hits, "tested", &tally);
    return finish_command(tally, damaged == tally.not_done ? "records damaged"
                                                           : "records damaged or not found");
}
