// The compute kernels, one table per instruction-set level. Each level's table lives in its own
// translation unit compiled with that level's flags (kernels_portable.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp), so no instruction of a higher level can reach a lower level's code; the
// dispatcher here picks one table once, from the CPU's features and QUILLFEN_ISA.
//
// Every kernel gives each output one float sum that adds its products in ascending order from -0.0,
// multiply and add rounded separately, so every table agrees with every other bit for bit; they
// differ only in how many lanes a vector holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "compute/weights.hpp"
#include "tensor/error.hpp"

namespace quillfen {

enum class Isa : uint8_t {
    Portable,  // any CPU: portable C++ (four-lane vectors the compiler maps to SSE2 or NEON)
    Avx2,    // x86-64 with AVX2, FMA and F16C
    Avx512,  // x86-64 with AVX-512F (and AVX2, FMA, F16C)
};
inline constexpr Isa kAllIsas[] = {Isa::Portable, Isa::Avx2, Isa::Avx512};

// "portable", "avx2", "avx512": the names QUILLFEN_ISA takes.
std::string_view isa_name(Isa isa);

// What a packed kernel reads of a PackedStorage: plain fields, so the per-level code instantiates
// none of the storage's own member functions.
struct PackedView {
    PackedFormat format;
    uint64_t cols;
    uint64_t group_bytes;
    const uint8_t* bytes;
};
inline PackedView packed_view(const PackedStorage& s) { return {s.format, s.cols, s.group_bytes, s.bytes.get()}; }

struct KernelTable {
    Isa isa;
    // Rows of groups [g_begin, g_end) of packed matrix `w` (a packed format, w.cols columns) times x,
    // written to out[r] for every such row r below `rows` (rows <= the rows packed).
    void (*packed_groups)(const PackedView& w, const float* x, float* out, uint64_t rows, uint64_t g_begin,
                          uint64_t g_end);
    // Rows [begin, end) of the row-major float matrix w (rows, cols) times x into out[begin, end).
    void (*matvec_rows)(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols);
    // Columns [j_begin, j_end) of `rows` rows of x (rows, k) @ w (k, m) added into out (rows, m), which
    // holds zeros there on entry: each out[t*m + j] receives x[t*k + l] * w[l*m + j] in increasing l.
    void (*matmul_rows)(float* out, const float* x, uint64_t rows, const float* w, uint64_t m, uint64_t k,
                        uint64_t j_begin, uint64_t j_end);
    // `packed_groups` for n inputs at once: input t is x[t * x_stride ...], its rows go to
    // out[t * out_stride + r]. Each output equals what `packed_groups` gives for that input alone.
    void (*packed_groups_batch)(const PackedView& w, const float* x, uint64_t x_stride, uint64_t n, float* out,
                                uint64_t out_stride, uint64_t rows, uint64_t g_begin, uint64_t g_end);
    // scores[j][t] = scale * (q[j] . key t) for t in [t_begin, t_end) and every query j < nq, each dot
    // summed in ascending element order from -0.0; keys in blocks of kKeyBlock positions (see
    // kernels_generic.hpp), d elements per key, t_begin a multiple of kKeyBlock.
    void (*attn_scores)(const float* const* q, uint64_t nq, const float* keys, uint64_t t_begin, uint64_t t_end,
                        uint64_t d, float scale, float* const* scores);
    // out[j][i] = out[j][i] + w[j][t] * value(t, i), t ascending over [t_begin, t_end), for i < width
    // and every query j < nq; values in slabs of kValueSlab columns, value(t, i) at
    // values[(i / kValueSlab) * slab_stride + t * kValueSlab + i % kValueSlab]. Consecutive ranges of t
    // in consecutive calls add as one call.
    void (*attn_accumulate)(const float* const* w, uint64_t nq, const float* values, uint64_t slab_stride,
                            uint64_t t_begin, uint64_t t_end, uint64_t width, float* const* out);
    // Softmax of each rows[j][0, len[j]), j < n, in place: exponentials of the differences from the
    // row's maximum (see kernels_generic.hpp for the exponential), summed in ascending order from
    // +0.0, each divided by the sum when it is positive.
    void (*attn_softmax)(float* const* rows, const uint64_t* len, uint64_t n);
};

// Positions per block of the key cache: one AVX-512 vector, two AVX2 vectors.
inline constexpr uint64_t kKeyBlock = 16;
// Columns per slab of the value cache (one cache line of floats): a slab holds its columns of every
// position one after another, so a pass over some of a head's columns streams memory front to back.
inline constexpr uint64_t kValueSlab = 16;

// Whether this CPU (and its operating system) runs the instructions of `isa`.
bool cpu_runs(Isa isa);
// The table of `isa` when this CPU runs it and this build holds it, else nullptr.
const KernelTable* kernel_table(Isa isa);

// The level that `asked` (QUILLFEN_ISA's value) names; empty means the widest level this CPU runs.
Result<Isa> requested_isa(std::string_view asked);
// The level QUILLFEN_ISA asks for (read once, at the first call), or, without it, the widest level
// this CPU runs. An unknown name, or a level this CPU lacks, is an error naming what the CPU has:
// never a silent fallback.
const Result<Isa>& chosen_isa();
// The chosen level's table. Module initialisation reports a refused QUILLFEN_ISA first; a caller that
// skipped it gets an internal fault here rather than another level's kernels.
const KernelTable& kernels();

// Called by a table's packed kernel on a format it does not know; defined in baseline code, so the
// per-level translation units emit nothing of the fault machinery themselves.
[[noreturn]] void unknown_packed_format(PackedFormat format);

}  // namespace quillfen
