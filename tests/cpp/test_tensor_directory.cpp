// The LLaMA runtime's GGUF tensor directory: layout, metadata hints and damaged files. Files from the
// package's writer, cut files and the warnings they give are run end to end in Python.
#include <gtest/gtest.h>

#include <iterator>
#include <map>

#include "format_fixtures.hpp"
#include "formats/gguf.hpp"
#include "inference/dequant.hpp"
#include "inference/tensor_directory.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

using Floats = std::vector<float>;

// A directory over `bytes`, with each tensor decoded to float32 (zeros where its data is absent).
struct Opened {
    std::string error;  // empty when the open worked
    std::unordered_map<std::string, Floats> floats;
    LlamaHints hints;
    DirectoryNotes notes;

    Floats get(const std::string& name) const {
        auto it = floats.find(name);
        return it == floats.end() ? Floats{} : it->second;
    }
};

// A text model reads its file once: the metadata strictly, for its vocabulary, with the tensor records.
Result<StoredDirectory> open_as_text_model(const std::string& path) {
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file).error());
    auto contents = read_gguf(*file, read_options_with_metadata());
    if (!contents) return std::unexpected(std::move(contents).error());
    return StoredDirectory::from(*file, std::move(*contents));
}

Opened open_bytes(std::string_view bytes, bool as_text_model = false) {
    const TempDir dir;
    write_file(dir.file("m.gguf"), bytes);
    auto d = as_text_model ? open_as_text_model(dir.file("m.gguf")) : StoredDirectory::open(dir.file("m.gguf"));
    Opened out;
    if (!d) {
        out.error = d.error().message();
        return out;
    }
    for (const auto& [name, t] : d->tensors())
        out.floats[name] = t.in_file ? dequantize_gguf(t.bytes, t.dtype, t.n_elements) : Floats(t.n_elements, 0.0f);
    out.hints = d->hints();
    out.notes = d->notes();
    return out;
}

// Error text of a failed open, or "ok".
std::string outcome(std::string_view bytes) {
    const Opened o = open_bytes(bytes);
    return o.error.empty() ? "ok" : o.error;
}

Opened open_ok(const Bytes& f) {
    Opened o = open_bytes(f.buf);
    EXPECT_EQ(o.error, "");
    return o;
}

// One tensor "t" of two floats after a "general.alignment" entry of `type` and value bytes `value`: decoys
// where a 32-byte alignment finds the data, the data {7, 8} at 256.
Bytes aligned_file(uint32_t type, const std::string& value) {
    Bytes f;
    f.gguf_header(1, 1).str("general.alignment").u32(type).raw(value).tensor_info("t", {2}, 0, 0);
    f.pad32().f32s({-1.0f, -1.0f}).buf.resize(256, '\0');
    return f.f32s({7.0f, 8.0f});
}

}  // namespace

TEST(TensorDirectory, DataSectionStartsAtTheNextMultipleOf32AfterTheRecords) {
    for (auto [records_end, data_start] : {std::pair<size_t, size_t>{100, 128}, {128, 128}, {97, 128}, {129, 160}}) {
        // Header (24 bytes) and one record of one dimension (32 bytes + the name) end at `records_end`.
        const std::string name(records_end - 56, 'n');
        Bytes f;
        f.gguf_header(1, 0).tensor_info(name, {2}, 0, 0);
        ASSERT_EQ(f.buf.size(), records_end);
        while (f.buf.size() < data_start) f.f32s({-1.0f});  // decoys wherever a wrong start could land
        f.buf.resize(data_start, 0xAA);
        f.f32s({3.5f, 4.5f, -2.0f, -2.0f});
        EXPECT_EQ(open_ok(f).get(name), (Floats{3.5f, 4.5f})) << records_end;
    }
}

TEST(TensorDirectory, TypesAreSizedByTheTableAndDimensionlessTensorsHoldOneBlock) {
    std::string q8(34, '\0');
    q8[1] = 0x40, q8[2] = char(0xFD);  // d = 2.0, qs[0] = -3
    Bytes f;  // odd magic and version, and a name that is not UTF-8: all read as they are
    f.gguf_header(4, 0, 0x04034b50, 0xFFFFFFFF).tensor_info("a\xFF" "b", {}, 0, 0).tensor_info("odd", {3}, 77, 4);
    f.tensor_info("q8", {}, 8, 32).tensor_info("far", {5}, 1, ~0ull - 3);  // an offset that wraps past the start
    f.pad32().f32s({6.25f}).raw("\x01\x02\x03\x04\x05\x06");
    f.pad32().raw(q8);  // the file ends with the block: a longer size would miss it
    const Opened s = open_ok(f);
    EXPECT_EQ(s.get("a\xEF\xBF\xBD" "b"), (Floats{6.25f}));
    EXPECT_EQ(s.get("odd"), Floats(3, 0.0f));  // code 77: 2 bytes an element, decoded as zeros
    EXPECT_EQ(s.get("q8"), (Floats{-6.0f}));
    EXPECT_EQ(s.get("far"), Floats(5, 0.0f));
    EXPECT_FALSE(s.notes.gguf_magic);
    EXPECT_EQ(std::pair(s.notes.past_end, s.notes.first_past_end), std::pair(uint64_t{1}, std::string("far")));
}

