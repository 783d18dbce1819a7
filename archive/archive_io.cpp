#include "archive_io.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

// A stream from fopen is read and written through its descriptor: one system
// call per read and two per write (the seek and the write), where the stream
// functions add seeks and read-aheads to keep their buffer aligned. The
// stream's own buffer is then never filled, so it cannot hold stale bytes.
// A stream without a descriptor (a memory stream) takes the stream functions.
namespace {

int stream_descriptor(FILE* file) { return fileno(file); }

int64_t buffered_size(FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(file);
    return end < 0 ? -1 : int64_t(end);
}

int buffered_write_here(FILE* file, const void* buffer, size_t n) {
    if (fwrite(buffer, 1, n, file) != n) return 0;
    return fflush(file) == 0 ? 1 : 0;
}

// Writes all n bytes at the descriptor's position; a short write is
// continued, so that only a real failure (a full disk, a size limit) fails.
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

int64_t stream_size(FILE* file) {
    int fd = stream_descriptor(file);
    if (fd < 0) return buffered_size(file);
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return int64_t(st.st_size);
}

int read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    if (offset < 0) return 0;
    int fd = stream_descriptor(file);
    if (fd < 0) {
        if (fseeko(file, off_t(offset), SEEK_SET) != 0) return 0;
        return fread(buffer, 1, n, file) == n ? 1 : 0;
    }
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

int write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    if (offset < 0 || n == 0) return 0;
    int fd = stream_descriptor(file);
    if (fd < 0) {
        if (fseeko(file, off_t(offset), SEEK_SET) != 0) return 0;
        return buffered_write_here(file, buffer, n);
    }
    if (lseek(fd, off_t(offset), SEEK_SET) != off_t(offset)) return 0;
    return write_all(fd, buffer, n);
}

int write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    if (n == 0) return 0;
    int fd = stream_descriptor(file);
    if (fd < 0) {
        int64_t end = buffered_size(file);
        if (end < 0) return 0;
        *offset_out = end;
        return buffered_write_here(file, buffer, n);
    }
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return 0;
    *offset_out = int64_t(end);
    return write_all(fd, buffer, n);
}
