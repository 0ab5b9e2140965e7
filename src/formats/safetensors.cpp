#include "formats/safetensors.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "formats/common.hpp"
#include "tensor/file.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

using nlohmann::json;

namespace {

constexpr std::string_view kMetadataKey = "__metadata__";  // free-form file metadata, never a tensor

// The parsed header and its length. Members are visited in the order of `json`'s object, a map sorted
// by key (byte-wise), not in the order of the text: `ordered_json` would keep the text order but looks
// keys up linearly while parsing, which a header of many thousand entries turns quadratic. So the first
// tensor that fixes the hidden size, the dtype that is met last, and the order among tensors sharing a
// begin offset are all decided by name.
struct Header {
    json members;  // an object
    uint64_t header_len = 0;
};

// One JSON value of any kind, with nothing but whitespace after it; a failure carries the parser's text.
// nlohmann's parser takes a NUL byte for the end of its input, so "{}\0garbage" would pass as "{}".
// A text that parses while holding a NUL has it right after the value (a NUL inside a string or a
// token is an error already): it is trailing text. The text is then parsed again with that byte made
// an ordinary invalid one, so the failure is the parser's own trailing-text error at the NUL's line and
// column, with the byte shown as the NUL it was.
Result<json> parse_whole_json(std::string_view text) {
    const auto nul = text.find('\0');
    std::string marked;
    try {
        json value = json::parse(text);
        if (nul == std::string_view::npos) return value;
        marked.assign(text);
        marked[nul] = '\x01';
        (void)json::parse(marked);
    } catch (const json::exception& e) {
        std::string message = e.what();
        if (!marked.empty())
            if (const auto at = message.rfind("<U+0001>"); at != std::string::npos) message.replace(at, 8, "<U+0000>");
        return fail(std::move(message));
    }
    fault("a JSON text ending at a NUL parsed past that byte once it was replaced");
}

Result<Header> read_header(const std::string& path) {
    auto file = File::open(path);
    if (!file)
        return std::unexpected(std::move(file).error().wrap("Failed to open safetensors: " + display_path(path)));
    auto header_len = file->read_le<uint64_t>();
    if (!header_len) return std::unexpected(std::move(header_len).error());
    // A length past the end fails as a short read before anything is allocated.
    auto bytes = read_owned_bytes(*file, *header_len, "Safetensors header");
    if (!bytes) return std::unexpected(std::move(bytes).error());

    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (auto bad = utf8_error(text)) return fail(bad->message());
    Header header;
    header.header_len = *header_len;
    try {
        auto parsed = parse_whole_json(text);
        if (!parsed) return std::unexpected(std::move(parsed).error());
        header.members = std::move(*parsed);
        // The parser's own wording for a value of the wrong kind: "type must be object, but is array".
        if (!header.members.is_object()) (void)header.members.get<json::object_t>();
    } catch (const json::exception& e) {
        return fail(e.what());
    } catch (const std::bad_alloc&) {
        return fail("Safetensors header of " + std::to_string(*header_len) + " bytes is too large to hold in memory");
    }
    return header;
}

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// A JSON number written without fraction or exponent that fits in 64 bits unsigned.
std::optional<uint64_t> as_u64(const json* v) {
    if (!v || !v->is_number_unsigned()) return std::nullopt;
    return v->get<uint64_t>();
}

std::optional<std::vector<uint64_t>> as_u64_list(const json& v) {
    if (!v.is_array()) return std::nullopt;
    std::vector<uint64_t> out;
    out.reserve(v.size());  // the array is already in memory
    for (const json& e : v) {
        auto n = as_u64(&e);
        if (!n) return std::nullopt;
        out.push_back(*n);
    }
    return out;
}

// An entry as an object {"dtype", "shape", "data_offsets", ...} or as the array [dtype, shape, data_offsets].
std::optional<TensorMeta> to_tensor_meta(const json& v) {
    const json *dtype, *shape, *offsets;
    if (v.is_object()) {
        dtype = member(v, "dtype");
        shape = member(v, "shape");
        offsets = member(v, "data_offsets");
        if (!dtype || !shape || !offsets) return std::nullopt;
    } else if (v.is_array() && v.size() == 3) {
        dtype = &v[0];
        shape = &v[1];
        offsets = &v[2];
    } else {
        return std::nullopt;
    }
    if (!dtype->is_string()) return std::nullopt;
    auto dims = as_u64_list(*shape);
    auto range = as_u64_list(*offsets);
    if (!dims || !range || range->size() != 2) return std::nullopt;
    return TensorMeta{dtype->get<std::string>(), std::move(*dims), {(*range)[0], (*range)[1]}};
}

}  // namespace

DType safetensors_dtype(std::string_view text) {
    if (text == "F32") return DType::Float32;
    if (text == "BF16") return DType::BFloat16;
    if (text == "I8") return DType::Int8;
    return DType::Float16;
}

std::optional<uint64_t> extract_layer_number(std::string_view name) {
    for (;;) {
        const auto dot = name.find('.');
        std::string_view piece = name.substr(0, dot);
        if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
        uint64_t value = 0;
        bool ok = !piece.empty();
        for (char c : piece) {
            if (c < '0' || c > '9' || mul_overflows(value, 10, &value) || add_overflows(value, uint64_t(c - '0'), &value)) {
                ok = false;
                break;
            }
        }
        if (ok) return value;
        if (dot == std::string_view::npos) return std::nullopt;
        name.remove_prefix(dot + 1);
    }
}

std::optional<json> load_config_json(const std::string& path) {
    std::string parent;
    if (!parent_path(path, &parent)) return std::nullopt;
    auto text = read_config_json_text(join_path(parent, "config.json"));
    if (!text) return std::nullopt;
    try {
        auto config = parse_whole_json(*text);
        if (!config) return std::nullopt;
        return std::move(*config);
    } catch (const std::bad_alloc&) {  // at most 16 MiB of text, but a value tree of it takes several times that
        return std::nullopt;
    }
}

