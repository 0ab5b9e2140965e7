// The row kernels behind `matvec`: rows [begin, end) of weight (rows, cols) @ x into out[begin, end).
// Every kernel gives each row one running float sum that adds its products in ascending column order,
// so all of them agree bit for bit; they differ only in how many rows they carry side by side.
#pragma once

#include <cstdint>

namespace quillfen {

// Any CPU: eight rows at a time in four-lane vectors.
void matvec_rows_portable(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols);

// x86-64 with AVX: sixteen rows at a time in eight-lane vectors. Call only when available.
bool matvec_rows_avx_available();
void matvec_rows_avx(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols);

// The fastest kernel this CPU runs.
void matvec_rows(const float* w, const float* x, float* out, uint64_t begin, uint64_t end, uint64_t cols);

}  // namespace quillfen
