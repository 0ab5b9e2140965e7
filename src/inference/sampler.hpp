// Turns one step's logits into a token id: temperature, top-k, softmax, top-p, min-p, then greedy or one draw
// from a 64-bit linear congruential generator. Stateless: the caller owns the generator state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tensor/error.hpp"

namespace quillfen {

inline constexpr uint64_t kSampleIncrement = 1442695040888963407ull;

// `seed` is the session's generator state after the step advanced it. temperature <= 0 means greedy;
// top_k 0 or >= the vocabulary, top_p >= 1 and min_p <= 0 turn those filters off; min_p drops every
// token less probable than min_p times the most probable one. Throws InternalFault when a sort or the
// arg-max meets a NaN.
uint32_t sample(std::vector<float> logits, float temperature, uint64_t top_k, float top_p, uint64_t seed,
                float min_p = 0.0f);

// `sample` for a temperature the user chooses freely, with its limits taken where `sample` meets
// infinity minus infinity or loses the ranking: a temperature so small that some logit divided by it
// overflows picks the arg-max, as the temperature's limit towards 0 does; an infinite one draws
// uniformly among the tokens the filters keep. Top-k ranks the logits before the temperature divides
// them, so a division that rounds neighbours together lets no token below the k-th through: top_k = 1
// is the arg-max at every temperature.
uint32_t sample_tempered(std::vector<float> logits, float temperature, uint64_t top_k, float top_p, uint64_t seed,
                         float min_p);

// Words of a token mask over `vocab` ids: one bit per id, id i at bit i % 32 of word i / 32, the layout
// grammar matchers (llguidance, xgrammar) write, so their masks are read as they are.
inline constexpr uint64_t mask_words(uint64_t vocab) { return (vocab + 31) / 32; }

// Keeps the logits of the ids `allowed` sets, bit for bit, and makes every other one -inf: any sampler
// above then draws among the allowed ids with its usual rules (greedy is the arg-max over them, top-k
// counts them only). An error, with the logits untouched, when the mask is not mask_words(logits.size())
// words or allows none of the ids.
Result<void> mask_logits(std::vector<float>& logits, std::span<const uint32_t> allowed);

}  // namespace quillfen
