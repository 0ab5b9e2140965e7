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

// How values are read: `lossy` strings, and whether array elements are kept or only checked.
struct ValueRules {
    bool lossy = false;
    bool keep_arrays = true;
};

Result<GGUFValue> read_value_nested(FileReader& in, uint32_t code, uint32_t depth, ValueRules rules);
Result<std::string> read_text(FileReader& in, bool lossy);

Result<GGUFValue> read_array(FileReader& in, uint32_t depth, ValueRules rules) {
    auto elem_code = in.read_le<uint32_t>();
    if (!elem_code) return std::unexpected(std::move(elem_code).error());
    if (*elem_code >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(*elem_code));
    auto count = in.read_le<uint64_t>();
    if (!count) return std::unexpected(std::move(count).error());

    // Arrays of arrays recurse: a hostile file could nest them until the stack runs out.
    if (*elem_code == static_cast<uint32_t>(GGUFValueType::Array) && *count > 0 && depth + 1 >= kGGUFMaxArrayDepth)
        return fail("GGUF arrays nested deeper than " + std::to_string(kGGUFMaxArrayDepth) + " levels");

    // Every element the count announces has its bytes in the file by the time it is stored, so the list
    // grows with the file, not with the count; a huge (sparse) file can still outgrow memory, which
    // is reported rather than left to end the process.
    try {
        GGUFValue::Array elems;
        elems.reserve(std::min(*count, kMaxArrayReserve));
        if (const uint64_t width = kFixedValueBytes[*elem_code]; width != 0) {
            // Fixed-size elements: one read for the lot. A count the rest of the file cannot hold could
            // only end in a short read, so it fails as one before anything is allocated.
            uint64_t total;
            if (mul_overflows(*count, width, &total) || total > in.remaining()) return std::unexpected(eof_error());
            if (!rules.keep_arrays) {
                if (auto r = in.skip(total); !r) return std::unexpected(std::move(r).error());
                return GGUFValue{std::move(elems)};
            }
            auto bytes = in.read_bytes(total, "GGUF array");
            if (!bytes) return std::unexpected(std::move(bytes).error());
            for (uint64_t i = 0; i < *count; ++i) elems.push_back(decode_fixed(*elem_code, bytes->data() + i * width));
            return GGUFValue{std::move(elems)};
        }
        // Strings and arrays take at least 8 bytes of file each, so a damaged count ends at the end of the file.
        for (uint64_t i = 0; i < *count; ++i) {
            auto elem = read_value_nested(in, *elem_code, depth + 1, rules);
            if (!elem) return std::unexpected(std::move(elem).error());
            if (rules.keep_arrays) elems.push_back(std::move(*elem));
        }
        return GGUFValue{std::move(elems)};
    } catch (const std::bad_alloc&) {
        return fail("GGUF array of " + std::to_string(*count) + " elements is too large to hold in memory");
    }
}

Result<GGUFValue> read_value_nested(FileReader& in, uint32_t code, uint32_t depth, ValueRules rules) {
    if (code >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(code));
    if (code == static_cast<uint32_t>(GGUFValueType::String)) {
        auto text = read_text(in, rules.lossy);
        if (!text) return std::unexpected(std::move(text).error());
        return GGUFValue{std::move(*text)};
    }
    if (code == static_cast<uint32_t>(GGUFValueType::Array)) return read_array(in, depth, rules);
    uint8_t bytes[8];
    if (auto r = in.read_exact(bytes, kFixedValueBytes[code]); !r) return std::unexpected(std::move(r).error());
    return decode_fixed(code, bytes);
}

// Eight lowercase hex digits, as the bad-magic message prints the first four bytes.
std::string hex8(uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = kDigits[value & 0xF];
    return out;
}

using MetadataMap = std::unordered_map<std::string, GGUFValue>;

// A count key: only 32-bit and unsigned 64-bit integers count, all taken as unsigned 32-bit.
std::optional<uint32_t> count_value(const MetadataMap& kv, const std::string& key) {
    auto it = kv.find(key);
    if (it == kv.end()) return std::nullopt;
    const auto& v = it->second.value;
    if (auto* u = std::get_if<uint32_t>(&v)) return *u;
    if (auto* i = std::get_if<int32_t>(&v)) return static_cast<uint32_t>(*i);  // -1 reads as 4294967295
    if (auto* u = std::get_if<uint64_t>(&v)) return static_cast<uint32_t>(*u);  // low 32 bits
    return std::nullopt;
}

