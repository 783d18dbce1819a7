// What the format says a record's stored bytes are, computed with the compression library
// directly rather than through the store's encoder, and record contents that exercise each
// choice. Tests that use it link LZO.
#pragma once

#include <gtest/gtest.h>
#include <lzo1x.h>
#include <lzo1y.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;
enum Content { STEPS, NOISE, FAR };

// NOISE is incompressible; LZO1X does better on FAR (1500 back), LZO1Y on STEPS over 4 KB.
inline Bytes make_bytes(Content kind, size_t size, uint32_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const uint8_t far = i >= 1500 && i % 9 != 0 ? out[i - 1500] : uint8_t(i * 31);
        out[i] = kind == NOISE ? uint8_t(seed >> 24) : kind == FAR ? far : uint8_t(i % 251 * (i / 997));
    }
    return out;
}

// The bytes XOR-masked with the key word by word; a last part of 1-3 bytes stays.
inline Bytes masked(Bytes data, uint32_t key) {
    for (size_t i = 0; i < data.size() / 4 * 4; ++i) data[i] ^= uint8_t(key >> (8 * (i % 4)));
    return data;
}

// The stored bytes and flags of masked bytes: the shorter optimised stream (LZO1X on a tie)
// or, neither shorter, the bytes. *seen |= 1 LZO1X, 2 tie, 4 LZO1Y, 8 as is.
inline std::pair<std::string, uint32_t> expected_stored(const Bytes& m, int* seen = nullptr) {
    if (m.size() > 16777215) return {std::string(m.begin(), m.end()), 0};  // beyond the flags
    [[maybe_unused]] static const int ready = lzo_init();
    static Bytes work(LZO1X_999_MEM_COMPRESS);
    const lzo_uint n = m.size();
    Bytes out[2] = {Bytes(n + n / 64 + 19), Bytes(n + n / 64 + 19)};
    lzo_uint len[2] = {out[0].size(), out[1].size()};
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(m.data(), n, out[0].data(), &len[0], work.data()));
    EXPECT_EQ(LZO_E_OK, lzo1y_999_compress(m.data(), n, out[1].data(), &len[1], work.data()));
    const int y = len[1] < len[0];
    if (seen != nullptr) *seen |= len[y] >= n ? 8 : y ? 4 : len[0] == len[1] ? 2 : 1;
    if (len[y] >= n) return {std::string(m.begin(), m.end()), 0};
    Bytes scratch(n);
    lzo_uint plain = n;
    EXPECT_EQ(LZO_E_OK, (y ? lzo1y_optimize : lzo1x_optimize)(out[y].data(), len[y], scratch.data(), &plain, nullptr));
    return {std::string(out[y].data(), out[y].data() + len[y]), uint32_t(n << 8 | (y ? 4 : 2))};
}
