// Greedy decoding on a GGUF model straight through the core: load time, tokens per second, peak RSS,
// and a digest of every logit's bits, so two builds can be compared for bit-identical output. Then the
// cost of one parallel region on the worker pool (an empty one, back to back) and its share of a token:
// a step opens five per layer (the query/key/value products, attention, the output product, the gate
// and up products, the down product) and one for the logits.
// Usage: bench_decode MODEL STEPS [PROMPT_TOKEN...]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tbb/parallel_for.h>

#include "inference/forward.hpp"
#include "compute/pool.hpp"
#include "inference/sampler.hpp"

using namespace quillfen;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODEL STEPS [PROMPT_TOKEN...]\n", argv[0]);
        return 2;
    }
    const int steps = std::atoi(argv[2]);
    std::vector<uint32_t> prompt;
    for (int i = 3; i < argc; ++i) prompt.push_back(uint32_t(std::strtoul(argv[i], nullptr, 10)));
    if (prompt.empty()) prompt = {1, 9690, 2683, 314, 253, 2};

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    auto loaded = LlamaSession::load(argv[1]);
    if (!loaded) {
        std::fprintf(stderr, "load failed: %s\n", loaded.error().message().c_str());
        return 1;
    }
    LlamaSession& s = *loaded;
    const double load_s = std::chrono::duration<double>(Clock::now() - t0).count();

    uint64_t digest = 1469598103934665603ull;  // FNV-1a over every logit's bits
    auto fold = [&](const std::vector<float>& logits) {
        for (float v : logits) {
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            for (int k = 0; k < 4; ++k) digest = (digest ^ ((bits >> (8 * k)) & 0xFF)) * 1099511628211ull;
        }
    };
    uint32_t token = 0;
    for (uint32_t t : prompt) {
        auto logits = forward(s, t);
        fold(logits);
        token = sample(std::move(logits), 0.0f, 0, 1.0f, s.rng_state);
    }
    std::printf("tokens:");
    const auto t1 = Clock::now();
    for (int i = 0; i < steps; ++i) {
        std::printf(" %u", token);
        auto logits = forward(s, token);
        fold(logits);
        token = sample(std::move(logits), 0.0f, 0, 1.0f, s.rng_state);
    }
    const double gen_s = std::chrono::duration<double>(Clock::now() - t1).count();
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    std::printf("\ndigest: %016llx\nload_s: %.3f\ntok_per_s: %.2f\npeak_rss_mib: %.1f\n", (unsigned long long)digest,
                load_s, steps / gen_s, ru.ru_maxrss / 1024.0);

    // Each region holds two items per worker of 2 us each, about what a small product's items take;
    // what it costs past their even share of the workers is the region's own overhead.
    constexpr int kRegions = 5000;
    constexpr auto kItem = std::chrono::microseconds(2);
    double region_us = 0;
    pool().execute([&] {
        const int workers = pool().max_concurrency();
        const uint64_t items = 2 * uint64_t(workers);
        const auto r0 = Clock::now();
        for (int i = 0; i < kRegions; ++i)
            tbb::parallel_for(
                tbb::blocked_range<uint64_t>(0, items, 1),
                [&](const tbb::blocked_range<uint64_t>& r) {
                    const auto until = Clock::now() + kItem * r.size();
                    while (Clock::now() < until) {
                    }
                },
                tbb::simple_partitioner());
        const double per_region = std::chrono::duration<double, std::micro>(Clock::now() - r0).count() / kRegions;
        region_us = per_region - double(kItem.count()) * double(items) / workers;
    });
    const double regions = 5.0 * double(s.weights.layers.size()) + 1.0;
    std::printf("region_us: %.2f\nregions_per_token: %.0f\nregion_share: %.3f\n", region_us, regions,
                regions * region_us * 1e-6 * steps / gen_s);
    return 0;
}
