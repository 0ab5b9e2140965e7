// From a file (or float32 tensors) to a model in memory: the config from tensor lengths and metadata,
// the file's tensors checked against its architecture's row, every matrix packed on the pool, and the
// working memory all of it takes checked against the file's bound before anything is allocated.
#include "inference/model.hpp"

#include "compute/pool.hpp"
#include "inference/dequant.hpp"
#include "tensor/utf8.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace quillfen {

namespace {

constexpr uint64_t kDefaultHidden = 4096;
constexpr uint64_t kDefaultHeads = 32;
constexpr uint64_t kDefaultHeadDim = 128;
constexpr uint64_t kDefaultVocab = 32000;

// Unsigned division that faults instead of dividing by zero.
uint64_t div_or_fault(uint64_t a, uint64_t b) {
    if (b == 0) fault("attempt to divide by zero");
    return a / b;
}

// Construction reads either float32 tensors (hand-built models, a TensorMap) or a file's stored tensors
// (a StoredDirectory); both map a name to something with a decoded length, `size()`.
template <class Map>
const typename Map::mapped_type* find(const Map& tensors, std::string_view name) {
    auto it = tensors.find(std::string(name));
    return it == tensors.end() ? nullptr : &it->second;
}

// Text of an unsigned decimal layer number as a name carries it: digits with an optional leading '+'.
std::optional<uint64_t> parse_layer_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (mul_overflows(value, 10, &value) || add_overflows(value, uint64_t(c - '0'), &value)) return std::nullopt;
    }
    return value;
}

// The nine tensors of a block, by name suffix.
enum LayerField { kAttnNorm, kAttnQ, kAttnK, kAttnV, kAttnOutput, kFfnNorm, kFfnGate, kFfnUp, kFfnDown, kFieldCount };
constexpr std::string_view kFieldSuffix[kFieldCount] = {
    ".attn_norm.weight", ".attn_q.weight", ".attn_k.weight", ".attn_v.weight", ".attn_output.weight",
    ".ffn_norm.weight",  ".ffn_gate.weight", ".ffn_up.weight", ".ffn_down.weight"};

// Length of the default a missing field gets; the feed-forward matrices default to empty. A length past
// 64 bits saturates, so the memory check below refuses it.
struct FieldDefaults {
    uint64_t len[kFieldCount] = {};
};

FieldDefaults field_defaults(const ModelConfig& c) {
    FieldDefaults d;
    const uint64_t h = c.hidden_dim;
    const uint64_t hh = saturating_mul(h, h);
    const uint64_t kv = saturating_mul(saturating_mul(c.head_dim, c.n_kv_heads), h);
    d.len[kAttnNorm] = h;
    d.len[kAttnQ] = hh;
    d.len[kAttnK] = kv;
    d.len[kAttnV] = kv;
    d.len[kAttnOutput] = hh;
    d.len[kFfnNorm] = h;
    return d;
}

// Which block a name belongs to as the per-layer lookups spell it: "blk.{i}{suffix}" with i in
// canonical decimal (no sign, no leading zeros). Returns the field or kFieldCount.
LayerField canonical_field(std::string_view name) {
    if (!name.starts_with("blk.")) return kFieldCount;
    name.remove_prefix(4);
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (digits == 0 || (digits > 1 && name[0] == '0')) return kFieldCount;
    if (!parse_layer_number(name.substr(0, digits))) return kFieldCount;
    name.remove_prefix(digits);
    for (int f = 0; f < kFieldCount; ++f)
        if (name == kFieldSuffix[f]) return LayerField(f);
    return kFieldCount;
}

std::vector<uint64_t> dims_of(const std::vector<float>& t) { return {t.size()}; }
const std::vector<uint64_t>& dims_of(const StoredTensor& t) { return t.dims; }

std::string dims_text(const std::vector<uint64_t>& dims) {
    std::string out = "[";
    for (size_t i = 0; i < dims.size(); ++i) out += (i ? ", " : "") + std::to_string(dims[i]);
    return out + "]";
}

// The running total of a model's working memory, checked against its bound as each part is added,
// so that the refusal names the tensor whose dimensions pass it.
class MemoryTally {
public:
    explicit MemoryTally(const MemoryBound& bound) : bound_(bound) {}

