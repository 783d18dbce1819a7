#include "archive_io.h"

#include <cerrno>

#include "platform.h"

namespace libqar {

// The platform layer reports a system failure in errno. It is taken here,
// right after the call, and travels on as a value; errno is cleared first so
// that a read that ends early is told apart from a system error.

int64_t stream_size(FILE* file) { return plat_stream_size(file); }

int read_at(FILE* file, int64_t offset, void* buffer, size_t n, int* system_error) {
    errno = 0;
    const int ok = plat_read_at(file, offset, buffer, n);
    *system_error = ok ? 0 : errno;
    return ok;
}

int write_at(FILE* file, int64_t offset, const void* buffer, size_t n, int* system_error) {
    errno = 0;
    const int ok = plat_write_at(file, offset, buffer, n);
    *system_error = ok ? 0 : errno;
    return ok;
}

int write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out,
                 int* system_error) {
    errno = 0;
    const int ok = plat_write_at_end(file, buffer, n, offset_out);
    *system_error = ok ? 0 : errno;
    return ok;
}

}  // namespace libqar
