#include "tensor/tensor.hpp"

#include <sys/mman.h>

namespace quillfen {

namespace {
constexpr std::string_view kDTypeNames[] = {"float32", "float16", "bfloat16", "int8", "int4"};
constexpr uint32_t kDTypeBits[] = {32, 16, 16, 8, 4};
}  // namespace

void advise_huge_pages(void* p, uint64_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t last = (begin + bytes) & ~(kHuge - 1);
    if (p && last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

std::string_view dtype_name(DType dtype) { return kDTypeNames[static_cast<uint8_t>(dtype)]; }
uint32_t dtype_bits(DType dtype) { return kDTypeBits[static_cast<uint8_t>(dtype)]; }

std::string format_shape(const std::vector<uint64_t>& shape) {
    std::string out = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + "]";
}

std::string TensorError::message() const {
    if (auto* e = std::get_if<ShapeMismatch>(&kind))
        return "Shape mismatch: expected " + format_shape(e->expected) + ", got " + format_shape(e->got);
    if (auto* e = std::get_if<InvalidDtype>(&kind)) return "Invalid dtype for operation: " + e->text;
    const auto& e = std::get<BufferSizeMismatch>(kind);
    return "Buffer size mismatch: expected " + std::to_string(e.expected) + " bytes, got " + std::to_string(e.got);
}

std::string TensorError::debug() const {
    if (auto* e = std::get_if<ShapeMismatch>(&kind))
        return "ShapeMismatch { expected: " + format_shape(e->expected) + ", got: " + format_shape(e->got) + " }";
    if (auto* e = std::get_if<InvalidDtype>(&kind)) return "InvalidDtype(\"" + e->text + "\")";
    const auto& e = std::get<BufferSizeMismatch>(kind);
    return "BufferSizeMismatch { expected: " + std::to_string(e.expected) + ", got: " + std::to_string(e.got) + " }";
}

std::optional<uint64_t> tensor_byte_size(const std::vector<uint64_t>& shape, DType dtype) {
    uint64_t elems = 1;
    for (uint64_t d : shape)
        if (d == 0) return 0;  // an empty dimension empties the tensor, however large the others are
    for (uint64_t d : shape)
        if (mul_overflows(elems, d, &elems)) return std::nullopt;
    uint64_t bits;
    if (mul_overflows(elems, dtype_bits(dtype), &bits)) return std::nullopt;
    return bits / 8 + (bits % 8 != 0);  // (bits + 7) / 8 without the addition that could wrap
}

Tensor Tensor::zeros(std::vector<uint64_t> shape, DType dtype) {
    auto bytes = tensor_byte_size(shape, dtype);
    if (!bytes) fault("tensor of shape " + format_shape(shape) + " has more bytes than 64 bits can count");
    Tensor t;
    t.data.assign(*bytes, 0);
    t.shape = std::move(shape);
    t.dtype = dtype;
    return t;
}

std::expected<Tensor, TensorError> Tensor::from_bytes(std::vector<uint8_t> data, std::vector<uint64_t> shape,
                                                      DType dtype) {
    auto expected = tensor_byte_size(shape, dtype);
    if (!expected || *expected != data.size())
        return std::unexpected(TensorError{BufferSizeMismatch{expected.value_or(UINT64_MAX), data.size()}});
    Tensor t;
    t.data = std::move(data);
    t.shape = std::move(shape);
    t.dtype = dtype;
    return t;
}

std::string ModelMetadata::repr() const {
    std::string out = "ModelMetadata(arch='" + architecture + "', layers=" + std::to_string(num_layers) +
                      ", hidden=" + std::to_string(hidden_size) + ", format='" + format_name + "'";
    if (moe)
        out += ", moe=" + std::to_string(moe->num_active_experts) + "/" + std::to_string(moe->num_experts) +
               " experts";
    return out + ")";
}

}  // namespace quillfen
