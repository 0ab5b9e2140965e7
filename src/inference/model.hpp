// A model in memory: its config (the architecture's widths and switches), its weights in their stored
// form (see weights.hpp), and the state of one sequence (key/value caches, position, step buffers),
// kept apart so that several sequences can share one set of weights; how a file becomes one, with the
// working memory it may take. LlamaSession bundles one of each for the fixed LlamaSession class.
// Knows nothing of Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <tbb/task_arena.h>

#include "compute/weights.hpp"
#include "inference/architecture.hpp"
#include "inference/attention.hpp"
#include "inference/tensor_directory.hpp"
#include "tensor/error.hpp"

namespace quillfen {

struct ModelConfig {
    uint64_t hidden_dim = 0;  // H, the embedding width
    uint64_t n_heads = 0;     // query heads
    uint64_t n_kv_heads = 0;  // key/value heads
    uint64_t vocab_size = 0;
    uint64_t head_dim = 0;    // D, the width of one head
    float rope_freq_base = 10000.0f;
    float rms_epsilon = 1e-5f;
    bool heads_from_metadata = false;  // the head counts are the file's own, not derived from lengths
    // The query projection's rows, which the output projection reads back: H for files whose
    // architecture the session does not check, n_heads * D for those it does (Qwen3 and Gemma 3
    // have heads wider than H / n_heads).
    uint64_t q_dim = 0;
    // Switches of the architecture's row (see architecture.hpp); the defaults are LLaMA's.
    RopeLayout rope_layout = RopeLayout::kAdjacent;
    Activation activation = Activation::kSilu;
    float embedding_scale = 0.0f;  // 0: the embedding is used as stored
    uint64_t sliding_window = 0;   // 0: every layer sees every position
    uint64_t global_every = 0;     // with a window: each global_every-th layer is global (0: none is)
    float local_rope_base = 0.0f;  // rope base of the windowed layers
    float rope_linear_factor = 0.0f;  // > 0: the global layers' frequencies are divided by it (linear scaling)

    // Whether layer `l` attends through the sliding window.
    bool windowed(uint64_t l) const { return sliding_window > 0 && (global_every == 0 || (l + 1) % global_every != 0); }
};

// Every matrix is row-major: R rows of N columns hold row r at r*N .. r*N+N-1, whatever form the
// weights are stored in. Norm weights are plain float32.
struct LayerWeights {
    std::vector<float> attn_norm;  // (H)
    WeightMatrix attn_q;           // (q_dim, H)
    WeightMatrix attn_k;           // (n_kv_heads * D, H)
    WeightMatrix attn_v;           // (n_kv_heads * D, H)
    WeightMatrix attn_output;      // (H, q_dim)
    std::vector<float> ffn_norm;   // (H)
    WeightMatrix ffn_gate;         // (F, H); F = length / H, empty when absent
    WeightMatrix ffn_up;           // (F, H)
    WeightMatrix ffn_down;         // (H, F)
    // Optional parts, empty when the architecture has none.
    std::vector<float> q_bias, k_bias, v_bias;  // (q_dim), (n_kv_heads * D) twice
    std::vector<float> q_norm, k_norm;          // (D): RMSNorm of each head before the rotation
    std::vector<float> attn_post_norm;          // (H): of the attention output, before its residual add
    std::vector<float> ffn_post_norm;           // (H): of the feed-forward output, likewise
};

struct ModelWeights {
    WeightMatrix token_embd;         // (vocab_size, H)
    std::vector<float> output_norm;  // (H)
    WeightMatrix output;             // (vocab_size, H); shares the embedding's storage when the file ties them
    std::vector<float> rope_freqs;   // (D / 2) divisors of the rotary frequencies (Llama 3.x), or empty
    std::vector<LayerWeights> layers;
};

// Buffers one step (or one batch of steps) works in, sized at first use and reused afterwards.
struct StepBuffers {
    std::vector<float> x, xb, q, k, v, att, o, gate, up, mid, down;  // one row per token of the batch
    std::vector<float> rope;        // per token: cos then sin of each pair's angle
    std::vector<float> rope_local;  // the same at the windowed layers' base
    std::vector<float> scores;
};

struct SequenceState {
    std::vector<float> x;           // (H) the last token's normalised hidden state, which the logits read
    std::vector<KVCache> kv_cache;  // one per layer
    uint64_t pos = 0;               // tokens processed since construction or reset
    StepBuffers buffers;

