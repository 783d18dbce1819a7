// Windows implementation of the platform layer (platform.h), on the Win32
// calls and the C runtime of a 64-bit Windows console program.
#include "platform.h"
#include "platform_internal.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

const size_t PLAT_PATH_MAX = MAX_PATH;

// ---------------------------------------------------------------------------
// Calendar fields

int64_t plat_system_timegm(struct tm* fields) { return int64_t(_mkgmtime64(fields)); }

int plat_system_gmtime(int64_t seconds, struct tm* out) {
    __time64_t value = seconds;
    return _gmtime64_s(out, &value) == 0;
}

int plat_system_localtime(int64_t seconds, struct tm* out) {
    static bool zone_loaded = false;
    if (!zone_loaded) {
        _tzset();
        zone_loaded = true;
    }
    __time64_t value = seconds;
    return _localtime64_s(out, &value) == 0;
}

// ---------------------------------------------------------------------------
// File identity

namespace {

HANDLE stream_handle(FILE* stream) {
    int fd = _fileno(stream);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool id_of_handle(HANDLE h, PlatFileId* out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    out->volume = info.dwVolumeSerialNumber;
    out->file = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Opens anything that exists, a directory included, for its attributes only;
// every sharing allowed, so that it never gets in another program's way.
HANDLE open_for_attributes(const char* path, bool follow_links) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

struct HandleCloser {
    HANDLE h;
    ~HandleCloser() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
    }
};

}  // namespace

int plat_stream_id(FILE* stream, PlatFileId* out) {
    if (!stream) return 0;
    HANDLE h = stream_handle(stream);
    return h != INVALID_HANDLE_VALUE && id_of_handle(h, out);
}

int plat_path_id(const char* path, int follow_links, PlatFileId* out) {
    HandleCloser file{open_for_attributes(path, follow_links != 0)};
    return file.h != INVALID_HANDLE_VALUE && id_of_handle(file.h, out);
}

int plat_path_exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// ---------------------------------------------------------------------------
// Pattern search

struct PlatFind {
    HANDLE find;          // INVALID_HANDLE_VALUE for a search that named one entry
    std::string dir;      // the searched directory with its separator, or empty
    std::string pattern;  // last component, matched against each name
};

namespace {

// Fills an entry from what the find call reported; the identity comes from
// the file itself. Fails when the entry is gone or its name is too long.
bool examine(const std::string& dir, const WIN32_FIND_DATAA& found, PlatFindEntry* out) {
    if (strlen(found.cFileName) >= PLAT_NAME_MAX) return false;
    std::string path = dir + found.cFileName;
    HandleCloser file{open_for_attributes(path.c_str(), true)};
    // A link that leads nowhere is taken as itself.
    if (file.h == INVALID_HANDLE_VALUE) file.h = open_for_attributes(path.c_str(), false);
    if (file.h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.h, &info)) return false;
    out->is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    strcpy(out->name, found.cFileName);
    out->size = out->is_directory
                    ? 0
                    : (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out->id.volume = info.dwVolumeSerialNumber;
    out->id.file = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

}  // namespace

// The file system compares names without regard to case, and so does the search.
int plat_name_matches(const char* name, const char* pattern) {
    return plat_match_name(name, pattern, true);
}

int plat_is_ordinary_name(const char* name) {
    static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
    size_t length = strlen(name);
    if (length == 0) return 0;
    if (name[length - 1] == '.' || name[length - 1] == ' ') return 0;
    if (strpbrk(name, "<>:\"|?*")) return 0;
    // The part before the first dot decides, whatever the extension; the
    // system also ignores spaces before the dot.
    std::string stem(name, strcspn(name, "."));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = plat_fold_ascii(c);
    for (const char* device : kDevices)
        if (stem == device) return 0;
    if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
        stem[3] >= '1' && stem[3] <= '9')
        return 0;
    return 1;
}

PlatFind* plat_find_first(const char* pattern, PlatFindEntry* first) {
    if (strlen(pattern) >= PLAT_PATH_MAX) return nullptr;
    std::string path(pattern);
    while (path.size() > 1 && plat_is_separator(path.back())) path.pop_back();
    if (path.empty() || plat_is_separator(path.back())) return nullptr;  // the root alone
    if (path.size() == 2 && path[1] == ':') return nullptr;         // a drive alone
    size_t cut = path.find_last_of("/\\:");
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
    if (plat_is_dot_or_dotdot(last.c_str())) return nullptr;

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(path.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return nullptr;
    PlatFind* search = new PlatFind{find, dir, last};
    // The find call also matches the short 8.3 names; only the long name counts.
    if ((!plat_is_dot_or_dotdot(found.cFileName) &&
         plat_name_matches(found.cFileName, last.c_str()) && examine(dir, found, first)) ||
        plat_find_next(search, first))
        return search;
    plat_find_close(search);
    return nullptr;
}

int plat_find_next(PlatFind* search, PlatFindEntry* next) {
    WIN32_FIND_DATAA found;
    while (FindNextFileA(search->find, &found)) {
        if (plat_is_dot_or_dotdot(found.cFileName)) continue;
        if (!plat_name_matches(found.cFileName, search->pattern.c_str())) continue;
        if (examine(search->dir, found, next)) return 1;
    }
    return 0;
}

int plat_can_list_directory(const char* path) {
    std::string pattern = std::string(path) + "/*";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    FindClose(find);
    return 1;
}

void plat_find_close(PlatFind* search) {
    if (!search) return;
    FindClose(search->find);
    delete search;
}

// ---------------------------------------------------------------------------
// Reading a whole file

struct PlatInFile {
    HANDLE h;
};

PlatReadResult plat_open_read(const char* path, uint64_t max_size, PlatInFile** file_out,
                              PlatFileInfo* info) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return PLAT_READ_OPEN_FAILED;
    // Read access, others may read meanwhile, an existing file only.
    HandleCloser file{CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return PLAT_READ_OPEN_FAILED;
    if (GetFileType(file.h) != FILE_TYPE_DISK) return PLAT_READ_OPEN_FAILED;
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file.h, &length)) return PLAT_READ_OPEN_FAILED;
    if (length.QuadPart <= 0) return PLAT_READ_EMPTY;
    uint64_t size = uint64_t(length.QuadPart);
    if (size > max_size || size > SIZE_MAX) return PLAT_READ_TOO_LARGE;
    info->size = size;
    FILETIME written;
    SYSTEMTIME t;
    info->write_time_valid = GetFileTime(file.h, nullptr, nullptr, &written) &&
                             FileTimeToSystemTime(&written, &t);
    if (info->write_time_valid)
        info->write_time = PlatDateTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    else
        info->write_time = PlatDateTime{1970, 1, 1, 0, 0, 0};
    *file_out = new PlatInFile{file.h};
    file.h = INVALID_HANDLE_VALUE;
    return PLAT_READ_OK;
}

