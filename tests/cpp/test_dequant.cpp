// Dequantisation against vectors made by the `gguf` package (tests/cpp/data/make_dequant_vectors.py),
// plus the length rules for short buffers and cuts, which no oracle states.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "float_bits.hpp"
#include "formats/gguf_types.hpp"
#include "inference/dequant.hpp"

using namespace quillfen;
using quillfen::testing::expect_bits_equal;

namespace {

// A vectors file: "QFDV", four u32 (type code, block count, elements and bytes per block), the
// blocks, then the floats gguf decodes them to.
struct OracleVectors {
    uint32_t type_code = 0, block_count = 0, block_elems = 0, block_bytes = 0;
    std::vector<uint8_t> blocks;
    std::vector<float> expected;
};

OracleVectors load_vectors(const std::string& type_name) {
    std::ifstream in(std::string(QUILLFEN_TEST_DATA) + "/dequant_" + type_name + ".bin", std::ios::binary);
    const std::vector<uint8_t> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uint32_t f[4] = {};
    if (raw.size() >= 20) std::memcpy(f, raw.data() + 4, sizeof f);
    const size_t n_bytes = size_t{f[1]} * f[3], n_floats = size_t{f[1]} * f[2];
    if (raw.size() != 20 + n_bytes + 4 * n_floats || std::memcmp(raw.data(), "QFDV", 4) != 0) {
        ADD_FAILURE() << "missing or malformed vectors for " << type_name;
        return {};
    }
    OracleVectors v{f[0], f[1], f[2], f[3], {raw.begin() + 20, raw.begin() + 20 + n_bytes}, {}};
    v.expected.resize(n_floats);
    std::memcpy(v.expected.data(), raw.data() + 20 + n_bytes, 4 * n_floats);
    return v;
}

}  // namespace

class DequantMatchesGGUFPackage : public ::testing::TestWithParam<std::string> {};

TEST_P(DequantMatchesGGUFPackage, EveryBlockBitForBit) {
    const OracleVectors v = load_vectors(GetParam());
    ASSERT_FALSE(v.blocks.empty());
    // The vectors must agree with our one type table, or they test some other layout.
    const GGUFTypeInfo& info = gguf_type_info(v.type_code);
    ASSERT_EQ(info.name, GetParam());
    ASSERT_EQ(info.block_elems, v.block_elems);
    ASSERT_EQ(info.block_bytes, v.block_bytes);
    expect_bits_equal(dequantize_gguf(v.blocks, v.type_code, v.expected.size()), v.expected, v.block_elems);
}

INSTANTIATE_TEST_SUITE_P(AllOracleTypes, DequantMatchesGGUFPackage,
                         ::testing::Values("F32", "F16", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q8_0", "Q2_K", "Q3_K",
                                           "Q4_K", "Q5_K", "Q6_K"),
                         [](const auto& info) { return info.param; });

TEST(DequantQ8_1, DecodesAsQ8_0WithTheSumFieldIgnored) {
    // gguf has no Q8_1 decoder; its 36-byte block is Q8_0's with a half-precision sum inserted after d.
    const OracleVectors q8_0 = load_vectors("Q8_0");
    ASSERT_FALSE(q8_0.blocks.empty());
    std::vector<uint8_t> q8_1;
    for (uint32_t b = 0; b < q8_0.block_count; ++b) {
        const uint8_t* block = q8_0.blocks.data() + size_t{b} * 34;
        q8_1.insert(q8_1.end(), block, block + 2);
        q8_1.insert(q8_1.end(), {0xFF, 0x7F});  // s: a NaN if it were ever read
        q8_1.insert(q8_1.end(), block + 2, block + 34);
    }
    expect_bits_equal(dequantize_gguf(q8_1, 9, q8_0.expected.size()), q8_0.expected, 32);
}

// The compiler's own binary16 type: GCC 12 offers _Float16 in C++ on x86-64 only; on arm64 the same
// format is __fp16.
#if defined(__aarch64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
using Half = __fp16;
#else
using Half = _Float16;
#endif

TEST(F16ToF32, EveryBitPatternMatchesTheCompilersConversion) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const uint16_t bits16 = static_cast<uint16_t>(h);
        Half half;
        std::memcpy(&half, &bits16, 2);
        const float want = static_cast<float>(half);
        const uint32_t got = std::bit_cast<uint32_t>(f16_to_f32(bits16));
        if (std::isnan(want))  // NaNs keep their sign and their payload shifted up, unquietened
            ASSERT_EQ(got, ((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13)) << std::hex << h;
        else
            ASSERT_EQ(got, std::bit_cast<uint32_t>(want)) << std::hex << h;
    }
}

// ---- lengths: short buffers, cuts, undecoded codes -------------------------------------------

TEST(DequantLength, FollowsTheShortBufferAndCutRules) {
    struct Case {
        uint32_t type_code;
        uint64_t n, byte_count, expected_len;
    };
    const Case cases[] = {
        {8, 40, 68, 40},      // two Q8_0 blocks, cut to 40
        {8, 40, 34, 32},      // one block present: shorter, not padded
        {8, 40, 67, 32},      // a partial block is not decoded
        {8, 0, 68, 0},        // nothing asked
        {8, 40, 0, 0},        // empty buffer
        {14, 300, 420, 300},  // Q6_K cut inside its second block
        {9, 33, 72, 33},      // Q8_1 at 36 bytes a block, neither 34 nor 40
        {9, 33, 71, 32},
        {0, 3, 8, 3},         // F32 padded with zeros
        {0, 2, 11, 2},        // F32 stops at n
        {1, 4, 3, 4},         // F16 partial value ignored, padded
        {1, 5, 0, 5},         // empty F16 buffer: n zeros
    };
    for (const Case& c : cases)
        EXPECT_EQ(dequantize_gguf(std::vector<uint8_t>(c.byte_count, 0x11), c.type_code, c.n).size(),
                  c.expected_len)
            << "type " << c.type_code << ", n " << c.n << ", " << c.byte_count << " bytes";
}

TEST(DequantLength, CutBlockKeepsTheHeadOfTheFullDecode) {
    const OracleVectors v = load_vectors("Q4_K");
    ASSERT_GE(v.block_count, 2u);
    const auto cut = dequantize_gguf(v.blocks, 12, 300);  // block 1 is cut after 44 elements
    expect_bits_equal(cut, std::vector<float>(v.expected.begin(), v.expected.begin() + 300), 256);
}

TEST(DequantLength, FloatsArePaddedWithZerosAndUndecodedCodesAreAllZeros) {
    const float stored[2] = {1.5f, -2.0f};
    std::vector<uint8_t> bytes(292 * 2, 0xFF);
    std::memcpy(bytes.data(), stored, 8);
    // A trailing partial float is not read: its bytes (and the 0xFF past the span) would make a NaN.
    EXPECT_EQ(dequantize_gguf(std::span(bytes).first(11), 0, 3), (std::vector<float>{1.5f, -2.0f, 0.0f}));
    for (uint32_t code : {4u, 5u, 15u, 16u, 1000u})
        EXPECT_EQ(dequantize_gguf(bytes, code, 512), std::vector<float>(512, 0.0f)) << code;
}
