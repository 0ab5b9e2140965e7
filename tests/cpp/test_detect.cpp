// Format detection, and what every loader shares: open errors, allocation limits, paths that are not files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "format_fixtures.hpp"
#include "formats/awq.hpp"
#include "formats/gguf.hpp"
#include "formats/gptq.hpp"
#include "formats/loader.hpp"
#include "formats/safetensors.hpp"

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

TEST(Detect, ByTheFirstSixteenBytesThenTheConfigText) {
    // The file's bytes, the text of a config.json beside it (none if null), the result; "unrecognized"
    // stands for the error naming the file.
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {std::string("GGUF") + std::string(12, '\xff'), nullptr, "GGUF"},
        {std::string("GGUF") + std::string(11, '\0'), nullptr, "error: failed to fill whole buffer"},
        {head(8), nullptr, "safetensors"}, {head(9'999'999), nullptr, "safetensors"},
        {head(10'000'000), nullptr, "unrecognized"}, {std::string(16, '\0'), nullptr, "unrecognized"},
        {head(71), nullptr, "unrecognized"}, {head(80), nullptr, "unrecognized"},  // low bytes 'G' and 'P'
        {"\x08\x07\x12\x07pytorch" + std::string(5, 'x'), nullptr, "ONNX"},  // 0x08 as head(8) starts
        {"PK" + std::string(14, '\0'), nullptr, "pytorch_bin"},
        {std::string("GGUF") + std::string(12, '\0'), "awq", "GGUF"},  // the head bytes win
        {head(0), R"({"quant_method": "awq"})", "AWQ"}, {head(0), R"({"AWQ": 1})", "AWQ"},
        {head(0), R"({"a": "gptq", "b": "awq"})", "AWQ"}, {head(0), R"({"quant_method": "GPTQ"})", "GPTQ"},
        {head(0), R"({"quant_method": "Awq"})", "unrecognized"}, {head(0), "awq garbage", "AWQ"},
        {head(0), "awq \xff", "error: stream did not contain valid UTF-8"}};
    for (const auto& [bytes, config, expected] : cases) {
        TempDir dir;
        write_file(dir.file("model"), bytes);
        if (config) write_file(dir.file("config.json"), config);
        EXPECT_EQ(detect(dir.file("model")), expected == "unrecognized" ? kUnrecognized + dir.file("model") : expected)
            << ::testing::PrintToString(bytes) << " / " << (config ? config : "no config");
    }
}

TEST(Detect, MissingFileConfigDirectoryAndALossyPath) {
    TempDir dir;
    EXPECT_EQ(detect(dir.file("absent")), "error: No such file or directory (os error 2)");
    write_file(dir.file("caf\xe9.bin"), head(10'000'000));
    EXPECT_EQ(detect(dir.file("caf\xe9.bin")), kUnrecognized + dir.file("caf\xef\xbf\xbd.bin"));
    std::filesystem::create_directory(dir.file("config.json"));
    EXPECT_EQ(detect(dir.file("caf\xe9.bin")), "error: Is a directory (os error 21)");
}

// ---- the loaders ---------------------------------------------------------------------------------------

TEST(Loaders, AWQOnANonSafetensorsFileReportsTheSafetensorsError) {
    TempDir dir;
    write_file(dir.file("config.json"), "awq");
    write_file(dir.file("model.bin"), head(1ull << 40));
    auto loader = auto_detect_format(dir.file("model.bin"));
    ASSERT_TRUE(loader);
    EXPECT_EQ((*loader)->load_metadata(dir.file("model.bin")).error().message(), "failed to fill whole buffer");
}

TEST(Loaders, MissingFile) {
    TempDir dir;
    const std::string gguf = "Failed to open GGUF file: ", st = "Failed to open safetensors: ";
    const std::pair<std::unique_ptr<FormatLoader>, std::string> cases[] = {
        {std::make_unique<GGUFLoader>(), gguf}, {std::make_unique<SafetensorsLoader>(), st},
        {std::make_unique<AWQLoader>(), st}, {std::make_unique<GPTQLoader>(), st}};
    for (const auto& [loader, prefix] : cases) {
        auto m = loader->moe_metadata(dir.file("absent"));  // load_metadata's error, unchanged
        ASSERT_FALSE(m);
        EXPECT_EQ(m.error().message(), prefix + dir.file("absent"));
        ASSERT_NE(m.error().cause(), nullptr);
        EXPECT_EQ(m.error().cause()->message(), "No such file or directory (os error 2)");
        EXPECT_FALSE(loader->iter_layers(dir.file("absent"))->next());
    }
}

