// The packed weight formats, one row (a struct) each. A row gives
//   - the shape of one block column of a sixteen-row group: kElems columns in kBytes bytes, and the
//     byte offset of each of its fields;
//   - scatter<Block>(), which moves one stored block (a struct of gguf_blocks.hpp whose kPacked names
//     this row) of one row into its lane of a block column at load;
//   - lane(), one weight of one lane decoded on its own: the scalar reference, with the same float
//     operations in the same order as the full dequantisation;
//   - Kernel<V>, the vector decode that every instruction-set level's kernels run, V being the level's
//     vector type (see kernels_generic.hpp): `scales` reads a block's scale fields, `begin_run` (where
//     present) forms a sub-block's scale and minimum when its first run begins, `load` brings one run
//     of kRun columns into registers, and `weight` decodes column i of that run.
// with_packed_row() is the table: the one place that maps a PackedFormat to its row.
//
// Each field of a block column holds the sixteen rows side by side:
//   halves       one half per row (kHalfField bytes)
//   bytes        one byte per row per sub-block (kByteField bytes each)
//   nibble words one 32-bit word per row per eight elements (kWordField bytes each): bits 4i..4i+3 of
//                word c of row r are element 8c + i, so one vector load brings eight columns
//   byte words   one word per row per four elements: byte i of word c of row r is element 4c + i
//
// scatter() and lane() are the loader's (baseline code); the per-level translation units instantiate
// only the Kernel templates, with vector types of their own, so no code of theirs is shared.
//
// Where a weight is d × q + m (or − m) the vector decode is one mul_add: d × q is exact in float32
// because the significant bits of d times those of q fit in 24 (Q4_1: an 11-bit half times a 4-bit q,
// 15; Q5_1: 16; Q4_K: d × sc is 11 + 6 = 17 bits, times a 4-bit q, 21; Q5_K: 17 + 5 = 22; Q2_K:
// 11 + 4 + 2 = 17), and no such product comes near the ends of the float range (halves lie within
// 2^-24 and 2^16, the integers below 2^8). Scales are divided by the decoder's unit (a power of two:
// exact for the same reason) so that d' × q' is the same real number as d × q, and rounds the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "formats/gguf_blocks.hpp"
#include "compute/weights.hpp"
#include "tensor/error.hpp"

