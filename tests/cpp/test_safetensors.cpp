#include <gtest/gtest.h>

#include "format_fixtures.hpp"
#include "formats/gptq.hpp"
#include "formats/safetensors.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

Result<ModelMetadata> load(const TempDir& dir, std::string_view header, std::string_view data = {}) {
    write_file(dir.file("model.safetensors"), safetensors_bytes(header, data));
    return SafetensorsLoader().load_metadata(dir.file("model.safetensors"));
}

std::string entry(std::string_view name, std::string_view dtype, std::string_view shape) {
    return "\"" + std::string(name) + "\":{\"dtype\":\"" + std::string(dtype) + "\",\"shape\":" + std::string(shape) +
           ",\"data_offsets\":[0,0]}";
}

}  // namespace

// ---- layer numbers -------------------------------------------------------------------------------------

struct LayerCase {
    const char* name;
    std::optional<uint64_t> layer;
};
class LayerNumbers : public ::testing::TestWithParam<LayerCase> {};

TEST_P(LayerNumbers, FirstUnsignedDecimalPiece) { EXPECT_EQ(extract_layer_number(GetParam().name), GetParam().layer); }

INSTANTIATE_TEST_SUITE_P(
    Names, LayerNumbers,
    ::testing::Values(LayerCase{"model.layers.12.mlp.down_proj.weight", 12}, LayerCase{"transformer.h.0.attn.c_attn.weight", 0},
                      LayerCase{"lm_head.weight", std::nullopt}, LayerCase{"a.+3.b", 3}, LayerCase{"a.+.-.-1.4", 4},
                      LayerCase{"a.++3.5", 5}, LayerCase{"a..7", 7}, LayerCase{"3a.b3.9", 9}, LayerCase{"007", 7},
                      LayerCase{"x.18446744073709551615", UINT64_MAX},
                      LayerCase{"x.18446744073709551616.2", 2},  // overflow is skipped, the search goes on
                      LayerCase{"", std::nullopt}));

// ---- metadata ------------------------------------------------------------------------------------------

TEST(SafetensorsMetadata, WorkedExampleWithConfig) {
    TempDir dir;
    write_file(dir.file("config.json"), R"({"model_type":"llama","num_attention_heads":32,"num_key_value_heads":8,
                                           "vocab_size":32000,"max_position_embeddings":4096,"hidden_size":1})");
    auto m = load(dir, "{" + entry("model.layers.0.self_attn.q_proj.weight", "BF16", "[4096,4096]") + "," +
                           entry("model.layers.1.mlp.down_proj.weight", "BF16", "[4096,1024]") + "," +
                           entry("lm_head.weight", "BF16", "[32000,4096]") + "}");
    ASSERT_TRUE(m) << m.error().message();
    EXPECT_EQ(*m, (ModelMetadata{.architecture = "llama", .format_name = "safetensors", .num_layers = 2,
                                 .hidden_size = 4096, .num_attention_heads = 32, .num_kv_heads = 8, .vocab_size = 32000,
                                 .context_length = 4096,
                                 .file_size = std::filesystem::file_size(dir.file("model.safetensors")),
                                 .dtype = DType::BFloat16}));
}

TEST(SafetensorsMetadata, EmptyHeadersAndNoConfig) {
    TempDir dir;
    for (const char* header : {"{}", R"({"__metadata__":{"format":"pt"}})", "{}  \t\r\n"}) {
        auto m = load(dir, header);
        ASSERT_TRUE(m) << header;
        EXPECT_EQ(*m, (ModelMetadata{.format_name = "safetensors", .file_size = 8 + std::strlen(header)})) << header;
    }
}

