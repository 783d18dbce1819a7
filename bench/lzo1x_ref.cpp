// lzo1x_ref: the lower bound for adding files to an archive. Reads every file
// named on the command line (directories are walked) through a read-only
// mapping and runs LZO1X-999 over it once, with the buffers a record encoder
// would use; the stream is thrown away. Prints the totals on standard output.
//
// Usage: lzo1x_ref <file-or-directory>...
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <lzo1x.h>

namespace {

struct Totals {
    uint64_t files;
    uint64_t bytes_in;
    uint64_t bytes_out;
    int failures;
};

// Compresses one mapped file with a work area in this frame, as the codec does.
void compress_file(const char* path, Totals* totals) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "ERROR: cannot open %s\n", path);
        totals->failures++;
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > 0xFFFFFF) {
        close(fd);  // empty and oversized files are never compressed
        return;
    }
    const size_t size = size_t(st.st_size);
    void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (view == MAP_FAILED) {
        std::fprintf(stderr, "ERROR: cannot map %s\n", path);
        totals->failures++;
        return;
    }
    alignas(16) static unsigned char work[LZO1X_999_MEM_COMPRESS];
    unsigned char* out = static_cast<unsigned char*>(std::malloc(size + size / 64 + 19));
    if (out == nullptr) {
        std::fprintf(stderr, "ERROR: out of memory\n");
        std::exit(107);
    }
    lzo_uint out_len = 0;
    int rc = lzo1x_999_compress(static_cast<const unsigned char*>(view), size, out, &out_len,
                                work);
    if (rc != LZO_E_OK) {
        std::fprintf(stderr, "ERROR: compression of %s failed: %d\n", path, rc);
        totals->failures++;
    } else {
        totals->files++;
        totals->bytes_in += size;
        totals->bytes_out += out_len < size ? out_len : size;
    }
    std::free(out);
    munmap(view, size);
}

void walk(const std::string& path, Totals* totals, int depth) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "ERROR: cannot stat %s\n", path.c_str());
        totals->failures++;
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        compress_file(path.c_str(), totals);
        return;
    }
    if (depth > 64) return;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        walk(path + "/" + e->d_name, totals, depth + 1);
    }
    closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s <file-or-directory>...\n", argv[0]);
        return 1;
    }
    if (lzo_init() != LZO_E_OK) {
        std::fprintf(stderr, "ERROR: lzo_init failed\n");
        return 1;
    }
    Totals totals = {0, 0, 0, 0};
    for (int i = 1; i < argc; ++i) walk(argv[i], &totals, 0);
    std::printf("%llu files, %llu bytes in, %llu bytes stored\n",
                static_cast<unsigned long long>(totals.files),
                static_cast<unsigned long long>(totals.bytes_in),
                static_cast<unsigned long long>(totals.bytes_out));
    return totals.failures == 0 ? 0 : 1;
}
