// POSIX implementation of the platform layer (platform.h).
#include "platform.h"
#include "platform_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

const size_t PLAT_PATH_MAX = 4096;

// ---------------------------------------------------------------------------
// Calendar fields

int64_t plat_system_timegm(struct tm* fields) {
    errno = 0;
    // timegm's own error value is also a valid instant (one second before
    // 1970); both are "before 1970" here.
    return int64_t(timegm(fields));
}

int plat_system_gmtime(int64_t seconds, struct tm* out) {
    time_t value = time_t(seconds);
    return gmtime_r(&value, out) != nullptr;
}

int plat_system_localtime(int64_t seconds, struct tm* out) {
    static bool zone_loaded = false;
    if (!zone_loaded) {
        tzset();
        zone_loaded = true;
    }
    time_t value = time_t(seconds);
    return localtime_r(&value, out) != nullptr;
}

// ---------------------------------------------------------------------------
// File identity

namespace {

PlatFileId id_of(const struct stat& st) {
    return PlatFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

}  // namespace

int plat_stream_id(FILE* stream, PlatFileId* out) {
    struct stat st;
    if (!stream || fstat(fileno(stream), &st) != 0) return 0;
    *out = id_of(st);
    return 1;
}

int plat_path_id(const char* path, int follow_links, PlatFileId* out) {
    struct stat st;
    int rc = follow_links ? stat(path, &st) : lstat(path, &st);
    if (rc != 0) return 0;
    *out = id_of(st);
    return 1;
}

int plat_path_exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// ---------------------------------------------------------------------------
// Pattern search

struct PlatFind {
    DIR* dir;             // null for a search that named one entry
    std::string pattern;  // last component, matched against each name
};

namespace {

bool has_wildcards(const std::string& s) {
    return s.find_first_of("*?") != std::string::npos;
}

// Fills an entry from the file that dir_fd/name leads to; a link that leads
// nowhere is taken as itself. Fails only when the entry is gone.
bool examine(int dir_fd, const char* name, const char* bare_name, PlatFindEntry* out) {
    if (strlen(bare_name) >= PLAT_NAME_MAX) return false;
    struct stat st;
    if (fstatat(dir_fd, name, &st, 0) != 0 &&
        fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    out->is_directory = S_ISDIR(st.st_mode) ? 1 : 0;
    strcpy(out->name, bare_name);
    out->size = (S_ISREG(st.st_mode)) ? uint64_t(st.st_size) : 0;
    out->id = id_of(st);
    return true;
}

// Searches that name one entry: the path itself, without trailing separators.
PlatFind* find_single(std::string path, PlatFindEntry* first) {
    while (path.size() > 1 && plat_is_separator(path.back())) path.pop_back();
    if (path.empty() || plat_is_separator(path.back())) return nullptr;  // the root alone
    size_t cut = path.find_last_of("/\\");
    std::string bare = cut == std::string::npos ? path : path.substr(cut + 1);
    if (plat_is_dot_or_dotdot(bare.c_str())) return nullptr;
    if (!examine(AT_FDCWD, path.c_str(), bare.c_str(), first)) return nullptr;
    return new PlatFind{nullptr, std::string()};
}

}  // namespace

int plat_name_matches(const char* name, const char* pattern) {
    return plat_match_name(name, pattern, false);
}

int plat_is_ordinary_name(const char*) { return 1; }

PlatFind* plat_find_first(const char* pattern, PlatFindEntry* first) {
    if (strlen(pattern) >= PLAT_PATH_MAX) return nullptr;
    std::string path(pattern);
    for (char& c : path)
        if (c == '\\') c = '/';
    size_t cut = path.find_last_of('/');
    std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
    if (!has_wildcards(last)) return find_single(path, first);

    std::string dir_path = cut == std::string::npos ? "." : path.substr(0, cut);
    if (dir_path.empty()) dir_path = "/";
    DIR* dir = opendir(dir_path.c_str());
    if (!dir) return nullptr;
    PlatFind* search = new PlatFind{dir, last};
    if (plat_find_next(search, first)) return search;
    plat_find_close(search);
    return nullptr;
}

int plat_find_next(PlatFind* search, PlatFindEntry* next) {
    if (!search->dir) return 0;
    while (struct dirent* d = readdir(search->dir)) {
        if (plat_is_dot_or_dotdot(d->d_name)) continue;
        if (!plat_name_matches(d->d_name, search->pattern.c_str())) continue;
        if (examine(dirfd(search->dir), d->d_name, d->d_name, next)) return 1;
    }
    return 0;
}

int plat_can_list_directory(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return 0;
    errno = 0;
    bool read_ok = readdir(dir) != nullptr || errno == 0;
    closedir(dir);
    return read_ok ? 1 : 0;
}

void plat_find_close(PlatFind* search) {
    if (!search) return;
    if (search->dir) closedir(search->dir);
    delete search;
}

// ---------------------------------------------------------------------------
// Reading a whole file

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

struct PlatInFile {
    int fd;
};

PlatReadResult plat_open_read(const char* path, uint64_t max_size, PlatInFile** file_out,
                              PlatFileInfo* info) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return PLAT_READ_OPEN_FAILED;
    // O_NONBLOCK: a named pipe matched by a pattern must not hang the walk.
    FdCloser file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return PLAT_READ_OPEN_FAILED;
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return PLAT_READ_OPEN_FAILED;
    if (st.st_size <= 0) return PLAT_READ_EMPTY;
    uint64_t size = uint64_t(st.st_size);
    if (size > max_size || size > SIZE_MAX) return PLAT_READ_TOO_LARGE;
    info->size = size;
    time_t written = st.st_mtim.tv_sec;
    struct tm t;
    info->write_time_valid = gmtime_r(&written, &t) != nullptr;
    if (info->write_time_valid)
        info->write_time = PlatDateTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                                        t.tm_hour, t.tm_min, t.tm_sec};
    else
        info->write_time = PlatDateTime{1970, 1, 1, 0, 0, 0};
    *file_out = new PlatInFile{file.fd};
    file.fd = -1;
    return PLAT_READ_OK;
}

