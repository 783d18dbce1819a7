#include "mount.h"

#include <cstdio>
#include <new>

#include "commands.h"
#include "mount_system.h"
#include "names.h"
#include "platform.h"
#include "report.h"

namespace {

// The snapshot's entries; false, with the reason printed, when one cannot be
// read.
bool read_snapshot(const CommandLine& line, const qar_archive* archive,
                   std::vector<qar_entry>* out) {
    const size_t count = qar_count(archive);
    out->resize(count);
    for (size_t i = 0; i < count; ++i) {
        qar_error error;
        if (qar_entry_at(archive, i, &(*out)[i], &error) != QAR_OK) {
            report_failure("could not read the directory of qar \"" +
                               display_text(line.archive) + "\"", error);
            return false;
        }
    }
    return true;
}

DecodeOutcome decode_file(void* context, size_t file, std::vector<uint8_t>* bytes,
                          std::string* why) {
    MountService* service = static_cast<MountService*>(context);
    mount_check_archive(service);
    const MountFile& entry = service->tree.files[file];
    bytes->resize(entry.size);
    size_t size = 0;
    qar_error error;
    const qar_status status =
        qar_read(service->archive, entry.position, bytes->data(), bytes->size(), &size, &error);
    if (status == QAR_OK && size == entry.size) return DECODE_DONE;
    *why = status == QAR_OK ? "the record is not of its listed size" : reason_text(error);
    return status == QAR_NO_MEMORY ? DECODE_PASSING : DECODE_DAMAGED;
}

uint64_t listed_size(void* context, size_t file) {
    return static_cast<MountService*>(context)->tree.files[file].size;
}

// The readers' threads mostly hand bytes to the system, so the workers may
// take every core: -j's number, else the usable cores.
unsigned ahead_worker_count(const CommandLine& line) {
    return line.workers >= 0 ? unsigned(line.workers) : plat_usable_cores();
}

struct ArchiveCloser {
    qar_archive* archive;
    ~ArchiveCloser() { qar_close(archive, nullptr); }
};

}  // namespace

CacheRead mount_read_file(MountService* service, size_t file) {
    CacheRead read = cache_read(&service->cache, file);
    // One call, so that the two lines stay together when readers report at once.
    if (read.first_news)
        fprintf(stderr, "ERROR: could not read \"%s\" from qar \"%s\"\nERROR: %s\n",
                display_text(service->tree.files[file].name.c_str()).c_str(),
                display_text(service->archive_name.c_str()).c_str(), read.why.c_str());
    return read;
}

// Eight records ahead per worker: with records of mixed sizes, fewer leave
// workers idle while one decodes a large record and the reader waits for it.
void mount_start_ahead(MountService* service) {
    cache_start_ahead(&service->cache, service->ahead_workers, 8 * size_t(service->ahead_workers),
                      listed_size);
}

void mount_note_archive_state(MountService* service, const ArchiveFileState& now) {
    std::lock_guard<std::mutex> lock(service->watch_mutex);
    const std::string name = display_text(service->archive_name.c_str());
    if (now.writer_locked && !service->writer_seen)
        fprintf(stderr,
                "qartool: another process is writing qar \"%s\"; the folder goes on showing "
                "the records it was mounted with\n",
                name.c_str());
    service->writer_seen = now.writer_locked;
    const ArchiveFileState& was = service->last_seen;
    const char* what = nullptr;
    if (!now.present)
        what = was.present ? "is gone" : nullptr;
    else if (!was.present || now.volume != was.volume || now.file != was.file)
        what = "was replaced";
    else if (now.size != was.size)
        what = "changed size";
    else if (now.mtime_ns != was.mtime_ns)
        what = "changed time";
    if (!what) return;
    fprintf(stderr,
            "qartool: qar \"%s\" %s since it was mounted; the folder goes on showing the "
            "records it was mounted with\n",
            name.c_str(), what);
    service->last_seen = now;
}

void mount_check_archive(MountService* service) {
    mount_note_archive_state(service, mount_archive_file_state(service->archive_path.c_str()));
}

int command_mount(const CommandLine& line) {
    if (line.file_count != 1) {
        fprintf(stderr, "ERROR: the m command takes a qar and a folder: m <qar> <folder>\n");
        return 1;
    }
    const char* folder = line.files[0];
    const std::string missing = mount_system_missing();
    if (!missing.empty()) {
        fprintf(stderr, "ERROR: cannot mount: %s\n", missing.c_str());
        return 1;
    }
    const std::string unusable = mount_folder_unusable(folder);
    if (!unusable.empty()) {
        fprintf(stderr, "ERROR: cannot mount at \"%s\": %s\n", display_text(folder).c_str(),
                unusable.c_str());
        return 1;
    }
    qar_archive* archive = open_for_read(line);
    if (!archive) return 1;
    ArchiveCloser closer{archive};
    std::vector<qar_entry> snapshot;
    if (!read_snapshot(line, archive, &snapshot)) return 1;

    MountService service;
    service.archive = archive;
    service.archive_name = line.archive;
    service.archive_path = line.archive;
    service.tree = build_mount_tree(snapshot);
    snapshot = std::vector<qar_entry>();
    for (const LeftOutRecord& record : service.tree.left_out)
        fprintf(stderr, "qartool: record %d \"%s\" is not in the folder: %s\n", record.index,
                display_text(record.name.c_str()).c_str(), record.why);
    cache_init(&service.cache, service.tree.files.size(), MOUNT_CACHE_BYTES, decode_file,
               &service);
    service.ahead_workers = ahead_worker_count(line);
    service.last_seen = mount_archive_file_state(line.archive);
    service.writer_seen = false;
    mount_note_archive_state(&service, service.last_seen);
    return mount_serve(&service, folder, line.detach);
}
