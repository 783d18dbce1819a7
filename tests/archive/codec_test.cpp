// Keys, masking, and the choice and decoding of compressed streams.
#include <gtest/gtest.h>
#include <lzo1x.h>
#include <lzo1y.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "record_codec.h"

namespace {

// CRC-32/BZIP2 bit by bit, without a table.
uint32_t crc32_bzip2_bitwise(const std::string& text) {
    uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char byte : text) {
        reg ^= uint32_t(byte) << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return ~reg;
}

std::vector<uint8_t> lzo1x_stream(const std::vector<uint8_t>& data) {
    EXPECT_EQ(LZO_E_OK, lzo_init());
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS);
    std::vector<uint8_t> out(data.size() + data.size() / 64 + 19);
    lzo_uint length = out.size();
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(data.data(), data.size(), out.data(), &length, work.data()));
    out.resize(length);
    return out;
}

struct Encoded {
    uint8_t* result;
    uint32_t stored_size;
    uint32_t flags;
};

Encoded encode(const std::vector<uint8_t>& data) {
    Encoded e = {nullptr, 0xAAAAAAAA, 0xAAAAAAAA};
    e.result = encode_record(data.data(), uint32_t(data.size()), &e.stored_size, &e.flags);
    return e;
}

}  // namespace

TEST(CodecKey, PasswordKeyIsCrc32Bzip2) {
    EXPECT_EQ(0xFC891918u, key_from_password("123456789"));
    EXPECT_EQ(0u, key_from_password(""));
    const std::string high = "p\x80\xff\xe9ss";
    EXPECT_EQ(crc32_bzip2_bitwise(high), key_from_password(high.c_str()));
    EXPECT_EQ(crc32_bzip2_bitwise("Korvath"), key_from_password("Korvath"));
}

TEST(CodecMask, WholeWordsAreXoredLittleEndianAndTheTailIsKept) {
    const uint32_t key = 0xA1B2C3D4u;
    for (uint32_t size = 0; size < 4; ++size) {
        uint8_t bytes[3] = {1, 2, 3};
        mask_with_key(bytes, size, key);
        EXPECT_EQ(0, memcmp(bytes, "\x01\x02\x03", 3)) << size;
    }
    uint8_t seven[7] = {0, 0, 0, 0, 5, 6, 7};
    mask_with_key(seven, 7, key);
    const uint8_t masked[7] = {0xD4, 0xC3, 0xB2, 0xA1, 5, 6, 7};
    EXPECT_EQ(0, memcmp(seven, masked, 7));
    mask_with_key(seven, 7, key);
    const uint8_t plain[7] = {0, 0, 0, 0, 5, 6, 7};
    EXPECT_EQ(0, memcmp(seven, plain, 7)) << "masking twice restores";
    mask_with_key(seven, 7, 0);
    EXPECT_EQ(0, memcmp(seven, plain, 7)) << "key 0 changes nothing";
}

TEST(CodecEncode, RecordsThatDoNotShrinkComeBackAsTheCallersBuffer) {
    const std::vector<std::vector<uint8_t>> inputs = {
        {}, {'a'}, {'a', 'b', 'c'}, noise_bytes(5000, 1)};
    for (const std::vector<uint8_t>& data : inputs) {
        std::vector<uint8_t> copy = data;
        Encoded e = encode(copy);
        EXPECT_EQ(copy.data(), e.result) << data.size();
        EXPECT_EQ(uint32_t(data.size()), e.stored_size);
        EXPECT_EQ(0u, e.flags);
        EXPECT_EQ(data, copy) << "input never changed";
    }
}

TEST(CodecEncode, CompressedResultIsAnOwnedStreamWithSizeInTheFlags) {
    std::vector<uint8_t> data = compressible_bytes(100000, 3);
    std::vector<uint8_t> copy = data;
    Encoded e = encode(copy);
    ASSERT_NE(nullptr, e.result);
    ASSERT_NE(copy.data(), e.result);
    EXPECT_EQ(100000u, e.flags >> 8);
    EXPECT_TRUE((e.flags & 0xFF) == 2 || (e.flags & 0xFF) == 4) << e.flags;
    EXPECT_LT(e.stored_size, 100000u);
    EXPECT_EQ(data, copy);
    std::vector<uint8_t> back(100000);
    EXPECT_EQ(1, decode_record(e.result, e.stored_size, e.flags, back.data()));
    EXPECT_EQ(data, back);
    free(e.result);
}