// ---- metadata ----------------------------------------------------------------------------------------

Result<ModelMetadata> SafetensorsLoader::load_metadata(const std::string& path) const {
    auto header = read_header(path);
    if (!header) return std::unexpected(std::move(header).error());

    ModelMetadata meta;
    meta.format_name = "safetensors";
    meta.dtype = DType::Float16;
    for (const auto& [name, v] : header->members.get_ref<const json::object_t&>()) {
        if (name == kMetadataKey) continue;
        if (v.is_object()) {
            // Hidden size: the last dimension of the first layer-0 tensor that has a non-zero one.
            const json* shape = member(v, "shape");
            if (shape && shape->is_array() && meta.hidden_size == 0 && name.find(".0.") != std::string::npos)
                meta.hidden_size = shape->empty() ? 0 : as_u64(&shape->back()).value_or(0);
            if (const json* dtype = member(v, "dtype"); dtype && dtype->is_string())
                meta.dtype = safetensors_dtype(dtype->get_ref<const std::string&>());
        }
        // The count is the highest layer number plus one. Layer 2^64-1 has no successor in 64 bits:
        // the count saturates there instead of wrapping to 0.
        if (auto n = extract_layer_number(name)) {
            const uint64_t count = *n == std::numeric_limits<uint64_t>::max() ? *n : *n + 1;
            meta.num_layers = std::max(meta.num_layers, count);
        }
    }

    auto size = file_size(path);
    if (!size) return std::unexpected(std::move(size).error());
    meta.file_size = *size;

    const auto config = load_config_json(path);
    if (!config) return meta;
    auto key = [&](const char* name) { return config->is_object() ? member(*config, name) : nullptr; };
    if (const json* arch = key("model_type"); arch && arch->is_string()) meta.architecture = arch->get<std::string>();
    meta.num_attention_heads = as_u64(key("num_attention_heads")).value_or(0);
    meta.num_kv_heads = as_u64(key("num_key_value_heads")).value_or(0);
    meta.vocab_size = as_u64(key("vocab_size")).value_or(0);
    meta.context_length = as_u64(key("max_position_embeddings")).value_or(0);
    if (const uint64_t experts = as_u64(key("num_local_experts")).value_or(0); experts != 0) {
        meta.moe = MoeMetadata{experts, as_u64(key("num_experts_per_tok")).value_or(8), meta.num_layers,
                               meta.hidden_size, as_u64(key("intermediate_size")).value_or(0)};
    }
    return meta;
}

std::unique_ptr<LayerIterator> SafetensorsLoader::iter_layers(const std::string& path) const {
    return SafetensorsLayerIterator::open(path);
}

// ---- layer iteration -----------------------------------------------------------------------------------

std::unique_ptr<SafetensorsLayerIterator> SafetensorsLayerIterator::open(const std::string& path) {
    auto empty = [&] { return std::unique_ptr<SafetensorsLayerIterator>(new SafetensorsLayerIterator({}, path, 0)); };
    auto header = read_header(path);
    if (!header) return empty();
    const auto& members = header->members.get_ref<const json::object_t&>();
    std::vector<std::pair<std::string, TensorMeta>> tensors;
    tensors.reserve(members.size());  // bounded by the header already in memory
    for (const auto& [name, v] : members) {
        if (name == kMetadataKey) continue;
        auto meta = to_tensor_meta(v);
        if (!meta) return empty();  // one bad entry spoils the header as a whole
        tensors.emplace_back(name, std::move(*meta));
    }
    // File order. Entries sharing a begin offset keep the visiting order, which is by name (see Header).
    std::stable_sort(tensors.begin(), tensors.end(),
                     [](const auto& a, const auto& b) { return a.second.data_offsets[0] < b.second.data_offsets[0]; });
    // header_len fit in the file, so 8 + header_len cannot wrap.
    return std::unique_ptr<SafetensorsLayerIterator>(
        new SafetensorsLayerIterator(std::move(tensors), path, 8 + header->header_len));
}

std::optional<Result<LayerTensor>> SafetensorsLayerIterator::next() {
    if (cursor_ == tensors_.size()) return std::nullopt;
    const auto& [name, meta] = tensors_[cursor_++];  // advanced first: a failing entry is skipped next time
    auto item = read_tensor(name, meta);
    if (item) item->index = produced_++;
    return item;
}

Result<LayerTensor> SafetensorsLayerIterator::read_tensor(const std::string& name, const TensorMeta& meta) {
    const auto [begin, end] = meta.data_offsets;
    if (end < begin)
        return fail("Tensor '" + name + "' has data_offsets [" + std::to_string(begin) + ", " + std::to_string(end) +
                    "] whose end lies before its begin");
    auto file = File::open(path_);
    if (!file) return std::unexpected(std::move(file).error());
    auto position = data_position(data_start_, begin);
    if (!position) return std::unexpected(std::move(position).error());
    if (auto r = file->seek(*position); !r) return std::unexpected(std::move(r).error());
    auto bytes = read_owned_bytes(*file, end - begin, "Tensor '" + name + "'");
    if (!bytes) return std::unexpected(std::move(bytes).error());
    auto size = file->size();
    if (!size) return std::unexpected(std::move(size).error());

    auto tensor = tensor_or_zeros(name, std::move(*bytes), meta.shape, safetensors_dtype(meta.dtype), *size);
    if (!tensor) return std::unexpected(std::move(tensor).error());
    return LayerTensor{name, std::move(*tensor), 0, extract_layer_number(name).value_or(0)};
}

}  // namespace quillfen
