#include "inference/llama.hpp"

#include "inference/dequant.hpp"
#include "compute/kernels.hpp"
#include "compute/pool.hpp"
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

FieldDefaults field_defaults(const LlamaConfig& c) {
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
Result<void> check_working_memory(const Map& tensors, const LlamaConfig& c, LayerCount layers,
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
            layer_bytes = saturating_mul(layers.count, sizeof(LlamaLayerWeights) + sizeof(KVCache));
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
};

template <class Map>
void matrix_or(std::vector<PackJob>& jobs, WeightMatrix& target, const Map& tensors, std::string_view name,
               uint64_t default_len, uint64_t cols) {
    if (const auto* t = find(tensors, name)) {
        jobs.push_back({&target, [t, cols] { return pack(*t, cols); }});
    } else {
        target = WeightMatrix::zeros(default_len);
    }
}

// Shapes the attention and feed-forward code cannot run with; checked before the step changes anything.
void check_step_shapes(const LlamaConfig& c, uint64_t num_layers) {
    if (num_layers == 0) return;
    // Grouped-query attention gives each key/value head the same number of query heads. Head counts
    // the file states must divide; counts derived from tensor lengths keep their old fault.
    if (c.heads_from_metadata && c.n_heads > 0 && c.n_kv_heads > 0 && c.n_heads % c.n_kv_heads != 0)
        fault("head_count_kv " + std::to_string(c.n_kv_heads) + " does not divide head_count " +
              std::to_string(c.n_heads));
    if (c.n_heads > 0 && c.n_kv_heads > c.n_heads) fault("attempt to divide by zero");  // group = 0
    uint64_t q_span = 0;
    if (c.n_heads > 0 && (mul_overflows(c.n_heads, c.head_dim, &q_span) || q_span > c.q_dim))
        fault(std::to_string(c.n_heads) + " query heads of width " + std::to_string(c.head_dim) +
              " reach past the model's hidden width " + std::to_string(c.q_dim));
    if (c.hidden_dim == 0) fault("attempt to divide by zero");  // feed-forward width
    uint64_t kv_dim = 0;
    if (mul_overflows(c.n_kv_heads, c.head_dim, &kv_dim))
        fault(std::to_string(c.n_kv_heads) + " key/value heads of width " + std::to_string(c.head_dim) +
              " hold more values than 64 bits can count");
}

}  // namespace

LlamaState LlamaState::create(uint64_t hidden_dim, uint64_t num_layers) {
    LlamaState s;
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
LlamaConfig derive_config_from(const Map& tensors, const LlamaHints& hints) {
    LlamaConfig c;
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
void apply_row(LlamaConfig& c, const ModelShape& shape) {
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
}

// Refuses a tensor of the row whose length is not the one the config gives it, naming it.
Result<void> check_lengths(const StoredMap& tensors, const LlamaConfig& c, uint64_t layers) {
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
void add_row_parts(std::vector<PackJob>& jobs, LlamaLayerWeights& l, const StoredMap& tensors, const std::string& p,
                   const LlamaConfig& c) {
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
        jobs.push_back({&target, [part = row_slice(t, first, rows, cols), cols] { return pack(part, cols); }});
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
            jobs.push_back({&l.ffn_down, [t = &down->second, f] { return pack(*t, f); }});
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
    const LlamaConfig& c = s.config;
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
        LlamaLayerWeights& l = s.weights.layers[i];
        const auto* gate = find(tensors, name(kFfnGate));
        const uint64_t f_dim = gate && h != 0 ? gate->size() / h : 0;
        l.attn_norm = norm_or_ones(tensors, name(kAttnNorm), d.len[kAttnNorm]);
        matrix_or(jobs, l.attn_q, tensors, name(kAttnQ), d.len[kAttnQ], h);
        matrix_or(jobs, l.attn_k, tensors, name(kAttnK), d.len[kAttnK], h);
        matrix_or(jobs, l.attn_v, tensors, name(kAttnV), d.len[kAttnV], h);
        matrix_or(jobs, l.attn_output, tensors, name(kAttnOutput), d.len[kAttnOutput], h);
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
                    if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
                }
            },
            tbb::auto_partitioner());
    });
    if (tie) s.weights.output = s.weights.token_embd;

    s.state = LlamaState::create(c.hidden_dim, layers.count);
    s.rng_state = kLlamaSeed;
    return s;
}

}  // namespace

void LlamaSession::reset() {
    // The caches and step buffers keep their memory for the next sequence.
    rewind(0);
    std::fill(state.x.begin(), state.x.end(), 0.0f);
}

void LlamaSession::rewind(uint64_t n) {
    if (n > state.pos) fault("cannot rewind to position " + std::to_string(n) + ", past " + std::to_string(state.pos));
    for (KVCache& cache : state.kv_cache) cache.length = std::min(cache.length, n);
    state.pos = n;
}

LayerCount count_layers(const TensorMap& tensors) { return count_layers_in(tensors); }