int plat_read_full(PlatInFile* file, uint8_t* buffer, size_t n, size_t* got) {
    if (plat_call_fails(PLAT_CALL_READ)) return 0;
    size_t done = 0;
    while (done < n) {
        DWORD chunk = n - done > 0x40000000u ? 0x40000000u : DWORD(n - done);
        DWORD part = 0;
        if (!ReadFile(file->h, buffer + done, chunk, &part, nullptr)) return 0;
        if (part == 0) break;
        done += part;
    }
    *got = done;
    return 1;
}

void plat_close_read(PlatInFile* file) {
    if (!file) return;
    CloseHandle(file->h);
    delete file;
}

// ---------------------------------------------------------------------------
// Writing a file safely

struct PlatOutFile {
    HANDLE h;
    std::string name;
};

namespace {

// Sets or clears the mark that removes a file once its last handle closes.
int set_delete_on_close(HANDLE h, BOOL remove) {
    FILE_DISPOSITION_INFO info = {};
    info.DeleteFile = remove;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

}  // namespace

PlatOutFile* plat_create_temp(const char* dir) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        PlatOutFile* file = new PlatOutFile;
        char base[64];
        snprintf(base, sizeof base, ".qartool-%lu-%u.tmp",
                 static_cast<unsigned long>(GetCurrentProcessId()), counter++);
        file->name = std::string(dir) + "/" + base;
        // Write access, others may write while it is open, never an existing file.
        file->h = CreateFileA(file->name.c_str(), GENERIC_WRITE | DELETE,
                              FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file->h != INVALID_HANDLE_VALUE) {
            // Marked for deletion until plat_commit_file: however the process
            // ends before then, the system removes the half-written file when
            // it closes the handle.
            set_delete_on_close(file->h, TRUE);
            return file;
        }
        DWORD error = GetLastError();
        delete file;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

namespace {

// WriteFile takes at most 4 GiB less one byte per call.
int write_handle(HANDLE h, const uint8_t* data, size_t size, OVERLAPPED* at) {
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : DWORD(size);
        DWORD done = 0;
        if (!WriteFile(h, data, chunk, &done, at) || done == 0) return 0;
        data += done;
        size -= done;
        if (at) {
            uint64_t next = ((uint64_t(at->OffsetHigh) << 32) | at->Offset) + done;
            at->Offset = DWORD(next);
            at->OffsetHigh = DWORD(next >> 32);
        }
    }
    return 1;
}

OVERLAPPED overlapped_at(int64_t offset) {
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = DWORD(uint64_t(offset));
    at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
    return at;
}

}  // namespace

