#include <gtest/gtest.h>

#include "format_fixtures.hpp"
#include "formats/awq.hpp"
#include "formats/gguf.hpp"
#include "formats/gptq.hpp"
#include "formats/safetensors.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

// Every item of the loader's iterator over `path`, items and error items alike.
std::vector<Result<LayerTensor>> drain(const FormatLoader& loader, const std::string& path) {
    auto it = loader.iter_layers(path);
    std::vector<Result<LayerTensor>> out;
    while (auto item = it->next()) out.push_back(std::move(*item));
    EXPECT_FALSE(it->next()) << "the end must stay the end";
    return out;
}

std::vector<std::string> names(const std::vector<Result<LayerTensor>>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item ? item->name : "error: " + item.error().message());
    return out;
}

std::vector<uint8_t> as_vec(std::string_view s) { return {s.begin(), s.end()}; }

std::string st_entry(std::string_view name, std::string_view dtype, std::string_view shape, uint64_t begin,
                     uint64_t end) {
    return "\"" + std::string(name) + "\":{\"dtype\":\"" + std::string(dtype) + "\",\"shape\":" + std::string(shape) +
           ",\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(end) + "]}";
}

}  // namespace

// ---- GGUF ---------------------------------------------------------------------------------------------

TEST(GGUFLayers, RecordOrderDtypesAndLayers) {
    TempDir dir;
    std::vector<float> values(32);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.5f;
    const std::string f32 = f32_bytes(values), f16(64, '\x3c'), q4_0(576, '\x11');  // Q4_0: 32 blocks of 18 bytes
    write_file(dir.file("m.gguf"), GGUFBuilder()
                                       .kv_str("general.architecture", "llama")
                                       .tensor("blk.12.attn_q.weight", {8, 4}, 0, f32)
                                       .tensor("token_embd.weight", {8, 4}, 1, f16)
                                       .tensor("blk.3.ffn_up.weight", {32, 32}, 2, q4_0)
                                       .build());
    auto items = drain(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(items.size(), 3u);
    for (auto& item : items) ASSERT_TRUE(item) << item.error().message();
    EXPECT_EQ(names(items), (std::vector<std::string>{"blk.12.attn_q.weight", "token_embd.weight", "blk.3.ffn_up.weight"}));
    EXPECT_EQ(items[0]->layer, 12u);
    EXPECT_EQ(items[0]->tensor.dtype, DType::Float32);
    EXPECT_EQ(items[0]->tensor.shape, (std::vector<uint64_t>{8, 4}));
    EXPECT_EQ(items[0]->tensor.data, as_vec(f32));
    EXPECT_EQ(items[1]->layer, 0u);
    EXPECT_EQ(items[1]->tensor.dtype, DType::Float16);
    EXPECT_EQ(items[1]->tensor.data, as_vec(f16));
    // Quantised data does not fit a packed 4-bit tensor of its shape: zeros stand in.
    EXPECT_EQ(items[2]->index, 2u);
    EXPECT_EQ(items[2]->tensor.dtype, DType::Int4);
    EXPECT_EQ(items[2]->tensor.data, std::vector<uint8_t>(512, 0));
}

TEST(GGUFLayers, DataSectionStartsAtTheNext32ByteBoundary) {
    TempDir dir;
    for (size_t pad = 0; pad < 32; ++pad) {  // the records end at every offset modulo 32
        GGUFBuilder b;
        b.tensor("t" + std::string(pad, '_'), {2}, 0, f32_bytes({1, 2}));
        write_file(dir.file("m.gguf"), b.build() + std::string(64, '\x7f'));
        auto items = drain(GGUFLoader(), dir.file("m.gguf"));
        ASSERT_TRUE(items.size() == 1 && items[0]) << pad;
        EXPECT_EQ(items[0]->tensor.data, as_vec(f32_bytes({1, 2}))) << pad;
    }
}

TEST(GGUFLayers, ErrorItemsKeepIndexContinuous) {
    TempDir dir;
    write_file(dir.file("m.gguf"), GGUFBuilder()
                                       .tensor("a", {2}, 0, f32_bytes({1, 2}))
                                       .tensor_at("past_end", {1024}, 0, 64)
                                       .tensor_at("offset_wraps", {1}, 0, UINT64_MAX - 8)
                                       .tensor_at("too_many_elems", {1ull << 40, 1ull << 40}, 0, 0)
                                       .tensor_at("empty", {1ull << 63, 1ull << 63, 0}, 2, 0)  // a 0 wins
                                       .tensor("b", {2}, 0, f32_bytes({3, 4}))
                                       .build());
    auto items = drain(GGUFLoader(), dir.file("m.gguf"));
    EXPECT_EQ(names(items), (std::vector<std::string>{
                                "a", "error: failed to fill whole buffer", "error: Invalid argument (os error 22)",
                                "error: Tensor 'too_many_elems' of shape [1099511627776, 1099511627776] and type 0 "
                                "is too large: its byte size overflows 64 bits",
                                "empty", "b"}));
    ASSERT_EQ(items.size(), 6u);
    EXPECT_TRUE(items[4]->tensor.data.empty());
    EXPECT_EQ(items[5]->index, 2u);
    EXPECT_EQ(items[5]->tensor.data, as_vec(f32_bytes({3, 4})));
}

TEST(GGUFLayers, IteratorsAreIndependentAndReadTheFileAsItIsNow) {
    TempDir dir;
    write_file(dir.file("m.gguf"),
               GGUFBuilder().tensor("x.1", {1}, 0, f32_bytes({1})).tensor("x.2", {1}, 0, f32_bytes({2})).build());
    auto a = GGUFLoader().iter_layers(dir.file("m.gguf"));
    auto b = GGUFLoader().iter_layers(dir.file("m.gguf"));
    EXPECT_EQ((*a->next())->name, "x.1");
    EXPECT_EQ((*a->next())->name, "x.2");
    EXPECT_FALSE(a->next());
    EXPECT_EQ((*b->next())->name, "x.1");
    std::filesystem::remove(dir.file("m.gguf"));  // each step reopens the file
    auto gone = b->next();
    ASSERT_TRUE(gone && !*gone);
    EXPECT_EQ(gone->error().message(), "No such file or directory (os error 2)");
}

TEST(GGUFLayers, EveryTruncationOfTheHeaderYieldsNothing) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_str("general.architecture", "llama")
        .kv("tokens", kArray, Bytes().u32(kString).u64(2).str("a").str("b").buf)
        .tensor("blk.0.w", {2, 2}, 0, f32_bytes({1, 2, 3, 4}))
        .tensor("blk.1.w", {4}, 1, std::string(8, '\0'));
    const std::string full = b.build();
    for (uint64_t len = 0; len < b.infos_end(); ++len) {
        write_file(dir.file("m.gguf"), std::string_view(full).substr(0, len));
        EXPECT_FALSE(GGUFLoader().iter_layers(dir.file("m.gguf"))->next()) << "prefix of " << len << " bytes";
    }
    write_file(dir.file("m.gguf"), full);
    EXPECT_EQ(drain(GGUFLoader(), dir.file("m.gguf")).size(), 2u);
}