    static SequenceState create(uint64_t hidden_dim, uint64_t num_layers);
    // Back to position `n` (no later than the current one), keeping the cache of the first n tokens.
    void rewind(uint64_t n);
};


// How far a load has come, for a progress display on another thread: weight-packing jobs done of
// `total` (0 until the file's tensor directory has been read).
struct LoadProgress {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};
};

inline constexpr uint64_t kLlamaSeed = 42;
inline constexpr uint64_t kLcgMultiplier = 6364136223846793005ull;

struct LlamaSession {
    ModelWeights weights;
    ModelConfig config;
    SequenceState state;
    uint64_t rng_state = kLlamaSeed;
    // The workers its steps run on: the process-wide pool (pool.hpp) unless an owner gives it its own.
    tbb::task_arena* arena = nullptr;

    // Opens a GGUF file and builds the model from its tensors (and the few metadata hints it honours).
    // A file that loads but looks damaged (no GGUF magic, tensor data past its end) adds a sentence
    // for the user to `warnings`. Refused, naming the tensor, when its working memory would pass
    // `model_memory_bound` of the file's size.
    static Result<LlamaSession> load(const std::string& path, std::vector<std::string>* warnings = nullptr,
                                     LoadProgress* progress = nullptr);
    // The same from a directory already read; `path` names the file in the warnings.
    static Result<LlamaSession> load(const StoredDirectory& dir, const std::string& path,
                                     std::vector<std::string>* warnings, LoadProgress* progress);
    // A file checked against its architecture's row (see architecture.hpp): its tensors are the row's,
    // and the forward pass reads the row's switches. A tensor of the wrong size is refused by name.
    static Result<LlamaSession> load(const StoredDirectory& dir, const ModelShape& shape, const std::string& path,
                                     std::vector<std::string>* warnings, LoadProgress* progress);

    uint64_t hidden_dim() const { return config.hidden_dim; }
    uint64_t num_layers() const { return weights.layers.size(); }
    uint64_t vocab_size() const { return config.vocab_size; }

    // Back to position 0 with empty caches; the random stream continues.
    void reset();
    // Back to position `n` (no later than the current one), keeping the cache of the first n tokens:
    // a caller whose next tokens share a prefix with the processed ones runs only the rest.
    void rewind(uint64_t n);
};

using TensorMap = std::unordered_map<std::string, std::vector<float>>;

// The most memory a model loaded from a file may use: 8 bytes per byte of file, and never less than
// 64 MiB. Honest files stay far below it (the widest repacking, Q2_K's, takes 3.5 bytes per stored
// byte); only dimensions a file claims without holding their data can reach it.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds: the same rule with a 1 MiB floor, so inputs that claim all the working memory they
// may (a few per cent of a fuzzer's inputs, but most of its time at 64 MiB) stay cheap to run.
inline constexpr uint64_t kModelMemoryFloor = uint64_t{1} << 20;
#else
inline constexpr uint64_t kModelMemoryFloor = uint64_t{64} << 20;
#endif
inline constexpr uint64_t kModelMemoryPerFileByte = 8;
uint64_t model_memory_bound(uint64_t file_size);

// A memory bound and how a refusal describes it.
struct MemoryBound {
    uint64_t bytes;
    std::string what;  // "the N bytes ...", as the message ends
};

// One more than the largest N of the names "blk.N" / "blk.N.*" (N unsigned decimal, "+" allowed);
// 0 when none counts.
struct LayerCount {
    uint64_t count = 0;
    bool overflow = false;  // the largest N is 2^64 - 1, so the count itself does not fit
};
LayerCount count_layers(const TensorMap& tensors);

// The hyper-parameters from tensor lengths, overridden by the file's head counts, rotary base and
// norm epsilon when it carries them. Throws InternalFault on the divisions by a zero width.
ModelConfig derive_config(const TensorMap& tensors, const LlamaHints& hints);

// Builds the session from float32 tensors (hand-built models): packs the weights it needs, defaults for
// the missing ones; a tied output is a copy of its own. Layers implied by a "blk.N" name get default
// weights; when the model's working memory would pass `memory_limit_bytes` the build is refused
// before anything is allocated for it.
Result<LlamaSession> build_llama_session(const TensorMap& tensors, const LlamaHints& hints,
                                         uint64_t memory_limit_bytes);

}  // namespace quillfen
