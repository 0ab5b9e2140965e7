// The kernels, written once for every instruction-set level. Each level's translation unit defines
// its vector type V inside an anonymous namespace and instantiates these templates with it, so every
// instantiation is local to that unit and compiled with that unit's flags alone: no code of a higher
// level can be picked by the linker for a lower one. Include this only from a kernels_<level>.cpp.
//
// V describes vectors of V::kLanes floats (V::F) or 32-bit integers (V::I), kLanes a multiple of 4:
//   kSideBySide                  packed groups a kernel carries at once at most (independent sums in
//                                flight); kRegisters: vector registers, which bound it per format
//   zero()                       every lane -0.0
//   broadcast(float)
//   add, mul                     each rounded on its own (no fused multiply-add)
//   mul_add(a, b, c), mul_sub(a, b, c)
//                                a × b + c and a × b − c for a weight's decode alone, where a × b is
//                                exact in float32: one fused instruction where the level has it, else a
//                                multiply and an add. Either way only the sum is rounded, so both give
//                                the same float (NaN payloads aside). Never for a product with an input.
//   floats(const void*)          kLanes floats, any alignment; store(float*, F) the reverse
//   halves(const uint8_t*)       kLanes half-precision values, converted exactly
//   ubytes, sbytes(const uint8_t*)   kLanes unsigned / signed bytes as floats
//   words(const uint8_t*)        kLanes 32-bit words
//   Nibbles, nibbles<Offset>(const uint8_t*)
//                                kLanes words of eight 4-bit values each, in whatever form the level
//                                takes them apart from (the per-run work done once)
//   nibble<Offset>(Nibbles n, int i)
//                                float(((w >> 4i) & 15) + Offset) × kNibbleUnit, per lane
//   byte_of_word(I w, int i)     float(signed byte i of each word) × kByteUnit, per lane
//   kNibbleUnit, kByteUnit       powers of two: what the two decoders give for the value 1, so a
//                                level may leave its integers where they fall in the lane
//   rows4(const float* p, uint64_t stride, uint64_t j)
//                                floats j..j+3 of rows 0, 4, 8, ... (row 4q in 128-bit lane q; rows
//                                `stride` floats apart)
//   interleave_lo(a, b), interleave_hi(a, b), lo_halves(a, b), hi_halves(a, b)
//                                within each 128-bit lane: (a0 b0 a1 b1), (a2 b2 a3 b3), (a0 a1 b0 b1),
//                                (a2 a3 b2 b3)
#pragma once

#include <cstdint>

#include "compute/kernels.hpp"
#include "compute/packed_formats.hpp"

#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace quillfen::kernels_generic {

// ---- float matrix times vector -------------------------------------------------------------------

// Columns j..j+3 of kLanes rows from `p`: rows 4q..4q+3 share 128-bit lane q, and one in-lane 4x4
// transpose turns them into c[i] = element j+i of rows 0..kLanes-1.
template <class V>
inline void columns(const float* p, uint64_t cols, uint64_t j, typename V::F c[4]) {
    const auto r0 = V::rows4(p, cols, j), r1 = V::rows4(p + cols, cols, j);
    const auto r2 = V::rows4(p + 2 * cols, cols, j), r3 = V::rows4(p + 3 * cols, cols, j);
    const auto t0 = V::interleave_lo(r0, r1);  // r0[0] r1[0] r0[1] r1[1]
    const auto t1 = V::interleave_hi(r0, r1);  // r0[2] r1[2] r0[3] r1[3]
    const auto t2 = V::interleave_lo(r2, r3);
    const auto t3 = V::interleave_hi(r2, r3);
    c[0] = V::lo_halves(t0, t2);
    c[1] = V::hi_halves(t0, t2);
    c[2] = V::lo_halves(t1, t3);
    c[3] = V::hi_halves(t1, t3);
}

// Column j of kLanes rows from `p`, gathered one float at a time (the columns past the last four).
template <class V>
inline typename V::F column(const float* p, uint64_t cols, uint64_t j) {
    alignas(64) float lanes[V::kLanes];
    for (int e = 0; e < V::kLanes; ++e) lanes[e] = p[e * cols + j];
    return V::floats(lanes);
}

template <class V>
void matvec_rows(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols) {
    using F = typename V::F;
    constexpr uint64_t L = V::kLanes;
    const uint64_t cols4 = cols & ~uint64_t{3};
    uint64_t r = begin;
    for (; r + 2 * L <= end; r += 2 * L) {
        const float* a = w + r * cols;
        const float* b = a + L * cols;
        F acc_a = V::zero(), acc_b = V::zero();
        for (uint64_t j = 0; j < cols4; j += 4) {
            F ca[4], cb[4];
            columns<V>(a, cols, j, ca);
            columns<V>(b, cols, j, cb);
            for (int i = 0; i < 4; ++i) {
                const F xj = V::broadcast(x[j + i]);
                acc_a = V::add(acc_a, V::mul(ca[i], xj));
                acc_b = V::add(acc_b, V::mul(cb[i], xj));
            }
        }
        for (uint64_t j = cols4; j < cols; ++j) {
            const F xj = V::broadcast(x[j]);
            acc_a = V::add(acc_a, V::mul(column<V>(a, cols, j), xj));
            acc_b = V::add(acc_b, V::mul(column<V>(b, cols, j), xj));
        }
        V::store(out + r, acc_a);
        V::store(out + r + L, acc_b);
    }
    for (; r + L <= end; r += L) {
        const float* a = w + r * cols;
        F acc = V::zero();
        for (uint64_t j = 0; j < cols4; j += 4) {
            F c[4];
            columns<V>(a, cols, j, c);
            for (int i = 0; i < 4; ++i) acc = V::add(acc, V::mul(c[i], V::broadcast(x[j + i])));
        }
        for (uint64_t j = cols4; j < cols; ++j) acc = V::add(acc, V::mul(column<V>(a, cols, j), V::broadcast(x[j])));
        V::store(out + r, acc);
    }
    for (; r < end; ++r) {
        const float* wr = w + r * cols;
        float acc = -0.0f;
        for (uint64_t j = 0; j < cols; ++j) acc += wr[j] * x[j];
        out[r] = acc;
    }
}

