#include <gtest/gtest.h>

#include "sparse_oracle/hardware_profile.hpp"

using namespace quillfen;

struct ProfileCase {
    const char* label;
    HardwareProfile profile;
    bool gpu;
    bool apu;
    const char* text;
};

class HardwareProfileForms : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(HardwareProfileForms, ClassTestsAndTextForm) {
    const ProfileCase& c = GetParam();
    EXPECT_EQ(c.profile.is_gpu(), c.gpu);
    EXPECT_EQ(c.profile.is_apu(), c.apu);
    EXPECT_EQ(c.profile.debug(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, HardwareProfileForms,
    ::testing::Values(
        ProfileCase{"DefaultIsGeneric", HardwareProfile{}, false, false, "Generic"},
        ProfileCase{"Gpu", HardwareProfile{HardwareProfile::HighEndGpu{24, 1008}}, true, false,
                    "HighEndGpu { vram_gb: 24, bandwidth_gbs: 1008 }"},
        // Full-range fields must print as unsigned decimals, not wrap to negative numbers.
        ProfileCase{"GpuExtremes", HardwareProfile{HardwareProfile::HighEndGpu{0, 4294967295u}}, true, false,
                    "HighEndGpu { vram_gb: 0, bandwidth_gbs: 4294967295 }"},
        ProfileCase{"Apu", HardwareProfile{HardwareProfile::ConsumerApu{120}}, false, true,
                    "ConsumerApu { ddr_bandwidth_gbs: 120 }"}),
    [](const auto& info) { return std::string(info.param.label); });
