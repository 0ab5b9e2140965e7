#include "formats/gguf.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <unordered_map>

#include "formats/common.hpp"
#include "formats/gguf_types.hpp"
#include "formats/safetensors.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

// Bytes per value of the fixed-size types, by type code; 0 for strings and arrays.
constexpr uint8_t kFixedValueBytes[kGGUFValueTypeCount] = {1, 1, 2, 2, 4, 4, 4, 1, 0, 0, 8, 8, 8};

// Arrays reserve room for at most this many elements up front, whatever count the file announces.
constexpr uint64_t kMaxArrayReserve = 1024;

Error unknown_value_type(uint32_t code) { return Error("Unknown GGUF value type: " + std::to_string(code)); }

template <class T>
T load(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// A fixed-size value of type `code` from its little-endian bytes at `p`.
GGUFValue decode_fixed(uint32_t code, const uint8_t* p) {
    switch (static_cast<GGUFValueType>(code)) {
        case GGUFValueType::U8: return {load<uint8_t>(p)};
        case GGUFValueType::I8: return {load<int8_t>(p)};
        case GGUFValueType::U16: return {load<uint16_t>(p)};
        case GGUFValueType::I16: return {load<int16_t>(p)};
        case GGUFValueType::U32: return {load<uint32_t>(p)};
        case GGUFValueType::I32: return {load<int32_t>(p)};
        case GGUFValueType::F32: return {load<float>(p)};
        case GGUFValueType::Bool: return {p[0] != 0};
        case GGUFValueType::U64: return {load<uint64_t>(p)};
        case GGUFValueType::I64: return {load<int64_t>(p)};
        case GGUFValueType::F64: return {load<double>(p)};
        default: fault("decode_fixed called for a variable-size GGUF type " + std::to_string(code));
    }
}

// A string's bytes once its length is read: UTF-8, or with `lossy` any bytes, each invalid sequence
// becoming U+FFFD. The one reader of GGUF text.
Result<std::string> read_text_body(FileReader& in, uint64_t len, bool lossy) {
    auto bytes = in.read_bytes(len, "GGUF string");
    if (!bytes) return std::unexpected(std::move(bytes).error());
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (lossy) return lossy_utf8(text);
    if (auto bad = utf8_error(text)) return std::unexpected(Error(bad->message()).wrap("Invalid UTF-8 in GGUF string"));
    return std::string(text);
}

Result<std::string> read_text(FileReader& in, bool lossy) {
    auto len = in.read_le<uint64_t>();
    if (!len) return std::unexpected(std::move(len).error());
    return read_text_body(in, *len, lossy);
}

// How the walker treats values. Decoding reads each value whole: numbers and strings must lie inside
// the file, an array's element type is checked as it is read, strings are UTF-8 unless `lossy`, and
// arrays nest at most kGGUFMaxArrayDepth deep (a decoded value is freed recursively) and are kept
// unless `keep_arrays` is off. Stepping moves past values instead: a move past the end is no error
// in itself (the next read fails), an element type is checked only when an element of it is met,
// nesting is unbounded, and only a number or string at the top that lies wholly inside the file is
// decoded, when `capture`. What is not kept reads as an empty list.
struct ValueRules {
    bool step = false;
    bool capture = false;
    bool lossy = false;
    bool keep_arrays = true;
};

// The one walker of the value grammar. The arrays it is inside live on a stack of its own (one entry
// per 12 bytes of file read, never per announced count), so no file can exhaust the call stack.
Result<GGUFValue> walk_value(FileReader& in, uint32_t code, const ValueRules& rules) {
    struct OpenArray {
        uint32_t elem;
        uint64_t left;  // elements still to walk
        GGUFValue::Array items;
    };
    const bool keep = !rules.step && rules.keep_arrays;
    const GGUFValue nothing{GGUFValue::Array{}};
    std::vector<OpenArray> open;
    std::optional<GGUFValue> result;
    const auto deliver = [&](GGUFValue v) {
        if (open.empty()) {
            result = std::move(v);
        } else {
            --open.back().left;
            if (keep) open.back().items.push_back(std::move(v));
        }
    };
    uint64_t announced = 0;  // the count of the last array met, for a message
    try {
        for (;;) {
            if (code >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(code));
            const bool decode = !rules.step || (open.empty() && rules.capture);
            if (const uint64_t width = kFixedValueBytes[code]; width != 0) {
                if (decode && (!rules.step || width <= in.remaining())) {
                    uint8_t bytes[8];
                    if (auto r = in.read_exact(bytes, width); !r) return std::unexpected(std::move(r).error());
                    deliver(decode_fixed(code, bytes));
                } else {
                    if (auto r = in.skip(width); !r) return std::unexpected(std::move(r).error());
                    deliver(nothing);
                }
            } else if (code == static_cast<uint32_t>(GGUFValueType::String)) {
                auto len = in.read_le<uint64_t>();
                if (!len) return std::unexpected(std::move(len).error());
                if (decode && (!rules.step || *len <= in.remaining())) {
                    auto text = read_text_body(in, *len, rules.lossy);
                    if (!text) return std::unexpected(std::move(text).error());
                    deliver(GGUFValue{std::move(*text)});
                } else {
                    if (auto r = in.skip(*len); !r) return std::unexpected(std::move(r).error());
                    deliver(nothing);
                }
            } else {
                auto elem = in.read_le<uint32_t>();
                if (!elem) return std::unexpected(std::move(elem).error());
                if (!rules.step && *elem >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(*elem));
                auto count = in.read_le<uint64_t>();
                if (!count) return std::unexpected(std::move(count).error());
                announced = *count;
                if (!rules.step && *elem == static_cast<uint32_t>(GGUFValueType::Array) && *count > 0 &&
                    open.size() + 1 >= kGGUFMaxArrayDepth)
                    return fail("GGUF arrays nested deeper than " + std::to_string(kGGUFMaxArrayDepth) + " levels");
                const uint64_t width = *elem < kGGUFValueTypeCount ? kFixedValueBytes[*elem] : 0;
                if (width == 0) {
                    // Strings and arrays take at least 8 bytes of file each, so a damaged count ends at the
                    // end of the file, and a kept list grows with the file, not with the count.
                    open.push_back({*elem, *count, {}});
                    if (keep) open.back().items.reserve(std::min(*count, kMaxArrayReserve));
                } else {
                    // Fixed-size elements: one read or one move for the lot. A run the rest of the file
                    // cannot hold could only end in a short read, so decoding fails as one up front.
                    uint64_t total;
                    const bool wraps = mul_overflows(*count, width, &total);
                    if (!rules.step && (wraps || total > in.remaining())) return std::unexpected(eof_error());
                    if (!keep) {
                        if (auto r = in.skip(wraps ? UINT64_MAX : total); !r) return std::unexpected(std::move(r).error());
                        deliver(nothing);
                    } else {
                        auto bytes = in.read_bytes(total, "GGUF array");
                        if (!bytes) return std::unexpected(std::move(bytes).error());
                        GGUFValue::Array items;
                        items.reserve(std::min(*count, kMaxArrayReserve));
                        for (uint64_t i = 0; i < *count; ++i) items.push_back(decode_fixed(*elem, bytes->data() + i * width));
                        deliver(GGUFValue{std::move(items)});
                    }
                }
            }
            // Close every array whose elements have all been walked.
            while (!result && open.back().left == 0) {
                GGUFValue done{std::move(open.back().items)};
                open.pop_back();
                deliver(std::move(done));
            }
            if (result) return std::move(*result);
            code = open.back().elem;
        }
    } catch (const std::bad_alloc&) {
        // A huge (sparse) file can still hold more elements than memory.
        return fail("GGUF array of " + std::to_string(announced) + " elements is too large to hold in memory");
    }
}

// Eight lowercase hex digits, as the bad-magic message prints the first four bytes.
std::string hex8(uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = kDigits[value & 0xF];
    return out;
}

constexpr std::string_view kAlignmentKey = "general.alignment";

// "general.alignment" when it is an unsigned 32-bit power of two; anything else leaves the default.
uint64_t alignment_of(const GGUFMetadata& kv) {
    const GGUFValue* v = find_value(kv, kAlignmentKey);
    const auto* a = v ? std::get_if<uint32_t>(&v->value) : nullptr;
    return a && *a != 0 && (*a & (*a - 1)) == 0 ? *a : kGGUFAlignment;
}

}  // namespace