// ---- the CPU backend's matrix product ------------------------------------------------------------

// Operand bytes viewed as floats in place. GCC's may_alias makes reading byte storage as float defined.
using AliasedFloat = float __attribute__((may_alias));

// Output columns per pass: the block of each output row (16 KiB over all the rows a call holds) stays
// in L1 while the weight streams past in sequential runs; wider outputs are done block by block.
inline constexpr uint64_t kColBlock = 4096;
inline constexpr uint64_t kInnerStep = 4;  // products folded into an output element per load/store of it

// Columns [j, j + cols) of T rows of outputs (`m` apart) gain x_t[l + i] × w[l + i][j] for i < S in
// increasing i, one rounded multiply and one rounded add each: o + x0 w0 + x1 w1 + ... parsed as
// (((o + x0 w0) + x1 w1) + ...). The S weight vectors are loaded once for all T rows.
template <class V, int T, int S>
inline void matmul_step(float* out, const AliasedFloat* x, const AliasedFloat* w, uint64_t m, uint64_t k,
                        uint64_t l, uint64_t j, uint64_t cols, bool ahead) {
    using F = typename V::F;
    constexpr uint64_t L = V::kLanes;
    const AliasedFloat* wl = w + l * m + j;
    // With `ahead`, the weight rows of the next step are asked for: a work item reads each row's
    // columns as one run of a few KiB, and the hardware prefetchers start over at every run's page.
    uint64_t c = 0;
    for (; c + L <= cols; c += L) {
        if (ahead && c % 16 == 0)
            for (int i = 0; i < S; ++i) __builtin_prefetch(wl + (S + i) * m + c, 0, 3);
        F wv[S];
        for (int i = 0; i < S; ++i) wv[i] = V::floats(wl + i * m + c);
        for (int t = 0; t < T; ++t) {
            float* o = out + t * m + j + c;
            F acc = V::floats(o);
            for (int i = 0; i < S; ++i) acc = V::add(acc, V::mul(V::broadcast(x[t * k + l + i]), wv[i]));
            V::store(o, acc);
        }
    }
    for (; c < cols; ++c)
        for (int t = 0; t < T; ++t) {
            float acc = out[t * m + j + c];
            for (int i = 0; i < S; ++i) acc = acc + x[t * k + l + i] * wl[i * m + c];
            out[t * m + j + c] = acc;
        }
}

// Column blocks outermost, then l in increasing order, then the rows in tiles of up to four: each
// element receives its products in increasing l, and the weight's rows l .. l + 3 of a block, read
// from memory once, serve every row of the call from L1.
template <class V>
void matmul_rows(float* out, const float* x_in, uint64_t rows, const float* w_in, uint64_t m, uint64_t k,
                 uint64_t j_begin, uint64_t j_end) {
    const AliasedFloat* x = x_in;
    const AliasedFloat* w = w_in;
    for (uint64_t j0 = j_begin; j0 < j_end; j0 += kColBlock) {
        const uint64_t cols = j_end - j0 < kColBlock ? j_end - j0 : kColBlock;
        uint64_t l = 0;
        const auto step = [&]<int S>(uint64_t at) {
            uint64_t t = 0;
            const bool ahead = at + 2 * S <= k;  // once per step: only the first tile asks
            for (; t + 4 <= rows; t += 4) matmul_step<V, 4, S>(out + t * m, x + t * k, w, m, k, at, j0, cols, ahead && t == 0);
            for (; t + 2 <= rows; t += 2) matmul_step<V, 2, S>(out + t * m, x + t * k, w, m, k, at, j0, cols, ahead && t == 0);
            for (; t < rows; ++t) matmul_step<V, 1, S>(out + t * m, x + t * k, w, m, k, at, j0, cols, ahead && t == 0);
        };
        for (; l + kInnerStep <= k; l += kInnerStep) step.template operator()<int(kInnerStep)>(l);
        for (; l < k; ++l) step.template operator()<1>(l);
    }
}

// ---- packed weights ------------------------------------------------------------------------------
//
// A sixteen-row group is kPackRows / kLanes vectors; vector h holds rows h*kLanes .. h*kLanes+kLanes-1.
// Each format's row (packed_formats.hpp) decodes a block column in runs of kRun columns with its
// Kernel<V>; the loops here are the same for every format.

template <class V, class Row>
struct Decode : Row::template Kernel<V> {
    static constexpr int kElems = int(Row::kElems), kBytes = int(Row::kBytes);
};

