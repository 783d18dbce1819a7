// The compact command: rewrites an archive with only its live records.
//
// The new archive is exactly what appending each live record's stored bytes,
// flags and time, in index order, to a new archive with the same key writes:
// nothing is decoded into it or compressed again. It is built in a temporary
// file beside the archive (with the archive's permission bits), flushed to
// the disk, and only then renamed over the archive, so that a kill or a
// failure at any point leaves the archive as it was; a temporary file left
// by a kill has a name of its own and is ignored by the next compaction.
// Every record is checked first, as the test command checks it: a damaged
// one stops the compaction before anything is written.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "names.h"
#include "platform.h"
#include "record_ops.h"

namespace {

// Appends the live records, in the order given, to the empty archive at
// path; 1 when all are stored and flushed to the disk. *size_out gets the
// new archive's size.
int copy_records(ArchiveHandle* from, const std::vector<DirectoryEntry>& records,
                 const char* path, int64_t* size_out) {
    ArchiveHandle* to = open_archive(path, 1);
    if (!to) return 0;
    int ok = 1;
    for (size_t i = 0; ok && i < records.size(); ++i) {
        const DirectoryEntry& entry = records[i];
        uint8_t* stored = read_stored_entry(from, &entry);
        RecordName name = record_name(entry);
        AppendSlot slot;
        ok = stored && prepare_append(to, entry.stored_size, name.text, &slot) &&
             store_encoded_record(to, &slot, EncodedRecord{stored, entry.stored_size, entry.flags},
                                  entry.time, name.text);
        free(stored);
    }
    *size_out = plat_stream_size(to->file);
    if (ok && !plat_sync_stream(to->file)) {
        set_last_error("Could not flush file \"%s\" to the disk", to->base_name);
        ok = 0;
    }
    if (!close_archive(to)) ok = 0;  // written bytes may be lost
    return ok;
}

// Builds the compacted archive beside target and renames it over target.
// Closes from either way, after the rename: from holds the writers' lock,
// and a writer waiting for it must find the compacted archive under the name
// once it has the lock (the platform layer opens files so that they can be
// replaced while open; where the system cannot replace an open file, from is
// closed just before).
int rewrite(ArchiveHandle* from, const std::vector<DirectoryEntry>& records,
            const std::string& target, int64_t* size_out) {
    std::string temp;
    FILE* file = plat_create_temp_beside(target.c_str(), &temp);
    if (!file) {
        close_archive(from);
        set_last_error("Could not create a temporary file beside \"%s\"", target.c_str());
        return 0;
    }
    plat_remove_on_interrupt(temp.c_str());
    int ok = write_new_archive(file, from->key, temp.c_str());
    if (!plat_close_stream(file) && ok) {
        set_last_error("Could not close file \"%s\": %s", temp.c_str(), strerror(errno));
        ok = 0;
    }
    ok = ok && copy_records(from, records, temp.c_str(), size_out);
    const bool close_first = !plat_can_replace_open_file();
    if (close_first) close_archive(from);
    if (ok && !plat_replace_file(temp.c_str(), target.c_str())) {
        set_last_error("Could not rename \"%s\" over \"%s\"", temp.c_str(), target.c_str());
        ok = 0;
    }
    if (!close_first) close_archive(from);
    if (!ok) plat_remove_file(temp.c_str());
    plat_forget_on_interrupt();
    return ok;
}

}  // namespace

int command_compact(const CommandLine& line) {
    if (line.file_count > 0) {
        fprintf(stderr, "ERROR: c compacts the whole qar and takes no file names\n");
        return 1;
    }
    // Opened for writing, which holds the writers' lock until the compacted
    // archive has replaced it: an add waiting meanwhile then adds to that one.
    ArchiveHandle* archive = open_existing_for_write(line);
    if (!archive) return 1;
    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    std::vector<DirectoryEntry> records(entries, entries + count);
    std::stable_sort(records.begin(), records.end(),
                     [](const DirectoryEntry& a, const DirectoryEntry& b) {
                         return a.index < b.index;
                     });
    Tally damaged{count, 0};
    for (const DirectoryEntry& entry : records) {
        if (check_entry(archive, &entry)) continue;
        report_damaged(line, entry);
        damaged.not_done += 1;
    }
    if (damaged.not_done > 0) {
        close_archive(archive);
        return finish_command(damaged, "records damaged, qar not compacted");
    }
    const int64_t before = plat_stream_size(archive->file);
    int64_t after = 0;
    // A link stays a link: the file it leads to is the one replaced.
    if (!rewrite(archive, records, plat_link_target(line.archive), &after)) {
        fprintf(stderr, "ERROR: could not compact qar \"%s\"\nERROR: %s\n",
                display_text(line.archive).c_str(), display_text(last_error_text()).c_str());
        return 1;
    }
    printf("%d records, %lld bytes before, %lld bytes after\n", int(count), (long long)before,
           (long long)after);
    return 0;
}
