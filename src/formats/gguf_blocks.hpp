// The stored GGUF blocks, one struct per tensor type by the published layouts: the one reader of block
// layouts, shared by the full dequantisation and by the loader that repacks blocks for the kernels.
// A struct is its type's row of the type table (gguf_types.hpp):
//   kName, kElems     the type's name and the elements one block holds
//   kPacked           the packed form its weights are kept in (packed_formats.hpp); Zeros for the
//                     types that decode to zeros
//   the fields        in file order: sizeof and offsetof are the layout, and the static_assert after
//                     each struct pins them to the published one, so padding or a slipped field
//                     fails the build
//   decode()          one block into kElems floats, in element order
//   q(), scale(), sub_scales()
//                     the integers the decoder's formula (and the packed form) takes, element or
//                     sub-block by index
// Fields are byte arrays (HalfField for the halves) read through offsetof: blocks sit at any byte
// offset, so nothing is cast. Every decoder rounds each product and sum on its own, in the order
// written (the build forbids contraction into FMA). The kernels' units see these structs through
// packed_formats.hpp but call nothing here: only baseline code does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "compute/packed_format.hpp"

namespace quillfen {

// IEEE half precision to float32, exactly (subnormals, infinities and NaNs included).
inline float f16_to_f32(uint16_t h) {
    const uint32_t sign = uint32_t{h & 0x8000u} << 16;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    const uint32_t fraction = h & 0x3FFu;
    uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (fraction << 13);  // infinity, or NaN keeping its payload
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (fraction << 13);
    } else if (fraction == 0) {
        bits = sign;
    } else {
        // Subnormal half: fraction × 2^-24 is exact in float32 (a normal number there).
        float magnitude = static_cast<float>(fraction) * 0x1p-24f;
        std::memcpy(&bits, &magnitude, sizeof bits);
        bits |= sign;
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A block field holding one half-precision value.
struct HalfField {
    uint8_t bits[2];
};

namespace gguf_block {

// ---- fields ----------------------------------------------------------------------------------------

// Little-endian fields.
inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t u32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline float f16(const uint8_t* p) { return f16_to_f32(u16(p)); }

// Byte offsets of a block's half-precision fields d, m and dmin and the value of F16: the ones test and
// benchmark data keep finite.
template <class B>
std::vector<uint32_t> half_fields() {
    std::vector<uint32_t> out;
    if constexpr (requires { requires std::is_same_v<decltype(B::value), HalfField>; }) out.push_back(offsetof(B, value));
    if constexpr (requires { requires std::is_same_v<decltype(B::d), HalfField>; }) out.push_back(offsetof(B, d));
    if constexpr (requires { requires std::is_same_v<decltype(B::m), HalfField>; }) out.push_back(offsetof(B, m));
    if constexpr (requires { requires std::is_same_v<decltype(B::dmin), HalfField>; }) out.push_back(offsetof(B, dmin));
    return out;
}

// 32-element blocks: element k is the low nibble of qs[k] for k < 16, the high nibble of qs[k - 16] after.
inline int nibble32(const uint8_t* qs, int k) { return k < 16 ? (qs[k] & 15) : (qs[k - 16] >> 4); }
// Q5_0 and Q5_1: that nibble with bit k of the u32 qh above it.
inline int five_bit(const uint8_t* qh, const uint8_t* qs, int k) {
    return nibble32(qs, k) | int(((u32(qh) >> k) & 1) << 4);
}
// Q2_K and Q3_K: element i is the 2-bit field (i % 128) / 32 of qs[(i / 128) × 32 + i % 32].
inline int two_bit(const uint8_t* qs, int i) { return (qs[(i / 128) * 32 + i % 32] >> (2 * ((i % 128) / 32))) & 3; }
// Q4_K and Q5_K: sub-block g = i / 32 takes the low nibbles of qs[(g / 2) × 32 ..] when g is even,
// the high ones when odd.
inline int k_nibble(const uint8_t* qs, int i) { return (qs[(i / 64) * 32 + i % 32] >> (4 * ((i / 32) % 2))) & 15; }
// Q4_K and Q5_K: the eight 6-bit scales and minimums packed into 12 bytes.
inline void k_scales(const uint8_t* s, uint8_t scale[8], uint8_t min[8]) {
    for (int j = 0; j < 4; ++j) {
        scale[j] = s[j] & 63;
        min[j] = s[j + 4] & 63;
    }
    for (int j = 4; j < 8; ++j) {
        scale[j] = static_cast<uint8_t>((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
        min[j] = static_cast<uint8_t>((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
    }
}

// ---- decoders, by formula --------------------------------------------------------------------------

// w = d × q
template <class B>
void decode_d_q(const uint8_t* b, float* out) {
    const float d = f16(b + offsetof(B, d));
    for (int k = 0; k < int(B::kElems); ++k) out[k] = d * static_cast<float>(B::q(b, k));
}

// w = d × q + m
template <class B>
void decode_d_q_m(const uint8_t* b, float* out) {
    const float d = f16(b + offsetof(B, d));
    const float m = f16(b + offsetof(B, m));
    for (int k = 0; k < int(B::kElems); ++k) out[k] = d * static_cast<float>(B::q(b, k)) + m;
}

// w = (d × scale(i / 16)) × q
template <class B>
void decode_scaled16(const uint8_t* b, float* out) {
    const float d = f16(b + offsetof(B, d));
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(B::scale(b, g));
        for (int i = 16 * g; i < 16 * g + 16; ++i) out[i] = dl * static_cast<float>(B::q(b, i));
    }
}

// w = (d × sc[g]) × q − dmin × mn[g] over kSubBlocks sub-blocks g
template <class B>
void decode_k_min(const uint8_t* b, float* out) {
    constexpr int G = B::kSubBlocks, n = int(B::kElems) / G;
    const float d = f16(b + offsetof(B, d));
    const float dmin = f16(b + offsetof(B, dmin));
    uint8_t sc[G], mn[G];
    B::sub_scales(b, sc, mn);
    for (int g = 0; g < G; ++g) {
        const float dl = d * static_cast<float>(sc[g]);
        const float ml = dmin * static_cast<float>(mn[g]);
        for (int i = n * g; i < n * g + n; ++i) out[i] = dl * static_cast<float>(B::q(b, i)) - ml;
    }
}

}  // namespace gguf_block

// ---- single values ---------------------------------------------------------------------------------

struct BlockF32 {
    static constexpr std::string_view kName = "F32";
    static constexpr uint32_t kElems = 1;
    static constexpr PackedFormat kPacked = PackedFormat::F32;
    uint8_t value[4];  // little-endian float
    static void decode(const uint8_t* b, float* out) { std::memcpy(out, b + offsetof(BlockF32, value), 4); }
};
static_assert(sizeof(BlockF32) == 4);

struct BlockF16 {
    static constexpr std::string_view kName = "F16";
    static constexpr uint32_t kElems = 1;
    static constexpr PackedFormat kPacked = PackedFormat::F16;
    HalfField value;
    static void decode(const uint8_t* b, float* out) { *out = gguf_block::f16(b + offsetof(BlockF16, value)); }
};
static_assert(sizeof(BlockF16) == 2);

// Retired codes: sized like any unknown code, decoded as zeros.
struct BlockUnassigned {
    static constexpr std::string_view kName = "unassigned";
    static constexpr uint32_t kElems = 1;
    static constexpr PackedFormat kPacked = PackedFormat::Zeros;
    uint8_t value[2];
};
static_assert(sizeof(BlockUnassigned) == 2);

// ---- 32-element blocks -----------------------------------------------------------------------------

// w = d × (q − 8), q a nibble
struct BlockQ4_0 {
    static constexpr std::string_view kName = "Q4_0";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q4_0;
    HalfField d;
    uint8_t qs[16];
    static int q(const uint8_t* b, int k) { return gguf_block::nibble32(b + offsetof(BlockQ4_0, qs), k); }
    static void decode(const uint8_t* b, float* out) {
        const float d = gguf_block::f16(b + offsetof(BlockQ4_0, d));
        for (int k = 0; k < 32; ++k) out[k] = d * static_cast<float>(q(b, k) - 8);
    }
};
static_assert(sizeof(BlockQ4_0) == 18 && offsetof(BlockQ4_0, qs) == 2);

// w = d × q + m, q a nibble
struct BlockQ4_1 {
    static constexpr std::string_view kName = "Q4_1";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q4_1;
    HalfField d;
    HalfField m;
    uint8_t qs[16];
    static int q(const uint8_t* b, int k) { return gguf_block::nibble32(b + offsetof(BlockQ4_1, qs), k); }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_d_q_m<BlockQ4_1>(b, out); }
};
static_assert(sizeof(BlockQ4_1) == 20 && offsetof(BlockQ4_1, m) == 2 && offsetof(BlockQ4_1, qs) == 4);

// w = d × q, q the 5-bit value minus 16: held as Q8_0 is.
struct BlockQ5_0 {
    static constexpr std::string_view kName = "Q5_0";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q8_0;
    HalfField d;
    uint8_t qh[4];  // u32: bit k is element k's fifth bit
    uint8_t qs[16];
    static int q(const uint8_t* b, int k) {
        return gguf_block::five_bit(b + offsetof(BlockQ5_0, qh), b + offsetof(BlockQ5_0, qs), k) - 16;
    }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_d_q<BlockQ5_0>(b, out); }
};
static_assert(sizeof(BlockQ5_0) == 22 && offsetof(BlockQ5_0, qh) == 2 && offsetof(BlockQ5_0, qs) == 6);

// w = d × q + m, q the 5-bit value
struct BlockQ5_1 {
    static constexpr std::string_view kName = "Q5_1";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q5_1;
    HalfField d;
    HalfField m;
    uint8_t qh[4];
    uint8_t qs[16];
    static int q(const uint8_t* b, int k) {
        return gguf_block::five_bit(b + offsetof(BlockQ5_1, qh), b + offsetof(BlockQ5_1, qs), k);
    }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_d_q_m<BlockQ5_1>(b, out); }
};
static_assert(sizeof(BlockQ5_1) == 24 && offsetof(BlockQ5_1, m) == 2 && offsetof(BlockQ5_1, qh) == 4 &&
              offsetof(BlockQ5_1, qs) == 8);

// w = d × q, q a signed byte
struct BlockQ8_0 {
    static constexpr std::string_view kName = "Q8_0";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q8_0;
    HalfField d;
    uint8_t qs[32];
    static int q(const uint8_t* b, int k) { return static_cast<int8_t>(b[offsetof(BlockQ8_0, qs) + k]); }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_d_q<BlockQ8_0>(b, out); }
};
static_assert(sizeof(BlockQ8_0) == 34 && offsetof(BlockQ8_0, qs) == 2);

// As Q8_0, after a second half: the block's sum, which only dot products use.
struct BlockQ8_1 {
    static constexpr std::string_view kName = "Q8_1";
    static constexpr uint32_t kElems = 32;
    static constexpr PackedFormat kPacked = PackedFormat::Q8_0;
    HalfField d;
    HalfField s;
    uint8_t qs[32];
    static int q(const uint8_t* b, int k) { return static_cast<int8_t>(b[offsetof(BlockQ8_1, qs) + k]); }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_d_q<BlockQ8_1>(b, out); }
};
static_assert(sizeof(BlockQ8_1) == 36 && offsetof(BlockQ8_1, s) == 2 && offsetof(BlockQ8_1, qs) == 4);