    // `bytes` more, on account of tensor `name` (empty: the defaults, which no tensor sets).
    template <class T>
    Result<void> add(uint64_t bytes, std::string_view name, const T* tensor, std::string_view note = {}) {
        const bool overflow = add_overflows(total_, bytes, &total_);
        if (!overflow && total_ <= bound_.bytes) return {};
        const std::string need =
            overflow ? "more than " + std::to_string(std::numeric_limits<uint64_t>::max()) : std::to_string(total_);
        const std::string what = tensor
                                     ? "Tensor '" + std::string(name) + "' with dimensions " + dims_text(dims_of(*tensor))
                                     : std::string("The default dimensions");
        return fail(what + std::string(note) + " would need " + need + " bytes of working memory, beyond " +
                    bound_.what);
    }

private:
    const MemoryBound& bound_;
    uint64_t total_ = 0;
};

uint64_t floats_bytes(uint64_t n) { return saturating_mul(n, sizeof(float)); }

// Bytes a present matrix takes once packed for rows of `cols` (nothing when its data is absent).
uint64_t matrix_bytes(const std::vector<float>& t, uint64_t cols) {
    return WeightMatrix::pack_floats_bytes(t.size(), cols);
}
uint64_t matrix_bytes(const StoredTensor& t, uint64_t cols) {
    return t.in_file ? WeightMatrix::pack_gguf_bytes(t.dtype, t.n_elements, t.bytes.size(), cols) : 0;
}
// A present norm: its first H values, decoded from the whole tensor.
uint64_t norm_bytes(const std::vector<float>& t, uint64_t h) { return floats_bytes(std::min<uint64_t>(t.size(), h)); }
uint64_t norm_bytes(const StoredTensor& t, uint64_t h) {
    return saturating_mul(std::min(t.n_elements, h) + (t.in_file ? t.n_elements : 0), sizeof(float));
}

// Vectors one step allocates per unit of each width: the residual stream and its copies, the
// projections and attention output (H each: the step refuses key/value widths past H first), the
// feed-forward gate, up and product (F), and the logits with the sampler's ranking (vocabulary).
constexpr uint64_t kStepFloatsPerHidden = 10;
constexpr uint64_t kStepFloatsPerFfn = 3;
constexpr uint64_t kStepFloatsPerVocab = 6;
// The key and value vectors of a step (kept in the cache afterwards).
constexpr uint64_t kStepFloatsPerKeyValue = 2;

