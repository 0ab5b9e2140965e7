#include <gtest/gtest.h>

#include "format_fixtures.hpp"
#include "formats/gguf.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

// `bytes` written to a fresh file, opened at its start.
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
    return b.kv_str("general.architecture", "llama").kv_u32("llama.block_count", 32)
        .kv_u32("llama.embedding_length", 4096).kv_u32("llama.attention.head_count", 32)
        .kv_u32("llama.attention.head_count_kv", 8).kv_u32("llama.vocab_size", 32000)
        .kv_u32("llama.context_length", 4096).build();
}

Result<ModelMetadata> load(const TempDir& dir, std::string_view bytes) {
    write_file(dir.file("m.gguf"), bytes);
    return GGUFLoader().load_metadata(dir.file("m.gguf"));
}

const std::string kShort = "failed to fill whole buffer", kBadUtf8 = "Invalid UTF-8 in GGUF string";

template <class Case>
std::string label(const ::testing::TestParamInfo<Case>& info) { return info.param.label; }

}  // namespace

// ---- values ---------------------------------------------------------------------------------------

struct ScalarCase {
    uint32_t type;
    std::string bytes;
    GGUFValue expected;
};
class GGUFScalarValues : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(GGUFScalarValues, DecodeToTheVariantOfTheirCode) {
    auto v = read_value_from(GetParam().bytes, GetParam().type);
    ASSERT_TRUE(v) << v.error().message();
    EXPECT_EQ(v->value.index(), GetParam().type);
    EXPECT_TRUE(*v == GetParam().expected);
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
    b.u32(kArray).u64(2);                      // outer: two arrays
    b.u32(kString).u64(2).str("a").str("bc");  // [a, bc]
    b.u32(kI16).u64(3).le<int16_t>(1).le<int16_t>(-1).le<int16_t>(7);
    auto v = read_value_from(b.buf, kArray);
    ASSERT_TRUE(v) << v.error().message();
    using A = GGUFValue::Array;
    EXPECT_TRUE((*v == GGUFValue{A{GGUFValue{A{{std::string("a")}, {std::string("bc")}}},
                                    GGUFValue{A{{int16_t{1}}, {int16_t{-1}}, {int16_t{7}}}}}}));
}

TEST(GGUFArrays, FileOverloadsLeaveTheFileJustPastTheValue) {
    // The readers buffer ahead; the File overloads must hand the file back where the value ends.
    OpenBytes f(Bytes().str("tok").u32(kArray).u32(kString).u64(2).str("a").str("b").u8(0x7e).buf);
    EXPECT_EQ(GGUFLoader::read_string(f.file).value(), "tok");
    ASSERT_TRUE(GGUFLoader::read_value(f.file, f.file.read_le<uint32_t>().value()));
    EXPECT_EQ(f.file.read_le<uint8_t>().value(), 0x7e);
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
    auto v = read_value_from(GetParam().bytes, GetParam().type);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), GetParam().message);
    if (GetParam().message == kBadUtf8) EXPECT_NE(v.error().cause(), nullptr) << "the decoding error as cause";
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, GGUFMalformedValues,
    ::testing::Values(
        BadValueCase{"value_type_13", 13, "", "Unknown GGUF value type: 13"},
        BadValueCase{"array_of_type_13", kArray, Bytes().u32(13).u64(1).buf, "Unknown GGUF value type: 13"},
        BadValueCase{"array_of_type_4e9", kArray, Bytes().u32(4000000000u).u64(1).buf,
                     "Unknown GGUF value type: 4000000000"},
        BadValueCase{"nested_array_of_type_99", kArray, Bytes().u32(kArray).u64(1).u32(99).u64(0).buf,
                     "Unknown GGUF value type: 99"},
        // Announced lengths far beyond the file: refused as a short read, nothing allocated for them.
        BadValueCase{"string_length_2e63", kString, Bytes().u64(1ull << 63).raw("abc").buf, kShort},
        BadValueCase{"string_length_max", kString, Bytes().u64(UINT64_MAX).buf, kShort},
        BadValueCase{"u8_array_count_2e62", kArray, Bytes().u32(kU8).u64(1ull << 62).raw("xy").buf, kShort},
        BadValueCase{"u64_array_count_wraps", kArray, Bytes().u32(kU64).u64(1ull << 61).u64(1).buf, kShort},
        BadValueCase{"string_array_count_max", kArray, Bytes().u32(kString).u64(UINT64_MAX).str("a").buf, kShort},
        BadValueCase{"empty_arrays_count_max", kArray, Bytes().u32(kArray).u64(UINT64_MAX).u32(kU8).u64(0).buf,
                     kShort},
        BadValueCase{"truncated_u32", kU32, "\x01\x02", kShort},
        BadValueCase{"invalid_utf8", kString, Bytes().str("ok\xff").buf, kBadUtf8},
        BadValueCase{"surrogate", kString, Bytes().str("\xed\xa0\x80").buf, kBadUtf8},
        BadValueCase{"invalid_utf8_in_array", kArray, Bytes().u32(kString).u64(2).str("a").str("\xc3").buf,
                     kBadUtf8}),
    label<BadValueCase>);

