#include "inference/packed_kernels.hpp"

#include <algorithm>

#include "inference/packed_lanes.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillfen {

namespace {

// Writes the sixteen sums of group g, keeping only rows below `rows`.
inline void store_group(const float* sums, float* out, uint64_t g, uint64_t rows) {
    const uint64_t first = g * kPackRows;
    std::copy_n(sums, std::min<uint64_t>(kPackRows, rows - first), out + first);
}

void scalar_groups(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g_begin,
                   uint64_t g_end) {
    for (uint64_t g = g_begin; g < g_end; ++g) {
        const uint8_t* group = w.group(g);
        float sums[kPackRows];
        for (uint64_t r = 0; r < kPackRows; ++r) {
            float acc = -0.0f;
            if (g * kPackRows + r < rows)
                for (uint64_t j = 0; j < w.cols; ++j) acc += packed_lane_weight(w.format, group, j, r) * x[j];
            sums[r] = acc;
        }
        store_group(sums, out, g, rows);
    }
}

}  // namespace

#if defined(__x86_64__)

// Everything down to the dispatcher is compiled for AVX-512 / AVX2 and runs only after the CPU check.
// Separate multiply and add (no fused multiply-add): the same roundings as the scalar loop.
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,f16c")
// GCC 12 warns about the deliberately undefined upper lanes inside its own broadcast intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// Each format reads a block column in runs of kRun columns: `load` brings one run of a group (or of
// half a group) into registers, `weight` decodes column i of that run for every lane.

struct NoScales {};

// ---- sixteen lanes: one group in one vector ----------------------------------------------------

inline __m512 halves16(const uint8_t* p) { return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }

struct F32x16 {
    static constexpr int kElems = 1, kBytes = 64, kRun = 1;
    using Scales = NoScales;
    using Raw = __m512;
    static NoScales scales(const uint8_t*) { return {}; }
    static __m512 load(const uint8_t* p, int) { return _mm512_loadu_ps(reinterpret_cast<const float*>(p)); }
    static __m512 weight(NoScales, __m512 raw, int) { return raw; }
};

struct F16x16 {
    static constexpr int kElems = 1, kBytes = 32, kRun = 1;
    using Scales = NoScales;
    using Raw = __m512;
    static NoScales scales(const uint8_t*) { return {}; }
    static __m512 load(const uint8_t* p, int) { return halves16(p); }
    static __m512 weight(NoScales, __m512 raw, int) { return raw; }
};

// Index i gives float(i + offset), exactly.
inline __m512 small_floats16(int offset) {
    return _mm512_add_ps(_mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_ps(float(offset)));
}

// Column i of a run of eight 4-bit columns, as a float. The permute reads only the low four bits of
// each index, so no mask is needed, and it looks the value up in a table of exact small floats.
inline __m512 nibble16(__m512i words, int i, __m512 table) {
    return _mm512_permutexvar_ps(i == 0 ? words : _mm512_srli_epi32(words, 4 * i), table);
}

inline __m512i words16(const uint8_t* p) { return _mm512_loadu_si512(p); }

// Sixteen unsigned bytes as floats.
inline __m512 bytes16(const uint8_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

struct Q4_0x16 {
    static constexpr int kElems = 32, kBytes = 288, kRun = 8;
    struct Scales { __m512 d, table; };
    using Raw = __m512i;
    static Scales scales(const uint8_t* p) { return {halves16(p), small_floats16(-8)}; }
    static __m512i load(const uint8_t* p, int run) { return words16(p + 32 + 64 * run); }
    static __m512 weight(const Scales& s, __m512i raw, int i) {
        return _mm512_mul_ps(s.d, nibble16(raw, i, s.table));  // d * float(q - 8)
    }
};

struct Q4_1x16 {
    static constexpr int kElems = 32, kBytes = 320, kRun = 8;
    struct Scales { __m512 d, m, table; };
    using Raw = __m512i;
    static Scales scales(const uint8_t* p) { return {halves16(p), halves16(p + 32), small_floats16(0)}; }
    static __m512i load(const uint8_t* p, int run) { return words16(p + 64 + 64 * run); }
    static __m512 weight(const Scales& s, __m512i raw, int i) {
        return _mm512_add_ps(_mm512_mul_ps(s.d, nibble16(raw, i, s.table)), s.m);
    }
};

struct Q8_0x16 {
    static constexpr int kElems = 32, kBytes = 544, kRun = 1;
    struct Scales { __m512 d; };
    using Raw = __m512i;
    static Scales scales(const uint8_t* p) { return {halves16(p)}; }
    static __m512i load(const uint8_t* p, int k) {
        return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32 + 16 * k)));
    }
    static __m512 weight(const Scales& s, __m512i raw, int) { return _mm512_mul_ps(s.d, _mm512_cvtepi32_ps(raw)); }
};

