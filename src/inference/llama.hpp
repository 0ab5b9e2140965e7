// A running LLaMA-family model: weights in their stored form (see weights.hpp), the per-sequence state
// with its key/value cache, the forward step and the matrix-vector product it is built on. Knows
// nothing of Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <tbb/task_arena.h>

#include "inference/architecture.hpp"
#include "inference/tensor_directory.hpp"
#include "compute/weights.hpp"
#include "tensor/error.hpp"

namespace quillfen {

struct LlamaConfig {
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

    // Whether layer `l` attends through the sliding window.
    bool windowed(uint64_t l) const { return sliding_window > 0 && (global_every == 0 || (l + 1) % global_every != 0); }
};

// Every matrix is row-major: R rows of N columns hold row r at r*N .. r*N+N-1, whatever form the
// weights are stored in. Norm weights are plain float32.
struct LlamaLayerWeights {
    std::vector<float> attn_norm;  // (H)
    WeightMatrix attn_q;           // (H, H)
    WeightMatrix attn_k;           // (n_kv_heads * D, H)
    WeightMatrix attn_v;           // (n_kv_heads * D, H)
    WeightMatrix attn_output;      // (H, H)
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

struct LlamaWeights {
    WeightMatrix token_embd;         // (vocab_size, H)
    std::vector<float> output_norm;  // (H)
    WeightMatrix output;             // (vocab_size, H); shares the embedding's storage when the file ties them
    std::vector<float> rope_freqs;   // (D / 2) divisors of the rotary frequencies (Llama 3.x), or empty
    std::vector<LlamaLayerWeights> layers;
};

// The rotated keys and the values of one layer's processed positions: one block each, grown by
// doubling. Each key/value head owns a contiguous region of `capacity` positions, so a head's keys are
// read front to back; within it keys are held in blocks of kKeyBlock positions (element i of the
// block's sixteen positions side by side, see kernels.hpp), values one position after another.
struct KVCache {
    std::vector<float> keys;
    std::vector<float> values;
    uint64_t heads = 0;     // key/value heads
    uint64_t head_dim = 0;  // D
    uint64_t capacity = 0;  // positions each head has room for, a multiple of kKeyBlock
    uint64_t length = 0;    // positions held

    // Room for `positions` (keeping what is held); the shape is set by the first call.
    void reserve(uint64_t positions, uint64_t kv_heads, uint64_t dim);
    // Stores head vectors k and v (heads * D each) for position `pos` < capacity.
    void store(uint64_t pos, const float* k, const float* v);
    const float* head_keys(uint64_t head) const { return keys.data() + head * capacity * head_dim; }
    const float* head_values(uint64_t head) const { return values.data() + head * capacity * head_dim; }
};

// Buffers one step (or one batch of steps) works in, sized at first use and reused afterwards.
struct StepBuffers {
    std::vector<float> x, xb, q, k, v, att, o, gate, up, mid, down;  // one row per token of the batch
    std::vector<float> rope;        // per token: cos then sin of each pair's angle
    std::vector<float> rope_local;  // the same at the windowed layers' base
    std::vector<float> scores;
};

struct LlamaState {
    std::vector<float> x;           // (H) the last token's normalised hidden state, which the logits read
    std::vector<KVCache> kv_cache;  // one per layer
    uint64_t pos = 0;               // tokens processed since construction or reset
    StepBuffers buffers;

    static LlamaState create(uint64_t hidden_dim, uint64_t num_layers);
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
    LlamaWeights weights;
    LlamaConfig config;
    LlamaState state;
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
LlamaConfig derive_config(const TensorMap& tensors, const LlamaHints& hints);

// Builds the session from float32 tensors (hand-built models): packs the weights it needs, defaults for
// the missing ones; a tied output is a copy of its own. Layers implied by a "blk.N" name get default
// weights; when the model's working memory would pass `memory_limit_bytes` the build is refused
// before anything is allocated for it.
Result<LlamaSession> build_llama_session(const TensorMap& tensors, const LlamaHints& hints,
                                         uint64_t memory_limit_bytes);

// weight (rows, cols) @ input (cols) -> (rows). Each row is one thread's ascending-order sum from -0.0,
// so the result depends neither on the split over the process-wide pool nor on how the weight is
// stored. Zeros when the weight or the input is too short.
std::vector<float> matvec(const WeightMatrix& weight, std::span<const float> input, uint64_t rows, uint64_t cols);
std::vector<float> matvec(std::span<const float> weight, std::span<const float> input, uint64_t rows,
                          uint64_t cols);
inline std::vector<float> matvec(const std::vector<float>& weight, std::span<const float> input, uint64_t rows,
                                 uint64_t cols) {
    return matvec(std::span<const float>(weight), input, rows, cols);
}

// One product of a batch: `out` holds `rows` floats. With `tokens` > 1 the same weight multiplies
// several inputs: input t starts at input[t * in_stride] (the span covers all of them), its result at
// out[t * out_stride]; each equals the product of that input alone, bit for bit, while the weight is
// read once for all of them.
struct MatvecTask {
    const WeightMatrix* weight;
    std::span<const float> input;
    uint64_t rows;
    uint64_t cols;
    float* out;
    uint64_t tokens = 1;
    uint64_t in_stride = 0;
    uint64_t out_stride = 0;
    // Optional: a second product with the same rows and inputs' count, computed in the same work
    // items; then `finish(finish_ctx, begin, end)` on rows [begin, end) of every input, once both
    // products hold them. Elementwise work on a product's rows so runs on the pool, inside its region.
    const MatvecTask* paired = nullptr;
    void (*finish)(void* ctx, uint64_t begin, uint64_t end) = nullptr;
    void* finish_ctx = nullptr;
};
// Every task as `matvec` computes it, all of them in one parallel region: the projections of one
// step that read the same input pay the pool's start-up once.
void matvec_batch(std::span<const MatvecTask> tasks);

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
std::vector<float> forward_tokens(LlamaSession& session, std::span<const uint32_t> tokens, bool want_logits = true,
                                  const StopCheck& stop = {});

}  // namespace quillfen
