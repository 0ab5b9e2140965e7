// The worker pool the LLaMA runtime computes on: one oneTBB arena for the process, sized once from
// QUILLFEN_NUM_THREADS or, without it, from the cores this process may run on (its affinity mask).
#pragma once

#include <cstdint>
#include <string_view>

#include <tbb/task_arena.h>

#include "tensor/error.hpp"

namespace quillfen {

inline constexpr uint64_t kMaxThreads = 1024;

// The worker count `asked` (QUILLFEN_NUM_THREADS's value) names: a decimal count from 1 to kMaxThreads;
// empty means the cores the process may use. Anything else is an error that says what is accepted.
Result<int> requested_threads(std::string_view asked);
// QUILLFEN_NUM_THREADS read once, at the first call (module initialisation reports a refusal first).
const Result<int>& chosen_threads();
// The process-wide arena of chosen_threads() workers; a refused setting is an internal fault here.
tbb::task_arena& pool();

}  // namespace quillfen
