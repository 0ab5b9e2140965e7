#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "backends/cpu.hpp"
#include "compute/kernels.hpp"
#include "float_bits.hpp"

using namespace quillfen;
using quillfen::testing::expect_bits_equal;
using Floats = std::vector<float>;
using Shape = std::vector<uint64_t>;

namespace {

Tensor f32_tensor(Shape shape, const Floats& values) {
    Tensor t{.data = std::vector<uint8_t>(values.size() * 4), .shape = std::move(shape)};
    if (!values.empty()) std::memcpy(t.data.data(), values.data(), t.data.size());
    return t;
}

Floats floats_of(const Tensor& t) {
    Floats out(t.data.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), t.data.data(), t.data.size());
    return out;
}

// The documented sum, written the obvious serial way: from 0.0, products in increasing l.
Floats reference_matmul(const Floats& w, const Floats& x, uint64_t batch, uint64_t m, uint64_t k) {
    Floats out(batch * m, 0.0f);
    for (uint64_t b = 0; b < batch; ++b)
        for (uint64_t j = 0; j < m; ++j)
            for (uint64_t l = 0; l < k; ++l) out[b * m + j] += x[b * k + l] * w[l * m + j];
    return out;
}

// Values spread over many magnitudes and both signs, so that another summation order (or a fused
// multiply-add) changes the rounded results.
Floats spread_values(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-12, 12);
    Floats v(n);
    for (auto& f : v) f = std::ldexp(mantissa(gen), exponent(gen));
    return v;
}

const CpuBackend kCpu(4);

}  // namespace

TEST(CpuMatmul, SmallExamplesAndEdgeShapes) {
    const Floats w23 = {1, 2, 3, 4, 5, 6};
    Floats w235 = w23;
    w235.resize(30, 100.0f);  // only the leading m x k floats are read
    // weight and input shapes, weight, input, the output and its shape
    const std::tuple<Shape, Shape, Floats, Floats, Floats, Shape> cases[] = {
        {{2, 3}, {3}, w23, {1, 1, 1}, {9, 12}, {1, 2}},  // elements 0,2,4 and 1,3,5: m varies fastest
        {{2, 3}, {2, 3}, w23, {1, 1, 1, 2, 2, 2}, {9, 12, 18, 24}, {2, 2}},
        {{2, 3, 5}, {1, 3, 7}, w235, Floats(21, 1.0f), {9, 12}, {1, 2}},  // extra dimensions are ignored
        {{1, 2}, {2}, {-0.0f, -0.0f}, {1, 1}, {0.0f}, {1, 1}},  // the sum starts at +0.0, not the first -0.0
        {{3, 0}, {2, 0}, {}, {}, Floats(6, 0.0f), {2, 3}},  // k = 0
        {{2, 3}, {0, 3}, w23, {}, {}, {0, 2}},              // no rows
    };
    for (const auto& [weight_shape, input_shape, weight, input, want, want_shape] : cases) {
        auto out = kCpu.execute(Operation{f32_tensor(weight_shape, weight)}, f32_tensor(input_shape, input));
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_EQ(std::tie(out->shape, out->dtype), std::tuple(want_shape, DType::Float32));
        EXPECT_FALSE(out->label);
        expect_bits_equal(floats_of(*out), want);
    }
}

// Every remainder of the kernel's loops: k not a multiple of the unrolled step, m across column
// blocks and vector widths, several rows at once (spread over the worker pool).
TEST(CpuMatmul, BitEqualToSerialReferenceForEveryLoopRemainder) {
    for (auto [batch, m, k] : {std::array<uint64_t, 3>{1, 1, 1}, {1, 7, 3}, {2, 9, 4}, {3, 17, 5}, {4, 33, 8},
                               {5, 513, 7}, {7, 1031, 37}, {9, 64, 130}, {1, 1, 4099}, {2, 4099, 6}, {1, 8195, 3}}) {
        SCOPED_TRACE("batch " + std::to_string(batch) + ", m " + std::to_string(m) + ", k " + std::to_string(k));
        const Floats w = spread_values(m * k, 1 + uint32_t(m)), x = spread_values(batch * k, 2 + uint32_t(k));
        auto out = kCpu.matmul_f32(f32_tensor({m, k}, w), f32_tensor({batch, k}, x));
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_EQ(out->shape, (Shape{batch, m}));
        const Floats want = reference_matmul(w, x, batch, m, k);
        expect_bits_equal(floats_of(*out), want);
        for (Isa isa : kAllIsas) {  // every level this CPU runs, not only the chosen one
            const KernelTable* table = kernel_table(isa);
            if (!table) continue;
            Floats rows(batch * m, 0.0f);
            table->matmul_rows(rows.data(), x.data(), batch, w.data(), m, k, 0, m);
            expect_bits_equal(rows, want);
            // Column ranges done one by one (as the workers split them), rows one by one.
            Floats split(batch * m, 0.0f);
            for (uint64_t b = 0; b < batch; ++b)
                for (uint64_t j = 0; j < m; j += 37)
                    table->matmul_rows(split.data() + b * m, x.data() + b * k, 1, w.data(), m, k, j, std::min(j + 37, m));
            expect_bits_equal(split, want);
        }
    }
}

