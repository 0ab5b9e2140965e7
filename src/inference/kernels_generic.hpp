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
//   add, sub, mul                each rounded on its own (no fused multiply-add)
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

#include "inference/kernels.hpp"

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
                        uint64_t l, uint64_t j, uint64_t cols) {
    using F = typename V::F;
    constexpr uint64_t L = V::kLanes;
    const AliasedFloat* wl = w + l * m + j;
    uint64_t c = 0;
    for (; c + L <= cols; c += L) {
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
            for (; t + 4 <= rows; t += 4) matmul_step<V, 4, S>(out + t * m, x + t * k, w, m, k, at, j0, cols);
            for (; t + 2 <= rows; t += 2) matmul_step<V, 2, S>(out + t * m, x + t * k, w, m, k, at, j0, cols);
            for (; t < rows; ++t) matmul_step<V, 1, S>(out + t * m, x + t * k, w, m, k, at, j0, cols);
        };
        for (; l + kInnerStep <= k; l += kInnerStep) step.template operator()<int(kInnerStep)>(l);
        for (; l < k; ++l) step.template operator()<1>(l);
    }
}

// ---- packed weights ------------------------------------------------------------------------------
//
// A sixteen-row group is kPackRows / kLanes vectors; vector h holds rows h*kLanes .. h*kLanes+kLanes-1,
// so each field of a block column (sixteen rows side by side) is read at its offset plus the bytes of
// h*kLanes rows. Each format reads a block column in runs of kRun columns: `load` brings one run of
// vector h into registers, `weight` decodes column i of that run; `begin_run`, where present, forms a
// sub-block's scale and minimum when its first run begins, exactly as the dequantisation forms them.

//
// Where a weight is d × q + m (or − m) the decode is one mul_add: d × q is exact in float32 because
// the significant bits of d times those of q fit in 24 (Q4_1: an 11-bit half times a 4-bit q, 15;
// Q5_1: 16; Q4_K: d × sc is 11 + 6 = 17 bits, times a 4-bit q, 21; Q5_K: 17 + 5 = 22; Q2_K: 11 + 4
// + 2 = 17), and no such product comes near the ends of the float range (halves lie within 2^-24 and
// 2^16, the integers below 2^8). Scales are divided by the decoder's unit (a power of two: exact for
// the same reason) so that d' × q' is the same real number as d × q, and rounds the same.
template <class V>
struct Formats {
    using F = typename V::F;
    using I = typename V::I;
    static constexpr int L = V::kLanes;
    struct NoScales {};

    static F per_unit(F d, float unit) { return unit == 1.0f ? d : V::mul(d, V::broadcast(1.0f / unit)); }
    static F nibble_scale(const uint8_t* p) { return per_unit(V::halves(p), V::kNibbleUnit); }

    struct F32 {
        static constexpr int kElems = 1, kBytes = 64, kRun = 1;
        using Scales = NoScales;
        using Raw = F;
        static NoScales scales(const uint8_t*, int) { return {}; }
        static F load(const uint8_t* p, int, int h) { return V::floats(p + 4 * L * h); }
        static F weight(NoScales, F raw, int) { return raw; }
    };

    struct F16 {
        static constexpr int kElems = 1, kBytes = 32, kRun = 1;
        using Scales = NoScales;
        using Raw = F;
        static NoScales scales(const uint8_t*, int) { return {}; }
        static F load(const uint8_t* p, int, int h) { return V::halves(p + 2 * L * h); }
        static F weight(NoScales, F raw, int) { return raw; }
    };

