// Bit-for-bit comparison of float vectors: where the float32 arithmetic order is part of the result,
// a tolerance would hide exactly the faults the tests are after.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace quillfen::testing {

// Reports the first few differing elements, with their block when `block` (elements per block) is given.
inline void expect_bits_equal(const std::vector<float>& got, const std::vector<float>& want, size_t block = 0) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0, reported = 0; i < got.size() && reported < 8; ++i)
        if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i])) {
            ++reported;
            ADD_FAILURE() << "element " << i << (block ? " (block " + std::to_string(i / block) + ")" : "")
                          << ": got " << got[i] << ", want " << want[i];
        }
}

}  // namespace quillfen::testing
