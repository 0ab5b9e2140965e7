// The LLaMA runtime's algorithms: float matvec kernels, norm, rotary embedding, construction rules and
// the shapes a step refuses. Whole models are compared with a reference by the Python tests.
#include <gtest/gtest.h>

#include <tbb/task_arena.h>

#include <cmath>
#include <limits>

#include "inference/forward.hpp"
#include "compute/kernels.hpp"
#include "float_bits.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {  // file-local: other test files use the same helper names

constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

std::vector<float> zeros(size_t n) { return std::vector<float>(n, 0.0f); }

TEST(Matvec, EveryKernelAndEveryThreadCountAddsEachRowInColumnOrder) {
    // Rows around the 4-, 8-, 16- and 32-row blocks and past one worker's share, columns around the
    // 4-column transposes; a kernel's range starting mid-matrix leaves the NaN canaries before it.
    for (size_t rows : {1, 7, 8, 9, 15, 16, 17, 24, 33, 40, 67, 1023}) {
        for (size_t cols : {1, 3, 4, 5, 8, 31, 96}) {
            SCOPED_TRACE("rows=" + std::to_string(rows) + " cols=" + std::to_string(cols));
            const auto w = random_floats(rows * cols, uint32_t(rows * 100 + cols)), x = random_floats(cols, 9);
            auto expected = serial_matvec(w, x, rows, cols);
            expect_bits_equal(matvec(w, x, rows, cols), expected);
            tbb::task_arena(1).execute([&] { expect_bits_equal(matvec(w, x, rows, cols), expected); });
            const size_t begin = rows > 3 ? 2 : 0;
            std::fill_n(expected.begin(), begin, std::numeric_limits<float>::quiet_NaN());
            for (Isa isa : kAllIsas) {
                const KernelTable* k = kernel_table(isa);
                if (!k) continue;
                std::vector<float> out(rows, std::numeric_limits<float>::quiet_NaN());
                k->matvec_rows(w.data(), x.data(), out.data(), begin, rows, cols);
                expect_bits_equal(out, expected);
            }
        }
    }
}

TEST(Matvec, SumsStartFromMinusZeroAndShortOperandsGiveZeros) {
    // Every product -0: a sum started from +0 would end as +0.
    for (float v : matvec(zeros(17 * 5), std::vector<float>(5, -1.0f), 17, 5)) EXPECT_TRUE(std::signbit(v));
    expect_bits_equal(matvec(zeros(0), zeros(0), 6, 0), std::vector<float>(6, -0.0f));
    const auto w = random_floats(12, 3), x = random_floats(4, 4);
    EXPECT_EQ(matvec(std::span(w).first(11), x, 3, 4), zeros(3));
    EXPECT_EQ(matvec(w, std::span(x).first(3), 3, 4), zeros(3));
    EXPECT_EQ(matvec(w, x, 2, 4), serial_matvec(w, x, 2, 4));  // a longer weight: its first rows
}

TEST(RmsNorm, ScalesByRootMeanSquareWithTheGivenEpsilonAndSkipsShortWeights) {
    // Squares summed in index order, inv = 1 / sqrt(sum / n + eps), then (v[i] * inv) * w[i] in that order.
    for (uint32_t seed = 0; seed < 32; ++seed) {
        auto v = random_floats(64, seed), want = v;
        const auto w = random_floats(64, seed + 99);
        float ss = -0.0f;
        for (size_t i = 0; i < 64; ++i) {
            v[i] = want[i] = std::ldexp(v[i], int(i % 9) * 3 - 12);  // many magnitudes
            ss += v[i] * v[i];
        }
        for (size_t i = 0; i < 64; ++i) want[i] = (v[i] * (1.0f / std::sqrt(ss / 64.0f + 0.5f))) * w[i];
        rms_norm(v, w, 0.5f);
        expect_bits_equal(v, want);
    }
    std::vector<float> unchanged = {3.0f, 4.0f};
    rms_norm(unchanged, std::vector<float>{1.0f}, 1e-5f);
    EXPECT_EQ(unchanged, (std::vector<float>{3.0f, 4.0f}));
}

