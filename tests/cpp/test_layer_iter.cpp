#include <gtest/gtest.h>

#include "format_fixtures.hpp"
#include "formats/awq.hpp"
#include "formats/gguf.hpp"
#include "formats/gptq.hpp"
#include "formats/onnx.hpp"
#include "formats/pytorch_bin.hpp"
#include "formats/safetensors.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

// Every item of an iterator, items and error items alike.
std::vector<Result<LayerTensor>> drain(LayerIterator& it) {
    std::vector<Result<LayerTensor>> out;
    while (auto item = it.next()) out.push_back(std::move(*item));
    EXPECT_FALSE(it.next()) << "the end must stay the end";
    return out;
}

std::vector<Result<LayerTensor>> drain_file(const FormatLoader& loader, const std::string& path) {
    auto it = loader.iter_layers(path);
    return drain(*it);
}

std::string f16_bytes(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += Bytes().le<uint16_t>(static_cast<uint16_t>(0x3c00 + i)).buf;
    return out;
}

std::vector<uint8_t> as_vec(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace

// ---- GGUF ---------------------------------------------------------------------------------------------

TEST(GGUFLayers, TensorsInRecordOrderWithDataTypesAndLayers) {
    TempDir dir;
    std::vector<float> values(32);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.5f;
    const std::string f32 = f32_bytes(values);
    const std::string f16 = f16_bytes(32);
    const std::string q4_0(576, '\x11');  // 32 x 32 elements: 32 blocks of 18 bytes
    write_file(dir.file("m.gguf"), GGUFBuilder()
                                       .kv_str("general.architecture", "llama")
                                       .tensor("blk.12.attn_q.weight", {8, 4}, 0, f32)
                                       .tensor("token_embd.weight", {8, 4}, 1, f16)
                                       .tensor("blk.3.ffn_up.weight", {32, 32}, 2, q4_0)
                                       .build());
    auto items = drain_file(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(items.size(), 3u);
    for (auto& item : items) ASSERT_TRUE(item) << item.error().message();

    EXPECT_EQ(items[0]->name, "blk.12.attn_q.weight");
    EXPECT_EQ(items[0]->layer, 12u);
    EXPECT_EQ(items[0]->index, 0u);
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

TEST(GGUFLayers, DataStartsAtTheNext32ByteBoundary) {
    TempDir dir;
    GGUFBuilder b;
    b.tensor("t", {1}, 0, f32_bytes({7.f}));
    write_file(dir.file("m.gguf"), b.build());
    auto it = GGUFLayerIterator::open(dir.file("m.gguf"));
    EXPECT_EQ(it->data_start(), b.data_start());
    EXPECT_EQ(it->data_start() % 32, 0u);
    EXPECT_GT(it->data_start(), b.infos_end() - 1);
    auto item = it->next();
    ASSERT_TRUE(item && *item);
    EXPECT_EQ((*item)->tensor.data, as_vec(f32_bytes({7.f})));
}

TEST(GGUFLayers, ErrorItemsKeepIndexContinuous) {
    TempDir dir;
    write_file(dir.file("m.gguf"), GGUFBuilder()
                                       .tensor("a", {2}, 0, f32_bytes({1, 2}))
                                       .tensor_at("past_end", {1024}, 0, 64)
                                       .tensor_at("offset_wraps", {1}, 0, UINT64_MAX - 8)
                                       .tensor_at("too_many_elems", {1ull << 40, 1ull << 40}, 0, 0)
                                       .tensor("b", {2}, 0, f32_bytes({3, 4}))
                                       .build());
    auto items = drain_file(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[1].error().message(), "failed to fill whole buffer");
    EXPECT_EQ(items[2].error().message(), "Invalid argument (os error 22)");
    EXPECT_EQ(items[3].error().message(),
              "Tensor 'too_many_elems' of shape [1099511627776, 1099511627776] and type 0 is too large: its byte size "
              "overflows 64 bits");
    ASSERT_TRUE(items[4]);
    EXPECT_EQ(items[4]->name, "b");
    EXPECT_EQ(items[4]->index, 1u);
}

TEST(GGUFLayers, EmptyDimensionGivesAnEmptyTensorWhateverTheOtherDims) {
    TempDir dir;
    write_file(dir.file("m.gguf"), GGUFBuilder().tensor_at("e", {1ull << 63, 1ull << 63, 0}, 2, 0).build());
    auto items = drain_file(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(items.size(), 1u);
    ASSERT_TRUE(items[0]) << items[0].error().message();
    EXPECT_TRUE(items[0]->tensor.data.empty());
}

TEST(GGUFLayers, TwoIteratorsOverOneFileAreIndependent) {
    TempDir dir;
    write_file(dir.file("m.gguf"),
               GGUFBuilder().tensor("x.1", {1}, 0, f32_bytes({1})).tensor("x.2", {1}, 0, f32_bytes({2})).build());
    auto a = GGUFLoader().iter_layers(dir.file("m.gguf"));
    auto b = GGUFLoader().iter_layers(dir.file("m.gguf"));
    EXPECT_EQ((*a->next())->name, "x.1");
    EXPECT_EQ((*a->next())->name, "x.2");
    EXPECT_EQ((*b->next())->name, "x.1");
    EXPECT_FALSE(a->next());
    EXPECT_EQ((*b->next())->layer, 2u);
}

TEST(GGUFLayers, EachStepReadsTheFileAsItIsNow) {
    TempDir dir;
    GGUFBuilder b;
    b.tensor("t", {1}, 0, f32_bytes({1.f}));
    const std::string bytes = b.build();
    write_file(dir.file("m.gguf"), bytes);
    auto it = GGUFLoader().iter_layers(dir.file("m.gguf"));
    std::filesystem::remove(dir.file("m.gguf"));
    auto item = it->next();
    ASSERT_TRUE(item && !*item);
    EXPECT_EQ(item->error().message(), "No such file or directory (os error 2)");
}

TEST(GGUFLayers, EveryTruncationOfTheHeaderYieldsNothing) {
    TempDir dir;
    GGUFBuilder b;
    b.kv_str("general.architecture", "llama")
        .kv("tokens", kArray, Bytes().u32(kString).u64(2).str("a").str("b").buf)
        .tensor("blk.0.w", {2, 2}, 0, f32_bytes({1, 2, 3, 4}))
        .tensor("blk.1.w", {4}, 1, f16_bytes(4));
    const std::string full = b.build();
    for (uint64_t len = 0; len < b.infos_end(); ++len) {
        write_file(dir.file("m.gguf"), std::string_view(full).substr(0, len));
        auto it = GGUFLoader().iter_layers(dir.file("m.gguf"));
        EXPECT_FALSE(it->next()) << "prefix of " << len << " bytes";
    }
    write_file(dir.file("m.gguf"), full);
    EXPECT_EQ(drain_file(GGUFLoader(), dir.file("m.gguf")).size(), 2u);
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

INSTANTIATE_TEST_SUITE_P(
    Damaged, GGUFHostileHeaders,
    ::testing::Values(
        HostileHeader{"tensor_count_max", Bytes().raw("GGUF").u32(3).u64(UINT64_MAX).u64(0).str("t").u32(0).u32(0).u64(0).buf},
        HostileHeader{"dims_count_max", Bytes().raw("GGUF").u32(3).u64(1).u64(0).str("t").u32(UINT32_MAX).u64(1).buf},
        HostileHeader{"name_length_max", Bytes().raw("GGUF").u32(3).u64(1).u64(0).u64(UINT64_MAX).raw("t").buf},
        HostileHeader{"metadata_type_13", Bytes().raw("GGUF").u32(3).u64(1).u64(1).str("k").u32(13).buf},
        HostileHeader{"invalid_utf8_name", Bytes().raw("GGUF").u32(3).u64(1).u64(0).str("\xff").u32(0).u32(0).u64(0).buf},
        HostileHeader{"empty_file", ""}, HostileHeader{"magic_only", "GGUF"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(GGUFLayers, MissingFileAndDirectoryYieldNothing) {
    TempDir dir;
    EXPECT_TRUE(drain_file(GGUFLoader(), dir.file("absent.gguf")).empty());
    EXPECT_TRUE(drain_file(GGUFLoader(), dir.path().string()).empty());
}

// ---- safetensors -----------------------------------------------------------------------------------------

TEST(SafetensorsLayers, YieldedByBeginOffsetWhateverTheHeaderOrder) {
    TempDir dir;
    std::string data(4096 + 8, '\0');
    std::memcpy(data.data() + 0, f32_bytes({1, 2}).data(), 8);
    std::memcpy(data.data() + 1024, f32_bytes({3, 4}).data(), 8);
    std::memcpy(data.data() + 4096, f32_bytes({5, 6}).data(), 8);
    write_file(dir.file("m.st"),
               safetensors_bytes(R"({"z.0":{"dtype":"F32","shape":[2],"data_offsets":[0,8]},
                                    "a.2":{"dtype":"F32","shape":[2],"data_offsets":[4096,4104]},
                                    "__metadata__":{"format":"pt"},
                                    "m.1":{"dtype":"F32","shape":[2],"data_offsets":[1024,1032]}})",
                                 data));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]->name, "z.0");
    EXPECT_EQ(items[1]->name, "m.1");
    EXPECT_EQ(items[2]->name, "a.2");
    EXPECT_EQ(items[1]->tensor.data, as_vec(f32_bytes({3, 4})));
    EXPECT_EQ(items[2]->layer, 2u);
    EXPECT_EQ(items[2]->index, 2u);
}

TEST(SafetensorsLayers, EqualBeginOffsetsFollowNameOrder) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(R"({"b":{"dtype":"F32","shape":[0],"data_offsets":[0,0]},
                                                     "c":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},
                                                     "a":{"dtype":"F32","shape":[0],"data_offsets":[0,0]}})",
                                                   f32_bytes({1})));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]->name, "a");
    EXPECT_EQ(items[1]->name, "b");
    EXPECT_EQ(items[2]->name, "c");
}

