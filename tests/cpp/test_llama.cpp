#include <gtest/gtest.h>

#include <tbb/task_arena.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "inference/llama.hpp"
#include "inference/matvec_kernels.hpp"

using namespace quillfen;

// Everything here is file-local: other test files use the same helper names.
namespace {

constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

std::vector<float> random_vector(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Row by row, one accumulator, ascending columns: the order the product promises.
std::vector<float> serial_matvec(const std::vector<float>& w, const std::vector<float>& x, size_t rows, size_t cols) {
    std::vector<float> out(rows);
    for (size_t r = 0; r < rows; ++r) {
        float acc = -0.0f;
        for (size_t j = 0; j < cols; ++j) acc += w[r * cols + j] * x[j];
        out[r] = acc;
    }
    return out;
}

std::vector<float> identity(size_t n) {
    std::vector<float> m(n * n, 0.0f);
    for (size_t i = 0; i < n; ++i) m[i * n + i] = 1.0f;
    return m;
}

LlamaSession build(const TensorMap& tensors, const LlamaHints& hints = {}) {
    auto s = build_llama_session(tensors, hints, kNoLimit);
    EXPECT_TRUE(s.has_value()) << (s ? "" : s.error().message());
    return std::move(*s);
}


// ---- matvec -----------------------------------------------------------------------------------

class MatvecShapes : public ::testing::TestWithParam<std::pair<size_t, size_t>> {};

TEST_P(MatvecShapes, ParallelEqualsSerialBitForBitAtAnyThreadCount) {
    auto [rows, cols] = GetParam();
    const auto w = random_vector(rows * cols, 1);
    const auto x = random_vector(cols, 2);
    const auto expected = serial_matvec(w, x, rows, cols);
    EXPECT_EQ(matvec(w, x, rows, cols), expected);
    tbb::task_arena single(1);
    single.execute([&] { EXPECT_EQ(matvec(w, x, rows, cols), expected); });
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatvecShapes,
                         ::testing::Values(std::pair<size_t, size_t>{1, 7}, std::pair<size_t, size_t>{3, 5},
                                           std::pair<size_t, size_t>{4, 64}, std::pair<size_t, size_t>{37, 53},
                                           std::pair<size_t, size_t>{1023, 96}, std::pair<size_t, size_t>{6, 0}));

TEST(MatvecKernels, EveryKernelAddsEachRowInColumnOrder) {
    // Row counts around the 8- and 16-row blocks, column counts around the 4-column transposes; a range
    // that starts mid-matrix; NaN canaries outside the range must stay.
    for (size_t rows : {1, 7, 8, 9, 15, 16, 17, 24, 33, 40}) {
        for (size_t cols : {1, 3, 4, 5, 8, 31}) {
            const auto w = random_vector(rows * cols, uint32_t(rows * 100 + cols));
            const auto x = random_vector(cols, 9);
            const auto expected = serial_matvec(w, x, rows, cols);
            const size_t begin = rows > 3 ? 2 : 0;
            for (bool avx : {false, true}) {
                if (avx && !matvec_rows_avx_available()) continue;
                std::vector<float> out(rows, std::numeric_limits<float>::quiet_NaN());
                (avx ? matvec_rows_avx : matvec_rows_portable)(w.data(), x.data(), out.data(), begin, rows, cols);
                for (size_t r = 0; r < rows; ++r) {
                    if (r < begin) {
                        EXPECT_TRUE(std::isnan(out[r]));
                    } else {
                        EXPECT_EQ(std::bit_cast<uint32_t>(out[r]), std::bit_cast<uint32_t>(expected[r]))
                            << "avx=" << avx << " rows=" << rows << " cols=" << cols << " r=" << r;
                    }
                }
            }
        }
    }
}

TEST(Matvec, ShortWeightOrInputGivesZeros) {
    const auto w = random_vector(12, 3);
    const auto x = random_vector(4, 4);
    EXPECT_EQ(matvec(std::span(w).first(11), x, 3, 4), std::vector<float>(3, 0.0f));
    EXPECT_EQ(matvec(w, std::span(x).first(3), 3, 4), std::vector<float>(3, 0.0f));
    EXPECT_EQ(matvec(w, x, 0, 4), std::vector<float>{});
    // A longer weight is read as its first rows * cols elements.
    EXPECT_EQ(matvec(w, x, 2, 4), serial_matvec(w, x, 2, 4));
}

TEST(Matvec, SumStartsFromNegativeZero) {
    // Every product is -0; a sum started from +0 would end as +0. 17 rows reach every kernel path.
    const auto out = matvec(std::vector<float>(17 * 5, 0.0f), std::vector<float>(5, -1.0f), 17, 5);
    for (float v : out) EXPECT_TRUE(std::signbit(v));
}

// ---- norms and rotary embedding ---------------------------------------------------------------

TEST(RmsNorm, ScalesByRootMeanSquareAndSkipsShortWeights) {
    std::vector<float> v = {3.0f, 4.0f};
    rms_norm(v, std::vector<float>{1.0f, 2.0f}, 1e-5f);
    const double inv = 1.0 / std::sqrt(12.5 + 1e-5);
    EXPECT_NEAR(v[0], 3.0 * inv, 1e-6);
    EXPECT_NEAR(v[1], 8.0 * inv, 1e-6);

    std::vector<float> unchanged = {3.0f, 4.0f};
    rms_norm(unchanged, std::vector<float>{1.0f}, 1e-5f);
    EXPECT_EQ(unchanged, (std::vector<float>{3.0f, 4.0f}));
}

TEST(Rope, PositionZeroLeavesVectorUnchanged) {
    auto v = random_vector(16, 5);
    const auto before = v;
    apply_rope(v, 4, 4, 0, 10000.0f);
    EXPECT_EQ(v, before);
}

TEST(Rope, HeadWidthOneChainsOverlappingPairs) {
    // Pairs (0,1), (1,2), (2,3), each turned by 1 radian; elements 1 and 2 turn twice.
    std::vector<float> v = {1.0f, 2.0f, 3.0f, 4.0f};
    std::vector<double> e = {1.0, 2.0, 3.0, 4.0};
    for (int i = 0; i < 3; ++i) {
        const double a = e[i], b = e[i + 1];
        e[i] = a * std::cos(1.0) - b * std::sin(1.0);
        e[i + 1] = b * std::cos(1.0) + a * std::sin(1.0);
    }
    apply_rope(v, 4, 1, 1, 10000.0f);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(v[i], e[i], 1e-5) << i;
}

TEST(Rope, EvenHeadRotatesAdjacentPairsAtFallingFrequencies) {
    // Head width 4 at position 2: pair (0,1) turns by 2 rad, pair (2,3) by 2 / sqrt(base) rad.
    std::vector<float> v = {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 1.0f};
    apply_rope(v, 2, 4, 2, 100.0f);
    EXPECT_NEAR(v[0], std::cos(2.0), 1e-6);
    EXPECT_NEAR(v[1], std::sin(2.0), 1e-6);
    EXPECT_NEAR(v[2], std::cos(0.2), 1e-6);
    EXPECT_NEAR(v[3], std::sin(0.2), 1e-6);
    EXPECT_NEAR(v[4], -std::sin(2.0), 1e-6);
    EXPECT_NEAR(v[5], std::cos(2.0), 1e-6);
}

TEST(Rope, StopsAtLastCompletePairOfShortVector) {
    std::vector<float> v = {1.0f, 0.0f, 1.0f, 0.0f, 5.0f};  // 2 heads of 4 want 8 elements
    apply_rope(v, 2, 4, 1, 10000.0f);
    EXPECT_EQ(v[4], 5.0f);
    EXPECT_NE(v[1], 0.0f);
}

// ---- construction -----------------------------------------------------------------------------

TEST(LayerCount, CountsLargestBlockNumberPlusOne) {
    TensorMap t = {{"blk.0.x", {}}, {"blk.7.y", {}}, {"blk.+3.z", {}}, {"blk.x.y", {}}, {"blk.-1.y", {}},
                   {"blk.99999999999999999999.y", {}}, {"blk.", {}}, {"blk.+.a", {}}, {"token_embd.weight", {}}};
    EXPECT_EQ(count_layers(t).count, 8u);
    EXPECT_EQ(count_layers({{"blk.5", {}}}).count, 6u);
    EXPECT_EQ(count_layers({{"output.weight", {}}}).count, 0u);
    EXPECT_TRUE(count_layers({{"blk.18446744073709551615.a", {}}}).overflow);
}

struct ConfigCase {
    const char* name;
    TensorMap tensors;
    LlamaHints hints;
    uint64_t hidden, heads, kv_heads, head_dim, vocab;
};

class DeriveConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(DeriveConfig, FromLengthsAndHints) {
    const ConfigCase& c = GetParam();
    const LlamaConfig got = derive_config(c.tensors, c.hints);
    EXPECT_EQ(got.hidden_dim, c.hidden);
    EXPECT_EQ(got.n_heads, c.heads);
    EXPECT_EQ(got.n_kv_heads, c.kv_heads);
    EXPECT_EQ(got.head_dim, c.head_dim);
    EXPECT_EQ(got.vocab_size, c.vocab);
}

std::vector<float> zeros(size_t n) { return std::vector<float>(n, 0.0f); }

INSTANTIATE_TEST_SUITE_P(
    Cases, DeriveConfig,
    ::testing::Values(
        ConfigCase{"no_tensors", {}, {}, 4096, 32, 32, 128, 32000},
        ConfigCase{"no_tensors_with_head_count", {}, {8, std::nullopt, {}, {}}, 4096, 8, 8, 512, 32000},
        ConfigCase{"square_query_gives_width_one_heads",
                   {{"output_norm.weight", zeros(8)}, {"blk.0.attn_q.weight", zeros(64)},
                    {"blk.0.attn_k.weight", zeros(32)}},
                   {}, 8, 8, 4, 1, 32000},
        ConfigCase{"query_wider_than_hidden",
                   {{"output_norm.weight", zeros(8)}, {"blk.0.attn_q.weight", zeros(128)},
                    {"blk.0.attn_k.weight", zeros(8)}},
                   {}, 8, 16, 16, 0, 32000},
        ConfigCase{"hidden_from_first_attn_norm_vocab_rounds_down",
                   {{"blk.0.attn_norm.weight", zeros(8)}, {"token_embd.weight", zeros(83)}}, {}, 8, 32, 32, 0, 10},
        ConfigCase{"vocab_from_output_when_no_embedding",
                   {{"output_norm.weight", zeros(4)}, {"output.weight", zeros(20)}}, {}, 4, 32, 32, 0, 5},
        ConfigCase{"head_counts_from_metadata",
                   {{"output_norm.weight", zeros(8)}, {"blk.0.attn_q.weight", zeros(64)},
                    {"blk.0.attn_k.weight", zeros(32)}, {"token_embd.weight", zeros(48)}},
                   {2, 1, 500000.0f, 1e-6f}, 8, 2, 1, 4, 6},
        ConfigCase{"kv_defaults_to_head_count", {{"output_norm.weight", zeros(12)}}, {3, std::nullopt, {}, {}},
                   12, 3, 3, 4, 32000},
        ConfigCase{"zero_width_without_key_matrix", {{"output_norm.weight", {}}, {"token_embd.weight", zeros(9)}},
                   {}, 0, 32, 32, 0, 32000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeriveConfig, RotaryBaseAndEpsilonComeFromHintsWhenPresent) {
    const TensorMap t = {{"output_norm.weight", zeros(4)}};
    EXPECT_EQ(derive_config(t, {}).rope_freq_base, 10000.0f);
    EXPECT_EQ(derive_config(t, {}).rms_epsilon, 1e-5f);
    const LlamaConfig c = derive_config(t, {std::nullopt, std::nullopt, 500000.0f, 1e-6f});
    EXPECT_EQ(c.rope_freq_base, 500000.0f);
    EXPECT_EQ(c.rms_epsilon, 1e-6f);
    EXPECT_EQ(c.n_heads, 32u);  // the rotary base alone does not switch the head rule
}

TEST(DeriveConfig, ZeroWidthWithAttentionMatricesDividesByZero) {
    try {
        derive_config({{"output_norm.weight", {}}, {"blk.0.attn_q.weight", zeros(4)}}, {});
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "attempt to divide by zero");
    }
    EXPECT_THROW(derive_config({{"blk.0.attn_norm.weight", {}}, {"blk.0.attn_k.weight", zeros(4)},
                                {"token_embd.weight", zeros(4)}},
                               {}),
                 InternalFault);
}

TEST(BuildSession, MissingTensorsGetDefaultsAndTiedOutputCopiesEmbedding) {
    const auto embd = random_vector(4 * 6, 7);
    LlamaSession s = build({{"output_norm.weight", zeros(4)},
                            {"token_embd.weight", embd},
                            {"blk.0.attn_q.weight", random_vector(16, 8)},
                            {"blk.2.ffn_gate.weight", random_vector(8, 9)}});
    ASSERT_EQ(s.num_layers(), 3u);
    EXPECT_EQ(s.vocab_size(), 6u);
    EXPECT_EQ(s.weights.output, embd);
    EXPECT_NE(s.weights.output.data(), s.weights.token_embd.data());
    EXPECT_EQ(s.weights.output_norm, zeros(4));  // present: kept as stored
    const LlamaLayerWeights& l1 = s.weights.layers[1];
    EXPECT_EQ(l1.attn_norm, std::vector<float>(4, 1.0f));
    EXPECT_EQ(l1.ffn_norm, std::vector<float>(4, 1.0f));
    EXPECT_EQ(l1.attn_q, zeros(16));
    EXPECT_EQ(l1.attn_k, zeros(4 * 4));  // head_dim 1 x 4 kv heads x H
    EXPECT_EQ(l1.attn_output, zeros(16));
    EXPECT_TRUE(l1.ffn_gate.empty() && l1.ffn_up.empty() && l1.ffn_down.empty());
    EXPECT_EQ(s.weights.layers[2].ffn_gate.size(), 8u);
    EXPECT_EQ(s.state.kv_cache.size(), 3u);
    EXPECT_EQ(s.state.x, zeros(4));
    EXPECT_EQ(s.state.pos, 0u);
    EXPECT_EQ(s.rng_state, 42u);
}

TEST(BuildSession, NoEmbeddingAndNoOutputGiveZeroMatrices) {
    LlamaSession s = build({{"output_norm.weight", zeros(3)}});
    EXPECT_EQ(s.vocab_size(), 32000u);
    EXPECT_EQ(s.weights.token_embd, zeros(3 * 32000));
    EXPECT_EQ(s.weights.output, zeros(3 * 32000));
}

TEST(BuildSession, LayerCountWhoseDefaultsExceedTheLimitIsRefusedUpFront) {
    // H = 8, 8 heads of width 1 (from the query matrix): a default layer is 8 + 64 + 64 + 64 + 64 + 8
    // floats plus its records; layer 0's query and layer 9's norm are present.
    const TensorMap ten = {{"output_norm.weight", zeros(8)}, {"token_embd.weight", zeros(16)},
                           {"blk.0.attn_q.weight", zeros(64)}, {"blk.9.attn_norm.weight", zeros(8)}};
    const uint64_t per_layer = (8 + 64 + 64 + 64 + 64 + 8) * 4 + sizeof(LlamaLayerWeights) + sizeof(KVCache);
    const uint64_t needed = 10 * per_layer - (64 + 8) * 4;
    EXPECT_TRUE(build_llama_session(ten, {}, needed));
    auto refused = build_llama_session(ten, {}, needed - 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Default weights too large: 10 layers need " + std::to_string(needed) +
                                             " bytes, more than the " + std::to_string(needed - 1) +
                                             " bytes of memory");

    TensorMap huge = ten;
    huge["blk.99999999999.x"] = {};
    auto r = build_llama_session(huge, {}, machine_memory_bytes());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message().starts_with("Default weights too large: 100000000000 layers need ")) << r.error().message();

    TensorMap top = ten;
    top["blk.18446744073709551615"] = {};
    r = build_llama_session(top, {}, kNoLimit);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message().starts_with("Default weights too large: 18446744073709551616 layers need more than "));
}

TEST(BuildSession, HostileKeyValueHeadCountIsRefusedNotAllocated) {
    // A missing key matrix would default to head_dim x 2^62 x H floats.
    auto r = build_llama_session({{"output_norm.weight", zeros(8)}, {"blk.0.attn_norm.weight", zeros(8)}},
                                 {2, uint64_t{1} << 62, {}, {}}, kNoLimit);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message().starts_with("Default weights too large: 1 layers need more than "));
}

