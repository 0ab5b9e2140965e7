#include "inference/dequant.hpp"

#include <algorithm>

#include "formats/gguf_types.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

namespace {

// The largest block any type has: a cut last block is decoded aside.
constexpr uint32_t kMaxBlockElems = std::ranges::max(kGGUFTypes, {}, &GGUFTypeInfo::block_elems).block_elems;

// `n` zeros, in huge pages where large: model weights fill hundreds of megabytes written once.
std::vector<float> zeroed_floats(uint64_t n) { return huge_page_vector<float>(n); }

}  // namespace

std::vector<float> dequantize_gguf(std::span<const uint8_t> bytes, uint32_t type_code, uint64_t n) {
    const GGUFTypeInfo& info = gguf_type_info(type_code);
    if (!info.decode) return zeroed_floats(n);
    const uint64_t E = info.block_elems, B = info.block_bytes;
    const uint64_t needed = n / E + (n % E != 0);
    const uint64_t blocks = std::min<uint64_t>(needed, bytes.size() / B);
    // Single values (F32, F16) are padded with zeros to n; block types stop at the last whole block.
    const uint64_t out_len = E == 1 ? n : std::min<uint64_t>(n, blocks * E);
    std::vector<float> out = zeroed_floats(out_len);
    const uint64_t whole = std::min<uint64_t>(blocks, out_len / E);  // blocks whose every element is kept
    if (whole > 0) info.decode(bytes.data(), whole, out.data());
    if (whole < blocks) {  // the last block runs past n: decode it aside and keep its head
        float tail[kMaxBlockElems];
        info.decode(bytes.data() + whole * B, 1, tail);
        std::copy_n(tail, out_len - whole * E, out.data() + whole * E);
    }
    return out;
}

}  // namespace quillfen