std::optional<uint64_t> GGUFTensorInfo::n_elements() const {
    uint64_t n = 1;
    for (uint64_t d : dims)
        if (mul_overflows(n, d, &n)) {
            // A zero anywhere makes the product 0 whatever overflows before it.
            if (std::find(dims.begin(), dims.end(), 0) != dims.end()) return 0;
            return std::nullopt;
        }
    return n;
}

std::optional<uint64_t> GGUFTensorInfo::byte_size() const {
    const auto n = n_elements();
    return n ? gguf_data_size(type_code, *n) : std::nullopt;
}

std::optional<uint64_t> GGUFContents::position_in_file(const GGUFTensorInfo& info) const {
    const auto size = info.byte_size();
    uint64_t position, end;
    if (!size || add_overflows(data_start, info.offset, &position) || add_overflows(position, *size, &end) ||
        end > file_size)
        return std::nullopt;
    return position;
}

Result<GGUFContents> read_gguf(File& file, const GGUFReadOptions& options) {
    auto reader = FileReader::over(file);
    if (!reader) return std::unexpected(std::move(reader).error());
    FileReader& in = *reader;
    GGUFContents out;
    out.file_size = in.remaining() + in.position();

    auto magic = in.read_le<uint32_t>();
    if (!magic) return std::unexpected(std::move(magic).error());
    out.magic = *magic;
    if (options.require_magic && out.magic != kGGUFMagic) return fail("Not a GGUF file: bad magic " + hex8(out.magic));
    uint8_t counts[20];  // version, tensor count, metadata entry count
    if (auto r = in.read_exact(counts, sizeof counts); !r) return std::unexpected(std::move(r).error());
    out.version = load<uint32_t>(counts);
    const uint64_t tensor_count = load<uint64_t>(counts + 4);
    const uint64_t kv_count = load<uint64_t>(counts + 12);

    for (uint64_t i = 0; i < kv_count; ++i) {  // each entry takes >= 12 bytes: a damaged count stops at the end
        auto key = read_text(in, options.lossy_text);
        if (!key) return std::unexpected(std::move(key).error());
        auto code = in.read_le<uint32_t>();
        if (!code) return std::unexpected(std::move(code).error());
        const bool kept =
            options.decode_values || *key == kAlignmentKey || (options.keep_key && options.keep_key(*key));
        const ValueRules rules{.step = !options.decode_values, .capture = kept, .lossy = options.lossy_text,
                               .keep_arrays = options.keep_arrays};
        auto value = walk_value(in, *code, rules);
        if (!value) return std::unexpected(std::move(value).error());
        if (kept) out.metadata.insert_or_assign(std::move(*key), std::move(*value));
    }
    if (!options.read_tensors) return out;

    // The smallest record: empty name (8), no dimensions (4), type (4), offset (8). Records are read
    // one by one, so the reservation only saves regrowth; it never trusts the count past the file.
    constexpr uint64_t kMinRecordBytes = 24;
    out.tensors.reserve(std::min(tensor_count, in.remaining() / kMinRecordBytes));
    for (uint64_t i = 0; i < tensor_count; ++i) {
        GGUFTensorInfo info;
        auto name = read_text(in, options.lossy_names);
        if (!name) return std::unexpected(std::move(name).error());
        info.name = std::move(*name);
        auto n_dims = in.read_le<uint32_t>();
        if (!n_dims) return std::unexpected(std::move(n_dims).error());
        info.n_dims = *n_dims;
        // n_dims * 8 < 2^35: no overflow; a count the file does not hold fails before allocating.
        const uint64_t dim_bytes = uint64_t{info.n_dims} * sizeof(uint64_t);
        if (dim_bytes > in.remaining()) return std::unexpected(eof_error());
        info.dims.resize(info.n_dims);
        if (auto r = in.read_exact(info.dims.data(), dim_bytes); !r) return std::unexpected(std::move(r).error());
        auto type_code = in.read_le<uint32_t>();
        if (!type_code) return std::unexpected(std::move(type_code).error());
        info.type_code = *type_code;
        auto offset = in.read_le<uint64_t>();
        if (!offset) return std::unexpected(std::move(offset).error());
        info.offset = *offset;
        out.tensors.push_back(std::move(info));
    }
    // No field stores the padding before the data section: round the end of the records up. The
    // end lies inside the file and the alignment below 2^32, so the sum cannot wrap.
    out.alignment = alignment_of(out.metadata);
    const uint64_t end = in.position();
    out.data_start = (end + out.alignment - 1) / out.alignment * out.alignment;
    return out;
}