// How far ahead of the block being decoded its group's bytes are asked for (into L2). A decode step
// streams every weight from memory once; the hardware prefetchers stop at page boundaries and
// alone leave the kernel waiting on memory for about a third of its time.
inline constexpr uint64_t kPrefetchAhead = 2048;

// NG groups side by side, times NT inputs (x rows `x_stride` apart, their rows going to
// out[t * out_stride + r]): the sums of one group and input are independent of every other's, so the
// additions of one do not wait on another's. A single input takes several groups, a few inputs
// (packed_format_few) one.
// Kept out of line: inlined into the format dispatch, its loop gets a worse register allocation
// (about 5% slower for 4-bit formats at AVX2).
template <class V, class Fmt, int NG, int NT = 1>
[[gnu::noinline]] void packed_group_run(const PackedView& w, const float* x, uint64_t x_stride, float* out,
                                        uint64_t out_stride, uint64_t rows, uint64_t g) {
    using F = typename V::F;
    constexpr int L = V::kLanes, H = int(kPackRows) / L;
    const uint64_t blocks = w.cols / Fmt::kElems;
    const uint8_t* base[NG];
    F acc[NG][NT][H];
    for (int n = 0; n < NG; ++n) {
        base[n] = w.bytes + (g + n) * w.group_bytes;
        for (int t = 0; t < NT; ++t)
            for (int h = 0; h < H; ++h) acc[n][t][h] = V::zero();
    }
    // Small block columns are asked for whole as each begins. Large ones (the K formats, 37 to 73
    // lines) are asked for along the way, at the run's share of the block (twice where the block has
    // more lines than runs), since a burst that long holds up the loads of the block at hand.
    constexpr int kLines = (Fmt::kBytes + 63) / 64, kRuns = Fmt::kElems / Fmt::kRun;
    constexpr bool kSpread = kLines > 16;
    for (uint64_t b = 0; b < blocks; ++b) {
        if constexpr (!kSpread)
            for (int n = 0; n < NG; ++n)
                for (int line = 0; line < kLines; ++line)
                    __builtin_prefetch(base[n] + b * Fmt::kBytes + kPrefetchAhead + 64 * line, 0, 2);
        typename Fmt::Scales s[NG][H];
        for (int n = 0; n < NG; ++n)
            for (int h = 0; h < H; ++h) s[n][h] = Fmt::scales(base[n] + b * Fmt::kBytes, h);
        const float* xb = x + b * Fmt::kElems;
        for (int run = 0; run < kRuns; ++run) {
            if constexpr (kSpread)
                for (int n = 0; n < NG; ++n) {
                    const uint8_t* at = base[n] + b * Fmt::kBytes + kPrefetchAhead + uint64_t(run) * Fmt::kBytes / kRuns;
                    __builtin_prefetch(at, 0, 2);
                    if constexpr (kLines > kRuns) __builtin_prefetch(at + 64, 0, 2);
                }
            typename Fmt::Raw raw[NG][H];
            for (int n = 0; n < NG; ++n)
                for (int h = 0; h < H; ++h) {
                    if constexpr (requires { Fmt::begin_run(s[n][h], base[n], run, h); })
                        Fmt::begin_run(s[n][h], base[n] + b * Fmt::kBytes, run, h);
                    raw[n][h] = Fmt::load(base[n] + b * Fmt::kBytes, run, h);
                }
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i) {
                F xk[NT];
                for (int t = 0; t < NT; ++t)
                    xk[t] = V::broadcast(xb[uint64_t(t) * x_stride + uint64_t(run * Fmt::kRun + i)]);
                for (int n = 0; n < NG; ++n)
                    for (int h = 0; h < H; ++h) {
                        const F wv = Fmt::weight(s[n][h], raw[n][h], i);
                        for (int t = 0; t < NT; ++t) acc[n][t][h] = V::add(acc[n][t][h], V::mul(wv, xk[t]));
                    }
            }
        }
    }
    for (int n = 0; n < NG; ++n) {
        const uint64_t first = (g + n) * kPackRows;
        const uint64_t count = rows - first < kPackRows ? rows - first : kPackRows;  // the last group's padding
        for (int t = 0; t < NT; ++t) {
            alignas(64) float sums[kPackRows];
            for (int h = 0; h < H; ++h) V::store(sums + h * L, acc[n][t][h]);
            for (uint64_t r = 0; r < count; ++r) out[uint64_t(t) * out_stride + first + r] = sums[r];
        }
    }
}

// Groups a level carries side by side for a format: as many as its registers hold, up to
// V::kSideBySide. Each group keeps live its scales, one accumulator per vector and, for formats that
// decode a run of columns from one load (kRun > 1), that run; four registers stay free for the
// decoded weight, the broadcast input and the temporaries. Past that the compiler spills the
// accumulators, and the spill's store and reload lengthen every add chain.
template <class V, class Fmt>
inline constexpr int kGroupsSideBySide = [] {
    constexpr int H = int(kPackRows) / V::kLanes;
    constexpr auto regs = [](size_t bytes) { return int(bytes / sizeof(typename V::F)); };
    constexpr int per_group = H * (regs(sizeof(typename Fmt::Scales)) + 1 + (Fmt::kRun > 1 ? regs(sizeof(typename Fmt::Raw)) : 0));
    constexpr int fit = (V::kRegisters - 4) / per_group;
    return fit < 1 ? 1 : fit > V::kSideBySide ? V::kSideBySide : fit;
}();