// ---- forward ----------------------------------------------------------------------------------

TEST(Forward, ZeroLayersProjectTheNormalisedEmbedding) {
    // H = 2, vocab 3; token 1 embeds as (3, 4).
    LlamaSession s = build({{"output_norm.weight", {1.0f, 0.5f}},
                            {"token_embd.weight", {0, 0, 3, 4, 0, 0}},
                            {"output.weight", {1, 0, 0, 1, 1, 1}}});
    const auto logits = forward(s, 1);
    const double inv = 1.0 / std::sqrt(12.5 + 1e-5);
    ASSERT_EQ(logits.size(), 3u);
    EXPECT_NEAR(logits[0], 3 * inv, 1e-6);
    EXPECT_NEAR(logits[1], 2 * inv, 1e-6);
    EXPECT_NEAR(logits[2], 5 * inv, 1e-6);
    EXPECT_EQ(s.state.pos, 1u);
    EXPECT_EQ(s.rng_state, 42u * kLcgMultiplier + 1);
}

TEST(Forward, TokenPastTheTableEmbedsAsZerosAndStillAdvances) {
    LlamaSession s = build({{"output_norm.weight", {1.0f, 1.0f}},
                            {"token_embd.weight", {1, 2, 3, 4}},
                            {"output.weight", {1, 0, 0, 1}}});
    for (uint32_t token : {2u, 3u, 4294967295u}) {
        const auto logits = forward(s, token);
        EXPECT_EQ(logits, zeros(2));
    }
    EXPECT_EQ(s.state.pos, 3u);
}