TEST(GGUFMalformedValues, DeeplyNestedArraysFailInsteadOfExhaustingTheStack) {
    Bytes b;
    for (int i = 0; i < 200000; ++i) b.u32(kArray).u64(1);
    auto v = read_value_from(b.u32(kU8).u64(0).buf, kArray);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), "GGUF arrays nested deeper than 64 levels");

    Bytes ok;  // 63 levels still read
    for (int i = 0; i < 62; ++i) ok.u32(kArray).u64(1);
    EXPECT_TRUE(read_value_from(ok.u32(kU8).u64(1).u8(9).buf, kArray));
}

// ---- metadata ---------------------------------------------------------------------------------------

TEST(GGUFMetadata, LlamaRecordAndEmptyFile) {
    TempDir dir;
    const std::string bytes = llama_file();
    auto m = load(dir, bytes);
    ASSERT_TRUE(m) << m.error().message();
    EXPECT_EQ(*m, (ModelMetadata{.architecture = "llama", .format_name = "GGUF", .num_layers = 32,
                                 .hidden_size = 4096, .num_attention_heads = 32, .num_kv_heads = 8,
                                 .vocab_size = 32000, .context_length = 4096, .file_size = bytes.size()}));
    m = load(dir, Bytes().raw("GGUF").u32(3).u64(0).u64(0).buf);
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, (ModelMetadata{.format_name = "GGUF", .file_size = 24}));
}

TEST(GGUFMetadata, ArchitectureOfAnotherTypeIsUnknownAndPrefixesTheKeys) {
    TempDir dir;
    auto m = load(dir, GGUFBuilder().kv("general.architecture", kArray, Bytes().u32(kU8).u64(0).buf)
                           .kv_u32("unknown.block_count", 5).kv_u32("llama.block_count", 7).build());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->architecture, "unknown");
    EXPECT_EQ(m->num_layers, 5u);
}

TEST(GGUFMetadata, RepeatedKeyTakesItsLastValue) {
    TempDir dir;
    auto m = load(dir, GGUFBuilder().kv_str("general.architecture", "llama").kv_u32("llama.block_count", 32)
                           .kv_u32("llama.block_count", 3).build());
    EXPECT_EQ(m->num_layers, 3u);
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
    auto m = load(dir, GGUFBuilder().kv_str("general.architecture", "llama")
                           .kv("llama.block_count", GetParam().type, GetParam().bytes).build());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->num_layers, GetParam().expected);
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
    label<CountCase>);

