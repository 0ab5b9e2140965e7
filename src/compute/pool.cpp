#include "compute/pool.hpp"

#include <cstdlib>
#include <string>

#include <tbb/info.h>

namespace quillfen {

namespace {

int affinity_cores() {
    const int n = tbb::info::default_concurrency();  // counts the CPUs of the affinity mask
    return n > 0 ? n : 1;
}

}  // namespace

Result<int> requested_threads(std::string_view asked) {
    if (asked.empty()) return affinity_cores();
    uint64_t value = 0;
    bool ok = asked.size() <= 4;
    for (char c : asked) {
        if (c < '0' || c > '9') ok = false;
        else value = value * 10 + uint64_t(c - '0');
    }
    if (ok && value >= 1 && value <= kMaxThreads) return int(value);
    return fail("QUILLFEN_NUM_THREADS=" + std::string(asked) + " is not a thread count; use a whole number from 1 to " +
                std::to_string(kMaxThreads) + " (this process may run on " + std::to_string(affinity_cores()) +
                " cores)");
}

const Result<int>& chosen_threads() {
    static const Result<int> chosen = [] {
        const char* asked = std::getenv("QUILLFEN_NUM_THREADS");
        return requested_threads(asked ? asked : "");
    }();
    return chosen;
}

tbb::task_arena& pool() {
    static tbb::task_arena arena = [] {
        const Result<int>& n = chosen_threads();
        if (!n) fault(n.error().message());
        return tbb::task_arena(*n);
    }();
    return arena;
}

}  // namespace quillfen
