#include "compute/weights.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/gguf_types.hpp"
#include "compute/packed_formats.hpp"
#include "inference/dequant.hpp"
#include "tensor/error.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

namespace {

// Zeroed, so padding rows decode as zeros; in huge pages where large, since every decode step streams
// the packed weights from memory.
std::unique_ptr<uint8_t[], AlignedDelete> zeroed_bytes(uint64_t n) {
    std::unique_ptr<uint8_t[], AlignedDelete> bytes(new (std::align_val_t{kPackAlign}) uint8_t[n]);
    advise_huge_pages(bytes.get(), n);
    std::memset(bytes.get(), 0, n);
    return bytes;
}

std::shared_ptr<PackedStorage> new_packed(PackedFormat f, uint64_t size, uint64_t cols) {
    auto s = std::make_shared<PackedStorage>();
    const PackedBlockShape shape = packed_block_shape(f);
    s->format = f;
    s->size = size;
    s->cols = cols;
    s->rows = size / cols;
    s->group_bytes = cols / shape.elems * shape.bytes;
    s->bytes = zeroed_bytes(s->groups() * s->group_bytes);
    return s;
}

}  // namespace

void AlignedDelete::operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{kPackAlign}); }

PackedBlockShape packed_block_shape(PackedFormat format) {
    return packed::with_packed_row(
        format, []<class Row>() { return PackedBlockShape{Row::kElems, Row::kBytes}; },
        [] { return PackedBlockShape{1, 0}; });
}

WeightMatrix::WeightMatrix(std::vector<float> values) {
    auto s = std::make_shared<PackedStorage>();
    s->format = PackedFormat::Flat;
    s->size = values.size();
    s->tail = std::move(values);
    storage_ = std::move(s);
}

WeightMatrix WeightMatrix::zeros(uint64_t n) {
    auto s = std::make_shared<PackedStorage>();
    s->format = PackedFormat::Zeros;
    s->size = n;
    return WeightMatrix(std::move(s));
}

WeightMatrix WeightMatrix::pack_floats(std::span<const float> values, uint64_t cols) {
    // Fewer rows than a group would be mostly padding: such matrices stay plain floats, so packing
    // never takes more than twice what the float32 values (which the loader's budget counts) take.
    if (cols == 0 || values.size() / cols < kPackRows) return WeightMatrix(std::vector<float>(values.begin(), values.end()));
    auto s = new_packed(PackedFormat::F32, values.size(), cols);
    for (uint64_t r = 0; r < s->rows; ++r) {
        uint8_t* group = s->bytes.get() + (r / kPackRows) * s->group_bytes;
        const float* row = values.data() + r * cols;
        for (uint64_t j = 0; j < cols; ++j)
            packed::F32::scatter<BlockF32>(reinterpret_cast<const uint8_t*>(row + j), group + j * packed::F32::kBytes,
                                           r % kPackRows);
    }
    s->tail.assign(values.begin() + s->rows * cols, values.end());
    return WeightMatrix(std::move(s));
}

WeightMatrix WeightMatrix::pack_gguf(std::span<const uint8_t> bytes, uint32_t dtype, uint64_t n, uint64_t cols) {
    const GGUFTypeInfo& info = gguf_type_info(dtype);
    const PackedFormat f = info.packed;
    // Codes the dequantisation reads as all zeros (unassigned, Q8_K, past the table) need no storage.
    if (f == PackedFormat::Zeros) return zeros(n);
    const uint64_t E = info.block_elems, B = info.block_bytes;
    // Block rows must start on block boundaries to be packed as blocks; anything else goes as float32.
    if (f == PackedFormat::Flat || cols == 0 || (E > 1 && cols % E != 0) || n / cols < kPackRows) {
        const std::vector<float> values = dequantize_gguf(bytes, dtype, n);
        return pack_floats(values, cols);
    }
    // The decoded length: F32 and F16 are padded with zeros to n, block types stop at the last whole block.
    uint64_t size = n;
    if (E > 1) size = std::min<uint64_t>(n, bytes.size() / B * E);
    if (size / cols < kPackRows) return pack_floats(dequantize_gguf(bytes, dtype, n), cols);
    auto s = new_packed(f, size, cols);
    const uint64_t rows = s->rows;
    // Each stored block of each row into its lane of its block column. F32 and F16 values the bytes
    // cannot supply stay zero.
    const uint64_t blocks_per_row = cols / E, available = bytes.size() / B;
    with_gguf_block(dtype, [&]<class Block>() {
        packed::with_packed_row(
            f,
            [&]<class Row>() {
                if constexpr (Row::kFormat == Block::kPacked)
                    for (uint64_t r = 0; r < rows; ++r) {
                        uint8_t* group = s->bytes.get() + (r / kPackRows) * s->group_bytes;
                        for (uint64_t b = 0; b < blocks_per_row && r * blocks_per_row + b < available; ++b)
                            Row::template scatter<Block>(bytes.data() + (r * blocks_per_row + b) * B, group + b * Row::kBytes,
                                                         r % kPackRows);
                    }
                else
                    fault("not the packed format of its type");
            },
            [] { fault("not a packed format"); });
    });
    // The elements past the last whole row, decoded as the full dequantisation would.
    const uint64_t tail_begin = rows * cols;
    if (tail_begin < size) {
        const uint64_t first_byte = tail_begin / E * B;  // a block boundary: cols is a multiple of E
        const std::span<const uint8_t> rest =
            first_byte >= bytes.size() ? std::span<const uint8_t>() : bytes.subspan(first_byte);
        s->tail = dequantize_gguf(rest, dtype, n - tail_begin);
        s->tail.resize(size - tail_begin);
    }
    return WeightMatrix(std::move(s));
}