// ---- readers ---------------------------------------------------------------------------------------

Result<std::string> GGUFLoader::read_string(FileReader& in) { return read_text(in, false); }

Result<GGUFValue> GGUFLoader::read_value(FileReader& in, uint32_t type_code) { return walk_value(in, type_code, {}); }

Result<ModelMetadata> GGUFLoader::load_metadata(const std::string& path) const {
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file).error().wrap("Failed to open GGUF file: " + display_path(path)));
    // Strict: the magic is checked and every string must be UTF-8. Arrays are read to check them, but
    // no count is an array, so none is kept (a long one would cost far more in memory than in file).
    GGUFReadOptions options;
    options.read_tensors = false;
    auto contents = read_gguf(*file, options);
    if (!contents) return std::unexpected(std::move(contents).error());
    const GGUFMetadata& kv = contents->metadata;

    ModelMetadata meta;
    meta.format_name = "GGUF";
    meta.dtype = DType::Float16;
    if (const std::string* arch = gguf_architecture(kv)) meta.architecture = *arch;
    // Counts are 32-bit here: a U64 keeps its low 32 bits, an I32 is taken as its unsigned bits, and
    // every other type (narrow integers and I64 included) is absent.
    constexpr IntegerRule kCount{.types = gguf_type_bit(GGUFValueType::U32) | gguf_type_bit(GGUFValueType::I32) |
                                          gguf_type_bit(GGUFValueType::U64),
                                 .low_32_bits = true};
    auto count = [&](std::string_view suffix) {  // "unknown" keys are looked up as well
        return read_integer(find_arch_value(kv, suffix, meta.architecture), kCount);
    };
    meta.num_layers = count(".block_count").value_or(0);
    meta.hidden_size = count(".embedding_length").value_or(0);
    meta.num_attention_heads = count(".attention.head_count").value_or(0);
    meta.num_kv_heads = count(".attention.head_count_kv").value_or(0);
    meta.vocab_size = count(".vocab_size").value_or(0);
    meta.context_length = count(".context_length").value_or(0);

    auto size = file_size(path);
    if (!size) return std::unexpected(std::move(size).error());
    meta.file_size = *size;

    if (const uint64_t experts = count(".expert_count").value_or(0); experts != 0) {
        MoeMetadata moe;
        moe.num_experts = experts;
        moe.num_active_experts = count(".expert_used_count").value_or(8);
        moe.num_layers = meta.num_layers;
        moe.hidden_size = meta.hidden_size;
        const uint64_t ffn = count(".expert_feed_forward_length").value_or(0);
        moe.expert_intermediate_size = ffn != 0 ? ffn : 4 * meta.hidden_size;
        meta.moe = moe;
    }
    return meta;
}