TEST(Rope, RotatesPairsAtFallingFrequenciesInEitherLayout) {
    // Two heads of width 8; pair j of a head turns by angle = (1 / powf(base, 2j / 8)) * position. The pair
    // is (2j, 2j + 1) in the adjacent layout, (j, j + 4) in halves.
    for (const RopeLayout layout : {RopeLayout::kAdjacent, RopeLayout::kHalves})
        for (uint64_t pos : {1u, 3u, 77u, 1000u}) {
            auto v = random_floats(16, uint32_t(pos)), want = v;
            for (size_t head = 0; head < 16; head += 8)
                for (size_t j = 0; j < 4; ++j) {
                    const size_t first = head + (layout == RopeLayout::kHalves ? j : 2 * j);
                    const size_t second = first + (layout == RopeLayout::kHalves ? 4 : 1);
                    const float angle = (1.0f / std::pow(500.0f, float(2 * j) / 8.0f)) * float(pos);
                    const float a = v[first], b = v[second];
                    want[first] = a * std::cos(angle) - b * std::sin(angle);
                    want[second] = b * std::cos(angle) + a * std::sin(angle);
                }
            apply_rope(v, 2, 8, pos, 500.0f, layout);
            expect_bits_equal(v, want);
        }
    std::vector<float> short_v = {1.0f, 0.0f, 1.0f, 0.0f, 5.0f};  // 2 heads of 4 want 8: stops at (2,3)
    apply_rope(short_v, 2, 4, 1, 10000.0f);
    EXPECT_EQ(short_v[4], 5.0f);
    EXPECT_NE(short_v[1], 0.0f);
}

TEST(LayerCount, CountsLargestBlockNumberPlusOne) {
    EXPECT_EQ(count_layers({{"blk.0.x", {}}, {"blk.7.y", {}}, {"token_embd.weight", {}}}).count, 8u);
    EXPECT_EQ(count_layers({{"blk.5", {}}, {"blk.+3.z", {}}}).count, 6u);
    EXPECT_EQ(count_layers({{"blk.+9.z", {}}, {"blk.2.a", {}}}).count, 10u);
    const TensorMap none = {{"blk.x.y", {}}, {"blk.-1.y", {}}, {"blk.99999999999999999999.y", {}}, {"blk.", {}},
                            {"blk.+.a", {}}, {"blk.1x.a", {}}, {"output.weight", {}}};
    EXPECT_EQ(count_layers(none).count, 0u);
    EXPECT_TRUE(count_layers({{"blk.18446744073709551615.a", {}}}).overflow);
}

TEST(DeriveConfig, FromLengthsAndHints) {
    // The rules the end-to-end models do not reach; square queries and stored head counts run there.
    // name, tensors, hints, and the hidden width, heads, kv heads, head width and vocabulary wanted
    const std::tuple<const char*, TensorMap, LlamaHints, std::vector<uint64_t>> cases[] = {
        {"no_tensors", {}, {}, {4096, 32, 32, 128, 32000}},
        {"no_tensors_with_head_count", {}, {8, std::nullopt, {}, {}}, {4096, 8, 8, 512, 32000}},
        {"query_wider_than_hidden",
         {{"output_norm.weight", zeros(8)}, {"blk.0.attn_q.weight", zeros(128)}, {"blk.0.attn_k.weight", zeros(8)}},
         {}, {8, 16, 16, 0, 32000}},
        {"hidden_from_first_attn_norm_vocab_rounds_down",
         {{"blk.0.attn_norm.weight", zeros(8)}, {"token_embd.weight", zeros(83)}}, {}, {8, 32, 32, 0, 10}},
        {"vocab_from_output_when_no_embedding", {{"output_norm.weight", zeros(4)}, {"output.weight", zeros(20)}}, {},
         {4, 32, 32, 0, 5}},
        {"zero_width_without_key_matrix", {{"output_norm.weight", {}}, {"token_embd.weight", zeros(9)}}, {},
         {0, 32, 32, 0, 32000}}};
    for (const auto& [name, tensors, hints, want] : cases) {
        const ModelConfig got = derive_config(tensors, hints);
        EXPECT_EQ(std::vector<uint64_t>({got.hidden_dim, got.n_heads, got.n_kv_heads, got.head_dim, got.vocab_size}),
                  want) << name;
    }
}

