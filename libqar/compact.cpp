// Compaction: the archive rewritten with only its live records.
//
// The new archive is exactly what appending each live record's stored bytes,
// flags and time, in index order, to a new archive with the same key writes:
// nothing is decoded into it or compressed again. It is built in a temporary
// file beside the archive (with the archive's permission bits), flushed to
// the disk, and only then renamed over the archive, so that a kill or a
// failure at any point leaves the archive as it was; a temporary file left
// by a kill has a name of its own and is ignored by the next compaction.
//
// The same steps serve a rewrite that the caller drives record by record
// (qar_rewrite_begin and the functions after it), which may hand in new
// encodings of records instead of their stored bytes.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "archive_io.h"
#include "encoding.h"
#include "errors.h"
#include "platform.h"
#include "record_ops.h"

using namespace libqar;

// A rewrite in progress: the new archive beside the one it replaces.
struct qar_rewrite {
    qar_archive* from;    // the archive rewritten; owned, closed by finish_rewrite
    qar_archive* to;      // the new archive, open for writing; owned
    std::string target;   // the file replaced (a link's target)
    std::string temp;     // the new archive's name; empty until it exists
    int64_t before;       // bytes of the archive before
    size_t records;       // records appended so far
    qar_status failed;    // QAR_OK until appending a record failed
};

namespace {

// Writes a new empty archive with from's key in a temporary file beside the
// target and opens it for writing. When the file cannot even be created,
// from is closed here; any other failure is left to finish_rewrite.
qar_status start_rewrite(qar_rewrite* rw, qar_error* error) {
    qar_archive* from = rw->from;
    errno = 0;
    FILE* file = plat_create_temp_beside(rw->target.c_str(), &rw->temp);
    if (file == nullptr) {
        const int system_error = errno;
        rw->temp.clear();
        qar_close(from, nullptr);
        rw->from = nullptr;
        return set_system_error(error, QAR_IO, system_error,
                                "Could not create a temporary file beside \"%s\"",
                                rw->target.c_str());
    }
    if (from->temp_notice != nullptr) from->temp_notice(from->temp_context, rw->temp.c_str());
    qar_status status = write_new_archive(file, from->key, rw->temp.c_str(), error);
    errno = 0;
    if (!plat_close_stream(file) && status == QAR_OK)
        status = set_system_error(error, QAR_IO, errno, "Could not close file \"%s\"",
                                  rw->temp.c_str());
    if (status == QAR_OK)
        status = qar_open_with(rw->temp.c_str(), QAR_WRITE | QAR_ANY_KEY, from->key, nullptr,
                               &rw->to, error);
    return status;
}

// Appends a record of from (the snapshot entry at position) to the new
// archive as record says it is stored.
qar_status append_record(qar_rewrite* rw, size_t position, const EncodedRecord& record,
                         qar_error* error) {
    const DirectoryEntry& entry = rw->from->entries[position];
    const RecordText name = entry_name_text(entry);
    AppendSlot slot;
    qar_status status = prepare_append(rw->to, record.stored_size, name.text, &slot, error);
    if (status == QAR_OK)
        status = store_encoded_record(rw->to, &slot, record, entry.time, name.text, error);
    if (status == QAR_OK) rw->records += 1;
    return status;
}

// Copies a record's stored bytes, flags and time as they are.
qar_status copy_record(qar_rewrite* rw, size_t position, qar_error* error) {
    const DirectoryEntry& entry = rw->from->entries[position];
    uint8_t* stored = nullptr;
    qar_status status = read_stored_entry(rw->from, entry, &stored, error);
    if (status == QAR_OK)
        status = append_record(rw, position, EncodedRecord{stored, entry.stored_size, entry.flags},
                               error);
    free(stored);
    return status;
}

// Ends a rewrite that status says went well or not: flushes and closes the
// new archive and, when all went well, renames it over the target. Closes
// from either way, after the rename: from holds the writers' lock, and a
// writer waiting for it must find the new archive under the name once it has
// the lock (the platform layer opens files so that they can be replaced while
// open; where the system cannot replace an open file, from is closed just
// before). A failure removes the new archive. *size_out gets its size.
qar_status finish_rewrite(qar_rewrite* rw, qar_status status, int64_t* size_out,
                          qar_error* error) {
    if (rw->to != nullptr) {
        *size_out = stream_size(rw->to->file);
        if (status == QAR_OK) {
            errno = 0;
            if (!plat_sync_stream(rw->to->file))
                status = set_system_error(error, QAR_IO, errno,
                                          "Could not flush file \"%s\" to the disk",
                                          rw->to->base_name);
        }
        qar_error closing;
        // A close the system fails may have cost written bytes.
        if (qar_close(rw->to, &closing) != QAR_OK && status == QAR_OK) {
            *error = closing;
            status = closing.status;
        }
        rw->to = nullptr;
    }
    if (rw->from == nullptr) return status;  // the new archive was never made
    const qar_temp_notice notice = rw->from->temp_notice;
    void* const context = rw->from->temp_context;
    const bool close_first = !plat_can_replace_open_file();
    if (close_first) qar_close(rw->from, nullptr);
    if (status == QAR_OK) {
        errno = 0;
        if (!plat_replace_file(rw->temp.c_str(), rw->target.c_str()))
            status = set_system_error(error, QAR_IO, errno, "Could not rename \"%s\" over \"%s\"",
                                      rw->temp.c_str(), rw->target.c_str());
    }
    if (!close_first) qar_close(rw->from, nullptr);
    rw->from = nullptr;
    if (status != QAR_OK) plat_remove_file(rw->temp.c_str());
    if (notice != nullptr) notice(context, nullptr);
    return status;
}

// A compaction or rewrite of an archive open for reading only: refused, and
// the archive closed, as every path of those calls closes it.
qar_status refuse_read_only(qar_archive* archive, qar_error* error) {
    set_error(error, QAR_INVALID, "Could not compact file \"%s\": it is open for reading only",
              archive->base_name);
    qar_close(archive, nullptr);
    return QAR_INVALID;
}

// Builds the compacted archive of the records at the given snapshot
// positions, in that order, beside the archive and renames it over it.
// Closes from in every case.
qar_status rewrite(qar_archive* from, const size_t* positions, size_t count,
                   int64_t* size_out, qar_error* error) {
    // A link stays a link: the file it leads to is the one replaced.
    qar_rewrite rw = {from, nullptr, plat_link_target(from->path), std::string(), 0, 0, QAR_OK};
    qar_status status = start_rewrite(&rw, error);
    for (size_t i = 0; status == QAR_OK && i < count; ++i)
        status = copy_record(&rw, positions[i], error);
    return finish_rewrite(&rw, status, size_out, error);
}

}  // namespace

