// The operating-system services the archive store and both tools need,
// behind one narrow interface.
//
// Everything system-specific lives in one implementation file per system
// (platform_posix.cpp, platform_windows.cpp; the build compiles exactly one);
// no other file tests for the system. Every function is prefixed plat_. Paths are byte strings in the system's
// own encoding. Functions that can fail return 1 on success and 0 on failure
// unless stated otherwise; none of them prints anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// ---------------------------------------------------------------------------
// Calendar fields

// Calendar fields in the runtime's calendar-structure convention: the year
// counted from 1900 and the month field counting from 0 (0 = January).
// plat_mkgmtime accepts any values and normalises them.
struct PlatTm {
    int year;    // years since 1900
    int month;   // 0-11 when produced by this layer
    int day;     // 1-31
    int hour;    // 0-23
    int minute;  // 0-59
    int second;  // 0-60
};

// A wall-clock date and time as a person writes it: the full year and the
// month numbered 1 to 12. Always UTC where this layer produces or takes it.
struct PlatDateTime {
    int year;    // e.g. 2014
    int month;   // 1-12
    int day;     // 1-31
    int hour;
    int minute;
    int second;
};

// Reads the fields as a UTC date, normalising fields out of their range
// (month 12 is January of the next year, day 32 rolls into the next month),
// and returns the seconds since 1970-01-01 00:00:00 UTC. Returns -1 for an
// instant before 1970 or one the system cannot represent.
int64_t plat_mkgmtime(const PlatTm& fields);

// Splits seconds since 1970 into UTC (plat_gmtime) or local-time
// (plat_localtime) calendar fields. Fails for a negative value and for one
// the system cannot convert; *out is then unspecified.
int plat_gmtime(int64_t seconds, PlatTm* out);
int plat_localtime(int64_t seconds, PlatTm* out);

// ---------------------------------------------------------------------------
// File identity

// What makes a file the same file whatever path reaches it (device and file
// number, or volume and file index).
struct PlatFileId {
    uint64_t volume;
    uint64_t file;
};

// 1 when both identities name the same file.
int plat_same_file(const PlatFileId& a, const PlatFileId& b);

// The identity of the file behind an open stream.
int plat_stream_id(FILE* stream, PlatFileId* out);

// The identity of the file a path names. With follow_links 0 a symbolic link
// is taken as itself, otherwise as the file it points at. Fails when the
// path names nothing (also a dangling link with follow_links set).
int plat_path_id(const char* path, int follow_links, PlatFileId* out);

// 1 when the path names anything at all (a dangling link included).
int plat_path_exists(const char* path);

// ---------------------------------------------------------------------------
// Pattern search

// Longest path the pattern search and the file functions take, terminating
// zero included (4096 on POSIX systems, 260 on Windows). Callers refuse
// longer paths instead of cutting them.
extern const size_t PLAT_PATH_MAX;
// Longest bare name of a directory entry, terminating zero included.
constexpr size_t PLAT_NAME_MAX = 256;

// One entry found by a pattern search.
struct PlatFindEntry {
    int is_directory;           // also a symbolic link that leads to a directory
    char name[PLAT_NAME_MAX];   // the bare name, without any directory
    uint64_t size;              // bytes of a file, 0 for a directory
    PlatFileId id;              // identity of what the entry leads to
};

struct PlatFind;  // an open search; owned by whoever started it

// Starts a search for a pattern: a path whose directories are separated by
// '/' or '\' and whose last component may hold '*' (any run of characters)
// and '?' (any one character). Names are compared as the system compares
// file names: case-sensitively on POSIX systems, without regard to ASCII case
// on Windows. A trailing ".*" also matches a name without a dot, as "*.*"
// does on Windows. A last
// component without wildcards yields the entry of that name itself, a
// directory included; trailing separators are ignored. "." and ".." are
// never yielded, nor entries that vanish while the search runs; a symbolic
// link that leads nowhere is yielded as a file of size 0 (opening it then
// fails). Returns null when nothing matches (no search is left open);
// otherwise fills *first and returns a search to continue with
// plat_find_next and to end with plat_find_close. Entries come in the
// system's order.
PlatFind* plat_find_first(const char* pattern, PlatFindEntry* first);
// Fills *next with the following entry; 0 when there are no more.
int plat_find_next(PlatFind* search, PlatFindEntry* next);
// Ends a search and releases it; null is allowed.
void plat_find_close(PlatFind* search);

