#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "format_fixtures.hpp"
#include "formats/gguf.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

// Opens `bytes` written to a fresh file, positioned at the start.
struct OpenBytes {
    TempDir dir;
    File file;
    explicit OpenBytes(std::string_view bytes) : file(open(dir, bytes)) {}
    static File open(const TempDir& dir, std::string_view bytes) {
        write_file(dir.file("v.bin"), bytes);
        return std::move(*File::open(dir.file("v.bin")));
    }
};

Result<GGUFValue> read_value_from(std::string_view bytes, uint32_t type) {
    OpenBytes f(bytes);
    return GGUFLoader::read_value(f.file, type);
}

std::string llama_file(GGUFBuilder b = {}) {
    return b.kv_str("general.architecture", "llama")
        .kv_u32("llama.block_count", 32)
        .kv_u32("llama.embedding_length", 4096)
        .kv_u32("llama.attention.head_count", 32)
        .kv_u32("llama.attention.head_count_kv", 8)
        .kv_u32("llama.vocab_size", 32000)
        .kv_u32("llama.context_length", 4096)
        .build();
}

Result<ModelMetadata> load(const TempDir& dir, std::string_view bytes) {
    write_file(dir.file("m.gguf"), bytes);
    return GGUFLoader().load_metadata(dir.file("m.gguf"));
}

}  // namespace

// ---- values ---------------------------------------------------------------------------------------

struct ScalarCase {
    uint32_t type;
    std::string bytes;
    GGUFValue expected;
};