TEST(TensorDirectory, LaterRecordOfTheSameNameWins) {
    Bytes f;
    f.gguf_header(3, 0).tensor_info("w", {4}, 0, 0).tensor_info("w", {4}, 0, 0).tensor_info("w", {1}, 0, 16).pad32();
    const Opened s = open_ok(f.f32s({1, 2, 3, 4, 9}));
    EXPECT_EQ(s.floats.size(), 1u);
    EXPECT_EQ(s.get("w"), (Floats{9.0f}));
}

// A file that sets "general.alignment" has its data section at the next multiple of that value;
// one whose value is not an unsigned 32-bit power of two keeps 32.
TEST(TensorDirectory, GeneralAlignmentMovesTheDataSection) {
    EXPECT_EQ(open_ok(aligned_file(kU32, Bytes().u32(256).buf)).get("t"), (Floats{7.0f, 8.0f}));
    for (const Bytes& f : {aligned_file(kU32, Bytes().u32(96).buf), aligned_file(kU32, Bytes().u32(0).buf),
                           aligned_file(kU64, Bytes().u64(256).buf)})
        EXPECT_EQ(open_ok(f).get("t"), (Floats{-1.0f, -1.0f}));
}

TEST(TensorDirectory, EveryValueTypeIsSkippedIncludingDeeplyNestedArrays) {
    Bytes f;
    f.gguf_header(1, 14)
        .kv<uint8_t>("u8", kU8, 1).kv<int8_t>("i8", kI8, -1).kv<uint16_t>("u16", kU16, 2).kv<int16_t>("i16", kI16, -2)
        .kv<uint32_t>("u32", kU32, 3).kv<int32_t>("i32", kI32, -3).kv<float>("f32", kF32, 1.5f)
        .kv<uint8_t>("bool", kBool, 1).kv_str("str", "text").kv<uint64_t>("u64", kU64, 4)
        .kv<int64_t>("i64", kI64, -4).kv<double>("f64", kF64, 2.5);
    // An array of two arrays, [u16 x3] and [string x3], then arrays nested past any call stack's depth.
    f.str("nested").u32(kArray).u32(kArray).u64(2);
    f.u32(kU16).u64(3).le<uint16_t>(1).le<uint16_t>(2).le<uint16_t>(3);
    f.u32(kString).u64(3).str("<s>").str("deep").str("");
    f.str("deep").u32(kArray);
    for (int i = 0; i < 300000; ++i) f.u32(kArray).u64(1);
    f.u32(kU8).u64(0).tensor_info("t", {2}, 0, 0).pad32().f32s({5.0f, 6.0f});
    EXPECT_EQ(open_ok(f).get("t"), (Floats{5.0f, 6.0f}));
}

// Hints from a file holding only the metadata entries `kvs`.
LlamaHints hints_of(uint64_t count, const Bytes& kvs) {
    Bytes f;
    return open_ok(f.gguf_header(0, count).raw(kvs.buf)).hints;
}

