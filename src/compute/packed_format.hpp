// The forms a weight matrix is held in (weights.hpp); each GGUF type's row names the one its
// weights are kept in (gguf_blocks.hpp).
#pragma once

#include <cstdint>

namespace quillfen {

enum class PackedFormat : uint8_t {
    Zeros,  // every element 0.0; nothing stored
    Flat,   // plain float32, row-major, no row width fixed
    F32,
    F16,
    Q4_0,
    Q4_1,
    Q8_0,
    Q5_1,
    Q2_K,
    Q4_K,
    Q5_K,
    Q6_K,
};

}  // namespace quillfen