TEST(SafetensorsMetadata, LayerCountIsHighestNumberPlusOneAndSaturates) {
    TempDir dir;
    auto m = load(dir, "{" + entry("model.layers.0.a", "F16", "[1]") + "," + entry("model.layers.31.b", "F16", "[1]") +
                           ",\"model.layers.7.c\":5}");  // not a tensor entry, still counted
    EXPECT_EQ(m->num_layers, 32u);
    m = load(dir, "{" + entry("x.18446744073709551615.w", "F16", "[1]") + "," + entry("y.3.w", "F16", "[1]") + "}");
    EXPECT_EQ(m->num_layers, UINT64_MAX);
}

TEST(SafetensorsMetadata, HiddenSizeFromTheFirstLayerZeroTensorWithANonZeroLastDim) {
    TempDir dir;
    // Visited by name: "a..." first. layers.10 does not contain ".0.".
    auto m = load(dir, "{" + entry("a.0.scalar", "F16", "[]") + "," + entry("b.0.empty", "F16", "[5,0]") + "," +
                           entry("c.layers.10.x", "F16", "[7,3]") + "," + entry("d.0.w", "F16", "[9,64]") + "," +
                           entry("e.0.w", "F16", "[9,128]") + "}");
    EXPECT_EQ(m->hidden_size, 64u);
    EXPECT_EQ(load(dir, "{" + entry("model.embed_tokens.weight", "F16", "[10,8]") + "}")->hidden_size, 0u);
}

TEST(SafetensorsMetadata, TheLastDtypeMetWins) {
    TempDir dir;  // visited by name; the mapping itself is shared with the iterator's item tensors
    EXPECT_EQ(load(dir, "{" + entry("a", "I8", "[1]") + "," + entry("b", "BF16", "[1]") + "}")->dtype, DType::BFloat16);
    EXPECT_EQ(load(dir, "{" + entry("a", "BF16", "[1]") + "," + entry("b", "F32", "[1]") + "}")->dtype, DType::Float32);
    EXPECT_EQ(load(dir, "{" + entry("a", "F32", "[1]") + "," + entry("b", "BOOL", "[1]") + "}")->dtype, DType::Float16);
}

struct ConfigCase {
    const char* label;
    std::string config;
    uint64_t heads;
    std::optional<MoeMetadata> moe;
};
class SafetensorsConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(SafetensorsConfig, KeysCountOnlyWithTheirJsonType) {
    TempDir dir;
    write_file(dir.file("config.json"), GetParam().config);
    auto m = load(dir, "{" + entry("l.0.w", "F16", "[3,16]") + "}");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->num_attention_heads, GetParam().heads);
    EXPECT_EQ(m->moe, GetParam().moe);
}

