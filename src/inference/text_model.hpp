// A LLaMA-family model together with its vocabulary and the token sequence its cache holds: what the
// text API generates with. One lock guards the session, so calls from several threads take turns;
// every call names its whole context, and only the part after the longest common prefix with what
// the cache holds is run, so interleaved callers stay correct and a follow-up call pays only for its
// new tokens. Knows nothing of Python.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "inference/forward.hpp"
#include "inference/tokenizer.hpp"
#include "tensor/error.hpp"

namespace quillfen {

struct SamplingParams {
    float temperature = 0.0f;  // <= 0: greedy
    uint64_t top_k = 0;        // 0: off
    float top_p = 1.0f;        // >= 1: off
    float min_p = 0.0f;        // <= 0: off
};

// What one call to `next_token` did.
struct NextToken {
    uint32_t id = 0;
    uint64_t reused = 0;     // context tokens whose cache entries were already there
    uint64_t evaluated = 0;  // context tokens run through the model for this call
    bool stopped = false;    // the StopCheck ended the call before the context was all in the cache
};

// The token mask of one step (see mask_logits), asked for once the step's forward pass has run, so a
// grammar matcher can work it out meanwhile; the span must stay valid until next_token returns.
using MaskSource = std::function<Result<std::span<const uint32_t>>()>;

class TextModel {
public:
    // The weights as `LlamaSession::load` reads them, checked against the row of the file's
    // architecture (refused when it has none, or when the file holds a tensor the row lacks), and the vocabulary and context length from the
    // file's metadata (read strictly: a file the tokenizer cannot trust is refused), all from one read
    // of the file's header.
    // `threads` > 0 gives the model its own pool of that many workers; 0 runs it on the process-wide
    // pool (QUILLFEN_NUM_THREADS, or the cores the process may use).
    static Result<std::unique_ptr<TextModel>> load(const std::string& path, std::vector<std::string>* warnings,
                                                   LoadProgress* progress = nullptr, uint64_t threads = 0);
    uint64_t threads() const;

    const std::shared_ptr<const Tokenizer>& tokenizer() const { return tokenizer_; }
    // "{arch}.context_length"; without it, the most positions the rotary table is meant for is unknown,
    // so the file's 2048 default of the LLaMA family applies.
    uint64_t context_length() const { return context_length_; }
    const std::optional<std::string>& chat_template() const { return chat_template_; }
    uint64_t vocab_size() const;

    // The token after `context` (non-empty, at most context_length ids, each inside the vocabulary),
    // drawn with `rng_state` as the sampler's generator state. Takes the model's lock for the call.
    // Each of these calls runs a long context batch by batch and asks `stop` (see forward_tokens) along
    // the way; a stopped call keeps in the cache the batches that ran, reports `stopped` and draws nothing.
    // With `mask`, the draw is among the ids it allows; a mask of the wrong size or allowing nothing is an
    // error (the cache then holds `context`, as after any step).
    Result<NextToken> next_token(std::span<const uint32_t> context, const SamplingParams& params, uint64_t rng_state,
                                 const StopCheck& stop = {}, const MaskSource& mask = {});

    // The logits after `context`, every row of the output (bringing the cache to `context` as above);
    // an error when `stop` ended the call.
    Result<std::vector<float>> logits(std::span<const uint32_t> context, const StopCheck& stop = {});
    // Empties the cache: the next call runs its whole context.
    void reset();

    // Runs `context` into the cache without sampling (a prompt warmed ahead of time).
    Result<NextToken> prefill(std::span<const uint32_t> context, const StopCheck& stop = {});

    // Several sequences at once, for a server: sequence k (below kMaxSequences) has a cache of its own
    // beside the one the calls above use. `step` brings each named sequence's cache to its context (as
    // those calls do, running only what follows the longest common prefix) and returns the logits after
    // it, every sequence's tokens run together: each batch reads each weight once for all their rows.
    // A sequence's logits equal what `logits` gives for the same context, bit for bit, whatever runs
    // beside it. Each sequence may appear once per call.
    static constexpr uint64_t kMaxSequences = 256;
    struct SequenceContext {
        uint64_t sequence;
        std::span<const uint32_t> context;
        bool want_logits = true;  // false: the cache is brought to the context and no logits come back
    };
    struct SequenceLogits {
        std::vector<float> logits;  // vocab_size floats, or none when not wanted
        uint64_t reused = 0;        // context tokens whose cache entries were already there
        uint64_t evaluated = 0;     // context tokens run for this call
    };
    Result<std::vector<SequenceLogits>> step(std::span<const SequenceContext> work);
    // Frees sequence k's cache (its next step runs its whole context).
    void release(uint64_t sequence);
    // Gives sequence `target` the longest prefix of `context` that the cache of `source` holds, short of
    // the context's last token (which a step runs again for its logits), in place of its own cache:
    // another conversation's system prompt, say, need not run again. Returns the positions copied (0
    // when `source` holds none of it, leaving `target` as it was).
    Result<uint64_t> share(uint64_t source, uint64_t target, std::span<const uint32_t> context);

    // Whether the calls above take `context`: not empty, at most context_length ids, each inside the
    // vocabulary. They check it themselves; this lets a caller refuse a context before it starts.
    Result<void> check_context(std::span<const uint32_t> context) const;

private:
    TextModel(LlamaSession session, std::shared_ptr<const Tokenizer> tokenizer, uint64_t context_length,
              std::optional<std::string> chat_template, uint64_t threads);
    // With the lock held: brings the cache to `context`, returning the last step's logits when one ran.
    NextToken sync(std::span<const uint32_t> context, bool need_logits, std::vector<float>& logits,
                   const StopCheck& stop);

    std::mutex mutex_;
    std::unique_ptr<tbb::task_arena> arena_;  // the model's own workers, when it asked for a count
    LlamaSession session_;
    std::vector<uint32_t> cached_;  // the ids whose keys and values the session's cache holds
    struct Sequence {
        SequenceState state;
        std::vector<uint32_t> cached;  // as cached_, for this sequence's state
    };
    std::vector<std::unique_ptr<Sequence>> sequences_;  // by number; null until first stepped
    // Refuses a sequence number at or past kMaxSequences.
    static Result<void> check_sequence(uint64_t k);
    // With the lock held: sequence k (checked), made empty when it has no cache yet.
    Sequence& sequence(uint64_t k);
    // The longest prefix of `context` that `seq` holds, short of the context's last token, whose logits
    // are not kept.
    static uint64_t held_prefix(const Sequence& seq, std::span<const uint32_t> context);
    StepBuffers step_buffers_;                          // the scratch space their steps share
    std::shared_ptr<const Tokenizer> tokenizer_;
    uint64_t context_length_;
    std::optional<std::string> chat_template_;
};

}  // namespace quillfen
