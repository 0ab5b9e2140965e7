#include "backends/cpu.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace quillfen {

static_assert(std::endian::native == std::endian::little, "tensor bytes are little-endian floats, read in place");

namespace {

// The kernel is compiled for AVX2 and for the baseline, picked at load time. Each output element is
// still one float32 sum in the documented order, so every clone gives bit-identical results.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define QUILLFEN_KERNEL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUILLFEN_KERNEL_CLONES
#endif

// Tensor bytes viewed as floats in place. GCC's may_alias makes reading byte storage as float defined.
using AliasedFloat = float __attribute__((may_alias));

const AliasedFloat* float_view(const std::vector<uint8_t>& bytes) {
    return reinterpret_cast<const AliasedFloat*>(bytes.data());  // operator new aligns far past 4 bytes
}

// With k == 0 no operand data backs the output's size, so it is bounded here instead.
constexpr uint64_t kMaxUnbackedOutputBytes = uint64_t{1} << 30;

constexpr uint64_t kRowTile = 4;      // output rows that share each streamed weight value
constexpr uint64_t kColBlock = 512;   // output columns per pass: kRowTile rows of them stay in L1
constexpr uint64_t kInnerStep = 4;    // products folded into an output element per load/store of it

// Adds, for NB output rows and the columns [0, cols) of the block starting at `w`, the products of
// input columns l .. l+3 (x[r][0..3]) in increasing l. Each element is updated as
// ((((o + x0*w0) + x1*w1) + x2*w2) + x3*w3): the same sequence of float32 adds as a serial sum.
template <int NB>
inline void update_step4(float* __restrict o0, float* __restrict o1, float* __restrict o2, float* __restrict o3,
                         const float (&x)[kRowTile][kInnerStep], const AliasedFloat* __restrict w, uint64_t m,
                         uint64_t cols) {
    const AliasedFloat* __restrict w0 = w;
    const AliasedFloat* __restrict w1 = w + m;
    const AliasedFloat* __restrict w2 = w + 2 * m;
    const AliasedFloat* __restrict w3 = w + 3 * m;
    for (uint64_t j = 0; j < cols; ++j) {
        const float a0 = w0[j], a1 = w1[j], a2 = w2[j], a3 = w3[j];
        o0[j] = o0[j] + x[0][0] * a0 + x[0][1] * a1 + x[0][2] * a2 + x[0][3] * a3;
        if constexpr (NB > 1) o1[j] = o1[j] + x[1][0] * a0 + x[1][1] * a1 + x[1][2] * a2 + x[1][3] * a3;
        if constexpr (NB > 2) o2[j] = o2[j] + x[2][0] * a0 + x[2][1] * a1 + x[2][2] * a2 + x[2][3] * a3;
        if constexpr (NB > 3) o3[j] = o3[j] + x[3][0] * a0 + x[3][1] * a1 + x[3][2] * a2 + x[3][3] * a3;
    }
}

template <int NB>
inline void update_step1(float* __restrict o0, float* __restrict o1, float* __restrict o2, float* __restrict o3,
                         const float (&x)[kRowTile], const AliasedFloat* __restrict w, uint64_t cols) {
    for (uint64_t j = 0; j < cols; ++j) {
        const float a = w[j];
        o0[j] = o0[j] + x[0] * a;
        if constexpr (NB > 1) o1[j] = o1[j] + x[1] * a;
        if constexpr (NB > 2) o2[j] = o2[j] + x[2] * a;
        if constexpr (NB > 3) o3[j] = o3[j] + x[3] * a;
    }
}

// Output rows [b0, b0 + NB), all zero on entry. Column blocks outermost, then l in increasing order,
// so each element's products are added in increasing l exactly once each.
template <int NB>
inline void row_tile(float* out, const AliasedFloat* input, const AliasedFloat* weight, uint64_t b0, uint64_t m,
                     uint64_t k) {
    float* o[kRowTile];
    const AliasedFloat* xr[kRowTile];
    for (int r = 0; r < static_cast<int>(kRowTile); ++r) {
        const uint64_t b = b0 + static_cast<uint64_t>(std::min(r, NB - 1));  // unused slots repeat a real row
        o[r] = out + b * m;
        xr[r] = input + b * k;
    }
    for (uint64_t j0 = 0; j0 < m; j0 += kColBlock) {
        const uint64_t cols = std::min(kColBlock, m - j0);
        uint64_t l = 0;
        for (; l + kInnerStep <= k; l += kInnerStep) {
            float x[kRowTile][kInnerStep];
            for (uint64_t r = 0; r < kRowTile; ++r)
                for (uint64_t s = 0; s < kInnerStep; ++s) x[r][s] = xr[r][l + s];
            update_step4<NB>(o[0] + j0, o[1] + j0, o[2] + j0, o[3] + j0, x, weight + l * m + j0, m, cols);
        }
        for (; l < k; ++l) {
            float x[kRowTile];
            for (uint64_t r = 0; r < kRowTile; ++r) x[r] = xr[r][l];
            update_step1<NB>(o[0] + j0, o[1] + j0, o[2] + j0, o[3] + j0, x, weight + l * m + j0, cols);
        }
    }
}

// Output rows [begin, end): one task's share. Rows in the same task are tiled so that each weight
// value loaded from memory serves up to kRowTile rows.
QUILLFEN_KERNEL_CLONES
void matmul_rows(float* out, const AliasedFloat* input, const AliasedFloat* weight, uint64_t begin, uint64_t end,
                 uint64_t m, uint64_t k) {
    for (uint64_t b = begin; b < end;) {
        switch (std::min(end - b, kRowTile)) {
            case 4: row_tile<4>(out, input, weight, b, m, k); b += 4; break;
            case 3: row_tile<3>(out, input, weight, b, m, k); b += 3; break;
            case 2: row_tile<2>(out, input, weight, b, m, k); b += 2; break;
            default: row_tile<1>(out, input, weight, b, m, k); b += 1; break;
        }
    }
}

Error shape_error(const Tensor& weight, const Tensor& input) {
    return Error("Invalid shapes for matmul: weight=" + format_shape(weight.shape) +
                 ", input=" + format_shape(input.shape));
}

}  // namespace

