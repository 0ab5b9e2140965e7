// The single-input packed kernels alone, per stored type and kernel level: core cycles per sixteen
// weights (one group column) at 1 and 2 threads (per thread: wall time times threads), each level's ratio to the portable level
// timed in the same run. Two matrix sizes: one that stays in a core's L2 (the kernel's own work) and
// one streamed from beyond it, as a decode step reads its weights.
// Usage: bench_packed_kernels [--batch N,N,...] [TYPE...]   (GGUF type names, e.g. Q4_1 Q8_0; default:
// every packed type). Prints one line per (type, size, threads): cycles per 16 weights at each level
// and ratios to portable. With --batch, the batched kernel instead, at the chosen level: cycles per
// 16 weights for N inputs at once, and that over the single-input kernel's (what N sequences' decode
// steps cost against one's).
#include <x86intrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "formats/gguf_types.hpp"
#include "compute/kernels.hpp"
#include "compute/weights.hpp"

using namespace quillfen;

namespace {

struct Type {
    std::string_view name;
    uint32_t code;
};

// One type per packed format, by the name of the format.
std::vector<Type> timed_types() {
    std::vector<Type> types;
    for (std::string_view name : {"F32", "F16", "Q4_0", "Q4_1", "Q8_0", "Q5_1", "Q2_K", "Q4_K", "Q5_K", "Q6_K"})
        for (uint32_t code = 0; code < kGGUFTypeCount; ++code)
            if (kGGUFTypes[code].name == name) types.push_back({name, code});
    return types;
}

// Random stored bytes whose scales are finite halves, and F32/F16 values in [-1, 1).
std::vector<uint8_t> random_tensor(const Type& t, uint64_t n) {
    std::mt19937 gen(t.code + 1);
    std::vector<uint8_t> b(*gguf_data_size(t.code, n));
    for (auto& v : b) v = uint8_t(gen());
    if (t.code == 0 || t.code == 1) {
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (uint64_t i = 0; i < n; ++i) {
            const float f = dist(gen);
            if (t.code == 0) std::memcpy(b.data() + 4 * i, &f, 4);
            else {
                const uint16_t h = uint16_t(0x3800 + (gen() & 0x3ff));  // halves in [0.5, 1)
                std::memcpy(b.data() + 2 * i, &h, 2);
            }
        }
        return b;
    }
    with_gguf_block(t.code, [&]<class Block>() {
        for (uint64_t k = 0; k * sizeof(Block) < b.size(); ++k)
            for (uint32_t off : gguf_block::half_fields<Block>()) b[k * sizeof(Block) + off + 1] &= 0x3b;  // exponent < 31
    });
    return b;
}

// Core clock over the time-stamp counter's rate: a chain of dependent 64-bit multiplies, three core
// cycles each on every x86-64 core of the last decade, timed in ticks. Hardware cycle counters are
// often hidden inside virtual machines; this needs none.
double core_cycles_per_tick() {
    double best = 0;
    for (int rep = 0; rep < 3; ++rep) {
        uint64_t x = 3, n = 50'000'000;
        const uint64_t t0 = __rdtsc();
        asm volatile("1: imul %0, %0\n imul %0, %0\n imul %0, %0\n imul %0, %0\n dec %1\n jnz 1b"
                     : "+r"(x), "+r"(n));
        best = std::max(best, 12.0 * 50'000'000 / double(__rdtsc() - t0));
    }
    return best;
}

// Ticks per group column (16 weights) of `threads` threads each running its share of the groups,
// best of several passes: wall ticks times threads over the columns done. With n > 1, for n inputs
// (x: n rows of v.cols, out: n rows of `rows`) through the batched kernel.
double ticks_per_16(const KernelTable& k, const PackedView& v, const float* x, float* out, uint64_t rows,
                    int threads, int passes, uint64_t n = 1) {
    const uint64_t groups = (rows + kPackRows - 1) / kPackRows;
    double best = 1e300;
    for (int rep = 0; rep < 5; ++rep) {
        const uint64_t t0 = __rdtsc();
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                const uint64_t g0 = groups * t / threads, g1 = groups * (t + 1) / threads;
                for (int p = 0; p < passes; ++p) {
                    if (n == 1) k.packed_groups(v, x, out, rows, g0, g1);
                    else k.packed_groups_batch(v, x, v.cols, n, out, rows, rows, g0, g1);
                }
            });
        for (auto& th : pool) th.join();
        const double ticks = double(__rdtsc() - t0);
        best = std::min(best, ticks * threads / (double(groups) * double(v.cols) * passes));
    }
    return best;
}

