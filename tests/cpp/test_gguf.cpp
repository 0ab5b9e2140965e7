#include <gtest/gtest.h>

#include <array>

#include "format_fixtures.hpp"
#include "formats/gguf.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

const std::string kShort = "failed to fill whole buffer";

Result<GGUFValue> read_value_from(std::string_view bytes, uint32_t type) {
    TempDir dir;
    write_file(dir.file("v.bin"), bytes);
    auto file = File::open(dir.file("v.bin"));
    auto in = FileReader::over(*file);
    return GGUFLoader::read_value(*in, type);
}

Result<ModelMetadata> load(const TempDir& dir, std::string_view bytes) {
    write_file(dir.file("m.gguf"), bytes);
    return GGUFLoader().load_metadata(dir.file("m.gguf"));
}

GGUFBuilder llama() {
    return GGUFBuilder().kv_str("general.architecture", "llama").kv_u32("llama.block_count", 32)
        .kv_u32("llama.embedding_length", 4096).kv_u32("llama.attention.head_count", 32)
        .kv_u32("llama.attention.head_count_kv", 8).kv_u32("llama.vocab_size", 32000)
        .kv_u32("llama.context_length", 4096);
}

}  // namespace

TEST(GGUFValues, EveryTypeDecodesToTheVariantOfItsCode) {
    using A = GGUFValue::Array;
    Bytes nested;  // [[a, bc], [1, -1, 7]]: arrays and strings keep their order
    nested.u32(kArray).u64(2).u32(kString).u64(2).str("a").str("bc");
    nested.u32(kI16).u64(3).le<int16_t>(1).le<int16_t>(-1).le<int16_t>(7);
    const std::pair<std::string, GGUFValue> cases[] = {  // value bytes; the variant's index is the type code
        {"\xff", {uint8_t{255}}}, {"\xff", {int8_t{-1}}}, {Bytes().le<uint16_t>(65535).buf, {uint16_t{65535}}},
        {Bytes().le<int16_t>(-2).buf, {int16_t{-2}}}, {Bytes().u32(4000000000u).buf, {uint32_t{4000000000u}}},
        {Bytes().le<int32_t>(-5).buf, {int32_t{-5}}}, {Bytes().le<float>(1.5f).buf, {1.5f}},
        {"\x02", {true}},  // any non-zero byte is true
        {std::string(1, '\0'), {false}}, {Bytes().str("h\xc3\xa9").buf, {std::string("h\xc3\xa9")}},
        {Bytes().u64(1ull << 40).buf, {uint64_t{1} << 40}}, {Bytes().le<int64_t>(-7).buf, {int64_t{-7}}},
        {Bytes().le<double>(0.25).buf, {0.25}},
        {nested.buf, {A{GGUFValue{A{{std::string("a")}, {std::string("bc")}}},
                        GGUFValue{A{{int16_t{1}}, {int16_t{-1}}, {int16_t{7}}}}}}}};
    for (const auto& [bytes, expected] : cases) {
        const auto type = static_cast<uint32_t>(expected.value.index());
        auto v = read_value_from(bytes, type);
        EXPECT_TRUE(v && *v == expected) << "type " << type;
    }
}

TEST(GGUFValues, DeeplyNestedArraysFailInsteadOfExhaustingTheStack) {
    Bytes deep, ok;
    for (int i = 0; i < 200000; ++i) deep.u32(kArray).u64(1);
    auto v = read_value_from(deep.u32(kU8).u64(0).buf, kArray);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), "GGUF arrays nested deeper than 64 levels");
    for (int i = 0; i < 62; ++i) ok.u32(kArray).u64(1);  // 63 levels still read
    EXPECT_TRUE(read_value_from(ok.u32(kU8).u64(1).u8(9).buf, kArray));
}

TEST(GGUFMetadata, EmptyFileAndUnknownArchitecture) {  // the fields of a real writer's file: tests/python
    TempDir dir;
    EXPECT_EQ(load(dir, Bytes().gguf_header(0, 0).buf).value(),
              (ModelMetadata{.format_name = "GGUF", .file_size = 24}));
    // An architecture of another type is unknown; the last entry of a key wins.
    auto m = load(dir, GGUFBuilder().kv("general.architecture", kArray, Bytes().u32(kU8).u64(0).buf)
                           .kv_u32("unknown.block_count", 5).kv_u32("llama.block_count", 7)
                           .kv_u32("unknown.block_count", 6).build());
    EXPECT_EQ(m->architecture, "unknown");
    EXPECT_EQ(m->num_layers, 6u);
}