Result<std::string> read_text(FileReader& in, bool lossy) {
    if (!lossy) return GGUFLoader::read_string(in);
    auto len = in.read_le<uint64_t>();
    if (!len) return std::unexpected(std::move(len).error());
    auto bytes = in.read_bytes(*len, "GGUF string");
    if (!bytes) return std::unexpected(std::move(bytes).error());
    return lossy_utf8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

// Moves past one value of type `code` without keeping it. Arrays nest without limit here, so the
// pending values live on an explicit stack (one frame per 12 bytes of file read, never per count):
// a deep file cannot exhaust the call stack. Moving past the end is no error in itself; the next
// read fails.
Result<void> skip_value(FileReader& in, uint32_t code) {
    struct Pending {
        uint32_t code;
        uint64_t count;
    };
    std::vector<Pending> pending{{code, 1}};
    while (!pending.empty()) {
        Pending& top = pending.back();
        if (top.count == 0) {
            pending.pop_back();
            continue;
        }
        const uint32_t t = top.code;
        if (t >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(t));
        if (const uint64_t width = kFixedValueBytes[t]; width != 0) {
            uint64_t bytes;  // a run of fixed-size values is stepped over in one move
            if (mul_overflows(width, top.count, &bytes)) bytes = UINT64_MAX;  // past any end all the same
            top.count = 0;
            if (auto r = in.skip(bytes); !r) return r;
            continue;
        }
        --top.count;
        if (t == static_cast<uint32_t>(GGUFValueType::String)) {
            auto len = in.read_le<uint64_t>();
            if (!len) return std::unexpected(std::move(len).error());
            if (auto r = in.skip(*len); !r) return r;
        } else {
            auto elem = in.read_le<uint32_t>();
            if (!elem) return std::unexpected(std::move(elem).error());
            auto count = in.read_le<uint64_t>();
            if (!count) return std::unexpected(std::move(count).error());
            pending.push_back({*elem, *count});  // `top` is not used past this point
        }
    }
    return {};
}

// A value under a key the caller keeps, in stepping mode: numbers and strings whose bytes are all in
// the file are decoded; anything else is stepped over and kept as an empty list, so that it still
// replaces an earlier entry of the key and reads as no number and no text.
Result<GGUFValue> capture_value(FileReader& in, uint32_t code, bool lossy) {
    if (code < kGGUFValueTypeCount) {
        if (const uint64_t width = kFixedValueBytes[code]; width != 0 && width <= in.remaining())
            return read_value_nested(in, code, 0, {});
        if (code == static_cast<uint32_t>(GGUFValueType::String)) {
            auto len = in.read_le<uint64_t>();
            if (!len) return std::unexpected(std::move(len).error());
            if (*len <= in.remaining()) {
                auto bytes = in.read_bytes(*len, "GGUF string");
                if (!bytes) return std::unexpected(std::move(bytes).error());
                std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
                if (lossy || !utf8_error(text)) return GGUFValue{lossy ? lossy_utf8(text) : std::string(text)};
            } else if (auto r = in.skip(*len); !r) {
                return std::unexpected(std::move(r).error());
            }
            return GGUFValue{GGUFValue::Array{}};
        }
    }
    if (auto r = skip_value(in, code); !r) return std::unexpected(std::move(r).error());
    return GGUFValue{GGUFValue::Array{}};
}

// "general.alignment" when it is an unsigned 32-bit power of two; anything else leaves the default.
uint64_t alignment_of(const MetadataMap& kv) {
    auto it = kv.find("general.alignment");
    if (it == kv.end()) return kGGUFAlignment;
    const auto* a = std::get_if<uint32_t>(&it->second.value);
    return a && *a != 0 && (*a & (*a - 1)) == 0 ? *a : kGGUFAlignment;
}

constexpr std::string_view kAlignmentKey = "general.alignment";

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

    const ValueRules rules{options.lossy_text, options.keep_arrays};
    for (uint64_t i = 0; i < kv_count; ++i) {  // each entry takes >= 12 bytes: a damaged count stops at the end
        auto key = read_text(in, options.lossy_text);
        if (!key) return std::unexpected(std::move(key).error());
        auto code = in.read_le<uint32_t>();
        if (!code) return std::unexpected(std::move(code).error());
        if (options.decode_values) {
            if (*code >= kGGUFValueTypeCount) return std::unexpected(unknown_value_type(*code));
            auto value = read_value_nested(in, *code, 0, rules);
            if (!value) return std::unexpected(std::move(value).error());
            out.metadata.insert_or_assign(std::move(*key), std::move(*value));
        } else if (*key == kAlignmentKey || (options.keep_key && options.keep_key(*key))) {
            auto value = capture_value(in, *code, options.lossy_text);
            if (!value) return std::unexpected(std::move(value).error());
            out.metadata.insert_or_assign(std::move(*key), std::move(*value));
        } else if (auto r = skip_value(in, *code); !r) {
            return std::unexpected(std::move(r).error());
        }
    }
    if (!options.read_tensors) return out;

    // The smallest record: empty name (8), no dimensions (4), type (4), offset (8). Records are read
    // one by one, so the reservation only saves regrowth; it never trusts the count past the file.
    constexpr uint64_t kMinRecordBytes = 24;
    out.tensors.reserve(std::min(tensor_count, in.remaining() / kMinRecordBytes));
    for (uint64_t i = 0; i < tensor_count; ++i) {
        GGUFTensorInfo info;
        auto name = read_text(in, options.lossy_text);
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

Result<std::string> GGUFLoader::read_string(FileReader& in) {
    auto len = in.read_le<uint64_t>();
    if (!len) return std::unexpected(std::move(len).error());
    auto bytes = in.read_bytes(*len, "GGUF string");
    if (!bytes) return std::unexpected(std::move(bytes).error());
    std::string text(bytes->begin(), bytes->end());
    if (auto bad = utf8_error(text)) return std::unexpected(Error(bad->message()).wrap("Invalid UTF-8 in GGUF string"));
    return text;
}

Result<GGUFValue> GGUFLoader::read_value(FileReader& in, uint32_t type_code) {
    return read_value_nested(in, type_code, 0, {});
}

// The File overloads read through a reader of their own and leave the file just past the value.
Result<std::string> GGUFLoader::read_string(File& file) {
    auto in = FileReader::over(file);
    if (!in) return std::unexpected(std::move(in).error());
    auto text = read_string(*in);
    if (auto r = in->sync(); !r && text) return std::unexpected(std::move(r).error());
    return text;
}

Result<GGUFValue> GGUFLoader::read_value(File& file, uint32_t type_code) {
    auto in = FileReader::over(file);
    if (!in) return std::unexpected(std::move(in).error());
    auto value = read_value(*in, type_code);
    if (auto r = in->sync(); !r && value) return std::unexpected(std::move(r).error());
    return value;
}

Result<ModelMetadata> GGUFLoader::load_metadata(const std::string& path) const {
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file).error().wrap("Failed to open GGUF file: " + display_path(path)));
    // Strict: the magic is checked and every string must be UTF-8. Arrays are read to check them, but
    // no count is an array, so none is kept (a long one would cost far more in memory than in file).
    GGUFReadOptions options;
    options.read_tensors = false;
    auto contents = read_gguf(*file, options);
    if (!contents) return std::unexpected(std::move(contents).error());
    const MetadataMap& kv = contents->metadata;

    ModelMetadata meta;
    meta.format_name = "GGUF";
    meta.dtype = DType::Float16;
    if (auto it = kv.find("general.architecture"); it != kv.end())
        if (auto* arch = std::get_if<std::string>(&it->second.value)) meta.architecture = *arch;
    const std::string& prefix = meta.architecture;  // "unknown" keys are looked up as well
    auto count = [&](const char* suffix) { return count_value(kv, prefix + suffix); };
    meta.num_layers = count(".block_count").value_or(0);
    meta.hidden_size = count(".embedding_length").value_or(0);
    meta.num_attention_heads = count(".attention.head_count").value_or(0);
    meta.num_kv_heads = count(".attention.head_count_kv").value_or(0);
    meta.vocab_size = count(".vocab_size").value_or(0);
    meta.context_length = count(".context_length").value_or(0);

    auto size = file_size(path);
    if (!size) return std::unexpected(std::move(size).error());
    meta.file_size = *size;

    if (const uint32_t experts = count(".expert_count").value_or(0); experts != 0) {
        MoeMetadata moe;
        moe.num_experts = experts;
        moe.num_active_experts = count(".expert_used_count").value_or(8);
        moe.num_layers = meta.num_layers;
        moe.hidden_size = meta.hidden_size;
        const uint32_t ffn = count(".expert_feed_forward_length").value_or(0);
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

std::optional<uint64_t> gguf_integer(const GGUFValue& v) {
    return std::visit(
        [](const auto& x) -> std::optional<uint64_t> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
                if constexpr (std::is_signed_v<T>)
                    if (x < 0) return UINT64_MAX;
                return uint64_t(x);
            } else {
                return std::nullopt;
            }
        },
        v.value);
}

}  // namespace quillfen