// ---- 256-element blocks ----------------------------------------------------------------------------

// w = (d × (sc & 15)) × q − dmin × (sc >> 4), sc = scales[i / 16], q two bits
struct BlockQ2_K {
    static constexpr std::string_view kName = "Q2_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Q2_K;
    static constexpr int kSubBlocks = 16;
    uint8_t scales[16];
    uint8_t qs[64];
    HalfField d;
    HalfField dmin;
    static void sub_scales(const uint8_t* b, uint8_t sc[16], uint8_t mn[16]) {
        for (int g = 0; g < 16; ++g) {
            const uint8_t s = b[offsetof(BlockQ2_K, scales) + g];
            sc[g] = s & 15;
            mn[g] = s >> 4;
        }
    }
    static int q(const uint8_t* b, int i) { return gguf_block::two_bit(b + offsetof(BlockQ2_K, qs), i); }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_k_min<BlockQ2_K>(b, out); }
};
static_assert(sizeof(BlockQ2_K) == 84 && offsetof(BlockQ2_K, qs) == 16 && offsetof(BlockQ2_K, d) == 80 &&
              offsetof(BlockQ2_K, dmin) == 82);

// w = (d × S[i / 16]) × q: sixteen signed 6-bit scales S, q two bits minus 4 unless the hmask bit is set
struct BlockQ3_K {
    static constexpr std::string_view kName = "Q3_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Q6_K;
    uint8_t hmask[32];
    uint8_t qs[64];
    uint8_t scales[12];
    HalfField d;
    // Low nibbles from scales[0..7], high pairs from scales[8..11], minus 32.
    static int scale(const uint8_t* b, int g) {
        const uint8_t* s = b + offsetof(BlockQ3_K, scales);
        const int low4 = g < 8 ? (s[g] & 15) : (s[g - 8] >> 4);
        const int high2 = (s[8 + g % 4] >> (2 * (g / 4))) & 3;
        return (low4 | (high2 << 4)) - 32;
    }
    // The 2-bit field as Q2_K's, minus 4 unless bit (i / 128) × 4 + (i % 128) / 32 of hmask[i % 32] is set.
    static int q(const uint8_t* b, int i) {
        const int q2 = gguf_block::two_bit(b + offsetof(BlockQ3_K, qs), i);
        const int hbit = (i / 128) * 4 + (i % 128) / 32;
        return q2 - (((b[offsetof(BlockQ3_K, hmask) + i % 32] >> hbit) & 1) ? 0 : 4);
    }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_scaled16<BlockQ3_K>(b, out); }
};
static_assert(sizeof(BlockQ3_K) == 110 && offsetof(BlockQ3_K, qs) == 32 && offsetof(BlockQ3_K, scales) == 96 &&
              offsetof(BlockQ3_K, d) == 108);

