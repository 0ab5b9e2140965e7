#include "inference/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "inference/model.hpp"
#include "tensor/error.hpp"

namespace quillfen {

namespace {

using Ranked = std::pair<uint64_t, float>;  // (index, value)

// Greater value first; a NaN has no place in the order, so meeting one is a fault.
bool ranks_before(const Ranked& a, const Ranked& b) {
    if (std::isnan(a.second) || std::isnan(b.second)) fault("NaN met while ranking token scores");
    return a.second > b.second;
}

// Indices by descending value, equal values in ascending index order.
std::vector<Ranked> rank(const std::vector<float>& values) {
    std::vector<Ranked> ranked(values.size());
    for (uint64_t i = 0; i < values.size(); ++i) ranked[i] = {i, values[i]};
    std::stable_sort(ranked.begin(), ranked.end(), ranks_before);
    return ranked;
}

// The last index among equal maxima.
uint32_t arg_max(const std::vector<float>& prob) {
    uint64_t best = 0;
    for (uint64_t i = 1; i < prob.size(); ++i) {
        if (std::isnan(prob[best]) || std::isnan(prob[i])) fault("NaN met while choosing the most probable token");
        if (prob[best] <= prob[i]) best = i;
    }
    return uint32_t(best);
}

// f(begin, end) over [0, n): on the caller's arena for a vocabulary-sized n. Only for element-wise
// work, whose result does not depend on the split.
template <class F>
void element_wise(uint64_t n, F&& f) {
    constexpr uint64_t kChunk = 8192;
    if (n < 2 * kChunk) return f(uint64_t{0}, n);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, kChunk),
                      [&](const tbb::blocked_range<uint64_t>& r) { f(r.begin(), r.end()); });
}

void normalise(std::vector<float>& prob) {
    float sum = -0.0f;
    for (float p : prob) sum += p;
    if (sum > 0.0f)
        element_wise(prob.size(), [&](uint64_t b, uint64_t e) {
            for (uint64_t i = b; i < e; ++i) prob[i] = prob[i] / sum;
        });
}

// Greedy choice without filters, read off the logits when that is sure to agree with arg_max over the
// probabilities: no NaN, a finite maximum m, and no other logit within kNearMax of it. Then every
// index holding m has the greatest probability, 1 / sum, and every other one at most
// exp(-kNearMax) / sum, far enough below (about 1e-4 relative, against half a unit in the last
// place for the division) that no rounding makes it equal. The last index holding m is the choice.
// Anything else (a near tie, a NaN, an infinity) is left to the full computation.
constexpr float kNearMax = 1e-4f;

std::optional<uint32_t> plain_arg_max(const std::vector<float>& logits) {
    // Eight running maxima, so the comparisons do not wait on one another; a NaN is only noted.
    constexpr uint64_t kWays = 8;
    const uint64_t n = logits.size();
    float ways[kWays];
    std::fill_n(ways, kWays, -std::numeric_limits<float>::infinity());
    bool nan = false;
    uint64_t i = 0;
    for (; i + kWays <= n; i += kWays)
        for (uint64_t k = 0; k < kWays; ++k) {
            const float l = logits[i + k];
            nan |= l != l;
            ways[k] = l > ways[k] ? l : ways[k];
        }
    for (; i < n; ++i) {
        nan |= logits[i] != logits[i];
        ways[0] = logits[i] > ways[0] ? logits[i] : ways[0];
    }
    const float m = *std::max_element(ways, ways + kWays);
    if (nan || !std::isfinite(m)) return std::nullopt;
    uint64_t last = 0;
    bool near = false;
    for (i = 0; i < n; ++i) {
        last = logits[i] == m ? i : last;
        near |= logits[i] != m && m - logits[i] <= kNearMax;
    }
    if (near) return std::nullopt;
    return uint32_t(last);
}

// Top-k: everything strictly below the k-th largest goes; ties with it stay.
void keep_top_k(std::vector<float>& logits, uint64_t top_k) {
    if (top_k == 0 || top_k >= logits.size()) return;
    // Only the k-th largest value matters, not the order of the rest: a partial selection instead of
    // ranking the whole vocabulary (ties are equal values, so either way yields the same threshold).
    for (float l : logits)
        if (std::isnan(l)) fault("NaN met while ranking token scores");
    std::vector<float> sorted = logits;
    std::nth_element(sorted.begin(), sorted.begin() + int64_t(top_k - 1), sorted.end(), std::greater<float>());
    const float threshold = sorted[top_k - 1];
    for (float& l : logits)
        if (l < threshold) l = -std::numeric_limits<float>::infinity();
}