LlamaConfig derive_config(const TensorMap& tensors, const LlamaHints& hints) {
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


std::vector<float> matvec(std::span<const float> weight, std::span<const float> input, uint64_t rows,
                          uint64_t cols) {
    std::vector<float> out(rows, 0.0f);
    uint64_t needed = 0;
    if (input.size() < cols || mul_overflows(rows, cols, &needed) || weight.size() < needed) return out;
    const float* w = weight.data();
    const float* x = input.data();
    float* o = out.data();
    const auto matvec_rows = kernels().matvec_rows;
    if (rows == 1) {
        matvec_rows(w, x, o, 0, 1, cols);
    } else if (rows > 1) {
        tbb::parallel_for(
            tbb::blocked_range<uint64_t>(0, rows, 1),
            [=](const tbb::blocked_range<uint64_t>& r) { matvec_rows(w, x, o, r.begin(), r.end(), cols); },
            tbb::auto_partitioner());
    }
    return out;
}

std::vector<float> matvec(const WeightMatrix& weight, std::span<const float> input, uint64_t rows, uint64_t cols) {
    std::vector<float> out(rows, 0.0f);
    const MatvecTask task{&weight, input, rows, cols, out.data()};
    matvec_batch(std::span(&task, 1));
    return out;
}

namespace {

// Rows a work item covers: four packed groups (what the widest kernels carry side by side) for large
// products, fewer for small ones, so a product of a few dozen groups still splits evenly over the
// workers: a worker left with one item more than another idles for that item's time at every join.
uint64_t item_rows(uint64_t rows) {
    const uint64_t groups = (rows + kPackRows - 1) / kPackRows;
    return (groups >= 64 ? 4 : groups >= 24 ? 2 : 1) * kPackRows;
}

struct WorkItem {
    const MatvecTask* task;
    const MatvecTask* second;    // the paired product, computed over the same rows, or null
    const MatvecTask* finisher;  // whose finish runs on the item's rows afterwards, or null
    uint64_t begin, end;         // rows
};

void run_product(const MatvecTask& t, uint64_t begin, uint64_t end, const KernelTable& k) {
    const PackedStorage& w = *t.weight->storage();
    if (w.format == PackedFormat::Flat) {
        for (uint64_t i = 0; i < t.tokens; ++i)
            k.matvec_rows(w.tail.data(), t.input.data() + i * t.in_stride, t.out + i * t.out_stride, begin, end, t.cols);
    } else if (t.tokens == 1) {
        k.packed_groups(packed_view(w), t.input.data(), t.out, t.rows, begin / kPackRows, (end + kPackRows - 1) / kPackRows);
    } else {
        k.packed_groups_batch(packed_view(w), t.input.data(), t.in_stride, t.tokens, t.out, t.out_stride, t.rows,
                              begin / kPackRows, (end + kPackRows - 1) / kPackRows);
    }
}

void run_item(const WorkItem& item, const KernelTable& k) {
    run_product(*item.task, item.begin, item.end, k);
    if (item.second) run_product(*item.second, item.begin, item.end, k);
    if (item.finisher) item.finisher->finish(item.finisher->finish_ctx, item.begin, item.end);
}

// Whether every input of `t` lies inside its span: the last one ends at (tokens - 1) * in_stride + cols.
bool inputs_fit(const MatvecTask& t) {
    uint64_t last = 0, end = 0;
    return !mul_overflows(t.tokens - 1, t.in_stride, &last) && !add_overflows(last, t.cols, &end) &&
           t.input.size() >= end;
}

}  // namespace

void matvec_batch(std::span<const MatvecTask> tasks) {
    std::vector<WorkItem> items;
    // Products whose weight is packed for another row width walk its decoded values as plain rows;
    // reserved up front so the items' pointers stay valid.
    std::vector<WeightMatrix> flats;
    std::vector<MatvecTask> redirected;
    flats.reserve(2 * tasks.size());
    redirected.reserve(2 * tasks.size());
    // Finishes whose rows some product computed outside the work items: run once the region is over.
    std::vector<const MatvecTask*> finish_after;
    // Zero-fills the outputs of `t`; computes them at once when there is nothing to split; returns the
    // task the work items should run (or null when there is none).
    const auto prepare = [&](const MatvecTask& t) -> const MatvecTask* {
        if (t.tokens == 0) return nullptr;
        for (uint64_t i = 0; i < t.tokens; ++i) std::fill_n(t.out + i * t.out_stride, t.rows, 0.0f);
        uint64_t needed = 0;
        if (!inputs_fit(t) || mul_overflows(t.rows, t.cols, &needed) || t.weight->size() < needed || t.rows == 0)
            return nullptr;
        const PackedFormat format = t.weight->format();
        if (t.cols == 0 || format == PackedFormat::Zeros) {
            // Every row is the same sum (of nothing, or of zero weights): compute it once per input.
            for (uint64_t i = 0; i < t.tokens; ++i) {
                const float* x = t.input.data() + i * t.in_stride;
                float acc = -0.0f;
                for (uint64_t j = 0; j < t.cols; ++j) acc += 0.0f * x[j];
                std::fill_n(t.out + i * t.out_stride, t.rows, acc);
            }
            return nullptr;
        }
        if (format != PackedFormat::Flat && t.weight->storage()->cols != t.cols) {
            flats.push_back(WeightMatrix(t.weight->to_floats()));  // not a shape the forward step asks for
            redirected.push_back(t);
            redirected.back().weight = &flats.back();
            return &redirected.back();
        }
        return &t;
    };
    const auto add_items = [&](const MatvecTask* task, const MatvecTask* second, const MatvecTask* finisher) {
        const uint64_t step = item_rows(task->rows);
        for (uint64_t r = 0; r < task->rows; r += step)
            items.push_back({task, second, finisher, r, std::min(r + step, task->rows)});
    };
    for (const MatvecTask& t : tasks) {
        const MatvecTask* first = prepare(t);
        const MatvecTask* second = t.paired ? prepare(*t.paired) : nullptr;
        const bool together =
            first != nullptr && (!t.paired || (second && t.paired->rows == t.rows && t.paired->tokens == t.tokens));
        const MatvecTask* finisher = t.finish ? &t : nullptr;
        if (together) {
            add_items(first, second, finisher);
            continue;
        }
        if (first) add_items(first, nullptr, nullptr);
        if (second) add_items(second, nullptr, nullptr);
        if (finisher) finish_after.push_back(finisher);
    }
    const KernelTable& k = kernels();
    if (items.size() == 1) {
        run_item(items[0], k);
    } else if (items.size() > 1) {
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, items.size(), 1),
            [&](const tbb::blocked_range<size_t>& r) {
                for (size_t i = r.begin(); i != r.end(); ++i) run_item(items[i], k);
            },
            tbb::auto_partitioner());
    }
    for (const MatvecTask* t : finish_after)
        if (t->tokens > 0) t->finish(t->finish_ctx, 0, t->rows);
}