    struct Q4_0 {
        static constexpr int kElems = 32, kBytes = 288, kRun = 8;
        struct Scales { F d; };
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) { return {nibble_scale(p + 2 * L * h)}; }
        static Raw load(const uint8_t* p, int run, int h) {
            return V::template nibbles<-8>(p + 32 + 64 * run + 4 * L * h);
        }
        static F weight(const Scales& s, const Raw& raw, int i) { return V::mul(s.d, V::template nibble<-8>(raw, i)); }
    };

    struct Q4_1 {
        static constexpr int kElems = 32, kBytes = 320, kRun = 8;
        struct Scales { F d, m; };
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) {
            return {nibble_scale(p + 2 * L * h), V::halves(p + 32 + 2 * L * h)};
        }
        static Raw load(const uint8_t* p, int run, int h) {
            return V::template nibbles<0>(p + 64 + 64 * run + 4 * L * h);
        }
        static F weight(const Scales& s, const Raw& raw, int i) {
            return V::mul_add(s.d, V::template nibble<0>(raw, i), s.m);
        }
    };

    struct Q8_0 {
        static constexpr int kElems = 32, kBytes = 544, kRun = 1;
        struct Scales { F d; };
        using Raw = F;
        static Scales scales(const uint8_t* p, int h) { return {V::halves(p + 2 * L * h)}; }
        static F load(const uint8_t* p, int k, int h) { return V::sbytes(p + 32 + 16 * k + L * h); }
        static F weight(const Scales& s, F raw, int) { return V::mul(s.d, raw); }
    };

    struct Q5_1 {
        static constexpr int kElems = 32, kBytes = 576, kRun = 1;
        struct Scales { F d, m; };
        using Raw = F;
        static Scales scales(const uint8_t* p, int h) {
            return {V::halves(p + 2 * L * h), V::halves(p + 32 + 2 * L * h)};
        }
        static F load(const uint8_t* p, int k, int h) { return V::ubytes(p + 64 + 16 * k + L * h); }
        static F weight(const Scales& s, F raw, int) { return V::mul_add(s.d, raw, s.m); }
    };

    // Q4_K: the scale and minimum of each 32-column sub-block are d × sc and dmin × mn.
    struct Q4_K {
        static constexpr int kElems = 256, kBytes = 2368, kRun = 8;
        struct Scales { F d, dmin, dl, ml; };
        using Raw = typename V::Nibbles;
        static Scales scales(const uint8_t* p, int h) {
            const F d = nibble_scale(p + 2 * L * h);
            return {d, V::halves(p + 32 + 2 * L * h), d, d};
        }
        static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
            if (run % 4 != 0) return;
            const int g = run / 4;
            s.dl = V::mul(s.d, V::ubytes(p + 64 + 16 * g + L * h));
            s.ml = V::mul(s.dmin, V::ubytes(p + 192 + 16 * g + L * h));
        }
        static Raw load(const uint8_t* p, int run, int h) {
            return V::template nibbles<0>(p + 320 + 64 * run + 4 * L * h);
        }
        static F weight(const Scales& s, const Raw& raw, int i) {
            return V::mul_sub(s.dl, V::template nibble<0>(raw, i), s.ml);
        }
    };

    // Q2_K and Q5_K: one byte per value; G sub-blocks, each with its scale d × sc and minimum dmin × mn.
    template <int G>
    struct KMin {
        static constexpr int kElems = 256, kBytes = G == 16 ? 4672 : 4416, kRun = 1;
        struct Scales { F d, dmin, dl, ml; };
        using Raw = F;
        static Scales scales(const uint8_t* p, int h) {
            const F d = V::halves(p + 2 * L * h);
            return {d, V::halves(p + 32 + 2 * L * h), d, d};
        }
        static void begin_run(Scales& s, const uint8_t* p, int k, int h) {
            if (k % (256 / G) != 0) return;
            const int g = k / (256 / G);
            s.dl = V::mul(s.d, V::ubytes(p + 64 + 16 * g + L * h));
            s.ml = V::mul(s.dmin, V::ubytes(p + 64 + 16 * G + 16 * g + L * h));
        }
        static F load(const uint8_t* p, int k, int h) { return V::ubytes(p + 64 + 32 * G + 16 * k + L * h); }
        static F weight(const Scales& s, F raw, int) { return V::mul_sub(s.dl, raw, s.ml); }
    };

    // Q6_K: four columns per word, each a signed byte (the 6-bit value minus 32); each 16-column
    // sub-block's scale is d × sc.
    struct Q6_K {
        static constexpr int kElems = 256, kBytes = 4384, kRun = 4;
        struct Scales { F d, dl; };
        using Raw = I;
        static Scales scales(const uint8_t* p, int h) {
            const F d = per_unit(V::halves(p + 2 * L * h), V::kByteUnit);
            return {d, d};
        }
        static void begin_run(Scales& s, const uint8_t* p, int run, int h) {
            if (run % 4 != 0) return;
            s.dl = V::mul(s.d, V::sbytes(p + 32 + 4 * run + L * h));
        }
        static I load(const uint8_t* p, int run, int h) { return V::words(p + 288 + 64 * run + 4 * L * h); }
        static F weight(const Scales& s, I raw, int i) { return V::mul(s.dl, V::byte_of_word(raw, i)); }
    };
};

