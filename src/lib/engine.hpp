// InferenceEngine: a memory manager and a scheduler, and the metadata load that joins them.
// Plain C++ (no Python): the Python class in py_engine.cpp wraps it.
#pragma once

#include <string>

#include "formats/loader.hpp"
#include "memory/manager.hpp"
#include "scheduler/scheduler.hpp"
#include "tensor/error.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

struct InferenceEngine {
    TieredMemoryManager memory;
    Scheduler scheduler;

    // Budgets in bytes. Both 0 (the Python defaults) give 0 of VRAM, 4.8 GiB of RAM and 9.6 GiB of
    // swap; otherwise swap is twice the RAM budget, saturating at 2^64 − 1 rather than wrapping to a
    // small budget.
    static Result<InferenceEngine> create(uint64_t vram_budget, uint64_t ram_budget) {
        auto scheduler = Scheduler::with_auto_detect();
        if (!scheduler) return std::unexpected(std::move(scheduler).error());
        if (vram_budget == 0 && ram_budget == 0)
            return InferenceEngine{TieredMemoryManager(kDefaultVramBudget, kDefaultRamBudget, kDefaultSwapBudget), std::move(*scheduler)};
        uint64_t swap_budget;
        if (mul_overflows(ram_budget, 2, &swap_budget)) swap_budget = UINT64_MAX;
        return InferenceEngine{TieredMemoryManager(vram_budget, ram_budget, swap_budget), std::move(*scheduler)};
    }

    // Detects the format, loads the metadata and records the layer order 0 … num_layers − 1.
    // A failure leaves the recorded order as it was.
    Result<ModelMetadata> load_model(const std::string& path) {
        auto loader = auto_detect_format(path);
        if (!loader) return std::unexpected(std::move(loader).error());
        auto metadata = (*loader)->load_metadata(path);
        if (!metadata) return metadata;
        memory.set_execution_order_len(metadata->num_layers);
        return metadata;
    }
};

}  // namespace quillfen
