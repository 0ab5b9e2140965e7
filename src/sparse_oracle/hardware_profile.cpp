#include "sparse_oracle/hardware_profile.hpp"

namespace quillfen {

std::string HardwareProfile::debug() const {
    if (auto* gpu = std::get_if<HighEndGpu>(&kind))
        return "HighEndGpu { vram_gb: " + std::to_string(gpu->vram_gb) +
               ", bandwidth_gbs: " + std::to_string(gpu->bandwidth_gbs) + " }";
    if (auto* apu = std::get_if<ConsumerApu>(&kind))
        return "ConsumerApu { ddr_bandwidth_gbs: " + std::to_string(apu->ddr_bandwidth_gbs) + " }";
    return "Generic";
}

}  // namespace quillfen