void rms_norm(std::span<float> v, std::span<const float> weight, float eps) { rms_norm(v, v, weight, eps); }

void rms_norm(std::span<float> out, std::span<const float> v, std::span<const float> weight, float eps) {
    const size_t n = v.size();
    if (weight.size() < n || n == 0) {
        if (out.data() != v.data()) std::copy(v.begin(), v.end(), out.begin());
        return;
    }
    float ss = -0.0f;
    for (size_t i = 0; i < n; ++i) ss += v[i] * v[i];
    const float inv = 1.0f / std::sqrt(ss / float(n) + eps);
    for (size_t i = 0; i < n; ++i) out[i] = (v[i] * inv) * weight[i];
}

namespace {

// Entries of a head's rotary table: one per pair (i, i+1), i even and below head_dim.
uint64_t rope_pairs(uint64_t head_dim) { return head_dim / 2 + head_dim % 2; }

// cos of each pair's angle at `position`, then sin of each: the same for every head, so a step works
// them out once per position. `factors`, when given, divide each pair's frequency (Llama 3.x scaling).
void rope_table(float* cs, uint64_t head_dim, uint64_t position, float freq_base, std::span<const float> factors = {}) {
    const float pos = float(position);
    const uint64_t pairs = rope_pairs(head_dim);
    for (uint64_t i = 0; i < head_dim; i += 2) {
        float freq = 1.0f / std::pow(freq_base, float(i) / float(head_dim));
        if (i / 2 < factors.size()) freq = freq / factors[i / 2];
        const float angle = freq * pos;
        cs[pairs + i / 2] = std::sin(angle);
        cs[i / 2] = std::cos(angle);
    }
}

// Pair j of a head is (2j, 2j + 1) when adjacent, (j, j + D/2) when in halves.
void rope_with_table(std::span<float> v, uint64_t heads, uint64_t head_dim, const float* cs,
                     RopeLayout layout = RopeLayout::kAdjacent) {
    const uint64_t pairs = rope_pairs(head_dim);
    const bool halves = layout == RopeLayout::kHalves && head_dim % 2 == 0;
    const uint64_t step = halves ? 1 : 2, second = halves ? head_dim / 2 : 1, end = halves ? head_dim / 2 : head_dim;
    for (uint64_t h = 0; h < heads; ++h) {
        uint64_t head_start = 0;
        // Once a head starts past the vector so does every later one: stop instead of walking them all.
        if (head_dim == 0 || mul_overflows(h, head_dim, &head_start) || head_start >= v.size()) return;
        for (uint64_t i = 0; i < end; i += step) {
            const uint64_t idx = head_start + i;  // both below sizes that fit in memory: no wrap
            if (v.size() <= second || idx > v.size() - 1 - second) break;  // idx + second >= size, without the wrap
            const uint64_t pair = halves ? i : i / 2;
            const float cos_a = cs[pair];
            const float sin_a = cs[pairs + pair];
            const float a = v[idx];
            const float b = v[idx + second];
            v[idx] = a * cos_a - b * sin_a;
            v[idx + second] = b * cos_a + a * sin_a;
        }
    }
}

}  // namespace

