// The LLaMA runtime's GGUF tensor directory: layout, defaults, metadata hints and damaged files.
// Test files are built byte by byte with the small writer below, in a per-test temporary folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "inference/session.hpp"

using namespace quillfen;

namespace {

// Metadata value type codes.
enum : uint32_t { U8 = 0, I8, U16, I16, U32, I32, F32, BOOL, STRING, ARRAY, U64, I64, F64 };

class GGUFBytes {
public:
    GGUFBytes& raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    template <class T>
    GGUFBytes& le(T v) { return raw(&v, sizeof v); }  // the tests run on little-endian hosts
    GGUFBytes& str(std::string_view s) { return le<uint64_t>(s.size()).raw(s.data(), s.size()); }

    GGUFBytes& header(uint64_t tensor_count, uint64_t kv_count, uint32_t magic = 0x46554747, uint32_t version = 3) {
        return le(magic).le(version).le(tensor_count).le(kv_count);
    }
    template <class T>
    GGUFBytes& kv(std::string_view key, uint32_t type, T value) { return str(key).le(type).le(value); }
    GGUFBytes& kv_string(std::string_view key, std::string_view value) { return str(key).le(STRING).str(value); }
    GGUFBytes& kv_strings(std::string_view key, const std::vector<std::string>& values) {
        str(key).le(ARRAY).le(STRING).le<uint64_t>(values.size());
        for (const auto& v : values) str(v);
        return *this;
    }
    GGUFBytes& tensor(std::string_view name, const std::vector<uint64_t>& dims, uint32_t dtype, uint64_t offset) {
        str(name).le<uint32_t>(dims.size());
        for (uint64_t d : dims) le(d);
        return le(dtype).le(offset);
    }
    GGUFBytes& pad_to(size_t alignment, uint8_t fill = 0) {
        while (bytes.size() % alignment) bytes.push_back(fill);
        return *this;
    }
    GGUFBytes& floats(const std::vector<float>& values) { return raw(values.data(), values.size() * 4); }

    std::vector<uint8_t> bytes;
};

class TensorDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("quillfen_dir_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::vector<uint8_t>& bytes, const std::string& name = "model.gguf") {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    Result<InferenceSession> open_bytes(const std::vector<uint8_t>& bytes) { return InferenceSession::open(write(bytes)); }

    std::filesystem::path dir_;
};

// Error text of a failed open, or "ok".
std::string outcome(const Result<InferenceSession>& r) { return r ? "ok" : r.error().message(); }

const std::vector<float>& tensor_of(const InferenceSession& s, const std::string& name) {
    static const std::vector<float> missing;
    auto it = s.tensors().find(name);
    return it == s.tensors().end() ? missing : it->second;
}

}  // namespace

// ---- where the data section starts -------------------------------------------------------------

class DataSectionAlignment : public TensorDirectory, public ::testing::WithParamInterface<std::pair<size_t, size_t>> {};

TEST_P(DataSectionAlignment, StartsAtTheNextMultipleOf32AfterTheRecords) {
    const auto [records_end, data_start] = GetParam();
    // Header (24 bytes) and one record of one dimension (32 bytes + the name) end at `records_end`.
    GGUFBytes f;
    f.header(1, 0).tensor(std::string(records_end - 56, 'n'), {2}, 0, 0);
    ASSERT_EQ(f.bytes.size(), records_end);
    // Decoys fill every byte the reader could wrongly take for the data.
    while (f.bytes.size() < data_start) f.floats({-1.0f});
    f.bytes.resize(data_start, 0xAA);
    f.floats({3.5f, 4.5f}).floats({-2.0f, -2.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, std::string(records_end - 56, 'n')), (std::vector<float>{3.5f, 4.5f}));
}

