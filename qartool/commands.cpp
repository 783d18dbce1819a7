#include "commands.h"

#include <cstdio>

#include "gather.h"
#include "names.h"
#include "platform.h"
#include "record_ops.h"
#include "wildcard.h"

namespace {

struct HandleCloser {
    ArchiveHandle* handle;
    ~HandleCloser() {
        if (handle) close_archive(handle);
    }
};

// Closes an archive that was written to and gives the command's status. A
// close the system fails (a network file system reports late write errors
// there) may have cost written bytes: status 2 at least, said on stderr.
int close_written(const CommandLine& line, HandleCloser* closer, int status) {
    ArchiveHandle* archive = closer->handle;
    closer->handle = nullptr;
    if (close_archive(archive)) return status;
    fprintf(stderr, "ERROR: %s\n", display_text(last_error_text()).c_str());
    fprintf(stderr, "qartool: closing \"%s\" failed, changes to it may be lost\n",
            display_text(line.archive).c_str());
    return status == 0 ? 2 : status;
}

bool key_matches(const CommandLine& line, ArchiveHandle* archive) {
    if (archive->key == line.key) return true;
    fprintf(stderr, "ERROR: key does not match the qar file\n");
    if (line.key == 0)
        fprintf(stderr, "ERROR: the qar file is protected: give its password with -p\n");
    else if (archive->key == 0)
        fprintf(stderr, "ERROR: the qar file is not protected: give no -p or -k\n");
    else
        fprintf(stderr, "ERROR: wrong password or key\n");
    close_archive(archive);
    return false;
}

// The line after the open failure says why: the store's own text, which
// names the system's reason when the file could not be opened at all.
void print_open_failure(const CommandLine& line, const char* mode, const char* reason) {
    fprintf(stderr, "ERROR: could not open qar \"%s\" for %s\n",
            display_text(line.archive).c_str(), mode);
    fprintf(stderr, "ERROR: %s\n", display_text(reason).c_str());
}


// 1 when the archive open in the handle still is the new empty archive an add
// created: nothing appended through the handle, nothing written behind the
// first table, and the file under its name.
int still_new_and_empty(const CommandLine& line, ArchiveHandle* archive) {
    PlatFileId open_id, named_id;
    return archive->next_index == 0 &&
           plat_stream_size(archive->file) == int64_t(QAR_NEW_ARCHIVE_SIZE) &&
           plat_stream_id(archive->file, &open_id) && plat_path_id(line.archive, 0, &named_id) &&
           plat_same_file(open_id, named_id);
}

// Runs the add or update walk over every file argument. An archive that this
// add created and stored nothing in is removed again, while the writers'
// lock still holds it, so that a typing slip leaves no empty archive behind
// (a writer waiting for the lock then finds no archive and says so).
int gather_each(const CommandLine& line, ArchiveHandle* archive,
                void (*gather_one)(GatherRun*, const char*), bool created) {
    HandleCloser closer{archive};
    GatherRun run;
    start_gather(&run, archive, pipeline_worker_count(line));
    for (int i = 0; i < line.file_count; ++i) gather_one(&run, line.files[i]);
    finish_gather(&run);
    fflush(stdout);
    if (created && still_new_and_empty(line, archive) && plat_remove_file(line.archive))
        fprintf(stderr, "qartool: nothing stored, qar \"%s\" not created\n",
                display_text(line.archive).c_str());
    return close_written(line, &closer,
                         finish_command(Tally{run.files, run.not_stored}, "files not stored"));
}

// 1 when path names a file that can be read and holds no bytes.
int is_empty_file(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file) return 0;
    int empty = fgetc(file) == EOF && !ferror(file);
    fclose(file);
    return empty;
}

// Add, update and delete need at least one file argument; checked before the
// archive is touched.
bool files_named(const CommandLine& line, const char* verb) {
    if (line.file_count > 0) return true;
    fprintf(stderr, "ERROR: no files specified to %s\n", verb);
    return false;
}

const char* compression_name(uint32_t flags) {
    switch (flags & QAR_COMPRESSION_MASK) {
    case QAR_COMPRESSION_NONE: return "None";
    case QAR_COMPRESSION_LZO1X: return "LZO1X";
    case QAR_COMPRESSION_LZO1Y: return "LZO1Y";
    default: return "Unknown";
    }
}

const char* const LIST_SEPARATOR =
    "----- ---------------- --------- --------- ---------- -------- -----------\n";

}  // namespace

unsigned pipeline_worker_count(const CommandLine& line) {
    if (line.workers >= 0) return unsigned(line.workers);
    // The calling thread runs steps too, so one worker fewer than cores; one
    // usable core gains nothing from threads, and no thread is started.
    return plat_usable_cores() - 1;
}

// Opens an existing archive for reading and writing. A missing archive is
// not created: a command that only changes records has nothing to do there.
ArchiveHandle* open_existing_for_write(const CommandLine& line) {
    if (!plat_path_exists(line.archive)) {
        print_open_failure(line, "write", "no such file or directory");
        return nullptr;
    }
    ArchiveHandle* archive = open_archive(line.archive, 1);
    if (!archive) {
        print_open_failure(line, "write", last_error_text());
        return nullptr;
    }
    return key_matches(line, archive) ? archive : nullptr;
}

ArchiveHandle* open_for_read(const CommandLine& line) {
    ArchiveHandle* archive = open_archive(line.archive, 0);
    if (!archive) {
        print_open_failure(line, "read", last_error_text());
        return nullptr;
    }
    return key_matches(line, archive) ? archive : nullptr;
}

