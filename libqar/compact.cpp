// Compaction: the archive rewritten with only its live records.
//
// The new archive is exactly what appending each live record's stored bytes,
// flags and time, in index order, to a new archive with the same key writes:
// nothing is decoded into it or compressed again. It is built in a temporary
// file beside the archive (with the archive's permission bits), flushed to
// the disk, and only then renamed over the archive, so that a kill or a
// failure at any point leaves the archive as it was; a temporary file left
// by a kill has a name of its own and is ignored by the next compaction.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "archive_io.h"
#include "errors.h"
#include "platform.h"
#include "record_ops.h"

using namespace libqar;

namespace {

// Appends the records at the given snapshot positions of from, in that
// order, to the empty archive at path, and flushes it to the disk.
// *size_out gets the new archive's size.
qar_status copy_records(const qar_archive* from, const size_t* positions, size_t count,
                        const char* path, int64_t* size_out, qar_error* error) {
    qar_archive* to = nullptr;
    qar_status status = qar_open_with(path, QAR_WRITE | QAR_ANY_KEY, from->key, nullptr, &to, error);
    if (status != QAR_OK) return status;
    for (size_t i = 0; status == QAR_OK && i < count; ++i) {
        const DirectoryEntry& entry = from->entries[positions[i]];
        const RecordText name = entry_name_text(entry);
        uint8_t* stored = nullptr;
        AppendSlot slot;
        status = read_stored_entry(from, entry, &stored, error);
        if (status == QAR_OK) status = prepare_append(to, entry.stored_size, name.text, &slot, error);
        if (status == QAR_OK)
            status = store_encoded_record(to, &slot,
                                          EncodedRecord{stored, entry.stored_size, entry.flags},
                                          entry.time, name.text, error);
        free(stored);
    }
    *size_out = stream_size(to->file);
    if (status == QAR_OK) {
        errno = 0;
        if (!plat_sync_stream(to->file))
            status = set_system_error(error, QAR_IO, errno,
                                      "Could not flush file \"%s\" to the disk", to->base_name);
    }
    qar_error closing;
    // A close the system fails may have cost written bytes.
    if (qar_close(to, &closing) != QAR_OK && status == QAR_OK) {
        *error = closing;
        status = closing.status;
    }
    return status;
}

// Builds the compacted archive beside target and renames it over target.
// Closes from either way, after the rename: from holds the writers' lock,
// and a writer waiting for it must find the compacted archive under the name
// once it has the lock (the platform layer opens files so that they can be
// replaced while open; where the system cannot replace an open file, from is
// closed just before).
qar_status rewrite(qar_archive* from, const size_t* positions, size_t count,
                   const std::string& target, int64_t* size_out, qar_error* error) {
    const qar_temp_notice notice = from->temp_notice;
    void* const context = from->temp_context;
    std::string temp;
    errno = 0;
    FILE* file = plat_create_temp_beside(target.c_str(), &temp);
    if (file == nullptr) {
        const int system_error = errno;
        qar_close(from, nullptr);
        return set_system_error(error, QAR_IO, system_error,
                                "Could not create a temporary file beside \"%s\"", target.c_str());
    }
    if (notice != nullptr) notice(context, temp.c_str());
    qar_status status = write_new_archive(file, from->key, temp.c_str(), error);
    errno = 0;
    if (!plat_close_stream(file) && status == QAR_OK)
        status = set_system_error(error, QAR_IO, errno, "Could not close file \"%s\"", temp.c_str());
    if (status == QAR_OK) status = copy_records(from, positions, count, temp.c_str(), size_out, error);
    const bool close_first = !plat_can_replace_open_file();
    if (close_first) qar_close(from, nullptr);
    if (status == QAR_OK) {
        errno = 0;
        if (!plat_replace_file(temp.c_str(), target.c_str()))
            status = set_system_error(error, QAR_IO, errno, "Could not rename \"%s\" over \"%s\"",
                                      temp.c_str(), target.c_str());
    }
    if (!close_first) qar_close(from, nullptr);
    if (status != QAR_OK) plat_remove_file(temp.c_str());
    if (notice != nullptr) notice(context, nullptr);
    return status;
}

}  // namespace

qar_status qar_compact(qar_archive* archive, qar_damage_notice notice, void* notice_context,
                       qar_compact_result* result, qar_error* error) {
    ErrorOut e(error);
    if (archive == nullptr) return set_error(e.to, QAR_INVALID, "No archive to compact");
    if (!archive->writable) {
        set_error(e.to, QAR_INVALID, "Could not compact file \"%s\": it is open for reading only",
                  archive->base_name);
        qar_close(archive, nullptr);
        return QAR_INVALID;
    }
    // The live records by position in the snapshot, in index order.
    size_t* positions =
        static_cast<size_t*>(malloc(sizeof(size_t) * size_t(archive->entry_count + 1)));
    if (positions == nullptr) {
        qar_close(archive, nullptr);
        return set_no_memory(e.to);
    }
    size_t count = 0;
    for (int32_t i = 0; i < archive->entry_count; ++i)
        if ((archive->entries[i].flags & QAR_FLAG_DELETED) == 0) positions[count++] = size_t(i);
    const DirectoryEntry* entries = archive->entries;
    std::stable_sort(positions, positions + count, [entries](size_t a, size_t b) {
        return entries[a].index < entries[b].index;
    });
    // Every record is checked first, so that a damaged one stops the
    // compaction before anything is written.
    size_t damaged = 0;
    for (size_t i = 0; i < count; ++i) {
        qar_error outcome;
        const qar_status status = qar_test(archive, positions[i], &outcome);
        if (status == QAR_OK) continue;
        if (damaged++ == 0 || status == QAR_NO_MEMORY) *e.to = outcome;
        if (status == QAR_NO_MEMORY) break;
        if (notice != nullptr) notice(notice_context, positions[i], outcome.message);
    }
    qar_status status = e.to->status;
    if (status == QAR_OK) {
        const int64_t before = stream_size(archive->file);
        int64_t after = 0;
        try {
            // A link stays a link: the file it leads to is the one replaced.
            status = rewrite(archive, positions, count, plat_link_target(archive->path), &after,
                             e.to);
        } catch (const std::bad_alloc&) {
            qar_close(archive, nullptr);
            status = set_no_memory(e.to);
        }
        if (status == QAR_OK && result != nullptr) *result = qar_compact_result{count, before, after};
    } else {
        qar_close(archive, nullptr);
    }
    free(positions);
    return status;
}