INSTANTIATE_TEST_SUITE_P(RecordEnds, DataSectionAlignment,
                         ::testing::Values(std::pair<size_t, size_t>{100, 128}, std::pair<size_t, size_t>{128, 128},
                                           std::pair<size_t, size_t>{97, 128}, std::pair<size_t, size_t>{129, 160}),
                         [](const auto& info) { return "end" + std::to_string(info.param.first); });

// ---- tensor placement, sizes and names ---------------------------------------------------------

TEST_F(TensorDirectory, TensorEndingAtTheFileEndIsReadOnePastBecomesZeros) {
    GGUFBytes f;
    f.header(3, 0)
        .tensor("exact", {3}, 0, 3)        // bytes 3 to 14 of a 15-byte data section
        .tensor("past", {3}, 0, 4)         // one byte past the end
        .tensor("far", {5}, 1, ~0ull - 3)  // offset wraps when added to the data start
        .pad_to(32)
        .raw("\x7F\x7F\x7F", 3)
        .floats({1.0f, 2.0f, 3.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "exact"), (std::vector<float>{1.0f, 2.0f, 3.0f}));
    EXPECT_EQ(tensor_of(*s, "past"), std::vector<float>(3, 0.0f));
    EXPECT_EQ(tensor_of(*s, "far"), std::vector<float>(5, 0.0f));
}

TEST_F(TensorDirectory, LaterRecordOfTheSameNameWins) {
    GGUFBytes f;
    f.header(2, 0).tensor("w", {2}, 0, 0).tensor("w", {1}, 0, 8).pad_to(32).floats({1.0f, 2.0f, 9.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(s->tensors().size(), 1u);
    EXPECT_EQ(tensor_of(*s, "w"), (std::vector<float>{9.0f}));
}

TEST_F(TensorDirectory, DimensionlessTensorHasOneElementInOneBlock) {
    GGUFBytes f;
    f.header(2, 0).tensor("scalar", {}, 0, 0).tensor("q8", {}, 8, 32).pad_to(32).floats({6.25f});
    f.pad_to(32);
    std::vector<uint8_t> block(34, 0);
    block[1] = 0x40;  // d = 2.0
    block[2] = 0xFD;  // qs[0] = -3
    f.raw(block.data(), block.size());
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "scalar"), (std::vector<float>{6.25f}));
    EXPECT_EQ(tensor_of(*s, "q8"), (std::vector<float>{-6.0f}));
    EXPECT_EQ(compute_data_size(8, 1), 34u);
    EXPECT_EQ(compute_data_size(14, 257), 420u);
    EXPECT_EQ(compute_data_size(9, 33), 72u);
    EXPECT_EQ(compute_data_size(200, 3), 6u);
    EXPECT_EQ(compute_data_size(0, 1ull << 62), UINT64_MAX);  // saturates instead of wrapping
}

TEST_F(TensorDirectory, QuantisedAndUnknownTypesAreSizedByTheTableAndDecoded) {
    GGUFBytes f;
    std::vector<uint8_t> q4(18, 0);
    q4[1] = 0x3C;  // d = 1
    q4[2] = 0x1F;
    f.header(2, 0).tensor("q4", {32}, 2, 0).tensor("odd", {3}, 77, 18).pad_to(32);
    f.raw(q4.data(), q4.size());
    f.raw("\x01\x02\x03\x04\x05\x06", 6);  // code 77: three 2-byte elements, decoded as zeros
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    ASSERT_EQ(tensor_of(*s, "q4").size(), 32u);
    EXPECT_EQ(tensor_of(*s, "q4")[0], 7.0f);
    EXPECT_EQ(tensor_of(*s, "q4")[16], -7.0f);
    EXPECT_EQ(tensor_of(*s, "odd"), std::vector<float>(3, 0.0f));
}

TEST_F(TensorDirectory, AnyMagicAndVersionAreRead) {
    GGUFBytes f;
    f.header(1, 0, 0x04034b50, 0xFFFFFFFF).tensor("t", {1}, 0, 0).pad_to(32).floats({1.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "t"), (std::vector<float>{1.0f}));
}