void apply_rope(std::span<float> v, uint64_t heads, uint64_t head_dim, uint64_t position, float freq_base,
                RopeLayout layout) {
    if (head_dim == 0 || v.size() < 2 || heads == 0) return;
    std::vector<float> cs(2 * rope_pairs(head_dim));
    rope_table(cs.data(), head_dim, position, freq_base);
    rope_with_table(v, heads, head_dim, cs.data(), layout);
}

void KVCache::reserve(uint64_t positions, uint64_t kv_heads, uint64_t dim) {
    if (capacity == 0) {
        heads = kv_heads;
        head_dim = dim;
    }
    if (positions <= capacity) return;
    uint64_t cap = std::max<uint64_t>(capacity, kKeyBlock);
    while (cap < positions) {
        if (mul_overflows(cap, 2, &cap)) fault("key/value cache of " + std::to_string(positions) + " positions");
    }
    uint64_t head_floats = 0, total = 0;
    if (mul_overflows(cap, head_dim, &head_floats) || mul_overflows(head_floats, heads, &total))
        fault("key/value cache of " + std::to_string(positions) + " positions");
    // Each head's region keeps its layout (blocks of positions, then positions): only its start moves.
    std::vector<float> new_keys(total), new_values(total);
    const uint64_t old_floats = capacity * head_dim;
    for (uint64_t h = 0; h < heads && old_floats > 0; ++h) {
        std::copy_n(keys.data() + h * old_floats, old_floats, new_keys.data() + h * head_floats);
        std::copy_n(values.data() + h * old_floats, old_floats, new_values.data() + h * head_floats);
    }
    keys = std::move(new_keys);
    values = std::move(new_values);
    capacity = cap;
}

void KVCache::store(uint64_t pos, const float* k, const float* v) {
    length = std::max(length, pos + 1);
    if (head_dim == 0) return;  // zero-width heads hold nothing, however many there are
    const uint64_t block = pos / kKeyBlock * kKeyBlock * head_dim, lane = pos % kKeyBlock;
    for (uint64_t h = 0; h < heads; ++h) {
        float* kh = keys.data() + h * capacity * head_dim + block + lane;
        const float* src = k + h * head_dim;
        for (uint64_t i = 0; i < head_dim; ++i) kh[i * kKeyBlock] = src[i];
        std::copy_n(v + h * head_dim, head_dim, values.data() + h * capacity * head_dim + pos * head_dim);
    }
}

namespace {

// Resizes each buffer to its row width times `n`; allocates only when a session meets a larger batch.
void size_buffers(StepBuffers& b, uint64_t n, uint64_t h, uint64_t q_dim, uint64_t q_span, uint64_t kv_dim,
                  uint64_t f_dim, uint64_t head_dim) {
    b.x.resize(n * h);
    b.xb.resize(n * h);
    b.q.resize(n * q_dim);
    b.k.resize(n * kv_dim);
    b.v.resize(n * kv_dim);
    b.att.resize(n * q_span);
    b.o.resize(n * h);
    b.gate.resize(n * f_dim);
    b.up.resize(n * f_dim);
    b.mid.resize(n * f_dim);
    b.down.resize(n * h);
    b.rope.resize(n * 2 * rope_pairs(head_dim));
    b.rope_local.resize(n * 2 * rope_pairs(head_dim));
}

// Attention of a batch's tokens over one layer's cache. The query heads one key/value head serves,
// for up to kAttnTokens consecutive tokens, form a unit: their scores are taken in one pass over the
// head's keys and their weighted sums in one pass over its values, so each key and value is read
// once per unit instead of once per query. Every score, softmax and sum keeps its serial order, so
// how units and ranges are spread over workers changes no bit.
inline constexpr uint64_t kAttnTokens = 8;
// With few units (a step of one token), the keys are split into runs of this many positions and the
// head width into runs of kAttnColumns, so every worker has a share of a long context.
inline constexpr uint64_t kAttnKeyRun = 512;
inline constexpr uint64_t kAttnColumns = 16;

class BatchAttention {
public:
    // `window`: each query sees only its own position and the window - 1 before it (0: every position).
    BatchAttention(const LlamaConfig& c, const KVCache& cache, const float* q, float* att, uint64_t p, uint64_t n,
                   uint64_t window = 0)
        : cache_(cache), q_(q), att_(att), p_(p), n_(n), window_(window), q_dim_(c.q_dim), d_(c.head_dim),
          heads_(c.n_heads), group_(c.n_heads / std::max<uint64_t>(c.n_kv_heads, 1)),
          kv_heads_(c.n_kv_heads),
          tiles_((n + kAttnTokens - 1) / kAttnTokens),
          stride_((p + n + kKeyBlock - 1) / kKeyBlock * kKeyBlock),
          scale_(1.0f / std::sqrt(float(c.head_dim))),
          kt_(kernels()) {}

