#include <gtest/gtest.h>

#include <ranges>

#include "memory/manager.hpp"

using namespace quillfen;

TEST(TieredMemoryManager, BudgetsAndTiersAsGiven) {
    const TieredMemoryManager manager(8, 0, 0);  // no defaults are filled in by the core
    EXPECT_EQ(manager.vram_budget(), 8u);
    EXPECT_EQ(manager.ram_budget(), 0u);
    EXPECT_EQ(manager.swap_budget(), 0u);
    ASSERT_EQ(manager.tiers().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(manager.tiers()[i].kind, kTierKinds[i]);
        EXPECT_TRUE(manager.tiers()[i].blocks.empty());
        EXPECT_EQ(manager.tiers()[i].used, 0u);
    }
    EXPECT_EQ(manager.tier(TierKind::Disk).budget, UINT64_MAX);
}

TEST(TieredMemoryManager, TierStatsOfDefaultBudgets) {
    const TieredMemoryManager manager(kDefaultVramBudget, kDefaultRamBudget, kDefaultSwapBudget);
    const auto stats = manager.tier_stats();
    const char* names[] = {"Vram", "Ram", "Swap", "Disk"};
    const uint64_t budgets[] = {0, 5153960755, 10307921510, 18446744073709551615u};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(stats[i].name, names[i]);
        EXPECT_EQ(stats[i].used, 0u);
        EXPECT_EQ(stats[i].budget, budgets[i]);
        EXPECT_EQ(stats[i].utilisation, 0.0f);
    }
}

struct UtilisationCase {
    uint64_t used, budget;
    float want;
};

class TierUtilisation : public ::testing::TestWithParam<UtilisationCase> {};

TEST_P(TierUtilisation, DividesInFloat32AfterConvertingBothSides) {
    EXPECT_EQ(tier_utilisation(GetParam().used, GetParam().budget), GetParam().want);
}

// The 2^24 + 1 cases tell float32 operands from a 64-bit division rounded afterwards
// (which would give 0.50000006f and 0.9999999f).
INSTANTIATE_TEST_SUITE_P(Values, TierUtilisation,
                         ::testing::Values(UtilisationCase{0, 0, 0.0f}, UtilisationCase{5, 0, 0.0f},
                                           UtilisationCase{1, 4, 0.25f}, UtilisationCase{1, 3, 0.33333334f},
                                           UtilisationCase{16777217, 33554431, 0.5f},
                                           UtilisationCase{16777217, 16777219, 0.99999976f},
                                           UtilisationCase{0, UINT64_MAX, 0.0f}));

class ExecutionOrderLength : public ::testing::TestWithParam<uint64_t> {};

// Layer counts come from files: the order must stay cheap and exact up to the largest count.
TEST_P(ExecutionOrderLength, HoldsZeroToNMinusOneWithoutPerLayerStorage) {
    const uint64_t n = GetParam();
    TieredMemoryManager manager(0, 0, 0);
    EXPECT_TRUE(manager.execution_order().empty());
    manager.set_execution_order_len(n);
    const ExecutionOrder& order = manager.execution_order();
    EXPECT_EQ(order.size(), n);
    EXPECT_EQ(order.empty(), n == 0);
    EXPECT_FALSE(order.contains(n));
    EXPECT_EQ(order.position_of(n), std::nullopt);
    EXPECT_FALSE(order.contains(UINT64_MAX));  // never a member: the largest count ends one below it
    if (n > 0) {
        EXPECT_TRUE(order.contains(n - 1));
        EXPECT_EQ(order.position_of(n - 1), n - 1);
        EXPECT_EQ(order[n - 1], n - 1);
    }
    std::vector<uint64_t> prefix;
    for (uint64_t layer : order.view() | std::views::take(3)) prefix.push_back(layer);
    std::vector<uint64_t> want;
    for (uint64_t i = 0; i < std::min<uint64_t>(n, 3); ++i) want.push_back(i);
    EXPECT_EQ(prefix, want);
    static_assert(sizeof(ExecutionOrder) == sizeof(uint64_t));
}

INSTANTIATE_TEST_SUITE_P(Counts, ExecutionOrderLength,
                         ::testing::Values(0u, 1u, 32u, uint64_t{4294967295u}, UINT64_MAX));

TEST(TieredMemoryManager, ExecutionOrderIsReplacedNotAppended) {
    TieredMemoryManager manager(0, 0, 0);
    manager.set_execution_order_len(40);
    manager.set_execution_order_len(32);
    EXPECT_EQ(manager.execution_order(), ExecutionOrder(32));
    manager.set_execution_order_len(0);
    EXPECT_TRUE(manager.execution_order().empty());
}

TEST(TieredMemoryManager, OwnsAnEmptyPolicyThatFindsNoVictim) {
    TieredMemoryManager manager(kDefaultVramBudget, kDefaultRamBudget, kDefaultSwapBudget);
    manager.set_execution_order_len(UINT64_MAX);
    EXPECT_EQ(manager.policy().select_victim(manager.tiers(), 1024, 0), std::nullopt);
    TieredMemoryManager moved = std::move(manager);  // the engine holds its manager by value
    EXPECT_EQ(moved.execution_order().size(), UINT64_MAX);
}
