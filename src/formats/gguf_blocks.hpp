// The fields of one stored GGUF block, element by element, by the published layouts: the one reader
// of block layouts, shared by the full dequantisation and by the loader that repacks blocks for the
// kernels. Element indices run over the block in element order. Included by baseline code only.
#pragma once

#include <cstdint>
#include <cstring>

namespace quillfen::gguf_block {

// Type codes by name.
inline constexpr uint32_t kF32 = 0, kF16 = 1, kQ4_0 = 2, kQ4_1 = 3, kQ5_0 = 6, kQ5_1 = 7, kQ8_0 = 8, kQ8_1 = 9;
inline constexpr uint32_t kQ2_K = 10, kQ3_K = 11, kQ4_K = 12, kQ5_K = 13, kQ6_K = 14;

// Little-endian fields: blocks sit at any byte offset, so fields are copied, never cast.
inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t u32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// 32-element blocks: element k is the low nibble of qs[k] for k < 16, the high nibble of qs[k - 16] after.
inline int nibble32(const uint8_t* qs, int k) { return k < 16 ? (qs[k] & 15) : (qs[k - 16] >> 4); }

// Q5_0 and Q5_1 from their u32 of fifth bits on: the nibble as above, bit k of that u32 above it.
inline int five_bit(const uint8_t* qh_then_qs, int k) {
    return nibble32(qh_then_qs + 4, k) | int(((u32(qh_then_qs) >> k) & 1) << 4);
}

// Q2_K: scales[16], qs[64], d, dmin. Element i: the 2-bit field (i % 128) / 32 of qs[(i / 128) × 32 + i % 32].
inline int q2_k(const uint8_t* block, int i) {
    return (block[16 + (i / 128) * 32 + i % 32] >> (2 * ((i % 128) / 32))) & 3;
}

// Q3_K: hmask[32], qs[64], scales[12], d. Sixteen signed 6-bit scales: low nibbles from scales[0..7],
// high pairs from scales[8..11], minus 32.
inline int q3_k_scale(const uint8_t* block, int g) {
    const uint8_t* s = block + 96;
    const int low4 = g < 8 ? (s[g] & 15) : (s[g - 8] >> 4);
    const int high2 = (s[8 + g % 4] >> (2 * (g / 4))) & 3;
    return (low4 | (high2 << 4)) - 32;
}
// Element i: the 2-bit field as Q2_K's (from qs at 32), minus 4 unless its hmask bit (bit
// (i / 128) × 4 + (i % 128) / 32 of hmask[i % 32]) is set.
inline int q3_k(const uint8_t* block, int i) {
    const int q2 = (block[32 + (i / 128) * 32 + i % 32] >> (2 * ((i % 128) / 32))) & 3;
    const int hbit = (i / 128) * 4 + (i % 128) / 32;
    return q2 - (((block[i % 32] >> hbit) & 1) ? 0 : 4);
}

// Q4_K and Q5_K: d, dmin, then the eight 6-bit scales and minimums packed into 12 bytes.
inline void k_scales(const uint8_t* block, uint8_t scale[8], uint8_t min[8]) {
    const uint8_t* s = block + 4;
    for (int j = 0; j < 4; ++j) {
        scale[j] = s[j] & 63;
        min[j] = s[j + 4] & 63;
    }
    for (int j = 4; j < 8; ++j) {
        scale[j] = static_cast<uint8_t>((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
        min[j] = static_cast<uint8_t>((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
    }
}

// Q4_K, after the scales: qs[128]. Sub-block g = i / 32 takes the low nibbles of qs[(g / 2) × 32 ..]
// when g is even, the high ones when odd.
inline int q4_k(const uint8_t* block, int i) { return (block[16 + (i / 64) * 32 + i % 32] >> (4 * ((i / 32) % 2))) & 15; }

// Q5_K: qh[32] then qs[128]: Q4_K's nibble from qs, with bit i / 32 of qh[i % 32] above it.
inline int q5_k(const uint8_t* block, int i) {
    const int nibble = (block[48 + (i / 64) * 32 + i % 32] >> (4 * ((i / 32) % 2))) & 15;
    return nibble | (((block[16 + i % 32] >> (i / 32)) & 1) << 4);
}

// Q6_K: ql[128], qh[64], scales[16] (signed), d. Element i: h = i / 128, k = (i % 128) / 32,
// l = i % 32; nibble k / 2 of ql[h × 64 + (k % 2) × 32 + l] with bits 2k..2k+1 of qh[h × 32 + l] above
// it, minus 32.
inline int q6_k(const uint8_t* block, int i) {
    const int h = i / 128, k = (i % 128) / 32, l = i % 32;
    const int b = block[h * 64 + (k % 2) * 32 + l];
    const int nibble = k < 2 ? (b & 15) : (b >> 4);
    return (nibble | (((block[128 + h * 32 + l] >> (2 * k)) & 3) << 4)) - 32;
}

}  // namespace quillfen::gguf_block