TEST_F(TensorDirectory, InvalidUTF8NamesAreShownWithReplacementCharacters) {
    GGUFBytes f;
    f.header(1, 0).tensor("a\xFF" "b", {1}, 0, 0).pad_to(32).floats({1.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "a\xEF\xBF\xBD" "b").size(), 1u);
}

// ---- metadata is stepped over ------------------------------------------------------------------

TEST_F(TensorDirectory, EveryValueTypeIsSkippedIncludingNestedArraysOfStrings) {
    GGUFBytes f;
    f.header(1, 14)
        .kv<uint8_t>("u8", U8, 1).kv<int8_t>("i8", I8, -1).kv<uint16_t>("u16", U16, 2).kv<int16_t>("i16", I16, -2)
        .kv<uint32_t>("u32", U32, 3).kv<int32_t>("i32", I32, -3).kv<float>("f32", F32, 1.5f)
        .kv<uint8_t>("bool", BOOL, 1).kv_string("str", "text").kv<uint64_t>("u64", U64, 4)
        .kv<int64_t>("i64", I64, -4).kv<double>("f64", F64, 2.5)
        .kv_strings("tokenizer.ggml.tokens", {"<s>", "hello", ""});
    // An array of two arrays: [u16 x3] and [string x1].
    f.str("nested").le(ARRAY).le(ARRAY).le<uint64_t>(2);
    f.le(U16).le<uint64_t>(3).le<uint16_t>(1).le<uint16_t>(2).le<uint16_t>(3);
    f.le(STRING).le<uint64_t>(1).str("deep");
    f.tensor("t", {2}, 0, 0).pad_to(32).floats({5.0f, 6.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "t"), (std::vector<float>{5.0f, 6.0f}));
}

TEST_F(TensorDirectory, UnknownValueTypeIsNamed) {
    for (uint32_t bad : {13u, 100u, 0xFFFFFFFFu}) {
        GGUFBytes f;
        f.header(0, 1).str("k").le(bad).le<uint32_t>(0);
        EXPECT_EQ(outcome(open_bytes(f.bytes)), "Unknown GGUF value type: " + std::to_string(bad));
        GGUFBytes arr;
        arr.header(0, 1).str("k").le(ARRAY).le(bad).le<uint64_t>(1).le<uint32_t>(0);
        EXPECT_EQ(outcome(open_bytes(arr.bytes)), "Unknown GGUF value type: " + std::to_string(bad));
    }
    // An empty array never meets an element of its type.
    GGUFBytes empty;
    empty.header(0, 1).str("k").le(ARRAY).le(13u).le<uint64_t>(0);
    EXPECT_EQ(outcome(open_bytes(empty.bytes)), "ok");
}

TEST_F(TensorDirectory, DeeplyNestedArraysDoNotExhaustTheStack) {
    GGUFBytes f;
    constexpr int kDepth = 300000;
    f.header(1, 1).str("deep").le(ARRAY);
    for (int i = 0; i < kDepth; ++i) f.le(ARRAY).le<uint64_t>(1);
    f.le(U8).le<uint64_t>(0);
    f.tensor("t", {1}, 0, 0).pad_to(32).floats({1.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "t"), (std::vector<float>{1.0f}));
}

// ---- lookups ----------------------------------------------------------------------------------

TEST_F(TensorDirectory, GetTensorDefaultsAndCopies) {
    GGUFBytes f;
    f.header(1, 0).tensor("present", {10}, 0, 0).pad_to(32).floats(std::vector<float>(10, 2.0f));
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(s->get_tensor("blk.0.attn_norm.weight", 4), std::vector<float>(4, 1.0f));
    EXPECT_EQ(s->get_tensor("output_normal", 2), std::vector<float>(2, 1.0f));  // "norm" anywhere
    EXPECT_EQ(s->get_tensor("blk.0.attn_q.weight", 4), std::vector<float>(4, 0.0f));
    EXPECT_EQ(s->get_tensor("present", 16), std::vector<float>(10, 2.0f));  // as stored, not resized
    EXPECT_TRUE(s->get_tensor_any("missing").empty());
    EXPECT_EQ(s->get_tensor_any("present"), std::vector<float>(10, 2.0f));
}

