// The AVX2 table: a sixteen-row group is two eight-lane vectors. Compiled with -mavx2 -mf16c (CMake
// sets the flags for this file alone) and reached only when the CPU has AVX2 and F16C.
#include <immintrin.h>

#include "inference/kernels_generic.hpp"

namespace quillfen {
namespace {

struct Avx2 {
    // kTokenTile: inputs whose sums a batched product keeps in registers, 4 x 2 accumulators of the
    // sixteen registers, with the two decoded weight vectors and a broadcast input beside them.
    static constexpr int kLanes = 8, kSideBySide = 2, kTokenTile = 4;
    using F = __m256;
    using I = __m256i;

    static F zero() { return _mm256_set1_ps(-0.0f); }
    static F broadcast(float v) { return _mm256_set1_ps(v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F floats(const void* p) { return _mm256_loadu_ps(static_cast<const float*>(p)); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F halves(const uint8_t* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
    static __m128i bytes(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
    static F ubytes(const uint8_t* p) { return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes(p))); }
    static F sbytes(const uint8_t* p) { return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes(p))); }
    static I words(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

    template <int Offset>
    static F nibble(I w, int i) {
        I q = _mm256_and_si256(i == 0 ? w : _mm256_srli_epi32(w, 4 * i), _mm256_set1_epi32(15));
        if constexpr (Offset != 0) q = _mm256_add_epi32(q, _mm256_set1_epi32(Offset));
        return _mm256_cvtepi32_ps(q);
    }
    static F byte_of_word(I w, int i) {
        return _mm256_cvtepi32_ps(_mm256_srai_epi32(i == 3 ? w : _mm256_slli_epi32(w, 24 - 8 * i), 24));
    }

    static F rows4(const float* p, uint64_t stride, uint64_t j) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + j)), _mm_loadu_ps(p + 4 * stride + j), 1);
    }
    static F interleave_lo(F a, F b) { return _mm256_unpacklo_ps(a, b); }
    static F interleave_hi(F a, F b) { return _mm256_unpackhi_ps(a, b); }
    static F lo_halves(F a, F b) { return _mm256_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0)); }
    static F hi_halves(F a, F b) { return _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 3, 2)); }
};

}  // namespace

extern const KernelTable kAvx2Kernels = kernels_generic::table<Avx2>(Isa::Avx2);

}  // namespace quillfen