// 1 when the directory can be opened and its entries read. Tells an empty
// folder (a search in it finds nothing) from one that cannot be read.
int plat_can_list_directory(const char* path);

// 1 when a name matches the last component of a search pattern by the rules
// of plat_find_first. Exposed for the tests.
int plat_name_matches(const char* name, const char* pattern);

// 1 when the system takes name as an ordinary file in a directory, beyond
// the rules every system shares (not empty, not "." or "..", no separator, no
// control character). On Windows a reserved device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, with or without an extension, in any case), one of
// < > : " | ? * and a name ending in a dot or a space are refused: they would
// reach a device, an alternate data stream or another name.
int plat_is_ordinary_name(const char* name);

// ---------------------------------------------------------------------------
// Reading a whole file

enum PlatReadResult {
    PLAT_READ_OK = 0,
    PLAT_READ_OPEN_FAILED,  // missing, no permission, or not a regular file
    PLAT_READ_EMPTY,        // a file of length zero has nothing to read
    PLAT_READ_TOO_LARGE,    // longer than the caller's limit; not opened
    PLAT_READ_FAILED,       // opened, but the bytes could not be read
};

struct PlatInFile;  // a file open for reading; owned by whoever opened it

// What plat_open_read found out about the file when it opened it.
struct PlatFileInfo {
    uint64_t size;
    PlatDateTime write_time;     // last-write time, UTC
    int write_time_valid;        // 0 when the system could not convert it
};

// Opens an existing regular file read-only (a named pipe never blocks the
// call) and fills *info. Fails for an empty file and for one longer than
// max_size, leaving nothing open. Thread-safe.
PlatReadResult plat_open_read(const char* path, uint64_t max_size, PlatInFile** file_out,
                              PlatFileInfo* info);
// Reads the next bytes with read() into the caller's buffer until n bytes
// came or the file ended (a file that shrank since it was opened); *got
// receives the count. 0 when a read failed.
int plat_read_full(PlatInFile* file, uint8_t* buffer, size_t n, size_t* got);
// Closes the file and releases the PlatInFile; null is allowed.
void plat_close_read(PlatInFile* file);

// ---------------------------------------------------------------------------
// Writing a file safely

struct PlatOutFile;  // a new temporary file; owned by whoever created it

// Creates a new, empty temporary file in the directory dir ("." for the
// current one) under a name of its own (never an existing file, never
// through a symbolic link), with the permissions an ordinary new file gets.
// Until plat_commit_file or plat_discard_file it is removed when the process
// is interrupted or terminated from outside, as plat_remove_on_interrupt
// says (on Windows also when the process ends in any other way). One such
// file at a time. Null on failure.
PlatOutFile* plat_create_temp(const char* dir);
// Writes all size bytes; 0 when any could not be written.
int plat_write_all(PlatOutFile* file, const uint8_t* data, size_t size);
// Sets the file's last-write time (UTC wall clock); its other times stay.
int plat_set_write_time(PlatOutFile* file, const PlatDateTime& utc);
// Closes the file and renames it to name (a path in the directory the file
// was created in), replacing whatever entry had that name (a symbolic link
// there is replaced, never followed); a regular file that is replaced passes
// its permission bits on. On failure the temporary file is removed and an
// existing file of that name is left as it was. Either way the PlatOutFile
// is released.
int plat_commit_file(PlatOutFile* file, const char* name);
// As plat_commit_file, but gives the file the name only where nothing has it:
// whatever is there is never replaced (errno EEXIST then), and the temporary
// file is removed. Either way the PlatOutFile is released.
int plat_commit_new_file(PlatOutFile* file, const char* name);
// Creates the directory and any missing parents ('/' between them).
// 1 when the path is a directory afterwards (also when it already was);
// on failure errno says why where the system sets it.
int plat_make_directories(const char* path);
// Closes and removes the temporary file and releases the PlatOutFile.
void plat_discard_file(PlatOutFile* file);