template <class V, class Fmt>
void packed_format_groups(const PackedView& w, const float* x, float* out, uint64_t rows, uint64_t g,
                          uint64_t g_end) {
    constexpr int NG = kGroupsSideBySide<V, Fmt>;
    for (; g + NG <= g_end; g += NG) packed_group_run<V, Fmt, NG>(w, x, 0, out, 0, rows, g);
    if constexpr (NG > 2)
        for (; g + 2 <= g_end; g += 2) packed_group_run<V, Fmt, 2>(w, x, 0, out, 0, rows, g);
    if constexpr (NG > 1)
        for (; g < g_end; ++g) packed_group_run<V, Fmt, 1>(w, x, 0, out, 0, rows, g);
}

// ---- packed weights times a batch of inputs --------------------------------------------------------
//
// The weights of a group are decoded kDecodeCols columns at a time into a small buffer (L1-resident),
// and each decoded column then serves every input of the batch: the decoding work, which dominates a single
// product, is paid once per batch instead of once per input. Every (row, input) sum still starts from
// -0.0 and receives its products in ascending column order, one rounded multiply and one rounded add
// each, so each input's result equals the single-input kernel's bit for bit. Between decoded columns the
// running sums live in `acc` (kBatchSpan inputs of sixteen rows: 4 KiB, in L1); inside one they live in
// registers, kTokenTile inputs at a time.

// Inputs whose running sums one pass over a group's columns keeps.
inline constexpr uint64_t kBatchSpan = 64;

// Columns decoded at once: a block of the 32-column formats, 32 single-column blocks, or a run of a
// 256-column block's sub-blocks (16 or 32 columns each, so 32 columns begin one). Few enough that the
// decoded columns and the span's inputs for them stay in the first-level cache.
inline constexpr int kDecodeCols = 32;

// Columns [c0, c0 + width) of group `group` decoded into dec[j * kPackRows + r] (row r of column c0 + j),
// with exactly the operations the single-input kernel decodes them with. c0 is a multiple of
// kDecodeCols: inside a 256-column block, a sub-block's first column, whose run sets that sub-block's
// scales as it does in the single-input kernel.
template <class V, class Fmt>
inline void decode_columns(const uint8_t* group, uint64_t c0, int width, float* dec) {
    constexpr int L = V::kLanes, H = int(kPackRows) / L;
    for (int c = 0; c < width;) {
        const uint64_t col = c0 + uint64_t(c), within = col % Fmt::kElems;
        const uint8_t* blk = group + col / Fmt::kElems * Fmt::kBytes;
        const int left = int(Fmt::kElems - within), first = int(within) / Fmt::kRun;
        const int runs = (width - c < left ? width - c : left) / Fmt::kRun;
        typename Fmt::Scales s[H];
        for (int h = 0; h < H; ++h) s[h] = Fmt::scales(blk, h);
        for (int run = first; run < first + runs; ++run) {
            typename Fmt::Raw raw[H];
            for (int h = 0; h < H; ++h) {
                if constexpr (requires { Fmt::begin_run(s[h], blk, run, h); }) Fmt::begin_run(s[h], blk, run, h);
                raw[h] = Fmt::load(blk, run, h);
            }
            float* d = dec + (c + (run - first) * Fmt::kRun) * int(kPackRows);
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i)
                for (int h = 0; h < H; ++h) V::store(d + i * int(kPackRows) + h * L, Fmt::weight(s[h], raw[h], i));
        }
        c += runs * Fmt::kRun;
    }
}

// T inputs (x rows `x_stride` apart, already at column c0) times `width` decoded columns, added into
// their running sums acc[t * kPackRows + r]. Out of line: inlined beside the decoding, its sums were
// given to the stack (4-bit formats at AVX2 took twice the time).
template <class V, int T>
[[gnu::noinline]] void batch_tile(const float* dec, int width, const float* x, uint64_t x_stride, float* acc) {
    using F = typename V::F;
    constexpr int L = V::kLanes, H = int(kPackRows) / L;
    F a[T][H];
    for (int t = 0; t < T; ++t)
        for (int h = 0; h < H; ++h) a[t][h] = V::floats(acc + t * int(kPackRows) + h * L);
    for (int j = 0; j < width; ++j) {
        F wv[H];
        for (int h = 0; h < H; ++h) wv[h] = V::floats(dec + j * int(kPackRows) + h * L);
        for (int t = 0; t < T; ++t) {
            const F xk = V::broadcast(x[uint64_t(t) * x_stride + uint64_t(j)]);
            for (int h = 0; h < H; ++h) a[t][h] = V::add(a[t][h], V::mul(wv[h], xk));
        }
    }
    for (int t = 0; t < T; ++t)
        for (int h = 0; h < H; ++h) V::store(acc + t * int(kPackRows) + h * L, a[t][h]);
}

