// Backend: the interface of a compute device (describe itself, state its speed, execute an operation).
// Knows tensors only; the scheduler owns backends, and nothing here knows about models or memory tiers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tensor/error.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

enum class DeviceType : uint8_t { Cpu = 0, Cuda = 1, Rocm = 2, Metal = 3, OnnxRuntime = 4, Npu = 5 };

// "CPU", "CUDA", "HIP/ROCm", "Metal", "ONNX Runtime", "NPU"
std::string_view device_type_name(DeviceType type);

struct DeviceInfo {
    std::string name;            // e.g. "CPU (8 threads)"
    uint64_t memory_bytes = 0;   // device memory; 0 when not known (the CPU backend reports 0)
    uint64_t compute_units = 0;  // cores or multiprocessors; 0 when not known (the CPU backend reports 0)
    DeviceType device_type = DeviceType::Cpu;
};

// One unit of work for `execute`. Only the matrix product exists so far: out = input x weight.
struct Operation {
    Tensor weight;  // (m, k, ...) with element (l, j) at l*m + j; further dimensions are ignored
};

class Backend {
public:
    virtual ~Backend() = default;

    virtual DeviceInfo device_info() const = 0;
    virtual bool supports_dtype(DType dtype) const = 0;
    // Borrows both arguments read-only and returns a new tensor; safe to call from any thread.
    virtual Result<Tensor> execute(const Operation& op, const Tensor& input) const = 0;
    virtual double estimated_throughput_flops() const = 0;         // operations per second
    virtual double estimated_bandwidth_bytes_per_sec() const = 0;  // bytes per second
    virtual double current_utilisation() const = 0;                // 0.0 idle .. 1.0 busy
};

}  // namespace quillfen
