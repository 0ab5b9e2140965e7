#include "inference/matvec_kernels.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillfen {

namespace {

// Four floats as one value; GCC lowers the arithmetic to SSE on x86-64 and NEON on arm64.
typedef float Float4 __attribute__((vector_size(16)));
typedef int Index4 __attribute__((vector_size(16)));

Float4 load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);  // rows need not be 16-byte aligned
    return v;
}

// Lanes (a, b, c, d) picked from the eight lanes of two vectors, in each compiler's spelling.
#if defined(__clang__)
#define QF_SHUFFLE4(x, y, a, b, c, d) __builtin_shufflevector(x, y, a, b, c, d)
#else
#define QF_SHUFFLE4(x, y, a, b, c, d) __builtin_shuffle(x, y, Index4{a, b, c, d})
#endif

// Columns of four rows: lane k of c[i] is row k's element i.
void transpose4(Float4 r0, Float4 r1, Float4 r2, Float4 r3, Float4 c[4]) {
    const Float4 t0 = QF_SHUFFLE4(r0, r1, 0, 4, 1, 5);  // r0[0] r1[0] r0[1] r1[1]
    const Float4 t1 = QF_SHUFFLE4(r2, r3, 0, 4, 1, 5);
    const Float4 t2 = QF_SHUFFLE4(r0, r1, 2, 6, 3, 7);
    const Float4 t3 = QF_SHUFFLE4(r2, r3, 2, 6, 3, 7);
    c[0] = QF_SHUFFLE4(t0, t1, 0, 1, 4, 5);
    c[1] = QF_SHUFFLE4(t0, t1, 2, 3, 6, 7);
    c[2] = QF_SHUFFLE4(t2, t3, 0, 1, 4, 5);
    c[3] = QF_SHUFFLE4(t2, t3, 2, 3, 6, 7);
}

// One row, one accumulator.
void matvec_row_scalar(const float* w, const float* x, float* out, uint64_t r, uint64_t cols) {
    const float* wr = w + r * cols;
    float acc = -0.0f;
    for (uint64_t j = 0; j < cols; ++j) acc += wr[j] * x[j];
    out[r] = acc;
}

}  // namespace

void matvec_rows_portable(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols) {
    uint64_t r = begin;
    const uint64_t cols4 = cols & ~uint64_t{3};
    for (; r + 8 <= end; r += 8) {
        const float* a = w + r * cols;
        const float* b = a + 4 * cols;
        Float4 acc_a = {-0.0f, -0.0f, -0.0f, -0.0f};
        Float4 acc_b = acc_a;
        for (uint64_t j = 0; j < cols4; j += 4) {
            Float4 ca[4], cb[4];
            transpose4(load4(a + j), load4(a + cols + j), load4(a + 2 * cols + j), load4(a + 3 * cols + j), ca);
            transpose4(load4(b + j), load4(b + cols + j), load4(b + 2 * cols + j), load4(b + 3 * cols + j), cb);
            for (int i = 0; i < 4; ++i) {
                const float xj = x[j + i];
                acc_a = acc_a + ca[i] * xj;
                acc_b = acc_b + cb[i] * xj;
            }
        }
        for (uint64_t j = cols4; j < cols; ++j) {
            const float xj = x[j];
            acc_a = acc_a + Float4{a[j], a[cols + j], a[2 * cols + j], a[3 * cols + j]} * xj;
            acc_b = acc_b + Float4{b[j], b[cols + j], b[2 * cols + j], b[3 * cols + j]} * xj;
        }
        for (int k = 0; k < 4; ++k) {
            out[r + k] = acc_a[k];
            out[r + 4 + k] = acc_b[k];
        }
    }
    for (; r < end; ++r) matvec_row_scalar(w, x, out, r, cols);
}

#if defined(__x86_64__)

// Everything down to the dispatcher is compiled for AVX and runs only after the CPU check.
#pragma GCC push_options
#pragma GCC target("avx")