int plat_write_all(PlatOutFile* file, const uint8_t* data, size_t size) {
    if (plat_call_fails(PLAT_CALL_WRITE)) return 0;
    return write_handle(file->h, data, size, nullptr);
}

int plat_set_write_time(PlatOutFile* file, const PlatDateTime& utc) {
    SYSTEMTIME t;
    memset(&t, 0, sizeof t);
    t.wYear = WORD(utc.year);
    t.wMonth = WORD(utc.month);
    t.wDay = WORD(utc.day);
    t.wHour = WORD(utc.hour);
    t.wMinute = WORD(utc.minute);
    t.wSecond = WORD(utc.second);
    FILETIME written;
    if (!SystemTimeToFileTime(&t, &written)) return 0;
    return SetFileTime(file->h, nullptr, nullptr, &written) != 0;  // last write only
}

namespace {
bool is_directory(const char* path);
}  // namespace

int plat_commit_file(PlatOutFile* file, const char* name) {
    int ok = set_delete_on_close(file->h, FALSE);
    ok = CloseHandle(file->h) != 0 && ok;
    // The C runtime's rename never replaces an existing file.
    if (ok) ok = MoveFileExA(file->name.c_str(), name, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) {
        // The callers say why in the C runtime's words.
        const DWORD error = GetLastError();
        DeleteFileA(file->name.c_str());
        if (is_directory(name)) errno = EISDIR;
        else if (error == ERROR_ACCESS_DENIED) errno = EACCES;
    }
    delete file;
    return ok;
}

int plat_commit_new_file(PlatOutFile* file, const char* name) {
    int ok = set_delete_on_close(file->h, FALSE);
    ok = CloseHandle(file->h) != 0 && ok;
    if (ok) ok = plat_move_new(file->name.c_str(), name);
    if (!ok) {
        const int error = errno;
        DeleteFileA(file->name.c_str());
        errno = error;
    }
    delete file;
    return ok;
}

namespace {

bool is_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

int plat_make_directories(const char* path) {
    std::string sofar;
    std::string rest(path);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t next = rest.find_first_of("/\\", at);
        if (next == std::string::npos) next = rest.size();
        sofar = rest.substr(0, next);
        at = next + 1;
        // The root of an absolute path, or a drive ("C:") before its root.
        if (sofar.empty() || (sofar.size() == 2 && sofar[1] == ':')) continue;
        // A folder that exists may still refuse creation (a drive's root).
        if (!CreateDirectoryA(sofar.c_str(), nullptr) && !is_directory(sofar.c_str())) {
            // A file in the way is told as the C runtime tells it.
            if (GetFileAttributesA(sofar.c_str()) != INVALID_FILE_ATTRIBUTES) errno = ENOTDIR;
            return 0;
        }
    }
    return is_directory(path);
}

void plat_discard_file(PlatOutFile* file) {
    if (!file) return;
    CloseHandle(file->h);
    DeleteFileA(file->name.c_str());
    delete file;
}

// ---------------------------------------------------------------------------
// Positioned reads and writes on a stream

int plat_seek_stream(FILE* file, int64_t offset, int whence) {
    return _fseeki64(file, offset, whence);
}