TEST_F(TensorDirectory, OpenFailureNamesThePath) {
    const std::string path = (dir_ / "absent.gguf").string();
    EXPECT_EQ(outcome(InferenceSession::open(path)), "Failed to open: " + path);
    EXPECT_EQ(outcome(InferenceSession::open(dir_.string())), "Is a directory (os error 21)");  // fails at the first read
}

TEST_F(TensorDirectory, SkippingPastTheEndFailsOnlyAtTheNextRead) {
    GGUFBytes f;
    f.header(0, 1).str("k").le(STRING).le<uint64_t>(1ull << 60);  // nothing is read after it
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_TRUE(s->tensors().empty());
}

// ---- metadata hints ----------------------------------------------------------------------------

TEST_F(TensorDirectory, HintsReadUnderTheArchitecturePrefixInAnyOrder) {
    GGUFBytes f;
    f.header(1, 7)
        .kv<uint32_t>("qwen.attention.head_count", U32, 3)  // another architecture's key
        .kv<int64_t>("mistral.attention.head_count", I64, 9)
        .kv<int32_t>("mistral.attention.head_count_kv", I32, 3)
        .kv<float>("mistral.rope.freq_base", F32, 1e6f)
        .kv_strings("mistral.vocab", {"a"})
        .kv<float>("mistral.attention.layer_norm_rms_epsilon", F32, 1e-6f)
        .kv_string("general.architecture", "mistral")  // after its keys
        .tensor("t", {1}, 0, 0).pad_to(32).floats({1.0f});
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    const LlamaHints& h = s->hints();
    EXPECT_EQ(h.head_count, 9u);
    EXPECT_EQ(h.head_count_kv, 3u);
    EXPECT_EQ(h.rope_freq_base, 1e6f);
    EXPECT_EQ(h.rms_epsilon, 1e-6f);
    EXPECT_EQ(tensor_of(*s, "t"), (std::vector<float>{1.0f}));
}

struct HintCase {
    const char* label;
    uint32_t type;
    uint64_t bits;  // little-endian value bytes, `width` of them
    int width;
    std::optional<uint64_t> head_count;
};

class HeadCountTypes : public TensorDirectory, public ::testing::WithParamInterface<HintCase> {};

TEST_P(HeadCountTypes, OnlyPositive32And64BitIntegersCount) {
    const HintCase c = GetParam();
    GGUFBytes f;
    f.header(0, 3).kv_string("general.architecture", "llama").str("llama.attention.head_count").le(c.type);
    f.raw(&c.bits, c.width);
    f.kv<uint32_t>("llama.attention.head_count_kv", U32, 0);
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(s->hints().head_count, c.head_count);
    EXPECT_FALSE(s->hints().head_count_kv);  // zero kv heads would divide by zero downstream
}