struct Q5_1x16 {
    static constexpr int kElems = 32, kBytes = 576, kRun = 1;
    struct Scales { __m512 d, m; };
    using Raw = __m512;
    static Scales scales(const uint8_t* p) { return {halves16(p), halves16(p + 32)}; }
    static __m512 load(const uint8_t* p, int k) { return bytes16(p + 64 + 16 * k); }
    static __m512 weight(const Scales& s, __m512 raw, int) { return _mm512_add_ps(_mm512_mul_ps(s.d, raw), s.m); }
};

// Q4_K: the scale and minimum of each 32-column sub-block, d × sc and dmin × mn, are formed when its
// first run begins, exactly as the dequantisation forms them.
struct Q4_Kx16 {
    static constexpr int kElems = 256, kBytes = 2368, kRun = 8;
    struct Scales { __m512 d, dmin, dl, ml, table; };
    using Raw = __m512i;
    static Scales scales(const uint8_t* p) {
        const __m512 d = halves16(p);
        return {d, halves16(p + 32), d, d, small_floats16(0)};
    }
    static void begin_run(Scales& s, const uint8_t* p, int run) {
        if (run % 4 != 0) return;
        const int g = run / 4;
        s.dl = _mm512_mul_ps(s.d, bytes16(p + 64 + 16 * g));
        s.ml = _mm512_mul_ps(s.dmin, bytes16(p + 192 + 16 * g));
    }
    static __m512i load(const uint8_t* p, int run) { return words16(p + 320 + 64 * run); }
    static __m512 weight(const Scales& s, __m512i raw, int i) {
        return _mm512_sub_ps(_mm512_mul_ps(s.dl, nibble16(raw, i, s.table)), s.ml);
    }
};

// Q2_K and Q5_K: one byte per value; the scale and minimum of each of the G sub-blocks, d × sc and
// dmin × mn, formed when its first column begins.
template <int G>
struct KMinx16 {
    static constexpr int kElems = 256, kBytes = G == 16 ? 4672 : 4416, kRun = 1;
    struct Scales { __m512 d, dmin, dl, ml; };
    using Raw = __m512;
    static Scales scales(const uint8_t* p) {
        const __m512 d = halves16(p);
        return {d, halves16(p + 32), d, d};
    }
    static void begin_run(Scales& s, const uint8_t* p, int k) {
        if (k % (256 / G) != 0) return;
        const int g = k / (256 / G);
        s.dl = _mm512_mul_ps(s.d, bytes16(p + 64 + 16 * g));
        s.ml = _mm512_mul_ps(s.dmin, bytes16(p + 64 + 16 * G + 16 * g));
    }
    static __m512 load(const uint8_t* p, int k) { return bytes16(p + 64 + 32 * G + 16 * k); }
    static __m512 weight(const Scales& s, __m512 raw, int) { return _mm512_sub_ps(_mm512_mul_ps(s.dl, raw), s.ml); }
};

// Q6_K: four columns per word, each a signed byte (the 6-bit value minus 32); the scale of each
// 16-column sub-block, d × sc, formed when its first run begins.
struct Q6_Kx16 {
    static constexpr int kElems = 256, kBytes = 4384, kRun = 4;
    struct Scales { __m512 d, dl; };
    using Raw = __m512i;
    static Scales scales(const uint8_t* p) {
        const __m512 d = halves16(p);
        return {d, d};
    }
    static void begin_run(Scales& s, const uint8_t* p, int run) {
        if (run % 4 != 0) return;
        const __m512i sc = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32 + 4 * run)));
        s.dl = _mm512_mul_ps(s.d, _mm512_cvtepi32_ps(sc));
    }
    static __m512i load(const uint8_t* p, int run) { return words16(p + 288 + 64 * run); }
    static __m512 weight(const Scales& s, __m512i raw, int i) {
        const __m512i q = _mm512_srai_epi32(i == 3 ? raw : _mm512_slli_epi32(raw, 24 - 8 * i), 24);
        return _mm512_mul_ps(s.dl, _mm512_cvtepi32_ps(q));
    }
};