// Inputs few enough that a batch decodes its weights in registers, as the single-input kernel does,
// and applies each decoded vector to all of them at once: for so few, storing the decoded columns and
// loading them back costs more than the decoding it would share. Up to two, or four of float and half
// weights, whose decoding is a load; and only as many as leave the group's sums, scales and run, the
// broadcast inputs and a decoded weight in the level's registers (spilled, they cost more than the
// buffer: two Q4_1 inputs at the portable level, 18.5 cycles a 16-weight column against 15.7).
template <class V, class Fmt>
inline constexpr uint64_t kFewInputs = [] {
    constexpr int H = int(kPackRows) / V::kLanes;
    constexpr auto regs = [](size_t bytes) { return int(bytes / sizeof(typename V::F)); };
    constexpr int per_vector = regs(sizeof(typename Fmt::Scales)) + (Fmt::kRun > 1 ? regs(sizeof(typename Fmt::Raw)) : 0);
    int nt = Fmt::kElems == 1 ? 4 : 2;
    while (nt > 1 && H * (per_vector + nt) + nt + 1 > V::kRegisters) --nt;
    return uint64_t(nt);
}();

// n <= NT inputs; one is the single-input kernel's.
template <class V, class Fmt, int NT>
void packed_format_few(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                       uint64_t out_stride, uint64_t rows, uint64_t g, uint64_t g_end) {
    if constexpr (NT == 1) {
        packed_format_groups<V, Fmt>(w, x, out, rows, g, g_end);
    } else if (n < uint64_t(NT)) {
        packed_format_few<V, Fmt, NT - 1>(w, x, x_stride, n, out, out_stride, rows, g, g_end);
    } else {
        for (; g < g_end; ++g) packed_group_run<V, Fmt, 1, NT>(w, x, x_stride, out, out_stride, rows, g);
    }
}

// The last n < T inputs of a span in one tile of their own width: each decoded column is loaded once
// for all of them.
template <class V, int T>
inline void last_tile(uint64_t n, const float* dec, int width, const float* x, uint64_t x_stride, float* acc) {
    if constexpr (T > 1) {
        if (n < uint64_t(T)) return last_tile<V, T - 1>(n, dec, width, x, x_stride, acc);
    }
    batch_tile<V, T>(dec, width, x, x_stride, acc);
}

template <class V, class Fmt>
void packed_format_batch(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                         uint64_t out_stride, uint64_t rows, uint64_t g, uint64_t g_end) {
    if (n == 0) return;
    if (n <= kFewInputs<V, Fmt>)
        return packed_format_few<V, Fmt, int(kFewInputs<V, Fmt>)>(w, x, x_stride, n, out, out_stride, rows, g, g_end);
    constexpr int C = kDecodeCols;
    constexpr int T = V::kTokenTile;
    alignas(64) float dec[C * kPackRows];
    alignas(64) float acc[kBatchSpan * kPackRows];
    for (; g < g_end; ++g) {
        const uint8_t* group = w.bytes + g * w.group_bytes;
        const uint64_t first = g * kPackRows;
        const uint64_t count = rows - first < kPackRows ? rows - first : kPackRows;  // the last group's padding
        for (uint64_t t0 = 0; t0 < n; t0 += kBatchSpan) {
            const uint64_t span = n - t0 < kBatchSpan ? n - t0 : kBatchSpan;
            for (uint64_t i = 0; i < span * kPackRows; ++i) acc[i] = -0.0f;
            for (uint64_t c0 = 0; c0 < w.cols; c0 += C) {
                const int width = w.cols - c0 < uint64_t(C) ? int(w.cols - c0) : C;
                decode_columns<V, Fmt>(group, c0, width, dec);
                const float* xs = x + t0 * x_stride + c0;
                uint64_t t = 0;
                for (; t + T <= span; t += T) batch_tile<V, T>(dec, width, xs + t * x_stride, x_stride, acc + t * kPackRows);
                if (t < span) last_tile<V, T - 1>(span - t, dec, width, xs + t * x_stride, x_stride, acc + t * kPackRows);
            }
            for (uint64_t t = 0; t < span; ++t)
                for (uint64_t r = 0; r < count; ++r) out[(t0 + t) * out_stride + first + r] = acc[t * kPackRows + r];
        }
    }
}

template <class V>
void packed_groups_batch(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                         uint64_t out_stride, uint64_t rows, uint64_t g, uint64_t g_end) {
    packed::with_packed_row(
        w.format,
        [&]<class Row>() { packed_format_batch<V, Decode<V, Row>>(w, x, x_stride, n, out, out_stride, rows, g, g_end); },
        [&] { unknown_packed_format(w.format); });
}

template <class V>
void packed_groups(const PackedView& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    packed::with_packed_row(
        w.format, [&]<class Row>() { packed_format_groups<V, Decode<V, Row>>(w, x, out, rows, g, g_end); },
        [&] { unknown_packed_format(w.format); });
}

// ---- attention -----------------------------------------------------------------------------------
//
// Keys are cached in blocks of kKeyBlock positions: element i of position 16b + r of a head sits at
// keys[(b * head_dim + i) * kKeyBlock + r], so one vector load brings element i of sixteen positions
// and sixteen dot products advance side by side, each still summed in ascending i from -0.0.