namespace quillfen::packed {

inline constexpr uint32_t kHalfField = 2 * kPackRows;
inline constexpr uint32_t kByteField = kPackRows;
inline constexpr uint32_t kWordField = 4 * kPackRows;
inline constexpr uint32_t nibble_words(uint32_t elems) { return elems / 8 * kWordField; }

// ---- one lane of a field (scatter and lane) --------------------------------------------------------

inline void put_half(uint8_t* block, uint32_t field, uint64_t r, const uint8_t* half) {
    std::memcpy(block + field + 2 * r, half, 2);
}
inline float half(const uint8_t* block, uint32_t field, uint64_t r) {
    uint16_t h;
    std::memcpy(&h, block + field + 2 * r, 2);
    return f16_to_f32(h);
}
inline void put_byte(uint8_t* block, uint32_t field, uint64_t i, uint64_t r, int v) {
    block[field + kByteField * i + r] = static_cast<uint8_t>(v);
}
inline uint8_t byte(const uint8_t* block, uint32_t field, uint64_t i, uint64_t r) { return block[field + kByteField * i + r]; }
inline int8_t sbyte(const uint8_t* block, uint32_t field, uint64_t i, uint64_t r) {
    return static_cast<int8_t>(byte(block, field, i, r));
}
// `n` four-bit values, value k given by q(k), as the nibble words of row r.
template <class Q>
void put_nibbles(uint8_t* block, uint32_t field, int n, uint64_t r, Q q) {
    for (int c = 0; c < n / 8; ++c) {
        uint32_t word = 0;
        for (int i = 0; i < 8; ++i) word |= uint32_t(q(8 * c + i)) << (4 * i);
        std::memcpy(block + field + kWordField * c + 4 * r, &word, 4);
    }
}
inline int nibble(const uint8_t* block, uint32_t field, uint64_t k, uint64_t r) {
    uint32_t word;
    std::memcpy(&word, block + field + kWordField * (k / 8) + 4 * r, 4);
    return int((word >> (4 * (k % 8))) & 15);
}
inline void put_word_byte(uint8_t* block, uint32_t field, uint64_t i, uint64_t r, int v) {
    block[field + kWordField * (i / 4) + 4 * r + i % 4] = static_cast<uint8_t>(static_cast<int8_t>(v));
}
inline int8_t word_byte(const uint8_t* block, uint32_t field, uint64_t i, uint64_t r) {
    return static_cast<int8_t>(block[field + kWordField * (i / 4) + 4 * r + i % 4]);
}

// ---- the fields of vector h (rows h·kLanes ..) of a block column (Kernel) --------------------------

template <class V>
const uint8_t* halves_of(const uint8_t* block, uint32_t field, int h) { return block + field + 2 * V::kLanes * h; }
template <class V>
const uint8_t* bytes_of(const uint8_t* block, uint32_t field, int i, int h) {
    return block + field + kByteField * i + V::kLanes * h;
}
template <class V>
const uint8_t* words_of(const uint8_t* block, uint32_t field, int c, int h) {
    return block + field + kWordField * c + 4 * V::kLanes * h;
}
template <class V>
typename V::F per_unit(typename V::F d, float unit) { return unit == 1.0f ? d : V::mul(d, V::broadcast(1.0f / unit)); }

struct NoScales {};

// ---- the rows ---------------------------------------------------------------------------------------

struct F32 {
    static constexpr PackedFormat kFormat = PackedFormat::F32;
    static constexpr uint32_t kElems = 1, kValues = 0, kBytes = 4 * kPackRows;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        std::memcpy(dst + kValues + 4 * r, src + offsetof(Block, value), 4);
    }
    static float lane(const uint8_t* block, uint64_t, uint64_t r) {
        float v;
        std::memcpy(&v, block + kValues + 4 * r, 4);
        return v;
    }
    template <class V>
    struct Kernel {
        static constexpr int kRun = 1;
        using Scales = NoScales;
        using Raw = typename V::F;
        static NoScales scales(const uint8_t*, int) { return {}; }
        static Raw load(const uint8_t* p, int, int h) { return V::floats(p + kValues + 4 * V::kLanes * h); }
        static Raw weight(NoScales, Raw raw, int) { return raw; }
    };
};

struct F16 {
    static constexpr PackedFormat kFormat = PackedFormat::F16;
    static constexpr uint32_t kElems = 1, kValues = 0, kBytes = kHalfField;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) { put_half(dst, kValues, r, src + offsetof(Block, value)); }
    static float lane(const uint8_t* block, uint64_t, uint64_t r) { return half(block, kValues, r); }
    template <class V>
    struct Kernel {
        static constexpr int kRun = 1;
        using Scales = NoScales;
        using Raw = typename V::F;
        static NoScales scales(const uint8_t*, int) { return {}; }
        static Raw load(const uint8_t* p, int, int h) { return V::halves(halves_of<V>(p, kValues, h)); }
        static Raw weight(NoScales, Raw raw, int) { return raw; }
    };
};

// w = d × (q − 8)
struct Q4_0 {
    static constexpr PackedFormat kFormat = PackedFormat::Q4_0;
    static constexpr uint32_t kElems = 32, kD = 0, kQ = kD + kHalfField, kBytes = kQ + nibble_words(kElems);
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        put_half(dst, kD, r, src + offsetof(Block, d));
        put_nibbles(dst, kQ, kElems, r, [src](int k) { return Block::q(src, k); });
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        return half(block, kD, r) * static_cast<float>(nibble(block, kQ, k, r) - 8);
    }
    template <class V>
    struct Kernel {
        using F = typename V::F;
        static constexpr int kRun = 8;
        struct Scales { F d; };
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) { return {per_unit<V>(V::halves(halves_of<V>(p, kD, h)), V::kNibbleUnit)}; }
        static Raw load(const uint8_t* p, int run, int h) { return V::template nibbles<-8>(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, const Raw& raw, int i) { return V::mul(s.d, V::template nibble<-8>(raw, i)); }
    };
};

