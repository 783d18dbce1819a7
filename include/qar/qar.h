/* libqar: reading and writing QAR archives.
 *
 * A QAR archive is one file holding many records, each under a name of at
 * most 16 bytes. A record is stored as it is or as an LZO1X or LZO1Y stream,
 * whichever of the three is shortest, and may be masked with a 32-bit key
 * that comes from a password. Names are compared without regard to ASCII
 * case.
 *
 * Errors are values. Every call that can fail returns a qar_status and, when
 * the caller passes a qar_error, fills it with the status and a message that
 * names the file and, where the system gave one, its reason. The library
 * keeps no global or per-thread error state, never prints, never exits and
 * installs no signal handler; running out of memory is QAR_NO_MEMORY.
 *
 * Threads. An archive handle may be used by several threads at once for the
 * calls documented as reads (qar_count, qar_entry_at, qar_find, qar_read,
 * qar_read_alloc, qar_test): they read through positioned reads and share no
 * buffer. Calls that change the archive (qar_add*, qar_update*, qar_delete,
 * qar_compact, qar_close) must not run at the same time as any other call on
 * the same handle. Different handles are independent. A handle opened for
 * writing holds an exclusive lock on the archive until it is closed, so that
 * one writer at a time changes an archive, in this process or another;
 * readers take no lock.
 *
 * Encoding a record (qar_encode and its steps) touches no archive, so the
 * records of a large add can be encoded on many threads and then appended in
 * order on one (qar_add_encoded).
 *
 * The snapshot. Opening reads the directory into a snapshot of the live
 * records, sorted by name; positions (0 .. qar_count() - 1) refer to it.
 * Records of one name keep the order they were added in. Records added
 * through the handle are not in the snapshot; records deleted through it stay
 * in it, marked deleted, and can still be read.
 */
#ifndef QAR_QAR_H
#define QAR_QAR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(QAR_SHARED)
#  if defined(QAR_BUILDING)
#    define QAR_API __declspec(dllexport)
#  else
#    define QAR_API __declspec(dllimport)
#  endif
#elif defined(QAR_BUILDING) && defined(__GNUC__) && !defined(_WIN32)
#  define QAR_API __attribute__((visibility("default")))
#else
#  define QAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Status and messages
 */

typedef enum qar_status {
    QAR_OK = 0,
    QAR_NOT_FOUND = 1,     /* no archive at the path, or no record of that name */
    QAR_EXISTS = 2,        /* QAR_CREATE_NEW found a file at the path */
    QAR_INVALID = 3,       /* the call itself is wrong: an empty name, a record
                              of 0 bytes, a position past the snapshot, a write
                              on a read-only handle */
    QAR_KEY_MISMATCH = 4,  /* the archive's key is not the one given */
    QAR_DAMAGED = 5,       /* the archive or a record is not as the format has it */
    QAR_IO = 6,            /* the system failed a call (message has its reason) */
    QAR_TOO_LARGE = 7,     /* the archive would grow past 2,147,483,647 bytes, or
                              a record or buffer size does not fit */
    QAR_REFUSED = 8,       /* an earlier write through this handle failed: it
                              changes nothing more (reopen to write again) */
    QAR_BUFFER_TOO_SMALL = 9, /* qar_read: the record does not fit; size given */
    QAR_CODEC = 10,        /* the compression library failed */
    QAR_NO_MEMORY = 11     /* memory ran out; nothing is half done */
} qar_status;

/* Room for a message, terminating zero included; longer ones are cut. */
#define QAR_MESSAGE_SIZE 512

/* The outcome of one call, owned by the caller (usually on its stack). Every
 * call that takes one sets status (QAR_OK on success) and message (empty on
 * success). Pass NULL where the message is not wanted. */
typedef struct qar_error {
    qar_status status;
    char message[QAR_MESSAGE_SIZE];
} qar_error;

/* A short, fixed description of a status ("record not found", ...). */
QAR_API const char* qar_status_text(qar_status status);

/* "1.0"-style version of the library. */
QAR_API const char* qar_version(void);

/* ------------------------------------------------------------------------
 * Keys and time stamps
 */

/* The archive key of a password: CRC-32/BZIP2 of its bytes; "" and NULL give 0,
 * which means not masked. */
QAR_API uint32_t qar_key_from_password(const char* password);

/* A calendar date and time: full year, month 1-12, day 1-31. */
typedef struct qar_datetime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
} qar_datetime;

/* Seconds since 1970-01-01 00:00:00 UTC for a record whose time is unknown. */
#define QAR_TIME_UNKNOWN INT64_MIN

