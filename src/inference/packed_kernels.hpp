// The row-group kernels behind `matvec` on packed weights. Every kernel gives each row one running
// float sum that adds weight × x[j] in ascending column order from -0.0 (multiply and add rounded
// separately), the weight decoded exactly as the full dequantisation decodes it; so every kernel
// agrees bit for bit with the plain float32 row-by-row product. They differ in how many lanes a
// vector holds.
#pragma once

#include <cstdint>

#include "inference/weights.hpp"

namespace quillfen {

enum class PackedIsa : uint8_t {
    Scalar,  // any CPU
    Avx2,    // x86-64 with AVX2 and F16C: a group as two eight-lane vectors
    Avx512,  // x86-64 with AVX-512F: a group as one sixteen-lane vector
};

bool packed_isa_available(PackedIsa isa);
// The widest kernel this CPU runs.
PackedIsa packed_best_isa();

// Rows of groups [g_begin, g_end) of packed matrix `w` (a packed format, w.cols columns) times x,
// written to out[r] for every such row r below `rows` (rows <= w.rows).
void packed_matvec_groups(const PackedStorage& w, const float* x, float* out, uint64_t rows, uint64_t g_begin,
                          uint64_t g_end, PackedIsa isa);

}  // namespace quillfen