// A random packed matrix of type t, `rows` x `cols` (rows 0: about 96 MiB stored), with `inputs` random
// input rows and room for their outputs.
struct Bench {
    uint64_t rows, n;
    WeightMatrix w;
    std::vector<float> x, out;
    int passes;
};
Bench prepare(const Type& t, uint64_t rows, uint64_t cols, uint64_t inputs) {
    if (rows == 0) rows = (96ull << 20) / *gguf_data_size(t.code, cols) / kPackRows * kPackRows;
    const uint64_t n = rows * cols;
    const auto bytes = random_tensor(t, n);
    Bench b{rows, n, WeightMatrix::pack_gguf(bytes, t.code, n, cols), std::vector<float>(cols * inputs),
            std::vector<float>(rows * inputs), std::max<int>(1, int(40'000'000 / n))};
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& f : b.x) f = dist(gen);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> wanted(argv + 1, argv + argc);
    std::vector<uint64_t> batches;
    if (!wanted.empty() && wanted[0] == "--batch" && wanted.size() >= 2) {
        for (size_t at = 0; at <= wanted[1].size();) {
            const size_t comma = std::min(wanted[1].find(',', at), wanted[1].size());
            batches.push_back(std::stoull(wanted[1].substr(at, comma - at)));
            at = comma + 1;
        }
        wanted.erase(wanted.begin(), wanted.begin() + 2);
    }
    struct Size {
        const char* name;
        uint64_t rows, cols;
    };
    // 1024 x 768 (whole 256-element blocks, L2-resident), and 1536 columns with rows enough for about
    // 96 MiB of stored weights, a small model's worth, streamed from memory as a decode step does.
    const Size sizes[] = {{"L2", 1024, 768}, {"stream", 0, 1536}};
    const double ratio = core_cycles_per_tick();
    std::printf("core cycles per time-stamp tick: %.3f (figures below are core cycles)\n", ratio);
    if (!batches.empty()) {
        const KernelTable& k = kernels();
        std::printf("level %s; cycles per 16 weights for N inputs, and over one input's\n",
                    std::string(isa_name(k.isa)).c_str());
        for (const Type& t : timed_types()) {
            if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), t.name) == wanted.end()) continue;
            for (const Size& s : sizes) {
                Bench b = prepare(t, s.rows, s.cols, *std::max_element(batches.begin(), batches.end()));
                const PackedView v = packed_view(*b.w.storage());
                for (int threads : {1, 2}) {
                    const double one = ratio * ticks_per_16(k, v, b.x.data(), b.out.data(), b.rows, threads, b.passes);
                    std::printf("%-5s %-7s %d thr  1: %.2f", std::string(t.name).c_str(), s.name, threads, one);
                    for (uint64_t inputs : batches) {
                        if (inputs == 1) continue;
                        const double c =
                            ratio * ticks_per_16(k, v, b.x.data(), b.out.data(), b.rows, threads, b.passes, inputs);
                        std::printf("   %llu: %.2f (%.2fx)", static_cast<unsigned long long>(inputs), c, c / one);
                    }
                    std::printf("\n");
                    std::fflush(stdout);
                }
            }
        }
        return 0;
    }
    std::printf("%-5s %-7s %3s", "type", "size", "thr");
    for (Isa isa : kAllIsas) std::printf(" %9s", std::string(isa_name(isa)).c_str());
    std::printf("   (cycles per 16 weights)  ratio to portable\n");
    for (const Type& t : timed_types()) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), t.name) == wanted.end()) continue;
        for (const Size& s : sizes) {
            Bench b = prepare(t, s.rows, s.cols, 1);
            for (int threads : {1, 2}) {
                std::printf("%-5s %-7s %3d", std::string(t.name).c_str(), s.name, threads);
                std::vector<double> per;
                for (Isa isa : kAllIsas) {
                    const KernelTable* k = kernel_table(isa);
                    per.push_back(k ? ratio * ticks_per_16(*k, packed_view(*b.w.storage()), b.x.data(), b.out.data(),
                                                           b.rows, threads, b.passes)
                                    : 0.0);
                    std::printf(" %9.2f", per.back());
                }
                std::printf("  ");
                for (size_t i = 1; i < per.size(); ++i)
                    if (per[i] > 0) std::printf(" %s %.2fx", std::string(isa_name(kAllIsas[i])).c_str(), per[0] / per[i]);
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