TEST(Loaders, LengthsTheFileHoldsButMemoryCannotAreErrors) {
    // Sparse files of 1 TiB: an announced length passes the file-size check, so only the allocation can refuse it.
    TempDir dir;
    const uint64_t size = 1ull << 40;
    const std::string gguf = GGUFBuilder().kv("k", kString, Bytes().u64(size - 64).buf).build();
    if (!write_sparse_file(dir.file("m.gguf"), gguf, size) ||
        !write_sparse_file(dir.file("m.st"), Bytes().u64(size - 8).buf, size))
        GTEST_SKIP() << "no sparse files, or overcommit mode 1";
    EXPECT_EQ(GGUFLoader().load_metadata(dir.file("m.gguf")).error().message(),
              "GGUF string of 1099511627712 bytes is too large to hold in memory");
    EXPECT_EQ(SafetensorsLoader().load_metadata(dir.file("m.st")).error().message(),
              "Safetensors header of 1099511627768 bytes is too large to hold in memory");
}

// ---- inputs that are not regular files -----------------------------------------------------------------

// A FIFO would block the open (no writer) or the read; a device never ends. Should either come back, the
// alarm ends the test binary instead of leaving it hanging.
namespace {
struct HangGuard {
    HangGuard() { alarm(60); }
    ~HangGuard() { alarm(0); }
};
}  // namespace

// Every Python entry point is shown refusing these paths (tests/python/test_input_files.py); that goes
// through detection first, which leaves the loaders' own refusals to be shown here.
TEST(NonRegularFiles, EveryLoaderFailsWithTheRefusalAndNothingBlocks) {
    HangGuard guard;
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero"));
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("fifo"), "Not a regular file (a FIFO): " + dir.file("fifo")},
        {dir.file("zero"), "Not a regular file (a character device): " + dir.file("zero")},
        {dir.path().string(), "Is a directory (os error 21)"}};
    const std::unique_ptr<FormatLoader> loaders[] = {std::make_unique<GGUFLoader>(),
                                                     std::make_unique<SafetensorsLoader>()};
    for (const auto& [path, message] : cases) {
        for (const auto& loader : loaders) {
            EXPECT_EQ(loader->load_metadata(path).error().message(), message) << loader->format_name();
            EXPECT_FALSE(loader->iter_layers(path)->next()) << loader->format_name();
        }
    }
}

TEST(NonRegularFiles, AnIteratorWhoseFileBecomesAFifoFailsAtTheNextStep) {
    HangGuard guard;
    TempDir dir;
    const std::string path = dir.file("m");
    const std::pair<std::unique_ptr<FormatLoader>, std::string> cases[] = {
        {std::make_unique<GGUFLoader>(),
         GGUFBuilder().tensor("a", {1}, 0, f32_bytes({1})).tensor("b", {1}, 0, f32_bytes({2})).build()},
        {std::make_unique<SafetensorsLoader>(),
         safetensors_bytes(st_header({st_entry("a", "F32", "[1]", 0, 4), st_entry("b", "F32", "[1]", 4, 8)}),
                           f32_bytes({1, 2}))}};
    for (const auto& [loader, bytes] : cases) {
        write_file(path, bytes);
        auto it = loader->iter_layers(path);
        EXPECT_EQ((*it->next())->name, "a");
        std::filesystem::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // each step reopens the file
        EXPECT_EQ(it->next()->error().message(), "Not a regular file (a FIFO): " + path);
        std::filesystem::remove(path);
    }
}

// config.json is a few kilobytes; one of exactly 16 MiB is still read (a sparse file: nothing big is written).
TEST(NonRegularFiles, ConfigJsonOf16MiBIsRead) {
    TempDir dir;
    write_file(dir.file("model.bin"), std::string(16, '\0'));
    write_file(dir.file("config.json"), R"({"quant_method":"awq"})");
    ASSERT_EQ(truncate(dir.file("config.json").c_str(), 16 << 20), 0);
    EXPECT_EQ(detect(dir.file("model.bin")), "AWQ");
}