Result<Tensor> CpuBackend::matmul_f32(const Tensor& weight, const Tensor& input) const {
    if (weight.dtype != DType::Float32) return fail("Invalid dtype for operation: " + std::string(dtype_name(weight.dtype)));
    if (input.dtype != DType::Float32) return fail("Invalid dtype for operation: " + std::string(dtype_name(input.dtype)));
    if (input.shape.empty() || weight.shape.size() < 2) return std::unexpected(shape_error(weight, input));

    const uint64_t m = weight.shape[0];
    const uint64_t k = weight.shape[1];
    const uint64_t batch = input.shape.size() == 1 ? 1 : input.shape[0];

    // The shapes are only claims: check them against the floats actually held before reading or
    // allocating anything, so a tensor built with a lying shape is refused instead of overrun.
    uint64_t weight_needed, input_needed, out_elems, out_bytes;
    if (m == 0 || mul_overflows(m, k, &weight_needed) || weight_needed > weight.data.size() / 4 ||
        mul_overflows(batch, k, &input_needed) || input_needed > input.data.size() / 4 ||
        mul_overflows(batch, m, &out_elems) || mul_overflows(out_elems, 4, &out_bytes) ||
        out_bytes > static_cast<uint64_t>(PTRDIFF_MAX) || (k == 0 && out_bytes > kMaxUnbackedOutputBytes))
        return std::unexpected(shape_error(weight, input));

    std::vector<float> out(out_elems, 0.0f);
    const AliasedFloat* w = float_view(weight.data);
    const AliasedFloat* x = float_view(input.data);
    if (k > 0) {
        tbb::parallel_for(
            tbb::blocked_range<uint64_t>(0, batch, 1),
            [&](const tbb::blocked_range<uint64_t>& rows) {
                matmul_rows(out.data(), x, w, rows.begin(), rows.end(), m, k);
            },
            tbb::auto_partitioner());
    }

    Tensor result;
    result.data.resize(out_bytes);
    if (out_bytes) std::memcpy(result.data.data(), out.data(), out_bytes);
    result.shape = {batch, m};
    result.dtype = DType::Float32;
    return result;
}

Result<Tensor> CpuBackend::execute(const Operation& op, const Tensor& input) const {
    if (op.weight.dtype != DType::Float32 || input.dtype != DType::Float32) return input;
    return matmul_f32(op.weight, input);
}

DeviceInfo CpuBackend::device_info() const {
    DeviceInfo info;
    info.name = "CPU (" + std::to_string(num_threads_) + " threads)";
    info.device_type = DeviceType::Cpu;
    return info;
}

}  // namespace quillfen
