// The portable table, for any CPU: four-lane vectors in the compiler's generic vector extension,
// which GCC and Clang lower to SSE2 on x86-64 and to NEON on arm64, so this file needs no flags
// beyond the baseline's. A sixteen-row group is four vectors.
#include <cstring>

#include "compute/kernels_generic.hpp"

namespace quillfen {
namespace {

typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));
typedef uint32_t Uint4 __attribute__((vector_size(16)));

// Lanes (a, b, c, d) picked from the eight lanes of two vectors, in each compiler's spelling.
#if defined(__clang__)
#define QF_SHUFFLE4(x, y, a, b, c, d) __builtin_shufflevector(x, y, a, b, c, d)
#else
#define QF_SHUFFLE4(x, y, a, b, c, d) __builtin_shuffle(x, y, Int4{a, b, c, d})
#endif

struct Portable {
    // One group is already four sums in flight; kTokenTile: 2 x 4 accumulators, four decoded weight
    // vectors and a broadcast fit the sixteen SSE registers.
    static constexpr int kLanes = 4, kSideBySide = 1, kTokenTile = 2, kRegisters = 16;
    using F = Float4;
    using I = Int4;

    static F zero() { return F{-0.0f, -0.0f, -0.0f, -0.0f}; }
    static F broadcast(float v) { return F{v, v, v, v}; }
    static F add(F a, F b) { return a + b; }
    static F mul(F a, F b) { return a * b; }
    // No fused instruction at this level: a rounded product (exact here) and a rounded sum.
    static F mul_add(F a, F b, F c) { return a * b + c; }
    static F mul_sub(F a, F b, F c) { return a * b - c; }
    static F floats(const void* p) {
        F v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(float* p, F v) { std::memcpy(p, &v, sizeof v); }
    static I words(const uint8_t* p) {
        I v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static F ubytes(const uint8_t* p) { return __builtin_convertvector((I{p[0], p[1], p[2], p[3]}), F); }
    static F sbytes(const uint8_t* p) {
        const auto* s = reinterpret_cast<const int8_t*>(p);
        return __builtin_convertvector((I{s[0], s[1], s[2], s[3]}), F);
    }

    // Exact half to float, four at a time, by the bits: the same values the scalar decoder gives
    // (normal, subnormal as fraction × 2^-24, zero, infinity and NaN with its payload).
    static F halves(const uint8_t* p) {
        uint16_t h[4];
        std::memcpy(h, p, sizeof h);
        const Uint4 bits = {h[0], h[1], h[2], h[3]};
        const Uint4 sign = (bits & 0x8000u) << 16;
        const Uint4 exponent = (bits >> 10) & 0x1Fu;
        const Uint4 fraction = bits & 0x3FFu;
        const Uint4 normal = ((exponent + 112u) << 23) | (fraction << 13);
        const Uint4 special = 0x7F800000u | (fraction << 13);
        const F small = __builtin_convertvector(fraction, F) * broadcast(0x1p-24f);
        Uint4 subnormal;
        std::memcpy(&subnormal, &small, sizeof subnormal);
        const Uint4 is_special = Uint4(exponent == 0x1Fu), is_zero_exponent = Uint4(exponent == 0u);
        const Uint4 magnitude =
            (is_special & special) | (is_zero_exponent & subnormal) | (~(is_special | is_zero_exponent) & normal);
        const Uint4 out = magnitude | sign;
        F f;
        std::memcpy(&f, &out, sizeof f);
        return f;
    }

    static constexpr float kNibbleUnit = 1.0f, kByteUnit = 1.0f;
    using Nibbles = I;
    template <int>
    static I nibbles(const uint8_t* p) { return words(p); }
    template <int Offset>
    static F nibble(I w, int i) {
        return __builtin_convertvector(((w >> (4 * i)) & 15) + Offset, F);
    }
    static F byte_of_word(I w, int i) {
        const I shifted = I(Uint4(w) << (24 - 8 * i));  // byte i to the top, then back down with its sign
        return __builtin_convertvector(shifted >> 24, F);
    }

    static F rows4(const float* p, uint64_t, uint64_t j) { return floats(p + j); }
    static F interleave_lo(F a, F b) { return QF_SHUFFLE4(a, b, 0, 4, 1, 5); }
    static F interleave_hi(F a, F b) { return QF_SHUFFLE4(a, b, 2, 6, 3, 7); }
    static F lo_halves(F a, F b) { return QF_SHUFFLE4(a, b, 0, 1, 4, 5); }
    static F hi_halves(F a, F b) { return QF_SHUFFLE4(a, b, 2, 3, 6, 7); }
};

}  // namespace

extern const KernelTable kPortableKernels = kernels_generic::table<Portable>(Isa::Portable);

}  // namespace quillfen