// NG groups side by side: their sums are independent, so the additions of one do not wait on another's.
template <class Fmt, int NG>
inline void groups16(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g) {
    const uint64_t blocks = w.cols / Fmt::kElems;
    const uint8_t* base[NG];
    __m512 acc[NG];
    for (int n = 0; n < NG; ++n) {
        base[n] = w.group(g + n);
        acc[n] = _mm512_set1_ps(-0.0f);
    }
    for (uint64_t b = 0; b < blocks; ++b) {
        typename Fmt::Scales s[NG];
        for (int n = 0; n < NG; ++n) s[n] = Fmt::scales(base[n] + b * Fmt::kBytes);
        const float* xb = x + b * Fmt::kElems;
        for (int run = 0; run < Fmt::kElems / Fmt::kRun; ++run) {
            typename Fmt::Raw raw[NG];
            for (int n = 0; n < NG; ++n) {
                if constexpr (requires { Fmt::begin_run(s[n], base[n], run); })
                    Fmt::begin_run(s[n], base[n] + b * Fmt::kBytes, run);
                raw[n] = Fmt::load(base[n] + b * Fmt::kBytes, run);
            }
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i) {
                const __m512 xk = _mm512_set1_ps(xb[run * Fmt::kRun + i]);
                for (int n = 0; n < NG; ++n) acc[n] = _mm512_add_ps(acc[n], _mm512_mul_ps(Fmt::weight(s[n], raw[n], i), xk));
            }
        }
    }
    for (int n = 0; n < NG; ++n) {
        alignas(64) float sums[kPackRows];
        _mm512_store_ps(sums, acc[n]);
        store_group(sums, out, g + n, rows);
    }
}

template <class Fmt>
void run16(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    for (; g + 4 <= g_end; g += 4) groups16<Fmt, 4>(w, x, out, rows, g);
    for (; g < g_end; ++g) groups16<Fmt, 1>(w, x, out, rows, g);
}

// ---- eight lanes: a group as two vectors, lanes 0-7 and 8-15 -----------------------------------

inline __m256 halves8(const uint8_t* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }

struct F32x8 {
    static constexpr int kElems = 1, kBytes = 64, kRun = 1;
    using Scales = NoScales;
    using Raw = __m256;
    static NoScales scales(const uint8_t*, int) { return {}; }
    static __m256 load(const uint8_t* p, int, int h) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p) + 8 * h); }
    static __m256 weight(NoScales, __m256 raw, int) { return raw; }
};

struct F16x8 {
    static constexpr int kElems = 1, kBytes = 32, kRun = 1;
    using Scales = NoScales;
    using Raw = __m256;
    static NoScales scales(const uint8_t*, int) { return {}; }
    static __m256 load(const uint8_t* p, int, int h) { return halves8(p + 16 * h); }
    static __m256 weight(NoScales, __m256 raw, int) { return raw; }
};

// Column i of a run of eight 4-bit columns, as an integer.
inline __m256i nibble8(__m256i words, int i) {
    return _mm256_and_si256(i == 0 ? words : _mm256_srli_epi32(words, 4 * i), _mm256_set1_epi32(15));
}

inline __m256i words8(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Eight unsigned bytes as floats.
inline __m256 bytes8(const uint8_t* p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

struct Q4_0x8 {
    static constexpr int kElems = 32, kBytes = 288, kRun = 8;
    struct Scales { __m256 d; };
    using Raw = __m256i;
    static Scales scales(const uint8_t* p, int h) { return {halves8(p + 16 * h)}; }
    static __m256i load(const uint8_t* p, int run, int h) { return words8(p + 32 + 64 * run + 32 * h); }
    static __m256 weight(const Scales& s, __m256i raw, int i) {
        const __m256i q = _mm256_sub_epi32(nibble8(raw, i), _mm256_set1_epi32(8));
        return _mm256_mul_ps(s.d, _mm256_cvtepi32_ps(q));
    }
};

struct Q4_1x8 {
    static constexpr int kElems = 32, kBytes = 320, kRun = 8;
    struct Scales { __m256 d, m; };
    using Raw = __m256i;
    static Scales scales(const uint8_t* p, int h) { return {halves8(p + 16 * h), halves8(p + 32 + 16 * h)}; }
    static __m256i load(const uint8_t* p, int run, int h) { return words8(p + 64 + 64 * run + 32 * h); }
    static __m256 weight(const Scales& s, __m256i raw, int i) {
        return _mm256_add_ps(_mm256_mul_ps(s.d, _mm256_cvtepi32_ps(nibble8(raw, i))), s.m);
    }
};

struct Q8_0x8 {
    static constexpr int kElems = 32, kBytes = 544, kRun = 1;
    struct Scales { __m256 d; };
    using Raw = __m256i;
    static Scales scales(const uint8_t* p, int h) { return {halves8(p + 16 * h)}; }
    static __m256i load(const uint8_t* p, int k, int h) {
        return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 32 + 16 * k + 8 * h)));
    }
    static __m256 weight(const Scales& s, __m256i raw, int) { return _mm256_mul_ps(s.d, _mm256_cvtepi32_ps(raw)); }
};

