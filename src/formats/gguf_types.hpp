// The GGUF tensor types: one row per type code, a block struct of gguf_blocks.hpp, and everything
// about a type read from it: name, block shape and bytes, decoder, the packed form its weights are
// kept in, what a layer item of it reports. The one table for every reader of GGUF tensors (the layer
// iterator, the LLaMA runtime, the loader that packs weights, the tests).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "formats/gguf_blocks.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

template <class... Blocks>
struct GGUFTypeList {};

// In code order: the index of a struct is its type code.
using GGUFBlockTypes = GGUFTypeList<
    /* 0 */ BlockF32,
    /* 1 */ BlockF16,
    /* 2 */ BlockQ4_0,
    /* 3 */ BlockQ4_1,
    /* 4 */ BlockUnassigned,
    /* 5 */ BlockUnassigned,
    /* 6 */ BlockQ5_0,
    /* 7 */ BlockQ5_1,
    /* 8 */ BlockQ8_0,
    /* 9 */ BlockQ8_1,
    /* 10 */ BlockQ2_K,
    /* 11 */ BlockQ3_K,
    /* 12 */ BlockQ4_K,
    /* 13 */ BlockQ5_K,
    /* 14 */ BlockQ6_K,
    /* 15 */ BlockQ8_K>;

// `count` whole blocks from `blocks` into count × block_elems floats.
using GGUFDecodeFn = void (*)(const uint8_t* blocks, uint64_t count, float* out);

struct GGUFTypeInfo {
    std::string_view name;
    uint32_t block_elems;  // weights per block; always a power of two
    uint32_t block_bytes;  // bytes per block on disk
    GGUFDecodeFn decode;   // nullptr: decoded as zeros
    PackedFormat packed;   // the form its weights are kept in; Zeros exactly when decode is nullptr
    DType item_dtype;      // what a layer item of this type reports
};

template <class Block>
void decode_gguf_blocks(const uint8_t* blocks, uint64_t count, float* out) {
    for (uint64_t k = 0; k < count; ++k) Block::decode(blocks + k * sizeof(Block), out + k * Block::kElems);
}

template <class Block>
constexpr GGUFTypeInfo gguf_type_row() {
    // Layer items report F32 and F16 as they are and everything quantised as packed 4-bit.
    constexpr DType item = Block::kPacked == PackedFormat::F32   ? DType::Float32
                           : Block::kPacked == PackedFormat::F16 ? DType::Float16
                                                                 : DType::Int4;
    constexpr bool decoded = requires { Block::decode; };
    static_assert(decoded == (Block::kPacked != PackedFormat::Zeros), "decoded exactly when it keeps storage");
    static_assert((Block::kElems & (Block::kElems - 1)) == 0, "blocks of a power of two");
    GGUFDecodeFn decode = nullptr;
    if constexpr (decoded) decode = decode_gguf_blocks<Block>;
    return {Block::kName, Block::kElems, uint32_t{sizeof(Block)}, decode, Block::kPacked, item};
}

template <class... Blocks>
constexpr std::array<GGUFTypeInfo, sizeof...(Blocks)> gguf_type_rows(GGUFTypeList<Blocks...>) {
    return {gguf_type_row<Blocks>()...};
}

inline constexpr auto kGGUFTypes = gguf_type_rows(GGUFBlockTypes{});
inline constexpr uint32_t kGGUFTypeCount = kGGUFTypes.size();

// Codes past the table are sized as one 2-byte element each and decoded as zeros.
inline constexpr GGUFTypeInfo kGGUFUnknownType = {"unknown", 1, 2, nullptr, PackedFormat::Zeros, DType::Int4};

inline const GGUFTypeInfo& gguf_type_info(uint32_t code) {
    return code < kGGUFTypeCount ? kGGUFTypes[code] : kGGUFUnknownType;
}

// `fn.template operator()<Block>()` with the block struct of type `code`; nothing for codes past the table.
template <class Fn>
void with_gguf_block(uint32_t code, Fn&& fn) {
    [&]<class... Blocks>(GGUFTypeList<Blocks...>) {
        uint32_t i = 0;
        ((code == i++ ? fn.template operator()<Blocks>() : void()), ...);
    }(GGUFBlockTypes{});
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