class GGUFScalarValues : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(GGUFScalarValues, DecodeToTheVariantOfTheirCode) {
    const auto& c = GetParam();
    auto v = read_value_from(c.bytes, c.type);
    ASSERT_TRUE(v) << v.error().message();
    EXPECT_EQ(v->value.index(), c.type);
    EXPECT_TRUE(*v == c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFixedType, GGUFScalarValues,
    ::testing::Values(ScalarCase{kU8, "\xff", {uint8_t{255}}}, ScalarCase{kI8, "\xff", {int8_t{-1}}},
                      ScalarCase{kU16, Bytes().le<uint16_t>(65535).buf, {uint16_t{65535}}},
                      ScalarCase{kI16, Bytes().le<int16_t>(-2).buf, {int16_t{-2}}},
                      ScalarCase{kU32, Bytes().u32(4000000000u).buf, {uint32_t{4000000000u}}},
                      ScalarCase{kI32, Bytes().le<int32_t>(-5).buf, {int32_t{-5}}},
                      ScalarCase{kF32, Bytes().le<float>(1.5f).buf, {1.5f}},
                      ScalarCase{kBool, "\x02", {true}},  // any non-zero byte is true
                      ScalarCase{kBool, std::string(1, '\0'), {false}},
                      ScalarCase{kString, Bytes().str("h\xc3\xa9").buf, {std::string("h\xc3\xa9")}},
                      ScalarCase{kU64, Bytes().u64(1ull << 40).buf, {uint64_t{1} << 40}},
                      ScalarCase{kI64, Bytes().le<int64_t>(-7).buf, {int64_t{-7}}},
                      ScalarCase{kF64, Bytes().le<double>(0.25).buf, {0.25}}));

TEST(GGUFArrays, NestedArraysAndStringsKeepTheirOrder) {
    Bytes b;
    b.u32(kArray).u64(2);                                // outer: two arrays
    b.u32(kString).u64(2).str("a").str("bc");            // [a, bc]
    b.u32(kI16).u64(3).le<int16_t>(1).le<int16_t>(-1).le<int16_t>(7);
    auto v = read_value_from(b.buf, kArray);
    ASSERT_TRUE(v) << v.error().message();
    const auto& outer = std::get<GGUFValue::Array>(v->value);
    ASSERT_EQ(outer.size(), 2u);
    const auto& strings = std::get<GGUFValue::Array>(outer[0].value);
    EXPECT_EQ(std::get<std::string>(strings[1].value), "bc");
    const auto& shorts = std::get<GGUFValue::Array>(outer[1].value);
    ASSERT_EQ(shorts.size(), 3u);
    EXPECT_EQ(std::get<int16_t>(shorts[1].value), -1);
}

// ---- malformed values -------------------------------------------------------------------------------

struct BadValueCase {
    const char* label;
    uint32_t type;
    std::string bytes;
    std::string message;
};

class GGUFMalformedValues : public ::testing::TestWithParam<BadValueCase> {};

TEST_P(GGUFMalformedValues, FailWithTheDocumentedText) {
    const auto& c = GetParam();
    auto v = read_value_from(c.bytes, c.type);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, GGUFMalformedValues,
    ::testing::Values(
        BadValueCase{"value_type_13", 13, "", "Unknown GGUF value type: 13"},
        BadValueCase{"array_of_type_13", kArray, Bytes().u32(13).u64(1).buf, "Unknown GGUF value type: 13"},
        BadValueCase{"nested_array_of_type_99", kArray, Bytes().u32(kArray).u64(1).u32(99).u64(0).buf,
                     "Unknown GGUF value type: 99"},
        // Announced lengths far beyond the file: refused as a short read, nothing allocated for them.
        BadValueCase{"string_length_2e63", kString, Bytes().u64(1ull << 63).raw("abc").buf, "failed to fill whole buffer"},
        BadValueCase{"string_length_max", kString, Bytes().u64(UINT64_MAX).buf, "failed to fill whole buffer"},
        BadValueCase{"u8_array_count_2e62", kArray, Bytes().u32(kU8).u64(1ull << 62).raw("xy").buf,
                     "failed to fill whole buffer"},
        BadValueCase{"u64_array_count_wraps", kArray, Bytes().u32(kU64).u64(1ull << 61).u64(1).buf,
                     "failed to fill whole buffer"},
        BadValueCase{"string_array_count_max", kArray, Bytes().u32(kString).u64(UINT64_MAX).str("a").buf,
                     "failed to fill whole buffer"},
        BadValueCase{"empty_arrays_count_max", kArray, Bytes().u32(kArray).u64(UINT64_MAX).u32(kU8).u64(0).buf,
                     "failed to fill whole buffer"},
        BadValueCase{"truncated_u32", kU32, "\x01\x02", "failed to fill whole buffer"},
        BadValueCase{"invalid_utf8", kString, Bytes().str("ok\xff").buf, "Invalid UTF-8 in GGUF string"},
        BadValueCase{"invalid_utf8_in_array", kArray, Bytes().u32(kString).u64(2).str("a").str("\xc3").buf,
                     "Invalid UTF-8 in GGUF string"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(GGUFMalformedValues, InvalidUtf8KeepsTheDecodingErrorAsCause) {
    auto v = read_value_from(Bytes().str("ab\xe2\x82").buf, kString);
    ASSERT_FALSE(v);
    ASSERT_NE(v.error().cause(), nullptr);
    EXPECT_EQ(v.error().cause()->message(), "incomplete utf-8 byte sequence from index 2");
}

TEST(GGUFMalformedValues, DeeplyNestedArraysFailInsteadOfExhaustingTheStack) {
    Bytes b;
    for (int i = 0; i < 200000; ++i) b.u32(kArray).u64(1);
    b.u32(kU8).u64(0);
    auto v = read_value_from(b.buf, kArray);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), "GGUF arrays nested deeper than 64 levels");

    Bytes ok;  // 63 levels of arrays still read
    for (int i = 0; i < 62; ++i) ok.u32(kArray).u64(1);
    ok.u32(kU8).u64(1).u8(9);
    EXPECT_TRUE(read_value_from(ok.buf, kArray));
}

// ---- metadata ---------------------------------------------------------------------------------------

TEST(GGUFMetadata, LlamaRecord) {
    TempDir dir;
    const std::string bytes = llama_file();
    auto m = load(dir, bytes);
    ASSERT_TRUE(m) << m.error().message();
    EXPECT_EQ(m->architecture, "llama");
    EXPECT_EQ(m->format_name, "GGUF");
    EXPECT_EQ(m->num_layers, 32u);
    EXPECT_EQ(m->hidden_size, 4096u);
    EXPECT_EQ(m->num_attention_heads, 32u);
    EXPECT_EQ(m->num_kv_heads, 8u);
    EXPECT_EQ(m->vocab_size, 32000u);
    EXPECT_EQ(m->context_length, 4096u);
    EXPECT_EQ(m->file_size, bytes.size());
    EXPECT_EQ(m->dtype, DType::Float16);
    EXPECT_FALSE(m->moe);
    EXPECT_EQ(m->repr(), "ModelMetadata(arch='llama', layers=32, hidden=4096, format='GGUF')");
}

TEST(GGUFMetadata, NoEntriesGivesDefaults) {
    TempDir dir;
    const std::string bytes = Bytes().raw("GGUF").u32(3).u64(0).u64(0).buf;
    auto m = load(dir, bytes);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->architecture, "unknown");
    EXPECT_EQ(m->num_layers + m->hidden_size + m->num_attention_heads + m->vocab_size + m->context_length, 0u);
    EXPECT_EQ(m->file_size, 24u);
    EXPECT_FALSE(m->moe);
}

TEST(GGUFMetadata, ArchitectureOfAnotherTypeIsUnknownAndPrefixesTheKeys) {
    TempDir dir;
    auto m = load(dir, GGUFBuilder()
                           .kv("general.architecture", kArray, Bytes().u32(kU8).u64(0).buf)
                           .kv_u32("unknown.block_count", 5)
                           .kv_u32("llama.block_count", 7)
                           .build());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->architecture, "unknown");
    EXPECT_EQ(m->num_layers, 5u);
}

