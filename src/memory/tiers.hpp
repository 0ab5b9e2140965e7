// The storage tiers a model's weights may occupy, the blocks resident in them, and the layer
// execution order. Plain data shared by the memory manager and its eviction policy; knows tensors only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tensor/tensor.hpp"

namespace quillfen {

enum class TierKind : uint8_t { Vram = 0, Ram = 1, Swap = 2, Disk = 3 };

inline constexpr std::array<TierKind, 4> kTierKinds = {TierKind::Vram, TierKind::Ram, TierKind::Swap,
                                                       TierKind::Disk};

struct TierInfo {
    std::string_view name;   // what tier_stats reports
    double eviction_weight;  // cost factor of a byte held there: GPU memory cheapest, disk dearest
};
inline constexpr TierInfo kTierInfo[] = {
    /* Vram */ {"Vram", 1.0},
    /* Ram  */ {"Ram", 2.0},
    /* Swap */ {"Swap", 4.0},
    /* Disk */ {"Disk", 8.0},
};

constexpr std::string_view tier_name(TierKind kind) { return kTierInfo[static_cast<uint8_t>(kind)].name; }
constexpr double tier_eviction_weight(TierKind kind) {
    return kTierInfo[static_cast<uint8_t>(kind)].eviction_weight;
}

struct MemoryBlock {
    std::string name;
    Tensor tensor;             // its byte length is the block's size for eviction
    uint64_t last_access = 0;  // bookkeeping for future placement code; nothing reads or writes it yet
    uint64_t pin_count = 0;    // bookkeeping for future placement code; nothing reads or writes it yet
};

struct MemoryTier {
    std::unordered_map<uint64_t, MemoryBlock> blocks;  // block id -> block
    uint64_t budget = 0;                               // bytes the tier may hold
    uint64_t used = 0;                                 // bytes in use
    TierKind kind = TierKind::Vram;
};

// The layer execution order 0, 1, ..., size()-1, held as its length alone. Layer counts come from
// model files (up to 2^64 - 1 for safetensors), so the order must cost the same for every count:
// nothing here allocates per layer.
class ExecutionOrder {
public:
    constexpr ExecutionOrder() = default;
    constexpr explicit ExecutionOrder(uint64_t len) : len_(len) {}

    constexpr uint64_t size() const { return len_; }
    constexpr bool empty() const { return len_ == 0; }
    constexpr bool contains(uint64_t layer) const { return layer < len_; }
    // Index of `layer` in the order; each layer occurs once, at its own index.
    constexpr std::optional<uint64_t> position_of(uint64_t layer) const {
        return contains(layer) ? std::optional<uint64_t>(layer) : std::nullopt;
    }
    // The layer executed at `position`; `position` must be below size().
    constexpr uint64_t operator[](uint64_t position) const { return position; }
    // A lazy range over the layers, for walking (a prefix of) the order without materialising it.
    constexpr auto view() const { return std::views::iota(uint64_t{0}, len_); }

    constexpr bool operator==(const ExecutionOrder&) const = default;

private:
    uint64_t len_ = 0;
};

}  // namespace quillfen