TEST(DeriveConfig, ZeroWidthWithAttentionMatricesDividesByZero) {
    EXPECT_THROW(derive_config({{"output_norm.weight", {}}, {"blk.0.attn_q.weight", zeros(4)}}, {}), InternalFault);
    EXPECT_THROW(derive_config({{"blk.0.attn_norm.weight", {}}, {"blk.0.attn_k.weight", zeros(4)},
                                {"token_embd.weight", zeros(4)}}, {}), InternalFault);
}

LlamaSession build(const TensorMap& tensors, const LlamaHints& hints = {}) {
    auto s = build_llama_session(tensors, hints, kNoLimit);
    EXPECT_TRUE(s.has_value()) << (s ? "" : s.error().message());
    return std::move(*s);
}

TEST(BuildSession, MissingWeightsGetDefaultsUnlessBeyondTheMemoryLimit) {
    // The end-to-end models always carry embedding, output and final norm; H = 3 from the first block's norm.
    LlamaSession s = build({{"blk.0.attn_norm.weight", zeros(3)}});
    EXPECT_EQ(s.weights.token_embd, zeros(3 * 32000));
    EXPECT_EQ(s.weights.output, zeros(3 * 32000));
    EXPECT_EQ(s.weights.output_norm, std::vector<float>(3, 1.0f));

    // H = 8, vocabulary 2, 8 heads of width 1 (from the query matrix), 10 layers. Working memory: the
    // step's vectors (10 H + 6 vocabulary floats), the layer records with 19 default norms of H ones,
    // the embedding and its untied copy, the final norm, layer 0's query and layer 9's norm. Zero
    // defaults take nothing.
    const TensorMap ten = {{"output_norm.weight", zeros(8)}, {"token_embd.weight", zeros(16)},
                           {"blk.0.attn_q.weight", zeros(64)}, {"blk.9.attn_norm.weight", zeros(8)}};
    const uint64_t needed = (10 * 8 + 6 * 2 + 19 * 8 + 16 + 16 + 8 + 64 + 8) * 4 +
                            10 * (sizeof(LayerWeights) + sizeof(KVCache));
    EXPECT_TRUE(build_llama_session(ten, {}, needed));
    auto r = build_llama_session(ten, {}, needed - 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Tensor 'blk.9.attn_norm.weight' with dimensions [8] would need " +
                                       std::to_string(needed) + " bytes of working memory, beyond the " +
                                       std::to_string(needed - 1) + " bytes allowed");
}

// One layer whose value and output projections are the identity, queries and keys zero.
LlamaSession pass_through_layer(const LlamaHints& hints) {
    std::vector<float> identity(16, 0.0f);
    for (int i = 0; i < 4; ++i) identity[i * 5] = 1.0f;
    return build({{"output_norm.weight", std::vector<float>(4, 1.0f)}, {"token_embd.weight", {1, 1, 1, 1, 2, -1, 0, 3}},
                  {"output.weight", identity}, {"blk.0.attn_v.weight", identity},
                  {"blk.0.attn_output.weight", identity}}, hints);
}

TEST(Forward, DegenerateHeadShapesStillStep) {
    LlamaSession no_kv = pass_through_layer({2, 0, {}, {}});  // no key/value heads: attention adds nothing
    const auto logits = forward(no_kv, 1);
    EXPECT_EQ(no_kv.state.kv_cache[0].length, 1u);
    EXPECT_TRUE(no_kv.state.kv_cache[0].chunks.empty());
    const double inv = 1.0 / std::sqrt(14.0 / 4 + 1e-5);  // token 1 embeds as (2, -1, 0, 3)
    ASSERT_EQ(logits.size(), 2u);
    EXPECT_NEAR(logits[0], 2 * inv, 1e-6);
    EXPECT_NEAR(logits[1], -inv, 1e-6);

    LlamaSession wide = pass_through_layer({uint64_t{1} << 50, std::nullopt, {}, {}});  // 2^50 heads of width 0
    EXPECT_EQ(wide.config.head_dim, 0u);
    forward(wide, 0);  // returns promptly
    EXPECT_EQ(wide.state.pos, 1u);
}

