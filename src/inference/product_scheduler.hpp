// The matrix-vector products of a forward step, spread over the pool: each product's rows in work
// items, several products of one input (or a pair and the elementwise work on their rows) in one
// parallel region. Knows nothing of models or of Python.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "compute/weights.hpp"

namespace quillfen {

// weight (rows, cols) @ input (cols) -> (rows). Each row is one thread's ascending-order sum from -0.0,
// so the result depends neither on the split over the process-wide pool nor on how the weight is
// stored. Zeros when the weight or the input is too short.
std::vector<float> matvec(const WeightMatrix& weight, std::span<const float> input, uint64_t rows, uint64_t cols);
std::vector<float> matvec(std::span<const float> weight, std::span<const float> input, uint64_t rows,
                          uint64_t cols);
inline std::vector<float> matvec(const std::vector<float>& weight, std::span<const float> input, uint64_t rows,
                                 uint64_t cols) {
    return matvec(std::span<const float>(weight), input, rows, cols);
}

// One product of a batch: `out` holds `rows` floats. With `tokens` > 1 the same weight multiplies
// several inputs: input t starts at input[t * in_stride] (the span covers all of them), its result at
// out[t * out_stride]; each equals the product of that input alone, bit for bit, while the weight is
// read once for all of them.
struct MatvecTask {
    const WeightMatrix* weight;
    std::span<const float> input;
    uint64_t rows;
    uint64_t cols;
    float* out;
    uint64_t tokens = 1;
    uint64_t in_stride = 0;
    uint64_t out_stride = 0;
    // Optional: a second product with the same rows and inputs' count, computed in the same work
    // items; then `finish(finish_ctx, begin, end)` on rows [begin, end) of every input, once both
    // products hold them. Elementwise work on a product's rows so runs on the pool, inside its region.
    const MatvecTask* paired = nullptr;
    void (*finish)(void* ctx, uint64_t begin, uint64_t end) = nullptr;
    void* finish_ctx = nullptr;
};
// Every task as `matvec` computes it, all of them in one parallel region: the projections of one
// step that read the same input pay the pool's start-up once.
void matvec_batch(std::span<const MatvecTask> tasks);

}  // namespace quillfen