struct ZeroCase {
    const char* label;
    std::string dtype;
    std::string shape;
    uint64_t range;  // bytes covered by data_offsets
    DType expected_dtype;
    uint64_t expected_bytes;
    bool keeps_data;
};

class SafetensorsItemTensors : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(SafetensorsItemTensors, BytesWhenTheyFitZerosOtherwise) {
    const auto& c = GetParam();
    TempDir dir;
    std::string data(c.range, '\x5a');
    write_file(dir.file("m.st"), safetensors_bytes(R"({"t":{"dtype":")" + c.dtype + R"(","shape":)" + c.shape +
                                                       R"(,"data_offsets":[0,)" + std::to_string(c.range) + "]}}",
                                                   data));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 1u);
    ASSERT_TRUE(items[0]) << items[0].error().message();
    EXPECT_EQ(items[0]->tensor.dtype, c.expected_dtype);
    EXPECT_EQ(items[0]->tensor.data.size(), c.expected_bytes);
    const uint8_t fill = c.keeps_data ? 0x5a : 0;
    EXPECT_EQ(items[0]->tensor.data, std::vector<uint8_t>(c.expected_bytes, fill));
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
    write_file(dir.file("m.st"),
               safetensors_bytes(R"({"a.0":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},
                                    "b.1":{"dtype":"F32","shape":[1],"data_offsets":[8,4]},
                                    "c.2":{"dtype":"F32","shape":[1],"data_offsets":[12,16]},
                                    "d.3":{"dtype":"F16","shape":[1099511627776],"data_offsets":[16,20]},
                                    "e.4":{"dtype":"F32","shape":[4294967296,4294967296],"data_offsets":[20,24]},
                                    "f.5":{"dtype":"F32","shape":[1],"data_offsets":[18446744073709551615,18446744073709551615]},
                                    "g.6":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}})",
                                 std::string(24, '\0')));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 7u);
    // Sorted by begin: a(0) g(0) b(8) c(12) d(16) e(20) f(max).
    EXPECT_EQ(items[0]->name, "a.0");
    EXPECT_EQ(items[1]->name, "g.6");
    EXPECT_EQ(items[2].error().message(), "Tensor 'b.1' has data_offsets [8, 4] whose end lies before its begin");
    ASSERT_TRUE(items[3]);
    EXPECT_EQ(items[3]->index, 2u);
    EXPECT_EQ(items[4].error().message(),
              "Tensor 'd.3' of shape [1099511627776] as float16 would need 2199023255552 bytes of zeros, more than its "
              "file of " + std::to_string(std::filesystem::file_size(dir.file("m.st"))) + " bytes can justify");
    EXPECT_EQ(items[5].error().message(),
              "Tensor 'e.4' of shape [4294967296, 4294967296] as float32 is too large: its byte size overflows 64 bits");
    EXPECT_EQ(items[6].error().message(), "Invalid argument (os error 22)");
}

