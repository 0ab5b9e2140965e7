// CpuBackend: the CPU implementation of Backend, a float32 matrix product on the process-wide
// oneTBB pool. Knows tensors and the pool only; it never configures the pool.
#pragma once

#include <cstdint>

#include "backends/backend.hpp"

namespace quillfen {

class CpuBackend final : public Backend {
public:
    // `num_threads`: the pool's worker count, read once by whoever makes the backend.
    explicit CpuBackend(uint64_t num_threads) : num_threads_(num_threads) {}

    uint64_t num_threads() const { return num_threads_; }

    // weight (m, k, ...) with element (l, j) at l*m + j; input (batch, k, ...) or (k) -> output (batch, m):
    //   out[b*m + j] = sum over l in 0..k of input[b*k + l] * weight[l*m + j]
    // each sum starting from 0.0 and adding its float32-rounded products in increasing l.
    // Output rows run in parallel on the pool. Fails with the shape error when the shapes are unusable
    // or the tensors hold fewer floats than the shapes need.
    Result<Tensor> matmul_f32(const Tensor& weight, const Tensor& input) const;

    DeviceInfo device_info() const override;
    bool supports_dtype(DType) const override { return true; }
    // Anything but float32 on both sides is passed through: a copy of `input`, nothing computed.
    Result<Tensor> execute(const Operation& op, const Tensor& input) const override;
    double estimated_throughput_flops() const override { return static_cast<double>(num_threads_) * 1e10; }
    double estimated_bandwidth_bytes_per_sec() const override { return 2.5e10; }
    double current_utilisation() const override { return 0.0; }

private:
    uint64_t num_threads_;
};

}  // namespace quillfen