// w = d × q + m
struct Q4_1 {
    static constexpr PackedFormat kFormat = PackedFormat::Q4_1;
    static constexpr uint32_t kElems = 32, kD = 0, kM = kD + kHalfField, kQ = kM + kHalfField,
                              kBytes = kQ + nibble_words(kElems);
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        put_half(dst, kD, r, src + offsetof(Block, d));
        put_half(dst, kM, r, src + offsetof(Block, m));
        put_nibbles(dst, kQ, kElems, r, [src](int k) { return Block::q(src, k); });
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        return half(block, kD, r) * static_cast<float>(nibble(block, kQ, k, r)) + half(block, kM, r);
    }
    template <class V>
    struct Kernel {
        using F = typename V::F;
        static constexpr int kRun = 8;
        struct Scales { F d, m; };
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) {
            return {per_unit<V>(V::halves(halves_of<V>(p, kD, h)), V::kNibbleUnit), V::halves(halves_of<V>(p, kM, h))};
        }
        static Raw load(const uint8_t* p, int run, int h) { return V::template nibbles<0>(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, const Raw& raw, int i) { return V::mul_add(s.d, V::template nibble<0>(raw, i), s.m); }
    };
};

// w = d × q, q a signed byte of the byte words. Q8_1 is held this way (its second half is a sum only
// dot products use), and Q5_0 too, its 5-bit value minus 16 as the byte.
struct Q8_0 {
    static constexpr PackedFormat kFormat = PackedFormat::Q8_0;
    static constexpr uint32_t kElems = 32, kD = 0, kQ = kD + kHalfField, kBytes = kQ + kElems / 4 * kWordField;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        put_half(dst, kD, r, src + offsetof(Block, d));
        for (uint32_t k = 0; k < kElems; ++k) put_word_byte(dst, kQ, k, r, Block::q(src, int(k)));
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        return half(block, kD, r) * static_cast<float>(word_byte(block, kQ, k, r));
    }
    template <class V>
    struct Kernel {
        using F = typename V::F;
        using I = typename V::I;
        static constexpr int kRun = 4;
        struct Scales { F d; };
        using Raw = I;
        static Scales scales(const uint8_t* p, int h) { return {per_unit<V>(V::halves(halves_of<V>(p, kD, h)), V::kByteUnit)}; }
        static I load(const uint8_t* p, int run, int h) { return V::words(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, I raw, int i) { return V::mul(s.d, V::byte_of_word(raw, i)); }
    };
};

// w = d × q + m, q the 5-bit value as a byte of the byte words
struct Q5_1 {
    static constexpr PackedFormat kFormat = PackedFormat::Q5_1;
    static constexpr uint32_t kElems = 32, kD = 0, kM = kD + kHalfField, kQ = kM + kHalfField,
                              kBytes = kQ + kElems / 4 * kWordField;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        put_half(dst, kD, r, src + offsetof(Block, d));
        put_half(dst, kM, r, src + offsetof(Block, m));
        for (uint32_t k = 0; k < kElems; ++k) put_word_byte(dst, kQ, k, r, Block::q(src, int(k)));
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        return half(block, kD, r) * static_cast<float>(word_byte(block, kQ, k, r)) + half(block, kM, r);
    }
    template <class V>
    struct Kernel {
        using F = typename V::F;
        using I = typename V::I;
        static constexpr int kRun = 4;
        struct Scales { F d, m; };
        using Raw = I;
        static Scales scales(const uint8_t* p, int h) {
            return {per_unit<V>(V::halves(halves_of<V>(p, kD, h)), V::kByteUnit), V::halves(halves_of<V>(p, kM, h))};
        }
        static I load(const uint8_t* p, int run, int h) { return V::words(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, I raw, int i) { return V::mul_add(s.d, V::byte_of_word(raw, i), s.m); }
    };
};

