// The extract command: each selected record becomes a file of its name in
// the current directory, or in the folder of -o (made with its parents when
// missing). A record is written to a temporary file in that folder first and
// renamed over its destination only once it is complete and timed, so a
// failed write never destroys the file that was there and a symbolic link at
// the destination is replaced rather than followed. Names that are not plain
// file names are refused, so nothing is ever written outside that folder,
// nor over the archive being read, wherever it lies.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "commands.h"
#include "gather.h"
#include "names.h"
#include "platform.h"
#include "record_ops.h"

namespace {

// 1 when writing to path would replace or write through to the archive (the
// path itself, or what a link there leads to).
int is_the_archive(const char* path, const PlatFileId& archive_id) {
    PlatFileId id;
    if (plat_path_id(path, 0, &id) && plat_same_file(id, archive_id)) return 1;
    if (plat_path_id(path, 1, &id) && plat_same_file(id, archive_id)) return 1;
    return 0;
}

void report_write_failure(const char* name) {
    fprintf(stderr, "ERROR: could not write to file \"%s\"\n", display_text(name).c_str());
}

// Writes one record out; 1 when its file is in place, 0 when a line on
// standard error said why not.
int extract_entry(const CommandLine& line, ArchiveHandle* archive, const DirectoryEntry& entry,
                  const std::string& folder, const PlatFileId* archive_id) {
    RecordName name = record_name(entry);
    if (!is_plain_file_name(name.text)) {
        fprintf(stderr, "ERROR: not extracting \"%s\": not a plain file name\n",
                display_text(name.text).c_str());
        return 0;
    }
    const std::string path = folder + "/" + name.text;
    if (archive_id && is_the_archive(path.c_str(), *archive_id)) {
        fprintf(stderr, "ERROR: not extracting \"%s\" over the qar file being read\n",
                display_text(name.text).c_str());
        return 0;
    }

    uint32_t size = 0;
    std::unique_ptr<uint8_t, decltype(&free)> data(
        read_entry(archive, &entry, &size, nullptr, 0), &free);
    if (!data) {
        fprintf(stderr, "ERROR: could not read \"%s\" from qar \"%s\"\n",
                display_text(name.text).c_str(), display_text(line.archive).c_str());
        return 0;
    }
    PlatOutFile* out = plat_create_temp(folder.c_str());
    if (!out) {
        report_write_failure(name.text);
        return 0;
    }
    if (!plat_write_all(out, data.get(), size)) {
        plat_discard_file(out);
        report_write_failure(name.text);
        return 0;
    }
    // A time that cannot be converted leaves the file's time as written.
    PlatDateTime written;
    if (decode_time_stamp(entry.time, 0, &written)) plat_set_write_time(out, written);
    if (!plat_commit_file(out, path.c_str())) {
        report_write_failure(name.text);
        return 0;
    }
    // Named only once the file is in place under its name.
    printf("%s\n", display_text(name.text).c_str());
    return 1;
}

}  // namespace

int command_extract(const CommandLine& line) {
    ArchiveHandle* archive = open_for_read(line);
    if (!archive) return 1;
    PlatFileId archive_id;
    int have_id = plat_stream_id(archive->file, &archive_id);
    // Made only once the archive is open and the key matches, so that a
    // command that cannot run leaves no folder behind.
    std::string folder = line.output_dir ? line.output_dir : ".";
    for (char& c : folder)
        if (c == '\\') c = '/';
    if (line.output_dir && !plat_make_directories(folder.c_str())) {
        fprintf(stderr, "ERROR: could not create folder \"%s\"\n",
                display_text(line.output_dir).c_str());
        close_archive(archive);
        return 1;
    }

    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    Tally tally{0, 0};
    std::vector<char> hits(size_t(line.file_count), 0);
    for (int32_t e = 0; e < count; ++e) {
        if (!entry_selected(line, entries[e], &hits)) continue;
        tally.asked += 1;
        if (!extract_entry(line, archive, entries[e], folder, have_id ? &archive_id : nullptr))
            tally.not_done += 1;
    }
    close_archive(archive);
    report_unmatched(line, hits, "extracted", &tally);
    return finish_command(tally, "records not extracted");
}
