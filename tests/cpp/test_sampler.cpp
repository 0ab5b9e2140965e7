// The sampler's tie rules, filters and random draw; its agreement on whole models is shown in Python.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <set>

#include "inference/model.hpp"
#include "inference/sampler.hpp"

using namespace quillfen;

// Everything here is file-local: other test files use the same helper names.
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The generator states a fresh session hands the sampler on its first five steps (42 advanced with
// increment 1), worked out independently of the code under test.
constexpr uint64_t kFirstStates[] = {9039304369631583587ull, 8647191391818483560ull, 10334312345110439241ull,
                                     459824130525332694ull, 1363481262641415071ull};

std::set<uint32_t> draws(const std::vector<float>& logits, uint64_t top_k, float top_p) {
    std::set<uint32_t> seen;
    for (uint64_t seed = 0; seed < 200; ++seed) seen.insert(sample(logits, 1.0f, top_k, top_p, seed));
    return seen;
}

TEST(Sampler, GreedyPicksLastOfTiedMaxima) {
    EXPECT_EQ(sample({1.0f, 3.0f, 3.0f, 2.0f}, 0.0f, 0, 1.0f, 7), 2u);
    EXPECT_EQ(sample({1.0f, 3.0f, 3.0f, 2.0f}, -1.0f, 0, 1.0f, 7), 2u);
    EXPECT_EQ(sample({}, 0.0f, 0, 1.0f, 7), 0u);
    EXPECT_EQ(sample({}, 1.0f, 0, 0.5f, 7), 0u);
    EXPECT_EQ(sample({kNaN}, 0.0f, 0, 1.0f, 7), 0u);  // a single value is never compared
}

TEST(Sampler, GreedyAgreesWithTheArgMaxOfTheProbabilities) {
    // exp(-1e-8) rounds to 1: both are maxima of the probabilities, so the later one is chosen, though
    // its logit is smaller. A tiny min_p filters nothing but takes the sampler through every probability.
    EXPECT_EQ(sample({0.0f, -1e-8f}, 0.0f, 0, 1.0f, 7), 1u);
    // The choice, or -1 for the fault an infinite logit leads to (inf - inf is NaN).
    const auto greedy = [](const std::vector<float>& logits, float min_p) -> int64_t {
        try {
            return sample(logits, 0.0f, 0, 1.0f, 7, min_p);
        } catch (const InternalFault&) {
            return -1;
        }
    };
    std::mt19937 gen(5);
    std::normal_distribution<float> spread(0.0f, 4.0f);
    for (int round = 0; round < 40; ++round) {
        std::vector<float> logits(1000 + round);
        for (float& l : logits) l = spread(gen);
        if (round % 4 == 1) logits[round * 7] = logits[round * 3];                       // an exact tie
        if (round % 4 == 2) logits[round * 7] = std::nextafter(logits[round * 3], 0.0f);  // a near one
        if (round % 4 == 3) logits[round] = std::numeric_limits<float>::infinity();
        const float most = *std::max_element(logits.begin(), logits.end());
        if (round % 8 == 0) logits[round * 5] = most;  // ties at the top
        EXPECT_EQ(greedy(logits, 0.0f), greedy(logits, 1e-38f)) << round;
    }
}

TEST(Sampler, DrawFollowsTheGenerator) {
    // With 1000 equal logits the draw lands on floor(r * 1000), r = (s * M + 1442695040888963407) / 2^64.
    const uint32_t expected[] = {546, 638, 103, 152, 732};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(sample(std::vector<float>(1000, 0.0f), 1.0f, 0, 1.0f, kFirstStates[i]), expected[i]) << i;
    // This seed makes u = 2^64 - 1, which rounds to r = 1.0: no running sum exceeds it, so the arg-max.
    const uint64_t seed = 15635871386175874928ull;
    EXPECT_EQ(sample({2.0f, 1.0f}, 1.0f, 0, 1.0f, seed), 0u);
    EXPECT_EQ(sample({1.0f, 1.0f, 1.0f}, 1.0f, 0, 1.0f, seed), 2u);
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
    // A top_p of 0 or below leaves the first ranked token: the lowest index among equals.
    for (uint64_t seed : kFirstStates) {
        EXPECT_EQ(sample({2.0f, 3.0f, 3.0f, 1.0f}, 1.0f, 0, 0.0f, seed), 1u);
        EXPECT_EQ(sample({2.0f, 3.0f, 3.0f, 1.0f}, 1.0f, 0, -1.0f, seed), 1u);
    }
}

TEST(Sampler, MinPDropsTokensBelowItsShareOfTheBest) {
    // Probabilities e^2 : e^1 : e^0 (0.665, 0.245, 0.090): min_p 0.3 keeps what reaches 0.2, min_p 0.1
    // keeps what reaches 0.0665, and 0 or below turns the filter off.
    const std::vector<float> logits = {2.0f, 1.0f, 0.0f};
    auto seen = [&](float min_p) {
        std::set<uint32_t> s;
        for (uint64_t seed = 0; seed < 200; ++seed) s.insert(sample(logits, 1.0f, 0, 1.0f, seed, min_p));
        return s;
    };
    EXPECT_EQ(seen(0.3f), (std::set<uint32_t>{0, 1}));
    EXPECT_EQ(seen(0.1f), (std::set<uint32_t>{0, 1, 2}));
    EXPECT_EQ(seen(0.5f), (std::set<uint32_t>{0}));
    EXPECT_EQ(seen(-1.0f), (std::set<uint32_t>{0, 1, 2}));
}

TEST(Sampler, NaNTopPOrTemperatureSkipsThatStep) {
    EXPECT_EQ(draws({1.0f, 1.2f, 0.8f}, 0, kNaN).size(), 3u);
    // A NaN temperature divides nothing but still draws: logits 0 and 10 differ by e^10 undivided.
    EXPECT_EQ(sample({0.0f, 10.0f}, kNaN, 0, 1.0f, kFirstStates[0]), 1u);
    EXPECT_EQ(sample({0.0f, 10.0f}, 100.0f, 0, 1.0f, kFirstStates[2]), 0u);  // r = 0.103 < 0.475
}

TEST(Sampler, TopKKeepsEveryTieOfTheKthLargestAndOnlyRunsBelowTheVocabulary) {
    const std::vector<float> signed_zeros = {0.0f, -0.0f, 1.0f, 1.0f, -2.0f, 1.0f, 0.0f, -0.5f};
    const std::tuple<std::vector<float>, uint64_t, std::set<uint32_t>> cases[] = {  // logits, k, the ids drawn
        {{4.0f, 5.0f, 1.0f, 4.0f}, 2, {0, 1, 3}}, {{5.0f, 1.0f, 5.0f, 4.0f}, 1, {0, 2}},
        {{0.5f, 0.1f, 0.9f, 0.8f}, 1, {2}}, {{1.0f, 1.2f, 0.8f}, 0, {0, 1, 2}}, {{1.0f, 1.2f, 0.8f}, 3, {0, 1, 2}},
        {signed_zeros, 1, {2, 3, 5}}, {signed_zeros, 3, {2, 3, 5}}, {signed_zeros, 4, {0, 1, 2, 3, 5, 6}},
        {signed_zeros, 6, {0, 1, 2, 3, 5, 6}}, {signed_zeros, 7, {0, 1, 2, 3, 5, 6, 7}}};
    for (const auto& [logits, k, kept] : cases) EXPECT_EQ(draws(logits, k, 1.0f), kept) << "k=" << k;
}

TEST(Sampler, NaNMetByASortOrTheArgMaxIsAnInternalFault) {
    const std::vector<float> with_nan = {1.0f, kNaN, 2.0f};
    EXPECT_THROW(sample(with_nan, 0.0f, 0, 1.0f, 42), InternalFault);    // greedy arg-max
    EXPECT_THROW(sample(with_nan, 1.0f, 2, 1.0f, 42), InternalFault);    // top-k sort
    EXPECT_THROW(sample(with_nan, 1.0f, 0, 0.9f, 42), InternalFault);    // top-p sort
    EXPECT_THROW(sample({kNaN, kNaN}, 1.0f, 0, 1.0f, 42), InternalFault);  // the draw's fallback
    // A tiny temperature turns finite logits into infinities whose difference is NaN.
    EXPECT_THROW(sample({1.0f, 2.0f}, 1e-45f, 0, 1.0f, 42), InternalFault);
}

// The text API's sampler: the temperature's limits where `sample` meets NaN or loses the ranking.
std::set<uint32_t> tempered_draws(const std::vector<float>& logits, float temperature, uint64_t top_k, float top_p,
                                  float min_p = 0.0f) {
    std::set<uint32_t> seen;
    for (uint64_t seed = 0; seed < 400; ++seed)
        seen.insert(sample_tempered(logits, temperature, top_k, top_p, seed * 0x9E3779B97F4A7C15ull, min_p));
    return seen;
}

TEST(SamplerTempered, TinyTemperaturesAreTheArgMaxAndInfiniteOnesAnEvenDrawAmongTheKept) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::vector<float> logits = {1.0f, 3.0f, 2.5f, -4.0f, -kInf};
    for (float tiny : {1e-37f, 1e-40f, 1e-45f}) {
        EXPECT_EQ(tempered_draws(logits, tiny, 0, 1.0f), std::set<uint32_t>{1}) << tiny;
        EXPECT_EQ(tempered_draws(logits, tiny, 40, 0.95f, 0.05f), std::set<uint32_t>{1}) << tiny;
    }
    const std::tuple<uint64_t, float, std::set<uint32_t>> infinite[] = {  // top_k, top_p, the ids drawn
        {0, 1.0f, {0, 1, 2, 3}},  // every token but the one of logit -inf
        {2, 1.0f, {1, 2}},
        {0, 0.5f, {0, 1, 2}},     // 1/4 + 1/4 is not past 0.5: three tokens, the best by logit
        {1, 1.0f, {1}}};
    for (const auto& [k, p, kept] : infinite) EXPECT_EQ(tempered_draws(logits, kInf, k, p), kept) << k << " " << p;
    // Ordinary temperatures draw exactly as `sample` does.
    for (uint64_t seed = 0; seed < 100; ++seed)
        for (float t : {0.0f, 0.5f, 1.0f, 7.0f})
            EXPECT_EQ(sample_tempered(logits, t, 3, 0.9f, seed, 0.05f), sample(logits, t, 3, 0.9f, seed, 0.05f));
}

