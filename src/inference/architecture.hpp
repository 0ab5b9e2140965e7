// The model architectures the text model runs, one row each: the metadata keys a file of that
// architecture states, the tensors it holds (required and optional), and the switches the forward pass
// reads. A file is checked against its row before anything is built from it. Knows nothing of Python.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/gguf.hpp"
#include "tensor/error.hpp"

namespace quillfen {

// How a head's rotary pairs are laid out: adjacent (x[2i], x[2i+1]), as GGUF's `llama` files store
// their permuted queries and keys, or the two halves (x[i], x[i + D/2]) as the reference models hold them.
enum class RopeLayout { kAdjacent, kHalves };

// The feed-forward's gate: gate(x) through SiLU, or through GELU in its tanh form.
enum class Activation { kSilu, kGeluTanh };

// A tensor of the row: its name ("blk." prefix and layer number left out for block tensors).
struct TensorName {
    std::string_view name;
    bool required;
};

struct ArchitectureRow {
    std::string_view name;                     // general.architecture
    std::span<const TensorName> model_tensors;  // top-level names
    std::span<const TensorName> block_tensors;  // suffixes after "blk.N."
    // Switches the forward pass reads.
    RopeLayout rope_layout;
    Activation activation;
    bool embedding_scaled;   // the embedding is multiplied by sqrt(H) (rounded to float32)
    bool norm_after_blocks;  // the attention and feed-forward outputs are normalised before their residual add
    bool head_width_stated;  // the head width is "{arch}.attention.key_length", not H / heads
    // Sliding-window attention: none, every layer, or every layer but each `global_every`-th (whose rope
    // base is the file's; the windowed ones use `local_rope_base`).
    bool windowed;
    uint64_t global_every;  // 0: every layer is windowed
    float local_rope_base;
};

// Every row, in the order messages list them.
std::span<const ArchitectureRow> architectures();
// The row of `name`, or nullptr.
const ArchitectureRow* find_architecture(std::string_view name);
// "llama, qwen2, ...": the architectures this build runs, for messages.
std::string architecture_names();

// What the forward pass needs to know of one file beyond its tensors and the hints every file may
// carry (head counts, rotary base, norm epsilon), read from its metadata. A count the file does not
// state is read off its tensors, as for any LLaMA-family file.
struct ModelShape {
    const ArchitectureRow* row = nullptr;
    std::optional<uint64_t> layers;      // "{arch}.block_count"
    std::optional<uint64_t> head_dim;    // "{arch}.attention.key_length", for rows that state it
    uint64_t sliding_window = 0;         // "{arch}.attention.sliding_window"; 0: none
    float rope_linear_factor = 0.0f;     // "{arch}.rope.scaling.factor" of linear scaling; 0: none
};

// The row of the file's architecture and its shape from the metadata, or a refusal naming what this
// build cannot run exactly: an architecture without a row, a key the row requires, a rope variant it
// does not implement.
Result<ModelShape> read_model_shape(const GGUFMetadata& metadata);

// Refuses tensors the row does not list (naming the first, in name order), block tensors of layers
// past the file's count, and a required tensor that is missing. `names` are the file's tensor names;
// `layers` the file's layer count.
Result<void> check_tensor_names(const ArchitectureRow& row, uint64_t layers, std::span<const std::string> names);

}  // namespace quillfen
