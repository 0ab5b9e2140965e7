// The AVX-512 table: a sixteen-row group is one sixteen-lane vector. Compiled with -mavx512f -mavx2
// -mfma -mf16c (CMake sets the flags for this file alone) and reached only when the CPU has AVX-512F
// (and AVX2, FMA, F16C). Fused multiply-adds appear only in mul_add and mul_sub, which decode weights
// whose product is exact; -ffp-contract=off keeps the compiler from fusing anything else.
#include <immintrin.h>

#include "compute/kernels_generic.hpp"

// GCC 12 warns about the deliberately undefined upper lanes inside its own broadcast intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quillfen {
namespace {

struct Avx512 {
    // kTokenTile: eight accumulators of the 32 registers; eight independent add chains cover the
    // adder latency on two ports.
    static constexpr int kLanes = 16, kSideBySide = 4, kTokenTile = 8, kRegisters = 32;
    using F = __m512;
    using I = __m512i;

    static F zero() { return _mm512_set1_ps(-0.0f); }
    static F broadcast(float v) { return _mm512_set1_ps(v); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F mul_add(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F mul_sub(F a, F b, F c) { return _mm512_fmsub_ps(a, b, c); }
    static F floats(const void* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F halves(const uint8_t* p) { return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
    static __m128i bytes(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static F ubytes(const uint8_t* p) { return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes(p))); }
    static F sbytes(const uint8_t* p) { return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(bytes(p))); }
    static I words(const uint8_t* p) { return _mm512_loadu_si512(p); }

    // The permute reads only the low four bits of each index, so no mask is needed: it looks the value
    // up in a table of the exact small floats Offset .. Offset + 15.
    static constexpr float kNibbleUnit = 1.0f, kByteUnit = 1.0f;
    using Nibbles = I;
    template <int>
    static I nibbles(const uint8_t* p) { return words(p); }
    template <int Offset>
    static F nibble(I w, int i) {
        const F table = _mm512_add_ps(_mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                      _mm512_set1_ps(float(Offset)));
        return _mm512_permutexvar_ps(i == 0 ? w : _mm512_srli_epi32(w, 4 * i), table);
    }
    static F byte_of_word(I w, int i) {
        return _mm512_cvtepi32_ps(_mm512_srai_epi32(i == 3 ? w : _mm512_slli_epi32(w, 24 - 8 * i), 24));
    }

    static F rows4(const float* p, uint64_t stride, uint64_t j) {
        F v = _mm512_castps128_ps512(_mm_loadu_ps(p + j));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(p + 4 * stride + j), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(p + 8 * stride + j), 2);
        return _mm512_insertf32x4(v, _mm_loadu_ps(p + 12 * stride + j), 3);
    }
    static F interleave_lo(F a, F b) { return _mm512_unpacklo_ps(a, b); }
    static F interleave_hi(F a, F b) { return _mm512_unpackhi_ps(a, b); }
    static F lo_halves(F a, F b) { return _mm512_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0)); }
    static F hi_halves(F a, F b) { return _mm512_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 3, 2)); }
};

}  // namespace

extern const KernelTable kAvx512Kernels = kernels_generic::table<Avx512>(Isa::Avx512);

}  // namespace quillfen