/* A record's stored time ("stamp") encodes a UTC date shifted by one month:
 * the month number 1-12 goes into the 0-based month field of the calendar,
 * so the stamp is the instant one month later (December becomes January of
 * the next year, 31 January becomes 3 March). Dates before 1970 store all
 * bits set, and so do instants past the last one the field holds
 * (2106-02-07 06:28:14 UTC), rather than a wrong date; a stamp is read as an
 * unsigned number, so dates up to 2106 come back. These functions are the
 * only place the shift is made and undone.
 *
 * qar_stamp_from_datetime: the stamp of a UTC date and time.
 * qar_stamp_to_datetime: the date a stamp stands for, in UTC (local 0) or in
 * the local time zone (local 1); 0 when it cannot be converted (a stamp with
 * all bits set, among others). */
QAR_API uint32_t qar_stamp_from_datetime(const qar_datetime* utc);
QAR_API int qar_stamp_to_datetime(uint32_t stamp, int local, qar_datetime* out);

/* The same in seconds since 1970 UTC. qar_stamp_from_time takes
 * QAR_TIME_UNKNOWN for a stamp with all bits set; qar_stamp_to_time gives
 * QAR_TIME_UNKNOWN for a stamp that cannot be converted. */
QAR_API uint32_t qar_stamp_from_time(int64_t seconds);
QAR_API int64_t qar_stamp_to_time(uint32_t stamp);

/* Seconds since 1970 UTC of a UTC date and time (any year; fields out of
 * their range roll over). No shift: a plain conversion for callers that
 * hold a file's time as calendar fields. */
QAR_API int64_t qar_time_from_datetime(const qar_datetime* utc);

/* ------------------------------------------------------------------------
 * Opening and closing
 */

typedef struct qar_archive qar_archive;

/* How qar_open opens. One of the first four, optionally with QAR_ANY_KEY. */
enum {
    QAR_READ = 0,        /* an existing archive, read only; no lock */
    QAR_WRITE = 1,       /* an existing archive, for reading and writing */
    QAR_CREATE = 2,      /* QAR_WRITE; a missing archive (or an empty file left in
                            its place) is first created, empty, with the key */
    QAR_CREATE_NEW = 3,  /* QAR_CREATE, but QAR_EXISTS when the path exists */
    QAR_MODE_MASK = 3,
    QAR_ANY_KEY = 0x100  /* do not compare keys: the archive's own key is used
                            (see qar_archive_key); new archives get the key given */
};

/* Called once, from another thread, when opening for writing has waited a
 * second for another writer's lock; the open goes on waiting. */
typedef void (*qar_wait_notice)(void* context, const char* path);

/* Opens the archive at path. The key is the password's (qar_key_from_password;
 * NULL for an unprotected archive) or the key given. Unless mode has
 * QAR_ANY_KEY, an archive whose key differs is QAR_KEY_MISMATCH. A new
 * archive appears whole or not at all. The header and the whole chain of
 * directory tables are checked before the open succeeds (QAR_DAMAGED).
 * On success *out owns the open archive (qar_close); on failure *out is NULL
 * and nothing is left open. notice may be NULL. */
QAR_API qar_status qar_open(const char* path, unsigned mode, const char* password,
                            qar_archive** out, qar_error* error);
QAR_API qar_status qar_open_key(const char* path, unsigned mode, uint32_t key,
                                qar_wait_notice notice, void* notice_context,
                                qar_archive** out, qar_error* error);

/* Called with the path of a temporary file the library is about to write
 * beside an archive (creating one, compacting one), and with NULL once that
 * file has been renamed into place or removed. A program that removes
 * unfinished files when it is interrupted keeps the path until NULL comes;
 * the library itself installs no signal handler. */
typedef void (*qar_temp_notice)(void* context, const char* temp_path);

/* What qar_open_with takes besides the path, mode and key; every member may
 * be NULL. The temporary-file notice stays with the handle (qar_compact). */
typedef struct qar_open_options {
    qar_wait_notice wait_notice;
    void* wait_context;
    qar_temp_notice temp_notice;
    void* temp_context;
} qar_open_options;

/* qar_open_key with notices; options may be NULL. */
QAR_API qar_status qar_open_with(const char* path, unsigned mode, uint32_t key,
                                 const qar_open_options* options, qar_archive** out,
                                 qar_error* error);

/* Closes the file and frees the handle (NULL is ignored). The handle is gone
 * either way; QAR_IO when the system reported an error on closing, which for
 * an archive written to means written bytes may be lost. */
QAR_API qar_status qar_close(qar_archive* archive, qar_error* error);