// Lines of keys asked for ahead of the one loaded (16 KiB: four blocks of 64-float heads). A block of
// 64-float heads fills a 4 KiB page, where the hardware's prefetcher stops; a step over a long context
// streams the keys from memory, and without this each page's first lines wait for it.
inline constexpr uint64_t kKeyAhead = 256;
// Q queries against one key block: Q x kKeyBlock dot products in flight (kTokenTile x kKeyBlock / L
// accumulators), the block's d vectors loaded once for all of them.
template <class V, int Q>
inline void score_block(const float* const* q, const float* k, uint64_t d, typename V::F scale, float* const* scores,
                        uint64_t t0, uint64_t count) {
    using F = typename V::F;
    constexpr int L = V::kLanes, H = int(kKeyBlock) / L;
    F acc[Q][H];
    for (int j = 0; j < Q; ++j)
        for (int h = 0; h < H; ++h) acc[j][h] = V::zero();
    for (uint64_t i = 0; i < d; ++i) {
        F key[H];
        __builtin_prefetch(k + (kKeyAhead + i) * kKeyBlock, 0, 0);
        for (int h = 0; h < H; ++h) key[h] = V::floats(k + i * kKeyBlock + h * L);
        for (int j = 0; j < Q; ++j) {
            const F qi = V::broadcast(q[j][i]);
            for (int h = 0; h < H; ++h) acc[j][h] = V::add(acc[j][h], V::mul(qi, key[h]));
        }
    }
    for (int j = 0; j < Q; ++j) {
        if (count == kKeyBlock) {
            for (int h = 0; h < H; ++h) V::store(scores[j] + t0 + h * L, V::mul(scale, acc[j][h]));
        } else {
            alignas(64) float block[kKeyBlock];
            for (int h = 0; h < H; ++h) V::store(block + h * L, V::mul(scale, acc[j][h]));
            for (uint64_t r = 0; r < count; ++r) scores[j][t0 + r] = block[r];
        }
    }
}

// Queries [j, j + n) of a call, n <= Q, by the largest tile that fits.
template <class V, int Q>
inline void score_queries(const float* const* q, uint64_t n, const float* k, uint64_t d, typename V::F scale,
                          float* const* scores, uint64_t t0, uint64_t count) {
    if constexpr (Q > 1) {
        if (n < uint64_t(Q)) return score_queries<V, Q - 1>(q, n, k, d, scale, scores, t0, count);
    }
    score_block<V, Q>(q, k, d, scale, scores, t0, count);
}

template <class V>
void attn_scores(const float* const* q, uint64_t nq, const float* keys, uint64_t t_begin, uint64_t t_end, uint64_t d,
                 float scale, float* const* scores) {
    constexpr int Q = V::kTokenTile;
    const typename V::F sv = V::broadcast(scale);
    for (uint64_t t0 = t_begin; t0 < t_end; t0 += kKeyBlock) {
        const float* k = keys + t0 * d;  // block t0 / 16 starts at (t0 / 16) * d * 16
        const uint64_t count = t_end - t0 < kKeyBlock ? t_end - t0 : kKeyBlock;
        // Every query meets the block while it sits in the first-level cache.
        for (uint64_t j = 0; j < nq; j += Q) {
            const uint64_t n = nq - j < uint64_t(Q) ? nq - j : uint64_t(Q);
            score_queries<V, Q>(q + j, n, k, d, sv, scores + j, t0, count);
        }
    }
}

// Positions whose values a pass of attn_accumulate keeps in the first-level cache while every
// column and every query walks them (64 positions of 64-float heads: 16 KiB).
inline constexpr uint64_t kValueRun = 64;
// Positions of a slab asked for ahead of the one loaded (8 KiB, two runs): a slab crosses a 4 KiB
// page every 64 positions, where the hardware's prefetcher stops, and a long context's values come
// from memory.
inline constexpr uint64_t kValueAhead = 128;

// Columns [i, i + C * L) of Q queries' outputs over positions [t_begin, t_end): each out[j][i] gains
// w[j][t] * value(t, i) in ascending t, the C value vectors of a position loaded once for all Q. A
// vector never straddles two slabs, as L divides kValueSlab. Ahead: this pass asks for its slabs'
// later positions (the first pass over a run does, for the passes of later queries after it).
template <class V, int Q, int C, bool Ahead>
inline void accumulate_columns(const float* const* w, const float* values, uint64_t slab_stride, uint64_t t_begin,
                               uint64_t t_end, uint64_t i, float* const* out) {
    using F = typename V::F;
    constexpr int L = V::kLanes;
    static_assert(kValueSlab % L == 0);
    F acc[Q][C];
    const float* column[C];
    for (int c = 0; c < C; ++c) {
        const uint64_t first = i + c * L;
        column[c] = values + first / kValueSlab * slab_stride + first % kValueSlab;
    }
    for (int j = 0; j < Q; ++j)
        for (int c = 0; c < C; ++c) acc[j][c] = V::floats(out[j] + i + c * L);
    for (uint64_t t = t_begin; t < t_end; ++t) {
        F v[C];
        if constexpr (Ahead)
            for (int c = 0; c < C; ++c)
                if (c * L % kValueSlab == 0) __builtin_prefetch(column[c] + (t + kValueAhead) * kValueSlab, 0, 3);
        for (int c = 0; c < C; ++c) v[c] = V::floats(column[c] + t * kValueSlab);
        for (int j = 0; j < Q; ++j) {
            const F wt = V::broadcast(w[j][t]);
            for (int c = 0; c < C; ++c) acc[j][c] = V::add(acc[j][c], V::mul(wt, v[c]));
        }
    }
    for (int j = 0; j < Q; ++j)
        for (int c = 0; c < C; ++c) V::store(out[j] + i + c * L, acc[j][c]);
}

