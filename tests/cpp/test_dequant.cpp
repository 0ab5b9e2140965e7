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

// The gguf package has no Q8_1 decoder: Q8_0's vectors, each block given a half-precision sum beside
// its d that is a NaN if it were ever read.
OracleVectors q8_1_from_q8_0() {
    OracleVectors v = load_vectors("Q8_0");
    std::vector<uint8_t> blocks(v.block_count * sizeof(BlockQ8_1));
    for (uint32_t b = 0; b < v.block_count; ++b) {
        const uint8_t* from = v.blocks.data() + b * sizeof(BlockQ8_0);
        uint8_t* to = blocks.data() + b * sizeof(BlockQ8_1);
        std::memcpy(to + offsetof(BlockQ8_1, d), from + offsetof(BlockQ8_0, d), 2);
        std::memcpy(to + offsetof(BlockQ8_1, s), "\xFF\x7F", 2);
        std::memcpy(to + offsetof(BlockQ8_1, qs), from + offsetof(BlockQ8_0, qs), 32);
    }
    v.type_code = 9;
    v.block_bytes = sizeof(BlockQ8_1);
    v.blocks = std::move(blocks);
    return v;
}

// Every type the table decodes; a new one needs its vectors written before this passes.
std::vector<uint32_t> decoded_types() {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < kGGUFTypeCount; ++code)
        if (kGGUFTypes[code].decode) codes.push_back(code);
    return codes;
}

}  // namespace

class DequantMatchesGGUFPackage : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DequantMatchesGGUFPackage, EveryBlockBitForBit) {
    const GGUFTypeInfo& info = gguf_type_info(GetParam());
    const OracleVectors v = info.name == "Q8_1" ? q8_1_from_q8_0() : load_vectors(std::string(info.name));
    ASSERT_FALSE(v.blocks.empty());
    // The vectors must agree with the type table, or they test some other layout.
    ASSERT_EQ(v.type_code, GetParam());
    ASSERT_EQ(info.block_elems, v.block_elems);
    ASSERT_EQ(info.block_bytes, v.block_bytes);
    expect_bits_equal(dequantize_gguf(v.blocks, v.type_code, v.expected.size()), v.expected, v.block_elems);
}

INSTANTIATE_TEST_SUITE_P(Table, DequantMatchesGGUFPackage, ::testing::ValuesIn(decoded_types()),
                         [](const auto& info) { return std::string(gguf_type_info(info.param).name); });

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
    for (uint32_t code = 0; code < kGGUFTypeCount + 2; ++code)
        if (!gguf_type_info(code).decode) EXPECT_EQ(dequantize_gguf(bytes, code, 512), std::vector<float>(512, 0.0f)) << code;
    EXPECT_EQ(dequantize_gguf(bytes, 1000, 512), std::vector<float>(512, 0.0f));
}
