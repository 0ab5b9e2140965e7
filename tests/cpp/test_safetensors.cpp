#include <gtest/gtest.h>

#include "format_fixtures.hpp"
#include "formats/gptq.hpp"
#include "formats/safetensors.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

Result<ModelMetadata> load(const TempDir& dir, std::string_view header) {
    write_file(dir.file("model.safetensors"), safetensors_bytes(header));
    return SafetensorsLoader().load_metadata(dir.file("model.safetensors"));
}

}  // namespace

TEST(LayerNumbers, FirstUnsignedDecimalPiece) {
    const std::pair<const char*, std::optional<uint64_t>> cases[] = {
        {"model.layers.12.mlp.down_proj.weight", 12}, {"transformer.h.0.attn.c_attn.weight", 0},
        {"lm_head.weight", std::nullopt}, {"", std::nullopt}, {"a.+3.b", 3}, {"a.+.-.-1.4", 4}, {"a.++3.5", 5},
        {"a..7", 7}, {"3a.b3.9", 9}, {"007", 7}, {"x.18446744073709551615", UINT64_MAX},
        {"x.18446744073709551616.2", 2}};  // overflow is skipped, the search goes on
    for (const auto& [name, layer] : cases) EXPECT_EQ(extract_layer_number(name), layer) << name;
}

// ---- metadata ------------------------------------------------------------------------------------------

TEST(SafetensorsMetadata, WorkedExampleWithConfig) {
    TempDir dir;
    write_file(dir.file("config.json"), R"({"model_type":"llama","num_attention_heads":32,"num_key_value_heads":8,
                                           "vocab_size":32000,"max_position_embeddings":4096,"hidden_size":1})");
    auto m = load(dir, st_header({st_entry("model.layers.0.self_attn.q_proj.weight", "BF16", "[4096,4096]"),
                                  st_entry("model.layers.1.mlp.down_proj.weight", "BF16", "[4096,1024]"),
                                  st_entry("lm_head.weight", "BF16", "[32000,4096]")}));
    EXPECT_EQ(m.value(), (ModelMetadata{.architecture = "llama", .format_name = "safetensors", .num_layers = 2,
                                        .hidden_size = 4096, .num_attention_heads = 32, .num_kv_heads = 8,
                                        .vocab_size = 32000, .context_length = 4096,
                                        .file_size = std::filesystem::file_size(dir.file("model.safetensors")),
                                        .dtype = DType::BFloat16}));
}

TEST(SafetensorsMetadata, EmptyHeadersAndNoConfig) {
    TempDir dir;
    for (const char* header : {"{}", R"({"__metadata__":{"format":"pt"}})", "{}  \t\r\n"})
        EXPECT_EQ(load(dir, header).value(),
                  (ModelMetadata{.format_name = "safetensors", .file_size = 8 + std::strlen(header)})) << header;
}

// Entries are visited by name. The layer count is the highest number plus one (entries that are not tensors
// count too) and saturates; the hidden size is the last dimension of the first layer-0 tensor with a
// non-zero one ("layers.10" holds no ".0."); the dtype is the last one met (its mapping is shown by the
// iterator's items).
TEST(SafetensorsMetadata, LayersHiddenSizeAndDtypeFromTheHeader) {
    TempDir dir;
    auto m = load(dir, st_header({st_entry("a.0.scalar", "F16", "[]"), st_entry("b.0.empty", "F16", "[5,0]"),
                                  st_entry("c.layers.10.x", "F16", "[7,3]"), st_entry("d.0.w", "BF16", "[9,64]"),
                                  st_entry("e.0.w", "F32", "[9,128]"), st_entry("model.layers.31.b", "BF16", "[1]"),
                                  R"("model.layers.7.c":5)"}));
    EXPECT_EQ(std::tuple(m->num_layers, m->hidden_size, m->dtype), std::tuple(32u, 64u, DType::BFloat16));
    m = load(dir, st_header({st_entry("x.18446744073709551615.w", "F16", "[1]"), st_entry("y.3.w", "F16", "[10,8]")}));
    EXPECT_EQ(std::pair(m->num_layers, m->hidden_size), std::pair(UINT64_MAX, uint64_t{0}));  // no layer 0
}