template <class V, int Q, bool Ahead>
inline void accumulate_queries(const float* const* w, uint64_t n, const float* values, uint64_t slab_stride,
                               uint64_t t_begin, uint64_t t_end, uint64_t width, float* const* out) {
    if constexpr (Q > 1) {
        if (n < uint64_t(Q))
            return accumulate_queries<V, Q - 1, Ahead>(w, n, values, slab_stride, t_begin, t_end, width, out);
    }
    constexpr uint64_t L = V::kLanes;
    uint64_t i = 0;
    for (; i + 2 * L <= width; i += 2 * L)
        accumulate_columns<V, Q, 2, Ahead>(w, values, slab_stride, t_begin, t_end, i, out);
    for (; i + L <= width; i += L) accumulate_columns<V, Q, 1, Ahead>(w, values, slab_stride, t_begin, t_end, i, out);
    for (; i < width; ++i) {
        const float* column = values + i / kValueSlab * slab_stride + i % kValueSlab;
        for (int j = 0; j < Q; ++j) {
            float a = out[j][i];
            for (uint64_t t = t_begin; t < t_end; ++t) a = a + w[j][t] * column[t * kValueSlab];
            out[j][i] = a;
        }
    }
}

// out[j][i] = out[j][i] + w[j][t] * value(t, i), t ascending over [t_begin, t_end), for i < width and
// every query j < nq: independent across i and j, so the lanes run over i and the queries share each
// value vector; the positions go by in runs that stay in the first-level cache.
template <class V>
void attn_accumulate(const float* const* w, uint64_t nq, const float* values, uint64_t slab_stride, uint64_t t_begin,
                     uint64_t t_end, uint64_t width, float* const* out) {
    constexpr int Q = V::kTokenTile;
    for (uint64_t t0 = t_begin; t0 < t_end; t0 += kValueRun) {
        const uint64_t t1 = t_end - t0 < kValueRun ? t_end : t0 + kValueRun;
        for (uint64_t j = 0; j < nq; j += Q) {
            const uint64_t n = nq - j < uint64_t(Q) ? nq - j : uint64_t(Q);
            if (j == 0)
                accumulate_queries<V, Q, true>(w, n, values, slab_stride, t0, t1, width, out);
            else
                accumulate_queries<V, Q, false>(w + j, n, values, slab_stride, t0, t1, width, out + j);
        }
    }
}

// ---- softmax ---------------------------------------------------------------------------------------
//
// Written once in the compiler's generic vectors (floats, doubles), which each level's flags map to
// its own instructions (one conversion excepted, below); every step is one IEEE operation, so every
// level gives the same bits.

typedef float Floats8 __attribute__((vector_size(32)));

// The exponential's vectors: W floats, and as doubles. Two lanes where registers are 128 bits wide
// (wider generic vectors there would have their comparisons taken lane by lane), four elsewhere.
template <int W>
struct ExpVectors {
    typedef float F __attribute__((vector_size(4 * W)));
    typedef double D __attribute__((vector_size(8 * W)));
    typedef int64_t I __attribute__((vector_size(8 * W)));
};
template <class V>
inline constexpr int kExpLanes = V::kLanes >= 8 ? 4 : 2;

// Floats to doubles, exactly. The compiler takes a generic conversion of four floats to four doubles
// apart in halves through memory; with AVX one instruction does it.
template <int W>
inline typename ExpVectors<W>::D widen(typename ExpVectors<W>::F f) {
#if defined(__AVX__)
    if constexpr (W == 4) return (typename ExpVectors<W>::D)_mm256_cvtps_pd((__m128)f);
#endif
    return __builtin_convertvector(f, typename ExpVectors<W>::D);
}

// e^(x[i] - m) of the floats x[0, N * kExpLanes) in place, each computed in double to about 4e-16
// relative and rounded once to float: the correctly rounded value but for the rare argument whose e^x
// lies within that error of a float rounding boundary. x - m is taken in float first; the difference
// is clamped to [-104, 89] (e^-104 rounds to float 0 as every smaller power does, e^89 overflows to
// infinity as every larger one does; NaN passes the clamps and comes out NaN), split as k ln2 + r
// with |r| <= ln2 / 2 (ln2 in two parts, the first exact times any k here), e^r taken by its Taylor
// series to r^12 and multiplied by 2^k.
// Three passes over the N vectors of doubles, each of which keeps its values in registers: the
// reductions (independent), the N Horner chains side by side (one alone waits out a multiply and an
// add per step, twelve times over; N of them fill the arithmetic units), the scaling and rounding.
template <class V, int N>
inline void exp_tile(float* x, float m) {
    constexpr int W = kExpLanes<V>;
    using F = typename ExpVectors<W>::F;
    using D = typename ExpVectors<W>::D;
    using I = typename ExpVectors<W>::I;
    const double shift = 0x1.8p52;  // adding it rounds to an integer, left in the low mantissa bits
    constexpr double c[] = {1.0 / 479001600, 1.0 / 39916800, 1.0 / 3628800, 1.0 / 362880, 1.0 / 40320,
                            1.0 / 5040,      1.0 / 720,      1.0 / 120,     1.0 / 24,     1.0 / 6,
                            1.0 / 2,         1.0,            1.0};
    D t[N], r[N], p[N];
    for (int n = 0; n < N; ++n) {
        F f;
        __builtin_memcpy(&f, x + W * n, sizeof f);
        f -= m;
        D v = widen<W>(f);
        v = v < -104.0 ? D{} - 104.0 : v;
        v = v > 89.0 ? D{} + 89.0 : v;
        t[n] = v * 0x1.71547652b82fep0 + shift;  // x / ln2, rounded
        const D k = t[n] - shift;
        r[n] = (v - k * 0x1.62e42feep-1) - k * 0x1.a39ef35793c76p-33;
    }
    for (int n = 0; n < N; ++n) p[n] = D{} + c[0];
    // The steps stay a loop: unrolled, the compiler runs each chain to its end before the next.
#pragma GCC unroll 1
    for (int i = 1; i < 13; ++i)
        for (int n = 0; n < N; ++n) p[n] = p[n] * r[n] + c[i];
    // 2^k from k's bits: t's low mantissa bits hold 2^51 + k.
    for (int n = 0; n < N; ++n) {
        const I bits = ((I)t[n] + (1023 - (int64_t{1} << 51))) << 52;
        const F f = __builtin_convertvector(p[n] * (D)bits, F);
        __builtin_memcpy(x + W * n, &f, sizeof f);
    }
}

