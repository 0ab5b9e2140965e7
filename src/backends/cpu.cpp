#include "backends/cpu.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include "compute/kernels.hpp"

namespace quillfen {

static_assert(std::endian::native == std::endian::little, "tensor bytes are little-endian floats, read in place");

namespace {

// Tensor bytes viewed as floats in place. GCC's may_alias makes reading byte storage as float defined.
using AliasedFloat = float __attribute__((may_alias));

const AliasedFloat* float_view(const std::vector<uint8_t>& bytes) {
    return reinterpret_cast<const AliasedFloat*>(bytes.data());  // operator new aligns far past 4 bytes
}

// Rows one work item holds at most: the weight columns it reads serve all of them, while their
// outputs still fit L2 beside the weight's block.
constexpr uint64_t kRowGrain = 64;
constexpr uint64_t kOutputFloats = 8192;

// With k == 0 no operand data backs the output's size, so it is bounded here instead.
constexpr uint64_t kMaxUnbackedOutputBytes = uint64_t{1} << 30;

Error shape_error(const Tensor& weight, const Tensor& input) {
    return Error("Invalid shapes for matmul: weight=" + format_shape(weight.shape) +
                 ", input=" + format_shape(input.shape));
}

}  // namespace

Result<Tensor> CpuBackend::matmul_f32(const Tensor& weight, const Tensor& input) const {
    // execute passes other dtypes through before getting here; a direct caller is told instead.
    for (const Tensor* t : {&weight, &input})
        if (t->dtype != DType::Float32)
            return std::unexpected(TensorError{InvalidDtype{std::string(dtype_name(t->dtype))}}.to_error());
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
        // Work items are ranges of output columns (and, for many rows, of rows): every element is still
        // one float32 sum in increasing l, whatever the split and the instruction set, so results are
        // bit-identical. Splitting the columns lets a single row use every worker, and each worker
        // reads only its columns of the weight, once for all the rows it holds.
        const auto matmul_rows = kernels().matmul_rows;
        // Columns per item: one share per worker, so each reads the longest runs of every weight row
        // (the hardware prefetchers start over at each run's page), but no more than keep the item's
        // outputs for all its rows (kOutputFloats, 32 KiB) in L1.
        const uint64_t item_rows = std::clamp<uint64_t>(batch, 1, kRowGrain);
        const uint64_t col_grain = std::max<uint64_t>(
            256, std::min<uint64_t>(m / std::max<uint64_t>(num_threads_, 1), kOutputFloats / item_rows) / 64 * 64);
        tbb::parallel_for(
            tbb::blocked_range2d<uint64_t>(0, batch, kRowGrain, 0, m, col_grain),
            [&](const tbb::blocked_range2d<uint64_t>& r) {
                const uint64_t b = r.rows().begin();
                matmul_rows(out.data() + b * m, x + b * k, r.rows().size(), w, m, k, r.cols().begin(), r.cols().end());
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
