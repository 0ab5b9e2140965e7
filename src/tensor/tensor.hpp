// Tensor, DType, TensorError and ModelMetadata: the value types every subsystem shares.
// Depends on nothing but the standard library and error.hpp.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tensor/error.hpp"

namespace quillfen {

enum class DType : uint8_t { Float32 = 0, Float16 = 1, BFloat16 = 2, Int8 = 3, Int4 = 4 };

std::string_view dtype_name(DType dtype);  // "float32", "float16", ...
uint32_t dtype_bits(DType dtype);          // bits per element; Int4 packs two to a byte

// Prints as "[2, 3]": the list form used in messages.
std::string format_shape(const std::vector<uint64_t>& shape);

struct ShapeMismatch {
    std::vector<uint64_t> expected;
    std::vector<uint64_t> got;
};
struct InvalidDtype {
    std::string text;
};
struct BufferSizeMismatch {
    uint64_t expected;
    uint64_t got;
};

struct TensorError {
    std::variant<ShapeMismatch, InvalidDtype, BufferSizeMismatch> kind;

    std::string message() const;  // display form, e.g. "Buffer size mismatch: expected 8 bytes, got 6"
    std::string debug() const;    // e.g. BufferSizeMismatch { expected: 8, got: 6 }
    Error to_error() const { return Error(message()); }
};

// (element count * bits + 7) / 8; nullopt when a dimension product overflows 64 bits.
std::optional<uint64_t> tensor_byte_size(const std::vector<uint64_t>& shape, DType dtype);

// Asks for transparent huge pages behind the whole 2 MiB pages of [p, p + bytes), before the first
// write: large weights streamed at full memory bandwidth then miss the TLB far less, and take far
// fewer page faults when first written. A hint: failure changes nothing.
void advise_huge_pages(void* p, uint64_t bytes);

// `n` value-initialised elements, their storage advised into huge pages before it is written.
template <class T>
std::vector<T> huge_page_vector(uint64_t n) {
    std::vector<T> v;
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.resize(n);
    return v;
}

struct Tensor {
    std::vector<uint8_t> data;        // raw little-endian element bytes, densely packed
    std::vector<uint64_t> shape;      // empty: a scalar
    std::optional<std::string> label;
    DType dtype = DType::Float32;

    // Zero bytes of the tensor byte size. Callers bound sizes that come from files first;
    // a size that overflows 64 bits is a broken invariant.
    static Tensor zeros(std::vector<uint64_t> shape, DType dtype);
    static std::expected<Tensor, TensorError> from_bytes(std::vector<uint8_t> data, std::vector<uint64_t> shape,
                                                         DType dtype);
};

struct MoeMetadata {
    uint64_t num_experts = 0;  // never 0: a model without experts has no MoeMetadata
    uint64_t num_active_experts = 0;
    uint64_t num_layers = 0;
    uint64_t hidden_size = 0;
    uint64_t expert_intermediate_size = 0;

    bool operator==(const MoeMetadata&) const = default;
};

struct ModelMetadata {
    std::string architecture = "unknown";
    std::string format_name;
    uint64_t num_layers = 0;
    uint64_t hidden_size = 0;
    uint64_t num_attention_heads = 0;
    uint64_t num_kv_heads = 0;
    uint64_t vocab_size = 0;
    uint64_t context_length = 0;
    uint64_t file_size = 0;
    DType dtype = DType::Float16;
    std::optional<MoeMetadata> moe;

    bool operator==(const ModelMetadata&) const = default;

    // ModelMetadata(arch='llama', layers=32, hidden=4096, format='GGUF'[, moe=2/8 experts])
    std::string repr() const;
};

}  // namespace quillfen