int plat_read_full(PlatInFile* file, uint8_t* buffer, size_t n, size_t* got) {
    if (plat_call_fails(PLAT_CALL_READ)) return 0;
    size_t done = 0;
    while (done < n) {
        // Regular files never block, whatever O_NONBLOCK says.
        ssize_t part = read(file->fd, buffer + done, n - done);
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) return 0;
        if (part == 0) break;
        done += size_t(part);
    }
    *got = done;
    return 1;
}

void plat_close_read(PlatInFile* file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

// ---------------------------------------------------------------------------
// Writing a file safely

struct PlatOutFile {
    int fd;
    std::string name;
};

PlatOutFile* plat_create_temp(const char* dir) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        PlatOutFile* file = new PlatOutFile;
        char base[64];
        snprintf(base, sizeof base, ".qartool-%ld-%u.tmp", long(getpid()), counter++);
        file->name = std::string(dir) + "/" + base;
        file->fd = open(file->name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (file->fd >= 0) {
            // A half-written file must not stay behind when the user stops
            // the run; plat_commit_file and plat_discard_file forget it.
            plat_remove_on_interrupt(file->name.c_str());
            return file;
        }
        int error = errno;
        delete file;
        if (error != EEXIST) return nullptr;
    }
    return nullptr;
}

int plat_write_all(PlatOutFile* file, const uint8_t* data, size_t size) {
    if (plat_call_fails(PLAT_CALL_WRITE)) return 0;
    while (size > 0) {
        ssize_t n = write(file->fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        size -= size_t(n);
    }
    return 1;
}

int plat_set_write_time(PlatOutFile* file, const PlatDateTime& utc) {
    int64_t seconds = plat_mkgmtime(PlatTm{utc.year - 1900, utc.month - 1, utc.day, utc.hour,
                                           utc.minute, utc.second});
    if (seconds < 0) return 0;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // last access stays
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = 0;
    return futimens(file->fd, times) == 0;
}

int plat_commit_file(PlatOutFile* file, const char* name) {
    // A regular file that is replaced keeps its permission bits.
    struct stat old;
    if (lstat(name, &old) == 0 && S_ISREG(old.st_mode)) fchmod(file->fd, old.st_mode & 07777);
    const bool close_fails = plat_call_fails(PLAT_CALL_CLOSE);
    int ok = close(file->fd) == 0 && !close_fails;
    if (ok) ok = !plat_call_fails(PLAT_CALL_RENAME) && rename(file->name.c_str(), name) == 0;
    if (!ok) unlink(file->name.c_str());
    const int error = errno;
    plat_forget_on_interrupt();
    errno = error;
    delete file;
    return ok;
}

int plat_commit_new_file(PlatOutFile* file, const char* name) {
    const bool close_fails = plat_call_fails(PLAT_CALL_CLOSE);
    int ok = close(file->fd) == 0 && !close_fails;
    if (ok) ok = plat_move_new(file->name.c_str(), name);
    const int error = errno;
    if (!ok) unlink(file->name.c_str());
    plat_forget_on_interrupt();
    errno = error;
    delete file;
    return ok;
}

int plat_make_directories(const char* path) {
    std::string sofar;
    std::string rest(path);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t next = rest.find('/', at);
        if (next == std::string::npos) next = rest.size();
        sofar = rest.substr(0, next);
        at = next + 1;
        if (sofar.empty()) continue;  // the root of an absolute path
        if (mkdir(sofar.c_str(), 0777) != 0 && errno != EEXIST) return 0;
    }
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    if (S_ISDIR(st.st_mode)) return 1;
    errno = ENOTDIR;  // a file of that name is in the way
    return 0;
}