// One layer whose attention copies the normalised input through (value = output projection = identity)
// and whose queries and keys are zero, so every cached position gets the same weight.
LlamaSession pass_through_layer(const LlamaHints& hints) {
    return build({{"output_norm.weight", std::vector<float>(4, 1.0f)},
                  {"token_embd.weight", {1, 1, 1, 1, 2, -1, 0, 3}},
                  {"output.weight", identity(4)},
                  {"blk.0.attn_v.weight", identity(4)},
                  {"blk.0.attn_output.weight", identity(4)}},
                 hints);
}

TEST(Forward, AttentionAveragesCachedValuesWhenScoresTie) {
    LlamaSession s = pass_through_layer({2, 2, {}, {}});
    forward(s, 0);
    forward(s, 1);
    ASSERT_EQ(s.state.kv_cache[0].keys.size(), 2u);
    ASSERT_EQ(s.state.kv_cache[0].values.size(), 2u);
    const auto& v0 = s.state.kv_cache[0].values[0];
    const auto& v1 = s.state.kv_cache[0].values[1];
    // x = embedding + mean of the two values, then the final norm; compare directions.
    std::vector<double> x = {2, -1, 0, 3};
    for (int i = 0; i < 4; ++i) x[i] += 0.5 * (v0[i] + v1[i]);
    double ss = 0;
    for (double e : x) ss += e * e;
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(s.state.x[i], x[i] / std::sqrt(ss / 4 + 1e-5), 1e-5) << i;
    EXPECT_EQ(s.state.pos, 2u);

    s.reset();
    EXPECT_EQ(s.state.pos, 0u);
    EXPECT_TRUE(s.state.kv_cache[0].keys.empty());
    EXPECT_EQ(s.rng_state, (42u * kLcgMultiplier + 1) * kLcgMultiplier + 1);  // not reseeded
}