// Callers on several threads share the worker pool and must each get exactly their own result.
TEST(CpuMatmul, ConcurrentCallersGetBitEqualResults) {
    const uint64_t batch = 67, m = 129, k = 45;
    const Floats w = spread_values(m * k, 11), x = spread_values(batch * k, 12);
    const Tensor weight = f32_tensor({m, k}, w), input = f32_tensor({batch, k}, x);
    std::vector<Floats> results(4);
    std::vector<std::thread> callers;
    for (auto& r : results) callers.emplace_back([&] { r = floats_of(*kCpu.execute(Operation{weight}, input)); });
    for (auto& t : callers) t.join();
    for (const auto& r : results) expect_bits_equal(r, reference_matmul(w, x, batch, m, k));
}

TEST(CpuMatmul, RejectsShapesTheDataCannotBack) {
    constexpr uint64_t kHuge = uint64_t{1} << 62;
    // weight shape and floats, input shape and floats, the shapes as the message shows them
    const std::tuple<Shape, size_t, Shape, size_t, const char*> cases[] = {
        {{4096}, 4096, {1, 4096}, 4096, "weight=[4096], input=[1, 4096]"},
        {{2, 3}, 6, {}, 1, "weight=[2, 3], input=[]"},
        {{0, 3}, 0, {3}, 3, "weight=[0, 3], input=[3]"},
        // Shapes that claim more floats than the tensors hold must not be read past their end.
        {{2, 3, 0}, 0, {3}, 3, "weight=[2, 3, 0], input=[3]"},
        {{2, 3}, 5, {3}, 3, "weight=[2, 3], input=[3]"},
        {{2, 3}, 6, {2, 3}, 5, "weight=[2, 3], input=[2, 3]"},
        {{2, 3}, 6, {kHuge, 3}, 6, "weight=[2, 3], input=[4611686018427387904, 3]"},
        {{kHuge, 8}, 8, {8}, 8, "weight=[4611686018427387904, 8], input=[8]"},
        // With k = 0 no data backs the output's size: a huge zero output is refused, not allocated.
        {{kHuge, 0}, 0, {kHuge, 0}, 0, "weight=[4611686018427387904, 0], input=[4611686018427387904, 0]"},
        {{1 << 16, 0}, 0, {1 << 14, 0}, 0, "weight=[65536, 0], input=[16384, 0]"},
    };
    for (const auto& [weight_shape, weight_floats, input_shape, input_floats, shapes] : cases) {
        auto out = kCpu.execute(Operation{f32_tensor(weight_shape, Floats(weight_floats, 1.0f))},
                                f32_tensor(input_shape, Floats(input_floats, 1.0f)));
        ASSERT_FALSE(out) << shapes;
        EXPECT_EQ(out.error().message(), std::string("Invalid shapes for matmul: ") + shapes);
        EXPECT_EQ(out.error().cause(), nullptr);
    }
}

TEST(CpuMatmul, OtherDtypesPassThroughExecuteAndAreRefusedByTheKernel) {
    const Tensor weight = f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6});
    for (auto [weight_dtype, input_dtype] : {std::pair{DType::Float16, DType::Float32}, {DType::Float32, DType::Int4}}) {
        Tensor w = weight;
        w.dtype = weight_dtype;
        // Not even a valid size: nothing of it is examined.
        const Tensor input{.data = {1, 2, 3, 4, 5, 6}, .shape = {7}, .label = "kept", .dtype = input_dtype};
        auto out = kCpu.execute(Operation{w}, input);
        ASSERT_TRUE(out);
        EXPECT_EQ(std::tie(out->data, out->shape, out->label, out->dtype),
                  std::tie(input.data, input.shape, input.label, input.dtype));
    }
    auto out = kCpu.matmul_f32(weight, Tensor{.data = std::vector<uint8_t>(12), .shape = {3}, .dtype = DType::Float16});
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message(), "Invalid dtype for operation: float16");
}
