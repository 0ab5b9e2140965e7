#include "inference/weights.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/gguf_types.hpp"
#include "inference/dequant.hpp"
#include "inference/packed_lanes.hpp"
#include "tensor/error.hpp"

namespace quillfen {

namespace {

// GGUF tensor type codes.
constexpr uint32_t kF32 = 0, kF16 = 1, kQ4_0 = 2, kQ4_1 = 3, kQ5_0 = 6, kQ5_1 = 7, kQ8_0 = 8, kQ8_1 = 9;
constexpr uint32_t kQ2_K = 10, kQ3_K = 11, kQ4_K = 12, kQ5_K = 13, kQ6_K = 14;

// Zeroed, so padding rows decode as zeros.
std::unique_ptr<uint8_t[], AlignedDelete> zeroed_bytes(uint64_t n) {
    return std::unique_ptr<uint8_t[], AlignedDelete>(new (std::align_val_t{kPackAlign}) uint8_t[n]());
}

// The `n` four-bit values of a block, value k given by `q(k)`, as the words of lane r: element 8c + i
// at bits 4i of word c.
template <class Q>
void scatter_nibbles(int n, Q q, uint8_t* dst, uint64_t r) {
    for (int c = 0; c < n / 8; ++c) {
        uint32_t word = 0;
        for (int i = 0; i < 8; ++i) word |= uint32_t(q(8 * c + i)) << (4 * i);
        std::memcpy(dst + 64 * c + 4 * r, &word, 4);
    }
}

// 32-element blocks: element k is the low nibble of qs[k] for k < 16, the high nibble of qs[k - 16] after.
void scatter_nibbles32(const uint8_t* qs, uint8_t* dst, uint64_t r) {
    scatter_nibbles(32, [qs](int k) { return k < 16 ? (qs[k] & 15) : (qs[k - 16] >> 4); }, dst, r);
}

// Q5_0 and Q5_1: the 5-bit value of element k from the fields that start at `qh` (the u32 of fifth
// bits, then 16 bytes of nibbles): the nibble as for 4-bit blocks, bit k of qh above it.
int five_bit(const uint8_t* qh_then_qs, int k) {
    uint32_t qh;
    std::memcpy(&qh, qh_then_qs, 4);
    const uint8_t* qs = qh_then_qs + 4;
    const int nibble = k < 16 ? (qs[k] & 15) : (qs[k - 16] >> 4);
    return nibble | int(((qh >> k) & 1) << 4);
}

// Q4_K: the eight 6-bit scales and minimums packed into 12 bytes, as the dequantisation unpacks them.
void unpack_q4_k_scales(const uint8_t* s, uint8_t sc[8], uint8_t mn[8]) {
    for (int j = 0; j < 4; ++j) {
        sc[j] = s[j] & 63;
        mn[j] = s[j + 4] & 63;
    }
    for (int j = 4; j < 8; ++j) {
        sc[j] = static_cast<uint8_t>((s[j + 4] & 15) | ((s[j - 4] >> 6) << 4));
        mn[j] = static_cast<uint8_t>((s[j + 4] >> 4) | ((s[j] >> 6) << 4));
    }
}

// Scatters one source block (GGUF layout) of row lane `r` into its block column of a group.
void scatter_block(PackedFormat f, uint32_t dtype, const uint8_t* src, uint8_t* dst, uint64_t r) {
    switch (f) {
        case PackedFormat::Q4_0:
            std::memcpy(dst + 2 * r, src, 2);
            scatter_nibbles32(src + 2, dst + 32, r);
            break;
        case PackedFormat::Q4_1:
            std::memcpy(dst + 2 * r, src, 2);
            std::memcpy(dst + 32 + 2 * r, src + 2, 2);
            scatter_nibbles32(src + 4, dst + 64, r);
            break;
        case PackedFormat::Q8_0: {
            std::memcpy(dst + 2 * r, src, 2);
            if (dtype == kQ5_0) {
                for (int k = 0; k < 32; ++k) dst[32 + 16 * k + r] = static_cast<uint8_t>(five_bit(src + 2, k) - 16);
                break;
            }
            // Q8_1 decodes as Q8_0 once past its second half (a sum only dot products use).
            const uint8_t* qs = src + (dtype == kQ8_1 ? 4 : 2);
            for (int k = 0; k < 32; ++k) dst[32 + 16 * k + r] = qs[k];
            break;
        }
        case PackedFormat::Q5_1:
            std::memcpy(dst + 2 * r, src, 2);
            std::memcpy(dst + 32 + 2 * r, src + 2, 2);
            for (int k = 0; k < 32; ++k) dst[64 + 16 * k + r] = static_cast<uint8_t>(five_bit(src + 4, k));
            break;
        case PackedFormat::Q4_K: {
            std::memcpy(dst + 2 * r, src, 2);
            std::memcpy(dst + 32 + 2 * r, src + 2, 2);
            uint8_t sc[8], mn[8];
            unpack_q4_k_scales(src + 4, sc, mn);
            for (int g = 0; g < 8; ++g) {
                dst[64 + 16 * g + r] = sc[g];
                dst[192 + 16 * g + r] = mn[g];
            }
            // Element k: sub-block g = k / 32 takes the low nibbles of qs[(g / 2) * 32 ..] when g is
            // even, the high ones when odd.
            const uint8_t* qs = src + 16;
            scatter_nibbles(256, [qs](int k) { return (qs[(k / 64) * 32 + k % 32] >> ((k / 32) % 2 * 4)) & 15; },
                            dst + 320, r);
            break;
        }
        case PackedFormat::Q2_K: {
            std::memcpy(dst + 2 * r, src + 80, 2);
            std::memcpy(dst + 32 + 2 * r, src + 82, 2);
            const uint8_t* qs = src + 16;
            for (int g = 0; g < 16; ++g) {
                dst[64 + 16 * g + r] = src[g] & 15;
                dst[320 + 16 * g + r] = src[g] >> 4;
                const uint8_t* q = qs + (g / 8) * 32 + (g % 2) * 16;
                const int shift = 2 * ((g % 8) / 2);
                for (int l = 0; l < 16; ++l) dst[576 + 16 * (g * 16 + l) + r] = (q[l] >> shift) & 3;
            }
            break;
        }
        case PackedFormat::Q5_K: {
            std::memcpy(dst + 2 * r, src, 2);
            std::memcpy(dst + 32 + 2 * r, src + 2, 2);
            uint8_t sc[8], mn[8];
            unpack_q4_k_scales(src + 4, sc, mn);
            const uint8_t* qh = src + 16;
            const uint8_t* qs = src + 48;
            for (int g = 0; g < 8; ++g) {
                dst[64 + 16 * g + r] = sc[g];
                dst[192 + 16 * g + r] = mn[g];
                const uint8_t* q = qs + (g / 2) * 32;
                const int shift = (g % 2) * 4;
                for (int l = 0; l < 32; ++l)
                    dst[320 + 16 * (g * 32 + l) + r] =
                        static_cast<uint8_t>(((q[l] >> shift) & 15) | (((qh[l] >> g) & 1) << 4));
            }
            break;
        }
        case PackedFormat::Q6_K: {
            if (dtype == kQ3_K) {
                // Sixteen signed 6-bit scales; element values q2 - 4, or q2 where the hmask bit is set.
                const uint8_t* hmask = src;
                const uint8_t* qs = src + 32;
                const uint8_t* s = src + 96;
                std::memcpy(dst + 2 * r, src + 108, 2);
                for (int g = 0; g < 16; ++g) {
                    const int low4 = g < 8 ? (s[g] & 15) : (s[g - 8] >> 4);
                    const int high2 = (s[8 + g % 4] >> (2 * (g / 4))) & 3;
                    dst[32 + 16 * g + r] = static_cast<uint8_t>(static_cast<int8_t>((low4 | (high2 << 4)) - 32));
                    const int half = g / 8, j = (g % 8) / 2, sub = g % 2;
                    const uint8_t* q = qs + half * 32 + sub * 16;
                    const uint8_t* h = hmask + sub * 16;
                    const int hbit = half * 4 + j;
                    for (int l = 0; l < 16; ++l) {
                        const int value = ((q[l] >> (2 * j)) & 3) - (((h[l] >> hbit) & 1) ? 0 : 4);
                        const int i = g * 16 + l;
                        dst[288 + 64 * (i / 4) + 4 * r + i % 4] = static_cast<uint8_t>(static_cast<int8_t>(value));
                    }
                }
                break;
            }
            std::memcpy(dst + 2 * r, src + 208, 2);
            for (int g = 0; g < 16; ++g) dst[32 + 16 * g + r] = src[192 + g];
            const uint8_t* ql = src;
            const uint8_t* qh = src + 128;
            for (int i = 0; i < 256; ++i) {
                const int h = i / 128, k = (i % 128) / 32, l = i % 32;
                const int b = ql[h * 64 + (k % 2) * 32 + l];
                const int nib = k < 2 ? (b & 15) : (b >> 4);
                const int q = (nib | (((qh[h * 32 + l] >> (2 * k)) & 3) << 4)) - 32;
                dst[288 + 64 * (i / 4) + 4 * r + i % 4] = static_cast<uint8_t>(static_cast<int8_t>(q));
            }
            break;
        }
        default: fault("not a block format");
    }
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
    switch (format) {
        case PackedFormat::F32: return {1, 64};
        case PackedFormat::F16: return {1, 32};
        case PackedFormat::Q4_0: return {32, 288};
        case PackedFormat::Q4_1: return {32, 320};
        case PackedFormat::Q8_0: return {32, 544};
        case PackedFormat::Q5_1: return {32, 576};
        case PackedFormat::Q2_K: return {256, 4672};
        case PackedFormat::Q4_K: return {256, 2368};
        case PackedFormat::Q5_K: return {256, 4416};
        case PackedFormat::Q6_K: return {256, 4384};
        default: return {1, 0};
    }
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
        float* lane = reinterpret_cast<float*>(s->bytes.get() + (r / kPackRows) * s->group_bytes) + r % kPackRows;
        const float* row = values.data() + r * cols;
        for (uint64_t j = 0; j < cols; ++j) lane[j * kPackRows] = row[j];
    }
    s->tail.assign(values.begin() + s->rows * cols, values.end());
    return WeightMatrix(std::move(s));
}

namespace {

// The form a GGUF type's blocks are kept in; Flat for types kept as float32.
PackedFormat packed_format_of(uint32_t dtype) {
    switch (dtype) {
        case kF32: return PackedFormat::F32;
        case kF16: return PackedFormat::F16;
        case kQ4_0: return PackedFormat::Q4_0;
        case kQ4_1: return PackedFormat::Q4_1;
        case kQ8_0: case kQ8_1: case kQ5_0: return PackedFormat::Q8_0;
        case kQ5_1: return PackedFormat::Q5_1;
        case kQ4_K: return PackedFormat::Q4_K;
        case kQ6_K: case kQ3_K: return PackedFormat::Q6_K;
        case kQ2_K: return PackedFormat::Q2_K;
        case kQ5_K: return PackedFormat::Q5_K;
        default: return PackedFormat::Flat;
    }
}

}  // namespace

WeightMatrix WeightMatrix::pack_gguf(std::span<const uint8_t> bytes, uint32_t dtype, uint64_t n, uint64_t cols) {
    const PackedFormat f = packed_format_of(dtype);
    // Codes the dequantisation reads as all zeros (unassigned, Q8_K, past the table) need no storage.
    if (dtype == 4 || dtype == 5 || dtype >= 15) return zeros(n);
    const GGUFTypeInfo& info = gguf_type_info(dtype);
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
    if (f == PackedFormat::F32 || f == PackedFormat::F16) {
        const uint64_t w = f == PackedFormat::F32 ? 4 : 2;
        const uint64_t available = bytes.size() / w;  // values past these decode as zeros: left zero
        for (uint64_t r = 0; r < rows; ++r) {
            uint8_t* lane = s->bytes.get() + (r / kPackRows) * s->group_bytes + (r % kPackRows) * w;
            const uint64_t first = r * cols;
            const uint64_t count = first >= available ? 0 : std::min(cols, available - first);
            for (uint64_t j = 0; j < count; ++j) std::memcpy(lane + j * kPackRows * w, bytes.data() + (first + j) * w, w);
        }
    } else {
        const uint64_t blocks_per_row = cols / E;
        const uint64_t shape_bytes = packed_block_shape(f).bytes;
        for (uint64_t r = 0; r < rows; ++r) {
            uint8_t* group = s->bytes.get() + (r / kPackRows) * s->group_bytes;
            for (uint64_t b = 0; b < blocks_per_row; ++b)
                scatter_block(f, dtype, bytes.data() + (r * blocks_per_row + b) * B, group + b * shape_bytes, r % kPackRows);
        }
    }
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
    if (dtype == 4 || dtype == 5 || dtype >= 15) return 0;
    const PackedFormat f = packed_format_of(dtype);
    const GGUFTypeInfo& info = gguf_type_info(dtype);
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
        out[i] = packed_lane_weight(s.format, s.group(r / kPackRows), j, r % kPackRows);
    }
    for (; i < out.size(); ++i) out[i] = s.tail[begin + i - packed];
}

std::vector<float> WeightMatrix::to_floats() const {
    std::vector<float> out(size());
    if (storage_) decode(0, out);
    return out;
}

}  // namespace quillfen