namespace {

// Four columns j..j+3 of eight rows starting at `p`: rows k and k+4 share a register (low and high
// halves), and one in-lane 4x4 transpose turns them into c[i] = element j+i of rows 0..7.
inline void columns8(const float* p, uint64_t cols, uint64_t j, __m256 c[4]) {
    auto pair = [&](int k) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + k * cols + j)),
                                    _mm_loadu_ps(p + (k + 4) * cols + j), 1);
    };
    const __m256 r0 = pair(0), r1 = pair(1), r2 = pair(2), r3 = pair(3);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1);  // r0[0] r1[0] r0[1] r1[1] per half
    const __m256 t1 = _mm256_unpackhi_ps(r0, r1);  // r0[2] r1[2] r0[3] r1[3]
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3);
    const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
    c[0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    c[1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    c[2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    c[3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

inline __m256 column8(const float* p, uint64_t cols, uint64_t j) {
    return _mm256_setr_ps(p[j], p[cols + j], p[2 * cols + j], p[3 * cols + j], p[4 * cols + j], p[5 * cols + j],
                          p[6 * cols + j], p[7 * cols + j]);
}

}  // namespace

// Separate multiply and add (no fused multiply-add): the same two roundings as the scalar loop.
void matvec_rows_avx(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols) {
    uint64_t r = begin;
    const uint64_t cols4 = cols & ~uint64_t{3};
    for (; r + 16 <= end; r += 16) {
        const float* a = w + r * cols;
        const float* b = a + 8 * cols;
        __m256 acc_a = _mm256_set1_ps(-0.0f), acc_b = acc_a;
        for (uint64_t j = 0; j < cols4; j += 4) {
            __m256 ca[4], cb[4];
            columns8(a, cols, j, ca);
            columns8(b, cols, j, cb);
            for (int i = 0; i < 4; ++i) {
                const __m256 xj = _mm256_set1_ps(x[j + i]);
                acc_a = _mm256_add_ps(acc_a, _mm256_mul_ps(ca[i], xj));
                acc_b = _mm256_add_ps(acc_b, _mm256_mul_ps(cb[i], xj));
            }
        }
        for (uint64_t j = cols4; j < cols; ++j) {
            const __m256 xj = _mm256_set1_ps(x[j]);
            acc_a = _mm256_add_ps(acc_a, _mm256_mul_ps(column8(a, cols, j), xj));
            acc_b = _mm256_add_ps(acc_b, _mm256_mul_ps(column8(b, cols, j), xj));
        }
        _mm256_storeu_ps(out + r, acc_a);
        _mm256_storeu_ps(out + r + 8, acc_b);
    }
    for (; r + 8 <= end; r += 8) {
        const float* a = w + r * cols;
        __m256 acc = _mm256_set1_ps(-0.0f);
        for (uint64_t j = 0; j < cols4; j += 4) {
            __m256 c[4];
            columns8(a, cols, j, c);
            for (int i = 0; i < 4; ++i) acc = _mm256_add_ps(acc, _mm256_mul_ps(c[i], _mm256_set1_ps(x[j + i])));
        }
        for (uint64_t j = cols4; j < cols; ++j)
            acc = _mm256_add_ps(acc, _mm256_mul_ps(column8(a, cols, j), _mm256_set1_ps(x[j])));
        _mm256_storeu_ps(out + r, acc);
    }
    for (; r < end; ++r) matvec_row_scalar(w, x, out, r, cols);
}

#pragma GCC pop_options

bool matvec_rows_avx_available() {
    static const bool available = __builtin_cpu_supports("avx");
    return available;
}

#else

bool matvec_rows_avx_available() { return false; }
void matvec_rows_avx(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols) {
    matvec_rows_portable(w, x, out, begin, end, cols);
}

#endif

void matvec_rows(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols) {
    if (matvec_rows_avx_available()) {
        matvec_rows_avx(w, x, out, begin, end, cols);
    } else {
        matvec_rows_portable(w, x, out, begin, end, cols);
    }
}

}  // namespace quillfen