namespace {

// Kept bytes of `size` elements packed in `f` for rows of `cols` (at least sixteen rows), tail included.
uint64_t packed_bytes(PackedFormat f, uint64_t size, uint64_t cols) {
    const PackedBlockShape shape = packed_block_shape(f);
    const uint64_t rows = size / cols;
    const uint64_t groups = rows / kPackRows + (rows % kPackRows != 0);
    return saturating_add(saturating_mul(groups, cols / shape.elems * shape.bytes), saturating_mul(size - rows * cols, sizeof(float)));
}

}  // namespace

uint64_t WeightMatrix::pack_floats_bytes(uint64_t n, uint64_t cols) {
    if (cols == 0 || n / cols < kPackRows) return saturating_mul(n, sizeof(float));
    return packed_bytes(PackedFormat::F32, n, cols);
}

uint64_t WeightMatrix::pack_gguf_bytes(uint32_t dtype, uint64_t n, uint64_t byte_len, uint64_t cols) {
    // The same decisions as pack_gguf, in the same order.
    const GGUFTypeInfo& info = gguf_type_info(dtype);
    const PackedFormat f = info.packed;
    if (f == PackedFormat::Zeros) return 0;
    const uint64_t E = info.block_elems, B = info.block_bytes;
    const uint64_t as_floats = saturating_add(saturating_mul(n, sizeof(float)), pack_floats_bytes(n, cols));
    if (f == PackedFormat::Flat || cols == 0 || (E > 1 && cols % E != 0) || n / cols < kPackRows) return as_floats;
    uint64_t size = n;
    if (E > 1) size = std::min<uint64_t>(n, byte_len / B * E);
    if (size / cols < kPackRows) return as_floats;
    // The tail is decoded on the way: count it twice.
    const uint64_t tail = size - size / cols * cols;
    return saturating_add(packed_bytes(f, size, cols), saturating_mul(tail, sizeof(float)));
}

namespace {

// Column j of row r of a packed matrix, decoded on its own.
float lane_weight(const PackedStorage& s, uint64_t r, uint64_t j) {
    return packed::with_packed_row(
        s.format,
        [&]<class Row>() {
            const uint8_t* block = s.group(r / kPackRows) + (j / Row::kElems) * Row::kBytes;
            return Row::lane(block, j % Row::kElems, r % kPackRows);
        },
        []() -> float { fault("not a packed format"); });
}

}  // namespace

void WeightMatrix::decode(uint64_t begin, std::span<float> out) const {
    if (out.empty()) return;
    const PackedStorage& s = *storage_;
    switch (s.format) {
        case PackedFormat::Zeros: std::fill(out.begin(), out.end(), 0.0f); return;
        case PackedFormat::Flat: std::copy_n(s.tail.begin() + begin, out.size(), out.begin()); return;
        default: break;
    }
    uint64_t i = 0;
    const uint64_t packed = s.rows * s.cols;
    for (; i < out.size() && begin + i < packed; ++i) {
        const uint64_t e = begin + i, r = e / s.cols, j = e % s.cols;
        out[i] = lane_weight(s, r, j);
    }
    for (; i < out.size(); ++i) out[i] = s.tail[begin + i - packed];
}

std::vector<float> WeightMatrix::to_floats() const {
    std::vector<float> out(size());
    if (storage_) decode(0, out);
    return out;
}

}  // namespace quillfen