TEST(Forward, ImpossibleShapesFaultBeforeChangingTheState) {
    // Head counts the file states name themselves; those derived from lengths keep the old text.
    LlamaSession more_kv = pass_through_layer({2, 4, {}, {}});
    LlamaSession huge_kv = pass_through_layer({2, uint64_t{1} << 62, {}, {}});  // its key defaults take nothing
    LlamaSession uneven = pass_through_layer({4, 3, {}, {}});
    LlamaSession lengths_kv = build({{"output_norm.weight", zeros(4)}, {"blk.0.attn_q.weight", zeros(4)},
                                     {"blk.0.attn_k.weight", zeros(32)}});  // 1 head of 4, 2 kv heads
    LlamaSession zero_width = build({{"output_norm.weight", {}}, {"blk.0.ffn_gate.weight", {1.0f}}});
    LlamaSession wide_heads = pass_through_layer({2, 2, {}, {}});
    wide_heads.config.head_dim = 4;  // two heads of 4 in a width of 4: no file derives this
    const std::pair<LlamaSession*, const char*> cases[] = {
        {&more_kv, "head_count_kv 4 does not divide head_count 2"},
        {&huge_kv, "head_count_kv 4611686018427387904 does not divide head_count 2"},
        {&uneven, "head_count_kv 3 does not divide head_count 4"},
        {&lengths_kv, "attempt to divide by zero"},
        {&zero_width, "attempt to divide by zero"},
        {&wide_heads, "2 query heads of width 4 reach past the model's hidden width 4"}};
    for (auto [s, text] : cases) {
        try {
            forward(*s, 0);
            ADD_FAILURE() << "no fault: " << text;
        } catch (const InternalFault& f) {
            EXPECT_STREQ(f.what(), text);
        }
        EXPECT_EQ(s->state.pos, 0u);
        EXPECT_EQ(s->rng_state, 42u);
        EXPECT_TRUE(s->state.kv_cache[0].chunks.empty());
    }
}