/* The archive's key (0: not masked). */
QAR_API uint32_t qar_archive_key(const qar_archive* archive);

/* 1 when the archive was left by an add interrupted between its writes: its
 * last record is complete and listed, and the next add brings the header
 * back into step. That alone is no damage. */
QAR_API int qar_interrupted_append(const qar_archive* archive);

/* 1 when this open created the archive (QAR_CREATE, QAR_CREATE_NEW), 0 when
 * it opened one that was there. */
QAR_API int qar_archive_created(const qar_archive* archive);

/* The size of the archive file now, or -1 when the system cannot tell. */
QAR_API int64_t qar_archive_size(const qar_archive* archive);

/* The identity of the open file (device and file number or their like), so
 * that a caller can refuse to store or overwrite the archive itself. 0 when
 * the system cannot tell. */
QAR_API int qar_archive_file_id(const qar_archive* archive, uint64_t* volume, uint64_t* file);

/* ------------------------------------------------------------------------
 * Entries
 */

/* How a record is stored. */
typedef enum qar_method {
    QAR_METHOD_NONE = 0,
    QAR_METHOD_LZO1X = 1,
    QAR_METHOD_LZO1Y = 2,
    QAR_METHOD_UNKNOWN = 3  /* flags the library cannot decode */
} qar_method;

#define QAR_NAME_SIZE 16

typedef struct qar_entry {
    char name[QAR_NAME_SIZE + 1]; /* as stored, up to the first zero byte; terminated */
    int32_t index;          /* the record's sequence number in the archive */
    uint32_t size;          /* plain bytes */
    uint32_t stored_size;   /* bytes in the file */
    qar_method method;
    uint32_t stamp;         /* the time as stored (see qar_stamp_to_datetime) */
    int64_t mtime;          /* seconds since 1970 UTC, the month shift undone;
                               QAR_TIME_UNKNOWN when the stamp has none */
    int deleted;            /* deleted through this handle since it was opened */
} qar_entry;

/* Records in the snapshot. A read. */
QAR_API size_t qar_count(const qar_archive* archive);

/* The entry at a position of the snapshot; QAR_INVALID past the end. A read. */
QAR_API qar_status qar_entry_at(const qar_archive* archive, size_t position, qar_entry* out,
                                qar_error* error);

/* The position of the first snapshot entry with that name (ASCII case
 * ignored, at most 16 bytes compared); QAR_NOT_FOUND when there is none.
 * A read. */
QAR_API qar_status qar_find(const qar_archive* archive, const char* name, size_t* position,
                            qar_error* error);

/* ------------------------------------------------------------------------
 * Reading
 */

/* Reads the plain bytes (decompressed, unmasked) of the record at position
 * into the caller's buffer. *size gets the record's size, also when it does
 * not fit capacity (QAR_BUFFER_TOO_SMALL, buffer untouched). Stored bytes
 * outside the file, or a stream that does not decode to exactly the recorded
 * size, is QAR_DAMAGED: a damaged record is never handed out in part. Stored
 * bytes outside the file are found before the capacity is looked at, so a
 * caller that grows its buffer to *size after QAR_BUFFER_TOO_SMALL never
 * allocates what a damaged entry claims. A read. */
QAR_API qar_status qar_read(const qar_archive* archive, size_t position, void* buffer,
                            size_t capacity, size_t* size, qar_error* error);

/* As qar_read, into a new block that *data owns (free it with qar_free); a
 * record of 0 bytes still gives a block. *data is NULL on failure. A read. */
QAR_API qar_status qar_read_alloc(const qar_archive* archive, size_t position, void** data,
                                  size_t* size, qar_error* error);

/* Frees a block from qar_read_alloc (NULL is ignored). */
QAR_API void qar_free(void* data);

/* Whether the record at position is sound: its stored bytes lie in the file,
 * clear of the header and of every directory table, can be read, and a
 * compressed record decodes to exactly its size. QAR_DAMAGED otherwise, with
 * a message saying what is wrong in words that fit after "is damaged: " (it
 * names neither the record nor the file). A read. */
QAR_API qar_status qar_test(const qar_archive* archive, size_t position, qar_error* error);

/* Called for each damaged record that qar_test_all or qar_compact finds,
 * with its position and qar_test's message. */
typedef void (*qar_damage_notice)(void* context, size_t position, const char* message);

/* qar_test for every record of the snapshot; *damaged (may be NULL) gets
 * their number. QAR_DAMAGED when any is, the message then that of the first. */
QAR_API qar_status qar_test_all(const qar_archive* archive, qar_damage_notice notice,
                                void* notice_context, size_t* damaged, qar_error* error);