// Working memory of the model `tensors` describe, checked part by part against `bound`: the step's
// vectors, the layer records with their default norms, and every weight kept (matrices packed,
// norms as their first H floats). Defaults of zero hold no storage, nor do tensors whose data is
// absent; a tied output shares the embedding's.
template <class Map>
Result<void> check_working_memory(const Map& tensors, const ModelConfig& c, LayerCount layers,
                                  const MemoryBound& bound, bool share_tied) {
    using T = typename Map::mapped_type;
    MemoryTally tally(bound);
    const uint64_t h = c.hidden_dim;
    const char* h_name = find(tensors, "output_norm.weight") ? "output_norm.weight" : "blk.0.attn_norm.weight";
    if (auto r = tally.add(saturating_mul(kStepFloatsPerHidden, floats_bytes(h)), h_name, find(tensors, h_name)); !r)
        return r;
    const char* v_name = find(tensors, "token_embd.weight") ? "token_embd.weight" : "output.weight";
    if (auto r = tally.add(saturating_mul(kStepFloatsPerVocab, floats_bytes(c.vocab_size)), v_name,
                           find(tensors, v_name));
        !r)
        return r;

    // Key and value vectors are at most H wide whenever there are query heads (the step refuses wider
    // ones); without query heads only the key matrix they are derived from bounds them.
    if (const uint64_t kv_dim = saturating_mul(c.n_kv_heads, c.head_dim);
        c.n_heads == 0 && kv_dim > h && layers.count > 0) {
        const char* k_name = "blk.0.attn_k.weight";
        if (auto r = tally.add(saturating_mul(kStepFloatsPerKeyValue, floats_bytes(kv_dim)), k_name,
                               find(tensors, k_name));
            !r)
            return r;
    }

    // Layers: a single "blk.N" name makes N of them, each with its records and default norms.
    std::string_view last_name;
    const T* last = nullptr;
    std::optional<uint64_t> largest;
    uint64_t present_norms = 0;
    for (const auto& [name, t] : tensors) {
        const LayerField f = canonical_field(name);
        if (f == kAttnNorm || f == kFfnNorm) ++present_norms;
        std::string_view n = name;
        if (!n.starts_with("blk.")) continue;
        n.remove_prefix(4);
        if (auto i = parse_layer_number(n.substr(0, n.find('.'))); i && (!largest || *i > *largest)) {
            largest = i;
            last_name = name;
            last = &t;
        }
    }
    if (layers.count > 0 || layers.overflow) {
        uint64_t layer_bytes = UINT64_MAX, default_norms = 0;
        if (!layers.overflow && !mul_overflows(layers.count, 2, &default_norms)) {
            default_norms -= std::min(default_norms, present_norms);
            layer_bytes = saturating_mul(layers.count, sizeof(LayerWeights) + sizeof(KVCache));
            if (add_overflows(layer_bytes, saturating_mul(default_norms, floats_bytes(h)), &layer_bytes))
                layer_bytes = UINT64_MAX;
        }
        const std::string note =
            " makes " + (layers.overflow ? std::string("18446744073709551616") : std::to_string(layers.count)) +
            " layers, which";
        if (auto r = tally.add(layer_bytes, last_name, last, note); !r) return r;
    }

    // Every weight kept, in file-independent order: the model's own tensors, then each layer's.
    if (const T* t = find(tensors, "token_embd.weight"))
        if (auto r = tally.add(matrix_bytes(*t, h), "token_embd.weight", t); !r) return r;
    if (const T* t = find(tensors, "output_norm.weight"))
        if (auto r = tally.add(norm_bytes(*t, h), "output_norm.weight", t); !r) return r;
    const bool has_output = find(tensors, "output.weight");
    const char* out_name = has_output ? "output.weight" : "token_embd.weight";
    if (const T* t = find(tensors, out_name); t && (has_output || !share_tied))
        if (auto r = tally.add(matrix_bytes(*t, h), out_name, t); !r) return r;
    // Only canonical block names are ever looked up; taken in block and field order, so a refusal
    // names the same tensor whatever order the map holds them in.
    struct BlockTensor {
        uint64_t layer;
        LayerField field;
        const std::string* name;
        const T* tensor;
    };
    std::vector<BlockTensor> block_tensors;
    for (const auto& [name, t] : tensors)
        if (const LayerField f = canonical_field(name); f != kFieldCount)
            block_tensors.push_back({*parse_layer_number(std::string_view(name).substr(4, name.find('.', 4) - 4)), f,
                                     &name, &t});
    std::sort(block_tensors.begin(), block_tensors.end(), [](const BlockTensor& a, const BlockTensor& b) {
        return std::tie(a.layer, a.field) < std::tie(b.layer, b.field);
    });
    uint64_t widest_ffn = 0;
    for (const BlockTensor& bt : block_tensors) {
        const std::string& name = *bt.name;
        const T& t = *bt.tensor;
        const LayerField f = bt.field;
        uint64_t bytes = 0;
        if (f == kAttnNorm || f == kFfnNorm) {
            bytes = norm_bytes(t, h);
        } else if (f == kFfnDown) {
            // Packed for rows of the layer's feed-forward width, read off its gate.
            std::string gate_name(name.substr(0, name.size() - kFieldSuffix[kFfnDown].size()));
            const T* gate = find(tensors, gate_name + std::string(kFieldSuffix[kFfnGate]));
            bytes = matrix_bytes(t, gate && h != 0 ? gate->size() / h : 0);
        } else {
            bytes = matrix_bytes(t, h);
            if (f == kFfnGate && h != 0 && t.size() / h > widest_ffn) {  // the step's widest vectors so far
                const uint64_t step = saturating_mul(kStepFloatsPerFfn, floats_bytes(t.size() / h - widest_ffn));
                if (add_overflows(bytes, step, &bytes)) bytes = std::numeric_limits<uint64_t>::max();
                widest_ffn = t.size() / h;
            }
        }
        if (auto r = tally.add(bytes, name, &t); !r) return r;
    }
    return {};
}

