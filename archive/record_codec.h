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
uint8_t* encode_record(const uint8_t* data, uint32_t size, uint32_t* stored_size_out,
                       uint32_t* flags_out);

// Decodes a stored LZO1X (flags bit 1) or LZO1Y (bit 2) stream into out, which
// holds at least the flags word's uncompressed size. Never writes past that
// size nor reads past stored_size. Returns 0 for a flags word with neither bit
// (last error text untouched) or a stream the library rejects.
int decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags, uint8_t* out);

// Initialises the library once per process; retried on every call until it
// succeeds. Returns 1 when ready.
int ensure_codec_ready();
