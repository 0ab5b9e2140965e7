// The forward pass: one function that runs a batch of tokens through every layer, reading the
// architecture's switches from the config and its optional parts from the weights, and the norm and
// rotation it is built of. Knows nothing of Python.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "inference/model.hpp"
#include "inference/product_scheduler.hpp"

namespace quillfen {

// In place: v * (1 / sqrt(mean(v^2) + eps)) * weight. Unchanged when the weight is shorter than v.
void rms_norm(std::span<float> v, std::span<const float> weight, float eps);
// The same of `v` into `out` (v.size() floats; the same span or one that does not overlap it).
void rms_norm(std::span<float> out, std::span<const float> v, std::span<const float> weight, float eps);

// In place rotary embedding of adjacent pairs (i, i+1) inside each head, heads in ascending order
// (or of the pairs (i, i + D/2) with RopeLayout::kHalves).
void apply_rope(std::span<float> v, uint64_t heads, uint64_t head_dim, uint64_t position, float freq_base,
                RopeLayout layout = RopeLayout::kAdjacent);

// Runs one token through the model: returns vocab_size logits, appends one key/value entry per layer,
// advances pos and rng_state. Shapes the step cannot run with throw InternalFault before any change.
std::vector<float> forward(LlamaSession& session, uint32_t token_id);

// Runs `tokens` through the model as `forward` would one after another, with the same cache, position
// and random stream afterwards, reading each weight once per batch of up to kForwardBatch tokens;
// returns the last token's logits (bit for bit those of the one-at-a-time run), or nothing when
// `want_logits` is false or `tokens` is empty.
// A batch's buffers are kept under kBatchBytes, so a model of very wide vectors runs fewer tokens at once.
// `stop`, when given, is asked on the calling thread after each layer of each batch; once it says true
// the run ends there: the batch under way is undone (its cache entries dropped, the position kept) and
// the batches before it stay, so the session's position tells how many tokens ran.
inline constexpr uint64_t kForwardBatch = 64;
inline constexpr uint64_t kBatchBytes = uint64_t{32} << 20;
using StopCheck = std::function<bool()>;
// The step itself: one sequence's `state` through the shared config and weights, on `arena`'s workers
// (the process-wide pool when null). Moves the state's position; no random stream.
std::vector<float> forward_tokens(const ModelConfig& config, const ModelWeights& weights, SequenceState& state,
                                  std::span<const uint32_t> tokens, bool want_logits, const StopCheck& stop,
                                  tbb::task_arena* arena);
// Several sequences' next tokens (each non-empty) through the model together, on `arena`'s workers:
// each batch's products read every weight once for the rows of all of them. Each sequence's cache,
// position and `logits` (its last token's) come out bit for bit as forward_tokens gives them for that
// sequence alone. `buffers` are the step's scratch space, shared by the sequences.
struct SequenceWork {
    SequenceState* state;
    std::span<const uint32_t> tokens;
    std::vector<float> logits;
    bool want_logits = true;  // false: `logits` stays empty (a prompt chunk whose logits nobody reads)
};
void forward_sequences(const ModelConfig& config, const ModelWeights& weights, std::span<SequenceWork> work,
                       StepBuffers& buffers, tbb::task_arena* arena);
// The same on the session's own state and workers, advancing its random stream one step per token run.
std::vector<float> forward_tokens(LlamaSession& session, std::span<const uint32_t> tokens, bool want_logits = true,
                                  const StopCheck& stop = {});

}  // namespace quillfen