struct CountCase {
    const char* label;
    uint32_t type;
    std::string bytes;
    uint64_t expected;
};

class GGUFCountKeys : public ::testing::TestWithParam<CountCase> {};

TEST_P(GGUFCountKeys, OnlyU32I32AndU64CountAsUnsigned32Bit) {
    TempDir dir;
    const auto& c = GetParam();
    auto m = load(dir, GGUFBuilder().kv_str("general.architecture", "llama").kv("llama.block_count", c.type, c.bytes).build());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->num_layers, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    StoredTypes, GGUFCountKeys,
    ::testing::Values(CountCase{"u32", kU32, Bytes().u32(32).buf, 32}, CountCase{"u8_absent", kU8, "\x20", 0},
                      CountCase{"u16_absent", kU16, Bytes().le<uint16_t>(32).buf, 0},
                      CountCase{"i32_minus_one", kI32, Bytes().le<int32_t>(-1).buf, 4294967295u},
                      CountCase{"u64_low_bits", kU64, Bytes().u64(4294967328ull).buf, 32},
                      CountCase{"i64_absent", kI64, Bytes().le<int64_t>(32).buf, 0},
                      CountCase{"f32_absent", kF32, Bytes().le<float>(32).buf, 0},
                      CountCase{"string_absent", kString, Bytes().str("32").buf, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(GGUFMetadata, ExpertDefaults) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_u32("llama.expert_count", 8);
    auto m = load(dir, llama_file(b));
    ASSERT_TRUE(m && m->moe);
    EXPECT_EQ(*m->moe, (MoeMetadata{8, 8, 32, 4096, 16384}));
    EXPECT_EQ(m->repr(), "ModelMetadata(arch='llama', layers=32, hidden=4096, format='GGUF', moe=8/8 experts)");

    GGUFBuilder stored;
    stored.kv_u32("llama.expert_count", 8).kv_u32("llama.expert_used_count", 0).kv_u32("llama.expert_feed_forward_length", 0);
    m = load(dir, llama_file(stored));
    ASSERT_TRUE(m && m->moe);
    EXPECT_EQ(m->moe->num_active_experts, 0u);  // a stored 0 is kept
    EXPECT_EQ(m->moe->expert_intermediate_size, 16384u);

    GGUFBuilder none;
    none.kv_u32("llama.expert_count", 0).kv_u32("llama.expert_used_count", 2);
    m = load(dir, llama_file(none));
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->moe);
}

TEST(GGUFMetadata, RepeatedKeyTakesItsLastValue) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_u32("llama.block_count", 3);  // before the file's own block count of 32 ...
    auto m = load(dir, llama_file(b));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->num_layers, 32u);
    auto later = load(dir, GGUFBuilder().kv_str("general.architecture", "llama").kv_u32("llama.block_count", 32)
                               .kv_u32("llama.block_count", 3).build());
    ASSERT_TRUE(later);
    EXPECT_EQ(later->num_layers, 3u);  // ... and after it
}

TEST(GGUFMetadata, MoeMetadataIsTheRecordsMoePart) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_u32("llama.expert_count", 4).kv_u32("llama.expert_used_count", 2);
    write_file(dir.file("m.gguf"), llama_file(b));
    auto moe = GGUFLoader().moe_metadata(dir.file("m.gguf"));
    ASSERT_TRUE(moe && *moe);
    EXPECT_EQ((*moe)->num_active_experts, 2u);
    auto missing = GGUFLoader().moe_metadata(dir.file("absent.gguf"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "Failed to open GGUF file: " + dir.file("absent.gguf"));
}

// ---- malformed files ---------------------------------------------------------------------------------

