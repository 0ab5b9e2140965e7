// EvictionPolicy: chooses which resident block to move out of the tiers. ExecutionAwareLru picks the
// smallest weighted size while protecting the blocks execution needs next. Knows tiers and blocks only.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "memory/tiers.hpp"

namespace quillfen {

struct Victim {
    TierKind tier;
    uint64_t block_id;
    bool operator==(const Victim&) const = default;
};

class EvictionPolicy {
public:
    virtual ~EvictionPolicy() = default;

    // The block to move out of `tiers`, or nothing when no block may go. `bytes_needed` is what the
    // caller wants freed (a policy may ignore it); `current` is the block (layer) executing now.
    virtual std::optional<Victim> select_victim(std::span<const MemoryTier> tiers, uint64_t bytes_needed,
                                                uint64_t current) const = 0;
    virtual void record_access(uint64_t block_id) = 0;
};

class ExecutionAwareLru final : public EvictionPolicy {
public:
    static constexpr uint64_t kLookAhead = 16;  // positions after the current one that are protected

    // Victim: among the blocks not needed within the next kLookAhead positions of the execution
    // order, the one with the smallest tier weight x byte length; ties go to the block visited first
    // (earlier tier, then the tier map's own order). Recency does not enter the choice.
    std::optional<Victim> select_victim(std::span<const MemoryTier> tiers, uint64_t bytes_needed,
                                        uint64_t current) const override;
    // Moves `block_id` to the most recent end of the access order.
    void record_access(uint64_t block_id) override;

    // An explicit order; ids may repeat, and only the first occurrence of an id counts.
    void set_execution_order(std::vector<uint64_t> order);
    // The order 0 .. n-1, held without per-layer memory.
    void set_execution_order(ExecutionOrder order);

    const std::deque<uint64_t>& access_order() const { return access_order_; }  // least recent first

private:
    std::optional<uint64_t> position_of(uint64_t block_id) const;
    bool order_empty() const { return use_range_ ? order_range_.empty() : order_list_.empty(); }

    std::deque<uint64_t> access_order_;
    std::vector<uint64_t> order_list_;
    std::unordered_map<uint64_t, uint64_t> first_position_;  // id -> first index in order_list_
    ExecutionOrder order_range_;
    bool use_range_ = false;  // which of the two forms holds the execution order
};

}  // namespace quillfen
