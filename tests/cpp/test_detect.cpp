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

const std::string kUnrecognized = "error: Unrecognized model format for file: ";

}  // namespace

// The file "model" holds `head`; a `config` other than nullptr is written beside it.
// "unrecognized" in the cases stands for the error naming the file.
struct DetectCase {
    const char* label;
    std::string head;
    const char* config;
    std::string expected;
};
class Detect : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detect, ChoosesTheLoader) {
    TempDir dir;
    write_file(dir.file("model"), GetParam().head);
    if (GetParam().config) write_file(dir.file("config.json"), GetParam().config);
    std::string expected = GetParam().expected;
    if (expected == "unrecognized") expected = kUnrecognized + dir.file("model");
    EXPECT_EQ(detect(dir.file("model")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    FirstBytes, Detect,
    ::testing::Values(
        DetectCase{"gguf", std::string("GGUF") + std::string(12, '\xff'), nullptr, "GGUF"},
        DetectCase{"safetensors_small_header", head(123), nullptr, "safetensors"},
        DetectCase{"safetensors_largest_plausible", head(9'999'999), nullptr, "safetensors"},
        DetectCase{"header_len_ten_million", head(10'000'000), nullptr, "unrecognized"},
        DetectCase{"header_len_71_is_G", head(71), nullptr, "unrecognized"},
        DetectCase{"header_len_80_is_P", head(80), nullptr, "unrecognized"},
        DetectCase{"onnx_0x08_then_fields", "\x08\x07\x12\x07pytorch" + std::string(5, 'x'), nullptr, "ONNX"},
        DetectCase{"0x08_then_zeros_is_safetensors", head(8), nullptr, "safetensors"},
        DetectCase{"zip", "PK\x03\x04" + std::string(12, '\0'), nullptr, "pytorch_bin"},
        DetectCase{"zip_with_small_header_len", "PK" + std::string(14, '\0'), nullptr, "pytorch_bin"},
        DetectCase{"zero_header_len", std::string(16, '\0'), nullptr, "unrecognized"},
        DetectCase{"fifteen_bytes_of_gguf", std::string("GGUF") + std::string(11, '\0'), nullptr,
                   "error: failed to fill whole buffer"},
        DetectCase{"head_bytes_win_over_config", std::string("GGUF") + std::string(12, '\0'), "awq", "GGUF"}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Config, Detect,
    ::testing::Values(DetectCase{"awq_lower", head(0), R"({"quant_method": "awq"})", "AWQ"},
                      DetectCase{"awq_upper_in_a_key", head(0), R"({"AWQ": 1})", "AWQ"},
                      DetectCase{"awq_beats_gptq", head(0), R"({"a": "gptq", "b": "awq"})", "AWQ"},
                      DetectCase{"gptq", head(0), R"({"quant_method": "GPTQ"})", "GPTQ"},
                      DetectCase{"mixed_case_is_nothing", head(0), R"({"quant_method": "Awq"})", "unrecognized"},
                      DetectCase{"not_json_still_searched", head(0), "awq garbage", "AWQ"},
                      DetectCase{"invalid_utf8", head(0), "awq \xff", "error: stream did not contain valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DetectErrors, MissingFileDirectoryConfigDirectoryAndALossyPath) {
    TempDir dir;
    EXPECT_EQ(detect(dir.file("absent")), "error: No such file or directory (os error 2)");
    EXPECT_EQ(detect(dir.path().string()), "error: Is a directory (os error 21)");
    write_file(dir.file("caf\xe9.bin"), head(10'000'000));
    EXPECT_EQ(detect(dir.file("caf\xe9.bin")), kUnrecognized + dir.file("caf\xef\xbf\xbd.bin"));
    std::filesystem::create_directory(dir.file("config.json"));
    EXPECT_EQ(detect(dir.file("caf\xe9.bin")), "error: Is a directory (os error 21)");
}

TEST(DetectErrors, AWQOnANonSafetensorsFileReportsTheSafetensorsError) {
    TempDir dir;
    write_file(dir.file("config.json"), "awq");
    write_file(dir.file("model.bin"), head(1ull << 40));
    auto loader = auto_detect_format(dir.file("model.bin"));
    ASSERT_TRUE(loader);
    EXPECT_EQ((*loader)->load_metadata(dir.file("model.bin")).error().message(), "failed to fill whole buffer");
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

const char* kTorchMeta = "not yet implemented: PyTorch .bin metadata loading not yet implemented";
const char* kOnnxMeta = "not yet implemented: ONNX metadata loading not yet implemented";

INSTANTIATE_TEST_SUITE_P(
    Operations, UnimplementedLoaders,
    ::testing::Values(
        FaultCase{"pytorch_metadata", [] { (void)PyTorchBinLoader().load_metadata("/nonexistent"); }, kTorchMeta},
        FaultCase{"pytorch_moe", [] { (void)PyTorchBinLoader().moe_metadata("/nonexistent"); }, kTorchMeta},
        FaultCase{"pytorch_layers", [] { (void)PyTorchBinLoader().iter_layers("/nonexistent"); },
                  "not yet implemented: PyTorch .bin layer iteration not yet implemented"},
        FaultCase{"onnx_metadata", [] { (void)ONNXLoader().load_metadata("/nonexistent"); }, kOnnxMeta},
        FaultCase{"onnx_moe", [] { (void)ONNXLoader().moe_metadata("/nonexistent"); }, kOnnxMeta},
        FaultCase{"onnx_layers", [] { (void)ONNXLoader().iter_layers("/nonexistent"); },
                  "not yet implemented: ONNX layer iteration not yet implemented"}),
    [](const auto& info) { return std::string(info.param.label); });
