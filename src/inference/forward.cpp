#include "inference/forward.hpp"

#include "compute/pool.hpp"

#include <algorithm>
#include <cmath>

namespace quillfen {

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
// them out once per position. `factors`, when given, divide each pair's frequency (Llama 3.x scaling);
// `linear` > 0 divides every frequency (linear scaling).
void rope_table(float* cs, uint64_t head_dim, uint64_t position, float freq_base, std::span<const float> factors = {},
                float linear = 0.0f) {
    const float pos = float(position);
    const uint64_t pairs = rope_pairs(head_dim);
    for (uint64_t i = 0; i < head_dim; i += 2) {
        float freq = 1.0f / std::pow(freq_base, float(i) / float(head_dim));
        if (i / 2 < factors.size()) freq = freq / factors[i / 2];
        if (linear > 0.0f) freq = freq / linear;
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

namespace {

// Shapes the attention and feed-forward code cannot run with; checked before the step changes anything.
void check_step_shapes(const ModelConfig& c, uint64_t num_layers) {
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

// The product `p` (its `tokens` rows of `rows` outputs) added into the residual stream x, row by row.
// Without a post-norm the add runs inside the product's work items, on their rows; with one (Gemma's
// norm of the whole output) the norm comes between the product and the add.
void add_to_residual(MatvecTask p, float* x, std::span<const float> post_norm, float eps) {
    ResidualAdd residual{x, p.out, p.tokens, p.rows};
    if (post_norm.empty()) {
        p.finish = ResidualAdd::run;
        p.finish_ctx = &residual;
    }
    matvec_batch(std::span(&p, 1));
    if (!post_norm.empty()) {
        for (uint64_t i = 0; i < p.tokens; ++i) rms_norm(std::span(p.out + i * p.rows, p.rows), post_norm, eps);
        ResidualAdd::run(&residual, 0, p.rows);
    }
}

// One sequence's share of a batch: its next tokens, at rows [row, row + tokens.size()) of the buffers
// and positions state->pos.. of its cache.
struct Segment {
    SequenceState* state;
    std::span<const uint32_t> tokens;
    uint64_t row;
};

uint32_t row_token(std::span<const Segment> segments, uint64_t i) {
    for (const Segment& s : segments)
        if (i < s.row + s.tokens.size()) return s.tokens[i - s.row];
    fault("row " + std::to_string(i) + " lies past the batch");
}

// The segments' tokens through every layer, each sequence's rows against its own cache; the residual
// stream of row i ends in b.x[i * H ...]. A row's products and attention never read another row, so
// what it gets does not depend on the batch around it. False when `stop` ended the run after a layer. The architecture's switches
// (see architecture.hpp) are read from the config, its optional parts from the weights: a part a file
// does not have is a step that does nothing.
bool run_layers(const ModelConfig& c, const ModelWeights& w, std::span<const Segment> segments, StepBuffers& b,
                const StopCheck& stop) {
    uint64_t n = 0;
    for (const Segment& s : segments) n += s.tokens.size();
    const uint64_t h_dim = c.hidden_dim;
    const uint64_t d = c.head_dim;
    const uint64_t kv_dim = c.n_kv_heads * d;
    const uint64_t q_dim = c.q_dim;
    const uint64_t q_span = c.n_heads * d;
    uint64_t f_dim = 0;
    for (const LayerWeights& lw : w.layers) f_dim = std::max(f_dim, lw.ffn_gate.size() / h_dim);
    // Without layers only the embedding runs: the attention's widths, which such a file never had to
    // back with memory (a head count may claim anything), size nothing.
    const bool layered = !w.layers.empty();
    size_buffers(b, n, h_dim, layered ? q_dim : 0, layered ? q_span : 0, layered ? kv_dim : 0, f_dim,
                 layered ? d : 0);

    // Embedding; a token past the table embeds as zeros.
    for (uint64_t i = 0; i < n; ++i) {
        std::span<float> xi(b.x.data() + i * h_dim, h_dim);
        const uint32_t token = row_token(segments, i);
        uint64_t begin = 0, end = 0;
        if (!mul_overflows(uint64_t{token}, h_dim, &begin) && !add_overflows(begin, h_dim, &end) &&
            end <= w.token_embd.size()) {
            w.token_embd.decode(begin, xi);  // one row, decoded from the stored form
            if (c.embedding_scale != 0.0f)
                for (float& v : xi) v = v * c.embedding_scale;
        } else {
            std::fill(xi.begin(), xi.end(), 0.0f);
        }
    }
    const uint64_t pairs = rope_pairs(d);
    const bool local_rope = c.sliding_window > 0 && c.local_rope_base > 0.0f;
    if (layered && d > 0)
        for (const Segment& s : segments)
            for (uint64_t j = 0; j < s.tokens.size(); ++j) {
                const uint64_t i = s.row + j, pos = s.state->pos + j;
                rope_table(b.rope.data() + i * 2 * pairs, d, pos, c.rope_freq_base, w.rope_freqs, c.rope_linear_factor);
                if (local_rope) rope_table(b.rope_local.data() + i * 2 * pairs, d, pos, c.local_rope_base, w.rope_freqs);
            }

    for (size_t l = 0; l < w.layers.size(); ++l) {
        const LayerWeights& lw = w.layers[l];
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
        std::fill(b.att.begin(), b.att.end(), 0.0f);
        // Each sequence's rows against its own cache.
        for (const Segment& s : segments) {
            KVCache& cache = s.state->kv_cache[l];
            const uint64_t p = s.state->pos, rows = s.tokens.size();
            cache.reserve(p + rows, c.n_kv_heads, d);
            for (uint64_t i = s.row; i < s.row + rows; ++i) {
                const float* cs = (windowed && local_rope ? b.rope_local.data() : b.rope.data()) + i * 2 * pairs;
                rope_with_table(std::span(b.q.data() + i * q_dim, q_dim), c.n_heads, d, cs, c.rope_layout);
                rope_with_table(std::span(b.k.data() + i * kv_dim, kv_dim), c.n_kv_heads, d, cs, c.rope_layout);
                cache.store(p + i - s.row, b.k.data() + i * kv_dim, b.v.data() + i * kv_dim);
            }
            // With zero-width heads nothing is written, however many heads there are: skip the walk.
            if (c.n_heads > 0 && d > 0)
                attend(c, cache, b.q.data() + s.row * q_dim, b.att.data() + s.row * q_span, p, rows,
                       windowed ? c.sliding_window : 0, b.scores);
        }
        add_to_residual({&lw.attn_output, b.att, h_dim, q_dim, b.o.data(), n, q_span, h_dim}, b.x.data(),
                        lw.attn_post_norm, c.rms_epsilon);

        // Feed-forward: gated, its width read off the gate matrix; the gate's activation runs inside the
        // products' work items on their rows.
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
        add_to_residual({&lw.ffn_down, std::span<const float>(b.mid.data(), n * fl), h_dim, fl, b.down.data(), n, fl,
                         h_dim},
                        b.x.data(), lw.ffn_post_norm, c.rms_epsilon);
        if (stop && stop()) return false;
    }
    return true;
}

// The residual stream of row `last` (a sequence's last token), normalised, into the state (as a one-token
// step leaves it), and its logits when asked for.
std::vector<float> finish(const ModelConfig& c, const ModelWeights& w, const StepBuffers& b, SequenceState& st,
                          uint64_t last, bool want_logits) {
    std::copy_n(b.x.data() + last * c.hidden_dim, c.hidden_dim, st.x.data());
    rms_norm(st.x, w.output_norm, c.rms_epsilon);
    if (!want_logits) return {};
    return matvec(w.output, st.x, c.vocab_size, c.hidden_dim);
}

// Tokens a batch runs at most: kForwardBatch, fewer where a token's buffers are wide.
uint64_t batch_rows(const ModelConfig& c, const ModelWeights& w) {
    uint64_t f_dim = 0;
    for (const LayerWeights& lw : w.layers) f_dim = std::max(f_dim, lw.ffn_gate.size() / c.hidden_dim);
    // Floats a token takes in the step buffers (H each: x, xb, o, down; q and att as wide as the queries;
    // the rest as sized).
    const uint64_t per_token = saturating_mul(4, c.hidden_dim) + saturating_mul(2, c.q_dim) +
                               saturating_mul(2, c.n_kv_heads * c.head_dim) + saturating_mul(3, f_dim) +
                               saturating_mul(2, c.head_dim) + 1;
    return std::clamp<uint64_t>(kBatchBytes / saturating_mul(per_token, sizeof(float)), 1, kForwardBatch);
}

}  // namespace

std::vector<float> forward_tokens(const ModelConfig& c, const ModelWeights& w, SequenceState& state,
                                  std::span<const uint32_t> tokens, bool want_logits, const StopCheck& stop,
                                  tbb::task_arena* arena) {
    check_step_shapes(c, w.layers.size());
    const uint64_t batch = batch_rows(c, w);
    std::vector<float> logits;
    (arena ? *arena : pool()).execute([&] {
        for (uint64_t start = 0; start < tokens.size(); start += batch) {
            const Segment one{&state, tokens.subspan(start, std::min<uint64_t>(batch, tokens.size() - start)), 0};
            if (!run_layers(c, w, std::span(&one, 1), state.buffers, stop)) {
                state.rewind(state.pos);  // the entries the unfinished batch stored
                return;
            }
            const bool last = start + one.tokens.size() == tokens.size();
            logits = finish(c, w, state.buffers, state, one.tokens.size() - 1, want_logits && last);
            state.pos += one.tokens.size();
        }
    });
    return logits;
}

void forward_sequences(const ModelConfig& c, const ModelWeights& w, std::span<SequenceWork> work, StepBuffers& buffers,
                       tbb::task_arena* arena) {
    check_step_shapes(c, w.layers.size());
    const uint64_t batch = batch_rows(c, w);
    std::vector<uint64_t> done(work.size(), 0);
    std::vector<Segment> segments;
    std::vector<size_t> owner;
    (arena ? *arena : pool()).execute([&] {
        for (;;) {
            // The next batch: each sequence's next tokens in turn, up to the batch's rows, so a long prompt
            // shares a batch with the one-token steps of the others.
            segments.clear();
            owner.clear();
            uint64_t rows = 0;
            for (size_t k = 0; k < work.size() && rows < batch; ++k) {
                const uint64_t left = work[k].tokens.size() - done[k];
                if (left == 0) continue;
                const uint64_t take = std::min(left, batch - rows);
                segments.push_back({work[k].state, work[k].tokens.subspan(done[k], take), rows});
                owner.push_back(k);
                rows += take;
            }
            if (segments.empty()) return;
            run_layers(c, w, segments, buffers, {});
            // The sequences whose last token ran: their normalised states side by side, so that one
            // product reads the output matrix once for all their logits.
            std::vector<size_t> finished;
            std::vector<float> states;
            for (size_t j = 0; j < segments.size(); ++j) {
                const Segment& s = segments[j];
                done[owner[j]] += s.tokens.size();
                if (done[owner[j]] == work[owner[j]].tokens.size() && work[owner[j]].want_logits) {
                    finish(c, w, buffers, *s.state, s.row + s.tokens.size() - 1, false);
                    states.insert(states.end(), s.state->x.begin(), s.state->x.end());
                    finished.push_back(owner[j]);
                }
                s.state->pos += s.tokens.size();
            }
            if (finished.empty()) continue;
            std::vector<float> logits(finished.size() * c.vocab_size);
            const MatvecTask output{&w.output, states, c.vocab_size, c.hidden_dim, logits.data(),
                                    finished.size(), c.hidden_dim, c.vocab_size};
            matvec_batch(std::span(&output, 1));
            for (size_t k = 0; k < finished.size(); ++k)
                work[finished[k]].logits.assign(logits.begin() + k * c.vocab_size,
                                                logits.begin() + (k + 1) * c.vocab_size);
        }
    });
}

std::vector<float> forward(LlamaSession& session, uint32_t token_id) {
    return forward_tokens(session, std::span(&token_id, 1), true);
}

std::vector<float> forward_tokens(LlamaSession& session, std::span<const uint32_t> tokens, bool want_logits,
                                  const StopCheck& stop) {
    const uint64_t before = session.state.pos;
    std::vector<float> logits =
        forward_tokens(session.config, session.weights, session.state, tokens, want_logits, stop, session.arena);
    // The session's random stream moves one step per token run, as LlamaSession has always drawn it.
    for (uint64_t i = before; i < session.state.pos; ++i) session.rng_state = session.rng_state * kLcgMultiplier + 1;
    return logits;
}

}  // namespace quillfen
