// Dequantisation against vectors made by the `gguf` package (tests/cpp/data/make_dequant_vectors.py),
// plus the length rules for short buffers and cuts, which no oracle states.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "formats/gguf_types.hpp"
#include "inference/dequant.hpp"

using namespace quillfen;

namespace {

struct OracleVectors {
    uint32_t type_code = 0;
    uint32_t block_count = 0;
    uint32_t block_elems = 0;
    uint32_t block_bytes = 0;
    std::vector<uint8_t> blocks;
    std::vector<float> expected;
};

OracleVectors load_vectors(const std::string& type_name) {
    const std::string path = std::string(QUILLFEN_TEST_DATA) + "/dequant_" + type_name + ".bin";
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    OracleVectors v;
    if (raw.size() < 20 || std::memcmp(raw.data(), "QFDV", 4) != 0) {
        ADD_FAILURE() << "missing or malformed " << path;
        return v;
    }
    std::memcpy(&v.type_code, raw.data() + 4, 4);
    std::memcpy(&v.block_count, raw.data() + 8, 4);
    std::memcpy(&v.block_elems, raw.data() + 12, 4);
    std::memcpy(&v.block_bytes, raw.data() + 16, 4);
    const size_t n_bytes = size_t{v.block_count} * v.block_bytes;
    const size_t n_floats = size_t{v.block_count} * v.block_elems;
    if (raw.size() != 20 + n_bytes + 4 * n_floats) {
        ADD_FAILURE() << "wrong length of " << path;
        return v;
    }
    v.blocks.assign(raw.begin() + 20, raw.begin() + 20 + n_bytes);
    v.expected.resize(n_floats);
    std::memcpy(v.expected.data(), raw.data() + 20 + n_bytes, 4 * n_floats);
    return v;
}

// Bit-for-bit comparison: the float32 arithmetic order is part of the format, so no tolerance.
void expect_bits_equal(const std::vector<float>& got, const std::vector<float>& want, size_t elems_per_block) {
    ASSERT_EQ(got.size(), want.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < got.size() && mismatches < 8; ++i) {
        if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i])) {
            ++mismatches;
            ADD_FAILURE() << "element " << i << " (block " << i / elems_per_block << ", index "
                          << i % elems_per_block << "): got " << got[i] << ", gguf gives " << want[i];
        }
    }
}

}  // namespace

class DequantMatchesGGUFPackage : public ::testing::TestWithParam<std::string> {};

TEST_P(DequantMatchesGGUFPackage, EveryBlockBitForBit) {
    const OracleVectors v = load_vectors(GetParam());
    ASSERT_FALSE(v.blocks.empty());
    // The vectors must agree with our one type table, or they test some other layout.
    ASSERT_EQ(gguf_type_info(v.type_code).name, GetParam());
    ASSERT_EQ(gguf_type_info(v.type_code).block_elems, v.block_elems);
    ASSERT_EQ(gguf_type_info(v.type_code).block_bytes, v.block_bytes);
    expect_bits_equal(dequantize_gguf(v.blocks, v.type_code, v.expected.size()), v.expected, v.block_elems);
}

INSTANTIATE_TEST_SUITE_P(AllOracleTypes, DequantMatchesGGUFPackage,
                         ::testing::Values("F32", "F16", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q8_0", "Q2_K", "Q3_K",
                                           "Q4_K", "Q5_K", "Q6_K"),
                         [](const auto& info) { return info.param; });

TEST(DequantQ8_1, DecodesAsQ8_0WithTheSumFieldIgnored) {
    // gguf has no Q8_1 decoder; its 36-byte block is Q8_0's with a second half inserted after d.
    const OracleVectors q8_0 = load_vectors("Q8_0");
    ASSERT_FALSE(q8_0.blocks.empty());
    std::vector<uint8_t> q8_1;
    std::mt19937 rng(7);
    for (uint32_t b = 0; b < q8_0.block_count; ++b) {
        const uint8_t* block = q8_0.blocks.data() + size_t{b} * 34;
        q8_1.insert(q8_1.end(), block, block + 2);
        q8_1.push_back(static_cast<uint8_t>(rng()));  // s: any bits, never read
        q8_1.push_back(static_cast<uint8_t>(rng()));
        q8_1.insert(q8_1.end(), block + 2, block + 34);
    }
    ASSERT_EQ(gguf_type_info(9).block_bytes, 36u);
    expect_bits_equal(dequantize_gguf(q8_1, 9, q8_0.expected.size()), q8_0.expected, 32);
}

