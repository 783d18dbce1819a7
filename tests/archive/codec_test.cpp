// Keys, masking, and the safety of decoding.
#include <gtest/gtest.h>
#include <lzo1x.h>

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

}  // namespace

TEST(Codec, PasswordKeyIsCrc32Bzip2) {
    EXPECT_EQ(0xFC891918u, key_from_password("123456789"));
    EXPECT_EQ(0u, key_from_password(""));
    for (const std::string text : {"p\x80\xff\xe9ss", "Korvath"})
        EXPECT_EQ(crc32_bzip2_bitwise(text), key_from_password(text.c_str()));
}

TEST(Codec, MaskingXorsWholeLittleEndianWordsAndKeepsTheTail) {
    uint8_t bytes[7] = {0, 0, 0, 0, 5, 6, 7};
    const uint8_t plain[7] = {0, 0, 0, 0, 5, 6, 7}, masked[7] = {0xD4, 0xC3, 0xB2, 0xA1, 5, 6, 7};
    for (uint32_t size = 0; size < 4; ++size) {
        mask_with_key(bytes + 4, size, 0xA1B2C3D4u);
        EXPECT_EQ(0, memcmp(bytes, plain, 7)) << "fewer than 4 bytes stay: " << size;
    }
    mask_with_key(bytes, 7, 0xA1B2C3D4u);
    EXPECT_EQ(0, memcmp(bytes, masked, 7));
    mask_with_key(bytes, 7, 0xA1B2C3D4u);
    EXPECT_EQ(0, memcmp(bytes, plain, 7)) << "masking twice restores";
}

TEST(Codec, RecordsThatDoNotShrinkComeBackAsTheCallersBuffer) {
    for (const std::vector<uint8_t>& data : {std::vector<uint8_t>{}, std::vector<uint8_t>{'a', 'b', 'c'},
                                             noise_bytes(5000, 1)}) {
        std::vector<uint8_t> copy = data;
        uint32_t stored = 0xAAAA, flags = 0xAAAA;
        EXPECT_EQ(copy.data(), encode_record(copy.data(), uint32_t(copy.size()), &stored, &flags));
        EXPECT_EQ(data.size(), size_t(stored));
        EXPECT_EQ(0u, flags);
        EXPECT_EQ(data, copy);
    }
}

TEST(Codec, DecodingNeverOverrunsTheStatedSizeOrTheStoredBytes) {
    ASSERT_EQ(LZO_E_OK, lzo_init());
    const std::vector<uint8_t> data = compressible_bytes(4000, 4);
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS), stream(5000);
    lzo_uint length = stream.size();
    ASSERT_EQ(LZO_E_OK, lzo1x_999_compress(data.data(), data.size(), stream.data(), &length, work.data()));
    stream.resize(length);
    const uint32_t n = uint32_t(length);

    // Output that would exceed the flags word's size: nothing past it is written.
    std::vector<uint8_t> out(4016, 0x5C);
    EXPECT_EQ(0, decode_record(stream.data(), n, (3999u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -5 during compression library operation: output overrun", last_error_text());
    EXPECT_EQ(std::vector<uint8_t>(17, 0x5C), std::vector<uint8_t>(out.begin() + 3999, out.end()));
    std::vector<uint8_t> longer = stream;
    longer.push_back(0);
    EXPECT_EQ(0, decode_record(longer.data(), n + 1, (4000u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -8 during compression library operation: input not consumed", last_error_text());
    EXPECT_EQ(0, decode_record(stream.data(), n / 2, (4000u << 8) | 2, out.data()));
    EXPECT_STREQ("Error -4 during compression library operation: input overrun", last_error_text());

    // A stream that ends early but validly succeeds; the tail stays as it was.
    std::fill(out.begin(), out.end(), 0x77);
    EXPECT_EQ(1, decode_record(stream.data(), n, (4016u << 8) | 2, out.data()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(std::vector<uint8_t>(16, 0x77), std::vector<uint8_t>(out.begin() + 4000, out.end()));
    // Compression bits 6 decode as LZO1X; no compression bits: 0, no message.
    EXPECT_EQ(1, decode_record(stream.data(), n, (4000u << 8) | 6, out.data()));
    set_last_error("kept");
    EXPECT_EQ(0, decode_record(stream.data(), n, (4000u << 8) | 1, out.data()));
    EXPECT_STREQ("kept", last_error_text());
}
