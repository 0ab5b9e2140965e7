// Times CpuBackend::matmul_f32 for an (m, k) float32 weight at several batch sizes on the default pool.
// Usage: bench_matmul [m k runs batch...]   (defaults: 4096 4096 15 1 8)
// Prints one line per batch: "quillfen batch=B m=M k=K runs=R median_ms=T gflops=G".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <tbb/info.h>

#include "backends/cpu.hpp"

using namespace quillfen;

namespace {

Tensor random_f32(std::vector<uint64_t> shape, uint64_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> values(n);
    for (auto& v : values) v = dist(gen);
    Tensor t;
    t.data = huge_page_vector<uint8_t>(n * 4);  // as the loader holds tensor data
    std::memcpy(t.data.data(), values.data(), t.data.size());
    t.shape = std::move(shape);
    t.dtype = DType::Float32;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t m = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
    const uint64_t k = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4096;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 15;
    std::vector<uint64_t> batches;
    for (int i = 4; i < argc; ++i) batches.push_back(std::strtoull(argv[i], nullptr, 10));
    if (batches.empty()) batches = {1, 8};

    const CpuBackend cpu(static_cast<uint64_t>(tbb::info::default_concurrency()));
    const Tensor weight = random_f32({m, k}, m * k, 1);
    for (uint64_t batch : batches) {
        const Tensor input = random_f32({batch, k}, batch * k, 2);
        std::vector<double> ms;
        for (int r = 0; r < runs + 2; ++r) {  // the first two warm the pool and the caches
            const auto t0 = std::chrono::steady_clock::now();
            auto out = cpu.matmul_f32(weight, input);
            const auto t1 = std::chrono::steady_clock::now();
            if (!out) {
                std::fprintf(stderr, "matmul failed: %s\n", out.error().message().c_str());
                return 1;
            }
            if (r >= 2) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        const double median = ms[ms.size() / 2];
        const double gflops = 2.0 * static_cast<double>(batch * m * k) / (median * 1e6);
        std::printf("quillfen batch=%llu m=%llu k=%llu runs=%d median_ms=%.3f gflops=%.2f\n",
                    static_cast<unsigned long long>(batch), static_cast<unsigned long long>(m),
                    static_cast<unsigned long long>(k), runs, median, gflops);
    }
    return 0;
}