qar_status qar_compact(qar_archive* archive, qar_damage_notice notice, void* notice_context,
                       qar_compact_result* result, qar_error* error) {
    ErrorOut e(error);
    if (archive == nullptr) return set_error(e.to, QAR_INVALID, "No archive to compact");
    if (!archive->writable) return refuse_read_only(archive, e.to);
    // The records added through the handle are not in its snapshot: it is
    // loaded again from the file first, which the writers' lock keeps as this
    // handle left it. For a handle that changed nothing that is the snapshot
    // it had; the reading costs little next to copying every record.
    const qar_status reloaded = reload_snapshot(archive, e.to);
    if (reloaded != QAR_OK) {
        qar_close(archive, nullptr);
        return reloaded;
    }
    // The records by position in the snapshot (which holds the live ones
    // only), in index order.
    size_t* positions =
        static_cast<size_t*>(malloc(sizeof(size_t) * size_t(archive->entry_count + 1)));
    if (positions == nullptr) {
        qar_close(archive, nullptr);
        return set_no_memory(e.to);
    }
    size_t count = 0;
    for (int32_t i = 0; i < archive->entry_count; ++i)
        positions[count++] = size_t(i);
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
            status = rewrite(archive, positions, count, &after, e.to);
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

// ---------------------------------------------------------------------------
// A rewrite driven by the caller

qar_status qar_rewrite_begin(qar_archive* archive, qar_rewrite** out, qar_error* error) {
    ErrorOut e(error);
    if (out == nullptr) return set_error(e.to, QAR_INVALID, "No place for the rewrite");
    *out = nullptr;
    if (archive == nullptr) return set_error(e.to, QAR_INVALID, "No archive to rewrite");
    if (!archive->writable) return refuse_read_only(archive, e.to);
    qar_rewrite* rw = nullptr;
    try {
        rw = new qar_rewrite{archive, nullptr, plat_link_target(archive->path), std::string(),
                             stream_size(archive->file), 0, QAR_OK};
    } catch (const std::bad_alloc&) {
        qar_close(archive, nullptr);
        return set_no_memory(e.to);
    }
    qar_status status = QAR_OK;
    try {
        status = start_rewrite(rw, e.to);
    } catch (const std::bad_alloc&) {
        status = set_no_memory(e.to);
    }
    if (status == QAR_OK) {
        *out = rw;
        return QAR_OK;
    }
    int64_t size = 0;
    finish_rewrite(rw, status, &size, e.to);
    delete rw;
    return status;
}

namespace {

// The checks every record handed to a rewrite passes first.
qar_status check_rewrite_position(const qar_rewrite* rw, size_t position, qar_error* error) {
    if (rw->failed != QAR_OK)
        return set_error(error, QAR_REFUSED, "Could not write data to file \"%s\": an earlier "
                         "write to it failed", rw->to != nullptr ? rw->to->base_name : "");
    if (position >= size_t(rw->from->entry_count))
        return set_error(error, QAR_INVALID, "No record at that position in file \"%s\"",
                         rw->from->base_name);
    return QAR_OK;
}

}  // namespace

qar_status qar_rewrite_copy(qar_rewrite* rewrite, size_t position, qar_error* error) {
    ErrorOut e(error);
    qar_status status = check_rewrite_position(rewrite, position, e.to);
    if (status == QAR_OK) status = copy_record(rewrite, position, e.to);
    if (status != QAR_OK && status != QAR_INVALID) rewrite->failed = status;
    return status;
}

qar_status qar_rewrite_encoded(qar_rewrite* rewrite, size_t position, const qar_encoded* encoded,
                               qar_error* error) {
    ErrorOut e(error);
    qar_status status = check_rewrite_position(rewrite, position, e.to);
    if (status != QAR_OK) return status;
    if (!encoded->ended || encoded->key != rewrite->from->key)
        return set_error(e.to, QAR_INVALID, "Could not write data %s to file \"%s\": %s",
                         entry_name_text(rewrite->from->entries[position]).text,
                         rewrite->to->base_name,
                         !encoded->ended ? "its encoding is not finished"
                                         : "it was encoded with another key");
    status = append_record(rewrite, position, encoded->record, e.to);
    if (status != QAR_OK) rewrite->failed = status;
    return status;
}

qar_status qar_rewrite_commit(qar_rewrite* rewrite, qar_compact_result* result,
                              qar_error* error) {
    ErrorOut e(error);
    if (rewrite == nullptr) return set_error(e.to, QAR_INVALID, "No rewrite to commit");
    qar_status status = rewrite->failed;
    if (status != QAR_OK)
        set_error(e.to, QAR_REFUSED, "Could not write file \"%s\": an earlier write to it failed",
                  rewrite->to != nullptr ? rewrite->to->base_name : "");
    int64_t after = 0;
    status = finish_rewrite(rewrite, status != QAR_OK ? QAR_REFUSED : QAR_OK, &after, e.to);
    if (status == QAR_OK && result != nullptr)
        *result = qar_compact_result{rewrite->records, rewrite->before, after};
    delete rewrite;
    return status;
}

void qar_rewrite_abandon(qar_rewrite* rewrite) {
    if (rewrite == nullptr) return;
    qar_error ignored;
    int64_t size = 0;
    set_error(&ignored, QAR_REFUSED, "abandoned");
    finish_rewrite(rewrite, QAR_REFUSED, &size, &ignored);
    delete rewrite;
}
