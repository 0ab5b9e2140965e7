#include "memory/manager.hpp"

namespace quillfen {

TieredMemoryManager::TieredMemoryManager(uint64_t vram_budget, uint64_t ram_budget, uint64_t swap_budget)
    : policy_(std::make_unique<ExecutionAwareLru>()),
      vram_budget_(vram_budget),
      ram_budget_(ram_budget),
      swap_budget_(swap_budget) {
    const uint64_t budgets[] = {vram_budget, ram_budget, swap_budget, UINT64_MAX};  // disk: unlimited
    for (TierKind kind : kTierKinds) {
        MemoryTier& tier = tiers_[static_cast<uint8_t>(kind)];
        tier.kind = kind;
        tier.budget = budgets[static_cast<uint8_t>(kind)];
    }
}

std::array<TierStats, 4> TieredMemoryManager::tier_stats() const {
    std::array<TierStats, 4> stats{};
    for (size_t i = 0; i < tiers_.size(); ++i) {
        const MemoryTier& tier = tiers_[i];
        stats[i] = TierStats{tier_name(tier.kind), tier.used, tier.budget,
                             tier_utilisation(tier.used, tier.budget)};
    }
    return stats;
}

}  // namespace quillfen
