#include "scheduler/scheduler.hpp"

#include <tbb/info.h>

#include "backends/cpu.hpp"
#include "compute/pool.hpp"

namespace quillfen {

Result<Scheduler> Scheduler::with_auto_detect() {
    Scheduler scheduler;
    // The runtime's pool: QUILLFEN_NUM_THREADS workers, or the cores the process may use.
    const Result<int>& chosen = chosen_threads();
    const int threads = chosen ? *chosen : tbb::info::default_concurrency();
    scheduler.backends_.push_back(std::make_unique<CpuBackend>(static_cast<uint64_t>(threads > 0 ? threads : 1)));
    return scheduler;
}

std::vector<std::pair<std::string, std::string>> Scheduler::backend_info() const {
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(backends_.size());
    for (const auto& backend : backends_) {
        DeviceInfo info = backend->device_info();
        out.emplace_back(std::move(info.name), std::string(device_type_name(info.device_type)));
    }
    return out;
}

}  // namespace quillfen