std::unique_ptr<LayerIterator> GGUFLoader::iter_layers(const std::string& path) const {
    return GGUFLayerIterator::open(path);
}

// ---- layer iteration ---------------------------------------------------------------------------------

std::unique_ptr<GGUFLayerIterator> GGUFLayerIterator::open(const std::string& path) {
    // Any magic; strings, keys and names strictly UTF-8; a damaged file iterates over nothing.
    GGUFReadOptions options;
    options.require_magic = false;
    auto file = File::open(path);
    auto dir = file ? read_gguf(*file, options) : Result<GGUFContents>(std::unexpected(std::move(file).error()));
    if (!dir) return std::unique_ptr<GGUFLayerIterator>(new GGUFLayerIterator({}, path, 0));
    return std::unique_ptr<GGUFLayerIterator>(new GGUFLayerIterator(std::move(dir->tensors), path, dir->data_start));
}

std::optional<Result<LayerTensor>> GGUFLayerIterator::next() {
    if (cursor_ == tensors_.size()) return std::nullopt;
    const GGUFTensorInfo& info = tensors_[cursor_++];  // advanced first: a failing record is skipped next time
    auto item = read_tensor(info);
    if (item) item->index = produced_++;
    return item;
}

Result<LayerTensor> GGUFLayerIterator::read_tensor(const GGUFTensorInfo& info) {
    // Whole blocks by the one type table; Q8_K (15) is sized by its real 256-element, 292-byte blocks
    // like every other known code, so its read stops where its data does.
    const auto byte_size = info.byte_size();
    if (!byte_size)
        return fail("Tensor '" + info.name + "' of shape " + format_shape(info.dims) + " and type " +
                    std::to_string(info.type_code) + " is too large: its byte size overflows 64 bits");

    auto file = File::open(path_);
    if (!file) return std::unexpected(std::move(file).error());
    auto position = data_position(data_start_, info.offset);
    if (!position) return std::unexpected(std::move(position).error());
    if (auto r = file->seek(*position); !r) return std::unexpected(std::move(r).error());
    auto bytes = read_owned_bytes(*file, *byte_size, "Tensor '" + info.name + "'");
    if (!bytes) return std::unexpected(std::move(bytes).error());
    auto size = file->size();
    if (!size) return std::unexpected(std::move(size).error());

    auto tensor = tensor_or_zeros(info.name, std::move(*bytes), info.dims, gguf_type_info(info.type_code).item_dtype, *size);
    if (!tensor) return std::unexpected(std::move(tensor).error());
    return LayerTensor{info.name, std::move(*tensor), 0, extract_layer_number(info.name).value_or(0)};
}