// A weight matrix packed for rows of `cols` columns.
WeightMatrix pack(const std::vector<float>& t, uint64_t cols) { return WeightMatrix::pack_floats(t, cols); }
WeightMatrix pack(const StoredTensor& t, uint64_t cols) {
    if (!t.in_file) return WeightMatrix::zeros(t.n_elements);
    return WeightMatrix::pack_gguf(t.bytes, t.dtype, t.n_elements, cols);
}

// A norm's first `h` values: the step normalises H-element vectors and reads no further, and a norm
// shorter than H is skipped whatever it holds. Absent data reads as zeros.
std::vector<float> norm_floats(const std::vector<float>& t, uint64_t h) {
    return std::vector<float>(t.begin(), t.begin() + std::min<uint64_t>(t.size(), h));
}
std::vector<float> norm_floats(const StoredTensor& t, uint64_t h) {
    if (!t.in_file) return std::vector<float>(std::min(t.n_elements, h), 0.0f);
    std::vector<float> all = dequantize_gguf(t.bytes, t.dtype, t.n_elements);
    return std::vector<float>(all.begin(), all.begin() + std::min<uint64_t>(all.size(), h));
}

template <class Map>
std::vector<float> norm_or_ones(const Map& tensors, std::string_view name, uint64_t h) {
    if (const auto* t = find(tensors, name)) return norm_floats(*t, h);
    return std::vector<float>(h, 1.0f);
}

// Packing work gathered while the session's layout is built, then run tensor by tensor on the pool.
struct PackJob {
    WeightMatrix* target;
    std::function<WeightMatrix()> make;
    StoredTensor source{};  // whose file pages to give back once packed (none when not mapped)
};

template <class Map>
void matrix_or(std::vector<PackJob>& jobs, WeightMatrix& target, const Map& tensors, std::string_view name,
               uint64_t default_len, uint64_t cols) {
    if (const auto* t = find(tensors, name)) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*t)>, StoredTensor>)
            jobs.push_back({&target, [t, cols] { return pack(*t, cols); }, *t});
        else
            jobs.push_back({&target, [t, cols] { return pack(*t, cols); }});
    } else {
        target = WeightMatrix::zeros(default_len);
    }
}

}  // namespace

SequenceState SequenceState::create(uint64_t hidden_dim, uint64_t num_layers) {
    SequenceState s;
    s.x.assign(hidden_dim, 0.0f);
    s.kv_cache.resize(num_layers);
    s.pos = 0;
    return s;
}