TEST(TensorDirectory, HintsTakeTheirTypesFromTheLastEntryUnderTheLastArchitecture) {
    const std::tuple<uint32_t, std::string, std::optional<uint64_t>> cases[] = {  // type, value bytes, hint
        {kU32, Bytes().u32(32).buf, 32}, {kI32, Bytes().u32(32).buf, 32}, {kI64, Bytes().u64(12).buf, 12},
        {kU64, Bytes().u64(1ull << 33).buf, 1ull << 33}, {kU32, Bytes().u32(0).buf, {}},
        {kI32, Bytes().u32(~0u).buf, {}}, {kI64, Bytes().u64(~0ull).buf, {}}, {kU16, Bytes().le<uint16_t>(8).buf, {}},
        {kF32, Bytes().le(8.0f).buf, {}}};
    for (const auto& [type, value, head_count] : cases) {
        const Bytes kvs = Bytes().kv_str("general.architecture", "llama").str("llama.attention.head_count").u32(type);
        EXPECT_EQ(hints_of(2, Bytes(kvs).raw(value)).head_count, head_count) << type << " " << value.size();
    }
    // Hints are the last entry of each key under the last architecture.
    Bytes f;
    f.kv<uint32_t>("qwen.attention.head_count", kU32, 3)  // another architecture's key
        .kv<int64_t>("mistral.attention.head_count", kI64, 9)
        .kv<uint32_t>("mistral.attention.head_count_kv", kU32, 0)  // zero kv heads would divide by zero
        .kv<float>("mistral.rope.freq_base", kF32, 1e6f)
        .kv<float>("mistral.attention.layer_norm_rms_epsilon", kF32, 1e-6f)
        .kv_str("general.architecture", "mistral");  // after its keys
    const LlamaHints h = hints_of(6, f);
    EXPECT_EQ(h.head_count, 9u);
    EXPECT_FALSE(h.head_count_kv);
    EXPECT_EQ(h.rope_freq_base, 1e6f);
    EXPECT_EQ(h.rms_epsilon, 1e-6f);

    Bytes g;
    g.kv_str("general.architecture", "llama")
        .kv<double>("llama.rope.freq_base", kF64, 1e6)                     // f64 is not f32
        .kv<uint32_t>("llama.attention.layer_norm_rms_epsilon", kU32, 1)  // nor an integer
        .kv<uint32_t>("llama.attention.head_count", kU32, 4)
        .kv<uint32_t>("llama.attention.head_count", kU32, 6)
        .kv<uint32_t>("llama.attention.head_count_kv", kU32, 4)
        .kv_str("llama.attention.head_count_kv", "8");  // replaces the 4
    const LlamaHints l = hints_of(7, g);
    EXPECT_EQ(l.head_count, 6u);
    EXPECT_FALSE(l.rope_freq_base || l.rms_epsilon || l.head_count_kv);
    EXPECT_FALSE(hints_of(8, g.kv<uint64_t>("general.architecture", kU64, 7)).head_count);  // no longer a string
}

// "name=v0,v1,...", the values as integers.
std::string values_text(const std::string& name, const std::vector<float>& v) {
    std::string out = name + "=";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + std::to_string(int(v[i]));
    return out;
}

// A directory's tensors in name order, "ok" for none, or its error.
std::string directory_reading(const Opened& o) {
    if (!o.error.empty()) return " " + o.error;
    if (o.floats.empty()) return " ok";
    std::string out;
    for (const auto& [name, v] : std::map(o.floats.begin(), o.floats.end())) out += " " + values_text(name, v);
    return out;
}

// The metadata loader, the layer iterator, the runtime and the text model read the container with one
// reader and differ by its options: magic required or not, text strict or lossy, nesting bounded or
// not, values read or stepped over. What each makes of a file: load_metadata's "ok" or error, then each
// item of the iterator, then each tensor of the runtime's directory (as name=values, or the error).
std::string readings(std::string_view bytes) {
    const TempDir dir;
    write_file(dir.file("m.gguf"), bytes);
    auto meta = GGUFLoader().load_metadata(dir.file("m.gguf"));
    std::string out = meta ? "ok" : meta.error().message();
    if (!meta && meta.error().message() == "Invalid UTF-8 in GGUF string")
        EXPECT_NE(meta.error().cause(), nullptr) << "the decoding error as cause";
    std::string items;
    auto it = GGUFLoader().iter_layers(dir.file("m.gguf"));
    while (auto item = it->next()) {
        if (!*item) {
            items += " " + item->error().message();
            continue;
        }
        std::vector<float> v((*item)->tensor.data.size() / 4);
        if (!v.empty()) std::memcpy(v.data(), (*item)->tensor.data.data(), v.size() * 4);
        items += " " + values_text((*item)->name, v);
    }
    out += " |" + (items.empty() ? " none" : items) + " |";
    const std::string runtime = directory_reading(open_bytes(bytes));
    // A text model refuses what the metadata loader refuses and otherwise holds the runtime's tensors.
    EXPECT_EQ(directory_reading(open_bytes(bytes, true)), meta ? runtime : " " + meta.error().message());
    return out + runtime;
}

// A file whose one metadata entry "k" has the value type `type` and the value bytes `value`.
std::string entry(uint32_t type, std::string_view value) { return GGUFBuilder().kv("k", type, value).build(); }

