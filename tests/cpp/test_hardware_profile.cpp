#include <gtest/gtest.h>

#include "sparse_oracle/hardware_profile.hpp"

using namespace quillfen;

TEST(HardwareProfile, ClassTestsAndTextFormOfEveryVariant) {
    const HardwareProfile generic, gpu{HardwareProfile::HighEndGpu{24, 1008}},
        apu{HardwareProfile::ConsumerApu{120}};
    EXPECT_EQ(std::pair(generic.is_gpu(), generic.is_apu()), std::pair(false, false));
    EXPECT_EQ(std::pair(gpu.is_gpu(), gpu.is_apu()), std::pair(true, false));
    EXPECT_EQ(std::pair(apu.is_gpu(), apu.is_apu()), std::pair(false, true));
    EXPECT_EQ(generic.debug(), "Generic");
    EXPECT_EQ(gpu.debug(), "HighEndGpu { vram_gb: 24, bandwidth_gbs: 1008 }");
    EXPECT_EQ(apu.debug(), "ConsumerApu { ddr_bandwidth_gbs: 120 }");
    // Full-range fields print as unsigned decimals, not wrapped to negative numbers.
    EXPECT_EQ((HardwareProfile{HardwareProfile::HighEndGpu{0, 4294967295u}}.debug()),
              "HighEndGpu { vram_gb: 0, bandwidth_gbs: 4294967295 }");
}