int64_t plat_tell_stream(FILE* file) { return _ftelli64(file); }

int64_t plat_stream_size(FILE* file) {
    HANDLE h = stream_handle(file);
    if (h == INVALID_HANDLE_VALUE) return plat_buffered_size(file);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) return -1;
    return int64_t(size.QuadPart);
}

int plat_read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    if (offset < 0 || plat_call_fails(PLAT_CALL_READ)) return 0;
    HANDLE h = stream_handle(file);
    if (h == INVALID_HANDLE_VALUE) return plat_buffered_read_at(file, offset, buffer, n);
    char* p = static_cast<char*>(buffer);
    while (n > 0) {
        OVERLAPPED at = overlapped_at(offset);
        DWORD chunk = n > 0x40000000u ? 0x40000000u : DWORD(n);
        DWORD done = 0;
        if (!ReadFile(h, p, chunk, &done, &at) || done == 0) return 0;  // the file ends first
        p += done;
        offset += done;
        n -= done;
    }
    return 1;
}

int plat_write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    if (offset < 0 || n == 0 || plat_call_fails(PLAT_CALL_WRITE)) return 0;
    HANDLE h = stream_handle(file);
    if (h == INVALID_HANDLE_VALUE) return plat_buffered_write_at(file, offset, buffer, n);
    OVERLAPPED at = overlapped_at(offset);
    return write_handle(h, static_cast<const uint8_t*>(buffer), n, &at);
}

int plat_write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    if (n == 0 || plat_call_fails(PLAT_CALL_WRITE)) return 0;
    HANDLE h = stream_handle(file);
    if (h == INVALID_HANDLE_VALUE) return plat_buffered_write_at_end(file, buffer, n, offset_out);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) return 0;
    *offset_out = int64_t(size.QuadPart);
    OVERLAPPED at = overlapped_at(size.QuadPart);
    return write_handle(h, static_cast<const uint8_t*>(buffer), n, &at);
}

int plat_sync_stream(FILE* file) {
    if (plat_call_fails(PLAT_CALL_FLUSH)) return 0;
    if (fflush(file) != 0) return 0;
    HANDLE h = stream_handle(file);
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

int plat_stream_is_directory(FILE* file) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = stream_handle(file);
    return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int plat_getc_unlocked(FILE* file) { return _getc_nolock(file); }

void plat_read_bytes_as_they_are(FILE* file) { _setmode(_fileno(file), _O_BINARY); }

void plat_write_lines_as_text(FILE* file) { _setmode(_fileno(file), _O_TEXT); }

// The runtime's own test also takes the null device for a terminal: only a
// character device with a console mode is one.
int plat_is_terminal(FILE* file) {
    HANDLE h = stream_handle(file);
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR &&
                   GetConsoleMode(h, &mode)
               ? 1
               : 0;
}

// ---------------------------------------------------------------------------
// Processor cores

unsigned plat_usable_cores() {
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
        process_mask != 0)
        return unsigned(__builtin_popcountll(uint64_t(process_mask)));
    return 1;
}

// ---------------------------------------------------------------------------
// Replacing a file beside itself

PlatFileKind plat_file_kind(const char* path) {
    HandleCloser file{open_for_attributes(path, true)};
    if (file.h == INVALID_HANDLE_VALUE) return PLAT_FILE_MISSING;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file.h) == FILE_TYPE_DISK && GetFileInformationByHandle(file.h, &info) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return PLAT_FILE_REGULAR;
    return PLAT_FILE_OTHER;
}

std::string plat_link_target(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    HandleCloser file{open_for_attributes(path, true)};
    if (file.h == INVALID_HANDLE_VALUE) return path;
    char final_path[MAX_PATH + 8];
    DWORD length = GetFinalPathNameByHandleA(file.h, final_path, sizeof final_path,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= sizeof final_path) return path;
    std::string resolved(final_path, length);
    if (resolved.compare(0, 4, "\\\\?\\") == 0) resolved.erase(0, 4);
    return resolved;
}

