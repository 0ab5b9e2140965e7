// The dispatcher: which level it chooses, and how it refuses a level the CPU cannot run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "compute/kernels.hpp"
#include "compute/pool.hpp"

using namespace quillfen;

// Emulated and forced runs name the level they must land on in QUILLFEN_EXPECT_ISA, so a run that
// silently took another path fails here instead of passing on the wrong kernels.
TEST(Kernels, ChosenLevelIsTheExpectedOne) {
    const Result<Isa>& chosen = chosen_isa();
    ASSERT_TRUE(chosen) << chosen.error().message();
    EXPECT_EQ(kernels().isa, *chosen);
    const char* expected = std::getenv("QUILLFEN_EXPECT_ISA");
    std::cout << "kernel level: " << isa_name(*chosen) << '\n';
    if (expected && *expected) EXPECT_EQ(isa_name(*chosen), expected);
}

TEST(Kernels, RequestsNameALevelTheCpuRuns) {
    Isa widest = Isa::Portable;
    for (Isa isa : kAllIsas) {
        ASSERT_EQ(cpu_runs(isa), kernel_table(isa) != nullptr) << isa_name(isa);
        if (!cpu_runs(isa)) {
            const auto refused = requested_isa(isa_name(isa));
            ASSERT_FALSE(refused);
            EXPECT_NE(refused.error().message().find("QUILLFEN_ISA=" + std::string(isa_name(isa)) +
                                                     " asks for kernels this CPU cannot run: "),
                      std::string::npos)
                << refused.error().message();
            continue;
        }
        widest = isa;
        EXPECT_EQ(requested_isa(isa_name(isa)), isa);
        EXPECT_EQ(kernel_table(isa)->isa, isa);
    }
    EXPECT_TRUE(cpu_runs(Isa::Portable));
    EXPECT_EQ(requested_isa(""), widest);
    const auto unknown = requested_isa("AVX2");  // names are lower case, as documented
    ASSERT_FALSE(unknown);
    EXPECT_TRUE(unknown.error().message().starts_with("QUILLFEN_ISA=AVX2 is not a kernel level; use portable, avx2 or avx512 ("))
        << unknown.error().message();
}

TEST(Pool, ThreadCountsAreWholeNumbersFromOneAndOthersAreRefusedSayingWhat) {
    for (auto [asked, want] : {std::pair{"1", 1}, {"2", 2}, {"16", 16}, {"1024", 1024}, {"0007", 7}})
        EXPECT_EQ(requested_threads(asked), want) << asked;
    EXPECT_GE(*requested_threads(""), 1);  // the cores of the affinity mask
    for (const char* bad : {"0", "-1", "+2", " 2", "2 ", "2x", "1.5", "1025", "99999", "18446744073709551617", "two"}) {
        const auto r = requested_threads(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().message().rfind("QUILLFEN_NUM_THREADS=" + std::string(bad) +
                                                " is not a thread count; use a whole number from 1 to 1024 (this "
                                                "process may run on ",
                                            0),
                  0u);
    }
}

TEST(Pool, TheArenaHasTheChosenCount) {
    const Result<int>& n = chosen_threads();
    ASSERT_TRUE(n);
    EXPECT_EQ(pool().max_concurrency(), *n);
}
