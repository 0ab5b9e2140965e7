// Turns the stored bytes of a GGUF tensor into float32 values, by the published block layouts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quillfen {

// `n_elements` floats decoded from `bytes` holding tensor type `type_code`. Codes the runtime does not
// decode give zeros; a buffer too short for the whole tensor decodes what it holds (see dequant.cpp).
std::vector<float> dequantize_gguf(std::span<const uint8_t> bytes, uint32_t type_code, uint64_t n_elements);

}  // namespace quillfen