// How far ahead of the block being decoded its group's bytes are asked for (into L2). A decode step
// streams every weight from memory once; the hardware prefetchers stop at page boundaries and
// alone leave the kernel waiting on memory for about a third of its time.
inline constexpr uint64_t kPrefetchAhead = 2048;

// NG groups side by side: their sums are independent, so the additions of one do not wait on another's.
template <class V, class Fmt, int NG>
inline void packed_group_run(const PackedView& w, const float* x, float* out, uint64_t rows, uint64_t g) {
    using F = typename V::F;
    constexpr int L = V::kLanes, H = int(kPackRows) / L;
    const uint64_t blocks = w.cols / Fmt::kElems;
    const uint8_t* base[NG];
    F acc[NG][H];
    for (int n = 0; n < NG; ++n) {
        base[n] = w.bytes + (g + n) * w.group_bytes;
        for (int h = 0; h < H; ++h) acc[n][h] = V::zero();
    }
    for (uint64_t b = 0; b < blocks; ++b) {
        for (int n = 0; n < NG; ++n)
            for (int line = 0; line < Fmt::kBytes; line += 64)
                __builtin_prefetch(base[n] + b * Fmt::kBytes + kPrefetchAhead + line, 0, 2);
        typename Fmt::Scales s[NG][H];
        for (int n = 0; n < NG; ++n)
            for (int h = 0; h < H; ++h) s[n][h] = Fmt::scales(base[n] + b * Fmt::kBytes, h);
        const float* xb = x + b * Fmt::kElems;
        for (int run = 0; run < Fmt::kElems / Fmt::kRun; ++run) {
            typename Fmt::Raw raw[NG][H];
            for (int n = 0; n < NG; ++n)
                for (int h = 0; h < H; ++h) {
                    if constexpr (requires { Fmt::begin_run(s[n][h], base[n], run, h); })
                        Fmt::begin_run(s[n][h], base[n] + b * Fmt::kBytes, run, h);
                    raw[n][h] = Fmt::load(base[n] + b * Fmt::kBytes, run, h);
                }
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i) {
                const F xk = V::broadcast(xb[run * Fmt::kRun + i]);
                for (int n = 0; n < NG; ++n)
                    for (int h = 0; h < H; ++h)
                        acc[n][h] = V::add(acc[n][h], V::mul(Fmt::weight(s[n][h], raw[n][h], i), xk));
            }
        }
    }
    for (int n = 0; n < NG; ++n) {
        alignas(64) float sums[kPackRows];
        for (int h = 0; h < H; ++h) V::store(sums + h * L, acc[n][h]);
        const uint64_t first = (g + n) * kPackRows;
        const uint64_t count = rows - first < kPackRows ? rows - first : kPackRows;  // the last group's padding
        for (uint64_t r = 0; r < count; ++r) out[first + r] = sums[r];
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
    for (; g + NG <= g_end; g += NG) packed_group_run<V, Fmt, NG>(w, x, out, rows, g);
    if constexpr (NG > 2)
        for (; g + 2 <= g_end; g += 2) packed_group_run<V, Fmt, 2>(w, x, out, rows, g);
    if constexpr (NG > 1)
        for (; g < g_end; ++g) packed_group_run<V, Fmt, 1>(w, x, out, rows, g);
}

// ---- packed weights times a batch of inputs --------------------------------------------------------
//
// The weights of a group are decoded once per block column into a small buffer (L1-resident), and each
// decoded column then serves every input of the batch: the decoding work, which dominates a single
// product, is paid once per batch instead of once per input. Every (row, input) sum still starts from
// -0.0 and receives its products in ascending column order, one rounded multiply and one rounded add
// each, so each input's result equals the single-input kernel's bit for bit. Between block columns the
// running sums live in `acc` (kBatchSpan inputs of sixteen rows: 4 KiB, in L1); inside one they live in
// registers, kTokenTile inputs at a time.

// Inputs whose running sums one pass over a group's columns keeps.
inline constexpr uint64_t kBatchSpan = 64;

