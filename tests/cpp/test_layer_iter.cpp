#include <gtest/gtest.h>

#include <tuple>

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

// Each item's name and index, or its error text.
std::vector<std::string> summary(const std::vector<Result<LayerTensor>>& items) {
    std::vector<std::string> out;
    for (const auto& item : items)
        out.push_back(item ? item->name + " #" + std::to_string(item->index) : "error: " + item.error().message());
    return out;
}

std::vector<uint8_t> as_vec(std::string_view s) { return {s.begin(), s.end()}; }

using Names = std::vector<std::string>;

}  // namespace

TEST(GGUFLayers, RecordOrderDtypesAndLayers) {
    TempDir dir;
    const std::string f32(128, '\x41'), f16(64, '\x3c'), q4_0(576, '\x11');  // Q4_0: 32 blocks of 18 bytes
    write_file(dir.file("m.gguf"), GGUFBuilder().kv_str("general.architecture", "llama")
                                       .tensor("blk.12.attn_q.weight", {8, 4}, 0, f32)
                                       .tensor("token_embd.weight", {8, 4}, 1, f16)
                                       .tensor("blk.3.ffn_up.weight", {32, 32}, 2, q4_0).build());
    auto items = drain(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(summary(items), (Names{"blk.12.attn_q.weight #0", "token_embd.weight #1", "blk.3.ffn_up.weight #2"}));
    EXPECT_EQ(std::tie(items[0]->layer, items[0]->tensor.dtype, items[0]->tensor.shape, items[0]->tensor.data),
              std::tuple(12u, DType::Float32, std::vector<uint64_t>{8, 4}, as_vec(f32)));
    EXPECT_EQ(std::tie(items[1]->layer, items[1]->tensor.dtype, items[1]->tensor.data),
              std::tuple(0u, DType::Float16, as_vec(f16)));
    // Quantised data does not fit a packed 4-bit tensor of its shape: zeros stand in.
    EXPECT_EQ(std::tie(items[2]->tensor.dtype, items[2]->tensor.data),
              std::tuple(DType::Int4, std::vector<uint8_t>(512, 0)));
}

TEST(GGUFLayers, ErrorItemsKeepIndexContinuous) {
    TempDir dir;
    write_file(dir.file("m.gguf"), GGUFBuilder().tensor("a", {2}, 0, f32_bytes({1, 2}))
                                       .tensor_at("past_end", {1024}, 0, 64)
                                       .tensor_at("offset_wraps", {1}, 0, UINT64_MAX - 8)
                                       .tensor_at("too_many_elems", {1ull << 40, 1ull << 40}, 0, 0)
                                       .tensor_at("empty", {1ull << 63, 1ull << 63, 0}, 2, 0)  // a 0 wins
                                       .tensor("b", {2}, 0, f32_bytes({3, 4})).build());
    auto items = drain(GGUFLoader(), dir.file("m.gguf"));
    ASSERT_EQ(summary(items),
              (Names{"a #0", "error: failed to fill whole buffer", "error: Invalid argument (os error 22)",
                     "error: Tensor 'too_many_elems' of shape [1099511627776, 1099511627776] and type 0 is too large: "
                     "its byte size overflows 64 bits",
                     "empty #1", "b #2"}));
    EXPECT_TRUE(items[4]->tensor.data.empty());
    EXPECT_EQ(items[5]->tensor.data, as_vec(f32_bytes({3, 4})));
}

TEST(GGUFLayers, IteratorsAreIndependentAndReadTheFileAsItIsNow) {
    TempDir dir;
    write_file(dir.file("m.gguf"),
               GGUFBuilder().tensor("x.1", {1}, 0, f32_bytes({1})).tensor("x.2", {1}, 0, f32_bytes({2})).build());
    auto a = GGUFLoader().iter_layers(dir.file("m.gguf"));
    auto b = GGUFLoader().iter_layers(dir.file("m.gguf"));
    EXPECT_EQ((*a->next())->name, "x.1");
    EXPECT_EQ((*a->next())->layer, 2u);
    EXPECT_FALSE(a->next());
    EXPECT_EQ((*b->next())->name, "x.1");
    std::filesystem::remove(dir.file("m.gguf"));  // each step reopens the file
    EXPECT_EQ(b->next()->error().message(), "No such file or directory (os error 2)");
}

TEST(SafetensorsLayers, YieldedByBeginOffsetWhateverTheHeaderOrderForEveryLoader) {
    TempDir dir;
    std::string data(4096 + 8, '\0');
    for (uint64_t at : {0, 1024, 4096}) std::memcpy(data.data() + at, f32_bytes({at + 1.f, at + 2.f}).data(), 8);
    write_file(dir.file("m.st"), safetensors_bytes(st_header({st_entry("z.0", "F32", "[2]", 0, 8),
                                                              st_entry("a.2", "F32", "[2]", 4096, 4104),
                                                              R"("__metadata__":{"format":"pt"})",
                                                              R"("m.1":["F32",[2],[1024,1032]])"}),  // the array form
                                                   data));
    for (const auto& items : {drain(SafetensorsLoader(), dir.file("m.st")), drain(AWQLoader(), dir.file("m.st")),
                              drain(GPTQLoader(), dir.file("m.st"))}) {  // AWQ and GPTQ yield the same items
        ASSERT_EQ(summary(items), (Names{"z.0 #0", "m.1 #1", "a.2 #2"}));
        EXPECT_EQ(std::tie(items[1]->tensor.data, items[2]->tensor.data, items[2]->layer),
                  std::tuple(as_vec(f32_bytes({1025, 1026})), as_vec(f32_bytes({4097, 4098})), 2u));
    }
}

TEST(SafetensorsLayers, EqualBeginOffsetsFollowNameOrder) {
    TempDir dir;  // enough entries that an unstable sort would reorder the ties
    std::string header = "{";
    Names expected(100);
    for (int i = 99; i >= 0; --i) {
        const std::string name = "t" + std::to_string(100 + i);
        header += (i == 99 ? "" : ",") + st_entry(name, "F32", "[0]", i % 2 * 4, i % 2 * 4);
        expected[i / 2 + i % 2 * 50] = name + " #" + std::to_string(i / 2 + i % 2 * 50);
    }
    write_file(dir.file("m.st"), safetensors_bytes(header + "}", std::string(4, '\0')));
    EXPECT_EQ(summary(drain(SafetensorsLoader(), dir.file("m.st"))), expected);
}

TEST(SafetensorsLayers, BytesWhenTheyFitZerosOfTheMappedDtypeOtherwise) {
    // dtype, shape, bytes in the range, the item's dtype and size, whether it keeps the file's bytes
    const std::tuple<const char*, const char*, uint64_t, DType, uint64_t, bool> cases[] = {
        {"F16", "[2,3]", 12, DType::Float16, 12, true}, {"F16", "[2,3]", 10, DType::Float16, 12, false},
        {"F64", "[10]", 80, DType::Float16, 20, false}, {"U8", "[16]", 16, DType::Float16, 32, false},
        {"F32", "[]", 4, DType::Float32, 4, true},      {"BF16", "[3]", 6, DType::BFloat16, 6, true},
        {"I8", "[5]", 5, DType::Int8, 5, true},         {"f32", "[2]", 4, DType::Float16, 4, true}};
    TempDir dir;
    for (const auto& [dtype, shape, range, expected_dtype, expected_bytes, keeps] : cases) {
        write_file(dir.file("m.st"),
                   safetensors_bytes(st_header({st_entry("t", dtype, shape, 0, range)}), std::string(range, '\x5a')));
        auto items = drain(SafetensorsLoader(), dir.file("m.st"));
        ASSERT_TRUE(items.size() == 1 && items[0]) << dtype << shape;
        EXPECT_EQ(items[0]->tensor.dtype, expected_dtype) << dtype << shape;
        EXPECT_EQ(items[0]->tensor.data, std::vector<uint8_t>(expected_bytes, keeps ? 0x5a : 0)) << dtype << shape;
    }
}

TEST(SafetensorsLayers, DamagedRangesAndShapesAreErrorItems) {
    TempDir dir;
    write_file(dir.file("m.st"),
               safetensors_bytes(st_header({st_entry("a.0", "F32", "[1]", 0, 4), st_entry("b.1", "F32", "[1]", 8, 4),
                                            st_entry("c.2", "F32", "[1]", 12, 16),
                                            st_entry("d.3", "F16", "[1099511627776]", 16, 20),
                                            st_entry("e.4", "F32", "[4294967296,4294967296]", 20, 24),
                                            st_entry("f.5", "F32", "[1]", UINT64_MAX, UINT64_MAX),
                                            st_entry("g.6", "F32", "[2]", 0, 8),
                                            st_entry("h.7", "F32", "[1]", 20, 1000000),
                                            st_entry("i.8", "F32", "[1]", 20, 24)}),
                                 std::string(24, '\0')));
    const auto file_size = std::to_string(std::filesystem::file_size(dir.file("m.st")));
    EXPECT_EQ(summary(drain(SafetensorsLoader(), dir.file("m.st"))),
              (Names{"a.0 #0", "g.6 #1", "error: Tensor 'b.1' has data_offsets [8, 4] whose end lies before its begin",
                     "c.2 #2",
                     "error: Tensor 'd.3' of shape [1099511627776] as float16 would need 2199023255552 bytes of zeros, "
                     "more than its file of " + file_size + " bytes can justify",
                     "error: Tensor 'e.4' of shape [4294967296, 4294967296] as float32 is too large: its byte size "
                     "overflows 64 bits",
                     "error: failed to fill whole buffer", "i.8 #3", "error: Invalid argument (os error 22)"}));
}

TEST(SafetensorsLayers, OneBadEntrySpoilsTheWholeHeader) {
    TempDir dir;
    for (const std::string& bad :
         {std::string(R"("a":{"dtype":"F32","shape":[1]})"), st_entry("a", "F32", "[-1]", 0, 4),
          st_entry("a", "F32", "[1.5]", 0, 4), std::string(R"("a":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]})"),
          std::string(R"("a":{"dtype":7,"shape":[1],"data_offsets":[0,4]})"), std::string(R"("a":["F32",[1]])"),
          std::string(R"("a":5)")}) {
        write_file(dir.file("m.st"), safetensors_bytes(st_header({bad, st_entry("b", "F32", "[1]", 0, 4)}), "...."));
        EXPECT_FALSE(SafetensorsLoader().iter_layers(dir.file("m.st"))->next()) << bad;
    }
    write_file(dir.file("m.st"), safetensors_bytes("not json", "...."));
    EXPECT_FALSE(SafetensorsLoader().iter_layers(dir.file("m.st"))->next());
}