// w = (d × SC[i / 32]) × q − dmin × MN[i / 32], q a nibble
struct BlockQ4_K {
    static constexpr std::string_view kName = "Q4_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Q4_K;
    static constexpr int kSubBlocks = 8;
    HalfField d;
    HalfField dmin;
    uint8_t scales[12];
    uint8_t qs[128];
    static void sub_scales(const uint8_t* b, uint8_t sc[8], uint8_t mn[8]) {
        gguf_block::k_scales(b + offsetof(BlockQ4_K, scales), sc, mn);
    }
    static int q(const uint8_t* b, int i) { return gguf_block::k_nibble(b + offsetof(BlockQ4_K, qs), i); }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_k_min<BlockQ4_K>(b, out); }
};
static_assert(sizeof(BlockQ4_K) == 144 && offsetof(BlockQ4_K, dmin) == 2 && offsetof(BlockQ4_K, scales) == 4 &&
              offsetof(BlockQ4_K, qs) == 16);

// As Q4_K, q five bits: Q4_K's nibble with bit i / 32 of qh[i % 32] above it
struct BlockQ5_K {
    static constexpr std::string_view kName = "Q5_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Q5_K;
    static constexpr int kSubBlocks = 8;
    HalfField d;
    HalfField dmin;
    uint8_t scales[12];
    uint8_t qh[32];
    uint8_t qs[128];
    static void sub_scales(const uint8_t* b, uint8_t sc[8], uint8_t mn[8]) {
        gguf_block::k_scales(b + offsetof(BlockQ5_K, scales), sc, mn);
    }
    static int q(const uint8_t* b, int i) {
        const int nibble = gguf_block::k_nibble(b + offsetof(BlockQ5_K, qs), i);
        return nibble | (((b[offsetof(BlockQ5_K, qh) + i % 32] >> (i / 32)) & 1) << 4);
    }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_k_min<BlockQ5_K>(b, out); }
};
static_assert(sizeof(BlockQ5_K) == 176 && offsetof(BlockQ5_K, dmin) == 2 && offsetof(BlockQ5_K, scales) == 4 &&
              offsetof(BlockQ5_K, qh) == 16 && offsetof(BlockQ5_K, qs) == 48);

