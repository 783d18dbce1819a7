// codec_threshold: the figures behind CODEC_PARALLEL_MIN_SIZE. Loads the
// files under a directory (the benchmark's tree of small files) and encodes
// each of them with the one-after-the-other codec and with the worker thread,
// alternating, then prints per size band the time per record of each and
// their ratio. A gap (busy microseconds between records) stands in for the
// file and archive work that separates records in a real add.
//
// Usage: codec_threshold <directory> [rounds] [gap-us]
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "record_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int BANDS = 8;  // 32 B .. 8 KB, doubling

void load_tree(const std::string& dir, std::vector<Bytes>* files, size_t limit) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || files->size() >= limit) continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            load_tree(path, files, limit);
        } else if (S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= 0xFFFFFF) {
            FILE* f = std::fopen(path.c_str(), "rb");
            if (f == nullptr) continue;
            Bytes data(size_t(st.st_size));
            if (std::fread(data.data(), 1, data.size(), f) == data.size()) files->push_back(data);
            std::fclose(f);
        }
    }
    closedir(d);
}

int band_of(size_t size) {
    int band = 0;
    for (size_t top = 64; size >= top && band < BANDS - 1; top *= 2) ++band;
    return band;
}

void busy_wait(double micros) {
    if (micros <= 0) return;
    auto until = Clock::now() + std::chrono::duration<double, std::micro>(micros);
    while (Clock::now() < until) {
    }
}

using EncodeFn = uint8_t* (*)(const uint8_t*, uint32_t, uint32_t*, uint32_t*);

double time_one(EncodeFn fn, const Bytes& data) {
    uint32_t stored = 0, flags = 0;
    auto start = Clock::now();
    uint8_t* out = fn(data.data(), uint32_t(data.size()), &stored, &flags);
    double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (out == nullptr) {
        std::fprintf(stderr, "ERROR: encoding failed\n");
        std::exit(1);
    }
    if (flags != 0) std::free(out);
    return micros;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: codec_threshold <directory> [rounds] [gap-us]\n");
        return 1;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    double gap = argc > 3 ? std::atof(argv[3]) : 0;
    std::vector<Bytes> files;
    load_tree(argv[1], &files, 5000);
    if (files.empty() || !ensure_codec_ready()) {
        std::fprintf(stderr, "ERROR: no files under %s\n", argv[1]);
        return 1;
    }
    double seq[BANDS] = {}, thr[BANDS] = {};
    long count[BANDS] = {};
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < files.size(); ++i) {
            const Bytes& data = files[i];
            int band = band_of(data.size());
            bool seq_first = (i + size_t(r)) % 2 == 0;
            busy_wait(gap);
            double a = time_one(seq_first ? encode_record_sequential : encode_record_threaded, data);
            busy_wait(gap);
            double b = time_one(seq_first ? encode_record_threaded : encode_record_sequential, data);
            seq[band] += seq_first ? a : b;
            thr[band] += seq_first ? b : a;
            count[band] += 1;
        }
    }
    std::printf("%-14s %8s %12s %12s %8s\n", "size", "records", "sequential", "threaded",
                "ratio");
    for (int b = 0; b < BANDS; ++b) {
        if (count[b] == 0) continue;
        unsigned low = b == 0 ? 0u : 32u << b, high = 64u << b;
        std::printf("%5u-%-5u B  %8ld %9.1f us %9.1f us %8.2f\n", low, high, count[b],
                    seq[b] / count[b], thr[b] / count[b], thr[b] / seq[b]);
    }
    CodecWorkerCounts counts = codec_worker_counts();
    std::printf("LZO1Y jobs taken back %llu, dropped %llu, worker busy %llu\n",
                (unsigned long long)counts.taken_back, (unsigned long long)counts.dropped,
                (unsigned long long)counts.worker_busy);
    return 0;
}