namespace {

template <class Map>
LayerCount count_layers_in(const Map& tensors) {
    std::optional<uint64_t> largest;
    for (const auto& [name, _] : tensors) {
        std::string_view n = name;
        if (n.size() < 4 || !n.starts_with("blk.")) continue;
        n.remove_prefix(4);
        n = n.substr(0, n.find('.'));
        if (auto i = parse_layer_number(n); i && (!largest || *i > *largest)) largest = i;
    }
    if (!largest) return {};
    if (*largest == std::numeric_limits<uint64_t>::max()) return {0, true};
    return {*largest + 1, false};
}

template <class Map>
ModelConfig derive_config_from(const Map& tensors, const LlamaHints& hints) {
    ModelConfig c;
    const bool stored_heads = hints.head_count && *hints.head_count != 0;
    if (tensors.empty()) {
        c.hidden_dim = kDefaultHidden;
        c.n_heads = kDefaultHeads;
        c.head_dim = kDefaultHeadDim;
        c.n_kv_heads = kDefaultHeads;
        c.vocab_size = kDefaultVocab;
    } else {
        const auto* output_norm = find(tensors, "output_norm.weight");
        const auto* attn_norm = find(tensors, "blk.0.attn_norm.weight");
        const auto* q = find(tensors, "blk.0.attn_q.weight");
        const auto* k = find(tensors, "blk.0.attn_k.weight");
        const uint64_t h = output_norm ? output_norm->size() : attn_norm ? attn_norm->size() : kDefaultHidden;
        c.hidden_dim = h;
        if (!stored_heads) {
            // Without a stored head count the query matrix is all there is to go by.
            c.n_heads = q ? div_or_fault(q->size(), h) : kDefaultHeads;
            if (k && c.n_heads > h) {
                c.head_dim = 0;
                c.n_kv_heads = c.n_heads;
            } else if (k) {
                c.head_dim = h / std::max<uint64_t>(c.n_heads, 1);
                c.n_kv_heads = div_or_fault(div_or_fault(k->size(), h), c.head_dim);
            } else {
                c.head_dim = h / std::max<uint64_t>(c.n_heads, 1);
                c.n_kv_heads = c.n_heads;
            }
        }
        if (h == 0 && !k) {
            c.vocab_size = kDefaultVocab;
        } else if (const auto* embd = find(tensors, "token_embd.weight")) {
            c.vocab_size = div_or_fault(embd->size(), h);
        } else if (const auto* out = find(tensors, "output.weight")) {
            c.vocab_size = div_or_fault(out->size(), h);
        } else {
            c.vocab_size = kDefaultVocab;
        }
    }
    if (stored_heads) {
        c.heads_from_metadata = true;
        c.n_heads = *hints.head_count;
        c.head_dim = c.hidden_dim / c.n_heads;
        c.n_kv_heads = hints.head_count_kv.value_or(c.n_heads);
    }
    if (hints.rope_freq_base) c.rope_freq_base = *hints.rope_freq_base;
    if (hints.rms_epsilon) c.rms_epsilon = *hints.rms_epsilon;
    c.q_dim = c.hidden_dim;
    return c;
}

using StoredMap = std::unordered_map<std::string, StoredTensor>;

// Rows [first, first + rows) of a matrix of `cols` columns: the part of a fused matrix one product reads.
StoredTensor row_slice(const StoredTensor& t, uint64_t first, uint64_t rows, uint64_t cols) {
    StoredTensor part = t;
    part.n_elements = rows * cols;
    part.dims = {cols, rows};
    if (t.in_file) {
        const uint64_t row_bytes = t.bytes.size() / (t.n_elements / cols);
        part.bytes = t.bytes.subspan(first * row_bytes, rows * row_bytes);
    }
    return part;
}

// The switches of the file's row, and the widths its metadata states, over the derived config.
void apply_row(ModelConfig& c, const ModelShape& shape) {
    const ArchitectureRow& row = *shape.row;
    if (shape.head_dim) c.head_dim = *shape.head_dim;
    c.q_dim = c.n_heads * c.head_dim;
    c.rope_layout = row.rope_layout;
    c.activation = row.activation;
    // The reference holds sqrt(H) as a float32 number and multiplies the float32 embedding by it.
    if (row.embedding_scaled) c.embedding_scale = float(std::sqrt(double(c.hidden_dim)));
    c.sliding_window = shape.sliding_window;
    c.global_every = row.global_every;
    c.local_rope_base = row.local_rope_base;
    c.rope_linear_factor = shape.rope_linear_factor;
}

// Refuses a tensor of the row whose length is not the one the config gives it, naming it.
Result<void> check_lengths(const StoredMap& tensors, const ModelConfig& c, uint64_t layers) {
    const uint64_t h = c.hidden_dim, d = c.head_dim, kv = c.n_kv_heads * c.head_dim;
    const auto expect = [&](const std::string& name, uint64_t want) -> Result<void> {
        const auto it = tensors.find(name);
        if (it == tensors.end() || it->second.n_elements == want) return {};
        return fail("tensor '" + name + "' holds " + std::to_string(it->second.n_elements) + " values where the " +
                    "model's dimensions give " + std::to_string(want));
    };
    if (c.n_heads == 0 || h == 0 || d == 0) return fail("the file states no head count and width to run with");
    if (auto r = expect("output_norm.weight", h); !r) return r;
    if (auto r = expect("rope_freqs.weight", d / 2); !r) return r;
    const auto embd = tensors.find("token_embd.weight");
    if (embd != tensors.end() && embd->second.n_elements % h != 0)
        return fail("tensor 'token_embd.weight' holds " + std::to_string(embd->second.n_elements) +
                    " values, not whole rows of " + std::to_string(h));
    for (uint64_t l = 0; l < layers; ++l) {
        const std::string p = "blk." + std::to_string(l) + ".";
        // The feed-forward width, read off the down projection (gate and up may be one matrix).
        const auto down = tensors.find(p + "ffn_down.weight");
        const uint64_t f = down == tensors.end() ? 0 : down->second.n_elements / h;
        const bool fused_ffn = tensors.find(p + "ffn_gate.weight") == tensors.end();
        const std::pair<std::string, uint64_t> lengths[] = {
            {"attn_norm.weight", h},        {"attn_q.weight", c.q_dim * h},  {"attn_k.weight", kv * h},
            {"attn_v.weight", kv * h},      {"attn_qkv.weight", (c.q_dim + 2 * kv) * h},
            {"attn_output.weight", h * c.q_dim}, {"attn_q.bias", c.q_dim},   {"attn_k.bias", kv},
            {"attn_v.bias", kv},            {"attn_q_norm.weight", d},       {"attn_k_norm.weight", d},
            {"post_attention_norm.weight", h}, {"ffn_norm.weight", h},      {"ffn_gate.weight", f * h},
            {"ffn_up.weight", (fused_ffn ? 2 : 1) * f * h}, {"ffn_down.weight", h * f},
            {"post_ffw_norm.weight", h}};
        for (const auto& [suffix, want] : lengths)
            if (auto r = expect(p + suffix, want); !r) return r;
    }
    return {};
}

// A vector of the row (a bias, a norm) in full, or empty when the file has none.
std::vector<float> optional_floats(const StoredMap& tensors, const std::string& name) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) return {};
    return norm_floats(it->second, it->second.n_elements);
}

