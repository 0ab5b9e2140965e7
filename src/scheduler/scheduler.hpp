// Scheduler: owns the compute backends found at start-up and answers questions about them.
// Knows backends through their interface only; it does not know models or memory tiers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backends/backend.hpp"
#include "tensor/error.hpp"

namespace quillfen {

class Scheduler {
public:
    // Finds the available devices. Today that is always the CPU, sized by the pool's default
    // concurrency (reading it is the pool's first use); the error side is for devices that can fail.
    static Result<Scheduler> with_auto_detect();

    size_t backend_count() const { return backends_.size(); }
    // One (name, device type text) pair per backend, in detection order, e.g. ("CPU (8 threads)", "CPU").
    std::vector<std::pair<std::string, std::string>> backend_info() const;
    const std::vector<std::unique_ptr<Backend>>& backends() const { return backends_; }

private:
    Scheduler() = default;
    std::vector<std::unique_ptr<Backend>> backends_;  // fixed after detection
};

}  // namespace quillfen