struct HostileHeader {
    const char* label;
    std::string bytes;
};
class GGUFHostileHeaders : public ::testing::TestWithParam<HostileHeader> {};

TEST_P(GGUFHostileHeaders, YieldNothingAndReserveNothingLarge) {
    TempDir dir;
    write_file(dir.file("m.gguf"), GetParam().bytes);
    auto it = GGUFLayerIterator::open(dir.file("m.gguf"));
    EXPECT_TRUE(it->tensors().empty());
    EXPECT_FALSE(it->next());
}

const std::string kHead = Bytes().raw("GGUF").u32(3).buf;

INSTANTIATE_TEST_SUITE_P(
    Damaged, GGUFHostileHeaders,
    ::testing::Values(
        HostileHeader{"tensor_count_max", Bytes().raw(kHead).u64(UINT64_MAX).u64(0).str("t").u32(0).u32(0).u64(0).buf},
        HostileHeader{"dims_count_max", Bytes().raw(kHead).u64(1).u64(0).str("t").u32(UINT32_MAX).u64(1).buf},
        HostileHeader{"name_length_max", Bytes().raw(kHead).u64(1).u64(0).u64(UINT64_MAX).raw("t").buf},
        HostileHeader{"metadata_type_13", Bytes().raw(kHead).u64(1).u64(1).str("k").u32(13).buf},
        HostileHeader{"invalid_utf8_name", Bytes().raw(kHead).u64(1).u64(0).str("\xff").u32(0).u32(0).u64(0).buf},
        HostileHeader{"empty_file", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LayerIterators, MissingFileDirectoryAndHugeHeaderLengthYieldNothing) {
    TempDir dir;
    write_file(dir.file("m.st"), Bytes().u64(UINT64_MAX).raw("{}").buf);
    for (const std::string& path : {dir.file("absent"), dir.path().string(), dir.file("m.st")}) {
        EXPECT_TRUE(drain(GGUFLoader(), path).empty()) << path;
        EXPECT_TRUE(drain(SafetensorsLoader(), path).empty()) << path;
    }
}

// ---- safetensors -----------------------------------------------------------------------------------------

TEST(SafetensorsLayers, YieldedByBeginOffsetWhateverTheHeaderOrder) {
    TempDir dir;
    std::string data(4096 + 8, '\0');
    std::memcpy(data.data() + 0, f32_bytes({1, 2}).data(), 8);
    std::memcpy(data.data() + 1024, f32_bytes({3, 4}).data(), 8);
    std::memcpy(data.data() + 4096, f32_bytes({5, 6}).data(), 8);
    write_file(dir.file("m.st"), safetensors_bytes("{" + st_entry("z.0", "F32", "[2]", 0, 8) + "," +
                                                       st_entry("a.2", "F32", "[2]", 4096, 4104) +
                                                       R"(,"__metadata__":{"format":"pt"},"m.1":["F32",[2],[1024,1032]]})",
                                                   data));
    auto items = drain(SafetensorsLoader(), dir.file("m.st"));
    EXPECT_EQ(names(items), (std::vector<std::string>{"z.0", "m.1", "a.2"}));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1]->tensor.data, as_vec(f32_bytes({3, 4})));  // the array form of an entry
    EXPECT_EQ(items[2]->layer, 2u);
    EXPECT_EQ(items[2]->index, 2u);
}