TEST(TensorDirectory, OneReaderWithEachUsersRules) {
    const auto file = [](uint32_t magic, const Bytes& kvs, uint64_t n_kvs, std::string_view name) {
        Bytes f;
        f.gguf_header(1, n_kvs, magic).raw(kvs.buf).tensor_info(name, {2}, 0, 0).pad32().f32s({1.0f, 2.0f});
        return f.buf;
    };
    Bytes deep;  // arrays nested 100 levels
    deep.str("deep").u32(kArray);
    for (int i = 0; i < 100; ++i) deep.u32(kArray).u64(1);
    deep.u32(kU8).u64(0);
    const std::pair<std::string, std::string> cases[] = {
        {file(0x04034b50, {}, 0, "t"), "Not a GGUF file: bad magic 04034b50 | t=1,2 | t=1,2"},
        {file(kGGUFMagic, {}, 0, "t\xFF"), "ok | none | t\xEF\xBF\xBD=1,2"},
        {file(kGGUFMagic, Bytes().kv_str("k", "\xC3"), 1, "t"), "Invalid UTF-8 in GGUF string | none | t=1,2"},
        {file(kGGUFMagic, deep, 1, "t"), "GGUF arrays nested deeper than 64 levels | none | t=1,2"},
        {aligned_file(kU32, Bytes().u32(256).buf).buf, "ok | t=7,8 | t=7,8"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(readings(cases[i].first), cases[i].second) << "case " << i;
}

// Announced counts and lengths far beyond the file end in a short read, with nothing allocated for them;
// stepping over a value past the end is no failure in itself, only a later read is.
TEST(TensorDirectory, HostileCountsAndLengthsAreCheckedAgainstTheFile) {
    const std::string eof = "failed to fill whole buffer", none = " | none | ", utf8 = "Invalid UTF-8 in GGUF string";
    const auto unknown = [](std::string code) { return "Unknown GGUF value type: " + code; };
    const std::pair<std::string, std::string> cases[] = {
        {entry(13, ""), unknown("13") + none + unknown("13")},
        {entry(kArray, Bytes().u32(13).u64(1).buf), unknown("13") + none + unknown("13")},
        {entry(kArray, Bytes().u32(13).u64(0).buf), unknown("13") + none + "ok"},  // no element has the type
        {entry(kArray, Bytes().u32(4000000000u).u64(1).buf), unknown("4000000000") + none + unknown("4000000000")},
        {entry(kArray, Bytes().u32(kArray).u64(1).u32(99).u64(0).buf), unknown("99") + none + "ok"},
        {Bytes().gguf_header(0, UINT64_MAX).str("a").u32(kU8).u8(1).buf, eof + none + eof},  // entry count
        {Bytes().gguf_header(0, 1).u64(1ull << 62).raw("key").buf, eof + none + eof},          // key length
        {entry(kString, Bytes().u64(UINT64_MAX).buf), eof + none + "ok"},
        {entry(kArray, Bytes().u32(kU8).u64(1ull << 62).raw("xy").buf), eof + none + "ok"},
        {entry(kArray, Bytes().u32(kU64).u64(1ull << 61).u64(1).buf), eof + none + "ok"},  // its byte size wraps
        {entry(kArray, Bytes().u32(kString).u64(UINT64_MAX).str("a").buf), eof + none + eof},
        {entry(kArray, Bytes().u32(kArray).u64(UINT64_MAX).u32(kU8).u64(0).buf), eof + none + eof},
        {Bytes().gguf_header(1, 1).str("k").u32(kString).u64(~0ull).buf, eof + none + eof},  // a tensor follows
        {Bytes().gguf_header(1, 1).str("general.architecture").u32(kString).u64(1ull << 60).buf, eof + none + eof},
        {Bytes().gguf_header(1, 1).str("k").u32(kArray).u32(kU64).u64(1ull << 62).buf, eof + none + eof},
        {GGUFBuilder().kv("bad\xc0key", kU8, "\x01").build(), utf8 + none + "ok"},
        {entry(kArray, Bytes().u32(kString).u64(2).str("a").str("\xc3").buf), utf8 + none + "ok"},
        // Tensor records, which load_metadata does not read.
        {Bytes().gguf_header(1ull << 62, 0).tensor_info("t", {1}, 0, 0).buf, "ok" + none + eof},  // tensor count
        {Bytes().gguf_header(1, 0).u64(1ull << 61).buf, "ok" + none + eof},                       // name length
        {Bytes().gguf_header(1, 0).str("t").u32(0xFFFFFFFF).u64(1).buf, "ok" + none + eof},       // dimensions
        {Bytes().gguf_header(1, 0).tensor_info("t", {1ull << 32, 1ull << 32}, 0, 0).buf,
         "ok | Tensor 't' of shape [4294967296, 4294967296] and type 0 is too large: its byte size overflows 64 "
         "bits | Tensor 't' has more elements than a 64-bit count can hold"},
        {Bytes().gguf_header(1, 0).tensor_info("t", {1ull << 32, 1ull << 32, 0}, 0, 0).buf, "ok | t= | t="},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(readings(cases[i].first), cases[i].second) << "case " << i;
}