int plat_may_write(const char* path) {
    // Opening for writing without truncating tests the permission (and the
    // read-only attribute) and leaves the contents alone.
    HANDLE probe = CreateFileA(path, GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(probe);
    return 1;
}

namespace {

// The C runtime's errno for a CreateFileA that failed, for the messages.
int open_errno(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ENOENT;
    if (error == ERROR_ACCESS_DENIED) return EACCES;
    return EIO;
}

}  // namespace

FILE* plat_create_temp_beside(const char* path, std::string* temp_name) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string temp = std::string(path) + ".tmp." +
                           std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(counter++);
        // Delete sharing, so that an interruption can remove the file while
        // it is still open (it goes once the process has closed it).
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            errno = open_errno(error);
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(h);
            DeleteFileA(temp.c_str());
            return nullptr;
        }
        FILE* stream = _fdopen(fd, "wb");
        if (!stream) {
            int saved = errno;
            _close(fd);
            DeleteFileA(temp.c_str());
            errno = saved;
            return nullptr;
        }
        *temp_name = temp;
        return stream;
    }
    errno = EEXIST;
    return nullptr;
}

int plat_replace_file(const char* from, const char* to) {
    if (plat_call_fails(PLAT_CALL_RENAME)) return 0;
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0) return 1;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return 0;
}

// A file held open, even with every kind of sharing, cannot be replaced here.
int plat_can_replace_open_file() { return 0; }

int plat_move_new(const char* from, const char* to) {
    if (plat_call_fails(PLAT_CALL_RENAME)) return 0;
    if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0) return 1;
    const DWORD error = GetLastError();
    errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : EIO;
    return 0;
}

// ---------------------------------------------------------------------------
// Opening streams

FILE* plat_open_stream(const char* path, const char* mode) {
    if (plat_call_fails(PLAT_CALL_OPEN)) return nullptr;
    if (mode[0] != 'r') return fopen(path, mode);
    // Every kind of sharing, so that the file can be replaced or removed while
    // it is open; the handle is not inherited.
    const bool update = std::strchr(mode, '+') != nullptr;
    HANDLE h = CreateFileA(path, GENERIC_READ | (update ? GENERIC_WRITE : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = open_errno(GetLastError());
        return nullptr;
    }
    const int binary = std::strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                   (update ? _O_RDWR : _O_RDONLY) | binary);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

// ---------------------------------------------------------------------------
// One writer at a time

namespace {

// The lock covers one byte far past any archive's end: Windows locks are
// enforced on reads, and readers must never wait for a writer.
constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;

int lock_stream(FILE* file, DWORD flags) {
    OVERLAPPED where = {};
    where.OffsetHigh = LOCK_OFFSET_HIGH;
    return LockFileEx(stream_handle(file), LOCKFILE_EXCLUSIVE_LOCK | flags, 0, 1, 0, &where);
}

}  // namespace

PlatLockResult plat_try_lock(FILE* file) {
    if (lock_stream(file, LOCKFILE_FAIL_IMMEDIATELY)) return PLAT_LOCK_TAKEN;
    if (GetLastError() == ERROR_LOCK_VIOLATION) return PLAT_LOCK_BUSY;
    errno = EIO;
    return PLAT_LOCK_FAILED;
}

int plat_wait_lock(FILE* file) {
    if (lock_stream(file, 0)) return 1;
    errno = EIO;
    return 0;
}

int plat_remove_file(const char* path) { return DeleteFileA(path) != 0; }

namespace {

// The file that a console interruption must remove. The handler runs on a
// thread of its own; it reads only this fixed buffer.
char g_pending_removal[MAX_PATH];
volatile LONG g_pending = 0;
bool g_handler_installed = false;

BOOL WINAPI remove_pending(DWORD) {
    if (InterlockedCompareExchange(&g_pending, 0, 1) == 1) DeleteFileA(g_pending_removal);
    return FALSE;  // the next handler, at last the system's, ends the process
}

}  // namespace

void plat_remove_on_interrupt(const char* path) {
    size_t length = strlen(path);
    if (length >= sizeof g_pending_removal) return;
    memcpy(g_pending_removal, path, length + 1);
    InterlockedExchange(&g_pending, 1);
    if (!g_handler_installed) g_handler_installed = SetConsoleCtrlHandler(remove_pending, TRUE);
}

void plat_forget_on_interrupt() { InterlockedExchange(&g_pending, 0); }

void plat_interrupt_self() {
    remove_pending(CTRL_C_EVENT);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