/* ------------------------------------------------------------------------
 * Encoding
 *
 * A record is encoded once, by qar_encode: masked with the key, compressed
 * with both methods, the shortest of the plain bytes and the two streams
 * chosen (a tie goes to the plain bytes, then LZO1X), and a chosen stream
 * optimised. Records over 16,777,215 bytes, and encodings asked with
 * QAR_ENCODE_PLAIN, are stored as they are (masked).
 *
 * qar_encode is its three steps on the calling thread. A caller that spreads
 * one record over threads calls qar_encode_begin, then qar_encode_step for
 * each step it announces (different steps of one record may run at the same
 * time, each on its own workspace), then qar_encode_end. The result is the
 * same either way.
 */

typedef struct qar_encoded qar_encoded;     /* one record's bytes and streams; reusable */
typedef struct qar_workspace qar_workspace; /* one thread's compressor memory; reusable */

enum {
    QAR_ENCODE_PLAIN = 1  /* mask only, never compress */
};

/* New empty objects (*out NULL on failure); free with the matching _free
 * (NULL is ignored). Reusing them for record after record saves allocations. */
QAR_API qar_status qar_encoded_new(qar_encoded** out, qar_error* error);
QAR_API void qar_encoded_free(qar_encoded* encoded);
QAR_API qar_status qar_workspace_new(qar_workspace** out, qar_error* error);
QAR_API void qar_workspace_free(qar_workspace* workspace);

/* Encodes size bytes of data (never changed) into encoded, replacing what it
 * held. workspace may be NULL (one is made for the call). */
QAR_API qar_status qar_encode(qar_encoded* encoded, const void* data, size_t size,
                              uint32_t key, unsigned options, qar_workspace* workspace,
                              qar_error* error);

/* The steps of qar_encode. begin copies and masks the data and sets *steps
 * to the number of qar_encode_step calls (0, 1 or 2, numbered from 0) that
 * must follow before qar_encode_end. */
QAR_API qar_status qar_encode_begin(qar_encoded* encoded, const void* data, size_t size,
                                    uint32_t key, unsigned options, unsigned* steps,
                                    qar_error* error);
QAR_API qar_status qar_encode_step(qar_encoded* encoded, unsigned step,
                                   qar_workspace* workspace, qar_error* error);
QAR_API qar_status qar_encode_end(qar_encoded* encoded, qar_error* error);

/* The result of a finished encoding: the bytes as the archive stores them
 * (valid until encoded is reused or freed), their number, the method, and
 * the plain size. NULL before an encoding has ended. */
QAR_API const void* qar_encoded_bytes(const qar_encoded* encoded, size_t* stored_size,
                                      qar_method* method, size_t* size);

/* ------------------------------------------------------------------------
 * Writing (handles opened with QAR_WRITE, QAR_CREATE or QAR_CREATE_NEW)
 *
 * Every write is flushed before the call returns, and the archive stays
 * readable with every completed record whatever point a process is killed
 * at. A failed write leaves the archive as it read before and makes the
 * handle refuse further changes (QAR_REFUSED).
 */

/* Appends a new record under name with the given time (seconds since 1970
 * UTC, or QAR_TIME_UNKNOWN). The name is stored lower-cased, cut to 16
 * bytes. Refused (nothing written): an empty name, 0 bytes, a size over
 * 4 GiB - 1, a file that would pass the size limit. The name is not checked
 * against existing records: the caller decides whether a second record of
 * a name is wanted (qar_find). qar_add encodes data itself (qar_encode);
 * qar_add_encoded stores an encoding made with this archive's key. */
QAR_API qar_status qar_add(qar_archive* archive, const char* name, const void* data,
                           size_t size, int64_t mtime, qar_error* error);
QAR_API qar_status qar_add_encoded(qar_archive* archive, const char* name,
                                   const qar_encoded* encoded, int64_t mtime, qar_error* error);

/* Gives the snapshot's first record of that name new contents and time:
 * the bytes are written at the end of the file, stored without compression
 * (masked), and the record's entry points at them; it is no longer deleted.
 * QAR_NOT_FOUND, with nothing written, when the snapshot has no such name.
 * qar_update_encoded takes an encoding made with QAR_ENCODE_PLAIN and this
 * archive's key (QAR_INVALID for a compressed one). */
QAR_API qar_status qar_update(qar_archive* archive, const char* name, const void* data,
                              size_t size, int64_t mtime, qar_error* error);
QAR_API qar_status qar_update_encoded(qar_archive* archive, const char* name,
                                      const qar_encoded* encoded, int64_t mtime,
                                      qar_error* error);