// `share_tied`: a missing output projection shares the embedding's storage instead of packing its own copy.
// `progress`, when given, counts the packing jobs as they finish.
// The parts of a layer only some rows have: biases, head norms, post-norms, and the fused matrices'
// parts (Phi-3's q, k and v in one matrix, its gate above up in another).
void add_row_parts(std::vector<PackJob>& jobs, LayerWeights& l, const StoredMap& tensors, const std::string& p,
                   const ModelConfig& c) {
    const uint64_t h = c.hidden_dim, kv = c.n_kv_heads * c.head_dim;
    l.q_bias = optional_floats(tensors, p + "attn_q.bias");
    l.k_bias = optional_floats(tensors, p + "attn_k.bias");
    l.v_bias = optional_floats(tensors, p + "attn_v.bias");
    l.q_norm = optional_floats(tensors, p + "attn_q_norm.weight");
    l.k_norm = optional_floats(tensors, p + "attn_k_norm.weight");
    l.attn_post_norm = optional_floats(tensors, p + "post_attention_norm.weight");
    l.ffn_post_norm = optional_floats(tensors, p + "post_ffw_norm.weight");
    const auto split = [&](WeightMatrix& target, const StoredTensor& t, uint64_t first, uint64_t rows, uint64_t cols) {
        std::erase_if(jobs, [&](const PackJob& j) { return j.target == &target; });  // the fused whole's job
        const StoredTensor part = row_slice(t, first, rows, cols);
        jobs.push_back({&target, [part, cols] { return pack(part, cols); }, part});
    };
    if (const auto qkv = tensors.find(p + "attn_qkv.weight"); qkv != tensors.end()) {
        split(l.attn_q, qkv->second, 0, c.q_dim, h);
        split(l.attn_k, qkv->second, c.q_dim, kv, h);
        split(l.attn_v, qkv->second, c.q_dim + kv, kv, h);
    }
    const auto up = tensors.find(p + "ffn_up.weight");
    if (tensors.find(p + "ffn_gate.weight") == tensors.end() && up != tensors.end()) {
        const uint64_t f = up->second.n_elements / h / 2;
        split(l.ffn_gate, up->second, 0, f, h);
        split(l.ffn_up, up->second, f, f, h);
        // The down projection was packed for rows of the gate's width, which it did not know yet.
        if (const auto down = tensors.find(p + "ffn_down.weight"); down != tensors.end()) {
            std::erase_if(jobs, [&](const PackJob& j) { return j.target == &l.ffn_down; });
            jobs.push_back({&l.ffn_down, [t = &down->second, f] { return pack(*t, f); }, down->second});
        }
    }
}

