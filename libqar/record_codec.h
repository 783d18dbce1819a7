// Masking and compression of record bytes.
//
// Writing masks first and then compresses; reading decompresses and then
// unmasks. A compressed record is one LZO1X or LZO1Y stream, whichever is
// shorter (a tie goes to LZO1X), and only when it is strictly shorter than the
// record. Library failures put "Error %d during compression library
// operation: %s" into the calling thread's last error text.
//
// Encoding touches no archive and no shared state: the functions below work
// on their arguments alone, so different records, and the two methods of one
// record, may be encoded on different threads at the same time, each with
// its own output buffers and work area. encode_record is the whole encoding
// on one thread; a caller that spreads it over threads runs its pieces:
// compress_with_method once per method, then choose_stream.
#pragma once

#include <cstdint>

#include "archive_format.h"
#include "archive_handle.h"

// The archive key of a password: CRC-32/BZIP2 of its bytes. "" gives 0.
uint32_t key_from_password(const char* password);

// XORs each whole 32-bit little-endian word of the buffer with the key; the
// last size % 4 bytes stay. Its own inverse.
void mask_with_key(uint8_t* data, uint32_t size, uint32_t key);

// A record as the archive stores it.
struct EncodedRecord {
    const uint8_t* stored;  // stored_size bytes: the record itself or a chosen stream
    uint32_t stored_size;
    uint32_t flags;         // the directory's flags word: 0, or (size << 8) | method
};

// The methods an encoding tries, in the order that wins a tie.
constexpr uint32_t CODEC_METHODS[2] = {QAR_COMPRESSION_LZO1X, QAR_COMPRESSION_LZO1Y};

// Bytes that a work area of the 999 compressors needs (both methods).
constexpr uint32_t CODEC_WORK_AREA_SIZE = 458752;
// Room for one compressed stream of size plain bytes (never less than size).
uint32_t compressed_bound(uint32_t size);
// The work area inside block: reserves CODEC_WORK_AREA_SIZE bytes plus room
// for 16-byte alignment and returns the aligned start.
void* codec_work_area(ByteBuffer* block);

// Compresses size bytes (1 <= size <= 16,777,215) of data with method (one of
// CODEC_METHODS, 999 level) into out, grown to compressed_bound(size) bytes,
// using work_area (from codec_work_area). Fills *out_size and returns 1, or
// puts the codec message into this thread's last error text and returns 0.
int compress_with_method(uint32_t method, const uint8_t* data, uint32_t size, ByteBuffer* out,
                         uint32_t* out_size, void* work_area);

// The choice between the two streams of the same size bytes of data
// (streams[i] holding sizes[i] bytes compressed with CODEC_METHODS[i]) and
// the optimiser: the chosen stream is rewritten in place by the library's
// optimiser, which decodes into the other stream's buffer. Fills *out, whose
// stored bytes are data itself (flags 0) or the chosen stream's buffer.
// Returns 0 with the codec message when the optimiser fails.
int choose_stream(const uint8_t* data, uint32_t size, ByteBuffer streams[2],
                  const uint32_t sizes[2], EncodedRecord* out);

// The whole encoding of size bytes of data (already masked) on the calling
// thread: as is when compress is 0 or size exceeds 16,777,215, else both
// compressions and choose_stream. *out points into data or streams, which the
// caller owns and may reuse for the next record. 1, or 0 with the codec
// message (*out untouched). Never changes data.
int encode_record(const uint8_t* data, uint32_t size, int compress, ByteBuffer streams[2],
                  void* work_area, EncodedRecord* out);

// Decodes a stored LZO1X (flags bit 1) or LZO1Y (bit 2) stream into out, which
// holds at least the flags word's uncompressed size. Never writes past that
// size nor reads past stored_size. Returns 0 for a flags word with neither bit
// (last error text untouched), for a stream the library rejects (one that
// runs past the size or has bytes left after its end) and for one that ends
// before giving exactly that size ("output not consumed").
int decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags, uint8_t* out);

// Initialises the library once per process; retried on every call until it
// succeeds. Returns 1 when ready. Safe to call from several threads.
int ensure_codec_ready();