TEST(Forward, GroupedHeadsReadTheirOwnKeyValueHead) {
    // Four query heads of width 1 over two kv heads: heads 0-1 read kv head 0, heads 2-3 kv head 1.
    LlamaSession s = build({{"output_norm.weight", std::vector<float>(4, 1.0f)},
                            {"token_embd.weight", {1, 1, 1, 1}},
                            {"output.weight", identity(4)},
                            {"blk.0.attn_v.weight", {1, 0, 0, 0, 0, 0, 0, 3}},
                            {"blk.0.attn_output.weight", identity(4)}},
                           {4, 2, {}, {}});
    forward(s, 0);
    EXPECT_EQ(s.state.kv_cache[0].values[0].size(), 2u);
    EXPECT_EQ(s.state.x[0], s.state.x[1]);
    EXPECT_EQ(s.state.x[2], s.state.x[3]);
    EXPECT_LT(s.state.x[0], s.state.x[2]);
}

TEST(Forward, FeedForwardAddsSiluGatedProjection) {
    // H = 1, F = 1, no attention weights: x = e + down * (up * x') * silu(gate * x'), x' the normalised e.
    LlamaSession s = build({{"output_norm.weight", {1.0f}},
                            {"token_embd.weight", {2.0f}},
                            {"output.weight", {1.0f}},
                            {"blk.0.ffn_norm.weight", {1.0f}},
                            {"blk.0.ffn_gate.weight", {1.5f}},
                            {"blk.0.ffn_up.weight", {2.0f}},
                            {"blk.0.ffn_down.weight", {0.5f}}});
    const auto logits = forward(s, 0);
    const double xn = 2.0 / std::sqrt(4.0 + 1e-5);
    const double g = 1.5 * xn;
    const double x = 2.0 + 0.5 * (2.0 * xn) * (g / (std::exp(-g) + 1.0));
    ASSERT_EQ(logits.size(), 1u);
    EXPECT_NEAR(logits[0], x / std::sqrt(x * x + 1e-5), 1e-6);
    EXPECT_NE(x / std::sqrt(x * x + 1e-5), 2.0 / std::sqrt(4.0 + 1e-5));
}