TEST(GGUFMetadata, OnlyU32I32AndU64CountAsUnsigned32Bit) {
    const std::tuple<uint32_t, std::string, uint64_t> cases[] = {
        {kU32, Bytes().u32(32).buf, 32}, {kI32, Bytes().le<int32_t>(-1).buf, 4294967295u},
        {kU64, Bytes().u64(4294967328ull).buf, 32}, {kU8, "\x20", 0}, {kI64, Bytes().le<int64_t>(32).buf, 0},
        {kF32, Bytes().le<float>(32).buf, 0}, {kString, Bytes().str("32").buf, 0}};
    TempDir dir;
    for (const auto& [type, bytes, expected] : cases) {
        auto m = load(dir, GGUFBuilder().kv_str("general.architecture", "llama").kv("llama.block_count", type, bytes)
                               .build());
        EXPECT_EQ(m->num_layers, expected) << "type " << type;
    }
}

TEST(GGUFMetadata, ExpertDefaultsAndMoeMetadata) {
    TempDir dir;
    EXPECT_EQ(load(dir, llama().kv_u32("llama.expert_count", 8).build())->moe, (MoeMetadata{8, 8, 32, 4096, 16384}));
    // A stored 0 of experts used is kept; a 0 feed-forward length takes the default.
    write_file(dir.file("m.gguf"), llama().kv_u32("llama.expert_count", 8).kv_u32("llama.expert_used_count", 0)
                                       .kv_u32("llama.expert_feed_forward_length", 0).build());
    EXPECT_EQ(GGUFLoader().moe_metadata(dir.file("m.gguf")).value(), (MoeMetadata{8, 0, 32, 4096, 16384}));
    EXPECT_FALSE(load(dir, llama().kv_u32("llama.expert_count", 0).kv_u32("llama.expert_used_count", 2).build())->moe);
}

// Each purpose reads integers by its own rule: which stored types count, whether zero does, and
// what a negative number becomes.
TEST(GGUFMetadata, IntegerRulesByPurpose) {
    constexpr uint32_t kWide = gguf_type_bit(GGUFValueType::U32) | gguf_type_bit(GGUFValueType::I32) |
                               gguf_type_bit(GGUFValueType::U64) | gguf_type_bit(GGUFValueType::I64);
    const IntegerRule rules[] = {
        {.types = kWide & ~gguf_type_bit(GGUFValueType::I64), .low_32_bits = true},  // metadata counts
        {.types = kWide, .zero = false},                                                // head counts
        {.zero = false},                                                                // lengths
        {.negative = true},                                                             // token ids
    };
    using N = std::optional<uint64_t>;
    const N none;
    const std::pair<GGUFValue, std::array<N, 4>> cases[] = {
        {{uint8_t{7}}, {none, none, 7, 7}},
        {{int16_t{-2}}, {none, none, none, UINT64_MAX}},
        {{uint32_t{0}}, {0, none, none, 0}},
        {{int32_t{-1}}, {4294967295u, none, none, UINT64_MAX}},
        {{uint64_t{(1ull << 32) + 5}}, {5, (1ull << 32) + 5, (1ull << 32) + 5, (1ull << 32) + 5}},
        {{int64_t{12}}, {none, 12, 12, 12}},
        {{true}, {none, none, none, none}},
        {{1.0f}, {none, none, none, none}},
        {{std::string("3")}, {none, none, none, none}},
    };
    for (const auto& [value, expected] : cases)
        for (size_t r = 0; r < std::size(rules); ++r)
            EXPECT_EQ(read_integer(&value, rules[r]), expected[r]) << "type " << value.value.index() << " rule " << r;
    EXPECT_EQ(read_integer(nullptr, {}), none);
}

// Hostile counts, lengths and types, as every reader of the container meets them: test_tensor_directory.cpp.
TEST(GGUFMalformedFiles, EveryTruncationIsAShortReadOrAnEmptyIteration) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_str("general.architecture", "llama")
        .kv("tokens", kArray, Bytes().u32(kString).u64(2).str("<s>").str("</s>").buf)
        .kv("scores", kArray, Bytes().u32(kF32).u64(2).le<float>(0.f).le<float>(-1.f).buf)
        .kv("flag", kBool, "\x01")
        .kv_u64("llama.block_count", 2)
        .tensor("blk.0.w", {2, 2}, 0, f32_bytes({1, 2, 3, 4}))
        .tensor("blk.1.w", {4}, 1, std::string(8, '\0'));
    const std::string full = b.build();
    ASSERT_EQ(load(dir, full)->num_layers, 2u);
    for (uint64_t len = 0; len < b.infos_end(); ++len) {  // load_metadata reads no further than the metadata
        auto m = load(dir, std::string_view(full).substr(0, len));
        if (len < b.metadata_end()) EXPECT_EQ(m ? "loaded" : m.error().message(), kShort) << "prefix of " << len;
        EXPECT_FALSE(GGUFLoader().iter_layers(dir.file("m.gguf"))->next()) << "prefix of " << len;
    }
}