int entry_selected(const CommandLine& line, const DirectoryEntry& entry,
                   std::vector<char>* hits) {
    if (line.file_count == 0) return 1;
    RecordName name = record_name(entry);
    int selected = 0;
    for (int i = 0; i < line.file_count; ++i) {
        if (!wildcard_match_nocase(name.text, line.files[i])) continue;
        selected = 1;
        if (!hits) break;
        (*hits)[size_t(i)] = 1;
    }
    return selected;
}

void report_unmatched(const CommandLine& line, const std::vector<char>& hits, const char* done,
                      Tally* tally) {
    for (int i = 0; i < line.file_count; ++i) {
        if (hits[size_t(i)]) continue;
        fprintf(stderr, "ERROR: no record in qar \"%s\" matches \"%s\", nothing %s\n",
                display_text(line.archive).c_str(), display_text(line.files[i]).c_str(), done);
        tally->asked += 1;
        tally->not_done += 1;
    }
}

int finish_command(const Tally& tally, const char* what) {
    if (tally.not_done == 0) return 0;
    fflush(stdout);
    fprintf(stderr, "qartool: %d of %d %s\n", tally.not_done, tally.asked, what);
    return 2;
}

int command_add(const CommandLine& line) {
    if (!files_named(line, "add")) return 1;
    ArchiveHandle* probe = open_archive(line.archive, 0);
    bool created = false;
    if (probe) {
        close_archive(probe);
    } else {
        // An empty file in the archive's place is an add killed between
        // creating the archive and writing it: it holds nothing, and is made
        // the new archive rather than blocking every later add.
        if (is_empty_file(line.archive)) std::remove(line.archive);
        // Another add may create it at the same moment: then its archive is used.
        created = create_archive(line.archive, line.key) != 0;
        if (!created && !plat_path_exists(line.archive)) {
            print_open_failure(line, "write", last_error_text());
            return 1;
        }
    }
    ArchiveHandle* archive = open_archive(line.archive, 1);
    if (!archive) {
        print_open_failure(line, "write", last_error_text());
        return 1;
    }
    if (!key_matches(line, archive)) return 1;
    return gather_each(line, archive, gather_add, created);
}

int command_update(const CommandLine& line) {
    if (!files_named(line, "update")) return 1;
    ArchiveHandle* archive = open_existing_for_write(line);
    if (!archive) return 1;
    return gather_each(line, archive, gather_update, false);
}

int command_delete(const CommandLine& line) {
    if (!files_named(line, "delete")) return 1;
    ArchiveHandle* archive = open_existing_for_write(line);
    if (!archive) return 1;
    HandleCloser closer{archive};
    // The candidates are the live entries as loaded at open, in name order;
    // each pattern walks all of them.
    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    Tally tally{0, 0};
    std::vector<char> hits(size_t(line.file_count), 0);
    for (int i = 0; i < line.file_count; ++i) {
        for (int32_t e = 0; e < count; ++e) {
            RecordName name = record_name(entries[e]);
            if (!wildcard_match_nocase(name.text, line.files[i])) continue;
            hits[size_t(i)] = 1;
            tally.asked += 1;
            // By entry, not by name: of two records that share a name, each
            // one printed is the one marked.
            if (delete_entry(archive, &entries[e])) {
                printf("%s\n", display_text(name.text).c_str());
                continue;
            }
            fprintf(stderr, "ERROR: could not delete \"%s\" from qar \"%s\"\n",
                    display_text(name.text).c_str(), display_text(line.archive).c_str());
            fprintf(stderr, "ERROR: %s\n", display_text(last_error_text()).c_str());
            tally.not_done += 1;
        }
    }
    report_unmatched(line, hits, "deleted", &tally);
    return close_written(line, &closer, finish_command(tally, "records not deleted"));
}

int command_list(const CommandLine& line) {
    ArchiveHandle* archive = open_for_read(line);
    if (!archive) return 1;
    HandleCloser closer{archive};
    printf("Num   Name             Size      Compr.    Date       Time     Compression\n");
    printf("%s", LIST_SEPARATOR);

    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    int rows = 0;
    int64_t size_sum = 0, stored_sum = 0;  // wide enough never to wrap
    for (int32_t e = 0; e < count; ++e) {
        const DirectoryEntry& entry = entries[e];
        if (!entry_selected(line, entry)) continue;
        uint32_t method = entry.flags & QAR_COMPRESSION_MASK;
        uint32_t size = (method == QAR_COMPRESSION_LZO1X || method == QAR_COMPRESSION_LZO1Y)
                            ? flags_uncompressed_size(entry.flags)
                            : entry.stored_size;
        // A time that cannot be converted shows as question marks of the same width.
        char when[32] = "?\?\?\?-?\?-?\? ?\?:?\?:?\?";
        PlatDateTime t;
        if (decode_time_stamp(entry.time, 1, &t))
            snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                     t.hour, t.minute, t.second);
        printf("%5d %*s %9u %9u %s %s %s\n", entry.index, int(QAR_NAME_LENGTH),
               display_text(record_name(entry).text).c_str(), size, entry.stored_size, when,
               compression_name(entry.flags), "");
        rows += 1;
        size_sum += size;
        stored_sum += entry.stored_size;
    }
    printf("%s", LIST_SEPARATOR);
    printf("%5d records          %9lld %9lld\n", rows, (long long)size_sum,
           (long long)stored_sum);
    return 0;
}