    void run(std::vector<float>& shared_scores) {
        const uint64_t units = kv_heads_ * tiles_;
        if (units == 0) return;
        const uint64_t workers = uint64_t(std::max(1, tbb::this_task_arena::max_concurrency()));
        if (units >= 2 * workers || p_ + n_ <= kAttnKeyRun) {
            tbb::parallel_for(
                tbb::blocked_range<uint64_t>(0, units, 1),
                [&](const tbb::blocked_range<uint64_t>& r) {
                    // Rows for one unit's queries, written before they are read.
                    const std::unique_ptr<float[]> own(new float[max_queries() * stride_]);
                    for (uint64_t u = r.begin(); u != r.end(); ++u) {
                        Unit unit = make_unit(u, own.get());
                        scores(unit, 0, unit.t_len_max);
                        softmax(unit);
                        accumulate(unit, 0, d_);
                    }
                },
                tbb::auto_partitioner());
            return;
        }
        // Few units: keys, softmaxes and head columns each spread over the workers in turn.
        shared_scores.resize(units * max_queries() * stride_);
        std::vector<Unit> all;
        all.reserve(units);
        for (uint64_t u = 0; u < units; ++u) all.push_back(make_unit(u, shared_scores.data() + u * max_queries() * stride_));
        const uint64_t key_runs = (p_ + n_ + kAttnKeyRun - 1) / kAttnKeyRun;
        spread(units * key_runs, [&](uint64_t item) {
            Unit& unit = all[item / key_runs];
            const uint64_t begin = item % key_runs * kAttnKeyRun;
            if (begin < unit.t_len_max) scores(unit, begin, std::min(begin + kAttnKeyRun, unit.t_len_max));
        });
        spread(units, [&](uint64_t u) { softmax(all[u]); });
        const uint64_t column_runs = (d_ + kAttnColumns - 1) / kAttnColumns;
        spread(units * column_runs, [&](uint64_t item) {
            const uint64_t begin = item % column_runs * kAttnColumns;
            accumulate(all[item / column_runs], begin, std::min(begin + kAttnColumns, d_));
        });
    }

private:
    // The queries of one unit, token by token, each token's heads in order.
    struct Unit {
        uint64_t g = 0, count = 0, t_len_max = 0;
        uint64_t tokens = 0, per_token = 0;  // count = tokens * per_token
        std::vector<const float*> q;
        std::vector<float*> rows, out;
        std::vector<uint64_t> t_len;
    };

    uint64_t max_queries() const { return std::min(kAttnTokens, n_) * group_; }

    Unit make_unit(uint64_t u, float* rows) const {
        Unit unit;
        unit.g = u % kv_heads_;
        const uint64_t i0 = u / kv_heads_ * kAttnTokens, i1 = std::min(i0 + kAttnTokens, n_);
        const uint64_t h0 = unit.g * group_, h1 = h0 + group_;  // n_kv_heads * group <= n_heads
        unit.tokens = i1 - i0;
        unit.per_token = h1 - h0;
        for (uint64_t i = i0; i < i1; ++i)
            for (uint64_t hd = h0; hd < h1; ++hd) {
                unit.q.push_back(q_ + i * q_dim_ + hd * d_);
                unit.rows.push_back(rows + unit.rows.size() * stride_);
                unit.out.push_back(att_ + i * heads_ * d_ + hd * d_);
                unit.t_len.push_back(p_ + i + 1);
            }
        unit.count = unit.q.size();
        unit.t_len_max = p_ + i1;
        return unit;
    }

    // Scores of every query of the unit over keys [begin, end) (begin on a key block). A query of an
    // earlier token gets scores past its own length too, which its softmax never reads.
    void scores(const Unit& unit, uint64_t begin, uint64_t end) const {
        kt_.attn_scores(unit.q.data(), unit.count, cache_.head_keys(unit.g), begin, end, d_, scale_, unit.rows.data());
    }

    // Inside a window, the softmax runs over the positions each query sees, and the weights of the
    // positions before them are zero, as the reference's masked exponentials are.
    void softmax(const Unit& unit) const {
        if (window_ == 0) return kt_.attn_softmax(unit.rows.data(), unit.t_len.data(), unit.count);
        std::vector<float*> rows(unit.rows);
        std::vector<uint64_t> len(unit.t_len);
        std::vector<uint64_t> first(unit.count, 0);
        for (uint64_t j = 0; j < unit.count; ++j) {
            first[j] = len[j] > window_ ? len[j] - window_ : 0;
            rows[j] += first[j];
            len[j] -= first[j];
        }
        kt_.attn_softmax(rows.data(), len.data(), unit.count);
        for (uint64_t j = 0; j < unit.count; ++j) std::fill_n(unit.rows[j], first[j], 0.0f);
    }