// Columns decoded at once: one block, or 32 columns of the formats whose blocks are single columns.
template <class Fmt>
inline constexpr int kDecodeCols = Fmt::kElems >= 32 ? Fmt::kElems : 32;

// Columns [c0, c0 + width) of group `group` decoded into dec[j * kPackRows + r] (row r of column c0 + j),
// with exactly the operations the single-input kernel decodes them with.
template <class V, class Fmt>
inline void decode_columns(const uint8_t* group, uint64_t c0, int width, float* dec) {
    constexpr int L = V::kLanes, H = int(kPackRows) / L;
    for (int b = 0; b < width / Fmt::kElems; ++b) {
        const uint8_t* blk = group + (c0 / Fmt::kElems + uint64_t(b)) * Fmt::kBytes;
        float* d = dec + b * Fmt::kElems * int(kPackRows);
        typename Fmt::Scales s[H];
        for (int h = 0; h < H; ++h) s[h] = Fmt::scales(blk, h);
        for (int run = 0; run < Fmt::kElems / Fmt::kRun; ++run) {
            typename Fmt::Raw raw[H];
            for (int h = 0; h < H; ++h) {
                if constexpr (requires { Fmt::begin_run(s[h], blk, run, h); }) Fmt::begin_run(s[h], blk, run, h);
                raw[h] = Fmt::load(blk, run, h);
            }
#pragma GCC unroll 8
            for (int i = 0; i < Fmt::kRun; ++i)
                for (int h = 0; h < H; ++h)
                    V::store(d + (run * Fmt::kRun + i) * int(kPackRows) + h * L, Fmt::weight(s[h], raw[h], i));
        }
    }
}

// T inputs (x rows `x_stride` apart, already at column c0) times `width` decoded columns, added into
// their running sums acc[t * kPackRows + r].
template <class V, int T>
inline void batch_tile(const float* dec, int width, const float* x, uint64_t x_stride, float* acc) {
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

template <class V, class Fmt>
void packed_format_batch(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                         uint64_t out_stride, uint64_t rows, uint64_t g, uint64_t g_end) {
    constexpr int C = kDecodeCols<Fmt>;
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
                if constexpr (T >= 4)
                    for (; t + T / 2 <= span; t += T / 2)
                        batch_tile<V, T / 2>(dec, width, xs + t * x_stride, x_stride, acc + t * kPackRows);
                for (; t < span; ++t) batch_tile<V, 1>(dec, width, xs + t * x_stride, x_stride, acc + t * kPackRows);
            }
            for (uint64_t t = 0; t < span; ++t)
                for (uint64_t r = 0; r < count; ++r) out[(t0 + t) * out_stride + first + r] = acc[t * kPackRows + r];
        }
    }
}

template <class V>
void packed_groups_batch(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                         uint64_t out_stride, uint64_t rows, uint64_t g, uint64_t g_end) {
    using Fm = Formats<V>;
#define QF_BATCH(Fmt) return packed_format_batch<V, Fmt>(w, x, x_stride, n, out, out_stride, rows, g, g_end)
    switch (w.format) {
        case PackedFormat::F32: QF_BATCH(typename Fm::F32);
        case PackedFormat::F16: QF_BATCH(typename Fm::F16);
        case PackedFormat::Q4_0: QF_BATCH(typename Fm::Q4_0);
        case PackedFormat::Q4_1: QF_BATCH(typename Fm::Q4_1);
        case PackedFormat::Q8_0: QF_BATCH(typename Fm::Q8_0);
        case PackedFormat::Q5_1: QF_BATCH(typename Fm::Q5_1);
        case PackedFormat::Q4_K: QF_BATCH(typename Fm::Q4_K);
        case PackedFormat::Q6_K: QF_BATCH(typename Fm::Q6_K);
        case PackedFormat::Q2_K: QF_BATCH(typename Fm::template KMin<16>);
        case PackedFormat::Q5_K: QF_BATCH(typename Fm::template KMin<8>);
        default: unknown_packed_format(w.format);
    }
#undef QF_BATCH
}

