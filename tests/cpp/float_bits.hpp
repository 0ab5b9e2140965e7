// Bit-for-bit comparison of float vectors: where the float32 arithmetic order is part of the result,
// a tolerance would hide exactly the faults the tests are after.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quillfen::testing {

// Reports the first few differing elements, with their block when `block` (elements per block) is given.
// Any two NaNs count as equal: their payloads depend on operand order, not on the sum.
inline void expect_bits_equal(const std::vector<float>& got, const std::vector<float>& want, size_t block = 0) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0, reported = 0; i < got.size() && reported < 8; ++i)
        if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i]) &&
            !(std::isnan(got[i]) && std::isnan(want[i]))) {
            ++reported;
            ADD_FAILURE() << "element " << i << (block ? " (block " + std::to_string(i / block) + ")" : "")
                          << ": got " << got[i] << ", want " << want[i];
        }
}

// Uniform floats in [-1, 1) from a fixed seed.
inline std::vector<float> random_floats(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& f : v) f = dist(gen);
    return v;
}

// Row-major weight (rows, cols) times x, row by row, one accumulator from -0.0 adding in ascending
// column order: the order every matrix-vector kernel must reproduce.
inline std::vector<float> serial_matvec(const std::vector<float>& w, const std::vector<float>& x, uint64_t rows,
                                        uint64_t cols) {
    std::vector<float> out(rows);
    for (uint64_t r = 0; r < rows; ++r) {
        float acc = -0.0f;
        for (uint64_t j = 0; j < cols; ++j) acc += w[r * cols + j] * x[j];
        out[r] = acc;
    }
    return out;
}

}  // namespace quillfen::testing