    // Columns [c0, c1) of every query's weighted sum: all queries over the positions the first token
    // sees, then each later token's queries over the one position more it sees.
    void accumulate(const Unit& unit, uint64_t c0, uint64_t c1) const {
        std::vector<float*> out(unit.out);
        for (float*& o : out) o += c0;
        const float* values = cache_.head_values(unit.g) + c0;
        uint64_t begin = 0;
        for (uint64_t k = 0; k < unit.tokens; ++k) {
            const uint64_t first = k * unit.per_token, end = unit.t_len[first];
            kt_.attn_accumulate(const_cast<const float* const*>(unit.rows.data()) + first, unit.count - first, values,
                                d_, begin, end, c1 - c0, out.data() + first);
            begin = end;
        }
    }

    template <class Fn>
    static void spread(uint64_t items, Fn&& fn) {
        tbb::parallel_for(
            tbb::blocked_range<uint64_t>(0, items, 1),
            [&](const tbb::blocked_range<uint64_t>& r) {
                for (uint64_t i = r.begin(); i != r.end(); ++i) fn(i);
            },
            tbb::auto_partitioner());
    }

    const KVCache& cache_;
    const float* q_;
    float* att_;
    uint64_t p_, n_, window_, q_dim_, d_, heads_, group_, kv_heads_, tiles_, stride_;
    float scale_;
    const KernelTable& kt_;
};

// x[i][r] = delta[i][r] + x[i][r] for rows r of a product's work item, every input i (rows `width` apart).
struct ResidualAdd {
    float* x;
    const float* delta;
    uint64_t n, width;
    static void run(void* ctx, uint64_t begin, uint64_t end) {
        const auto& a = *static_cast<const ResidualAdd*>(ctx);
        for (uint64_t i = 0; i < a.n; ++i)
            for (uint64_t r = begin; r < end; ++r) a.x[i * a.width + r] = a.delta[i * a.width + r] + a.x[i * a.width + r];
    }
};

// mid = up × act(gate), element by element, for rows of the gate and up products' work item: SiLU, or
// GELU in its tanh form with the reference's constants and order of operations.
struct GatedActivation {
    float* mid;
    const float* gate;
    const float* up;
    uint64_t n, width;
    static void silu(void* ctx, uint64_t begin, uint64_t end) {
        const auto& a = *static_cast<const GatedActivation*>(ctx);
        for (uint64_t i = 0; i < a.n; ++i)
            for (uint64_t r = i * a.width + begin; r < i * a.width + end; ++r)
                a.mid[r] = a.up[r] * (a.gate[r] / (std::exp(-a.gate[r]) + 1.0f));
    }
    static void gelu_tanh(void* ctx, uint64_t begin, uint64_t end) {
        constexpr float kBeta = float(M_SQRT2 * M_2_SQRTPI * 0.5);
        constexpr float kKappa = 0.044715f;
        const auto& a = *static_cast<const GatedActivation*>(ctx);
        for (uint64_t i = 0; i < a.n; ++i)
            for (uint64_t r = i * a.width + begin; r < i * a.width + end; ++r) {
                const float x = a.gate[r];
                const float inner = kBeta * (x + kKappa * (x * x * x));
                a.mid[r] = (0.5f * x * (1.0f + std::tanh(inner))) * a.up[r];
            }
    }
};

// Adds `bias` to each of the n rows of `v` (rows `width` apart). Nothing when there is no bias.
void add_bias(float* v, std::span<const float> bias, uint64_t n, uint64_t width) {
    if (bias.empty()) return;
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t r = 0; r < width && r < bias.size(); ++r) v[i * width + r] = v[i * width + r] + bias[r];
}

// RMSNorm of every head of the n rows (heads of width d, rows `width` apart). Nothing without a norm.
void norm_heads(float* v, std::span<const float> norm, uint64_t n, uint64_t heads, uint64_t d, uint64_t width,
                float eps) {
    if (norm.empty()) return;
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t hd = 0; hd < heads; ++hd) rms_norm(std::span(v + i * width + hd * d, d), norm, eps);
}

