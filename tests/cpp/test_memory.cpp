// The memory manager's tier arithmetic and execution order, and the eviction policy that reads them.
#include <gtest/gtest.h>

#include <numeric>
#include <ranges>

#include "memory/eviction.hpp"
#include "memory/manager.hpp"

using namespace quillfen;

namespace {

// The block's size for eviction is its tensor's byte length.
MemoryBlock block_of(uint64_t bytes) { return MemoryBlock{.tensor = Tensor{.data = std::vector<uint8_t>(bytes)}}; }

std::vector<MemoryTier> four_tiers() {
    std::vector<MemoryTier> tiers(4);
    for (size_t i = 0; i < 4; ++i) tiers[i].kind = kTierKinds[i];
    return tiers;
}

std::vector<uint64_t> iota_list(uint64_t n) {
    std::vector<uint64_t> v(n);
    std::iota(v.begin(), v.end(), uint64_t{0});
    return v;
}

}  // namespace

TEST(ExecutionAwareLru, SmallestWeightedSizeWithTiesToTheTierVisitedFirst) {
    ExecutionAwareLru lru;
    auto tiers = four_tiers();
    EXPECT_EQ(lru.select_victim({}, 0, 0), std::nullopt);
    EXPECT_EQ(lru.select_victim(tiers, 100, 0), std::nullopt);
    tiers[1].blocks.emplace(7, block_of(60));   // Ram: 2 x 60 = 120
    tiers[0].blocks.emplace(3, block_of(100));  // Vram: 1 x 100 = 100
    tiers[3].blocks.emplace(9, block_of(13));   // Disk: 8 x 13 = 104
    EXPECT_EQ(lru.select_victim(tiers, 0, 0), (Victim{TierKind::Vram, 3}));
    tiers[2].blocks.emplace(5, block_of(25));   // Swap: 4 x 25 = 100, a tie visited after Vram
    EXPECT_EQ(lru.select_victim(tiers, 0, 0), (Victim{TierKind::Vram, 3}));
    std::swap(tiers[0], tiers[2]);  // tiers are visited in list order, whatever their kinds
    EXPECT_EQ(lru.select_victim(tiers, 0, 0), (Victim{TierKind::Swap, 5}));
    tiers[3].blocks.emplace(11, block_of(0));   // an empty block costs nothing
    EXPECT_EQ(lru.select_victim(tiers, 0, 0), (Victim{TierKind::Disk, 11}));
}

// Order 0..40 with current 10: 11..26 are needed within 16 steps; 0..10, 27..40 and ids outside the
// order are candidates. Both forms of the order must agree; a current block outside the order
// protects nothing.
TEST(ExecutionAwareLru, LookAheadWindowProtectsTheNextSixteenPositions) {
    ExecutionAwareLru explicit_order, compact_order;
    explicit_order.set_execution_order(iota_list(41));
    compact_order.set_execution_order(ExecutionOrder(41));
    for (uint64_t id : iota_list(43)) {
        auto tiers = four_tiers();
        tiers[2].blocks.emplace(id, block_of(8));
        const auto victim = std::optional(Victim{TierKind::Swap, id});
        const auto want = id >= 11 && id <= 26 ? std::nullopt : victim;
        EXPECT_EQ(explicit_order.select_victim(tiers, 0, 10), want) << id;
        EXPECT_EQ(compact_order.select_victim(tiers, 0, 10), want) << id;
        EXPECT_EQ(compact_order.select_victim(tiers, 0, 500), victim) << id;
    }
}

TEST(ExecutionAwareLru, OnlyTheFirstOccurrenceOfAnIdCounts) {
    ExecutionAwareLru lru;
    // 7 first appears at position 0, so from current 5 (position 1) it lies behind, not ahead.
    lru.set_execution_order({7, 5, 7, 6});
    auto tiers = four_tiers();
    tiers[0].blocks.emplace(7, block_of(8));
    tiers[0].blocks.emplace(6, block_of(1));  // the cheaper block is protected
    EXPECT_EQ(lru.select_victim(tiers, 0, 5), (Victim{TierKind::Vram, 7}));
}

TEST(ExecutionAwareLru, WindowNearTheTopOfTheLargestOrderDoesNotWrap) {
    ExecutionAwareLru lru;
    lru.set_execution_order(ExecutionOrder(UINT64_MAX));  // 0 .. 2^64 - 2, held without storage
    const uint64_t current = UINT64_MAX - 5;
    auto tiers = four_tiers();
    tiers[0].blocks.emplace(UINT64_MAX - 2, block_of(1));  // ahead by 3: protected
    tiers[1].blocks.emplace(current - 1, block_of(1000));  // behind: a candidate
    tiers[2].blocks.emplace(UINT64_MAX, block_of(1));      // outside the order: a candidate
    EXPECT_EQ(lru.select_victim(tiers, 0, current), (Victim{TierKind::Swap, UINT64_MAX}));
    tiers[2].blocks.clear();
    EXPECT_EQ(lru.select_victim(tiers, 0, current), (Victim{TierKind::Ram, current - 1}));
    // A window starting at 0 must not protect blocks near the top after a wrap.
    EXPECT_EQ(lru.select_victim(tiers, 0, 0), (Victim{TierKind::Vram, UINT64_MAX - 2}));
}

TEST(ExecutionAwareLru, ReplacingTheOrderDropsTheOldOneInEitherForm) {
    ExecutionAwareLru lru;
    auto tiers = four_tiers();
    tiers[0].blocks.emplace(12, block_of(8));
    lru.set_execution_order(ExecutionOrder(41));
    lru.set_execution_order({10, 12});  // 12 comes right after 10
    EXPECT_EQ(lru.select_victim(tiers, 0, 10), std::nullopt);
    lru.set_execution_order(ExecutionOrder(5));  // 10 is not in it: nothing is protected
    EXPECT_EQ(lru.select_victim(tiers, 0, 10), (Victim{TierKind::Vram, 12}));
}

TEST(ExecutionAwareLru, RecordAccessMovesToTheBack) {
    ExecutionAwareLru lru;
    for (uint64_t id : {1, 2, 1}) lru.record_access(id);
    EXPECT_EQ(lru.access_order(), (std::deque<uint64_t>{2, 1}));
    for (uint64_t id : {3, 2, 3, 3}) lru.record_access(id);
    EXPECT_EQ(lru.access_order(), (std::deque<uint64_t>{1, 2, 3}));
}

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