INSTANTIATE_TEST_SUITE_P(
    Configs, SafetensorsConfig,
    ::testing::Values(
        ConfigCase{"experts_default_active", R"({"num_local_experts":8})", 0, MoeMetadata{8, 8, 1, 16, 0}},
        ConfigCase{"experts_full", R"({"num_local_experts":4,"num_experts_per_tok":2,"intermediate_size":99})", 0,
                   MoeMetadata{4, 2, 1, 16, 99}},
        ConfigCase{"zero_experts", R"({"num_local_experts":0,"num_attention_heads":32})", 32, std::nullopt},
        ConfigCase{"float_heads", R"({"num_attention_heads":32.0})", 0, std::nullopt},
        ConfigCase{"exponent_heads", R"({"num_attention_heads":1e3})", 0, std::nullopt},
        ConfigCase{"negative_heads", R"({"num_attention_heads":-1})", 0, std::nullopt},
        ConfigCase{"trailing_garbage", R"({"num_attention_heads":32} x)", 0, std::nullopt},
        ConfigCase{"not_an_object", "[1,2]", 0, std::nullopt}, ConfigCase{"not_utf8", "{\"a\":\"\xff\"}", 0, std::nullopt},
        ConfigCase{"deeply_nested", std::string(100000, '[') + std::string(100000, ']'), 0, std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SafetensorsMetadata, GPTQDiffersOnlyInFormatName) {
    TempDir dir;
    write_file(dir.file("config.json"), R"({"model_type":"mistral","num_local_experts":2,"quant_method":"gptq"})");
    write_file(dir.file("model.safetensors"), safetensors_bytes("{" + entry("l.0.w", "BF16", "[3,16]") + "}"));
    auto st = SafetensorsLoader().load_metadata(dir.file("model.safetensors"));
    auto gptq = GPTQLoader().load_metadata(dir.file("model.safetensors"));
    ASSERT_TRUE(st && gptq);
    EXPECT_EQ(gptq->format_name, "GPTQ");
    gptq->format_name = "safetensors";
    EXPECT_EQ(*gptq, *st);
}

// ---- malformed headers ---------------------------------------------------------------------------------

struct BadHeader {
    const char* label;
    std::string bytes;  // the whole file
    std::string message;
};
class SafetensorsMalformed : public ::testing::TestWithParam<BadHeader> {};

TEST_P(SafetensorsMalformed, FailWithTheReadersOwnText) {
    TempDir dir;
    write_file(dir.file("m.st"), GetParam().bytes);
    auto m = SafetensorsLoader().load_metadata(dir.file("m.st"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, SafetensorsMalformed,
    ::testing::Values(
        BadHeader{"seven_bytes", "1234567", "failed to fill whole buffer"},
        BadHeader{"header_len_max", Bytes().u64(UINT64_MAX).raw("{}").buf, "failed to fill whole buffer"},
        BadHeader{"header_len_past_end", Bytes().u64(100).raw("{}").buf, "failed to fill whole buffer"},
        BadHeader{"empty_header", Bytes().u64(0).buf,
                  "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing value - "
                  "unexpected end of input; expected '[', '{', or a literal"},
        BadHeader{"trailing_characters", safetensors_bytes("{} x"),
                  "[json.exception.parse_error.101] parse error at line 1, column 4: syntax error while parsing value - "
                  "invalid literal; last read: '{} x'; expected end of input"},
        BadHeader{"array_header", safetensors_bytes("[1]"), "[json.exception.type_error.302] type must be object, but is array"},
        BadHeader{"invalid_utf8", safetensors_bytes("{\"a\xff\":1}"), "invalid utf-8 sequence of 1 bytes from index 3"},
        BadHeader{"incomplete_utf8", safetensors_bytes("{}\xe2\x82"), "incomplete utf-8 byte sequence from index 2"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SafetensorsMalformed, MissingFileAndDirectory) {
    TempDir dir;
    auto m = SafetensorsLoader().load_metadata(dir.file("absent.safetensors"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Failed to open safetensors: " + dir.file("absent.safetensors"));
    ASSERT_NE(m.error().cause(), nullptr);
    EXPECT_EQ(m.error().cause()->message(), "No such file or directory (os error 2)");
    EXPECT_EQ(SafetensorsLoader().load_metadata(dir.path().string()).error().message(), "Is a directory (os error 21)");
}

TEST(SafetensorsMalformed, DeeplyNestedHeaderIsParsedAndFreedWithoutRecursion) {
    TempDir dir;
    auto m = load(dir, R"({"__metadata__":)" + std::string(200000, '[') + std::string(200000, ']') + "}");
    ASSERT_TRUE(m) << m.error().message();
}

TEST(SafetensorsMalformed, HeaderLengthTheFileHoldsButMemoryCannotIsAnError) {
    // 1 TiB, sparse, announcing a header as long as itself: only the allocation can refuse it.
    TempDir dir;
    if (!write_sparse_file(dir.file("m.st"), Bytes().u64((1ull << 40) - 8).buf, 1ull << 40))
        GTEST_SKIP() << "no sparse files, or overcommit mode 1";
    auto m = SafetensorsLoader().load_metadata(dir.file("m.st"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Safetensors header of 1099511627768 bytes is too large to hold in memory");
}
