// TieredMemoryManager: the byte budgets of the four storage tiers, the blocks resident in them, the
// model's layer execution order, and the eviction policy. Knows tensors and tiers; not models or devices.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "memory/eviction.hpp"
#include "memory/tiers.hpp"

namespace quillfen {

// Budgets used when a caller gives none at all: 4.8 GiB of RAM and 9.6 GiB of swap, rounded down.
inline constexpr uint64_t kDefaultVramBudget = 0;
inline constexpr uint64_t kDefaultRamBudget = 5153960755;
inline constexpr uint64_t kDefaultSwapBudget = 10307921510;

struct TierStats {
    std::string_view name;  // "Vram", "Ram", "Swap", "Disk"
    uint64_t used;
    uint64_t budget;
    float utilisation;      // used / budget in float32; 0.0 for a zero budget
};

// used / budget with both sides converted to float32 first; 0.0 for a zero budget.
constexpr float tier_utilisation(uint64_t used, uint64_t budget) {
    return budget == 0 ? 0.0f : static_cast<float>(used) / static_cast<float>(budget);
}

class TieredMemoryManager {
public:
    // Budgets in bytes. The disk tier is unlimited (budget UINT64_MAX). The execution order starts
    // empty and the policy is a fresh ExecutionAwareLru.
    TieredMemoryManager(uint64_t vram_budget, uint64_t ram_budget, uint64_t swap_budget);

    uint64_t vram_budget() const { return vram_budget_; }
    uint64_t ram_budget() const { return ram_budget_; }
    uint64_t swap_budget() const { return swap_budget_; }

    // One entry per tier, in tier order.
    std::array<TierStats, 4> tier_stats() const;

    // The order in which the model's layers execute: always 0 .. n-1, so it is stored as n alone and
    // costs the same for any layer count a file may announce. Replaces the previous order.
    void set_execution_order_len(uint64_t n) { execution_order_ = ExecutionOrder(n); }
    const ExecutionOrder& execution_order() const { return execution_order_; }

    std::span<const MemoryTier> tiers() const { return tiers_; }
    const MemoryTier& tier(TierKind kind) const { return tiers_[static_cast<uint8_t>(kind)]; }
    EvictionPolicy& policy() { return *policy_; }
    const EvictionPolicy& policy() const { return *policy_; }

private:
    std::array<MemoryTier, 4> tiers_;  // Vram, Ram, Swap, Disk: index = TierKind value
    ExecutionOrder execution_order_;
    std::unique_ptr<EvictionPolicy> policy_;
    uint64_t vram_budget_;
    uint64_t ram_budget_;
    uint64_t swap_budget_;
};

}  // namespace quillfen