struct Q5_1x8 {
    static constexpr int kElems = 32, kBytes = 576, kRun = 1;
    struct Scales { __m256 d, m; };
    using Raw = __m256;
    static Scales scales(const uint8_t* p, int h) { return {halves8(p + 16 * h), halves8(p + 32 + 16 * h)}; }
    static __m256 load(const uint8_t* p, int k, int h) { return bytes8(p + 64 + 16 * k + 8 * h); }
    static __m256 weight(const Scales& s, __m256 raw, int) { return _mm256_add_ps(_mm256_mul_ps(s.d, raw), s.m); }
};

struct Q4_Kx8 {
    static constexpr int kElems = 256, kBytes = 2368, kRun = 8;
    struct Scales { __m256 d, dmin, dl, ml; };
    using Raw = __m256i;
    static Scales scales(const uint8_t* p, int h) {
        const __m256 d = halves8(p + 16 * h);
        return {d, halves8(p + 32 + 16 * h), d, d};
    }
    static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
        if (run % 4 != 0) return;
        const int g = run / 4;
        s.dl = _mm256_mul_ps(s.d, bytes8(p + 64 + 16 * g + 8 * h));
        s.ml = _mm256_mul_ps(s.dmin, bytes8(p + 192 + 16 * g + 8 * h));
    }
    static __m256i load(const uint8_t* p, int run, int h) { return words8(p + 320 + 64 * run + 32 * h); }
    static __m256 weight(const Scales& s, __m256i raw, int i) {
        return _mm256_sub_ps(_mm256_mul_ps(s.dl, _mm256_cvtepi32_ps(nibble8(raw, i))), s.ml);
    }
};

template <int G>
struct KMinx8 {
    static constexpr int kElems = 256, kBytes = G == 16 ? 4672 : 4416, kRun = 1;
    struct Scales { __m256 d, dmin, dl, ml; };
    using Raw = __m256;
    static Scales scales(const uint8_t* p, int h) {
        const __m256 d = halves8(p + 16 * h);
        return {d, halves8(p + 32 + 16 * h), d, d};
    }
    static void begin_run(Scales& s, const uint8_t* p, int k, int h) {
        if (k % (256 / G) != 0) return;
        const int g = k / (256 / G);
        s.dl = _mm256_mul_ps(s.d, bytes8(p + 64 + 16 * g + 8 * h));
        s.ml = _mm256_mul_ps(s.dmin, bytes8(p + 64 + 16 * G + 16 * g + 8 * h));
    }
    static __m256 load(const uint8_t* p, int k, int h) { return bytes8(p + 64 + 32 * G + 16 * k + 8 * h); }
    static __m256 weight(const Scales& s, __m256 raw, int) { return _mm256_sub_ps(_mm256_mul_ps(s.dl, raw), s.ml); }
};

struct Q6_Kx8 {
    static constexpr int kElems = 256, kBytes = 4384, kRun = 4;
    struct Scales { __m256 d, dl; };
    using Raw = __m256i;
    static Scales scales(const uint8_t* p, int h) {
        const __m256 d = halves8(p + 16 * h);
        return {d, d};
    }
    static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
        if (run % 4 != 0) return;
        const __m256i sc =
            _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 32 + 4 * run + 8 * h)));
        s.dl = _mm256_mul_ps(s.d, _mm256_cvtepi32_ps(sc));
    }
    static __m256i load(const uint8_t* p, int run, int h) { return words8(p + 288 + 64 * run + 32 * h); }
    static __m256 weight(const Scales& s, __m256i raw, int i) {
        const __m256i q = _mm256_srai_epi32(i == 3 ? raw : _mm256_slli_epi32(raw, 24 - 8 * i), 24);
        return _mm256_mul_ps(s.dl, _mm256_cvtepi32_ps(q));
    }
};

