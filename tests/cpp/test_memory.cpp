#include <gtest/gtest.h>

#include <ranges>

#include "memory/manager.hpp"

using namespace quillfen;

TEST(TieredMemoryManager, UtilisationDividesInFloat32AfterConvertingBothSides) {
    struct Case {
        uint64_t used, budget;
        float want;
    };
    // The 2^24 + 1 cases tell float32 operands from a 64-bit division rounded afterwards
    // (which would give 0.50000006f and 0.9999999f).
    for (const Case& c : {Case{0, 0, 0.0f}, Case{5, 0, 0.0f}, Case{1, 3, 0.33333334f}, Case{0, UINT64_MAX, 0.0f},
                          Case{16777217, 33554431, 0.5f}, Case{16777217, 16777219, 0.99999976f}})
        EXPECT_EQ(tier_utilisation(c.used, c.budget), c.want) << c.used << " / " << c.budget;
}

// Layer counts come from files: the order must stay cheap and exact up to the largest count.
TEST(TieredMemoryManager, ExecutionOrderHoldsZeroToNMinusOneWithoutPerLayerStorage) {
    static_assert(sizeof(ExecutionOrder) == sizeof(uint64_t));
    TieredMemoryManager manager(0, 0, 0);
    for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{32}, uint64_t{4294967295u}, UINT64_MAX}) {
        manager.set_execution_order_len(n);
        const ExecutionOrder& order = manager.execution_order();
        EXPECT_EQ(order.size(), n);
        EXPECT_EQ(order.position_of(n), std::nullopt) << n;
        EXPECT_FALSE(order.contains(UINT64_MAX));  // never a member: the largest count ends one below it
        if (n > 0) EXPECT_EQ(order.position_of(n - 1), n - 1);
        std::vector<uint64_t> prefix, want;
        for (uint64_t layer : order.view() | std::views::take(3)) prefix.push_back(layer);
        for (uint64_t i = 0; i < std::min<uint64_t>(n, 3); ++i) want.push_back(i);
        EXPECT_EQ(prefix, want) << n;
    }
}