void plat_discard_file(PlatOutFile* file) {
    if (!file) return;
    close(file->fd);
    unlink(file->name.c_str());
    plat_forget_on_interrupt();
    delete file;
}

// ---------------------------------------------------------------------------
// Positioned reads and writes on a stream

// A stream from fopen is read and written through its descriptor: one system
// call per read and two per write (the seek and the write), where the stream
// functions add seeks and read-aheads to keep their buffer aligned. The
// stream's own buffer is then never filled, so it cannot hold stale bytes.
namespace {

// Data goes out with write() at the descriptor's position, so the position of
// each write is visible to tools that watch the process.
int write_all(int fd, const void* buffer, size_t n) {
    const char* p = static_cast<const char*>(buffer);
    while (n > 0) {
        ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return 0;
        p += done;
        n -= size_t(done);
    }
    return 1;
}

}  // namespace

int plat_seek_stream(FILE* file, int64_t offset, int whence) {
    return fseeko(file, off_t(offset), whence);
}

int64_t plat_tell_stream(FILE* file) { return int64_t(ftello(file)); }

int64_t plat_stream_size(FILE* file) {
    int fd = fileno(file);
    if (fd < 0) return plat_buffered_size(file);
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return int64_t(st.st_size);
}

int plat_read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    if (offset < 0 || plat_call_fails(PLAT_CALL_READ)) return 0;
    int fd = fileno(file);
    if (fd < 0) return plat_buffered_read_at(file, offset, buffer, n);
    char* p = static_cast<char*>(buffer);
    off_t at = off_t(offset);
    while (n > 0) {
        ssize_t done = pread(fd, p, n, at);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return 0;  // an error, or the file ends first
        p += done;
        at += done;
        n -= size_t(done);
    }
    return 1;
}

int plat_write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    if (offset < 0 || n == 0 || plat_call_fails(PLAT_CALL_WRITE)) return 0;
    int fd = fileno(file);
    if (fd < 0) return plat_buffered_write_at(file, offset, buffer, n);
    if (lseek(fd, off_t(offset), SEEK_SET) != off_t(offset)) return 0;
    return write_all(fd, buffer, n);
}

int plat_write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    if (n == 0 || plat_call_fails(PLAT_CALL_WRITE)) return 0;
    int fd = fileno(file);
    if (fd < 0) return plat_buffered_write_at_end(file, buffer, n, offset_out);
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return 0;
    *offset_out = int64_t(end);
    return write_all(fd, buffer, n);
}

int plat_sync_stream(FILE* file) {
    if (plat_call_fails(PLAT_CALL_FLUSH)) return 0;
    return fflush(file) == 0 && fsync(fileno(file)) == 0;
}

