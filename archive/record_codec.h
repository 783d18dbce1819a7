// Masking and compression of record bytes.
//
// Writing masks first and then compresses; reading decompresses and then
// unmasks. A compressed record is one LZO1X or LZO1Y stream, whichever is
// shorter (a tie goes to LZO1X), and only when it is strictly shorter than the
// record. Library failures put "Error %d during compression library
// operation: %s" into the last error text.
#pragma once

#include <cstdint>

// The archive key of a password: CRC-32/BZIP2 of its bytes. "" gives 0.
uint32_t key_from_password(const char* password);

// XORs each whole 32-bit little-endian word of the buffer with the key; the
// last size % 4 bytes stay. Its own inverse.
void mask_with_key(uint8_t* data, uint32_t size, uint32_t key);

// Compresses size bytes (size <= 16,777,215) both ways and picks the result.
// Returns the stored bytes and fills stored_size_out and flags_out. When
// *flags_out is non-zero the result is a new heap buffer (free()) owned by the
// caller; when it is 0 the record is stored uncompressed and the result is
// data itself. Returns null (outputs untouched) on a library failure. Never
// changes data.
//
// When the process may run on two or more cores (its affinity mask) and the
// record has at least CODEC_PARALLEL_MIN_SIZE bytes, LZO1Y is handed to a
// worker thread, started on first use and kept for the life of the process,
// while LZO1X runs on the calling thread (which runs LZO1Y itself if the
// worker has not started it by then, or lags well behind on a small record);
// the stored bytes, flags and messages are exactly those of the
// one-after-the-other path. A process pinned to one core (taskset -c 0)
// always takes that path and starts no thread. Not re-entrant: calls must
// not overlap (the last error text is process-wide; the worker serves one
// call at a time).
uint8_t* encode_record(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                       uint32_t* flags_out);

// Smaller records always take the sequential path. Measured on two cores with
// the benchmark's small files: handing a job to the waiting worker costs a few
// microseconds, and the codec alone runs at 0.86x the sequential time at
// 64-128 bytes, 0.72x at 256-512 bytes and 0.65x at 2-4 KB. But while the
// worker is awake, the add's other per-file work costs more (each unmapping
// of an input file must interrupt the worker's core, about 10 us on a VM),
// which eats the gain on the smallest records: 100,000 files of 32-512 bytes
// added in 4.5 s with a threshold of 64 bytes and in 3.85 s with 512, while
// 20,000 files of 64 bytes to 4 KB took 1.95 s either way.
constexpr uint32_t CODEC_PARALLEL_MIN_SIZE = 512;

// encode_record with the path fixed whatever the size and the cores, so that
// tests can compare the two: one compressor after the other, or both at once.
uint8_t* encode_record_sequential(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                                  uint32_t* flags_out);
uint8_t* encode_record_threaded(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                                uint32_t* flags_out);
// What became of the LZO1Y jobs of the threaded path so far; for tests and
// measurements. taken_back: the worker had not picked the job up by the time
// LZO1X was done, so the caller ran it. dropped: the worker lagged well
// behind on a small record, so the caller ran it too. worker_busy: the worker
// was still finishing a dropped job, so the record took the sequential path.
struct CodecWorkerCounts {
    uint64_t taken_back;
    uint64_t dropped;
    uint64_t worker_busy;
};
CodecWorkerCounts codec_worker_counts();

// Decodes a stored LZO1X (flags bit 1) or LZO1Y (bit 2) stream into out, which
// holds at least the flags word's uncompressed size. Never writes past that
// size nor reads past stored_size. Returns 0 for a flags word with neither bit
// (last error text untouched) or a stream the library rejects.
int decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags, uint8_t* out);

// The pieces of encode_record, each independent of the other method's run:
// a compressor writes only its own output buffer and uses only the work area
// it is given, so the two may run at the same time with a work area each.
//
// Bytes that a work area of the 999 compressors needs (both methods).
constexpr uint32_t CODEC_WORK_AREA_SIZE = 458752;
// Room for one compressed stream of size plain bytes.
uint32_t compressed_bound(uint32_t size);
// Compresses size bytes of data with method (QAR_COMPRESSION_LZO1X or
// QAR_COMPRESSION_LZO1Y, 999 level) into out, which holds
// compressed_bound(size) bytes, using work_area (CODEC_WORK_AREA_SIZE bytes,
// 16-byte aligned). Fills *out_size and returns 1, or puts the codec message
// into the last error text and returns 0.
int compress_with_method(uint32_t method, const uint8_t* data, uint32_t size, uint8_t* out,
                         uint32_t* out_size, void* work_area);
// Rewrites a stream of method in place with the library's optimiser; scratch
// (size bytes, the record's plain size) receives the decoded bytes. 1, or 0
// with the codec message.
int optimize_stream(uint32_t method, uint8_t* stream, uint32_t stream_size, uint8_t* scratch,
                    uint32_t size);

// Initialises the library once per process; retried on every call until it
// succeeds. Returns 1 when ready.
int ensure_codec_ready();
