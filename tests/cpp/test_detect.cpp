#include <gtest/gtest.h>

#include <functional>

#include "format_fixtures.hpp"
#include "formats/awq.hpp"
#include "formats/loader.hpp"
#include "formats/onnx.hpp"
#include "formats/pytorch_bin.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

std::string head(uint64_t first8, std::string_view rest = std::string(8, '\x01')) {
    return Bytes().u64(first8).raw(rest).buf;
}

// The detected format's name, or the error text.
std::string detect(const std::string& path) {
    auto loader = auto_detect_format(path);
    return loader ? std::string((*loader)->format_name()) : "error: " + loader.error().message();
}

}  // namespace

struct HeadCase {
    const char* label;
    std::string bytes;
    std::string expected;
};

class DetectByFirstBytes : public ::testing::TestWithParam<HeadCase> {};

const std::string kUnrecognized = "error: Unrecognized model format for file: ";

// "unrecognized" in the cases stands for the error naming the file.
TEST_P(DetectByFirstBytes, ChoosesTheLoader) {
    TempDir dir;
    write_file(dir.file("model"), GetParam().bytes);
    std::string expected = GetParam().expected;
    if (expected == "unrecognized") expected = kUnrecognized + dir.file("model");
    EXPECT_EQ(detect(dir.file("model")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, DetectByFirstBytes,
    ::testing::Values(
        HeadCase{"gguf", std::string("GGUF") + std::string(12, '\xff'), "GGUF"},
        HeadCase{"safetensors_small_header", head(123), "safetensors"},
        HeadCase{"safetensors_largest_plausible", head(9'999'999), "safetensors"},
        HeadCase{"header_len_ten_million", head(10'000'000), "unrecognized"},
        HeadCase{"header_len_71_is_G", head(71), "unrecognized"},
        HeadCase{"header_len_80_is_P", head(80), "unrecognized"},
        HeadCase{"onnx_0x08_then_fields", "\x08\x07\x12\x07pytorch" + std::string(5, 'x'), "ONNX"},
        HeadCase{"0x08_then_zeros_is_safetensors", head(8), "safetensors"},
        HeadCase{"zip", "PK\x03\x04" + std::string(12, '\0'), "pytorch_bin"},
        HeadCase{"zip_with_small_header_len", "PK" + std::string(14, '\0'), "pytorch_bin"},
        HeadCase{"zero_header_len", std::string(16, '\0'), "unrecognized"},
        HeadCase{"fifteen_bytes_of_gguf", std::string("GGUF") + std::string(11, '\0'), "error: failed to fill whole buffer"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DetectByFirstBytes, UnrecognizedNamesThePathLossily) {
    TempDir dir;
    const std::string path = dir.file("caf\xe9.bin");
    write_file(path, head(10'000'000));
    EXPECT_EQ(detect(path), kUnrecognized + dir.file("caf\xef\xbf\xbd.bin"));
}

struct DetectConfigCase {
    const char* label;
    std::string config;
    std::string expected;
};

class DetectByConfig : public ::testing::TestWithParam<DetectConfigCase> {};

TEST_P(DetectByConfig, SubstringsDecideCaseSensitively) {
    TempDir dir;
    write_file(dir.file("model.bin"), head(0));
    write_file(dir.file("config.json"), GetParam().config);
    std::string expected = GetParam().expected;
    if (expected == "unrecognized") expected = kUnrecognized + dir.file("model.bin");
    EXPECT_EQ(detect(dir.file("model.bin")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Configs, DetectByConfig,
    ::testing::Values(DetectConfigCase{"awq_lower", R"({"quant_method": "awq"})", "AWQ"},
                      DetectConfigCase{"awq_upper_in_a_key", R"({"AWQ": 1})", "AWQ"},
                      DetectConfigCase{"awq_beats_gptq", R"({"a": "gptq", "b": "awq"})", "AWQ"},
                      DetectConfigCase{"gptq", R"({"quant_method": "GPTQ"})", "GPTQ"},
                      DetectConfigCase{"mixed_case_is_nothing", R"({"quant_method": "Awq"})", "unrecognized"},
                      DetectConfigCase{"not_json_still_searched", "awq garbage", "AWQ"},
                      DetectConfigCase{"invalid_utf8", "awq \xff", "error: stream did not contain valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Detect, HeadBytesWinOverConfig) {
    TempDir dir;
    write_file(dir.file("config.json"), "awq");
    write_file(dir.file("m.gguf"), std::string("GGUF") + std::string(12, '\0'));
    EXPECT_EQ(detect(dir.file("m.gguf")), "GGUF");
}

TEST(Detect, MissingFileDirectoryAndConfigDirectory) {
    TempDir dir;
    EXPECT_EQ(detect(dir.file("absent")), "error: No such file or directory (os error 2)");
    EXPECT_EQ(detect(dir.path().string()), "error: Is a directory (os error 21)");
    std::filesystem::create_directory(dir.file("config.json"));
    write_file(dir.file("model"), head(0));
    EXPECT_EQ(detect(dir.file("model")), "error: Is a directory (os error 21)");
}

TEST(Detect, AWQOnANonSafetensorsFileReportsTheSafetensorsError) {
    TempDir dir;
    write_file(dir.file("config.json"), "awq");
    write_file(dir.file("model.bin"), head(1ull << 40));
    auto loader = auto_detect_format(dir.file("model.bin"));
    ASSERT_TRUE(loader);
    auto m = (*loader)->load_metadata(dir.file("model.bin"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "failed to fill whole buffer");
    auto moe = (*loader)->moe_metadata(dir.file("model.bin"));
    ASSERT_FALSE(moe);
    EXPECT_EQ(moe.error().message(), "failed to fill whole buffer");
}

struct FaultCase {
    const char* label;
    std::function<void()> call;
    const char* text;
};

class UnimplementedLoaders : public ::testing::TestWithParam<FaultCase> {};

TEST_P(UnimplementedLoaders, FaultWithTheirTextBeforeOpeningTheFile) {
    try {
        GetParam().call();
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, UnimplementedLoaders,
    ::testing::Values(
        FaultCase{"pytorch_metadata", [] { (void)PyTorchBinLoader().load_metadata("/nonexistent"); },
                  "not yet implemented: PyTorch .bin metadata loading not yet implemented"},
        FaultCase{"pytorch_moe", [] { (void)PyTorchBinLoader().moe_metadata("/nonexistent"); },
                  "not yet implemented: PyTorch .bin metadata loading not yet implemented"},
        FaultCase{"onnx_metadata", [] { (void)ONNXLoader().load_metadata("/nonexistent"); },
                  "not yet implemented: ONNX metadata loading not yet implemented"},
        FaultCase{"onnx_moe", [] { (void)ONNXLoader().moe_metadata("/nonexistent"); },
                  "not yet implemented: ONNX metadata loading not yet implemented"}),
    [](const auto& info) { return std::string(info.param.label); });