// Attention kernels at every level against serial loops: several queries at once (fewer and more than
// a level's tile), lengths around the sixteen-position key blocks, head widths around the vector
// widths, and ranges that start past the first block, as split work items call them.
TEST(Attention, ScoresAndWeightedValuesAddInTheSerialOrderAtEveryLevel) {
    for (uint64_t d : {1u, 3u, 8u, 17u, 64u}) {
        for (uint64_t t_len : {1u, 15u, 16u, 17u, 40u, 100u}) {
            for (uint64_t nq : {1u, 3u, 9u}) {
                SCOPED_TRACE("d=" + std::to_string(d) + " t_len=" + std::to_string(t_len) + " nq=" + std::to_string(nq));
                const auto qs = random_floats(nq * d, uint32_t(d)), keys = random_floats(t_len * d, uint32_t(t_len + 7));
                const auto weights = random_floats(nq * t_len, 3), values = random_floats(t_len * d, 4);
                const auto start = random_floats(nq * d, 5);  // what the outputs hold before the call
                const float scale = 1.0f / std::sqrt(float(d));
                std::vector<float> want_scores(nq * t_len), want_out(start);
                for (uint64_t j = 0; j < nq; ++j)
                    for (uint64_t t = 0; t < t_len; ++t) {
                        float dot = -0.0f;
                        for (uint64_t i = 0; i < d; ++i) dot += qs[j * d + i] * keys[t * d + i];
                        want_scores[j * t_len + t] = scale * dot;
                        for (uint64_t i = 0; i < d; ++i)
                            want_out[j * d + i] = want_out[j * d + i] + weights[j * t_len + t] * values[t * d + i];
                    }
                // The cache's blocked form: element i of position 16b + r at (b * d + i) * 16 + r.
                std::vector<float> blocked((t_len + kKeyBlock - 1) / kKeyBlock * kKeyBlock * d, std::nanf(""));
                for (uint64_t t = 0; t < t_len; ++t)
                    for (uint64_t i = 0; i < d; ++i)
                        blocked[(t / kKeyBlock * d + i) * kKeyBlock + t % kKeyBlock] = keys[t * d + i];
                // The value cache's slabs: column i of position t at (i / 16) * stride + t * 16 + i % 16, the
                // slabs a little longer than the positions.
                const uint64_t slab_stride = (t_len + 3) * kValueSlab;
                std::vector<float> slabbed((d + kValueSlab - 1) / kValueSlab * slab_stride, std::nanf(""));
                for (uint64_t t = 0; t < t_len; ++t)
                    for (uint64_t i = 0; i < d; ++i)
                        slabbed[i / kValueSlab * slab_stride + t * kValueSlab + i % kValueSlab] = values[t * d + i];
                // One call over everything, and calls over split ranges: keys from block 1 on separately,
                // positions in pieces, columns at a slab's edge.
                const uint64_t key_split = std::min<uint64_t>(kKeyBlock, t_len), t_split = t_len / 3,
                               c_split = d > kValueSlab ? kValueSlab : 0;
                for (Isa isa : kAllIsas) {
                    const KernelTable* k = kernel_table(isa);
                    if (!k) continue;
                    SCOPED_TRACE(isa_name(isa));
                    for (bool split : {false, true}) {
                        std::vector<float> scores(nq * (t_len + 1), std::nanf("")), out(start);
                        std::vector<const float*> q, w;
                        std::vector<float*> rows, outs;
                        for (uint64_t j = 0; j < nq; ++j) {
                            q.push_back(qs.data() + j * d);
                            rows.push_back(scores.data() + j * (t_len + 1));
                            w.push_back(weights.data() + j * t_len);
                            outs.push_back(out.data() + j * d);
                        }
                        if (split) {
                            k->attn_scores(q.data(), nq, blocked.data(), 0, key_split, d, scale, rows.data());
                            k->attn_scores(q.data(), nq, blocked.data(), key_split, t_len, d, scale, rows.data());
                            std::vector<float*> right(outs);
                            for (float*& o : right) o += c_split;
                            for (auto [t0, t1] : {std::pair{uint64_t{0}, t_split}, std::pair{t_split, t_len}}) {
                                k->attn_accumulate(w.data(), nq, slabbed.data(), slab_stride, t0, t1, c_split,
                                                   outs.data());
                                k->attn_accumulate(w.data(), nq, slabbed.data() + c_split / kValueSlab * slab_stride,
                                                   slab_stride, t0, t1, d - c_split, right.data());
                            }
                        } else {
                            k->attn_scores(q.data(), nq, blocked.data(), 0, t_len, d, scale, rows.data());
                            k->attn_accumulate(w.data(), nq, slabbed.data(), slab_stride, 0, t_len, d, outs.data());
                        }
                        std::vector<float> got;
                        for (uint64_t j = 0; j < nq; ++j) {
                            EXPECT_TRUE(std::isnan(rows[j][t_len]));  // nothing written past the length
                            got.insert(got.end(), rows[j], rows[j] + t_len);
                        }
                        expect_bits_equal(got, want_scores);
                        expect_bits_equal(out, want_out);
                    }
                }
            }
        }
    }
}

