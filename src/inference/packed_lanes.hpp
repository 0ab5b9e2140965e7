// One weight of a packed sixteen-row group, decoded on its own: the scalar form of what the vector
// kernels decode sixteen lanes at a time. The same float operations, in the same order, as the block
// decoders of the full dequantisation.
#pragma once

#include <cstdint>
#include <cstring>

#include "inference/dequant.hpp"
#include "inference/weights.hpp"
#include "tensor/error.hpp"

namespace quillfen {

inline float packed_half(const uint8_t* p) {
    uint16_t h;
    std::memcpy(&h, p, 2);
    return f16_to_f32(h);
}

// The 4-bit value of element k of lane r in the words of a 4-bit block.
inline int packed_nibble(const uint8_t* words, uint64_t k, uint64_t r) {
    uint32_t word;
    std::memcpy(&word, words + 64 * (k / 8) + 4 * r, 4);
    return int((word >> (4 * (k % 8))) & 15);
}

// Column j of lane r (row r of the group) in a group packed as `f`.
inline float packed_lane_weight(PackedFormat f, const uint8_t* group, uint64_t j, uint64_t r) {
    const PackedBlockShape shape = packed_block_shape(f);
    const uint8_t* block = group + (j / shape.elems) * shape.bytes;
    const uint64_t k = j % shape.elems;
    switch (f) {
        case PackedFormat::F32: {
            float v;
            std::memcpy(&v, block + 4 * r, 4);
            return v;
        }
        case PackedFormat::F16: return packed_half(block + 2 * r);
        case PackedFormat::Q4_0: {
            const float d = packed_half(block + 2 * r);
            return d * static_cast<float>(packed_nibble(block + 32, k, r) - 8);
        }
        case PackedFormat::Q4_1: {
            const float d = packed_half(block + 2 * r);
            const float m = packed_half(block + 32 + 2 * r);
            return d * static_cast<float>(packed_nibble(block + 64, k, r)) + m;
        }
        case PackedFormat::Q4_K: {
            const uint64_t g = k / 32;
            const float dl = packed_half(block + 2 * r) * static_cast<float>(block[64 + 16 * g + r]);
            const float ml = packed_half(block + 32 + 2 * r) * static_cast<float>(block[192 + 16 * g + r]);
            return dl * static_cast<float>(packed_nibble(block + 320, k, r)) - ml;
        }
        case PackedFormat::Q2_K:
        case PackedFormat::Q5_K: {
            const uint64_t groups = f == PackedFormat::Q2_K ? 16 : 8;
            const uint64_t g = k / (256 / groups);
            const float dl = packed_half(block + 2 * r) * static_cast<float>(block[64 + 16 * g + r]);
            const float ml = packed_half(block + 32 + 2 * r) * static_cast<float>(block[64 + 16 * groups + 16 * g + r]);
            return dl * static_cast<float>(block[64 + 32 * groups + 16 * k + r]) - ml;
        }
        case PackedFormat::Q6_K: {
            const float dl = packed_half(block + 2 * r) * static_cast<float>(static_cast<int8_t>(block[32 + 16 * (k / 16) + r]));
            const int q = static_cast<int8_t>(block[288 + 64 * (k / 4) + 4 * r + k % 4]);
            return dl * static_cast<float>(q);
        }
        case PackedFormat::Q5_1: {
            const float d = packed_half(block + 2 * r);
            const float m = packed_half(block + 32 + 2 * r);
            return d * static_cast<float>(block[64 + 16 * k + r]) + m;
        }
        case PackedFormat::Q8_0: {
            const float d = packed_half(block + 2 * r);
            return d * static_cast<float>(static_cast<int8_t>(block[32 + 16 * k + r]));
        }
        default: fault("not a packed format");
    }
}

}  // namespace quillfen