TEST(SafetensorsLayers, RangePastTheEndIsAShortReadAndIterationGoesOn) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},
                                                     "b":{"dtype":"F32","shape":[1],"data_offsets":[4,1000000]},
                                                     "c":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
                                                   f32_bytes({1, 2})));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].error().message(), "failed to fill whole buffer");
    ASSERT_TRUE(items[2]);
    EXPECT_EQ(items[2]->index, 1u);
    EXPECT_EQ(items[2]->tensor.data, as_vec(f32_bytes({2})));
}

TEST(SafetensorsLayers, ArrayFormEntriesAreAccepted) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(R"({"t":["F32",[1],[0,4]]})", f32_bytes({9})));
    auto items = drain_file(SafetensorsLoader(), dir.file("m.st"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->tensor.data, as_vec(f32_bytes({9})));
}

class SafetensorsDamagedHeaders : public ::testing::TestWithParam<std::string> {};

TEST_P(SafetensorsDamagedHeaders, YieldNothing) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(GetParam(), std::string(16, '\0')));
    auto it = SafetensorsLoader().iter_layers(dir.file("m.st"));
    EXPECT_FALSE(it->next());
}

INSTANTIATE_TEST_SUITE_P(
    OneBadEntrySpoilsAll, SafetensorsDamagedHeaders,
    ::testing::Values(std::string("not json"), std::string("[1,2]"), std::string("{} trailing"),
                      std::string(R"({"a":{"dtype":"F32","shape":[1]},"b":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}})"),
                      std::string(R"({"a":{"dtype":"F32","shape":[-1],"data_offsets":[0,4]}})"),
                      std::string(R"({"a":{"dtype":"F32","shape":[1.5],"data_offsets":[0,4]}})"),
                      std::string(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]}})"),
                      std::string(R"({"a":{"dtype":7,"shape":[1],"data_offsets":[0,4]}})"),
                      std::string(R"({"a":["F32",[1]]})"), std::string(R"({"a":5})"),
                      std::string("{\"a\xff\":{}}")));

