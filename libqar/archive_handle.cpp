#include "archive_handle.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "archive_io.h"
#include "errors.h"
#include "platform.h"
#include "qar_version.h"

namespace libqar {

namespace {

// The part of path behind its last slash or backslash, cut to fit out.
void take_base_name(const char* path, char* out, size_t out_size) {
    const char* base = path;
    for (const char* p = path; *p != 0; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    size_t n = strlen(base);
    if (n >= out_size) n = out_size - 1;
    memcpy(out, base, n);
    out[n] = 0;
}

int fold(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

void free_handle(qar_archive* archive) {
    free(archive->table_offsets);
    free(archive->entries);
    free(archive->path);
    free(archive);
}

// A failed read of the archive's own bytes: the system's failure, or a file
// that ends before the format says it does.
qar_status set_read_error(qar_error* error, int system_error, const char* format,
                          const char* what, const char* name) {
    return set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED, system_error,
                            format, what, name);
}

}  // namespace

uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size) {
    if (size > buffer->capacity || buffer->data == nullptr) {
        // The old contents need not survive: free first rather than realloc,
        // which would copy them.
        release_buffer(buffer);
        buffer->data = static_cast<uint8_t*>(malloc(size != 0 ? size : 1));
        if (buffer->data == nullptr) return nullptr;
        buffer->capacity = size;
    }
    return buffer->data;
}

void release_buffer(ByteBuffer* buffer) {
    free(buffer->data);
    buffer->data = nullptr;
    buffer->capacity = 0;
}

int compare_names(const char* a, const char* b) {
    for (uint32_t i = 0; i < QAR_NAME_LENGTH; ++i) {
        int ca = fold(a[i]);
        int cb = fold(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

RecordText entry_name_text(const DirectoryEntry& entry) {
    RecordText out;
    memcpy(out.text, entry.name, QAR_NAME_LENGTH);
    out.text[QAR_NAME_LENGTH] = 0;
    return out;
}

uint32_t entry_plain_size(const DirectoryEntry& entry) {
    return (entry.flags & QAR_COMPRESSION_MASK) != 0 ? flags_uncompressed_size(entry.flags)
                                                      : entry.stored_size;
}

qar_method method_of_flags(uint32_t flags) {
    switch (flags & QAR_COMPRESSION_MASK) {
    case QAR_COMPRESSION_NONE: return QAR_METHOD_NONE;
    case QAR_COMPRESSION_LZO1X: return QAR_METHOD_LZO1X;
    case QAR_COMPRESSION_LZO1Y: return QAR_METHOD_LZO1Y;
    default: return QAR_METHOD_UNKNOWN;
    }
}

int32_t find_entry(const qar_archive* archive, const char* name) {
    if (archive->entry_count <= 0 || name == nullptr) return -1;
    // compare_names reads at most 16 bytes of the key and stops at its end,
    // which cuts a longer name to its first 16 bytes.
    const DirectoryEntry* begin = archive->entries;
    const DirectoryEntry* end = begin + archive->entry_count;
    const DirectoryEntry* first = std::lower_bound(
        begin, end, name,
        [](const DirectoryEntry& entry, const char* key) { return compare_names(entry.name, key) < 0; });
    if (first == end || compare_names(first->name, name) != 0) return -1;
    return int32_t(first - begin);
}

// ---------------------------------------------------------------------------
// Creating

qar_status write_new_archive(FILE* file, uint32_t key, const char* name, qar_error* error) {
    uint8_t bytes[QAR_HEADER_SIZE + QAR_TABLE_SIZE] = {};
    encode_header(new_archive_header(key), bytes);
    int system_error = 0;
    if (write_at(file, 0, bytes, sizeof bytes, &system_error)) {
        errno = 0;
        if (plat_sync_stream(file)) return QAR_OK;
        system_error = errno;
    }
    return set_system_error(error, QAR_IO, system_error, "Could not write file \"%s\"", name);
}

qar_status create_archive(const char* path, uint32_t key, qar_temp_notice notice,
                          void* context, qar_error* error) {
    if (plat_path_exists(path))
        return set_error(error, QAR_EXISTS, "File \"%s\" already exists", path);
    // The archive is written whole under a name of its own beside it and only
    // then given its name, so that no one ever sees a part of it, a failure
    // (a full disk) leaves nothing behind, and a file that appeared under the
    // name meanwhile is kept.
    std::string temp;
    FILE* file = nullptr;
    errno = 0;
    try {
        file = plat_create_temp_beside(path, &temp);
    } catch (const std::bad_alloc&) {
        return set_no_memory(error);
    }
    if (file == nullptr)
        return set_system_error(error, QAR_IO, errno, "Could not create file \"%s\"", path);
    if (notice != nullptr) notice(context, temp.c_str());
    qar_status status = write_new_archive(file, key, path, error);
    errno = 0;
    if (!plat_close_stream(file) && status == QAR_OK)
        status = set_system_error(error, QAR_IO, errno, "Could not close file \"%s\"", path);
    if (status == QAR_OK) {
        errno = 0;
        if (!plat_move_new(temp.c_str(), path)) {
            const int system_error = errno;
            status = system_error == EEXIST
                         ? set_error(error, QAR_EXISTS, "File \"%s\" already exists", path)
                         : set_system_error(error, QAR_IO, system_error,
                                            "Could not name file \"%s\"", path);
        }
    }
    if (status != QAR_OK) plat_remove_file(temp.c_str());
    if (notice != nullptr) notice(context, nullptr);
    return status;
}

// ---------------------------------------------------------------------------
// Opening

namespace {

struct WaitNotice {
    qar_wait_notice notice;
    void* context;
    const char* path;
    bool noticed;  // once per open, even when the wait starts over on a renamed archive
};

void notice_waiting(void* context) {
    WaitNotice* wait = static_cast<WaitNotice*>(context);
    if (wait->notice != nullptr && !wait->noticed) wait->notice(wait->context, wait->path);
    wait->noticed = true;
}

// Takes the writers' lock on the archive open in *file. The lock is on the
// file, and a writer that held it may have renamed a new archive over the
// name before letting go (a compaction): the file locked then is no longer
// the archive, and the one that now has the name is opened and locked
// instead. A writer may also have removed it (an add that created it and
// stored nothing): then the reopening fails. When the lock or the reopening
// fails, *file is closed.
qar_status lock_archive(const char* path, FILE** file, WaitNotice* wait, qar_error* error) {
    for (;;) {
        errno = 0;
        if (!plat_lock_exclusive(*file, notice_waiting, wait)) {
            const int system_error = errno;
            plat_close_stream(*file);
            *file = nullptr;
            return set_system_error(error, QAR_IO, system_error, "Could not lock file \"%s\"",
                                    path);
        }
        PlatFileId locked, named;
        if (!plat_stream_id(*file, &locked)) return QAR_OK;
        if (plat_path_id(path, 1, &named) ? plat_same_file(locked, named)
                                          : plat_path_exists(path))
            return QAR_OK;
        plat_close_stream(*file);
        errno = 0;
        *file = plat_open_stream(path, "rb+");
        if (*file == nullptr)
            return set_system_error(error, errno == ENOENT ? QAR_NOT_FOUND : QAR_IO, errno,
                                    "Could not open file \"%s\"", path);
    }
}

// The tables and live entries gathered by the directory walk. Both arrays
// grow with what is actually read from the file, so a header that claims two
// billion records costs nothing until the tables are really there.
struct DirectoryWalk {
    uint32_t* offsets;
    int64_t table_count;
    int64_t offsets_capacity;
    DirectoryEntry* entries;
    int64_t entry_count;
    int64_t entries_capacity;
    int64_t used_slots;      // used slots of all tables read, deleted ones included
    uint32_t last_used;      // used slots of the last table read
    uint32_t previous_used;  // used slots of the table before it
};

template <typename T>
bool grow(T** array, int64_t* capacity, int64_t wanted) {
    T* grown = static_cast<T*>(realloc(*array, size_t(wanted) * sizeof(T)));
    if (grown == nullptr) return false;
    *array = grown;
    *capacity = wanted;
    return true;
}

bool walk_add_table(DirectoryWalk* walk, uint32_t offset, const DirectoryTable& table) {
    if (walk->table_count == walk->offsets_capacity &&
        !grow(&walk->offsets, &walk->offsets_capacity, walk->offsets_capacity * 2 + 4))
        return false;
    walk->offsets[walk->table_count++] = offset;
    uint32_t used = table_used_slots(table);
    if (walk->entry_count + used > walk->entries_capacity &&
        !grow(&walk->entries, &walk->entries_capacity,
              walk->entries_capacity * 2 + QAR_ENTRIES_PER_TABLE))
        return false;
    for (uint32_t i = 0; i < used; ++i)
        if ((table.slots[i].flags & QAR_FLAG_DELETED) == 0)
            walk->entries[walk->entry_count++] = table.slots[i];
    walk->used_slots += used;
    walk->previous_used = walk->last_used;
    walk->last_used = used;
    return true;
}

qar_status set_chain_error(qar_error* error, const qar_archive* archive, int64_t found) {
    return set_error(error, QAR_DAMAGED, "Header has %d dtables; actually %d dtables in file \"%s\"",
                     int(archive->table_count), int(found), archive->base_name);
}

qar_status set_header_error(qar_error* error, const qar_archive* archive) {
    return set_error(error, QAR_DAMAGED, "Invalid header in file \"%s\"", archive->base_name);
}

// Reads the chain from first_table_offset on. Stops with a message when a
// table cannot be read, when the chain runs past max_tables (too long for
// the header), or when a table does not lie behind the one before it
// (overlapping it or looping back).
qar_status walk_chain(const qar_archive* archive, const ArchiveHeader& header, int64_t max_tables,
                      DirectoryWalk* walk, qar_error* error) {
    uint32_t offset = header.first_table_offset;
    uint8_t bytes[QAR_TABLE_SIZE];
    DirectoryTable table;
    for (;;) {
        int system_error = 0;
        if (!read_at(archive->file, offset, bytes, sizeof bytes, &system_error))
            return set_system_error(error, system_error != 0 ? QAR_IO : QAR_DAMAGED,
                                    system_error, "Could not read dtable %d of file \"%s\"",
                                    int(walk->table_count), archive->base_name);
        if (walk->table_count >= max_tables)
            return set_chain_error(error, archive, walk->table_count + 1);
        decode_table(bytes, &table);
        if (!walk_add_table(walk, offset, table)) return set_no_memory(error);
        // At most one slot more than the header counts can be in use (an
        // interrupted append); stopping here also bounds the arrays.
        if (walk->used_slots > int64_t(header.record_count) + 1)
            return set_header_error(error, archive);
        if (table.next_table_offset == 0) return QAR_OK;
        // Every table lies behind the one that points at it (each is written at
        // the end of the file). One that starts earlier overlaps this one or
        // loops back, and an append to it would overwrite slots in use.
        if (int64_t(table.next_table_offset) < int64_t(offset) + int64_t(QAR_TABLE_SIZE))
            return set_chain_error(error, archive, walk->table_count + 1);
        offset = table.next_table_offset;
    }
}

// Loads the directory chain into the handle.
//
// What the directory walk accepts, besides an archive exactly as the format
// describes it: the two states that an append interrupted between its writes
// leaves behind. (a) The last table holds one used slot more than the
// header's record_count accounts for (the table was rewritten, the header was
// not). (b) The header counts 99 records in its last table, that table is full
// and points at one more, empty table (the 100th record of the table was
// stored, the header was not raised). In both states the extra record is
// complete and is listed; next_index and table_count follow the directory, not
// the header, and the next append brings the header back into step.
//
// Anything else that disagrees with the header's record_count is refused: a
// chain longer or shorter than that (or looping), more used slots than the
// count plus one or than the last table allows, a negative count. Memory for
// the walk grows only with the tables actually read. Tables that hold fewer
// used slots than the count implies are read as they are (their entries are
// listed); an append then refuses to fill a slot behind an empty one.
qar_status load_directory(const ArchiveHeader& header, qar_archive* archive, qar_error* error) {
    const int64_t record_count = header.record_count;
    const int64_t expected_tables = archive->table_count;
    const int64_t file_size = stream_size(archive->file);
    if (file_size < 0)
        return set_error(error, QAR_IO, "Could not read dtable 0 of file \"%s\"",
                         archive->base_name);
    archive->size_at_load = file_size;
    // One table more than the header accounts for is allowed (an interrupted
    // append, state (b) above). A chain of more tables than fit side by side
    // in the file can only overlap or loop.
    int64_t max_tables = expected_tables + 1;
    if (max_tables > file_size / int64_t(QAR_TABLE_SIZE))
        max_tables = file_size / int64_t(QAR_TABLE_SIZE);

    DirectoryWalk walk = {};
    qar_status status = walk_chain(archive, header, max_tables, &walk, error);
    int64_t next_index = record_count;
    if (status == QAR_OK) {
        const uint32_t in_last = uint32_t(record_count % QAR_ENTRIES_PER_TABLE);
        if (walk.table_count == expected_tables) {
            // Normal, or state (a): one more used slot than the header counts.
            bool ok = true;
            if (walk.last_used == in_last + 1 && in_last + 1 < QAR_ENTRIES_PER_TABLE)
                next_index = record_count + 1;
            else if (walk.last_used > in_last)
                ok = false;
            if (!ok || next_index > INT32_MAX) status = set_header_error(error, archive);
        } else if (walk.table_count == expected_tables + 1 &&
                   in_last == QAR_ENTRIES_PER_TABLE - 1 &&
                   walk.previous_used == QAR_ENTRIES_PER_TABLE && walk.last_used == 0) {
            next_index = record_count + 1;  // state (b)
        } else {
            status = set_chain_error(error, archive, walk.table_count);
        }
    }
    archive->table_offsets = walk.offsets;
    archive->entries = walk.entries;
    if (status != QAR_OK) return status;
    archive->tables_ascending = 1;
    for (int64_t t = 1; t < walk.table_count; ++t)
        if (walk.offsets[t] < walk.offsets[t - 1]) archive->tables_ascending = 0;
    archive->table_count = int32_t(walk.table_count);
    archive->entry_count = int32_t(walk.entry_count);
    archive->next_index = int32_t(next_index);
    archive->left_by_interrupted_append = next_index != record_count;
    return QAR_OK;
}

// Reads the header of the open stream and checks it.
qar_status read_header(FILE* file, const char* base_name, ArchiveHeader* header,
                       qar_error* error) {
    uint8_t bytes[QAR_HEADER_SIZE];
    int system_error = 0;
    if (!read_at(file, 0, bytes, sizeof bytes, &system_error))
        return set_read_error(error, system_error, "Could not read %s of file \"%s\"", "header",
                              base_name);
    decode_header(bytes, header);
    if (memcmp(header->magic, QAR_MAGIC, 4) != 0 || header->version != QAR_VERSION ||
        header->name_length != QAR_NAME_LENGTH ||
        header->entries_per_table != QAR_ENTRIES_PER_TABLE || header->record_count < 0)
        return set_error(error, QAR_DAMAGED, "Invalid header in file \"%s\"", base_name);
    return QAR_OK;
}

// Loads the directory that header describes into the handle and sorts it
// into the snapshot.
qar_status load_snapshot(const ArchiveHeader& header, qar_archive* archive, qar_error* error) {
    archive->table_count = header.record_count / int32_t(QAR_ENTRIES_PER_TABLE) + 1;
    archive->next_index = header.record_count;
    archive->key = header.key;
    const qar_status status = load_directory(header, archive, error);
    if (status != QAR_OK) return status;
    // Records of one name keep the order they were appended in, so that the
    // snapshot (and what is listed and extracted from it) is the same on every
    // system.
    std::sort(archive->entries, archive->entries + archive->entry_count,
              [](const DirectoryEntry& a, const DirectoryEntry& b) {
                  const int by_name = compare_names(a.name, b.name);
                  return by_name != 0 ? by_name < 0 : a.index < b.index;
              });
    return QAR_OK;
}

// Reads and checks the header of the open stream and builds the handle
// around it, with its directory loaded and sorted. On failure the stream is
// left open for the caller.
qar_status read_archive(FILE* file, const char* path, qar_archive** out, qar_error* error) {
    char base_name[QAR_BASE_NAME_SIZE];
    take_base_name(path, base_name, sizeof base_name);
    ArchiveHeader header;
    qar_status status = read_header(file, base_name, &header, error);
    if (status != QAR_OK) return status;
    qar_archive* archive = static_cast<qar_archive*>(calloc(1, sizeof(qar_archive)));
    if (archive == nullptr) return set_no_memory(error);
    archive->path = static_cast<char*>(malloc(strlen(path) + 1));
    if (archive->path == nullptr) {
        free_handle(archive);
        return set_no_memory(error);
    }
    strcpy(archive->path, path);
    memcpy(archive->base_name, base_name, sizeof base_name);
    archive->file = file;
    status = load_snapshot(header, archive, error);
    if (status != QAR_OK) {
        archive->file = nullptr;
        free_handle(archive);
        return status;
    }
    *out = archive;
    return QAR_OK;
}

qar_status set_open_error(qar_error* error, const char* path, int system_error) {
    return set_system_error(error, system_error == ENOENT ? QAR_NOT_FOUND : QAR_IO,
                            system_error, "Could not open file \"%s\"", path);
}

// Opens the file for QAR_CREATE: an existing one as it is, else a new empty
// archive made first. An empty file is what a create killed before the
// archive was written leaves: it holds nothing and is replaced.
qar_status open_or_create(const char* path, uint32_t key, const qar_open_options& options,
                          FILE** out, int* created, qar_error* error) {
    errno = 0;
    FILE* file = plat_open_stream(path, "rb+");
    if (file != nullptr && plat_stream_size(file) != 0) {
        *out = file;
        return QAR_OK;
    }
    if (file != nullptr) {
        plat_close_stream(file);
        plat_remove_file(path);
    } else if (errno != ENOENT) {
        return set_open_error(error, path, errno);
    }
    // Another writer may create it at the same moment; either archive will do.
    const qar_status status =
        create_archive(path, key, options.temp_notice, options.temp_context, error);
    if (status != QAR_OK && status != QAR_EXISTS) return status;
    *created = status == QAR_OK;
    errno = 0;
    *out = plat_open_stream(path, "rb+");
    if (*out == nullptr) return set_open_error(error, path, errno);
    clear_error(error);
    return QAR_OK;
}

}  // namespace

qar_status reload_snapshot(qar_archive* archive, qar_error* error) {
    ArchiveHeader header;
    qar_status status = read_header(archive->file, archive->base_name, &header, error);
    if (status != QAR_OK) return status;
    // Loaded into a copy, so that a failure leaves the handle as it was.
    qar_archive fresh = *archive;
    fresh.table_offsets = nullptr;
    fresh.entries = nullptr;
    fresh.entry_count = 0;
    status = load_snapshot(header, &fresh, error);
    if (status != QAR_OK) {
        free(fresh.table_offsets);
        free(fresh.entries);
        return status;
    }
    free(archive->table_offsets);
    free(archive->entries);
    *archive = fresh;
    return QAR_OK;
}

}  // namespace libqar

using namespace libqar;

qar_status qar_open_with(const char* path, unsigned mode, uint32_t key,
                         const qar_open_options* options, qar_archive** out, qar_error* error) {
    ErrorOut e(error);
    if (out == nullptr) return set_error(e.to, QAR_INVALID, "No place for the archive handle");
    *out = nullptr;
    const qar_open_options none = {};
    const qar_open_options& given = options != nullptr ? *options : none;
    const unsigned how = mode & QAR_MODE_MASK;
    if (path == nullptr || (mode & ~unsigned(QAR_MODE_MASK | QAR_ANY_KEY)) != 0)
        return set_error(e.to, QAR_INVALID, "Invalid path or mode for opening an archive");
    FILE* file = nullptr;
    qar_status status = QAR_OK;
    int created = 0;
    if (how == QAR_CREATE) {
        status = open_or_create(path, key, given, &file, &created, e.to);
    } else {
        if (how == QAR_CREATE_NEW) {
            status = create_archive(path, key, given.temp_notice, given.temp_context, e.to);
            created = status == QAR_OK;
        }
        if (status == QAR_OK) {
            errno = 0;
            file = plat_open_stream(path, how == QAR_READ ? "rb" : "rb+");
            if (file == nullptr) status = set_open_error(e.to, path, errno);
        }
    }
    if (status != QAR_OK) return status;
    if (how == QAR_READ) setvbuf(file, nullptr, _IONBF, 0);
    // The lock comes before the first read, so that the directory loaded is
    // the one no other writer changes while this handle is open.
    WaitNotice wait = {given.wait_notice, given.wait_context, path, false};
    if (how != QAR_READ) {
        status = lock_archive(path, &file, &wait, e.to);
        if (status != QAR_OK) return status;
    }
    qar_archive* archive = nullptr;
    status = read_archive(file, path, &archive, e.to);
    if (status != QAR_OK) {
        plat_close_stream(file);
        return status;
    }
    archive->writable = how != QAR_READ;
    archive->created = created;
    archive->temp_notice = given.temp_notice;
    archive->temp_context = given.temp_context;
    if ((mode & QAR_ANY_KEY) == 0 && archive->key != key) {
        status = set_error(e.to, QAR_KEY_MISMATCH, "The key does not match file \"%s\"",
                           archive->base_name);
        qar_close(archive, nullptr);
        return status;
    }
    *out = archive;
    return QAR_OK;
}

qar_status qar_open_key(const char* path, unsigned mode, uint32_t key, qar_wait_notice notice,
                        void* notice_context, qar_archive** out, qar_error* error) {
    const qar_open_options options = {notice, notice_context, nullptr, nullptr};
    return qar_open_with(path, mode, key, &options, out, error);
}

qar_status qar_open(const char* path, unsigned mode, const char* password, qar_archive** out,
                    qar_error* error) {
    return qar_open_with(path, mode, qar_key_from_password(password), nullptr, out, error);
}

qar_status qar_close(qar_archive* archive, qar_error* error) {
    ErrorOut e(error);
    if (archive == nullptr) return QAR_OK;
    qar_status status = QAR_OK;
    errno = 0;
    if (archive->file != nullptr && !plat_close_stream(archive->file))
        status = set_system_error(e.to, QAR_IO, errno, "Could not close file \"%s\"",
                                  archive->base_name);
    free_handle(archive);
    return status;
}

// ---------------------------------------------------------------------------
// What the handle tells

uint32_t qar_archive_key(const qar_archive* archive) { return archive->key; }

int qar_archive_created(const qar_archive* archive) { return archive->created; }

int qar_interrupted_append(const qar_archive* archive) {
    return archive->left_by_interrupted_append;
}

int64_t qar_archive_size(const qar_archive* archive) { return stream_size(archive->file); }

int qar_archive_file_id(const qar_archive* archive, uint64_t* volume, uint64_t* file) {
    PlatFileId id;
    if (!plat_stream_id(archive->file, &id)) return 0;
    *volume = id.volume;
    *file = id.file;
    return 1;
}

size_t qar_count(const qar_archive* archive) { return size_t(archive->entry_count); }

qar_status qar_entry_at(const qar_archive* archive, size_t position, qar_entry* out,
                        qar_error* error) {
    ErrorOut e(error);
    if (position >= size_t(archive->entry_count))
        return set_error(e.to, QAR_INVALID, "No record at that position in file \"%s\"",
                         archive->base_name);
    const DirectoryEntry& entry = archive->entries[position];
    memcpy(out->name, entry_name_text(entry).text, sizeof out->name);
    out->index = entry.index;
    out->size = entry_plain_size(entry);
    out->stored_size = entry.stored_size;
    out->method = method_of_flags(entry.flags);
    out->stamp = entry.time;
    out->mtime = qar_stamp_to_time(entry.time);
    out->deleted = (entry.flags & QAR_FLAG_DELETED) != 0;
    return QAR_OK;
}

qar_status qar_find(const qar_archive* archive, const char* name, size_t* position,
                    qar_error* error) {
    ErrorOut e(error);
    const int32_t found = find_entry(archive, name);
    if (found < 0)
        return set_error(e.to, QAR_NOT_FOUND, "Could not find record \"%s\" in file \"%s\"",
                         name != nullptr ? name : "", archive->base_name);
    *position = size_t(found);
    return QAR_OK;
}

const char* qar_status_text(qar_status status) {
    switch (status) {
    case QAR_OK: return "success";
    case QAR_NOT_FOUND: return "not found";
    case QAR_EXISTS: return "already exists";
    case QAR_INVALID: return "invalid call";
    case QAR_KEY_MISMATCH: return "key does not match";
    case QAR_DAMAGED: return "damaged archive or record";
    case QAR_IO: return "system error";
    case QAR_TOO_LARGE: return "too large";
    case QAR_REFUSED: return "refused after an earlier failed write";
    case QAR_BUFFER_TOO_SMALL: return "buffer too small";
    case QAR_CODEC: return "compression library error";
    case QAR_NO_MEMORY: return "out of memory";
    }
    return "unknown status";
}

const char* qar_version(void) { return QAR_TOOLS_VERSION; }
