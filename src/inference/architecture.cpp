#include "inference/architecture.hpp"

#include <algorithm>

#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

constexpr TensorName kOutputTensors[] = {
    {"token_embd.weight", true}, {"output_norm.weight", true}, {"output.weight", false}};
// Llama 3.1 and 3.2 keep their rope scaling as one factor per rotary pair.
constexpr TensorName kLlamaModel[] = {
    {"token_embd.weight", true}, {"output_norm.weight", true}, {"output.weight", false}, {"rope_freqs.weight", false}};

constexpr TensorName kLlamaBlock[] = {
    {"attn_norm.weight", true}, {"attn_q.weight", true},    {"attn_k.weight", true},
    {"attn_v.weight", true},    {"attn_output.weight", true}, {"ffn_norm.weight", true},
    {"ffn_gate.weight", true},  {"ffn_up.weight", true},    {"ffn_down.weight", true}};
constexpr TensorName kQwen2Block[] = {
    {"attn_norm.weight", true}, {"attn_q.weight", true},      {"attn_q.bias", true},     {"attn_k.weight", true},
    {"attn_k.bias", true},      {"attn_v.weight", true},      {"attn_v.bias", true},     {"attn_output.weight", true},
    {"ffn_norm.weight", true},  {"ffn_gate.weight", true},    {"ffn_up.weight", true},   {"ffn_down.weight", true}};
constexpr TensorName kQwen3Block[] = {
    {"attn_norm.weight", true},   {"attn_q.weight", true},      {"attn_q_norm.weight", true},
    {"attn_k.weight", true},      {"attn_k_norm.weight", true}, {"attn_v.weight", true},
    {"attn_output.weight", true}, {"ffn_norm.weight", true},    {"ffn_gate.weight", true},
    {"ffn_up.weight", true},      {"ffn_down.weight", true}};
constexpr TensorName kGemma3Block[] = {
    {"attn_norm.weight", true},   {"attn_q.weight", true},           {"attn_q_norm.weight", true},
    {"attn_k.weight", true},      {"attn_k_norm.weight", true},      {"attn_v.weight", true},
    {"attn_output.weight", true}, {"post_attention_norm.weight", true}, {"ffn_norm.weight", true},
    {"ffn_gate.weight", true},    {"ffn_up.weight", true},           {"ffn_down.weight", true},
    {"post_ffw_norm.weight", true}};
// Phi-3 holds q, k and v in one matrix, and the gate above up in another.
constexpr TensorName kPhi3Block[] = {{"attn_norm.weight", true}, {"attn_qkv.weight", true},
                                     {"attn_output.weight", true}, {"ffn_norm.weight", true},
                                     {"ffn_up.weight", true},     {"ffn_down.weight", true}};

constexpr ArchitectureRow kRows[] = {
    {"llama", kLlamaModel, kLlamaBlock, RopeLayout::kAdjacent, Activation::kSilu, false, false, false, false, 0, 0.0f},
    {"qwen2", kOutputTensors, kQwen2Block, RopeLayout::kHalves, Activation::kSilu, false, false, false, false, 0, 0.0f},
    {"qwen3", kOutputTensors, kQwen3Block, RopeLayout::kHalves, Activation::kSilu, false, false, true, false, 0, 0.0f},
    // Five windowed layers to one global; the windowed ones rotate with base 10 000.
    {"gemma3", kOutputTensors, kGemma3Block, RopeLayout::kHalves, Activation::kGeluTanh, true, true, true, true, 6,
     10000.0f},
    {"phi3", kOutputTensors, kPhi3Block, RopeLayout::kHalves, Activation::kSilu, false, false, false, true, 0, 0.0f},
};

std::string key_of(const ArchitectureRow& row, std::string_view suffix) { return std::string(row.name) + std::string(suffix); }

}  // namespace

std::span<const ArchitectureRow> architectures() { return kRows; }

const ArchitectureRow* find_architecture(std::string_view name) {
    for (const ArchitectureRow& row : kRows)
        if (row.name == name) return &row;
    return nullptr;
}

std::string architecture_names() {
    std::string out;
    for (const ArchitectureRow& row : kRows) out += (out.empty() ? "" : ", ") + std::string(row.name);
    return out;
}