// The K formats with minimums: G sub-blocks, each with its scale d × sc and minimum dmin × mn;
// w = (d × sc) × q − dmin × mn. Fields: d, dmin halves, sc[G], mn[G] bytes, then the values.
template <int G>
struct KMinLayout {
    static constexpr uint32_t kElems = 256, kSub = kElems / G;
    static constexpr uint32_t kD = 0, kDmin = kD + kHalfField, kSc = kDmin + kHalfField, kMn = kSc + G * kByteField,
                              kQ = kMn + G * kByteField;
    // The halves and the sub-block scales and minimums of a block (Block::kSubBlocks == G).
    template <class Block>
    static void scatter_scales(const uint8_t* src, uint8_t* dst, uint64_t r) {
        static_assert(Block::kSubBlocks == G && Block::kElems == kElems);
        uint8_t sc[G], mn[G];
        Block::sub_scales(src, sc, mn);
        put_half(dst, kD, r, src + offsetof(Block, d));
        put_half(dst, kDmin, r, src + offsetof(Block, dmin));
        for (int g = 0; g < G; ++g) {
            put_byte(dst, kSc, g, r, sc[g]);
            put_byte(dst, kMn, g, r, mn[g]);
        }
    }
    static float lane_with(const uint8_t* block, uint64_t k, uint64_t r, int q) {
        const uint64_t g = k / kSub;
        const float dl = half(block, kD, r) * static_cast<float>(byte(block, kSc, g, r));
        const float ml = half(block, kDmin, r) * static_cast<float>(byte(block, kMn, g, r));
        return dl * static_cast<float>(q) - ml;
    }
    template <class V>
    struct KernelScales {
        using F = typename V::F;
        struct Scales { F d, dmin, dl, ml; };
        static Scales scales_with(const uint8_t* p, int h, float unit) {
            const F d = per_unit<V>(V::halves(halves_of<V>(p, kD, h)), unit);
            return {d, V::halves(halves_of<V>(p, kDmin, h)), d, d};
        }
        static void sub_block(Scales& s, const uint8_t* p, int g, int h) {
            s.dl = V::mul(s.d, V::ubytes(bytes_of<V>(p, kSc, g, h)));
            s.ml = V::mul(s.dmin, V::ubytes(bytes_of<V>(p, kMn, g, h)));
        }
    };
};

// Q4_K: eight sub-blocks of 32; the values as nibble words.
struct Q4_K : KMinLayout<8> {
    static constexpr PackedFormat kFormat = PackedFormat::Q4_K;
    static constexpr uint32_t kBytes = kQ + nibble_words(kElems);
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        scatter_scales<Block>(src, dst, r);
        put_nibbles(dst, kQ, kElems, r, [src](int k) { return Block::q(src, k); });
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) { return lane_with(block, k, r, nibble(block, kQ, k, r)); }
    template <class V>
    struct Kernel : KernelScales<V> {
        using F = typename V::F;
        using Base = KernelScales<V>;
        using typename Base::Scales;
        static constexpr int kRun = 8;
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) { return Base::scales_with(p, h, V::kNibbleUnit); }
        static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
            if (run % (kSub / kRun) == 0) Base::sub_block(s, p, run / (kSub / kRun), h);
        }
        static Raw load(const uint8_t* p, int run, int h) { return V::template nibbles<0>(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, const Raw& raw, int i) {
            return V::mul_sub(s.dl, V::template nibble<0>(raw, i), s.ml);
        }
    };
};

// Q2_K and Q5_K: one byte of the byte words per value (below 32, so its signed reading is its value).
template <int G>
struct KMinBytes : KMinLayout<G> {
    using Layout = KMinLayout<G>;
    static constexpr uint32_t kBytes = Layout::kQ + Layout::kElems / 4 * kWordField;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        Layout::template scatter_scales<Block>(src, dst, r);
        for (uint32_t k = 0; k < Layout::kElems; ++k) put_word_byte(dst, Layout::kQ, k, r, Block::q(src, int(k)));
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        return Layout::lane_with(block, k, r, word_byte(block, Layout::kQ, k, r));
    }
    template <class V>
    struct Kernel : Layout::template KernelScales<V> {
        using F = typename V::F;
        using I = typename V::I;
        using Base = typename Layout::template KernelScales<V>;
        using typename Base::Scales;
        static constexpr int kRun = 4;
        using Raw = I;
        static Scales scales(const uint8_t* p, int h) { return Base::scales_with(p, h, V::kByteUnit); }
        static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
            if (run % (Layout::kSub / kRun) == 0) Base::sub_block(s, p, run / (Layout::kSub / kRun), h);
        }
        static I load(const uint8_t* p, int run, int h) { return V::words(words_of<V>(p, Layout::kQ, run, h)); }
        static F weight(const Scales& s, I raw, int i) { return V::mul_sub(s.dl, V::byte_of_word(raw, i), s.ml); }
    };
};