// Tokens [p, p + n) of the batch at positions p.. through every layer; the residual stream of token i
// ends in b.x[i * H ...]. False when `stop` ended the run after a layer. The architecture's switches
// (see architecture.hpp) are read from the config, its optional parts from the weights: a part a file
// does not have is a step that does nothing.
bool run_layers(LlamaSession& session, std::span<const uint32_t> tokens, const StopCheck& stop) {
    const LlamaConfig& c = session.config;
    const LlamaWeights& w = session.weights;
    LlamaState& st = session.state;
    StepBuffers& b = st.buffers;
    const uint64_t n = tokens.size();
    const uint64_t h_dim = c.hidden_dim;
    const uint64_t d = c.head_dim;
    const uint64_t kv_dim = c.n_kv_heads * d;
    const uint64_t q_dim = c.q_dim;
    const uint64_t q_span = c.n_heads * d;
    const uint64_t p = st.pos;
    uint64_t f_dim = 0;
    for (const LlamaLayerWeights& lw : w.layers) f_dim = std::max(f_dim, lw.ffn_gate.size() / h_dim);
    // Without layers only the embedding runs: the attention's widths, which such a file never had to
    // back with memory (a head count may claim anything), size nothing.
    const bool layered = !w.layers.empty();
    size_buffers(b, n, h_dim, layered ? q_dim : 0, layered ? q_span : 0, layered ? kv_dim : 0, f_dim,
                 layered ? d : 0);

    // Embedding; a token past the table embeds as zeros.
    for (uint64_t i = 0; i < n; ++i) {
        std::span<float> xi(b.x.data() + i * h_dim, h_dim);
        uint64_t begin = 0, end = 0;
        if (!mul_overflows(uint64_t{tokens[i]}, h_dim, &begin) && !add_overflows(begin, h_dim, &end) &&
            end <= w.token_embd.size()) {
            w.token_embd.decode(begin, xi);  // one row, decoded from the stored form
            if (c.embedding_scale != 0.0f)
                for (float& v : xi) v = v * c.embedding_scale;
        } else {
            std::fill(xi.begin(), xi.end(), 0.0f);
        }
    }
    const uint64_t pairs = rope_pairs(d);
    const uint64_t t_max = p + n;
    const bool local_rope = c.sliding_window > 0 && c.local_rope_base > 0.0f;
    if (layered && d > 0)
        for (uint64_t i = 0; i < n; ++i) {
            rope_table(b.rope.data() + i * 2 * pairs, d, p + i, c.rope_freq_base, w.rope_freqs);
            if (local_rope) rope_table(b.rope_local.data() + i * 2 * pairs, d, p + i, c.local_rope_base, w.rope_freqs);
        }

    for (size_t l = 0; l < w.layers.size(); ++l) {
        const LlamaLayerWeights& lw = w.layers[l];
        KVCache& cache = st.kv_cache[l];
        const bool windowed = c.windowed(l);

        // Attention: norm, projections (with their biases), each head's norm, rotary position, then
        // every cached position the layer sees.
        for (uint64_t i = 0; i < n; ++i)
            rms_norm(std::span(b.xb.data() + i * h_dim, h_dim), std::span(b.x.data() + i * h_dim, h_dim), lw.attn_norm,
                     c.rms_epsilon);
        // The three projections of one input share one parallel region.
        const MatvecTask qkv[] = {{&lw.attn_q, b.xb, q_dim, h_dim, b.q.data(), n, h_dim, q_dim},
                                  {&lw.attn_k, b.xb, kv_dim, h_dim, b.k.data(), n, h_dim, kv_dim},
                                  {&lw.attn_v, b.xb, kv_dim, h_dim, b.v.data(), n, h_dim, kv_dim}};
        matvec_batch(qkv);
        add_bias(b.q.data(), lw.q_bias, n, q_dim);
        add_bias(b.k.data(), lw.k_bias, n, kv_dim);
        add_bias(b.v.data(), lw.v_bias, n, kv_dim);
        norm_heads(b.q.data(), lw.q_norm, n, c.n_heads, d, q_dim, c.rms_epsilon);
        norm_heads(b.k.data(), lw.k_norm, n, c.n_kv_heads, d, kv_dim, c.rms_epsilon);
        cache.reserve(t_max, c.n_kv_heads, d);
        for (uint64_t i = 0; i < n; ++i) {
            const float* cs = (windowed && local_rope ? b.rope_local.data() : b.rope.data()) + i * 2 * pairs;
            rope_with_table(std::span(b.q.data() + i * q_dim, q_dim), c.n_heads, d, cs, c.rope_layout);
            rope_with_table(std::span(b.k.data() + i * kv_dim, kv_dim), c.n_kv_heads, d, cs, c.rope_layout);
            cache.store(p + i, b.k.data() + i * kv_dim, b.v.data() + i * kv_dim);
        }

        std::fill(b.att.begin(), b.att.end(), 0.0f);
        // With zero-width heads nothing is written, however many heads there are: skip the walk.
        if (c.n_heads > 0 && d > 0)
            BatchAttention(c, cache, b.q.data(), b.att.data(), p, n, windowed ? c.sliding_window : 0).run(b.scores);
        // The residual add, and below the gate's activation, run inside the products' work items on
        // their rows; a norm of the whole output (Gemma's) comes between the product and the add.
        ResidualAdd attn_residual{b.x.data(), b.o.data(), n, h_dim};
        MatvecTask out_proj{&lw.attn_output, b.att, h_dim, q_dim, b.o.data(), n, q_span, h_dim};
        if (lw.attn_post_norm.empty()) {
            out_proj.finish = ResidualAdd::run;
            out_proj.finish_ctx = &attn_residual;
        }
        matvec_batch(std::span(&out_proj, 1));
        if (!lw.attn_post_norm.empty()) {
            for (uint64_t i = 0; i < n; ++i)
                rms_norm(std::span(b.o.data() + i * h_dim, h_dim), lw.attn_post_norm, c.rms_epsilon);
            ResidualAdd::run(&attn_residual, 0, h_dim);
        }

        // Feed-forward: gated, its width read off the gate matrix.
        for (uint64_t i = 0; i < n; ++i)
            rms_norm(std::span(b.xb.data() + i * h_dim, h_dim), std::span(b.x.data() + i * h_dim, h_dim), lw.ffn_norm,
                     c.rms_epsilon);
        const uint64_t fl = lw.ffn_gate.size() / h_dim;
        GatedActivation act{b.mid.data(), b.gate.data(), b.up.data(), n, fl};
        const MatvecTask up{&lw.ffn_up, b.xb, fl, h_dim, b.up.data(), n, h_dim, fl};
        MatvecTask gate{&lw.ffn_gate, b.xb, fl, h_dim, b.gate.data(), n, h_dim, fl};
        gate.paired = &up;
        gate.finish = c.activation == Activation::kGeluTanh ? GatedActivation::gelu_tanh : GatedActivation::silu;
        gate.finish_ctx = &act;
        matvec_batch(std::span(&gate, 1));
        ResidualAdd ffn_residual{b.x.data(), b.down.data(), n, h_dim};
        MatvecTask down{&lw.ffn_down, std::span<const float>(b.mid.data(), n * fl), h_dim, fl, b.down.data(), n, fl, h_dim};
        if (lw.ffn_post_norm.empty()) {
            down.finish = ResidualAdd::run;
            down.finish_ctx = &ffn_residual;
        }
        matvec_batch(std::span(&down, 1));
        if (!lw.ffn_post_norm.empty()) {
            for (uint64_t i = 0; i < n; ++i)
                rms_norm(std::span(b.down.data() + i * h_dim, h_dim), lw.ffn_post_norm, c.rms_epsilon);
            ResidualAdd::run(&ffn_residual, 0, h_dim);
        }
        if (stop && stop()) return false;
    }
    return true;
}