const GGUFValue* find_value(const GGUFMetadata& kv, std::string_view key) {
    auto it = kv.find(std::string(key));
    return it == kv.end() ? nullptr : &it->second;
}

const std::string* gguf_architecture(const GGUFMetadata& kv) {
    const GGUFValue* v = find_value(kv, "general.architecture");
    return v ? std::get_if<std::string>(&v->value) : nullptr;
}

const GGUFValue* find_arch_value(const GGUFMetadata& kv, std::string_view suffix,
                                 std::optional<std::string_view> fallback) {
    const std::string* arch = gguf_architecture(kv);
    if (!arch && !fallback) return nullptr;
    return find_value(kv, std::string(arch ? std::string_view(*arch) : *fallback).append(suffix));
}

std::optional<uint64_t> read_integer(const GGUFValue* v, IntegerRule rule) {
    if (!v || (rule.types & gguf_type_bit(v->type()) & kGGUFIntegerTypes) == 0) return std::nullopt;
    return std::visit(
        [&](const auto& x) -> std::optional<uint64_t> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
                uint64_t n = uint64_t(x);  // two's complement for a negative one
                if (rule.low_32_bits) {
                    n = uint32_t(n);
                } else if constexpr (std::is_signed_v<T>) {
                    if (x < 0) {
                        if (!rule.negative) return std::nullopt;
                        n = UINT64_MAX;
                    }
                }
                if (n == 0 && !rule.zero) return std::nullopt;
                return n;
            } else {
                return std::nullopt;
            }
        },
        v->value);
}

}  // namespace quillfen