// ---- half precision ---------------------------------------------------------------------------

TEST(F16ToF32, EveryBitPatternMatchesTheCompilersConversion) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        _Float16 half;
        const uint16_t bits16 = static_cast<uint16_t>(h);
        std::memcpy(&half, &bits16, 2);
        const float want = static_cast<float>(half);
        const uint32_t got = std::bit_cast<uint32_t>(f16_to_f32(bits16));
        if (std::isnan(want)) {
            // NaNs keep their sign and their payload shifted up, unquietened.
            ASSERT_EQ(got, ((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13)) << std::hex << h;
        } else {
            ASSERT_EQ(got, std::bit_cast<uint32_t>(want)) << std::hex << h;
        }
    }
}

// ---- published element order, by hand --------------------------------------------------------

TEST(DequantLayout, Q4_0LowNibblesFirstHighNibblesSecond) {
    std::vector<uint8_t> block(18, 0);
    block[1] = 0x3C;  // d = 1.0
    block[2] = 0x1F;  // qs[0]
    block[3] = 0x00;  // qs[1]
    const auto out = dequantize_gguf(block, 2, 32);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(out[16], -7.0f);
    EXPECT_EQ(out[1], -8.0f);
}

// ---- lengths: short buffers, cuts, undecoded codes -------------------------------------------

// `n` elements asked of `byte_count` bytes of a type: the length the rules give.
struct LengthCase {
    uint32_t type_code;
    uint64_t n;
    uint64_t byte_count;
    uint64_t expected_len;
};

class DequantLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(DequantLength, FollowsTheShortBufferAndCutRules) {
    const LengthCase c = GetParam();
    std::vector<uint8_t> bytes(c.byte_count, 0x11);
    EXPECT_EQ(dequantize_gguf(bytes, c.type_code, c.n).size(), c.expected_len);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DequantLength,
    ::testing::Values(LengthCase{8, 40, 68, 40},       // two Q8_0 blocks, cut to 40
                      LengthCase{8, 40, 34, 32},       // one block present: shorter, not padded
                      LengthCase{8, 40, 67, 32},       // a partial block is not decoded
                      LengthCase{8, 0, 68, 0},         // nothing asked
                      LengthCase{8, 40, 0, 0},         // empty buffer
                      LengthCase{14, 300, 420, 300},   // Q6_K cut inside its second block
                      LengthCase{9, 33, 72, 33},       // Q8_1 at 36 bytes a block
                      LengthCase{9, 33, 71, 32},
                      LengthCase{0, 3, 8, 3},          // F32 padded with zeros
                      LengthCase{0, 2, 11, 2},         // F32 stops at n
                      LengthCase{1, 4, 3, 4},          // F16 partial value ignored, padded
                      LengthCase{1, 5, 0, 5},          // empty F16 buffer: n zeros
                      LengthCase{4, 7, 0, 7},          // unassigned codes and Q8_K: n zeros
                      LengthCase{15, 300, 0, 300},
                      LengthCase{99, 3, 6, 3}),
    [](const auto& info) {
        const LengthCase& c = info.param;
        return "type" + std::to_string(c.type_code) + "_n" + std::to_string(c.n) + "_bytes" +
               std::to_string(c.byte_count);
    });

TEST(DequantLength, F32ShortBufferKeepsValuesThenZeros) {
    const float stored[2] = {1.5f, -2.0f};
    std::vector<uint8_t> bytes(8);
    std::memcpy(bytes.data(), stored, 8);
    EXPECT_EQ(dequantize_gguf(bytes, 0, 3), (std::vector<float>{1.5f, -2.0f, 0.0f}));
}

TEST(DequantLength, CutBlockKeepsTheHeadOfTheFullDecode) {
    const OracleVectors v = load_vectors("Q4_K");
    ASSERT_GE(v.block_count, 2u);
    const auto cut = dequantize_gguf(v.blocks, 12, 300);  // block 1 is cut after 44 elements
    ASSERT_EQ(cut.size(), 300u);
    expect_bits_equal(cut, std::vector<float>(v.expected.begin(), v.expected.begin() + 300), 256);
}

TEST(DequantLength, UndecodedCodesIgnoreTheirBytes) {
    std::vector<uint8_t> bytes(292 * 2, 0xFF);
    for (uint32_t code : {4u, 5u, 15u, 16u, 1000u})
        EXPECT_EQ(dequantize_gguf(bytes, code, 512), std::vector<float>(512, 0.0f)) << code;
}