INSTANTIATE_TEST_SUITE_P(
    Types, HeadCountTypes,
    ::testing::Values(HintCase{"u32", U32, 32, 4, 32}, HintCase{"i32", I32, 32, 4, 32},
                      HintCase{"u64", U64, 1ull << 33, 8, 1ull << 33}, HintCase{"i64", I64, 12, 8, 12},
                      HintCase{"u32_zero", U32, 0, 4, std::nullopt},
                      HintCase{"i32_negative", I32, 0xFFFFFFFF, 4, std::nullopt},
                      HintCase{"i64_negative", I64, ~0ull, 8, std::nullopt},
                      HintCase{"u16", U16, 8, 2, std::nullopt}, HintCase{"u8", U8, 8, 1, std::nullopt},
                      HintCase{"f32", F32, 0x41000000, 4, std::nullopt},
                      HintCase{"f64", F64, 0x4020000000000000, 8, std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TensorDirectory, HintsOfWrongTypesOrDuplicatedAreResolvedByTheLastEntry) {
    GGUFBytes f;
    f.header(0, 7)
        .kv_string("general.architecture", "llama")
        .kv<double>("llama.rope.freq_base", F64, 1e6)                      // f64 is not f32
        .kv<uint32_t>("llama.attention.layer_norm_rms_epsilon", U32, 1)   // nor an integer
        .kv<uint32_t>("llama.attention.head_count", U32, 4)
        .kv_string("llama.attention.head_count", "8")                     // replaces the 4
        .kv<uint32_t>("llama.attention.head_count_kv", U32, 2)
        .kv<uint64_t>("general.architecture", U64, 7);                    // no longer a string
    auto s = open_bytes(f.bytes);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_FALSE(s->hints().rope_freq_base);
    EXPECT_FALSE(s->hints().rms_epsilon);
    EXPECT_FALSE(s->hints().head_count);
    EXPECT_FALSE(s->hints().head_count_kv);  // the architecture is gone

    GGUFBytes g;
    g.header(0, 3)
        .kv_string("general.architecture", "llama")
        .kv<uint32_t>("llama.attention.head_count", U32, 4)
        .kv<uint32_t>("llama.attention.head_count", U32, 6);
    auto t = open_bytes(g.bytes);
    ASSERT_TRUE(t) << outcome(t);
    EXPECT_EQ(t->hints().head_count, 6u);
    EXPECT_FALSE(t->hints().rope_freq_base);

    GGUFBytes no_arch;  // without an architecture no key is taken
    no_arch.header(0, 2).kv<uint32_t>("llama.attention.head_count", U32, 8).kv<float>("llama.rope.freq_base", F32, 5.0f);
    auto u = open_bytes(no_arch.bytes);
    ASSERT_TRUE(u) << outcome(u);
    EXPECT_FALSE(u->hints().head_count);
    EXPECT_FALSE(u->hints().rope_freq_base);
}

// ---- damaged and hostile files -----------------------------------------------------------------

TEST_F(TensorDirectory, EveryTruncationBeforeTheDataFailsAsAShortRead) {
    GGUFBytes f;
    f.header(2, 3)
        .kv_string("general.architecture", "llama")
        .kv<uint32_t>("llama.attention.head_count", U32, 4)
        .kv_strings("tokens", {"a", "bc"})
        .tensor("a", {2}, 0, 0)
        .tensor("b", {1, 2}, 1, 8);
    const size_t records_end = f.bytes.size();
    f.pad_to(32).floats({1.0f, 2.0f}).le<uint16_t>(0x3C00).le<uint16_t>(0x4000);
    for (size_t cut = 0; cut < records_end; ++cut) {
        std::vector<uint8_t> prefix(f.bytes.begin(), f.bytes.begin() + cut);
        EXPECT_EQ(outcome(open_bytes(prefix)), "failed to fill whole buffer") << "cut at " << cut;
    }
    // Cut inside the data: whole tensors are read, the others become zeros.
    std::vector<uint8_t> head(f.bytes.begin(), f.bytes.end() - 1);
    auto s = open_bytes(head);
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(tensor_of(*s, "a"), (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(tensor_of(*s, "b"), (std::vector<float>{0.0f, 0.0f}));
    auto full = open_bytes(f.bytes);
    ASSERT_TRUE(full) << outcome(full);
    EXPECT_EQ(tensor_of(*full, "b"), (std::vector<float>{1.0f, 2.0f}));
}

struct HostileCase {
    const char* label;
    std::vector<uint8_t> bytes;
    std::string error;
};

std::vector<HostileCase> hostile_cases() {
    std::vector<HostileCase> cases;
    const auto add = [&](const char* label, GGUFBytes f, std::string error) {
        cases.push_back({label, std::move(f.bytes), std::move(error)});
    };
    const std::string eof = "failed to fill whole buffer";
    add("tensor_count", GGUFBytes().header(1ull << 62, 0).tensor("t", {1}, 0, 0), eof);
    add("kv_count", GGUFBytes().header(0, ~0ull).kv<uint8_t>("k", U8, 1), eof);
    add("key_length", GGUFBytes().header(0, 1).le<uint64_t>(1ull << 62).le<uint32_t>(0), eof);
    add("string_value_length", GGUFBytes().header(1, 1).str("k").le(STRING).le<uint64_t>(~0ull), eof);
    add("architecture_length", GGUFBytes().header(1, 1).str("general.architecture").le(STRING).le<uint64_t>(1ull << 60),
        eof);
    add("fixed_array_count", GGUFBytes().header(1, 1).str("k").le(ARRAY).le(U64).le<uint64_t>(1ull << 62), eof);
    add("string_array_count", GGUFBytes().header(0, 1).str("k").le(ARRAY).le(STRING).le<uint64_t>(~0ull), eof);
    add("name_length", GGUFBytes().header(1, 0).le<uint64_t>(1ull << 61), eof);
    add("dimension_count", GGUFBytes().header(1, 0).str("t").le<uint32_t>(0xFFFFFFFF).le<uint64_t>(1), eof);
    add("dims_overflow", GGUFBytes().header(1, 0).tensor("t", {1ull << 32, 1ull << 32}, 0, 0),
        "Tensor 't' has more elements than a 64-bit count can hold");
    add("zeros_beyond_memory", GGUFBytes().header(1, 0).tensor("t", {1ull << 46}, 0, 0),
        "Tensor 't' (70368744177664 elements) does not fit in memory as float32: the tensors would need more "
        "than " + std::to_string(machine_memory_bytes()) + " bytes");
    add("float_bytes_overflow", GGUFBytes().header(1, 0).tensor("t", {1ull << 62, 2}, 0, 0),
        "Tensor 't' (9223372036854775808 elements) does not fit in memory as float32: the tensors would need "
        "more than " + std::to_string(machine_memory_bytes()) + " bytes");
    return cases;
}

class HostileFile : public TensorDirectory, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileFile, FailsWithoutAllocatingWhatTheFileClaims) {
    const HostileCase& c = GetParam();
    EXPECT_EQ(outcome(open_bytes(c.bytes)), c.error);
}

INSTANTIATE_TEST_SUITE_P(Counts, HostileFile, ::testing::ValuesIn(hostile_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(TensorDirectory, FloatBudgetCountsAllTensorsAndReturnsReplacedOnes) {
    GGUFBytes f;  // three 4-float tensors: 48 bytes as float32
    f.header(3, 0).tensor("a", {4}, 0, 0).tensor("b", {4}, 0, 0).tensor("c", {4}, 1, 0);
    f.pad_to(32).floats({1, 2, 3, 4});
    const std::string path = write(f.bytes);
    EXPECT_EQ(outcome(InferenceSession::open_with_budget(path, 48)), "ok");
    EXPECT_EQ(outcome(InferenceSession::open_with_budget(path, 47)),
              "Tensor 'c' (4 elements) does not fit in memory as float32: the tensors would need more than 47 bytes");

    GGUFBytes dup;  // the same name three times: a replaced vector is freed, so 32 bytes suffice
    dup.header(3, 0).tensor("a", {4}, 0, 0).tensor("a", {4}, 0, 0).tensor("a", {4}, 0, 0);
    dup.pad_to(32).floats({1, 2, 3, 4});
    EXPECT_EQ(outcome(InferenceSession::open_with_budget(write(dup.bytes, "dup.gguf"), 32)), "ok");
}