// `shape`, when given, is the file's checked architecture: its widths and switches go into the config,
// its fused matrices are split and its optional vectors kept.
template <class Map>
Result<LlamaSession> build_from(const Map& tensors, const LlamaHints& hints, const MemoryBound& bound,
                                bool share_tied, LoadProgress* progress = nullptr, const ModelShape* shape = nullptr) {
    const LayerCount layers = count_layers_in(tensors);
    LlamaSession s;
    s.config = derive_config_from(tensors, hints);
    const ModelConfig& c = s.config;
    if constexpr (std::is_same_v<Map, StoredMap>) {
        if (shape) {
            apply_row(s.config, *shape);
            if (auto r = check_lengths(tensors, c, layers.count); !r) return std::unexpected(r.error());
        }
    }

    // Refuse a model whose dimensions need more memory than its bound before allocating anything.
    if (auto r = check_working_memory(tensors, c, layers, bound, share_tied); !r) return std::unexpected(r.error());

    // Every matrix is packed for the row width the forward step reads it with.
    const uint64_t h = c.hidden_dim;
    const uint64_t embd_len = h * c.vocab_size;  // fits: checked with the defaults above
    std::vector<PackJob> jobs;
    matrix_or(jobs, s.weights.token_embd, tensors, "token_embd.weight", embd_len, h);
    s.weights.output_norm = norm_or_ones(tensors, "output_norm.weight", h);
    const bool has_output = find(tensors, "output.weight");
    const bool tie = !has_output && share_tied && find(tensors, "token_embd.weight");
    if (!tie) matrix_or(jobs, s.weights.output, tensors, has_output ? "output.weight" : "token_embd.weight", embd_len, h);

    const FieldDefaults d = field_defaults(c);
    s.weights.layers.resize(layers.count);
    for (uint64_t i = 0; i < layers.count; ++i) {
        const std::string prefix = "blk." + std::to_string(i);
        auto name = [&](LayerField f) { return prefix + std::string(kFieldSuffix[f]); };
        LayerWeights& l = s.weights.layers[i];
        const auto* gate = find(tensors, name(kFfnGate));
        const uint64_t f_dim = gate && h != 0 ? gate->size() / h : 0;
        l.attn_norm = norm_or_ones(tensors, name(kAttnNorm), d.len[kAttnNorm]);
        matrix_or(jobs, l.attn_q, tensors, name(kAttnQ), d.len[kAttnQ], h);
        matrix_or(jobs, l.attn_k, tensors, name(kAttnK), d.len[kAttnK], h);
        matrix_or(jobs, l.attn_v, tensors, name(kAttnV), d.len[kAttnV], h);
        matrix_or(jobs, l.attn_output, tensors, name(kAttnOutput), d.len[kAttnOutput], c.q_dim);  // rows of the queries
        l.ffn_norm = norm_or_ones(tensors, name(kFfnNorm), d.len[kFfnNorm]);
        matrix_or(jobs, l.ffn_gate, tensors, name(kFfnGate), 0, h);
        matrix_or(jobs, l.ffn_up, tensors, name(kFfnUp), 0, h);
        matrix_or(jobs, l.ffn_down, tensors, name(kFfnDown), 0, f_dim);
        if constexpr (std::is_same_v<Map, StoredMap>) {
            if (shape) add_row_parts(jobs, l, tensors, prefix + ".", c);
        }
    }
    if constexpr (std::is_same_v<Map, StoredMap>) {
        if (shape) s.weights.rope_freqs = optional_floats(tensors, "rope_freqs.weight");
    }
    if (progress) progress->total.store(jobs.size());
    pool().execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, jobs.size(), 1),
            [&](const tbb::blocked_range<size_t>& r) {
                for (size_t i = r.begin(); i != r.end(); ++i) {
                    *jobs[i].target = jobs[i].make();
                    release_pages(jobs[i].source);
                    if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
                }
            },
            tbb::auto_partitioner());
    });
    if (tie) s.weights.output = s.weights.token_embd;

    s.state = SequenceState::create(c.hidden_dim, layers.count);
    s.rng_state = kLlamaSeed;
    return s;
}

}  // namespace

void LlamaSession::reset() {
    // The caches and step buffers keep their memory for the next sequence.
    rewind(0);
    std::fill(state.x.begin(), state.x.end(), 0.0f);
}

void LlamaSession::rewind(uint64_t n) { state.rewind(n); }