TEST(SafetensorsLayers, EqualBeginOffsetsFollowNameOrder) {
    // Enough entries that an unstable sort would reorder the ties.
    TempDir dir;
    std::string header = "{";
    std::vector<std::string> expected;
    for (int i = 99; i >= 0; --i) {
        const std::string name = "t" + std::to_string(100 + i);
        header += (i == 99 ? "" : ",") + st_entry(name, "F32", "[0]", i % 2 == 0 ? 0 : 4, i % 2 == 0 ? 0 : 4);
    }
    for (int i = 0; i < 100; i += 2) expected.push_back("t" + std::to_string(100 + i));
    for (int i = 1; i < 100; i += 2) expected.push_back("t" + std::to_string(100 + i));
    write_file(dir.file("m.st"), safetensors_bytes(header + "}", std::string(4, '\0')));
    EXPECT_EQ(names(drain(SafetensorsLoader(), dir.file("m.st"))), expected);
}

struct ZeroCase {
    const char* label;
    std::string dtype, shape;
    uint64_t range;  // bytes covered by data_offsets
    DType expected_dtype;
    uint64_t expected_bytes;
    bool keeps_data;
};
class SafetensorsItemTensors : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(SafetensorsItemTensors, BytesWhenTheyFitZerosOtherwise) {
    const auto& c = GetParam();
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes("{" + st_entry("t", c.dtype, c.shape, 0, c.range) + "}",
                                                   std::string(c.range, '\x5a')));
    auto items = drain(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 1u);
    ASSERT_TRUE(items[0]) << items[0].error().message();
    EXPECT_EQ(items[0]->tensor.dtype, c.expected_dtype);
    EXPECT_EQ(items[0]->tensor.data, std::vector<uint8_t>(c.expected_bytes, c.keeps_data ? 0x5a : 0));
}

