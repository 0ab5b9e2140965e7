#include "backends/backend.hpp"

namespace quillfen {

namespace {
constexpr std::string_view kDeviceTypeNames[] = {"CPU", "CUDA", "HIP/ROCm", "Metal", "ONNX Runtime", "NPU"};
}  // namespace

std::string_view device_type_name(DeviceType type) { return kDeviceTypeNames[static_cast<uint8_t>(type)]; }

}  // namespace quillfen