TEST(GGUFMalformedFiles, MissingFileAndDirectory) {
    TempDir dir;
    auto m = GGUFLoader().load_metadata(dir.file("nope.gguf"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Failed to open GGUF file: " + dir.file("nope.gguf"));
    ASSERT_NE(m.error().cause(), nullptr);
    EXPECT_EQ(m.error().cause()->message(), "No such file or directory (os error 2)");

    m = GGUFLoader().load_metadata(dir.path().string());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Is a directory (os error 21)");
}

TEST(GGUFMalformedFiles, BadMagicPrintsEightHexDigits) {
    TempDir dir;
    auto m = load(dir, std::string("PK\x03\x04", 4) + std::string(40, '\0'));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Not a GGUF file: bad magic 04034b50");
    m = load(dir, std::string("\x01\0\0\0", 4) + std::string(40, '\0'));
    EXPECT_EQ(m.error().message(), "Not a GGUF file: bad magic 00000001");
}

TEST(GGUFMalformedFiles, EveryTruncationOfTheMetadataIsAShortRead) {
    TempDir dir;
    GGUFBuilder b;
    b.kv("general.architecture", kString, Bytes().str("llama").buf)
        .kv("tokens", kArray, Bytes().u32(kString).u64(2).str("<s>").str("</s>").buf)
        .kv("scores", kArray, Bytes().u32(kF32).u64(2).le<float>(0.f).le<float>(-1.f).buf)
        .kv("flag", kBool, "\x01")
        .kv_u64("llama.block_count", 2);
    const std::string full = b.build();
    ASSERT_TRUE(load(dir, full));
    for (uint64_t len = 0; len < b.metadata_end(); ++len) {
        auto m = load(dir, std::string_view(full).substr(0, len));
        ASSERT_FALSE(m) << "prefix of " << len << " bytes";
        EXPECT_EQ(m.error().message(), "failed to fill whole buffer") << "prefix of " << len << " bytes";
    }
}

TEST(GGUFMalformedFiles, HugeEntryCountEndsAtTheEndOfTheFile) {
    TempDir dir;
    std::string bytes = GGUFBuilder().kv_u32("a", 1).build();
    std::memcpy(bytes.data() + 16, "\xff\xff\xff\xff\xff\xff\xff\xff", 8);  // metadata_kv_count = 2^64-1
    auto m = load(dir, bytes);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "failed to fill whole buffer");
}

TEST(GGUFMalformedFiles, UnknownEntryTypeAndInvalidKey) {
    TempDir dir;
    auto m = load(dir, GGUFBuilder().kv("x", 13, "").build());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Unknown GGUF value type: 13");
    m = load(dir, GGUFBuilder().kv("bad\xc0key", kU8, "\x01").build());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Invalid UTF-8 in GGUF string");
}

TEST(GGUFArrays, FileOverloadsLeaveTheFileJustPastTheValue) {
    OpenBytes f(Bytes().str("tok").u32(kArray).u32(kString).u64(2).str("a").str("b").u8(0x7e).buf);
    auto key = GGUFLoader::read_string(f.file);
    ASSERT_TRUE(key);
    EXPECT_EQ(*key, "tok");
    auto code = f.file.read_le<uint32_t>();
    ASSERT_TRUE(code);
    ASSERT_TRUE(GGUFLoader::read_value(f.file, *code));
    EXPECT_EQ(f.file.read_le<uint8_t>().value(), 0x7e);
}

TEST(GGUFMalformedFiles, StringLengthTheFileHoldsButMemoryCannotIsAnError) {
    // A sparse file of 1 TiB: the announced length passes the file-size check, so only the allocation
    // can refuse it (skipped under "always overcommit", where the zero fill would really take the memory).
    std::ifstream mode("/proc/sys/vm/overcommit_memory");
    int overcommit = 1;
    if (!(mode >> overcommit) || overcommit == 1) GTEST_SKIP() << "overcommit mode 1";
    TempDir dir;
    const uint64_t size = 1ull << 40;
    write_file(dir.file("m.gguf"), GGUFBuilder().kv("k", kString, Bytes().u64(size - 64).buf).build());
    if (truncate(dir.file("m.gguf").c_str(), static_cast<off_t>(size)) != 0) GTEST_SKIP() << "no sparse files here";
    auto m = GGUFLoader().load_metadata(dir.file("m.gguf"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "GGUF string of " + std::to_string(size - 64) + " bytes is too large to hold in memory");
}