// w = (d × scales[i / 16]) × q, scales signed bytes, q six bits minus 32
struct BlockQ6_K {
    static constexpr std::string_view kName = "Q6_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Q6_K;
    uint8_t ql[128];
    uint8_t qh[64];
    uint8_t scales[16];
    HalfField d;
    static int scale(const uint8_t* b, int g) { return static_cast<int8_t>(b[offsetof(BlockQ6_K, scales) + g]); }
    // h = i / 128, k = (i % 128) / 32, l = i % 32: nibble k / 2 of ql[h × 64 + (k % 2) × 32 + l] with bits
    // 2k..2k+1 of qh[h × 32 + l] above it, minus 32.
    static int q(const uint8_t* b, int i) {
        const int h = i / 128, k = (i % 128) / 32, l = i % 32;
        const int ql = b[offsetof(BlockQ6_K, ql) + h * 64 + (k % 2) * 32 + l];
        const int nibble = k < 2 ? (ql & 15) : (ql >> 4);
        return (nibble | (((b[offsetof(BlockQ6_K, qh) + h * 32 + l] >> (2 * k)) & 3) << 4)) - 32;
    }
    static void decode(const uint8_t* b, float* out) { gguf_block::decode_scaled16<BlockQ6_K>(b, out); }
};
static_assert(sizeof(BlockQ6_K) == 210 && offsetof(BlockQ6_K, qh) == 128 && offsetof(BlockQ6_K, scales) == 192 &&
              offsetof(BlockQ6_K, d) == 208);

// An activation format of dot products, not of weights: sized by its blocks, decoded as zeros.
struct BlockQ8_K {
    static constexpr std::string_view kName = "Q8_K";
    static constexpr uint32_t kElems = 256;
    static constexpr PackedFormat kPacked = PackedFormat::Zeros;
    uint8_t d[4];  // a float
    uint8_t qs[256];
    uint8_t bsums[32];  // sixteen int16 sums
};
static_assert(sizeof(BlockQ8_K) == 292 && offsetof(BlockQ8_K, qs) == 4 && offsetof(BlockQ8_K, bsums) == 260);

}  // namespace quillfen
