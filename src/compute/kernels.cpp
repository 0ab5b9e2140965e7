// Chooses the kernel table once. Baseline code: it runs before anything is known about the CPU.
#include "compute/kernels.hpp"

#include <cstdlib>
#include <vector>

namespace quillfen {

// Each defined in its own translation unit, compiled for its level.
extern const KernelTable kPortableKernels;
#if defined(__x86_64__)
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;
#endif

std::string_view isa_name(Isa isa) {
    switch (isa) {
        case Isa::Portable: return "portable";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
    }
    return "unknown";
}

namespace {

// The CPU features each level's code may use. __builtin_cpu_supports also checks that the operating
// system saves the wider registers.
#if defined(__x86_64__)
struct Feature {
    const char* name;
    bool present;
};

std::vector<Feature> cpu_features() {
    __builtin_cpu_init();
    return {{"avx2", bool(__builtin_cpu_supports("avx2"))},
            {"fma", bool(__builtin_cpu_supports("fma"))},
            {"f16c", bool(__builtin_cpu_supports("f16c"))},
            {"avx512f", bool(__builtin_cpu_supports("avx512f"))}};
}

std::vector<const char*> features_needed(Isa isa) {
    switch (isa) {
        case Isa::Portable: return {};
        case Isa::Avx2: return {"avx2", "fma", "f16c"};
        case Isa::Avx512: return {"avx2", "fma", "f16c", "avx512f"};
    }
    return {};
}

bool has_feature(std::string_view name) {
    static const std::vector<Feature> features = cpu_features();
    for (const Feature& f : features)
        if (name == f.name) return f.present;
    return false;
}
#endif

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
    return out.empty() ? "none" : out;
}

// The levels this CPU runs, for a refusal.
std::string levels_run() {
    std::vector<std::string> levels;
    for (Isa isa : kAllIsas)
        if (cpu_runs(isa)) levels.emplace_back(isa_name(isa));
    return join(levels);
}

// What keeps this CPU from running `isa`, and what it has instead.
std::string shortfall(Isa isa) {
#if defined(__x86_64__)
    std::vector<std::string> lacking, present;
    for (const char* f : features_needed(isa))
        if (!has_feature(f)) lacking.emplace_back(f);
    for (const Feature& f : cpu_features())
        if (f.present) present.emplace_back(f.name);
    return "it lacks " + join(lacking) + " (it has " + join(present) + "; it runs " + levels_run() + ")";
#else
    (void)isa;
    return "it is not an x86-64 CPU (it runs " + levels_run() + ")";
#endif
}

}  // namespace

bool cpu_runs(Isa isa) {
#if defined(__x86_64__)
    for (const char* f : features_needed(isa))
        if (!has_feature(f)) return false;
    return true;
#else
    return isa == Isa::Portable;
#endif
}

const KernelTable* kernel_table(Isa isa) {
    if (!cpu_runs(isa)) return nullptr;
    switch (isa) {
        case Isa::Portable: return &kPortableKernels;
#if defined(__x86_64__)
        case Isa::Avx2: return &kAvx2Kernels;
        case Isa::Avx512: return &kAvx512Kernels;
#endif
        default: return nullptr;
    }
}

Result<Isa> requested_isa(std::string_view asked) {
    Isa best = Isa::Portable;
    for (Isa isa : kAllIsas)
        if (cpu_runs(isa)) best = isa;
    if (asked.empty()) return best;
    const std::string setting = "QUILLFEN_ISA=" + std::string(asked);
    for (Isa isa : kAllIsas) {
        if (asked != isa_name(isa)) continue;
        if (cpu_runs(isa)) return isa;
        return fail(setting + " asks for kernels this CPU cannot run: " + shortfall(isa));
    }
    return fail(setting + " is not a kernel level; use portable, avx2 or avx512 (this CPU runs " + levels_run() + ")");
}

const Result<Isa>& chosen_isa() {
    static const Result<Isa> chosen = [] {
        const char* asked = std::getenv("QUILLFEN_ISA");
        return requested_isa(asked ? asked : "");
    }();
    return chosen;
}

const KernelTable& kernels() {
    static const KernelTable* table = [] {
        const Result<Isa>& isa = chosen_isa();
        if (!isa) fault(isa.error().message());
        return kernel_table(*isa);
    }();
    return *table;
}

void unknown_packed_format(PackedFormat format) {
    fault("not a packed format: " + std::to_string(int(format)));
}

}  // namespace quillfen
