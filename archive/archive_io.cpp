#include "archive_io.h"

#include <sys/types.h>

int64_t stream_size(FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(file);
    return end < 0 ? -1 : int64_t(end);
}

int read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    if (offset < 0 || fseeko(file, off_t(offset), SEEK_SET) != 0) return 0;
    return fread(buffer, 1, n, file) == n ? 1 : 0;
}

static int write_here(FILE* file, const void* buffer, size_t n) {
    if (n == 0) return 0;
    if (fwrite(buffer, 1, n, file) != n) return 0;
    return fflush(file) == 0 ? 1 : 0;
}

int write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    if (offset < 0 || fseeko(file, off_t(offset), SEEK_SET) != 0) return 0;
    return write_here(file, buffer, n);
}

int write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    int64_t end = stream_size(file);
    if (end < 0) return 0;
    *offset_out = end;
    return write_here(file, buffer, n);
}