int plat_stream_is_directory(FILE* file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_getc_unlocked(FILE* file) { return getc_unlocked(file); }

void plat_read_bytes_as_they_are(FILE*) {}

void plat_write_lines_as_text(FILE*) {}

int plat_is_terminal(FILE* file) { return isatty(fileno(file)) ? 1 : 0; }

// ---------------------------------------------------------------------------
// Processor cores

unsigned plat_usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}


// ---------------------------------------------------------------------------
// Replacing a file beside itself

PlatFileKind plat_file_kind(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return PLAT_FILE_MISSING;
    return S_ISREG(st.st_mode) ? PLAT_FILE_REGULAR : PLAT_FILE_OTHER;
}

std::string plat_link_target(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path, nullptr);
        if (real) {
            std::string resolved(real);
            free(real);
            return resolved;
        }
    }
    return path;
}

int plat_may_write(const char* path) {
    // Opening for writing without O_TRUNC tests the permission and leaves
    // the contents alone; O_NONBLOCK keeps a pipe from hanging the probe.
    int probe = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return 0;
    close(probe);
    return 1;
}

FILE* plat_create_temp_beside(const char* path, std::string* temp_name) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    struct stat st;
    mode_t mode;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temp = std::string(path) + ".tmp.XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) return nullptr;
    FILE* stream = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!stream) {
        int saved = errno;
        close(fd);
        unlink(temp.c_str());
        errno = saved;
        return nullptr;
    }
    *temp_name = temp;
    return stream;
}

int plat_replace_file(const char* from, const char* to) {
    if (plat_call_fails(PLAT_CALL_RENAME)) return 0;
    return rename(from, to) == 0;
}

int plat_move_new(const char* from, const char* to) {
    if (plat_call_fails(PLAT_CALL_RENAME)) return 0;
    // A hard link is made only where nothing has the name; a file system
    // without hard links gets the rename that refuses to replace.
    if (link(from, to) == 0) {
        unlink(from);
        return 1;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS && errno != EXDEV) return 0;
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}

// ---------------------------------------------------------------------------
// Opening streams

FILE* plat_open_stream(const char* path, const char* mode) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    // Not inherited: a child process would otherwise hold the writers' lock on.
    FILE* file = fopen(path, mode);
    if (file != nullptr) fcntl(fileno(file), F_SETFD, FD_CLOEXEC);
    return file;
}

// ---------------------------------------------------------------------------
// One writer at a time

// flock locks belong to the open file: closing another descriptor of the
// same file (a second open of the archive for reading) does not drop them,
// as it would drop an fcntl lock.
PlatLockResult plat_try_lock(FILE* file) {
    while (flock(fileno(file), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? PLAT_LOCK_BUSY : PLAT_LOCK_FAILED;
    }
    return PLAT_LOCK_TAKEN;
}

int plat_wait_lock(FILE* file) {
    while (flock(fileno(file), LOCK_EX) != 0)
        if (errno != EINTR) return 0;
    return 1;
}

int plat_can_replace_open_file() { return 1; }

int plat_remove_file(const char* path) { return unlink(path) == 0; }

namespace {

// The file that a fatal signal must remove. A signal handler may use only
// this fixed buffer, never a std::string.
char g_pending_removal[PATH_MAX];
volatile sig_atomic_t g_pending = 0;

bool g_handlers_installed = false;

void remove_pending_and_die(int sig) {
    if (g_pending) unlink(g_pending_removal);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void plat_remove_on_interrupt(const char* path) {
    size_t length = strlen(path);
    g_pending = 0;  // no handler reads the buffer while it changes
    if (length >= sizeof g_pending_removal) return;
    memcpy(g_pending_removal, path, length + 1);
    g_pending = 1;
    // Installed once and kept: an extract notes a file for every record, and
    // with nothing pending the handler does what the system would have done.
    // A signal the process was started to ignore (nohup) stays ignored.
    if (g_handlers_installed) return;
    g_handlers_installed = true;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_pending_and_die;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction previous;
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

void plat_forget_on_interrupt() { g_pending = 0; }

void plat_interrupt_self() {
    raise(SIGTERM);
    _exit(128 + SIGTERM);  // SIGTERM ignored: end as it would have
}