// Softmax rows at every level against a serial loop taking each exponential correctly rounded (from
// long double): the level's own exponential must give those bits, subnormal results and the underflow
// to zero included. Several rows at once (their sums run side by side), of different lengths.
TEST(Attention, SoftmaxTakesRoundedExponentialsAndSumsInOrderAtEveryLevel) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    std::vector<std::vector<float>> rows;
    for (uint64_t len : {1u, 7u, 8u, 9u, 33u, 100u, 3u}) {
        auto row = random_floats(len, uint32_t(len));
        for (float& v : row) v *= 30.0f;
        rows.push_back(row);
    }
    // Exponentials of -87.5 .. -103.9 are subnormal floats; below about -103.97 they round to zero.
    rows.push_back({0.0f, -87.5f, -95.0f, -103.5f, -103.97f, -104.0f, -120.0f, -inf, nan, 2.5f, -0.0f, 1e-30f});
    rows.push_back({-inf, -inf, -inf});  // no maximum: every difference NaN, the row's sum too
    // A long row: many whole tiles of exponentials and a ragged end, its arguments over the whole
    // range from 0 to where the exponential underflows.
    std::vector<float> sweep(4099);
    for (uint64_t t = 0; t < sweep.size(); ++t) sweep[t] = -float(t) * 0.02539f + (t % 7) * 1e-3f;
    rows.push_back(sweep);
    std::vector<std::vector<float>> want = rows;
    for (auto& row : want) {
        float m = -inf;
        for (float v : row) m = v > m ? v : m;
        float sum = 0.0f;
        for (float& v : row) {
            v = float(std::exp((long double)(v - m)));
            sum += v;
        }
        if (sum > 0.0f)
            for (float& v : row) v = v / sum;
    }
    for (Isa isa : kAllIsas) {
        const KernelTable* k = kernel_table(isa);
        if (!k) continue;
        SCOPED_TRACE(isa_name(isa));
        for (uint64_t n : {1u, 4u, 5u, 9u}) {  // rows per call: alone, a full set side by side, and more
            for (uint64_t first = 0; first + n <= rows.size(); first += n) {
                std::vector<std::vector<float>> got(rows.begin() + first, rows.begin() + first + n);
                std::vector<float*> ptrs;
                std::vector<uint64_t> lens;
                for (auto& row : got) {
                    ptrs.push_back(row.data());
                    lens.push_back(row.size());
                }
                k->attn_softmax(ptrs.data(), lens.data(), n);
                for (uint64_t j = 0; j < n; ++j) expect_bits_equal(got[j], want[first + j]);
            }
        }
    }
}

// A model whose contexts pass the length at which a step splits its keys over the workers, and two
// edges of the cache's chunks (512 and 1024 positions): the logits after 1100 tokens are the same bits
// stepped one token at a time (keys split over two workers, or one worker taking whole heads), in one
// batch, in ragged batches after cached positions, or after a copied prefix.
TEST(Attention, LongContextsGiveTheSameLogitsWhateverTheBatchesWorkersAndOtherSequences) {
    const uint64_t h = 32, ffn = 48, vocab = 16, positions = 1100;
    TensorMap tensors;
    uint32_t seed = 1;
    auto add = [&](const std::string& name, uint64_t n, float gain) {
        auto v = random_floats(n, seed++);
        for (float& f : v) f *= gain;
        tensors[name] = v;
    };
    add("token_embd.weight", vocab * h, 1.0f);
    add("output_norm.weight", h, 1.0f);
    for (int l = 0; l < 2; ++l) {
        const std::string b = "blk." + std::to_string(l) + ".";
        add(b + "attn_norm.weight", h, 1.0f);
        add(b + "attn_q.weight", h * h, 0.5f);
        add(b + "attn_k.weight", h * h / 2, 0.5f);
        add(b + "attn_v.weight", h * h / 2, 0.5f);
        add(b + "attn_output.weight", h * h, 0.3f);
        add(b + "ffn_norm.weight", h, 1.0f);
        add(b + "ffn_gate.weight", ffn * h, 0.3f);
        add(b + "ffn_up.weight", ffn * h, 0.3f);
        add(b + "ffn_down.weight", h * ffn, 0.3f);
    }
    LlamaHints hints;
    hints.head_count = 4;  // head width 8; two queries per key/value head
    hints.head_count_kv = 2;
    std::vector<uint32_t> tokens(positions);
    for (uint64_t i = 0; i < positions; ++i) tokens[i] = uint32_t(i * 7 % vocab);
    const std::vector<uint32_t> other(tokens.rbegin(), tokens.rend());
    auto session = [&] { return *build_llama_session(tensors, hints, kNoLimit); };

    std::vector<std::vector<float>> results;
    for (int workers : {1, 2}) {
        tbb::task_arena arena(workers);
        LlamaSession stepped = session();
        stepped.arena = &arena;
        std::vector<float> logits;
        for (uint32_t t : tokens) logits = forward(stepped, t);
        results.push_back(logits);
        LlamaSession whole = session(), ragged = session();
        whole.arena = ragged.arena = &arena;
        results.push_back(forward_tokens(whole, tokens));
        forward_tokens(ragged, std::span(tokens).first(37), false);
        forward_tokens(ragged, std::span(tokens).subspan(37, 1), false);
        results.push_back(forward_tokens(ragged, std::span(tokens).subspan(38)));
        EXPECT_EQ(ragged.state.pos, positions);
        EXPECT_EQ(ragged.state.kv_cache[1].length, positions);
        // A prefix copied over a chunk's edge into a cache that held other positions goes on as if run there.
        LlamaSession copied = session();
        copied.arena = &arena;
        forward_tokens(copied, std::span(other).first(900), false);
        for (size_t l = 0; l < copied.state.kv_cache.size(); ++l)
            copied.state.kv_cache[l].copy_prefix(whole.state.kv_cache[l], 700);
        copied.state.pos = 700;
        results.push_back(forward_tokens(copied, std::span(tokens).subspan(700)));

        // Batched with other sequences over one set of weights, a long prompt beside one-token steps:
        // each sequence's logits are those it gets alone.
        const LlamaSession shared = session();
        SequenceState a = SequenceState::create(h, 2), b = SequenceState::create(h, 2), c = SequenceState::create(h, 2);
        StepBuffers buffers;
        const std::span<const uint32_t> all(tokens), rest(other);
        for (auto parts : {std::vector<SequenceWork>{{&a, all.first(100), {}}, {&b, rest.first(3), {}}},
                           std::vector<SequenceWork>{{&c, rest.first(1), {}}, {&a, all.subspan(100, 1), {}},
                                                     {&b, rest.subspan(3, 90), {}}},
                           std::vector<SequenceWork>{{&b, rest.subspan(93, 1), {}}, {&a, all.subspan(101), {}}}}) {
            forward_sequences(shared.config, shared.weights, parts, buffers, &arena);
            if (parts.size() == 2 && parts[1].state == &a && a.pos == positions) {
                results.push_back(parts[1].logits);
                LlamaSession b_alone = session();
                b_alone.arena = &arena;
                expect_bits_equal(parts[0].logits, forward_tokens(b_alone, rest.first(94)));
            }
        }
        EXPECT_EQ(a.pos, positions);
    }
    ASSERT_EQ(results.size(), 10u);  // five ways of running the tokens, at each worker count
    for (size_t i = 1; i < results.size(); ++i) {
        SCOPED_TRACE("result " + std::to_string(i));
        expect_bits_equal(results[i], results[0]);
    }
}