// Vectors of doubles whose exponentials exp_tile takes side by side: twelve Horner chains fill the
// arithmetic units and leave a constant's register of sixteen; more, and their spills cost more than
// the latency they hide.
inline constexpr int kExpChains = 12;

// e^(row[t] - m) of row[0, len) in place, by exp_tile.
template <class V>
inline void exp_row(float* row, uint64_t len, float m) {
    constexpr int N = kExpChains, W = kExpLanes<V>;
    uint64_t t = 0;
    for (; t + W * N <= len; t += W * N) exp_tile<V, N>(row + t, m);
    if (t < len) {
        float tail[W * N] = {};
        __builtin_memcpy(tail, row + t, (len - t) * sizeof(float));
        exp_tile<V, N>(tail, m);
        __builtin_memcpy(row + t, tail, (len - t) * sizeof(float));
    }
}

// Rows whose exponentials are summed side by side: independent sums in flight.
inline constexpr uint64_t kSoftmaxRows = 4;

// sums[j] = rows[j][0] + ... + rows[j][len - 1] from +0.0 in that order, for j < N, the N sums side by side.
template <class V, int N>
inline void sum_side_by_side(float* const* rows, uint64_t len, float* sums) {
    float s[N];
    for (int j = 0; j < N; ++j) s[j] = 0.0f;
    for (uint64_t t = 0; t < len; ++t)
        for (int j = 0; j < N; ++j) s[j] += rows[j][t];
    for (int j = 0; j < N; ++j) sums[j] = s[j];
}

// Each row[j][0, len[j]) in place: m = its maximum ignoring NaN (a NaN never compares greater; of a
// zero's sign the exponential does not care), e[t] = e^(row[t] - m) by exp_row, summed from +0.0
// in ascending t, then every e[t] divided by the sum when the sum is positive.
template <class V>
void attn_softmax(float* const* rows, const uint64_t* len, uint64_t n) {
    float sums[kSoftmaxRows];
    for (uint64_t j0 = 0; j0 < n; j0 += kSoftmaxRows) {
        const uint64_t count = n - j0 < kSoftmaxRows ? n - j0 : kSoftmaxRows;
        uint64_t shortest = ~uint64_t{0};
        for (uint64_t j = j0; j < j0 + count; ++j) {
            float* row = rows[j];
            const uint64_t t_len = len[j];
            shortest = t_len < shortest ? t_len : shortest;
            Floats8 mv = Floats8{} - __builtin_inff();
            uint64_t t = 0;
            for (; t + 8 <= t_len; t += 8) {
                Floats8 v;
                __builtin_memcpy(&v, row + t, sizeof v);
                mv = v > mv ? v : mv;
            }
            float m = -__builtin_inff();
            for (int i = 0; i < 8; ++i) m = mv[i] > m ? mv[i] : m;
            for (; t < t_len; ++t) m = row[t] > m ? row[t] : m;
            exp_row<V>(row, t_len, m);
        }
        switch (count) {
            case 4: sum_side_by_side<V, 4>(rows + j0, shortest, sums); break;
            case 3: sum_side_by_side<V, 3>(rows + j0, shortest, sums); break;
            case 2: sum_side_by_side<V, 2>(rows + j0, shortest, sums); break;
            default: sum_side_by_side<V, 1>(rows + j0, shortest, sums); break;
        }
        const uint64_t t = shortest;
        for (uint64_t j = 0; j < count; ++j) {
            float* row = rows[j0 + j];
            const uint64_t t_len = len[j0 + j];
            float sum = sums[j];
            for (uint64_t u = t; u < t_len; ++u) sum += row[u];
            if (!(sum > 0.0f)) continue;
            uint64_t u = 0;
            const Floats8 sv = Floats8{} + sum;
            for (; u + 8 <= t_len; u += 8) {
                Floats8 v;
                __builtin_memcpy(&v, row + u, sizeof v);
                v = v / sv;
                __builtin_memcpy(row + u, &v, sizeof v);
            }
            for (; u < t_len; ++u) row[u] = row[u] / sum;
        }
    }
}

// A level's table from its vector type.
template <class V>
constexpr KernelTable table(Isa isa) {
    return {isa, packed_groups<V>, matvec_rows<V>, matmul_rows<V>, packed_groups_batch<V>, attn_scores<V>,
            attn_accumulate<V>, attn_softmax<V>};
}

}  // namespace quillfen::kernels_generic
