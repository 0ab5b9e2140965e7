#include "inference/dequant.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "formats/gguf_types.hpp"

namespace quillfen {

float f16_to_f32(uint16_t h) {
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

namespace {

// Little-endian field readers: blocks sit at any byte offset, so fields are copied, never cast.
inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline float load_f16(const uint8_t* p) { return f16_to_f32(load_u16(p)); }

// Every decoder below writes one whole block of elements to `out`, in element order, and rounds
// each product and sum on its own in the order written (the build forbids contraction into FMA).

// ---- 32-element blocks -------------------------------------------------------------------------

// w[j] = d × (low nibble of qs[j] − 8), w[j+16] = d × (high nibble − 8)
void dequantize_block_q4_0(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const uint8_t* qs = block + 2;
    for (int j = 0; j < 16; ++j) {
        out[j] = d * static_cast<float>((qs[j] & 15) - 8);
        out[j + 16] = d * static_cast<float>((qs[j] >> 4) - 8);
    }
}

// w = d × q + m, nibbles as Q4_0
void dequantize_block_q4_1(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float m = load_f16(block + 2);
    const uint8_t* qs = block + 4;
    for (int j = 0; j < 16; ++j) {
        out[j] = d * static_cast<float>(qs[j] & 15) + m;
        out[j + 16] = d * static_cast<float>(qs[j] >> 4) + m;
    }
}

// Fifth bit of element j is bit j of qh; w = d × (q − 16)
void dequantize_block_q5_0(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const uint32_t qh = load_u32(block + 2);
    const uint8_t* qs = block + 6;
    for (int j = 0; j < 16; ++j) {
        const int lo = (qs[j] & 15) | (((qh >> j) & 1) << 4);
        const int hi = (qs[j] >> 4) | (((qh >> (j + 16)) & 1) << 4);
        out[j] = d * static_cast<float>(lo - 16);
        out[j + 16] = d * static_cast<float>(hi - 16);
    }
}

// w = d × q + m, q as Q5_0 without the offset
void dequantize_block_q5_1(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float m = load_f16(block + 2);
    const uint32_t qh = load_u32(block + 4);
    const uint8_t* qs = block + 8;
    for (int j = 0; j < 16; ++j) {
        const uint32_t lo = (qs[j] & 15u) | (((qh >> j) & 1u) << 4);
        const uint32_t hi = (qs[j] >> 4) | (((qh >> (j + 16)) & 1u) << 4);
        out[j] = d * static_cast<float>(lo) + m;
        out[j + 16] = d * static_cast<float>(hi) + m;
    }
}

void dequantize_int8_run(float d, const uint8_t* qs, float* out) {
    for (int j = 0; j < 32; ++j) out[j] = d * static_cast<float>(static_cast<int8_t>(qs[j]));
}

// w[j] = d × qs[j]
void dequantize_block_q8_0(const uint8_t* block, float* out) { dequantize_int8_run(load_f16(block), block + 2, out); }

// As Q8_0 after a second half (the block's sum, used only by dot products)
void dequantize_block_q8_1(const uint8_t* block, float* out) { dequantize_int8_run(load_f16(block), block + 4, out); }

// ---- 256-element blocks ------------------------------------------------------------------------

// Eight 6-bit scales and minimums packed into 12 bytes (Q4_K, Q5_K).
struct ScalesMins {
    uint8_t scale[8];
    uint8_t min[8];
};

ScalesMins unpack_scales_mins(const uint8_t* s) {
    ScalesMins sm;
    for (int j = 0; j < 4; ++j) {
        sm.scale[j] = s[j] & 63;
        sm.min[j] = s[j + 4] & 63;
    }
    for (int j = 4; j < 8; ++j) {
        sm.scale[j] = static_cast<uint8_t>((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
        sm.min[j] = static_cast<uint8_t>((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
    }
    return sm;
}

// 16 groups of 16; element i: q = 2-bit field (i%128)/32 of qs[(i/128)×32 + i%32];
// w = (d × (sc & 15)) × q − dmin × (sc >> 4), sc = scales[i/16]
void dequantize_block_q2_k(const uint8_t* block, float* out) {
    const uint8_t* scales = block;
    const uint8_t* qs = block + 16;
    const float d = load_f16(block + 80);
    const float dmin = load_f16(block + 82);
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(scales[g] & 15);
        const float ml = dmin * static_cast<float>(scales[g] >> 4);
        const uint8_t* q = qs + (g / 8) * 32 + (g % 2) * 16;
        const int shift = 2 * ((g % 8) / 2);
        for (int l = 0; l < 16; ++l) out[g * 16 + l] = dl * static_cast<float>((q[l] >> shift) & 3) - ml;
    }
}

// Sixteen signed 6-bit scales: low nibbles from s[0..7], high pairs from s[8..11], minus 32.
// Element i: q = 2-bit field as Q2_K, minus 4 unless its hmask bit (bit (i/128)×4 + (i%128)/32 of
// hmask[i%32]) is set; w = (d × S[i/16]) × q
void dequantize_block_q3_k(const uint8_t* block, float* out) {
    const uint8_t* hmask = block;
    const uint8_t* qs = block + 32;
    const uint8_t* s = block + 96;
    const float d = load_f16(block + 108);
    for (int g = 0; g < 16; ++g) {
        const int low4 = g < 8 ? (s[g] & 15) : (s[g - 8] >> 4);
        const int high2 = (s[8 + g % 4] >> (2 * (g / 4))) & 3;
        const float dl = d * static_cast<float>((low4 | (high2 << 4)) - 32);
        const int half = g / 8, j = (g % 8) / 2, sub = g % 2;
        const uint8_t* q = qs + half * 32 + sub * 16;
        const uint8_t* h = hmask + sub * 16;
        const int hbit = half * 4 + j;
        for (int l = 0; l < 16; ++l) {
            const int q2 = (q[l] >> (2 * j)) & 3;
            const int value = q2 - (((h[l] >> hbit) & 1) ? 0 : 4);
            out[g * 16 + l] = dl * static_cast<float>(value);
        }
    }
}

// Eight groups of 32; group c/2 of 64 elements takes the low nibbles of qs[c×32..] for its first
// half and the high nibbles for its second. w = (d × SC) × q − dmin × MN
void dequantize_block_q4_k(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float dmin = load_f16(block + 2);
    const ScalesMins sm = unpack_scales_mins(block + 4);
    const uint8_t* qs = block + 16;
    for (int g = 0; g < 8; ++g) {
        const float dl = d * static_cast<float>(sm.scale[g]);
        const float ml = dmin * static_cast<float>(sm.min[g]);
        const uint8_t* q = qs + (g / 2) * 32;
        const int shift = (g % 2) * 4;
        for (int l = 0; l < 32; ++l) out[g * 32 + l] = dl * static_cast<float>((q[l] >> shift) & 15) - ml;
    }
}

// As Q4_K with a fifth bit: bit i/32 of qh[i%32]
void dequantize_block_q5_k(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float dmin = load_f16(block + 2);
    const ScalesMins sm = unpack_scales_mins(block + 4);
    const uint8_t* qh = block + 16;
    const uint8_t* qs = block + 48;
    for (int g = 0; g < 8; ++g) {
        const float dl = d * static_cast<float>(sm.scale[g]);
        const float ml = dmin * static_cast<float>(sm.min[g]);
        const uint8_t* q = qs + (g / 2) * 32;
        const int shift = (g % 2) * 4;
        for (int l = 0; l < 32; ++l) {
            const int value = ((q[l] >> shift) & 15) | (((qh[l] >> g) & 1) << 4);
            out[g * 32 + l] = dl * static_cast<float>(value) - ml;
        }
    }
}

// Element i: h = i/128, k = (i%128)/32, l = i%32; nibble k/2 of ql[h×64 + (k%2)×32 + l] with bits
// 2k..2k+1 of qh[h×32 + l] above it, minus 32; w = (d × scales[i/16]) × q
void dequantize_block_q6_k(const uint8_t* block, float* out) {
    const uint8_t* ql = block;
    const uint8_t* qh = block + 128;
    const uint8_t* scales = block + 192;
    const float d = load_f16(block + 208);
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(static_cast<int8_t>(scales[g]));
        const int h = g / 8, k = (g % 8) / 2, half16 = (g % 2) * 16;
        const uint8_t* lo = ql + h * 64 + (k % 2) * 32 + half16;
        const uint8_t* hi = qh + h * 32 + half16;
        const int shift = (k / 2) * 4;
        for (int l = 0; l < 16; ++l) {
            const int value = (((lo[l] >> shift) & 15) | (((hi[l] >> (2 * k)) & 3) << 4)) - 32;
            out[g * 16 + l] = dl * static_cast<float>(value);
        }
    }
}

// ---- dispatch ----------------------------------------------------------------------------------

using DequantBlockFn = void (*)(const uint8_t* block, float* out);

enum class DecodeKind : uint8_t {
    Zeros,   // sized by the type table, never decoded
    F32,     // one value per element; a short buffer is padded with zeros
    F16,
    Blocks,  // whole blocks; a short buffer gives a shorter vector
};

struct Decoder {
    DecodeKind kind;
    DequantBlockFn block_fn;  // for Blocks
};

// One row per type code, in code order; block sizes come from the GGUF type table.
constexpr Decoder kDecoders[] = {
    /* 0  F32  */ {DecodeKind::F32, nullptr},
    /* 1  F16  */ {DecodeKind::F16, nullptr},
    /* 2  Q4_0 */ {DecodeKind::Blocks, dequantize_block_q4_0},
    /* 3  Q4_1 */ {DecodeKind::Blocks, dequantize_block_q4_1},
    /* 4  --   */ {DecodeKind::Zeros, nullptr},
    /* 5  --   */ {DecodeKind::Zeros, nullptr},
    /* 6  Q5_0 */ {DecodeKind::Blocks, dequantize_block_q5_0},
    /* 7  Q5_1 */ {DecodeKind::Blocks, dequantize_block_q5_1},
    /* 8  Q8_0 */ {DecodeKind::Blocks, dequantize_block_q8_0},
    /* 9  Q8_1 */ {DecodeKind::Blocks, dequantize_block_q8_1},
    /* 10 Q2_K */ {DecodeKind::Blocks, dequantize_block_q2_k},
    /* 11 Q3_K */ {DecodeKind::Blocks, dequantize_block_q3_k},
    /* 12 Q4_K */ {DecodeKind::Blocks, dequantize_block_q4_k},
    /* 13 Q5_K */ {DecodeKind::Blocks, dequantize_block_q5_k},
    /* 14 Q6_K */ {DecodeKind::Blocks, dequantize_block_q6_k},
    /* 15 Q8_K */ {DecodeKind::Zeros, nullptr},  // an activation format of dot products, not of weights
};
static_assert(sizeof(kDecoders) / sizeof(kDecoders[0]) == kGGUFTypeCount, "one decoder row per type code");

constexpr uint32_t kMaxBlockElems = 256;

// `n` zeros. Model weights fill hundreds of megabytes that are written once, page by page: asking
// for huge pages on the interior of a large vector saves most of the page faults of that first write.
std::vector<float> zeroed_floats(uint64_t n) {
    std::vector<float> out;
    out.reserve(n);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(out.data());
    const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t last = (begin + n * sizeof(float)) & ~(kHuge - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
    out.resize(n);
    return out;
}

std::vector<float> dequantize_blocks(std::span<const uint8_t> bytes, const GGUFTypeInfo& info, DequantBlockFn fn,
                                     uint64_t n) {
    if (n == 0) return {};
    const uint64_t E = info.block_elems, B = info.block_bytes;
    const uint64_t needed = n / E + (n % E != 0);
    const uint64_t blocks = std::min<uint64_t>(needed, bytes.size() / B);
    const uint64_t out_len = std::min<uint64_t>(n, blocks * E);
    std::vector<float> out = zeroed_floats(out_len);
    const uint64_t whole = out_len / E;  // blocks whose every element is kept
    for (uint64_t k = 0; k < whole; ++k) fn(bytes.data() + k * B, out.data() + k * E);
    if (whole < blocks) {  // the last block runs past n: decode it aside and keep its head
        float tail[kMaxBlockElems];
        fn(bytes.data() + whole * B, tail);
        std::copy_n(tail, out_len - whole * E, out.data() + whole * E);
    }
    return out;
}

}  // namespace

std::vector<float> dequantize_gguf(std::span<const uint8_t> bytes, uint32_t type_code, uint64_t n_elements) {
    const DecodeKind kind = type_code < kGGUFTypeCount ? kDecoders[type_code].kind : DecodeKind::Zeros;
    switch (kind) {
        case DecodeKind::Zeros: return zeroed_floats(n_elements);
        case DecodeKind::F32: {
            std::vector<float> out = zeroed_floats(n_elements);  // values the bytes cannot supply stay 0
            const uint64_t count = std::min<uint64_t>(n_elements, bytes.size() / 4);
            if (count > 0) std::memcpy(out.data(), bytes.data(), count * 4);  // little-endian host
            return out;
        }
        case DecodeKind::F16: {
            std::vector<float> out = zeroed_floats(n_elements);
            const uint64_t count = std::min<uint64_t>(n_elements, bytes.size() / 2);
            for (uint64_t i = 0; i < count; ++i) out[i] = load_f16(bytes.data() + 2 * i);
            return out;
        }
        case DecodeKind::Blocks:
            return dequantize_blocks(bytes, gguf_type_info(type_code), kDecoders[type_code].block_fn, n_elements);
    }
    return {};
}

}  // namespace quillfen
