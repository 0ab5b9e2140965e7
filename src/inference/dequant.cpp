#include "inference/dequant.hpp"

#include <algorithm>
#include <cstring>

#include "formats/gguf_blocks.hpp"
#include "formats/gguf_types.hpp"
#include "tensor/tensor.hpp"

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

using namespace gguf_block;

inline float load_f16(const uint8_t* p) { return f16_to_f32(u16(p)); }

// Every decoder below writes one whole block of elements to `out`, in element order, and rounds
// each product and sum on its own in the order written (the build forbids contraction into FMA).
// The fields of each element come from gguf_blocks.hpp.

// ---- 32-element blocks -------------------------------------------------------------------------

// w = d × (q − 8)
void dequantize_block_q4_0(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    for (int k = 0; k < 32; ++k) out[k] = d * static_cast<float>(nibble32(block + 2, k) - 8);
}

// w = d × q + m
void dequantize_block_q4_1(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float m = load_f16(block + 2);
    for (int k = 0; k < 32; ++k) out[k] = d * static_cast<float>(nibble32(block + 4, k)) + m;
}

// w = d × (q − 16)
void dequantize_block_q5_0(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    for (int k = 0; k < 32; ++k) out[k] = d * static_cast<float>(five_bit(block + 2, k) - 16);
}

// w = d × q + m
void dequantize_block_q5_1(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float m = load_f16(block + 2);
    for (int k = 0; k < 32; ++k) out[k] = d * static_cast<float>(five_bit(block + 4, k)) + m;
}

void dequantize_int8_run(float d, const uint8_t* qs, float* out) {
    for (int j = 0; j < 32; ++j) out[j] = d * static_cast<float>(static_cast<int8_t>(qs[j]));
}

// w[j] = d × qs[j]
void dequantize_block_q8_0(const uint8_t* block, float* out) { dequantize_int8_run(load_f16(block), block + 2, out); }

// As Q8_0 after a second half (the block's sum, used only by dot products)
void dequantize_block_q8_1(const uint8_t* block, float* out) { dequantize_int8_run(load_f16(block), block + 4, out); }

// ---- 256-element blocks ------------------------------------------------------------------------

// w = (d × (sc & 15)) × q − dmin × (sc >> 4), sc = scales[i / 16]
void dequantize_block_q2_k(const uint8_t* block, float* out) {
    const float d = load_f16(block + 80);
    const float dmin = load_f16(block + 82);
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(block[g] & 15);
        const float ml = dmin * static_cast<float>(block[g] >> 4);
        for (int i = 16 * g; i < 16 * g + 16; ++i) out[i] = dl * static_cast<float>(q2_k(block, i)) - ml;
    }
}

// w = (d × S[i / 16]) × q
void dequantize_block_q3_k(const uint8_t* block, float* out) {
    const float d = load_f16(block + 108);
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(q3_k_scale(block, g));
        for (int i = 16 * g; i < 16 * g + 16; ++i) out[i] = dl * static_cast<float>(q3_k(block, i));
    }
}

// w = (d × scale[i / 32]) × q − dmin × min[i / 32], q by `value`
template <int (*value)(const uint8_t*, int)>
void dequantize_block_k_min(const uint8_t* block, float* out) {
    const float d = load_f16(block);
    const float dmin = load_f16(block + 2);
    uint8_t scale[8], min[8];
    k_scales(block, scale, min);
    for (int g = 0; g < 8; ++g) {
        const float dl = d * static_cast<float>(scale[g]);
        const float ml = dmin * static_cast<float>(min[g]);
        for (int i = 32 * g; i < 32 * g + 32; ++i) out[i] = dl * static_cast<float>(value(block, i)) - ml;
    }
}

// w = (d × scales[i / 16]) × q
void dequantize_block_q6_k(const uint8_t* block, float* out) {
    const float d = load_f16(block + 208);
    for (int g = 0; g < 16; ++g) {
        const float dl = d * static_cast<float>(static_cast<int8_t>(block[192 + g]));
        for (int i = 16 * g; i < 16 * g + 16; ++i) out[i] = dl * static_cast<float>(q6_k(block, i));
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
    /* 12 Q4_K */ {DecodeKind::Blocks, dequantize_block_k_min<q4_k>},
    /* 13 Q5_K */ {DecodeKind::Blocks, dequantize_block_k_min<q5_k>},
    /* 14 Q6_K */ {DecodeKind::Blocks, dequantize_block_q6_k},
    /* 15 Q8_K */ {DecodeKind::Zeros, nullptr},  // an activation format of dot products, not of weights
};
static_assert(sizeof(kDecoders) / sizeof(kDecoders[0]) == kGGUFTypeCount, "one decoder row per type code");

constexpr uint32_t kMaxBlockElems = 256;

// `n` zeros, in huge pages where large: model weights fill hundreds of megabytes written once.
std::vector<float> zeroed_floats(uint64_t n) { return huge_page_vector<float>(n); }

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