INSTANTIATE_TEST_SUITE_P(
    DtypesAndRanges, SafetensorsItemTensors,
    ::testing::Values(ZeroCase{"f16_fits", "F16", "[2,3]", 12, DType::Float16, 12, true},
                      ZeroCase{"f16_short_range", "F16", "[2,3]", 10, DType::Float16, 12, false},
                      ZeroCase{"f64_read_as_f16", "F64", "[10]", 80, DType::Float16, 20, false},
                      ZeroCase{"u8_widened", "U8", "[16]", 16, DType::Float16, 32, false},
                      ZeroCase{"scalar_f32", "F32", "[]", 4, DType::Float32, 4, true},
                      ZeroCase{"bf16", "BF16", "[3]", 6, DType::BFloat16, 6, true},
                      ZeroCase{"i8", "I8", "[5]", 5, DType::Int8, 5, true},
                      ZeroCase{"lowercase_f32_is_f16", "f32", "[2]", 4, DType::Float16, 4, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SafetensorsLayers, DamagedRangesAndShapesAreErrorItems) {
    TempDir dir;
    const std::string header = "{" + st_entry("a.0", "F32", "[1]", 0, 4) + "," + st_entry("b.1", "F32", "[1]", 8, 4) +
                               "," + st_entry("c.2", "F32", "[1]", 12, 16) + "," +
                               st_entry("d.3", "F16", "[1099511627776]", 16, 20) + "," +
                               st_entry("e.4", "F32", "[4294967296,4294967296]", 20, 24) + "," +
                               st_entry("f.5", "F32", "[1]", UINT64_MAX, UINT64_MAX) + "," +
                               st_entry("g.6", "F32", "[2]", 0, 8) + "," + st_entry("h.7", "F32", "[1]", 20, 1000000) +
                               "," + st_entry("i.8", "F32", "[1]", 20, 24) + "}";
    write_file(dir.file("m.st"), safetensors_bytes(header, std::string(24, '\0')));
    const auto file_size = std::to_string(std::filesystem::file_size(dir.file("m.st")));
    auto items = drain(SafetensorsLoader(), dir.file("m.st"));
    EXPECT_EQ(names(items),
              (std::vector<std::string>{
                  "a.0", "g.6", "error: Tensor 'b.1' has data_offsets [8, 4] whose end lies before its begin", "c.2",
                  "error: Tensor 'd.3' of shape [1099511627776] as float16 would need 2199023255552 bytes of zeros, "
                  "more than its file of " + file_size + " bytes can justify",
                  "error: Tensor 'e.4' of shape [4294967296, 4294967296] as float32 is too large: its byte size "
                  "overflows 64 bits",
                  "error: failed to fill whole buffer", "i.8", "error: Invalid argument (os error 22)"}));
    ASSERT_EQ(items.size(), 9u);
    EXPECT_EQ(items[3]->index, 2u);
    EXPECT_EQ(items[7]->index, 3u);
}

class SafetensorsDamagedHeaders : public ::testing::TestWithParam<std::string> {};

TEST_P(SafetensorsDamagedHeaders, YieldNothing) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(GetParam(), std::string(16, '\0')));
    EXPECT_FALSE(SafetensorsLoader().iter_layers(dir.file("m.st"))->next());
}

INSTANTIATE_TEST_SUITE_P(
    OneBadEntrySpoilsAll, SafetensorsDamagedHeaders,
    ::testing::Values(std::string("not json"), std::string("[1,2]"), std::string("{} trailing"),
                      R"({"a":{"dtype":"F32","shape":[1]},)" + st_entry("b", "F32", "[1]", 0, 4) + "}",
                      "{" + st_entry("a", "F32", "[-1]", 0, 4) + "}", "{" + st_entry("a", "F32", "[1.5]", 0, 4) + "}",
                      std::string(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]}})"),
                      std::string(R"({"a":{"dtype":7,"shape":[1],"data_offsets":[0,4]}})"),
                      std::string(R"({"a":["F32",[1]]})"), std::string(R"({"a":5})"), std::string("{\"a\xff\":{}}")));

// ---- the loaders that delegate ---------------------------------------------------------------------------

TEST(DelegatingLayers, AWQAndGPTQYieldTheSafetensorsItems) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes("{" + st_entry("l.4.w", "F32", "[1]", 0, 4) + "}", f32_bytes({3})));
    for (auto items : {drain(AWQLoader(), dir.file("m.st")), drain(GPTQLoader(), dir.file("m.st"))}) {
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0]->layer, 4u);
        EXPECT_EQ(items[0]->tensor.data, as_vec(f32_bytes({3})));
    }
}