TEST(CodecDecode, StreamsNeverOverrunTheirStatedSize) {
    std::vector<uint8_t> data = compressible_bytes(4000, 4);
    std::vector<uint8_t> stream = lzo1x_stream(data);

    // Output that would exceed the flags word's size: codec message, and
    // nothing written past the capacity.
    std::vector<uint8_t> out(4000 + 16, 0x5C);
    EXPECT_EQ(0, decode_record(stream.data(), uint32_t(stream.size()), (3999u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -5 during compression library operation: output overrun", last_error_text());
    EXPECT_EQ(std::vector<uint8_t>(17, 0x5C), std::vector<uint8_t>(out.begin() + 3999, out.end()));

    // Bytes after the end-of-stream marker.
    std::vector<uint8_t> longer = stream;
    longer.push_back(0);
    EXPECT_EQ(0, decode_record(longer.data(), uint32_t(longer.size()), (4000u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -8 during compression library operation: input not consumed", last_error_text());

    // A stream cut short.
    EXPECT_EQ(0, decode_record(stream.data(), uint32_t(stream.size() / 2), (4000u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -4 during compression library operation: input overrun", last_error_text());

    // A stream that ends early but validly: success, tail untouched.
    std::vector<uint8_t> big(5000, 0x77);
    EXPECT_EQ(1, decode_record(stream.data(), uint32_t(stream.size()), (5000u << 8) | 2, big.data()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), big.begin()));
    EXPECT_EQ(std::vector<uint8_t>(1000, 0x77), std::vector<uint8_t>(big.begin() + 4000, big.end()));

    // Compression bits 6 decode as LZO1X; no compression bits: 0, no message.
    std::vector<uint8_t> exact(4000);
    EXPECT_EQ(1, decode_record(stream.data(), uint32_t(stream.size()), (4000u << 8) | 6, exact.data()));
    EXPECT_EQ(data, exact);
    set_last_error("kept");
    EXPECT_EQ(0, decode_record(stream.data(), uint32_t(stream.size()), (4000u << 8) | 1, exact.data()));
    EXPECT_STREQ("kept", last_error_text());
}

TEST(CodecEncode, ChoosesTheShorterStreamAndPrefersLzo1xOnATie) {
    // Over a spread of inputs, the method must be the one whose stream is
    // shorter (LZO1X when equal), and the stored length must be that length.
    EXPECT_EQ(LZO_E_OK, lzo_init());
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS);
    int seen_x = 0, seen_y = 0;
    for (uint32_t seed = 0; seed < 40; ++seed) {
        // Text favours LZO1Y; short periodic runs give equal lengths.
        std::vector<uint8_t> data = compressible_bytes(200 + seed * 97, seed);
        if (seed % 2 == 0)
            for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i % (seed / 4 + 1));
        if (seed % 5 == 0) {
            std::vector<uint8_t> noise = noise_bytes(seed * 5, seed);
            data.insert(data.begin() + data.size() / 2, noise.begin(), noise.end());
        }
        std::vector<uint8_t> x(data.size() * 2 + 64), y(data.size() * 2 + 64);
        lzo_uint lx = x.size(), ly = y.size();
        ASSERT_EQ(LZO_E_OK, lzo1x_999_compress(data.data(), data.size(), x.data(), &lx, work.data()));
        ASSERT_EQ(LZO_E_OK, lzo1y_999_compress(data.data(), data.size(), y.data(), &ly, work.data()));
        Encoded e = encode(data);
        ASSERT_NE(nullptr, e.result);
        uint32_t expected_method = (lx <= ly && lx < data.size()) ? 2 : (ly < data.size() ? 4 : 0);
        EXPECT_EQ(expected_method, e.flags & 6) << seed;
        if (expected_method != 0) {
            EXPECT_EQ(expected_method == 2 ? lx : ly, e.stored_size);
            free(e.result);
        }
        seen_x += expected_method == 2;
        seen_y += expected_method == 4;
    }
    EXPECT_GT(seen_x, 0);
    EXPECT_GT(seen_y, 0) << "the inputs should exercise both methods";
}