template <class V>
void packed_groups(const PackedView& w, const float* x, float* out, uint64_t rows, uint64_t g, uint64_t g_end) {
    using Fm = Formats<V>;
    switch (w.format) {
        case PackedFormat::F32: return packed_format_groups<V, typename Fm::F32>(w, x, out, rows, g, g_end);
        case PackedFormat::F16: return packed_format_groups<V, typename Fm::F16>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_0: return packed_format_groups<V, typename Fm::Q4_0>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_1: return packed_format_groups<V, typename Fm::Q4_1>(w, x, out, rows, g, g_end);
        case PackedFormat::Q8_0: return packed_format_groups<V, typename Fm::Q8_0>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_1: return packed_format_groups<V, typename Fm::Q5_1>(w, x, out, rows, g, g_end);
        case PackedFormat::Q4_K: return packed_format_groups<V, typename Fm::Q4_K>(w, x, out, rows, g, g_end);
        case PackedFormat::Q6_K: return packed_format_groups<V, typename Fm::Q6_K>(w, x, out, rows, g, g_end);
        case PackedFormat::Q2_K:
            return packed_format_groups<V, typename Fm::template KMin<16>>(w, x, out, rows, g, g_end);
        case PackedFormat::Q5_K:
            return packed_format_groups<V, typename Fm::template KMin<8>>(w, x, out, rows, g, g_end);
        default: unknown_packed_format(w.format);
    }
}

// ---- attention -----------------------------------------------------------------------------------
//
// Keys are cached in blocks of kKeyBlock positions: element i of position 16b + r of a head sits at
// keys[(b * head_dim + i) * kKeyBlock + r], so one vector load brings element i of sixteen positions
// and sixteen dot products advance side by side, each still summed in ascending i from -0.0.

template <class V>
void attn_scores(const float* q, const float* keys, uint64_t t_len, uint64_t d, float scale, float* scores) {
    using F = typename V::F;
    constexpr int L = V::kLanes, H = int(kKeyBlock) / L;
    const F sv = V::broadcast(scale);
    for (uint64_t t0 = 0; t0 < t_len; t0 += kKeyBlock) {
        const float* k = keys + t0 * d;  // block t0 / 16 starts at (t0 / 16) * d * 16
        F acc[H];
        for (int h = 0; h < H; ++h) acc[h] = V::zero();
        for (uint64_t i = 0; i < d; ++i) {
            const F qi = V::broadcast(q[i]);
            for (int h = 0; h < H; ++h) acc[h] = V::add(acc[h], V::mul(qi, V::floats(k + i * kKeyBlock + h * L)));
        }
        alignas(64) float block[kKeyBlock];
        for (int h = 0; h < H; ++h) V::store(block + h * L, V::mul(sv, acc[h]));
        const uint64_t count = t_len - t0 < kKeyBlock ? t_len - t0 : kKeyBlock;
        for (uint64_t r = 0; r < count; ++r) scores[t0 + r] = block[r];
    }
}

// out[i] = out[i] + weights[t] * values[t * d + i] for t ascending: independent across i, so the lanes
// run over i.
template <class V>
void attn_accumulate(const float* weights, const float* values, uint64_t t_len, uint64_t d, float* out) {
    using F = typename V::F;
    constexpr uint64_t L = V::kLanes;
    uint64_t i = 0;
    for (; i + 2 * L <= d; i += 2 * L) {
        F a = V::floats(out + i), b = V::floats(out + i + L);
        for (uint64_t t = 0; t < t_len; ++t) {
            const F wt = V::broadcast(weights[t]);
            a = V::add(a, V::mul(wt, V::floats(values + t * d + i)));
            b = V::add(b, V::mul(wt, V::floats(values + t * d + i + L)));
        }
        V::store(out + i, a);
        V::store(out + i + L, b);
    }
    for (; i + L <= d; i += L) {
        F a = V::floats(out + i);
        for (uint64_t t = 0; t < t_len; ++t) a = V::add(a, V::mul(V::broadcast(weights[t]), V::floats(values + t * d + i)));
        V::store(out + i, a);
    }
    for (; i < d; ++i) {
        float a = out[i];
        for (uint64_t t = 0; t < t_len; ++t) a = a + weights[t] * values[t * d + i];
        out[i] = a;
    }
}

// A level's table from its vector type.
template <class V>
constexpr KernelTable table(Isa isa) {
    return {isa, packed_groups<V>, matvec_rows<V>, matmul_rows<V>, packed_groups_batch<V>, attn_scores<V>,
            attn_accumulate<V>};
}

}  // namespace quillfen::kernels_generic
