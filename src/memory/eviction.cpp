#include "memory/eviction.hpp"

#include <algorithm>

namespace quillfen {

std::optional<uint64_t> ExecutionAwareLru::position_of(uint64_t block_id) const {
    if (use_range_) return order_range_.position_of(block_id);
    auto it = first_position_.find(block_id);
    if (it == first_position_.end()) return std::nullopt;
    return it->second;
}

std::optional<Victim> ExecutionAwareLru::select_victim(std::span<const MemoryTier> tiers, uint64_t /*bytes_needed*/,
                                                       uint64_t current) const {
    std::optional<uint64_t> found = order_empty() ? std::nullopt : position_of(current);
    const bool protecting = found.has_value();  // no current position: every block is a candidate
    const uint64_t current_pos = found.value_or(0);
    std::optional<Victim> best;
    double best_score = 0.0;
    for (const MemoryTier& tier : tiers) {
        const double weight = tier_eviction_weight(tier.kind);
        for (const auto& [id, block] : tier.blocks) {
            if (protecting) {
                std::optional<uint64_t> pos = position_of(id);
                // Written as a difference so a position near 2^64 cannot wrap the window's end.
                if (pos && *pos > current_pos && *pos - current_pos <= kLookAhead) continue;
            }
            const double score = weight * static_cast<double>(static_cast<uint64_t>(block.tensor.data.size()));
            if (!best || score < best_score) {
                best = Victim{tier.kind, id};
                best_score = score;
            }
        }
    }
    return best;
}

void ExecutionAwareLru::record_access(uint64_t block_id) {
    std::erase(access_order_, block_id);
    access_order_.push_back(block_id);
}

void ExecutionAwareLru::set_execution_order(std::vector<uint64_t> order) {
    first_position_.clear();
    for (uint64_t i = 0; i < order.size(); ++i) first_position_.try_emplace(order[i], i);
    order_list_ = std::move(order);
    order_range_ = ExecutionOrder();
    use_range_ = false;
}

void ExecutionAwareLru::set_execution_order(ExecutionOrder order) {
    order_list_.clear();
    order_list_.shrink_to_fit();
    first_position_.clear();
    order_range_ = order;
    use_range_ = true;
}

}  // namespace quillfen