// A stop asked for while a batch runs ends the run after that layer: the batches before it stay in
// the cache and the position, the unfinished one leaves nothing, and the session goes on from there as
// one that never saw it.
TEST(Forward, AStopKeepsTheFinishedBatchesOnly) {
    TensorMap tensors{{"token_embd.weight", random_floats(8 * 16, 1)}, {"output_norm.weight", random_floats(16, 6)},
                      {"blk.0.attn_q.weight", random_floats(256, 2)},
                      {"blk.0.attn_k.weight", random_floats(256, 3)},  {"blk.0.attn_v.weight", random_floats(256, 4)},
                      {"blk.1.attn_norm.weight", random_floats(16, 5)}};
    LlamaHints hints;
    hints.head_count = 2;
    std::vector<uint32_t> tokens(150);
    for (uint64_t i = 0; i < tokens.size(); ++i) tokens[i] = uint32_t(i % 8);
    LlamaSession stopped = *build_llama_session(tensors, hints, kNoLimit);
    int layers_run = 0;
    // Two layers a batch: the stop comes after the third layer, in the second batch.
    const auto logits = forward_tokens(stopped, tokens, true, [&] { return ++layers_run == 3; });
    EXPECT_TRUE(logits.empty());
    EXPECT_EQ(stopped.state.pos, kForwardBatch);
    for (const KVCache& cache : stopped.state.kv_cache) EXPECT_EQ(cache.length, kForwardBatch);
    LlamaSession plain = *build_llama_session(tensors, hints, kNoLimit);
    expect_bits_equal(forward_tokens(stopped, std::span(tokens).subspan(kForwardBatch)), forward_tokens(plain, tokens));
    EXPECT_EQ(stopped.rng_state, plain.rng_state);
}

}  // namespace
