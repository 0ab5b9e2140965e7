#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "inference/llama.hpp"
#include "inference/sampler.hpp"

using namespace quillfen;

// Everything here is file-local: other test files use the same helper names.
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The generator states a fresh session hands the sampler on its first five steps (42 advanced with
// increment 1), worked out independently of the code under test.
constexpr uint64_t kFirstStates[] = {9039304369631583587ull, 8647191391818483560ull, 10334312345110439241ull,
                                     459824130525332694ull, 1363481262641415071ull};


TEST(Sampler, GreedyPicksLastOfTiedMaxima) {
    EXPECT_EQ(sample({1.0f, 3.0f, 3.0f, 2.0f}, 0.0f, 0, 1.0f, 7), 2u);
    EXPECT_EQ(sample({1.0f, 3.0f, 3.0f, 2.0f}, -1.0f, 0, 1.0f, 7), 2u);
    EXPECT_EQ(sample({}, 0.0f, 0, 1.0f, 7), 0u);
    EXPECT_EQ(sample({}, 1.0f, 0, 0.5f, 7), 0u);
    EXPECT_EQ(sample({kNaN}, 0.0f, 0, 1.0f, 7), 0u);  // a single value is never compared
}

TEST(Sampler, DrawFollowsTheGeneratorOnUniformLogits) {
    // With 1000 equal logits the draw lands on floor(r * 1000), r = (s * M + 1442695040888963407) / 2^64.
    const uint32_t expected[] = {546, 638, 103, 152, 732};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(sample(std::vector<float>(1000, 0.0f), 1.0f, 0, 1.0f, kFirstStates[i]), expected[i]) << i;
}

TEST(Sampler, DrawThatRoundsToOneFallsBackToArgMax) {
    // This seed makes the draw's u equal 2^64 - 1, which rounds to r = 1.0: no running sum exceeds it.
    const uint64_t seed = 15635871386175874928ull;
    EXPECT_EQ(sample({2.0f, 1.0f}, 1.0f, 0, 1.0f, seed), 0u);
    EXPECT_EQ(sample({1.0f, 1.0f, 1.0f}, 1.0f, 0, 1.0f, seed), 2u);
}

TEST(Sampler, TopKKeepsTiesWithTheKthValue) {
    std::set<uint32_t> seen;
    for (uint64_t seed = 0; seed < 64; ++seed) seen.insert(sample({5.0f, 1.0f, 5.0f, 4.0f}, 1.0f, 1, 1.0f, seed));
    EXPECT_EQ(seen, (std::set<uint32_t>{0, 2}));
}

TEST(Sampler, TopKOneWithUniqueMaximumIgnoresTheDraw) {
    for (uint64_t seed : kFirstStates) EXPECT_EQ(sample({0.5f, 0.1f, 0.9f, 0.8f}, 1.0f, 1, 1.0f, seed), 2u);
}

TEST(Sampler, TopKZeroOrAtLeastVocabularyDoesNotFilter) {
    std::set<uint32_t> zero, big;
    for (uint64_t seed = 0; seed < 200; ++seed) {
        zero.insert(sample({1.0f, 1.2f, 0.8f}, 1.0f, 0, 1.0f, seed));
        big.insert(sample({1.0f, 1.2f, 0.8f}, 1.0f, 3, 1.0f, seed));
    }
    EXPECT_EQ(zero.size(), 3u);
    EXPECT_EQ(big.size(), 3u);
}

TEST(Sampler, TopPWalkStopsOnlyOnceMassPassesTopP) {
    // Eight equal tokens of 0.125: the walk reaches exactly 0.25 after two, which does not pass 0.25,
    // so three survive at 1/3 each and the draws (r = 0.547, 0.638, 0.103, 0.152, 0.733) land on floor(3r).
    const std::vector<float> logits(8, 0.0f);
    const uint32_t expected[] = {1, 1, 0, 0, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sample(logits, 1.0f, 0, 0.25f, kFirstStates[i]), expected[i]) << i;
    // Unfiltered, the same draws land on floor(8r).
    EXPECT_EQ(sample(logits, 1.0f, 0, 1.0f, kFirstStates[4]), 5u);
    EXPECT_EQ(sample(logits, 1.0f, 0, 1.5f, kFirstStates[4]), 5u);
}

TEST(Sampler, TopPZeroLeavesTheFirstRankedToken) {
    for (uint64_t seed : kFirstStates) {
        EXPECT_EQ(sample({2.0f, 3.0f, 3.0f, 1.0f}, 1.0f, 0, 0.0f, seed), 1u);  // lowest index among equals
        EXPECT_EQ(sample({2.0f, 3.0f, 3.0f, 1.0f}, 1.0f, 0, -1.0f, seed), 1u);
    }
}

TEST(Sampler, NaNTopPOrTemperatureSkipsThatStep) {
    std::set<uint32_t> seen;
    for (uint64_t seed = 0; seed < 200; ++seed) seen.insert(sample({1.0f, 1.2f, 0.8f}, 1.0f, 0, kNaN, seed));
    EXPECT_EQ(seen.size(), 3u);
    // A NaN temperature divides nothing but still draws: logits 0 and 10 differ by e^10 undivided.
    EXPECT_EQ(sample({0.0f, 10.0f}, kNaN, 0, 1.0f, kFirstStates[0]), 1u);
    EXPECT_EQ(sample({0.0f, 10.0f}, 100.0f, 0, 1.0f, kFirstStates[2]), 0u);  // r = 0.103 < 0.475
}

struct NaNCase {
    const char* name;
    std::vector<float> logits;
    float temperature;
    uint64_t top_k;
    float top_p;
};

class SamplerNaN : public ::testing::TestWithParam<NaNCase> {};

TEST_P(SamplerNaN, IsAnInternalFault) {
    const NaNCase& c = GetParam();
    EXPECT_THROW(sample(c.logits, c.temperature, c.top_k, c.top_p, 42), InternalFault);
}

INSTANTIATE_TEST_SUITE_P(
    Sorts, SamplerNaN,
    ::testing::Values(NaNCase{"greedy_argmax", {1.0f, kNaN, 2.0f}, 0.0f, 0, 1.0f},
                      NaNCase{"top_k_sort", {1.0f, kNaN, 2.0f}, 1.0f, 2, 1.0f},
                      NaNCase{"top_p_sort", {1.0f, kNaN, 2.0f}, 1.0f, 0, 0.9f},
                      NaNCase{"draw_fallback_all_nan", {kNaN, kNaN}, 1.0f, 0, 1.0f},
                      // a tiny temperature turns finite logits into infinities whose difference is NaN
                      NaNCase{"overflowing_temperature", {1.0f, 2.0f}, 1e-45f, 0, 1.0f}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