// `rank_first`: top-k looks at the logits before the temperature divides them.
uint32_t sample_with(std::vector<float> logits, float temperature, uint64_t top_k, float top_p, uint64_t seed,
                     float min_p, bool rank_first) {
    const uint64_t n = logits.size();
    const bool unfiltered = (top_k == 0 || top_k >= n) && !(top_p < 1.0f) && !(min_p > 0.0f);
    if (temperature <= 0.0f && unfiltered)
        if (const auto choice = plain_arg_max(logits)) return *choice;

    if (rank_first) keep_top_k(logits, top_k);
    if (temperature > 0.0f)
        for (float& l : logits) l = l / temperature;
    if (!rank_first) keep_top_k(logits, top_k);

    float m = -std::numeric_limits<float>::infinity();
    for (float l : logits) m = std::fmax(m, l);  // fmax ignores a NaN operand
    std::vector<float> prob(n);
    element_wise(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) prob[i] = std::exp(logits[i] - m);
    });
    normalise(prob);

    // Top-p: the smallest prefix of the ranking whose mass passes top_p (NaN top_p: no filter).
    if (top_p < 1.0f) {
        const std::vector<Ranked> ranked = rank(prob);
        float cum = 0.0f;
        uint64_t count = n;
        for (uint64_t j = 0; j < n; ++j) {
            cum += ranked[j].second;
            if (cum > top_p) {
                count = j + 1;
                break;
            }
        }
        std::vector<char> kept(n, 0);
        for (uint64_t j = 0; j < count; ++j) kept[ranked[j].first] = 1;
        for (uint64_t i = 0; i < n; ++i)
            if (!kept[i]) prob[i] = 0.0f;
        normalise(prob);
    }

    if (min_p > 0.0f) {
        float best = 0.0f;
        for (float p : prob) best = std::fmax(best, p);
        const float floor = min_p * best;
        for (float& p : prob)
            if (p < floor) p = 0.0f;
        normalise(prob);
    }

    if (temperature <= 0.0f) return arg_max(prob);

    const uint64_t u = seed * kLcgMultiplier + kSampleIncrement;
    const float r = float(u) * 0x1p-64f;  // in [0, 1]; exactly 1 when u rounds up to 2^64
    float cum = 0.0f;
    for (uint64_t i = 0; i < n; ++i) {
        cum += prob[i];
        if (r < cum) return uint32_t(i);
    }
    return arg_max(prob);  // rounding left the walk short of r, or nothing was drawable
}

// The limit of an infinite temperature: every token the filters keep is equally likely. Top-k and top-p
// keep what they keep at any finite temperature near it, ranking by the logits (a token of logit -inf
// stays out); min-p keeps all of equals.
uint32_t sample_uniform(const std::vector<float>& logits, uint64_t top_k, float top_p, uint64_t seed) {
    const uint64_t n = logits.size();
    if (n <= 1) return 0;
    const std::vector<Ranked> ranked = rank(logits);
    uint64_t kept = n;
    if (top_k != 0 && top_k < n) {
        kept = top_k;
        while (kept < n && ranked[kept].second == ranked[top_k - 1].second) ++kept;
    }
    while (kept > 1 && ranked[kept - 1].second == -std::numeric_limits<float>::infinity()) --kept;
    if (top_p < 1.0f) {
        const float p = 1.0f / float(kept);
        float cum = 0.0f;
        for (uint64_t j = 0; j < kept; ++j) {
            cum += p;
            if (cum > top_p) {
                kept = j + 1;
                break;
            }
        }
    }
    std::vector<float> flat(n, -std::numeric_limits<float>::infinity());
    for (uint64_t j = 0; j < kept; ++j) flat[ranked[j].first] = 0.0f;
    return sample_with(std::move(flat), 1.0f, 0, 1.0f, seed, 0.0f, false);
}

}  // namespace

Result<void> mask_logits(std::vector<float>& logits, std::span<const uint32_t> allowed) {
    const uint64_t n = logits.size();
    if (allowed.size() != mask_words(n))
        return fail("the token mask has " + std::to_string(allowed.size()) + " 32-bit words; a vocabulary of " +
                    std::to_string(n) + " tokens needs " + std::to_string(mask_words(n)));
    // Bits past the last id name no token.
    const uint32_t tail = n % 32 ? (uint32_t{1} << (n % 32)) - 1 : ~uint32_t{0};
    bool any = false;
    for (uint64_t w = 0; w < allowed.size(); ++w) any |= (allowed[w] & (w + 1 == allowed.size() ? tail : ~0u)) != 0;
    if (!any) return fail("the token mask allows no token: the grammar has no way to go on");
    constexpr float kOut = -std::numeric_limits<float>::infinity();
    element_wise(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i)
            if (!(allowed[i / 32] >> (i % 32) & 1u)) logits[i] = kOut;
    });
    return {};
}

uint32_t sample(std::vector<float> logits, float temperature, uint64_t top_k, float top_p, uint64_t seed,
                float min_p) {
    return sample_with(std::move(logits), temperature, top_k, top_p, seed, min_p, false);
}

uint32_t sample_tempered(std::vector<float> logits, float temperature, uint64_t top_k, float top_p, uint64_t seed,
                         float min_p) {
    if (temperature > 0.0f) {
        if (std::isinf(temperature)) return sample_uniform(logits, top_k, top_p, seed);
        float largest = 0.0f;
        for (float l : logits)
            if (std::isfinite(l)) largest = std::fmax(largest, std::fabs(l));
        // Every filter keeps the most probable token, so the limit needs none of them.
        if (std::isinf(largest / temperature)) return sample_with(std::move(logits), 0.0f, 0, 1.0f, seed, 0.0f, false);
    }
    return sample_with(std::move(logits), temperature, top_k, top_p, seed, min_p, true);
}

}  // namespace quillfen
