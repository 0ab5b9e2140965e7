// HardwareProfile: the class of machine the runtime plans for (discrete GPU, APU, or generic).
// A plain value with no knowledge of backends or the scheduler; nothing probes hardware to make one.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quillfen {

struct HardwareProfile {
    struct HighEndGpu {
        uint32_t vram_gb = 0;        // GPU memory, gigabytes
        uint32_t bandwidth_gbs = 0;  // GPU memory bandwidth, gigabytes per second
        bool operator==(const HighEndGpu&) const = default;
    };
    struct ConsumerApu {
        uint32_t ddr_bandwidth_gbs = 0;  // shared system-memory bandwidth, gigabytes per second
        bool operator==(const ConsumerApu&) const = default;
    };
    struct Generic {
        bool operator==(const Generic&) const = default;
    };

    // Alternatives in variant-value order: 0 HighEndGpu, 1 ConsumerApu, 2 Generic.
    std::variant<HighEndGpu, ConsumerApu, Generic> kind = Generic{};

    bool is_gpu() const { return std::holds_alternative<HighEndGpu>(kind); }
    bool is_apu() const { return std::holds_alternative<ConsumerApu>(kind); }

    // "Generic", "HighEndGpu { vram_gb: 24, bandwidth_gbs: 1008 }", "ConsumerApu { ddr_bandwidth_gbs: 120 }"
    std::string debug() const;

    bool operator==(const HardwareProfile&) const = default;
};

}  // namespace quillfen