// ---------------------------------------------------------------------------
// Positioned reads and writes on a stream

// These work on the file behind a stream from fopen through its descriptor
// (or handle) alone, never through the stream's buffer, so callers must not
// mix in stream functions on it other than fclose. A stream without one (a
// memory stream) takes the stream functions instead.

// Size of the file behind the stream, or -1 when it cannot be found.
int64_t plat_stream_size(FILE* file);

// Reads exactly n bytes at offset (>= 0). 0 when any could not be read:
// errno set for a system error, left as it was when the file ends first.
int plat_read_at(FILE* file, int64_t offset, void* buffer, size_t n);

// Writes all n bytes at offset (>= 0, n > 0); a short write is continued, so
// only a real failure (a full disk, a size limit) fails.
int plat_write_at(FILE* file, int64_t offset, const void* buffer, size_t n);

// Writes all n bytes (n > 0) at the end of the file; *offset_out gets the
// position they were written at.
int plat_write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out);

// Flushes the stream and then the system's copy of the file to the disk.
int plat_sync_stream(FILE* file);

// 1 when the stream is open on a directory (some runtimes let fopen open one
// for reading; every read then fails).
int plat_stream_is_directory(FILE* file);

// getc without the stream's lock, for a stream only one thread uses.
int plat_getc_unlocked(FILE* file);

// Makes a stream that is open for reading (standard input) deliver its bytes
// as they are: no line-end translation, no end-of-file character. Text
// readers that handle CR LF themselves then read the same on every system.
void plat_read_bytes_as_they_are(FILE* file);

// Makes a stream that is open for writing end its lines as the system's text
// files do: each '\n' written becomes CR LF on Windows; elsewhere nothing
// changes.
void plat_write_lines_as_text(FILE* file);

// 1 when the stream is an interactive terminal (a console on Windows), where
// reading would wait for someone to type; 0 for a file, a pipe or a device
// such as the null device.
int plat_is_terminal(FILE* file);

// ---------------------------------------------------------------------------
// Processor cores

// Cores this process may run on: its affinity mask rather than the machine's
// core count, so that a process pinned to one core counts one. At least 1.
unsigned plat_usable_cores();

// ---------------------------------------------------------------------------
// Replacing a file beside itself

enum PlatFileKind {
    PLAT_FILE_MISSING = 0,  // nothing there, or it cannot be examined
    PLAT_FILE_REGULAR,
    PLAT_FILE_OTHER,        // a directory, a device, a pipe
};

// What the path leads to, symbolic links followed.
PlatFileKind plat_file_kind(const char* path);

// The file a symbolic link finally leads to (an absolute path), so that the
// link stays and its target is replaced; the path itself when it is no link
// or the link leads nowhere.
std::string plat_link_target(const char* path);

// 1 when the user may write the existing file; the file is not changed.
int plat_may_write(const char* path);

// Creates a new file named path + ".tmp." + a unique suffix beside path and
// opens it for binary writing; *temp_name gets its name. It gets the
// permission bits of path when that is an existing regular file, otherwise
// those an ordinary new file gets. Null, with errno set and nothing left
// behind, on failure; the caller owns the stream.
FILE* plat_create_temp_beside(const char* path, std::string* temp_name);

// Renames from over to, replacing a file there at once. Fails, leaving both
// as they were, when to cannot be replaced (also when another process holds
// it open without letting others delete it).
int plat_replace_file(const char* from, const char* to);

// 1 when a file can be renamed over while this process holds it open (and
// locked). Where it cannot, a writer lets go of the file just before it
// replaces it.
int plat_can_replace_open_file();

// Removes a file; 0 when it could not be removed.
int plat_remove_file(const char* path);