/* Marks the record at position deleted in the file. It stays in the
 * snapshot (deleted 1) and readable through this handle. */
QAR_API qar_status qar_delete(qar_archive* archive, size_t position, qar_error* error);

/* What a compaction did. */
typedef struct qar_compact_result {
    size_t records;       /* live records kept */
    int64_t size_before;  /* bytes of the archive before */
    int64_t size_after;   /* and after */
} qar_compact_result;

/* Rewrites the archive with only its live records, in index order, stored
 * bytes, flags and times copied as they are (nothing decoded or compressed
 * again). Every record is tested first; each damaged one is passed to notice
 * (may be NULL), and then nothing is written and the result is QAR_DAMAGED.
 * The new archive is built beside the old one, flushed to the disk and
 * renamed over it (a link at the path stays a link: the file it leads to is
 * replaced), so that a failure or a kill at any point leaves the archive as
 * it was. The handle is closed and freed in every case, after the rename, so
 * that a writer waiting for the lock finds the compacted archive. */
QAR_API qar_status qar_compact(qar_archive* archive, qar_damage_notice notice,
                               void* notice_context, qar_compact_result* result,
                               qar_error* error);

/* ------------------------------------------------------------------------
 * Syncing and rewriting
 *
 * What a caller needs to bring an archive in step with a set of files
 * without appending a record per changed file, and to rewrite an archive
 * record by record while it encodes records on its own threads.
 */

/* Gives the record at position of the snapshot a new encoding (any method,
 * made with this archive's key by qar_encode) and time: the stored bytes are
 * written at the end of the file and the record's directory entry points at
 * them, its name and index kept; it is no longer deleted. The snapshot entry
 * follows, so a later read through the handle gives the new bytes. Refused,
 * with nothing written: an unfinished encoding or one of another key
 * (QAR_INVALID), a position past the snapshot, a file that would pass the
 * size limit (QAR_TOO_LARGE). */
QAR_API qar_status qar_replace_encoded(qar_archive* archive, size_t position,
                                       const qar_encoded* encoded, int64_t mtime,
                                       qar_error* error);

/* Sets the time of the record at position (seconds since 1970 UTC, or
 * QAR_TIME_UNKNOWN) and nothing else: only the directory table that holds
 * it is written. The snapshot entry follows. */
QAR_API qar_status qar_set_time(qar_archive* archive, size_t position, int64_t mtime,
                                qar_error* error);

/* A compaction made by the caller, one record at a time (see qar_rewrite_begin). */
typedef struct qar_rewrite qar_rewrite;

/* Starts rewriting the archive (open for writing) with only the records the
 * caller then hands in, in the order it hands them in: a new empty archive
 * with the same key is written beside it, with its permission bits (a link
 * at the path stays a link: the file it leads to is the one replaced), and
 * announced through the handle's temporary-file notice. From this call on
 * the rewrite owns the archive: qar_rewrite_commit or qar_rewrite_abandon
 * closes it, and so does this call when it fails (*out is then NULL). Until
 * then the archive may still be read, also from other threads (the reads of
 * the threads section), while one thread hands records in. */
QAR_API qar_status qar_rewrite_begin(qar_archive* archive, qar_rewrite** out,
                                     qar_error* error);

/* Appends the record at position of the archive's snapshot to the new
 * archive: its stored bytes, flags and time copied as they are, nothing
 * decoded. What qar_compact does for every live record. */
QAR_API qar_status qar_rewrite_copy(qar_rewrite* rewrite, size_t position, qar_error* error);

/* Appends the record at position of the archive's snapshot, under its name
 * and with its time, as the given encoding of its bytes (finished, made with
 * the archive's key); the record is then stored exactly as qar_add_encoded
 * stores that encoding. */
QAR_API qar_status qar_rewrite_encoded(qar_rewrite* rewrite, size_t position,
                                       const qar_encoded* encoded, qar_error* error);

/* Flushes the new archive to the disk and renames it over the archive, then
 * closes the archive and frees the rewrite, in every case; a failure leaves
 * the archive as it was and removes the new one. result (may be NULL) gets
 * the records handed in and both sizes. After a failed qar_rewrite_copy or
 * qar_rewrite_encoded only qar_rewrite_abandon is allowed. */
QAR_API qar_status qar_rewrite_commit(qar_rewrite* rewrite, qar_compact_result* result,
                                      qar_error* error);

/* Removes the new archive, closes the archive untouched and frees the
 * rewrite (NULL is ignored). */
QAR_API void qar_rewrite_abandon(qar_rewrite* rewrite);

#ifdef __cplusplus
}
#endif

#endif /* QAR_QAR_H */