void SequenceState::rewind(uint64_t n) {
    if (n > pos) fault("cannot rewind to position " + std::to_string(n) + ", past " + std::to_string(pos));
    for (KVCache& cache : kv_cache) cache.length = std::min(cache.length, n);
    pos = n;
}

LayerCount count_layers(const TensorMap& tensors) { return count_layers_in(tensors); }

ModelConfig derive_config(const TensorMap& tensors, const LlamaHints& hints) {
    return derive_config_from(tensors, hints);
}

Result<LlamaSession> build_llama_session(const TensorMap& tensors, const LlamaHints& hints,
                                         uint64_t memory_limit_bytes) {
    const MemoryBound bound{memory_limit_bytes, "the " + std::to_string(memory_limit_bytes) + " bytes allowed"};
    return build_from(tensors, hints, bound, false);
}

uint64_t model_memory_bound(uint64_t file_size) {
    uint64_t scaled;
    if (mul_overflows(file_size, kModelMemoryPerFileByte, &scaled)) return std::numeric_limits<uint64_t>::max();
    return std::max(kModelMemoryFloor, scaled);
}

namespace {

Result<LlamaSession> finish_load(Result<LlamaSession> session, const StoredDirectory& dir, const std::string& path,
                                 std::vector<std::string>* warnings) {
    if (session && warnings) {
        // Loads anyway, as it always has; the user should still hear of it.
        const DirectoryNotes& notes = dir.notes();
        if (!notes.gguf_magic)
            warnings->push_back(lossy_utf8(path) + " does not start with the GGUF magic; it was read as GGUF anyway");
        if (notes.past_end > 0)
            warnings->push_back(lossy_utf8(path) + ": the data of " + std::to_string(notes.past_end) +
                                (notes.past_end == 1 ? " tensor" : " tensors") + ", the first '" +
                                notes.first_past_end +
                                "', runs past the end of the file and reads as zeros; the file may be truncated");
    }
    return session;
}

}  // namespace

Result<LlamaSession> LlamaSession::load(const std::string& path, std::vector<std::string>* warnings,
                                        LoadProgress* progress) {
    auto dir = StoredDirectory::open(path);
    if (!dir) return std::unexpected(std::move(dir).error());
    return load(*dir, path, warnings, progress);
}  // the directory and its mapping of the file are released here

Result<LlamaSession> LlamaSession::load(const StoredDirectory& dir, const std::string& path,
                                        std::vector<std::string>* warnings, LoadProgress* progress) {
    const uint64_t limit = model_memory_bound(dir.file_size());
    const MemoryBound bound{limit, "the " + std::to_string(limit) + " bytes a model from a " +
                                       std::to_string(dir.file_size()) + "-byte file may use"};
    auto session = finish_load(build_from(dir.tensors(), dir.hints(), bound, true, progress), dir, path, warnings);
    // This load runs every file as LLaMA; another architecture's file gives wrong results here.
    if (session && warnings && dir.notes().architecture && *dir.notes().architecture != "llama")
        warnings->push_back(lossy_utf8(path) + ": general.architecture is '" + lossy_utf8(*dir.notes().architecture) +
                            "', which LlamaSession runs as 'llama', so its results are not the model's; "
                            "quillfen.Model runs " + architecture_names());
    return session;
}

Result<LlamaSession> LlamaSession::load(const StoredDirectory& dir, const ModelShape& shape, const std::string& path,
                                        std::vector<std::string>* warnings, LoadProgress* progress) {
    std::vector<std::string> names;
    names.reserve(dir.tensors().size());
    for (const auto& [name, _] : dir.tensors()) names.push_back(name);
    const uint64_t layers = shape.layers.value_or(count_layers_in(dir.tensors()).count);
    if (auto r = check_tensor_names(*shape.row, layers, names); !r) return std::unexpected(r.error());
    const uint64_t limit = model_memory_bound(dir.file_size());
    const MemoryBound bound{limit, "the " + std::to_string(limit) + " bytes a model from a " +
                                       std::to_string(dir.file_size()) + "-byte file may use"};
    return finish_load(build_from(dir.tensors(), dir.hints(), bound, true, progress, &shape), dir, path, warnings);
}

}  // namespace quillfen
