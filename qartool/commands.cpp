#include "commands.h"

#include <cstdio>

#include "gather.h"
#include "names.h"
#include "platform.h"
#include "report.h"
#include "wildcard.h"

namespace {

struct HandleCloser {
    qar_archive* handle;
    ~HandleCloser() {
        if (handle) qar_close(handle, nullptr);
    }
};

// Closes an archive that was written to and gives the command's status. A
// close the system fails (a network file system reports late write errors
// there) may have cost written bytes: status 2 at least, said on stderr.
int close_written(const CommandLine& line, HandleCloser* closer, int status) {
    qar_archive* archive = closer->handle;
    closer->handle = nullptr;
    qar_error error;
    if (qar_close(archive, &error) == QAR_OK) return status;
    report_close_failure(line.archive, error);
    return status == 0 ? 2 : status;
}

bool key_matches(const CommandLine& line, qar_archive* archive) {
    const uint32_t key = qar_archive_key(archive);
    if (key == line.key) return true;
    fprintf(stderr, "ERROR: key does not match the qar file\n");
    if (line.key == 0)
        fprintf(stderr, "ERROR: the qar file is protected: give its password with -p\n");
    else if (key == 0)
        fprintf(stderr, "ERROR: the qar file is not protected: give no -p or -k\n");
    else
        fprintf(stderr, "ERROR: wrong password or key\n");
    qar_close(archive, nullptr);
    return false;
}

// The line after the open failure says why: the library's message, which
// names the system's reason when the file could not be opened at all.
void print_open_failure(const CommandLine& line, const char* mode, const qar_error& error) {
    report_failure("could not open qar \"" + display_text(line.archive) + "\" for " + mode,
                   error);
}

// Another add, update or delete holds the archive; said once, after a second.
void print_waiting(void*, const char* path) {
    fprintf(stderr, "waiting for another process to finish writing \"%s\"\n",
            display_text(path).c_str());
}

// A temporary file that the library writes beside the archive (a new
// archive, a compaction) is removed when the process is interrupted.
void note_temporary_file(void*, const char* path) {
    if (path != nullptr)
        plat_remove_on_interrupt(path);
    else
        plat_forget_on_interrupt();
}

const qar_open_options OPEN_OPTIONS = {print_waiting, nullptr, note_temporary_file, nullptr};

// Opens the archive as mode says, with the key of the command line for a new
// one; the key is compared by key_matches. Prints why when it fails.
qar_archive* open_archive(const CommandLine& line, unsigned mode, const char* purpose) {
    qar_archive* archive = nullptr;
    qar_error error;
    if (qar_open_with(line.archive, mode | QAR_ANY_KEY, line.key, &OPEN_OPTIONS, &archive,
                      &error) != QAR_OK) {
        print_open_failure(line, purpose, error);
        return nullptr;
    }
    return key_matches(line, archive) ? archive : nullptr;
}

// 1 when the archive open in the handle still is the new empty archive an add
// created: nothing written behind the first table, and the file under its
// name.
int still_new_and_empty(const CommandLine& line, qar_archive* archive) {
    PlatFileId open_id, named_id;
    return qar_archive_size(archive) == 3632 &&
           qar_archive_file_id(archive, &open_id.volume, &open_id.file) &&
           plat_path_id(line.archive, 0, &named_id) && plat_same_file(open_id, named_id);
}

// Runs the add, update or sync walk over every file argument. An archive that
// this run created and stored nothing in is removed again, while the writers'
// lock still holds it, so that a typing slip leaves no empty archive behind
// (a writer waiting for the lock then finds no archive and says so). A sync
// (reader given: the workers' own handle) prints its counts instead of
// progress lines.
int gather_each(const CommandLine& line, qar_archive* archive,
                void (*gather_one)(GatherRun*, const char*), bool created,
                qar_archive* reader = nullptr) {
    HandleCloser closer{archive};
    GatherRun run;
    start_gather(&run, archive, pipeline_worker_count(line));
    run.excludes = line.excludes;
    run.reader = reader;
    run.quiet = reader != nullptr;
    for (int i = 0; i < line.file_count; ++i) gather_one(&run, line.files[i]);
    finish_gather(&run);
    if (reader != nullptr)
        printf("%d added, %d replaced, %d unchanged\n", run.added, run.replaced, run.unchanged);
    fflush(stdout);
    if (created && still_new_and_empty(line, archive) && plat_remove_file(line.archive))
        fprintf(stderr, "qartool: nothing stored, qar \"%s\" not created\n",
                display_text(line.archive).c_str());
    return close_written(line, &closer,
                         finish_command(Tally{run.files, run.not_stored}, "files not stored"));
}

// Add, update and delete need at least one file argument; checked before the
// archive is touched.
bool files_named(const CommandLine& line, const char* verb) {
    if (line.file_count > 0) return true;
    fprintf(stderr, "ERROR: no files specified to %s\n", verb);
    return false;
}

const char* compression_name(qar_method method) {
    switch (method) {
    case QAR_METHOD_NONE: return "None";
    case QAR_METHOD_LZO1X: return "LZO1X";
    case QAR_METHOD_LZO1Y: return "LZO1Y";
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
qar_archive* open_existing_for_write(const CommandLine& line) {
    if (!plat_path_exists(line.archive)) {
        qar_error missing = {QAR_NOT_FOUND, "no such file or directory"};
        print_open_failure(line, "write", missing);
        return nullptr;
    }
    return open_archive(line, QAR_WRITE, "write");
}

qar_archive* open_for_read(const CommandLine& line) { return open_archive(line, QAR_READ, "read"); }

int entry_selected(const CommandLine& line, const qar_entry& entry, std::vector<char>* hits) {
    if (matches_any(entry.name, line.excludes)) return 0;
    if (line.file_count == 0) return 1;
    int selected = 0;
    for (int i = 0; i < line.file_count; ++i) {
        if (!wildcard_match_nocase(entry.name, line.files[i])) continue;
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
    report_summary(tally.not_done, tally.asked, what);
    return 2;
}

int command_add(const CommandLine& line) {
    if (!files_named(line, "add")) return 1;
    // A missing archive is created with the command's key; another add may
    // create it at the same moment, and then its archive is used.
    qar_archive* archive = open_archive(line, QAR_CREATE, "write");
    if (!archive) return 1;
    return gather_each(line, archive, gather_add, qar_archive_created(archive) != 0);
}

int command_update(const CommandLine& line) {
    if (!files_named(line, "update")) return 1;
    qar_archive* archive = open_existing_for_write(line);
    if (!archive) return 1;
    return gather_each(line, archive, gather_update, false);
}

int command_sync(const CommandLine& line) {
    if (!files_named(line, "sync")) return 1;
    qar_archive* archive = open_archive(line, QAR_CREATE, "write");
    if (!archive) return 1;
    // The workers compare files with records through a handle of their own,
    // opened once the writers' lock is held, so it sees the same records.
    qar_archive* reader = open_archive(line, QAR_READ, "read");
    if (!reader) {
        qar_close(archive, nullptr);
        return 1;
    }
    HandleCloser reading{reader};
    return gather_each(line, archive, gather_sync, qar_archive_created(archive) != 0, reader);
}

int command_delete(const CommandLine& line) {
    if (!files_named(line, "delete")) return 1;
    qar_archive* archive = open_existing_for_write(line);
    if (!archive) return 1;
    HandleCloser closer{archive};
    // The candidates are the live entries as loaded at open, in name order;
    // each pattern walks all of them.
    const size_t count = qar_count(archive);
    Tally tally{0, 0};
    std::vector<char> hits(size_t(line.file_count), 0);
    for (int i = 0; i < line.file_count; ++i) {
        for (size_t e = 0; e < count; ++e) {
            qar_entry entry;
            qar_entry_at(archive, e, &entry, nullptr);
            if (!wildcard_match_nocase(entry.name, line.files[i]) ||
                matches_any(entry.name, line.excludes))
                continue;
            hits[size_t(i)] = 1;
            tally.asked += 1;
            // By position, not by name: of two records that share a name,
            // each one printed is the one marked.
            qar_error error;
            if (qar_delete(archive, e, &error) == QAR_OK) {
                printf("%s\n", display_text(entry.name).c_str());
                continue;
            }
            report_failure("could not delete \"" + display_text(entry.name) + "\" from qar \"" +
                               display_text(line.archive) + "\"",
                           error);
            tally.not_done += 1;
        }
    }
    report_unmatched(line, hits, "deleted", &tally);
    return close_written(line, &closer, finish_command(tally, "records not deleted"));
}

int command_list(const CommandLine& line) {
    qar_archive* archive = open_for_read(line);
    if (!archive) return 1;
    HandleCloser closer{archive};
    printf("Num   Name             Size      Compr.    Date       Time     Compression\n");
    printf("%s", LIST_SEPARATOR);

    const size_t count = qar_count(archive);
    int rows = 0;
    int64_t size_sum = 0, stored_sum = 0;  // wide enough never to wrap
    for (size_t e = 0; e < count; ++e) {
        qar_entry entry;
        qar_entry_at(archive, e, &entry, nullptr);
        if (!entry_selected(line, entry)) continue;
        // A record of an unknown method shows its stored size.
        const uint32_t size = entry.method == QAR_METHOD_UNKNOWN ? entry.stored_size : entry.size;
        // A time that cannot be converted shows as question marks of the same width.
        char when[32] = "?\?\?\?-?\?-?\? ?\?:?\?:?\?";
        qar_datetime t;
        if (qar_stamp_to_datetime(entry.stamp, 1, &t))
            snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                     t.hour, t.minute, t.second);
        printf("%5d %*s %9u %9u %s %s %s\n", entry.index, int(QAR_NAME_SIZE),
               display_text(entry.name).c_str(), size, entry.stored_size, when,
               compression_name(entry.method), "");
        rows += 1;
        size_sum += size;
        stored_sum += entry.stored_size;
    }
    printf("%s", LIST_SEPARATOR);
    printf("%5d records          %9lld %9lld\n", rows, (long long)size_sum,
           (long long)stored_sum);
    return 0;
}