TEST(SafetensorsLayers, HugeHeaderLengthAndMissingFileYieldNothing) {
    TempDir dir;
    write_file(dir.file("m.st"), Bytes().u64(UINT64_MAX).raw("{}").buf);
    EXPECT_TRUE(drain_file(SafetensorsLoader(), dir.file("m.st")).empty());
    EXPECT_TRUE(drain_file(SafetensorsLoader(), dir.file("absent.st")).empty());
    EXPECT_TRUE(drain_file(SafetensorsLoader(), dir.path().string()).empty());
}

// ---- the loaders that delegate or refuse -------------------------------------------------------------------

TEST(DelegatingLayers, AWQAndGPTQYieldTheSafetensorsItems) {
    TempDir dir;
    write_file(dir.file("m.st"), safetensors_bytes(R"({"l.4.w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}})",
                                                   f32_bytes({3})));
    for (const FormatLoader* loader : std::initializer_list<const FormatLoader*>{new AWQLoader, new GPTQLoader}) {
        auto items = drain_file(*loader, dir.file("m.st"));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0]->layer, 4u);
        EXPECT_EQ(items[0]->tensor.data, as_vec(f32_bytes({3})));
        delete loader;
    }
}

TEST(DelegatingLayers, PyTorchBinAndONNXFaultBeforeTouchingTheFile) {
    try {
        PyTorchBinLoader().iter_layers("/nonexistent/model.bin");
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "not yet implemented: PyTorch .bin layer iteration not yet implemented");
    }
    try {
        ONNXLoader().iter_layers("/nonexistent/model.onnx");
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "not yet implemented: ONNX layer iteration not yet implemented");
    }
}