template <class Fmt, int NG>
inline void groups8(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g) {
    const uint64_t blocks = w.cols / Fmt::kElems;
    const uint8_t* base[NG];
    __m256 acc[NG][2];
    for (int n = 0; n < NG; ++n) {
        base[n] = w.group(g + n);
        acc[n][0] = acc[n][1] = _mm256_set1_ps(-0.0f);
    }
    for (uint64_t b = 0; b < blocks; ++b) {
        typename Fmt::Scales s[NG][2];
        for (int n = 0; n < NG; ++n)
            for (int h = 0; h < 2; ++h) s[n][h] = Fmt::scales(base[n] + b * Fmt::kBytes, h);
        const float* xb = x + b * Fmt::kElems;
        for (int run = 0; run < Fmt::kElems / Fmt::kRun; ++run) {
            typename Fmt::Raw raw[NG][2];
            for (int n = 0; n < NG; ++n)
                for (int h = 0; h < 2; ++h) {
                    if constexpr (requires { Fmt::begin_run(s[n][h], base[n], run, h); })
                        Fmt::begin_run(s[n][h], base[n] + b * Fmt::kBytes, run, h);
                    raw[n][h] = Fmt::load(base[n] + b * Fmt::kBytes, run, h);
                }
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i) {
                const __m256 xk = _mm256_set1_ps(xb[run * Fmt::kRun + i]);
                for (int n = 0; n < NG; ++n)
                    for (int h = 0; h < 2; ++h)
                        acc[n][h] = _mm256_add_ps(acc[n][h], _mm256_mul_ps(Fmt::weight(s[n][h], raw[n][h], i), xk));
            }
        }
    }
    for (int n = 0; n < NG; ++n) {
        alignas(32) float sums[kPackRows];
        _mm256_store_ps(sums, acc[n][0]);
        _mm256_store_ps(sums + 8, acc[n][1]);
        store_group(sums, out, g + n, rows);
    }
}

template <class Fmt>
void run8(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    for (; g + 2 <= g_end; g += 2) groups8<Fmt, 2>(w, x, out, rows, g);
    for (; g < g_end; ++g) groups8<Fmt, 1>(w, x, out, rows, g);
}

void avx512_groups(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    switch (w.format) {
        case PackedFormat::F32: return run16<F32x16>(w, x, out, rows, g, g_end);
        case PackedFormat::F16: return run16<F16x16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_0: return run16<Q4_0x16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_1: return run16<Q4_1x16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q8_0: return run16<Q8_0x16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_1: return run16<Q5_1x16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_K: return run16<Q4_Kx16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q6_K: return run16<Q6_Kx16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q2_K: return run16<KMinx16<16>>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_K: return run16<KMinx16<8>>(w, x, out, rows, g, g_end);
        default: fault("not a packed format");
    }
}

void avx2_groups(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    switch (w.format) {
        case PackedFormat::F32: return run8<F32x8>(w, x, out, rows, g, g_end);
        case PackedFormat::F16: return run8<F16x8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_0: return run8<Q4_0x8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_1: return run8<Q4_1x8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q8_0: return run8<Q8_0x8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_1: return run8<Q5_1x8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_K: return run8<Q4_Kx8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q6_K: return run8<Q6_Kx8>(w, x, out, rows, g, g_end);
        case PackedFormat::Q2_K: return run8<KMinx8<16>>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_K: return run8<KMinx8<8>>(w, x, out, rows, g, g_end);
        default: fault("not a packed format");
    }
}

}  // namespace

#pragma GCC diagnostic pop
#pragma GCC pop_options

bool packed_isa_available(PackedIsa isa) {
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    switch (isa) {
        case PackedIsa::Scalar: return true;
        case PackedIsa::Avx2: return avx2;
        case PackedIsa::Avx512: return avx512;
    }
    return false;
}

#else

bool packed_isa_available(PackedIsa isa) { return isa == PackedIsa::Scalar; }

#endif

PackedIsa packed_best_isa() {
    static const PackedIsa best = packed_isa_available(PackedIsa::Avx512) ? PackedIsa::Avx512
                                  : packed_isa_available(PackedIsa::Avx2)  ? PackedIsa::Avx2
                                                                           : PackedIsa::Scalar;
    return best;
}

void packed_matvec_groups(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g_begin,
                          uint64_t g_end, PackedIsa isa) {
#if defined(__x86_64__)
    if (isa == PackedIsa::Avx512) return avx512_groups(w, x, out, rows, g_begin, g_end);
    if (isa == PackedIsa::Avx2) return avx2_groups(w, x, out, rows, g_begin, g_end);
#endif
    scalar_groups(w, x, out, rows, g_begin, g_end);
}

}  // namespace quillfen