// The last token's residual stream, normalised, into the state (as a one-token step leaves it), and
// its logits when asked for.
std::vector<float> finish(LlamaSession& session, uint64_t n, bool want_logits) {
    const LlamaConfig& c = session.config;
    LlamaState& st = session.state;
    std::copy_n(st.buffers.x.data() + (n - 1) * c.hidden_dim, c.hidden_dim, st.x.data());
    rms_norm(st.x, session.weights.output_norm, c.rms_epsilon);
    if (!want_logits) return {};
    return matvec(session.weights.output, st.x, c.vocab_size, c.hidden_dim);
}

void advance(LlamaSession& session, uint64_t n) {
    session.state.pos += n;
    for (uint64_t i = 0; i < n; ++i) session.rng_state = session.rng_state * kLcgMultiplier + 1;
}

}  // namespace

std::vector<float> forward(LlamaSession& session, uint32_t token_id) {
    return forward_tokens(session, std::span(&token_id, 1), true);
}

std::vector<float> forward_tokens(LlamaSession& session, std::span<const uint32_t> tokens, bool want_logits,
                                  const StopCheck& stop) {
    check_step_shapes(session.config, session.weights.layers.size());
    const LlamaConfig& c = session.config;
    uint64_t f_dim = 0;
    for (const LlamaLayerWeights& lw : session.weights.layers) f_dim = std::max(f_dim, lw.ffn_gate.size() / c.hidden_dim);
    // Floats a token takes in the step buffers (H each: x, xb, o, down; q and att as wide as the queries; the
    // rest as sized).
    const uint64_t per_token = saturating_mul(4, c.hidden_dim) + saturating_mul(2, c.q_dim) +
                               saturating_mul(2, c.n_kv_heads * c.head_dim) + saturating_mul(3, f_dim) +
                               saturating_mul(2, c.head_dim) + 1;
    const uint64_t batch = std::clamp<uint64_t>(kBatchBytes / saturating_mul(per_token, sizeof(float)), 1, kForwardBatch);
    std::vector<float> logits;
    (session.arena ? *session.arena : pool()).execute([&] {
        for (uint64_t start = 0; start < tokens.size(); start += batch) {
            const auto chunk = tokens.subspan(start, std::min<uint64_t>(batch, tokens.size() - start));
            if (!run_layers(session, chunk, stop)) {
                session.rewind(session.state.pos);  // the entries the unfinished batch stored
                return;
            }
            const bool last = start + chunk.size() == tokens.size();
            logits = finish(session, chunk.size(), want_logits && last);
            advance(session, chunk.size());
        }
    });
    return logits;
}

}  // namespace quillfen