// Q2_K: sixteen sub-blocks of 16, scale and minimum the two nibbles of one byte.
struct Q2_K : KMinBytes<16> {
    static constexpr PackedFormat kFormat = PackedFormat::Q2_K;
};

// Q5_K: eight sub-blocks of 32.
struct Q5_K : KMinBytes<8> {
    static constexpr PackedFormat kFormat = PackedFormat::Q5_K;
};

// Q6_K: w = (d × sc) × q for sixteen sub-blocks of 16, sc a signed byte, q (the 6-bit value minus 32)
// a signed byte of the byte words. Q3_K, whose values are also (d × scale) × small integer for
// sixteen sub-blocks of 16, is held the same way.
struct Q6_K {
    static constexpr PackedFormat kFormat = PackedFormat::Q6_K;
    static constexpr uint32_t kElems = 256, kSub = 16, kD = 0, kSc = kD + kHalfField, kQ = kSc + kElems / kSub * kByteField,
                              kBytes = kQ + kElems / 4 * kWordField;
    template <class Block>
    static void scatter(const uint8_t* src, uint8_t* dst, uint64_t r) {
        put_half(dst, kD, r, src + offsetof(Block, d));
        for (uint32_t g = 0; g < kElems / kSub; ++g) put_byte(dst, kSc, g, r, Block::scale(src, int(g)));
        for (uint32_t k = 0; k < kElems; ++k) put_word_byte(dst, kQ, k, r, Block::q(src, int(k)));
    }
    static float lane(const uint8_t* block, uint64_t k, uint64_t r) {
        const float dl = half(block, kD, r) * static_cast<float>(sbyte(block, kSc, k / kSub, r));
        return dl * static_cast<float>(word_byte(block, kQ, k, r));
    }
    template <class V>
    struct Kernel {
        using F = typename V::F;
        using I = typename V::I;
        static constexpr int kRun = 4;
        struct Scales { F d, dl; };
        using Raw = I;
        static Scales scales(const uint8_t* p, int h) {
            const F d = per_unit<V>(V::halves(halves_of<V>(p, kD, h)), V::kByteUnit);
            return {d, d};
        }
        static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
            if (run % (kSub / kRun) == 0) s.dl = V::mul(s.d, V::sbytes(bytes_of<V>(p, kSc, run / (kSub / kRun), h)));
        }
        static I load(const uint8_t* p, int run, int h) { return V::words(words_of<V>(p, kQ, run, h)); }
        static F weight(const Scales& s, I raw, int i) { return V::mul(s.dl, V::byte_of_word(raw, i)); }
    };
};

// The table: `fn.template operator()<Row>()` for the row of `format`; `otherwise()` for the formats
// that have none (Zeros, Flat).
template <class Fn, class Otherwise>
decltype(auto) with_packed_row(PackedFormat format, Fn&& fn, Otherwise&& otherwise) {
    switch (format) {
        case PackedFormat::F32: return fn.template operator()<F32>();
        case PackedFormat::F16: return fn.template operator()<F16>();
        case PackedFormat::Q4_0: return fn.template operator()<Q4_0>();
        case PackedFormat::Q4_1: return fn.template operator()<Q4_1>();
        case PackedFormat::Q8_0: return fn.template operator()<Q8_0>();
        case PackedFormat::Q5_1: return fn.template operator()<Q5_1>();
        case PackedFormat::Q2_K: return fn.template operator()<Q2_K>();
        case PackedFormat::Q4_K: return fn.template operator()<Q4_K>();
        case PackedFormat::Q5_K: return fn.template operator()<Q5_K>();
        case PackedFormat::Q6_K: return fn.template operator()<Q6_K>();
        default: return otherwise();
    }
}

}  // namespace quillfen::packed
