// GGUF tensor type codes: how many elements a block holds and how many bytes it takes on disk.
// One table for every reader of GGUF tensors (the layer iterator and the LLaMA runtime).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillfen {

struct GGUFTypeInfo {
    std::string_view name;
    uint32_t block_elems;  // weights per block; always a power of two
    uint32_t block_bytes;  // bytes per block on disk
};

inline constexpr GGUFTypeInfo kGGUFTypes[] = {
    /* 0 */ {"F32", 1, 4},
    /* 1 */ {"F16", 1, 2},
    /* 2 */ {"Q4_0", 32, 18},
    /* 3 */ {"Q4_1", 32, 20},
    /* 4 */ {"unassigned", 1, 2},  // retired codes: sized like any unknown code, decoded as zeros
    /* 5 */ {"unassigned", 1, 2},
    /* 6 */ {"Q5_0", 32, 22},
    /* 7 */ {"Q5_1", 32, 24},
    /* 8 */ {"Q8_0", 32, 34},
    /* 9 */ {"Q8_1", 32, 36},  // two halves (d, s) then 32 int8
    /* 10 */ {"Q2_K", 256, 84},
    /* 11 */ {"Q3_K", 256, 110},
    /* 12 */ {"Q4_K", 256, 144},
    /* 13 */ {"Q5_K", 256, 176},
    /* 14 */ {"Q6_K", 256, 210},
    /* 15 */ {"Q8_K", 256, 292},
};
inline constexpr uint32_t kGGUFTypeCount = sizeof(kGGUFTypes) / sizeof(kGGUFTypes[0]);
static_assert(kGGUFTypeCount == 16);

// Codes past the table are sized as one 2-byte element each.
inline constexpr GGUFTypeInfo kGGUFUnknownType = {"unknown", 1, 2};

inline const GGUFTypeInfo& gguf_type_info(uint32_t code) {
    return code < kGGUFTypeCount ? kGGUFTypes[code] : kGGUFUnknownType;
}

// Bytes of `n_elements` elements of type `code`: whole blocks, the last one rounded up.
// nullopt when the count is too large for 64 bits.
inline std::optional<uint64_t> gguf_data_size(uint32_t code, uint64_t n_elements) {
    const GGUFTypeInfo& info = gguf_type_info(code);
    const uint64_t blocks = n_elements / info.block_elems + (n_elements % info.block_elems != 0);
    uint64_t bytes;
    if (__builtin_mul_overflow(blocks, uint64_t{info.block_bytes}, &bytes)) return std::nullopt;
    return bytes;
}

}  // namespace quillfen
