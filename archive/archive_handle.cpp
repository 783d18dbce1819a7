#include "archive_handle.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <string>

#include "archive_io.h"
#include "platform.h"

namespace {

// One text per thread, so that records read or encoded on worker threads
// never write into the message the calling thread is about to print.
thread_local char g_last_error[QAR_LAST_ERROR_SIZE];

const char OUT_OF_MEMORY_TEXT[] = "ERROR: out of memory\n";

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

// Records of one name keep the order they were appended in, so that the
// snapshot (and what is listed and extracted from it) is the same on every
// system whatever its sort does with equal names.
int compare_entries(const void* a, const void* b) {
    const DirectoryEntry* x = static_cast<const DirectoryEntry*>(a);
    const DirectoryEntry* y = static_cast<const DirectoryEntry*>(b);
    const int by_name = compare_names(x->name, y->name);
    if (by_name != 0) return by_name;
    return (x->index > y->index) - (x->index < y->index);
}

int compare_key_with_entry(const void* key, const void* entry) {
    return compare_names(static_cast<const char*>(key),
                         static_cast<const DirectoryEntry*>(entry)->name);
}

void free_handle(ArchiveHandle* handle) {
    free(handle->table_offsets);
    free(handle->entries);
    free(handle);
}

}  // namespace

const char* last_error_text() { return g_last_error; }

void set_last_error(const char* format, ...) {
    // vsnprintf cuts the message to the buffer and always terminates it.
    va_list args;
    va_start(args, format);
    vsnprintf(g_last_error, sizeof g_last_error, format, args);
    va_end(args);
}

void set_io_error(const char* format, ...) {
    const int error = errno;
    char message[QAR_LAST_ERROR_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (error != 0)
        set_last_error("%s: %s", message, strerror(error));
    else
        set_last_error("%s", message);
}

void fatal_error(const char* message) {
    fprintf(stderr, "%s", message != nullptr ? message : OUT_OF_MEMORY_TEXT);
    exit(107);
}

void* store_alloc(size_t size) {
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr) fatal_error(OUT_OF_MEMORY_TEXT);
    return block;
}

void* store_realloc(void* block, size_t size) {
    void* grown = realloc(block, size != 0 ? size : 1);
    if (grown == nullptr) fatal_error(OUT_OF_MEMORY_TEXT);
    return grown;
}

uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size) {
    if (size > buffer->capacity || buffer->data == nullptr) {
        // The old contents need not survive: free first rather than realloc,
        // which would copy them.
        free(buffer->data);
        buffer->data = nullptr;
        buffer->capacity = 0;
        buffer->data = static_cast<uint8_t*>(store_alloc(size));
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

namespace {

void (*g_writer_wait_notice)(const char* path) = nullptr;

// Once per process, even when the wait starts over on a renamed archive.
void notice_waiting(void* path) {
    static bool noticed = false;
    if (g_writer_wait_notice != nullptr && !noticed)
        g_writer_wait_notice(static_cast<const char*>(path));
    noticed = true;
}

// Takes the writers' lock on the archive open in *file. The lock is on the
// file, and a writer that held it may have renamed a new archive over the
// name before letting go (a compaction): the file locked then is no longer
// the archive, and the one that now has the name is opened and locked
// instead. A writer may also have removed it (an add that created it and
// stored nothing): then the reopening fails. 0 with the last error set when
// the lock or the reopening fails; *file is then closed.
int lock_archive(const char* path, FILE** file) {
    for (;;) {
        if (!plat_lock_exclusive(*file, notice_waiting, const_cast<char*>(path))) {
            set_last_error("Could not lock file \"%s\": %s", path, strerror(errno));
            plat_close_stream(*file);
            return 0;
        }
        PlatFileId locked, named;
        if (!plat_stream_id(*file, &locked)) return 1;
        if (plat_path_id(path, 1, &named) ? plat_same_file(locked, named)
                                          : plat_path_exists(path))
            return 1;
        plat_close_stream(*file);
        *file = plat_open_stream(path, "rb+");
        if (*file == nullptr) {
            set_last_error("Could not open file \"%s\": %s", path, strerror(errno));
            return 0;
        }
    }
}

}  // namespace

void set_writer_wait_notice(void (*notice)(const char* path)) { g_writer_wait_notice = notice; }

int create_archive(const char* path, uint32_t key) {
    if (plat_path_exists(path)) {
        set_last_error("File \"%s\" already exists", path);
        return 0;
    }
    // The archive is written whole under a name of its own beside it and only
    // then given its name, so that no one ever sees a part of it, a failure
    // (a full disk) leaves nothing behind, and a file that appeared under the
    // name meanwhile is kept.
    std::string temp;
    FILE* file = plat_create_temp_beside(path, &temp);
    if (file == nullptr) {
        set_last_error("Could not create file \"%s\": %s", path, strerror(errno));
        return 0;
    }
    plat_remove_on_interrupt(temp.c_str());
    int ok = write_new_archive(file, key, path);
    const char* failed = ok ? nullptr : "write";
    int error = errno;
    if (!plat_close_stream(file) && ok) {
        failed = "close";
        error = errno;
    }
    if (failed == nullptr && !plat_move_new(temp.c_str(), path)) {
        error = errno;
        failed = "name";
    }
    if (failed != nullptr) plat_remove_file(temp.c_str());
    plat_forget_on_interrupt();
    if (failed == nullptr) return 1;
    if (error == EEXIST)
        set_last_error("File \"%s\" already exists", path);
    else if (std::strcmp(failed, "write") != 0)
        set_last_error("Could not %s file \"%s\": %s", failed, path, strerror(error));
    return 0;
}

int write_new_archive(FILE* file, uint32_t key, const char* base_name) {
    uint8_t bytes[QAR_HEADER_SIZE + QAR_TABLE_SIZE] = {};
    encode_header(new_archive_header(key), bytes);
    if (write_at(file, 0, bytes, sizeof bytes) && plat_sync_stream(file)) return 1;
    set_last_error("Could not write file \"%s\": %s", base_name, strerror(errno));
    return 0;
}

ArchiveHandle* open_archive(const char* path, int for_write) {
    FILE* file = plat_open_stream(path, for_write ? "rb+" : "rb");
    if (file == nullptr && for_write && errno == ENOENT) {
        // Another writer may create it at the same moment; either archive will do.
        if (!create_archive(path, 0) && !plat_path_exists(path)) return nullptr;
        file = plat_open_stream(path, "rb+");
    }
    if (file == nullptr) {
        set_last_error("Could not open file \"%s\": %s", path, strerror(errno));
        return nullptr;
    }
    if (!for_write) setvbuf(file, nullptr, _IONBF, 0);
    // The lock comes before the first read, so that the directory loaded is
    // the one no other writer changes while this handle is open.
    if (for_write && !lock_archive(path, &file)) return nullptr;
    char base_name[QAR_BASE_NAME_SIZE];
    take_base_name(path, base_name, sizeof base_name);
    ArchiveHandle* handle = read_archive_header(file, base_name);
    if (handle == nullptr) {
        plat_close_stream(file);
        return nullptr;
    }
    return handle;
}

ArchiveHandle* read_archive_header(FILE* file, const char* base_name) {
    uint8_t bytes[QAR_HEADER_SIZE];
    if (!read_at(file, 0, bytes, sizeof bytes)) {
        set_io_error("Could not read header of file \"%s\"", base_name);
        return nullptr;
    }
    ArchiveHeader header;
    decode_header(bytes, &header);
    if (memcmp(header.magic, QAR_MAGIC, 4) != 0 || header.version != QAR_VERSION ||
        header.name_length != QAR_NAME_LENGTH ||
        header.entries_per_table != QAR_ENTRIES_PER_TABLE || header.record_count < 0) {
        set_last_error("Invalid header in file \"%s\"", base_name);
        return nullptr;
    }
    ArchiveHandle* handle = static_cast<ArchiveHandle*>(store_alloc(sizeof(ArchiveHandle)));
    *handle = ArchiveHandle{};
    take_base_name(base_name, handle->base_name, sizeof handle->base_name);
    handle->file = file;
    handle->table_count = header.record_count / int32_t(QAR_ENTRIES_PER_TABLE) + 1;
    handle->next_index = header.record_count;
    handle->key = header.key;
    if (!load_directory(header, handle)) {
        free_handle(handle);
        return nullptr;
    }
    if (handle->entry_count > 1)
        qsort(handle->entries, size_t(handle->entry_count), sizeof(DirectoryEntry),
              compare_entries);
    return handle;
}

namespace {

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

void walk_add_table(DirectoryWalk* walk, uint32_t offset, const DirectoryTable& table) {
    if (walk->table_count == walk->offsets_capacity) {
        walk->offsets_capacity = walk->offsets_capacity * 2 + 4;
        walk->offsets = static_cast<uint32_t*>(
            store_realloc(walk->offsets, size_t(walk->offsets_capacity) * sizeof(uint32_t)));
    }
    walk->offsets[walk->table_count++] = offset;
    uint32_t used = table_used_slots(table);
    if (walk->entry_count + used > walk->entries_capacity) {
        walk->entries_capacity = walk->entries_capacity * 2 + QAR_ENTRIES_PER_TABLE;
        walk->entries = static_cast<DirectoryEntry*>(store_realloc(
            walk->entries, size_t(walk->entries_capacity) * sizeof(DirectoryEntry)));
    }
    for (uint32_t i = 0; i < used; ++i)
        if ((table.slots[i].flags & QAR_FLAG_DELETED) == 0)
            walk->entries[walk->entry_count++] = table.slots[i];
    walk->used_slots += used;
    walk->previous_used = walk->last_used;
    walk->last_used = used;
}

// Reads the chain from first_table_offset on. Stops with a message when a
// table cannot be read, when the chain runs past max_tables (too long for
// the header), or when a table does not lie behind the one before it
// (overlapping it or looping back).
int walk_chain(ArchiveHandle* handle, const ArchiveHeader& header, int64_t max_tables,
               DirectoryWalk* walk) {
    uint32_t offset = header.first_table_offset;
    uint8_t bytes[QAR_TABLE_SIZE];
    DirectoryTable table;
    for (;;) {
        if (!read_at(handle->file, offset, bytes, sizeof bytes)) {
            set_io_error("Could not read dtable %d of file \"%s\"", int(walk->table_count),
                           handle->base_name);
            return 0;
        }
        if (walk->table_count >= max_tables) {
            set_last_error("Header has %d dtables; actually %d dtables in file \"%s\"",
                           handle->table_count, int(walk->table_count + 1), handle->base_name);
            return 0;
        }
        decode_table(bytes, &table);
        walk_add_table(walk, offset, table);
        // At most one slot more than the header counts can be in use (an
        // interrupted append); stopping here also bounds the arrays.
        if (walk->used_slots > int64_t(header.record_count) + 1) {
            set_last_error("Invalid header in file \"%s\"", handle->base_name);
            return 0;
        }
        if (table.next_table_offset == 0) return 1;
        // Every table lies behind the one that points at it (each is written at
        // the end of the file). One that starts earlier overlaps this one or
        // loops back, and an append to it would overwrite slots in use.
        if (int64_t(table.next_table_offset) < int64_t(offset) + int64_t(QAR_TABLE_SIZE)) {
            set_last_error("Header has %d dtables; actually %d dtables in file \"%s\"",
                           handle->table_count, int(walk->table_count + 1), handle->base_name);
            return 0;
        }
        offset = table.next_table_offset;
    }
}

}  // namespace

int load_directory(const ArchiveHeader& header, ArchiveHandle* handle) {
    const int64_t record_count = header.record_count;
    const int64_t expected_tables = handle->table_count;
    int64_t file_size = stream_size(handle->file);
    if (file_size < 0) {
        set_last_error("Could not read dtable 0 of file \"%s\"", handle->base_name);
        return 0;
    }
    // One table more than the header accounts for is allowed (an interrupted
    // append, state (b) in the header). A chain of more tables than fit side
    // by side in the file can only overlap or loop.
    int64_t max_tables = expected_tables + 1;
    if (max_tables > file_size / int64_t(QAR_TABLE_SIZE))
        max_tables = file_size / int64_t(QAR_TABLE_SIZE);

    DirectoryWalk walk = {};
    int ok = walk_chain(handle, header, max_tables, &walk);
    int64_t next_index = record_count;
    if (ok) {
        const uint32_t in_last = uint32_t(record_count % QAR_ENTRIES_PER_TABLE);
        if (walk.table_count == expected_tables) {
            // Normal, or state (a): one more used slot than the header counts.
            if (walk.last_used == in_last + 1 && in_last + 1 < QAR_ENTRIES_PER_TABLE)
                next_index = record_count + 1;
            else if (walk.last_used > in_last)
                ok = 0;
            if (!ok || next_index > INT32_MAX) {
                ok = 0;
                set_last_error("Invalid header in file \"%s\"", handle->base_name);
            }
        } else if (walk.table_count == expected_tables + 1 &&
                   in_last == QAR_ENTRIES_PER_TABLE - 1 &&
                   walk.previous_used == QAR_ENTRIES_PER_TABLE && walk.last_used == 0) {
            next_index = record_count + 1;  // state (b)
        } else {
            ok = 0;
            set_last_error("Header has %d dtables; actually %d dtables in file \"%s\"",
                           handle->table_count, int(walk.table_count), handle->base_name);
        }
    }
    handle->table_offsets = walk.offsets;
    handle->entries = walk.entries;
    if (!ok) return 0;
    handle->table_count = int32_t(walk.table_count);
    handle->entry_count = int32_t(walk.entry_count);
    handle->next_index = int32_t(next_index);
    handle->left_by_interrupted_append = next_index != record_count;
    return 1;
}

DirectoryEntry* find_entry(ArchiveHandle* handle, const char* name) {
    if (handle->entry_count <= 0 || name == nullptr) return nullptr;
    // compare_names reads at most 16 bytes of the key and stops at its end,
    // which cuts a longer name to its first 16 bytes.
    return static_cast<DirectoryEntry*>(bsearch(name, handle->entries,
                                                size_t(handle->entry_count),
                                                sizeof(DirectoryEntry), compare_key_with_entry));
}

int close_archive(ArchiveHandle* handle) {
    if (handle == nullptr) return 1;
    int ok = 1;
    if (handle->file != nullptr && !plat_close_stream(handle->file)) {
        set_last_error("Could not close file \"%s\": %s", handle->base_name, strerror(errno));
        ok = 0;
    }
    free_handle(handle);
    return ok;
}
