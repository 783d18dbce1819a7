#include "archive_io.h"

#include <cerrno>

#include "platform.h"

// The store reads and writes through the platform layer, which keeps the
// stream's own buffer out of the way (see platform.h).

int64_t stream_size(FILE* file) { return plat_stream_size(file); }

// errno is cleared first, so that set_io_error can tell a system error from
// a file that ends early.
int read_at(FILE* file, int64_t offset, void* buffer, size_t n) {
    errno = 0;
    return plat_read_at(file, offset, buffer, n);
}

int write_at(FILE* file, int64_t offset, const void* buffer, size_t n) {
    errno = 0;
    return plat_write_at(file, offset, buffer, n);
}

int write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out) {
    errno = 0;
    return plat_write_at_end(file, buffer, n, offset_out);
}