TEST(SafetensorsMetadata, ConfigKeysCountOnlyWithTheirJsonType) {
    // config.json text, the heads it gives, the moe part it gives
    const std::tuple<std::string, uint64_t, std::optional<MoeMetadata>> cases[] = {
        {R"({"num_local_experts":8})", 0, MoeMetadata{8, 8, 1, 16, 0}},
        {R"({"num_local_experts":4,"num_experts_per_tok":2,"intermediate_size":99})", 0, MoeMetadata{4, 2, 1, 16, 99}},
        {R"({"num_local_experts":0,"num_attention_heads":32})", 32, std::nullopt},
        {R"({"num_attention_heads":32.0})", 0, std::nullopt},
        {R"({"num_attention_heads":1e3})", 0, std::nullopt},
        {R"({"num_attention_heads":-1})", 0, std::nullopt},
        {R"({"num_attention_heads":32} x)", 0, std::nullopt},  // trailing garbage: the whole file is ignored
        {std::string(R"({"num_attention_heads":32})" "\0x", 28), 0, std::nullopt},  // a NUL is trailing garbage too
        {std::string(R"({"num_attention_heads":32} )" "\0", 28), 0, std::nullopt},
        {R"({"num_attention_heads":32} )" "\t\r\n", 32, std::nullopt},
        {"[1,2]", 0, std::nullopt},
        {"{\"num_attention_heads\":32,\"a\":\"\xff\"}", 0, std::nullopt},
        {std::string(100000, '[') + std::string(100000, ']'), 0, std::nullopt}};
    TempDir dir;
    for (const auto& [config, heads, moe] : cases) {
        write_file(dir.file("config.json"), config);
        auto m = load(dir, st_header({st_entry("l.0.w", "F16", "[3,16]")}));
        EXPECT_EQ(m->num_attention_heads, heads) << config.substr(0, 80);
        EXPECT_EQ(m->moe, moe) << config.substr(0, 80);
    }
}

TEST(SafetensorsMetadata, GPTQDiffersOnlyInFormatName) {
    TempDir dir;
    write_file(dir.file("config.json"), R"({"model_type":"mistral","num_local_experts":2,"quant_method":"gptq"})");
    ASSERT_TRUE(load(dir, st_header({st_entry("l.0.w", "BF16", "[3,16]")})));
    auto st = SafetensorsLoader().load_metadata(dir.file("model.safetensors"));
    auto gptq = GPTQLoader().load_metadata(dir.file("model.safetensors"));
    EXPECT_EQ(gptq->format_name, "GPTQ");
    gptq->format_name = "safetensors";
    EXPECT_EQ(*gptq, *st);
}

// ---- malformed headers ---------------------------------------------------------------------------------

TEST(SafetensorsMalformed, HostileHeadersFailWithTheReadersOwnText) {
    const std::string kShort = "failed to fill whole buffer";
    const std::string kParse = "[json.exception.parse_error.101] parse error at ";
    const std::pair<std::string, std::string> cases[] = {  // the whole file, the message
        {"1234567", kShort},
        {Bytes().u64(UINT64_MAX).raw("{}").buf, kShort},
        {Bytes().u64(100).raw("{}").buf, kShort},
        {Bytes().u64(0).buf, kParse + "line 1, column 1: syntax error while parsing value - unexpected end of input; "
                                      "expected '[', '{', or a literal"},
        {safetensors_bytes("{} x"), kParse + "line 1, column 4: syntax error while parsing value - invalid literal; "
                                             "last read: '{} x'; expected end of input"},
        // The parser ends its input at a NUL; trailing text it stays, in the parser's words for a control byte.
        {safetensors_bytes(std::string("{}\0x", 4)),
         kParse + "line 1, column 3: syntax error while parsing value - invalid literal; last read: '{}<U+0000>'; "
                  "expected end of input"},
        {safetensors_bytes(std::string("{\"a\0\":1}", 8)),
         kParse + "line 1, column 4: syntax error while parsing object key - invalid string: control character U+0000 "
                  "(NUL) must be escaped to \\u0000; last read: '\"a<U+0000>'; expected string literal"},
        {safetensors_bytes("[1]"), "[json.exception.type_error.302] type must be object, but is array"},
        {safetensors_bytes("{\"a\xff\":1}"), "invalid utf-8 sequence of 1 bytes from index 3"},
        {safetensors_bytes("{}\xe2\x82"), "incomplete utf-8 byte sequence from index 2"}};
    TempDir dir;
    for (const auto& [bytes, message] : cases) {
        write_file(dir.file("m.st"), bytes);
        auto m = SafetensorsLoader().load_metadata(dir.file("m.st"));
        ASSERT_FALSE(m) << message;
        EXPECT_EQ(m.error().message(), message);
    }
}

TEST(SafetensorsMalformed, DeeplyNestedHeaderIsParsedAndFreedWithoutRecursion) {
    TempDir dir;
    auto m = load(dir, R"({"__metadata__":)" + std::string(200000, '[') + std::string(200000, ']') + "}");
    EXPECT_TRUE(m) << m.error().message();
}

