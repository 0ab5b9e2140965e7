// The LLaMA runtime's GGUF tensor directory: layout, defaults, metadata hints and damaged files.
// Test files are built byte by byte with the small writer below.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "inference/session.hpp"

using namespace quillfen;

namespace {

// Metadata value type codes.
enum : uint32_t { U8 = 0, I8, U16, I16, U32, I32, F32, BOOL, STRING, ARRAY, U64, I64, F64 };

struct GGUFBytes {
    std::vector<uint8_t> bytes;

    GGUFBytes& raw(const void* p, size_t n) {
        bytes.insert(bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        return *this;
    }
    template <class T>
    GGUFBytes& le(T v) { return raw(&v, sizeof v); }  // the tests run on little-endian hosts
    GGUFBytes& str(std::string_view s) { return le<uint64_t>(s.size()).raw(s.data(), s.size()); }
    GGUFBytes& header(uint64_t tensors, uint64_t kvs, uint32_t magic = 0x46554747, uint32_t version = 3) {
        return le(magic).le(version).le(tensors).le(kvs);
    }
    template <class T>
    GGUFBytes& kv(std::string_view key, uint32_t type, T value) { return str(key).le(type).le(value); }
    GGUFBytes& kv_string(std::string_view key, std::string_view value) { return str(key).le(STRING).str(value); }
    GGUFBytes& tensor(std::string_view name, const std::vector<uint64_t>& dims, uint32_t dtype, uint64_t offset) {
        str(name).le<uint32_t>(dims.size());
        for (uint64_t d : dims) le(d);
        return le(dtype).le(offset);
    }
    GGUFBytes& pad_to_32() {
        bytes.resize((bytes.size() + 31) / 32 * 32, 0);
        return *this;
    }
    GGUFBytes& floats(const std::vector<float>& values) { return raw(values.data(), values.size() * 4); }
};

// Opens `bytes` from a temporary file (the directory reads everything while opening).
Result<InferenceSession> open_bytes(const std::vector<uint8_t>& bytes, uint64_t budget = machine_memory_bytes()) {
    const std::string path = ::testing::TempDir() + "quillfen_dir_" + std::to_string(::getpid()) + ".gguf";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    auto session = InferenceSession::open_with_budget(path, budget);
    std::filesystem::remove(path);
    return session;
}

// Error text of a failed open, or "ok".
std::string outcome(const Result<InferenceSession>& r) { return r ? "ok" : r.error().message(); }

// Opens `f`, which must succeed.
InferenceSession open_ok(const GGUFBytes& f) {
    auto s = open_bytes(f.bytes);
    EXPECT_TRUE(s) << outcome(s);
    return s ? std::move(*s) : InferenceSession{};
}

using Floats = std::vector<float>;

}  // namespace

// ---- layout ------------------------------------------------------------------------------------

TEST(TensorDirectory, DataSectionStartsAtTheNextMultipleOf32AfterTheRecords) {
    for (auto [records_end, data_start] : {std::pair<size_t, size_t>{100, 128}, {128, 128}, {97, 128}, {129, 160}}) {
        // Header (24 bytes) and one record of one dimension (32 bytes + the name) end at `records_end`.
        const std::string name(records_end - 56, 'n');
        GGUFBytes f;
        f.header(1, 0).tensor(name, {2}, 0, 0);
        ASSERT_EQ(f.bytes.size(), records_end);
        while (f.bytes.size() < data_start) f.floats({-1.0f});  // decoys wherever a wrong start could land
        f.bytes.resize(data_start, 0xAA);
        f.floats({3.5f, 4.5f, -2.0f, -2.0f});
        EXPECT_EQ(open_ok(f).get_tensor_any(name), (Floats{3.5f, 4.5f})) << records_end;
    }
}

TEST(TensorDirectory, TensorEndingAtTheFileEndIsReadOnePastBecomesZeros) {
    GGUFBytes f;
    f.header(3, 0)
        .tensor("exact", {3}, 0, 3)        // bytes 3 to 14 of a 15-byte data section
        .tensor("past", {3}, 0, 4)         // one byte past the end
        .tensor("far", {5}, 1, ~0ull - 3)  // offset wraps when added to the data start
        .pad_to_32()
        .raw("\x7F\x7F\x7F", 3)
        .floats({1.0f, 2.0f, 3.0f});
    const InferenceSession s = open_ok(f);
    EXPECT_EQ(s.get_tensor_any("exact"), (Floats{1.0f, 2.0f, 3.0f}));
    EXPECT_EQ(s.get_tensor_any("past"), Floats(3, 0.0f));
    EXPECT_EQ(s.get_tensor_any("far"), Floats(5, 0.0f));
}

TEST(TensorDirectory, TypesAreSizedByTheTableAndDimensionlessTensorsHoldOneBlock) {
    uint8_t q8[34] = {0x00, 0x40, 0xFD};  // d = 2.0, qs[0] = -3
    GGUFBytes f;  // odd magic and version, and a name that is not UTF-8: all read as they are
    f.header(3, 0, 0x04034b50, 0xFFFFFFFF).tensor("a\xFF" "b", {}, 0, 0).tensor("odd", {3}, 77, 4);
    f.tensor("q8", {}, 8, 32).pad_to_32().floats({6.25f}).raw("\x01\x02\x03\x04\x05\x06", 6);
    f.pad_to_32().raw(q8, sizeof q8);  // the file ends with the block: a longer size would miss it
    const InferenceSession s = open_ok(f);
    EXPECT_EQ(s.get_tensor_any("a\xEF\xBF\xBD" "b"), (Floats{6.25f}));
    EXPECT_EQ(s.get_tensor_any("odd"), Floats(3, 0.0f));  // code 77: 2 bytes an element, decoded as zeros
    EXPECT_EQ(s.get_tensor_any("q8"), (Floats{-6.0f}));
    EXPECT_EQ(compute_data_size(200, 3), 6u);
    EXPECT_EQ(compute_data_size(0, 1ull << 62), UINT64_MAX);  // saturates instead of wrapping
}

TEST(TensorDirectory, LaterRecordOfTheSameNameWinsAndGivesBackItsBudget) {
    GGUFBytes f;
    f.header(3, 0).tensor("w", {4}, 0, 0).tensor("w", {4}, 0, 0).tensor("w", {1}, 0, 16).pad_to_32();
    auto s = open_bytes(f.floats({1, 2, 3, 4, 9}).bytes, 32);  // 16 + 16 + 4 bytes if nothing were returned
    ASSERT_TRUE(s) << outcome(s);
    EXPECT_EQ(s->tensors().size(), 1u);
    EXPECT_EQ(s->get_tensor_any("w"), (Floats{9.0f}));

    GGUFBytes g;  // three 4-float tensors: 48 bytes as float32
    g.header(3, 0).tensor("a", {4}, 0, 0).tensor("b", {4}, 0, 0).tensor("c", {4}, 1, 0).pad_to_32().floats({1, 2});
    EXPECT_EQ(outcome(open_bytes(g.bytes, 48)), "ok");
    EXPECT_EQ(outcome(open_bytes(g.bytes, 47)),
              "Tensor 'c' (4 elements) does not fit in memory as float32: the tensors would need more than 47 bytes");
}

TEST(TensorDirectory, LookupsDefaultAndCopy) {
    GGUFBytes f;
    const InferenceSession s = open_ok(f.header(1, 0).tensor("present", {10}, 0, 0).pad_to_32().floats(Floats(10, 2)));
    EXPECT_EQ(s.get_tensor("blk.0.attn_norm.weight", 4), Floats(4, 1.0f));
    EXPECT_EQ(s.get_tensor("output_normal", 2), Floats(2, 1.0f));  // "norm" anywhere
    EXPECT_EQ(s.get_tensor("blk.0.attn_q.weight", 4), Floats(4, 0.0f));
    EXPECT_EQ(s.get_tensor("present", 16), Floats(10, 2.0f));  // as stored, not resized
    EXPECT_TRUE(s.get_tensor_any("missing").empty());

    const std::string absent = ::testing::TempDir() + "quillfen_absent.gguf";
    EXPECT_EQ(outcome(InferenceSession::open(absent)), "Failed to open: " + absent);
    EXPECT_EQ(outcome(InferenceSession::open(::testing::TempDir())), "Is a directory (os error 21)");
}

// ---- metadata ----------------------------------------------------------------------------------

TEST(TensorDirectory, EveryValueTypeIsSkippedIncludingDeeplyNestedArrays) {
    GGUFBytes f;
    f.header(1, 14)
        .kv<uint8_t>("u8", U8, 1).kv<int8_t>("i8", I8, -1).kv<uint16_t>("u16", U16, 2).kv<int16_t>("i16", I16, -2)
        .kv<uint32_t>("u32", U32, 3).kv<int32_t>("i32", I32, -3).kv<float>("f32", F32, 1.5f)
        .kv<uint8_t>("bool", BOOL, 1).kv_string("str", "text").kv<uint64_t>("u64", U64, 4)
        .kv<int64_t>("i64", I64, -4).kv<double>("f64", F64, 2.5);
    // An array of two arrays, [u16 x3] and [string x3], then arrays nested past any call stack's depth.
    f.str("nested").le(ARRAY).le(ARRAY).le<uint64_t>(2);
    f.le(U16).le<uint64_t>(3).le<uint16_t>(1).le<uint16_t>(2).le<uint16_t>(3);
    f.le(STRING).le<uint64_t>(3).str("<s>").str("deep").str("");
    f.str("deep").le(ARRAY);
    for (int i = 0; i < 300000; ++i) f.le(ARRAY).le<uint64_t>(1);
    f.le(U8).le<uint64_t>(0).tensor("t", {2}, 0, 0).pad_to_32().floats({5.0f, 6.0f});
    EXPECT_EQ(open_ok(f).get_tensor_any("t"), (Floats{5.0f, 6.0f}));
}

// Hints from a file holding only the metadata entries `kvs`.
LlamaHints hints_of(uint64_t count, const GGUFBytes& kvs) {
    GGUFBytes f;
    return open_ok(f.header(0, count).raw(kvs.bytes.data(), kvs.bytes.size())).hints();
}

TEST(TensorDirectory, OnlyPositive32And64BitIntegersAreHeadCounts) {
    struct Case {
        uint32_t type;
        uint64_t bits;  // little-endian value bytes, `width` of them
        int width;
        std::optional<uint64_t> head_count;
    };
    for (const Case& c : {Case{U32, 32, 4, 32}, Case{I32, 32, 4, 32}, Case{U64, 1ull << 33, 8, 1ull << 33},
                          Case{I64, 12, 8, 12}, Case{U32, 0, 4, {}}, Case{I32, 0xFFFFFFFF, 4, {}},
                          Case{I64, ~0ull, 8, {}}, Case{U16, 8, 2, {}}, Case{F32, 0x41000000, 4, {}}}) {
        GGUFBytes kvs;
        kvs.kv_string("general.architecture", "llama").str("llama.attention.head_count").le(c.type);
        EXPECT_EQ(hints_of(2, kvs.raw(&c.bits, c.width)).head_count, c.head_count) << c.type << " " << c.bits;
    }
}

TEST(TensorDirectory, HintsAreTheLastEntryOfEachKeyUnderTheLastArchitecture) {
    GGUFBytes f;
    f.kv<uint32_t>("qwen.attention.head_count", U32, 3)  // another architecture's key
        .kv<int64_t>("mistral.attention.head_count", I64, 9)
        .kv<uint32_t>("mistral.attention.head_count_kv", U32, 0)  // zero kv heads would divide by zero
        .kv<float>("mistral.rope.freq_base", F32, 1e6f)
        .kv<float>("mistral.attention.layer_norm_rms_epsilon", F32, 1e-6f)
        .kv_string("general.architecture", "mistral");  // after its keys
    const LlamaHints h = hints_of(6, f);
    EXPECT_EQ(h.head_count, 9u);
    EXPECT_FALSE(h.head_count_kv);
    EXPECT_EQ(h.rope_freq_base, 1e6f);
    EXPECT_EQ(h.rms_epsilon, 1e-6f);

    GGUFBytes g;
    g.kv_string("general.architecture", "llama")
        .kv<double>("llama.rope.freq_base", F64, 1e6)                     // f64 is not f32
        .kv<uint32_t>("llama.attention.layer_norm_rms_epsilon", U32, 1)  // nor an integer
        .kv<uint32_t>("llama.attention.head_count", U32, 4)
        .kv<uint32_t>("llama.attention.head_count", U32, 6)
        .kv<uint32_t>("llama.attention.head_count_kv", U32, 4)
        .kv_string("llama.attention.head_count_kv", "8");  // replaces the 4
    const LlamaHints l = hints_of(7, g);
    EXPECT_EQ(l.head_count, 6u);
    EXPECT_FALSE(l.rope_freq_base || l.rms_epsilon || l.head_count_kv);
    EXPECT_FALSE(hints_of(8, g.kv<uint64_t>("general.architecture", U64, 7)).head_count);  // no longer a string
}

// ---- damaged and hostile files -----------------------------------------------------------------

TEST(TensorDirectory, EveryTruncationBeforeTheDataFailsAsAShortRead) {
    GGUFBytes f;
    f.header(2, 3).kv_string("general.architecture", "llama").kv<uint32_t>("llama.attention.head_count", U32, 4);
    f.str("tokens").le(ARRAY).le(STRING).le<uint64_t>(2).str("a").str("bc");
    f.tensor("a", {2}, 0, 0).tensor("b", {1, 2}, 1, 8);
    const size_t records_end = f.bytes.size();
    f.pad_to_32().floats({1.0f, 2.0f}).le<uint16_t>(0x3C00).le<uint16_t>(0x4000);  // b = {1, 2} as halves
    for (size_t cut = 0; cut < records_end; ++cut)
        EXPECT_EQ(outcome(open_bytes({f.bytes.begin(), f.bytes.begin() + cut})), "failed to fill whole buffer")
            << "cut at " << cut;
    EXPECT_EQ(open_ok(f).get_tensor_any("b"), (Floats{1.0f, 2.0f}));
}

TEST(TensorDirectory, HostileCountsAndLengthsAreCheckedAgainstTheFile) {
    const std::string eof = "failed to fill whole buffer";
    const auto too_big = [](const char* elements) {
        return "Tensor 't' (" + std::string(elements) + " elements) does not fit in memory as float32: the tensors "
               "would need more than " + std::to_string(machine_memory_bytes()) + " bytes";
    };
    const std::pair<GGUFBytes, std::string> cases[] = {
        {GGUFBytes().header(1ull << 62, 0).tensor("t", {1}, 0, 0), eof},
        {GGUFBytes().header(0, ~0ull).kv<uint8_t>("k", U8, 1), eof},
        {GGUFBytes().header(0, 1).le<uint64_t>(1ull << 62).le<uint32_t>(0), eof},  // key length
        {GGUFBytes().header(1, 1).str("k").le(STRING).le<uint64_t>(~0ull), eof},
        {GGUFBytes().header(1, 1).str("general.architecture").le(STRING).le<uint64_t>(1ull << 60), eof},
        {GGUFBytes().header(1, 1).str("k").le(ARRAY).le(U64).le<uint64_t>(1ull << 62), eof},
        {GGUFBytes().header(0, 1).str("k").le(ARRAY).le(STRING).le<uint64_t>(~0ull), eof},
        {GGUFBytes().header(1, 0).le<uint64_t>(1ull << 61), eof},                           // name length
        {GGUFBytes().header(1, 0).str("t").le<uint32_t>(0xFFFFFFFF).le<uint64_t>(1), eof},  // dimension count
        // Skipping past the end is no failure in itself: only a later read fails.
        {GGUFBytes().header(0, 1).str("k").le(STRING).le<uint64_t>(1ull << 60), "ok"},
        {GGUFBytes().header(0, 1).str("k").le(13u).le<uint32_t>(0), "Unknown GGUF value type: 13"},
        {GGUFBytes().header(0, 1).str("k").le(ARRAY).le(~0u).le<uint64_t>(1).le<uint32_t>(0),
         "Unknown GGUF value type: 4294967295"},
        {GGUFBytes().header(0, 1).str("k").le(ARRAY).le(13u).le<uint64_t>(0), "ok"},  // no element has the type
        {GGUFBytes().header(1, 0).tensor("t", {1ull << 32, 1ull << 32}, 0, 0),
         "Tensor 't' has more elements than a 64-bit count can hold"},
        {GGUFBytes().header(1, 0).tensor("t", {1ull << 46}, 0, 0), too_big("70368744177664")},
        {GGUFBytes().header(1, 0).tensor("t", {1ull << 62, 2}, 0, 0), too_big("9223372036854775808")},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(outcome(open_bytes(cases[i].first.bytes)), cases[i].second) << "case " << i;
}