Result<ModelShape> read_model_shape(const GGUFMetadata& kv) {
    const std::string* arch = gguf_architecture(kv);
    if (!arch) return fail("the file names no general.architecture; quillfen runs " + architecture_names());
    const ArchitectureRow* row = find_architecture(*arch);
    if (!row)
        return fail("architecture '" + lossy_utf8(*arch) + "' is not one quillfen runs (it runs " +
                    architecture_names() + ")");
    ModelShape s;
    s.row = row;
    constexpr IntegerRule kCount{.zero = false};
    s.layers = read_integer(find_arch_value(kv, ".block_count"), kCount);
    const auto key_length = read_integer(find_arch_value(kv, ".attention.key_length"), kCount);
    const auto value_length = read_integer(find_arch_value(kv, ".attention.value_length"), kCount);
    if (row->head_width_stated) s.head_dim = key_length;
    if (key_length && value_length && *key_length != *value_length)
        return fail("keys " + std::to_string(*key_length) + " wide with values " + std::to_string(*value_length) +
                    " wide are not run");
    if (auto rot = read_integer(find_arch_value(kv, ".rope.dimension_count"), kCount);
        rot && key_length && *rot != *key_length)
        return fail("a rotary embedding over " + std::to_string(*rot) + " of " + std::to_string(*key_length) +
                    " head dimensions (" + key_of(*row, ".rope.dimension_count") + ") is not run");
    if (const GGUFValue* v = find_arch_value(kv, ".rope.scaling.type")) {
        const auto* type = std::get_if<std::string>(&v->value);
        const GGUFValue* factor = find_arch_value(kv, ".rope.scaling.factor");
        const float* f = factor ? std::get_if<float>(&factor->value) : nullptr;
        if (type && *type == "linear" && f && *f > 0.0f) {
            s.rope_linear_factor = *f;
        } else if (!type || *type != "none") {
            std::string what = "rope scaling of another type";
            if (type) what = "rope scaling '" + lossy_utf8(*type) + "'";
            return fail(what + " (" + key_of(*row, ".rope.scaling.type") + ") is not run");
        }
    }
    // Soft caps of the logits (Gemma 2's) are not implemented: a file that states one is not run.
    for (const char* suffix : {".final_logit_softcapping", ".attn_logit_softcapping"})
        if (find_arch_value(kv, suffix)) return fail(key_of(*row, suffix) + " (a logit soft cap) is not run");
    if (row->windowed)
        s.sliding_window = read_integer(find_arch_value(kv, ".attention.sliding_window"), kCount).value_or(0);
    return s;
}

Result<void> check_tensor_names(const ArchitectureRow& row, uint64_t layers, std::span<const std::string> names) {
    std::vector<std::string> sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());
    const std::string arch(row.name);
    for (const std::string& name : sorted) {
        if (name == "rope_factors_long.weight" || name == "rope_factors_short.weight")
            return fail("the long-context rope factors ('" + name + "') of this " + arch + " file are not run");
        std::string_view rest = name;
        std::span<const TensorName> allowed = row.model_tensors;
        if (rest.starts_with("blk.")) {
            rest.remove_prefix(4);
            const size_t dot = rest.find('.');
            const std::string_view number = rest.substr(0, dot);
            uint64_t layer = 0;
            bool canonical = !number.empty() && (number.size() == 1 || number[0] != '0') && number.size() < 20;
            for (char c : number) {
                canonical = canonical && c >= '0' && c <= '9';
                layer = layer * 10 + uint64_t(c - '0');
            }
            if (!canonical || dot == std::string_view::npos || layer >= layers)
                return fail("tensor '" + lossy_utf8(name) + "' is no block of this " + std::to_string(layers) +
                            "-layer " + arch + " model");
            rest.remove_prefix(dot + 1);
            allowed = row.block_tensors;
        }
        if (std::ranges::find(allowed, rest, &TensorName::name) == allowed.end())
            return fail("tensor '" + lossy_utf8(name) + "' is not part of the " + arch +
                        " architecture; quillfen would ignore it, so it refuses the file");
    }
    const auto missing = [&](const std::string& name) -> Result<void> {
        if (std::binary_search(sorted.begin(), sorted.end(), name)) return {};
        return fail("the " + arch + " file has no tensor '" + name + "'");
    };
    for (const TensorName& t : row.model_tensors)
        if (t.required)
            if (auto r = missing(std::string(t.name)); !r) return r;
    for (uint64_t l = 0; l < layers; ++l)
        for (const TensorName& t : row.block_tensors)
            if (t.required)
                if (auto r = missing("blk." + std::to_string(l) + "." + std::string(t.name)); !r) return r;
    return {};
}

}  // namespace quillfen
