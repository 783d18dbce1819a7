#include "record_codec.h"

#include <lzo1x.h>
#include <lzo1y.h>

#include <atomic>
#include <cstring>

#include "errors.h"

namespace libqar {

namespace {

// The compression library checks its own build once; that check is repeated
// until it passes, and is harmless to run on two threads at once.
std::atomic<bool> g_codec_ready{false};

// CRC-32 table of the polynomial 0x04C11DB7, most significant bit first.
struct CrcTable {
    uint32_t value[256];
};

constexpr CrcTable make_crc_table() {
    CrcTable table = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        table.value[i] = reg;
    }
    return table;
}

constexpr CrcTable CRC_TABLE = make_crc_table();

const char* lzo_result_text(int code) {
    switch (code) {
    case LZO_E_ERROR: return "error";
    case LZO_E_OUT_OF_MEMORY: return "out of memory";
    case LZO_E_NOT_COMPRESSIBLE: return "not compressible";
    case LZO_E_INPUT_OVERRUN: return "input overrun";
    case LZO_E_OUTPUT_OVERRUN: return "output overrun";
    case LZO_E_LOOKBEHIND_OVERRUN: return "lookbehind overrun";
    case LZO_E_EOF_NOT_FOUND: return "end of stream not found";
    case LZO_E_INPUT_NOT_CONSUMED: return "input not consumed";
    case LZO_E_NOT_YET_IMPLEMENTED: return "not implemented";
    case LZO_E_INVALID_ARGUMENT: return "invalid argument";
    case LZO_E_INVALID_ALIGNMENT: return "invalid alignment";
    case LZO_E_OUTPUT_NOT_CONSUMED: return "output not consumed";
    case LZO_E_INTERNAL_ERROR: return "internal error";
    default: return "unknown error";
    }
}

// QAR_OK for the library's success; otherwise the codec message under the
// given status (QAR_DAMAGED for a stream that does not decode).
qar_status library_status(int result, qar_error* error, qar_status failure = QAR_CODEC) {
    if (result == LZO_E_OK) return QAR_OK;
    return set_error(error, failure, "Error %d during compression library operation: %s",
                     result, lzo_result_text(result));
}

qar_status ensure_codec_ready(qar_error* error) {
    if (g_codec_ready.load()) return QAR_OK;
    const qar_status status = library_status(lzo_init(), error);
    if (status == QAR_OK) g_codec_ready.store(true);
    return status;
}

uint32_t compressed_bound(uint32_t size) { return size + size / 64 + 19; }

}  // namespace

static_assert(CODEC_WORK_AREA_SIZE == LZO1X_999_MEM_COMPRESS, "LZO1X-999 work area");
static_assert(CODEC_WORK_AREA_SIZE == LZO1Y_999_MEM_COMPRESS, "LZO1Y-999 work area");

void mask_with_key(uint8_t* data, uint32_t size, uint32_t key) {
    uint8_t key_bytes[4];
    put_u32_le(key_bytes, key);
    uint32_t whole = size - size % 4;
    for (uint32_t i = 0; i < whole; ++i) data[i] ^= key_bytes[i % 4];
}

void* codec_work_area(ByteBuffer* block) {
    uint8_t* start = reserve_buffer(block, CODEC_WORK_AREA_SIZE + 16);
    if (start == nullptr) return nullptr;
    return start + (16 - reinterpret_cast<uintptr_t>(start) % 16) % 16;
}

qar_status compress_with_method(uint32_t method, const uint8_t* data, uint32_t size,
                                ByteBuffer* out, uint32_t* out_size, void* work_area,
                                qar_error* error) {
    qar_status status = ensure_codec_ready(error);
    if (status != QAR_OK) return status;
    uint8_t* stream = reserve_buffer(out, compressed_bound(size));
    if (stream == nullptr) return set_no_memory(error);
    lzo_uint length = compressed_bound(size);
    int result = method == QAR_COMPRESSION_LZO1X
                     ? lzo1x_999_compress(data, size, stream, &length, work_area)
                     : lzo1y_999_compress(data, size, stream, &length, work_area);
    status = library_status(result, error);
    if (status == QAR_OK) *out_size = uint32_t(length);
    return status;
}

qar_status choose_stream(const uint8_t* data, uint32_t size, ByteBuffer streams[2],
                         const uint32_t sizes[2], EncodedRecord* out, qar_error* error) {
    int chosen = -1;
    if (sizes[0] <= sizes[1] && sizes[0] < size)
        chosen = 0;
    else if (sizes[1] < size)
        chosen = 1;
    if (chosen < 0) {
        *out = EncodedRecord{data, size, 0};
        return QAR_OK;
    }
    const uint32_t method = CODEC_METHODS[chosen];
    uint8_t* stream = streams[chosen].data;
    // The losing stream's buffer holds at least compressed_bound(size) bytes,
    // room enough for the plain bytes the optimiser decodes.
    uint8_t* scratch = streams[1 - chosen].data;
    lzo_uint scratch_size = size;
    int result = method == QAR_COMPRESSION_LZO1X
                     ? lzo1x_optimize(stream, sizes[chosen], scratch, &scratch_size, nullptr)
                     : lzo1y_optimize(stream, sizes[chosen], scratch, &scratch_size, nullptr);
    const qar_status status = library_status(result, error);
    if (status == QAR_OK) *out = EncodedRecord{stream, sizes[chosen], (size << 8) | method};
    return status;
}

qar_status decode_record(const uint8_t* stored, uint32_t stored_size, uint32_t flags,
                         uint8_t* out, qar_error* error) {
    qar_status status = ensure_codec_ready(error);
    if (status != QAR_OK) return status;
    uint32_t method = flags & QAR_COMPRESSION_MASK;
    if (method == 0) return set_error(error, QAR_INVALID, "The record is not compressed");
    const lzo_uint expected = flags_uncompressed_size(flags);
    lzo_uint out_size = expected;
    int result = (method & QAR_COMPRESSION_LZO1X) != 0
                     ? lzo1x_decompress_safe(stored, stored_size, out, &out_size, nullptr)
                     : lzo1y_decompress_safe(stored, stored_size, out, &out_size, nullptr);
    // A stream that ends before the recorded size is as damaged as one that
    // runs past it (which the library refuses itself).
    if (result == LZO_E_OK && out_size != expected) result = LZO_E_OUTPUT_NOT_CONSUMED;
    return library_status(result, error, QAR_DAMAGED);
}

}  // namespace libqar

using namespace libqar;

uint32_t qar_key_from_password(const char* password) {
    if (password == nullptr) return 0;
    uint32_t reg = 0xFFFFFFFFu;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(password); *p != 0; ++p)
        reg = (reg << 8) ^ CRC_TABLE.value[(reg >> 24) ^ *p];
    return ~reg;
}