TEST(SamplerTempered, TopKOneIsTheArgMaxEvenWhereTheTemperatureRoundsLogitsTogether) {
    // Divided by 3e38 both land among the subnormals, where they round to one value: `sample` then keeps both.
    const std::vector<float> close = {0.1f, std::nextafter(0.1f, 1.0f)};
    ASSERT_EQ(close[0] / 3e38f, close[1] / 3e38f);
    EXPECT_EQ(draws({close[0] / 3e38f, close[1] / 3e38f}, 1, 1.0f).size(), 2u);
    for (float t : {1.0f, 1e30f, 3e38f, std::numeric_limits<float>::infinity()})
        EXPECT_EQ(tempered_draws(close, t, 1, 1.0f), std::set<uint32_t>{1}) << t;
}

// A mask over `n` ids allowing `ids`.
std::vector<uint32_t> mask_of(uint64_t n, std::initializer_list<uint32_t> ids) {
    std::vector<uint32_t> words(mask_words(n), 0);
    for (uint32_t id : ids) words[id / 32] |= uint32_t{1} << (id % 32);
    return words;
}

TEST(MaskedSampler, KeepsAllowedLogitsBitForBitAndDrawsOnlyAmongThem) {
    std::mt19937 gen(3);
    std::normal_distribution<float> spread(0.0f, 3.0f);
    std::vector<float> logits(70);  // three words, the last one partly past the vocabulary
    for (float& l : logits) l = spread(gen);
    logits[5] = 50.0f;  // the model's favourite, forbidden below
    const std::vector<uint32_t> mask = mask_of(70, {0, 33, 64, 69});
    std::vector<float> masked = logits;
    ASSERT_TRUE(mask_logits(masked, mask));
    for (uint32_t i = 0; i < 70; ++i) {
        const bool allowed = i == 0 || i == 33 || i == 64 || i == 69;
        if (allowed) EXPECT_EQ(std::bit_cast<uint32_t>(masked[i]), std::bit_cast<uint32_t>(logits[i])) << i;
        else EXPECT_EQ(masked[i], -std::numeric_limits<float>::infinity()) << i;
    }
    // Greedy is the arg-max over the allowed ids; top-k counts allowed ids only, so top_k = 2 keeps the
    // two best of them and no forbidden id takes a place.
    std::vector<std::pair<float, uint32_t>> best;
    for (uint32_t id : {0u, 33u, 64u, 69u}) best.emplace_back(logits[id], id);
    std::sort(best.rbegin(), best.rend());
    EXPECT_EQ(sample(masked, 0.0f, 0, 1.0f, 7), best[0].second);
    EXPECT_EQ(tempered_draws(masked, 1e-40f, 0, 1.0f), std::set<uint32_t>{best[0].second});
    EXPECT_EQ(tempered_draws(masked, 100.0f, 2, 1.0f), (std::set<uint32_t>{best[0].second, best[1].second}));
    EXPECT_EQ(tempered_draws(masked, std::numeric_limits<float>::infinity(), 0, 1.0f),
              (std::set<uint32_t>{0, 33, 64, 69}));
    for (float min_p : {0.0f, 0.05f})
        for (uint32_t id : tempered_draws(masked, 5.0f, 40, 0.95f, min_p))
            EXPECT_TRUE(id == 0 || id == 33 || id == 64 || id == 69) << id;
}

TEST(MaskedSampler, AMaskOfTheWrongSizeOrAllowingNothingIsAnErrorThatChangesNothing) {
    const std::vector<float> logits = {1.0f, 2.0f, 3.0f};
    std::vector<float> copy = logits;
    const std::vector<uint32_t> past_the_end = {0b1000};  // id 3 does not exist
    const std::vector<std::vector<uint32_t>> bad = {{}, {1, 1}, {0}, past_the_end};
    for (const auto& mask : bad) {
        const auto done = mask_logits(copy, mask);
        ASSERT_FALSE(done);
        EXPECT_NE(done.error().message().find("token mask"), std::string::npos);
        EXPECT_EQ(copy, logits);
    }
}

}  // namespace
