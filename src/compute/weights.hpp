// Weight matrices held in their stored form (quantised blocks, F16 or F32), repacked so that sixteen
// rows advance together: at column j a kernel decodes the j-th weight of each of the sixteen rows into
// one vector, exactly the float the full dequantisation gives, and adds its product with x[j] into
// that row's own running sum. Each row's sum is still one ascending-order float sum from -0.0, so the
// products equal the plain float32 row-by-row product bit for bit.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "compute/packed_format.hpp"

namespace quillfen {

// Rows that advance together in a packed matrix (one AVX-512 vector, two AVX2 vectors).
inline constexpr uint64_t kPackRows = 16;

// Bytes of one block column of a sixteen-row group, and the elements (columns) that block covers.
struct PackedBlockShape {
    uint32_t elems;
    uint32_t bytes;
};
PackedBlockShape packed_block_shape(PackedFormat format);

// The storage behind a WeightMatrix. For the packed formats rows [0, rows) of `cols` columns are
// interleaved in groups of sixteen (the last group padded with zero rows): group g holds, block
// column after block column, the fields of its sixteen rows side by side; each format's block column
// is laid out in packed_formats.hpp. Elements past rows * cols (a tensor longer than its rows) are
// kept decoded in `tail`.
// Frees what `new (std::align_val_t{kPackAlign})` allocated.
inline constexpr size_t kPackAlign = 64;  // a cache line: whole-vector loads of a group never straddle two
struct AlignedDelete {
    void operator()(uint8_t* p) const;
};

struct PackedStorage {
    PackedFormat format = PackedFormat::Zeros;
    uint64_t size = 0;  // decoded elements
    uint64_t cols = 0;  // row width the groups were packed for (packed formats)
    uint64_t rows = 0;  // rows packed: size / cols
    uint64_t group_bytes = 0;
    std::vector<float> tail;  // Flat: every value; packed formats: elements past rows * cols
    std::unique_ptr<uint8_t[], AlignedDelete> bytes;

    uint64_t groups() const { return (rows + kPackRows - 1) / kPackRows; }
    const uint8_t* group(uint64_t g) const { return bytes.get() + g * group_bytes; }
};

class WeightMatrix {
public:
    WeightMatrix() = default;
    // Hand-built float32 weights, row width not fixed: products walk them as plain rows.
    WeightMatrix(std::vector<float> values);  // NOLINT: implicit, so float vectors stand in for weights

    // `n` zeros, without storage.
    static WeightMatrix zeros(uint64_t n);
    // Float32 values packed for rows of `cols` columns.
    static WeightMatrix pack_floats(std::span<const float> values, uint64_t cols);
    // A GGUF tensor's stored bytes (type `dtype`, `n_elements` elements, the bytes as `dequantize_gguf`
    // would be given them) packed for rows of `cols` columns. Block types whose rows do not start on
    // block boundaries are decoded and packed as float32; codes that decode to zeros keep no storage;
    // fewer than sixteen rows stay plain floats.
    static WeightMatrix pack_gguf(std::span<const uint8_t> bytes, uint32_t dtype, uint64_t n_elements, uint64_t cols);

    // Bytes that `pack_floats` of `n` values, or `pack_gguf` of a tensor with `byte_len` stored bytes,
    // allocates at its peak (what it keeps plus the float32 values it decodes on the way), saturating
    // at 2^64 - 1. Loading checks the sum of these against its memory bound before packing anything.
    static uint64_t pack_floats_bytes(uint64_t n, uint64_t cols);
    static uint64_t pack_gguf_bytes(uint32_t dtype, uint64_t n_elements, uint64_t byte_len, uint64_t cols);

    uint64_t size() const { return storage_ ? storage_->size : 0; }
    bool empty() const { return size() == 0; }
    PackedFormat format() const { return storage_ ? storage_->format : PackedFormat::Zeros; }
    // Identifies the storage: two matrices sharing it report the same address.
    const void* data() const { return storage_.get(); }
    const PackedStorage* storage() const { return storage_.get(); }

    // Elements [begin, begin + out.size()) of the flat row-major values, decoded; the range must lie
    // inside size().
    void decode(uint64_t begin, std::span<float> out) const;
    std::vector<float> to_floats() const;

    friend bool operator==(const WeightMatrix& a, const std::vector<float>& b) { return a.to_floats() == b; }

private:
    explicit WeightMatrix(std::shared_ptr<const PackedStorage> s) : storage_(std::move(s)) {}
    std::shared_ptr<const PackedStorage> storage_;
};

}  // namespace quillfen