TEST(Forward, ZeroKeyValueHeadsStillGiveLogits) {
    LlamaSession s = pass_through_layer({2, 0, {}, {}});
    const auto logits = forward(s, 1);
    EXPECT_EQ(s.state.kv_cache[0].keys[0].size(), 0u);
    EXPECT_EQ(logits.size(), 2u);
    EXPECT_FALSE(std::isnan(logits[0]));
}

TEST(Forward, HugeHeadCountOfZeroWidthDoesNotWalkEveryHead) {
    LlamaSession s = pass_through_layer({uint64_t{1} << 50, std::nullopt, {}, {}});
    EXPECT_EQ(s.config.head_dim, 0u);
    forward(s, 0);  // returns promptly
    EXPECT_EQ(s.state.pos, 1u);
}

TEST(Forward, ImpossibleShapesFaultBeforeChangingTheState) {
    LlamaSession more_kv = pass_through_layer({2, 4, {}, {}});
    LlamaSession zero_width = build({{"output_norm.weight", {}}, {"blk.0.ffn_gate.weight", {1.0f}}});
    for (LlamaSession* s : {&more_kv, &zero_width}) {
        try {
            forward(*s, 0);
            ADD_FAILURE() << "no fault";
        } catch (const InternalFault& f) {
            EXPECT_STREQ(f.what(), "attempt to divide by zero");
        }
        EXPECT_EQ(s->state.pos, 0u);
        EXPECT_EQ(s->rng_state, 42u);
        EXPECT_TRUE(s->state.kv_cache[0].keys.empty());
    }
}

}  // namespace