// Arranges that the file is removed when the process is interrupted or
// terminated from outside (Ctrl+C, a termination request, a closed pipe or
// console) before plat_forget_on_interrupt is called. One file at a time;
// a path too long to note is not removed.
void plat_remove_on_interrupt(const char* path);
void plat_forget_on_interrupt();

// ---------------------------------------------------------------------------
// Opening and closing streams

// fopen through the layer, so that the call is counted (and can be failed on
// purpose, see below). The file can be renamed over or removed while it is
// open, on every system, and the stream is not inherited by child processes.
// Null with errno set on failure.
FILE* plat_open_stream(const char* path, const char* mode);

// fclose through the layer. The stream is released whatever the result; 0
// (errno set) when the system reported an error, which for a file written
// through the stream can mean that written bytes were lost.
int plat_close_stream(FILE* file);

// Gives the file named from the name to, only when nothing has that name: a
// file that appeared there meanwhile is never replaced. On success from is
// gone; on failure (errno EEXIST when to exists) both are as they were.
int plat_move_new(const char* from, const char* to);

// ---------------------------------------------------------------------------
// One writer at a time

// Takes an exclusive advisory lock on the whole file behind the stream (open
// for reading or writing), held until the stream is closed. Only other
// lockers are held up; readers that take no lock never wait. When another
// process holds the lock, blocks until it is released; once it has waited one
// second, calls on_wait(context) once, from another thread, and goes on
// waiting. Fails (errno set) only when the system cannot lock the file.
// System-independent: built on plat_try_lock and plat_wait_lock.
int plat_lock_exclusive(FILE* file, void (*on_wait)(void* context), void* context);

enum PlatLockResult {
    PLAT_LOCK_TAKEN = 0,
    PLAT_LOCK_BUSY,    // another process holds it
    PLAT_LOCK_FAILED,  // the system cannot lock this file; errno set
};

// The two steps each system provides: take the lock if it is free at once,
// and block until it is taken (1) or cannot be (0, errno set). A lock taken
// is released when the stream is closed.
PlatLockResult plat_try_lock(FILE* file);
int plat_wait_lock(FILE* file);

// ---------------------------------------------------------------------------
// Failing calls on purpose

// Every function of this layer that opens, reads, writes, flushes or syncs,
// renames, closes or locks a file counts that call by its kind before making
// it (one count per function call, however many system calls it takes). A
// test can choose one call, the nth of a kind, to fail: the function then
// fails as if the system had refused, with errno set to the chosen error
// (except a close, which still releases the stream). With the error
// PLAT_CALL_INTERRUPTS the call does not fail: the process ends there as an
// interruption from outside ends it (Ctrl+C, a termination request), with
// the same cleanup. Shared by every system, so the same walk runs
// everywhere. Nothing but a test arms it; the shipped programs have no way to.
enum PlatCall {
    PLAT_CALL_OPEN = 0,  // opening or creating a file (mapping one for reading included)
    PLAT_CALL_READ,
    PLAT_CALL_WRITE,
    PLAT_CALL_FLUSH,     // flushing a stream or syncing a file to the disk
    PLAT_CALL_RENAME,    // renaming or moving a file into place
    PLAT_CALL_CLOSE,
    PLAT_CALL_LOCK,
    PLAT_CALL_KINDS
};

constexpr int PLAT_CALL_INTERRUPTS = -1;

// "open", "read", ...: the kind's name in messages and test settings.
const char* plat_call_name(PlatCall kind);

// Makes the nth call of the kind (counting from 1, from the last
// plat_reset_calls) fail with error; nth 0 fails nothing. One choice at a time.
void plat_fail_call(PlatCall kind, uint64_t nth, int error);

// Zeroes every count and forgets the choice.
void plat_reset_calls();

// Calls of the kind counted since the last reset.
uint64_t plat_calls_made(PlatCall kind);

// For the implementations: counts a call of the kind; 1 when it is the one
// chosen to fail (errno is then set to the chosen error), else 0.
int plat_call_fails(PlatCall kind);