TEST(GGUFMetadata, ExpertDefaultsAndMoeMetadata) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_u32("llama.expert_count", 8);
    auto m = load(dir, llama_file(b));
    ASSERT_TRUE(m && m->moe);
    EXPECT_EQ(*m->moe, (MoeMetadata{8, 8, 32, 4096, 16384}));

    GGUFBuilder zeros;  // a stored 0 of experts used is kept; a 0 feed-forward length takes the default
    zeros.kv_u32("llama.expert_count", 8).kv_u32("llama.expert_used_count", 0)
        .kv_u32("llama.expert_feed_forward_length", 0);
    write_file(dir.file("m.gguf"), llama_file(zeros));
    auto moe = GGUFLoader().moe_metadata(dir.file("m.gguf"));
    ASSERT_TRUE(moe && *moe);
    EXPECT_EQ(**moe, (MoeMetadata{8, 0, 32, 4096, 16384}));

    GGUFBuilder none;
    none.kv_u32("llama.expert_count", 0).kv_u32("llama.expert_used_count", 2);
    EXPECT_FALSE(load(dir, llama_file(none))->moe);
}

// ---- malformed files ---------------------------------------------------------------------------------

TEST(GGUFMalformedFiles, MissingFileAndDirectory) {
    TempDir dir;
    auto m = GGUFLoader().moe_metadata(dir.file("nope.gguf"));  // load_metadata's error, unchanged
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "Failed to open GGUF file: " + dir.file("nope.gguf"));
    ASSERT_NE(m.error().cause(), nullptr);
    EXPECT_EQ(m.error().cause()->message(), "No such file or directory (os error 2)");
    EXPECT_EQ(GGUFLoader().load_metadata(dir.path().string()).error().message(), "Is a directory (os error 21)");
}

struct BadFileCase {
    const char* label;
    std::string bytes;
    std::string message;
};
class GGUFMalformedFiles : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(GGUFMalformedFiles, FailWithTheDocumentedText) {
    TempDir dir;
    auto m = load(dir, GetParam().bytes);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, GGUFMalformedFiles,
    ::testing::Values(
        BadFileCase{"zip_magic", std::string("PK\x03\x04", 4) + std::string(40, '\0'), "Not a GGUF file: bad magic 04034b50"},
        BadFileCase{"entry_count_max", Bytes().raw("GGUF").u32(3).u64(0).u64(UINT64_MAX).str("a").u32(kU8).u8(1).buf,
                    kShort},
        BadFileCase{"key_length_2e62", Bytes().raw("GGUF").u32(3).u64(0).u64(1).u64(1ull << 62).raw("key").buf, kShort},
        BadFileCase{"entry_type_13", GGUFBuilder().kv("x", 13, "").build(), "Unknown GGUF value type: 13"},
        BadFileCase{"key_not_utf8", GGUFBuilder().kv("bad\xc0key", kU8, "\x01").build(), kBadUtf8}),
    label<BadFileCase>);

TEST(GGUFMalformedFiles, EveryTruncationOfTheMetadataIsAShortRead) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_str("general.architecture", "llama")
        .kv("tokens", kArray, Bytes().u32(kString).u64(2).str("<s>").str("</s>").buf)
        .kv("scores", kArray, Bytes().u32(kF32).u64(2).le<float>(0.f).le<float>(-1.f).buf)
        .kv("flag", kBool, "\x01")
        .kv_u64("llama.block_count", 2);
    const std::string full = b.build();
    ASSERT_EQ(load(dir, full)->num_layers, 2u);
    for (uint64_t len = 0; len < b.metadata_end(); ++len) {
        auto m = load(dir, std::string_view(full).substr(0, len));
        ASSERT_FALSE(m) << "prefix of " << len << " bytes";
        EXPECT_EQ(m.error().message(), kShort) << "prefix of " << len << " bytes";
    }
}

TEST(GGUFMalformedFiles, StringLengthTheFileHoldsButMemoryCannotIsAnError) {
    // 1 TiB, sparse: the announced length passes the file-size check, so only the allocation can refuse it.
    TempDir dir;
    const uint64_t size = 1ull << 40;
    if (!write_sparse_file(dir.file("m.gguf"), GGUFBuilder().kv("k", kString, Bytes().u64(size - 64).buf).build(), size))
        GTEST_SKIP() << "no sparse files, or overcommit mode 1";
    auto m = GGUFLoader().load_metadata(dir.file("m.gguf"));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().message(), "GGUF string of " + std::to_string(size - 64) + " bytes is too large to hold in memory");
}
