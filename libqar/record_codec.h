// Masking and compression of record bytes: the pieces the encoding
// (encoding.h) is made of, and the decoding of a stored stream.
//
// Writing masks first and then compresses; reading decompresses and then
// unmasks. Library failures are QAR_CODEC with the message "Error %d during
// compression library operation: %s". The functions work on their arguments
// alone, so different records, and the two methods of one record, may be
// encoded on different threads at the same time, each with its own output
// buffers and work area.
#pragma once

#include <cstdint>

#include "archive_format.h"
#include "archive_handle.h"

namespace libqar {

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
// The work area inside block: reserves CODEC_WORK_AREA_SIZE bytes plus room
// for 16-byte alignment and returns the aligned start; null when memory ran out.
void* codec_work_area(ByteBuffer* block);

// Compresses size bytes (1 <= size <= 16,777,215) of data with method (one of
// CODEC_METHODS, 999 level) into out, grown to hold the worst case, using
// work_area (from codec_work_area). Fills *out_size.
qar_status compress_with_method(uint32_t method, const uint8_t* data, uint32_t size,
                                ByteBuffer* out, uint32_t* out_size, void* work_area,
                                qar_error* error);

// The choice between the two streams of the same size bytes of data
// (streams[i] holding sizes[i] bytes compressed with CODEC_METHODS[i]) and
// the optimiser: the chosen stream is rewritten in place by the library's
// optimiser, which decodes into the other stream's buffer. Fills *out, whose
// stored bytes are data itself (flags 0) or the chosen stream's buffer.
qar_status choose_stream(const uint8_t* data, uint32_t size, ByteBuffer streams[2],
                         const uint32_t sizes[2], EncodedRecord* out, qar_error* error);

// Decodes a stored LZO1X (flags bit 1) or LZO1Y (bit 2) stream into out, which
// holds at least the flags word's uncompressed size. Never writes past that
// size nor reads past stored_size. QAR_DAMAGED, with the codec message, for
// a stream the library rejects (one that runs past the size or has bytes
// left after its end) and for one that ends before giving exactly that size
// ("output not consumed"); QAR_INVALID for a flags word with neither bit.
qar_status decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags,
                         uint8_t* out, qar_error* error);

}  // namespace libqar
