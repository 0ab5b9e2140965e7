// The AVX2 table: a sixteen-row group is two eight-lane vectors. Compiled with -mavx2 -mfma -mf16c
// (CMake sets the flags for this file alone) and reached only when the CPU has AVX2, FMA and F16C.
// Fused multiply-adds appear only in mul_add and mul_sub, which decode weights whose product is exact;
// -ffp-contract=off keeps the compiler from fusing anything else.
#include <immintrin.h>

#include "compute/kernels_generic.hpp"

namespace quillfen {
namespace {

struct Avx2 {
    // kTokenTile: inputs whose sums a batched product keeps in registers, 4 x 2 accumulators of the
    // sixteen registers, with the two decoded weight vectors and a broadcast input beside them.
    static constexpr int kLanes = 8, kSideBySide = 2, kTokenTile = 4, kRegisters = 16;
    using F = __m256;
    using I = __m256i;

    static F zero() { return _mm256_set1_ps(-0.0f); }
    static F broadcast(float v) { return _mm256_set1_ps(v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F mul_add(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F mul_sub(F a, F b, F c) { return _mm256_fmsub_ps(a, b, c); }
    static F floats(const void* p) { return _mm256_loadu_ps(static_cast<const float*>(p)); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F halves(const uint8_t* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
    static __m128i bytes(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
    static F ubytes(const uint8_t* p) { return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes(p))); }
    static F sbytes(const uint8_t* p) { return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes(p))); }
    static I words(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

    // The shuffle control that moves byte k of each word to the word's top byte and clears the three
    // below: the byte's signed value times 2^24 as a 32-bit integer, which converts exactly. A byte
    // shuffle runs beside the float work (on the shuffle port) where shifting by 4i and masking took
    // two of the float ports' slots per column.
    static I to_top(int k) {
        const auto word = [k](int j) { return int(0x00808080u | uint32_t(4 * j + k) << 24); };
        return _mm256_setr_epi32(word(0), word(1), word(2), word(3), word(0), word(1), word(2), word(3));
    }
    static constexpr float kNibbleUnit = 0x1p24f, kByteUnit = 0x1p24f;

    // The even and the odd 4-bit values of a run, plus Offset, each a signed byte where its pair sat:
    // three instructions per run of eight columns, then one shuffle per column.
    struct Nibbles {
        I even, odd;
    };
    template <int Offset>
    static Nibbles nibbles(const uint8_t* p) {
        const I w = words(p), low4 = _mm256_set1_epi8(15);
        I even = _mm256_and_si256(w, low4), odd = _mm256_and_si256(_mm256_srli_epi32(w, 4), low4);
        if constexpr (Offset != 0) {
            even = _mm256_add_epi8(even, _mm256_set1_epi8(Offset));
            odd = _mm256_add_epi8(odd, _mm256_set1_epi8(Offset));
        }
        return {even, odd};
    }
    template <int Offset>
    static F nibble(const Nibbles& n, int i) {
        return _mm256_cvtepi32_ps(_mm256_shuffle_epi8(i % 2 == 0 ? n.even : n.odd, to_top(i / 2)));
    }
    static F byte_of_word(I w, int i) { return _mm256_cvtepi32_ps(_mm256_shuffle_epi8(w, to_top(i))); }

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
