#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include <tbb/info.h>
#include <tbb/task_arena.h>

#include "backends/cpu.hpp"

using namespace quillfen;

namespace {

Tensor f32_tensor(std::vector<uint64_t> shape, const std::vector<float>& values) {
    Tensor t;
    t.data.resize(values.size() * 4);
    if (!values.empty()) std::memcpy(t.data.data(), values.data(), t.data.size());
    t.shape = std::move(shape);
    t.dtype = DType::Float32;
    return t;
}

std::vector<float> floats_of(const Tensor& t) {
    std::vector<float> out(t.data.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), t.data.data(), t.data.size());
    return out;
}

// The documented sum, written the obvious serial way: from 0.0, products in increasing l.
std::vector<float> reference_matmul(const std::vector<float>& w, const std::vector<float>& x, uint64_t batch,
                                    uint64_t m, uint64_t k) {
    std::vector<float> out(batch * m);
    for (uint64_t b = 0; b < batch; ++b)
        for (uint64_t j = 0; j < m; ++j) {
            float sum = 0.0f;
            for (uint64_t l = 0; l < k; ++l) {
                const float product = x[b * k + l] * w[l * m + j];
                sum += product;
            }
            out[b * m + j] = sum;
        }
    return out;
}

// Values spread over many magnitudes and both signs, so that a different summation order
// (or a fused multiply-add) changes the rounded results.
std::vector<float> spread_values(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::vector<float> v(n);
    for (auto& f : v) f = std::ldexp(mantissa(gen), exponent(gen));
    return v;
}

void expect_bit_equal(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(want[i]))
            << "element " << i << ": " << got[i] << " vs " << want[i];
}

const CpuBackend kCpu(4);

}  // namespace

TEST(CpuMatmul, SingleRowExample) {
    auto out = kCpu.execute(Operation{f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6})}, f32_tensor({3}, {1, 1, 1}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(out->dtype, DType::Float32);
    EXPECT_FALSE(out->label);
    EXPECT_EQ(floats_of(*out), (std::vector<float>{9, 12}));  // elements 0,2,4 and 1,3,5: m varies fastest
}

TEST(CpuMatmul, TwoRowExample) {
    auto out = kCpu.execute(Operation{f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6})},
                            f32_tensor({2, 3}, {1, 1, 1, 2, 2, 2}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{2, 2}));
    EXPECT_EQ(floats_of(*out), (std::vector<float>{9, 12, 18, 24}));
}

TEST(CpuMatmul, ExtraDimensionsAreIgnored) {
    // Only weight dims 0, 1 and input dim 0 are read; the leading floats are used.
    std::vector<float> w(2 * 3 * 5, 100.0f);
    std::copy_n(std::vector<float>{1, 2, 3, 4, 5, 6}.begin(), 6, w.begin());
    auto out = kCpu.matmul_f32(f32_tensor({2, 3, 5}, w), f32_tensor({1, 3, 7}, std::vector<float>(21, 1.0f)));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(floats_of(*out), (std::vector<float>{9, 12}));
}

TEST(CpuMatmul, SumStartsFromPositiveZero) {
    // 0.0 + (-0.0) is +0.0: a sum seeded with the first product would give -0.0 instead.
    auto out = kCpu.matmul_f32(f32_tensor({1, 2}, {-0.0f, -0.0f}), f32_tensor({2}, {1, 1}));
    ASSERT_TRUE(out);
    EXPECT_EQ(std::bit_cast<uint32_t>(floats_of(*out)[0]), 0u);
}

struct ShapeCase {
    uint64_t batch, m, k;
};

class CpuMatmulOrder : public ::testing::TestWithParam<ShapeCase> {};

// Every remainder of the kernel's loops: k not a multiple of the unrolled step, m across column
// blocks and vector widths, several rows at once.
TEST_P(CpuMatmulOrder, BitEqualToSerialReference) {
    const auto [batch, m, k] = GetParam();
    const auto w = spread_values(m * k, 1 + static_cast<uint32_t>(m));
    const auto x = spread_values(batch * k, 2 + static_cast<uint32_t>(k));
    auto out = kCpu.matmul_f32(f32_tensor({m, k}, w), f32_tensor({batch, k}, x));
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{batch, m}));
    expect_bit_equal(floats_of(*out), reference_matmul(w, x, batch, m, k));
}

INSTANTIATE_TEST_SUITE_P(Shapes, CpuMatmulOrder,
                         ::testing::Values(ShapeCase{1, 1, 1}, ShapeCase{1, 7, 3}, ShapeCase{2, 9, 4},
                                           ShapeCase{3, 17, 5}, ShapeCase{4, 33, 8}, ShapeCase{5, 513, 7},
                                           ShapeCase{7, 1031, 37}, ShapeCase{9, 64, 130}, ShapeCase{1, 1, 4099},
                                           ShapeCase{2, 4099, 6}, ShapeCase{1, 8195, 3}),
                         [](const auto& info) {
                             return "b" + std::to_string(info.param.batch) + "_m" + std::to_string(info.param.m) +
                                    "_k" + std::to_string(info.param.k);
                         });

TEST(CpuMatmulOrder, ReferenceIsOrderSensitiveOnThisData) {
    // Guards the test above: on this data a reversed summation differs, so order faults would show.
    const uint64_t m = 33, k = 37;
    const auto w = spread_values(m * k, 5);
    const auto x = spread_values(k, 6);
    const auto forward = reference_matmul(w, x, 1, m, k);
    size_t differing = 0;
    for (uint64_t j = 0; j < m; ++j) {
        float sum = 0.0f;
        for (uint64_t l = k; l-- > 0;) sum += x[l] * w[l * m + j];
        differing += std::bit_cast<uint32_t>(sum) != std::bit_cast<uint32_t>(forward[j]);
    }
    EXPECT_GT(differing, 0u);
}

TEST(CpuMatmulParallel, ManyRowsInForeignArenasAndConcurrentCallers) {
    const uint64_t batch = 67, m = 129, k = 45;
    const auto w = spread_values(m * k, 11);
    const auto x = spread_values(batch * k, 12);
    const Tensor weight = f32_tensor({m, k}, w), input = f32_tensor({batch, k}, x);
    const auto want = reference_matmul(w, x, batch, m, k);

    // Different worker counts split the rows differently; the result must not depend on it.
    // (Arenas larger than the machine would only make the library warn.)
    for (int threads : {1, tbb::info::default_concurrency()}) {
        tbb::task_arena arena(threads);
        Result<Tensor> out = fail("not run");
        arena.execute([&] { out = kCpu.matmul_f32(weight, input); });
        ASSERT_TRUE(out);
        expect_bit_equal(floats_of(*out), want);
    }
    // Callers on several threads share the pool and write only their own outputs.
    std::vector<std::vector<float>> results(4);
    std::vector<std::thread> callers;
    for (auto& r : results)
        callers.emplace_back([&] { r = floats_of(*kCpu.execute(Operation{weight}, input)); });
    for (auto& t : callers) t.join();
    for (const auto& r : results) expect_bit_equal(r, want);
}

TEST(CpuMatmul, EmptyInnerDimensionGivesZeros) {
    auto out = kCpu.matmul_f32(f32_tensor({3, 0}, {}), f32_tensor({2, 0}, {}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(floats_of(*out), std::vector<float>(6, 0.0f));
}

TEST(CpuMatmul, EmptyBatchGivesEmptyOutput) {
    auto out = kCpu.matmul_f32(f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6}), f32_tensor({0, 3}, {}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{0, 2}));
    EXPECT_TRUE(out->data.empty());
}

struct BadShapeCase {
    const char* label;
    std::vector<uint64_t> weight_shape;
    size_t weight_floats;
    std::vector<uint64_t> input_shape;
    size_t input_floats;
    const char* message;
};

class CpuMatmulRejects : public ::testing::TestWithParam<BadShapeCase> {};

TEST_P(CpuMatmulRejects, WithTheShapeError) {
    const BadShapeCase& c = GetParam();
    auto out = kCpu.execute(Operation{f32_tensor(c.weight_shape, std::vector<float>(c.weight_floats, 1.0f))},
                            f32_tensor(c.input_shape, std::vector<float>(c.input_floats, 1.0f)));
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message(), c.message);
    EXPECT_EQ(out.error().cause(), nullptr);
}

constexpr uint64_t kHuge = uint64_t{1} << 62;

INSTANTIATE_TEST_SUITE_P(
    BadShapes, CpuMatmulRejects,
    ::testing::Values(
        BadShapeCase{"OneDimWeight", {4096}, 4096, {1, 4096}, 4096,
                     "Invalid shapes for matmul: weight=[4096], input=[1, 4096]"},
        BadShapeCase{"ScalarInput", {2, 3}, 6, {}, 1, "Invalid shapes for matmul: weight=[2, 3], input=[]"},
        BadShapeCase{"ScalarWeight", {}, 1, {3}, 3, "Invalid shapes for matmul: weight=[], input=[3]"},
        BadShapeCase{"ZeroRowsM", {0, 3}, 0, {3}, 3, "Invalid shapes for matmul: weight=[0, 3], input=[3]"},
        // Shapes that claim more floats than the tensors hold must not be read past their end.
        BadShapeCase{"WeightWithEmptyThirdDim", {2, 3, 0}, 0, {3}, 3,
                     "Invalid shapes for matmul: weight=[2, 3, 0], input=[3]"},
        BadShapeCase{"ShortWeight", {2, 3}, 5, {3}, 3, "Invalid shapes for matmul: weight=[2, 3], input=[3]"},
        BadShapeCase{"ShortInput", {2, 3}, 6, {2, 3}, 5, "Invalid shapes for matmul: weight=[2, 3], input=[2, 3]"},
        BadShapeCase{"ShortOneDimInput", {2, 3}, 6, {3}, 2, "Invalid shapes for matmul: weight=[2, 3], input=[3]"},
        BadShapeCase{"HugeBatch", {2, 3}, 6, {kHuge, 3}, 6,
                     "Invalid shapes for matmul: weight=[2, 3], input=[4611686018427387904, 3]"},
        BadShapeCase{"WeightElementCountOverflows", {kHuge, 8}, 8, {8}, 8,
                     "Invalid shapes for matmul: weight=[4611686018427387904, 8], input=[8]"},
        // With k = 0 no data backs the output's size: a huge zero output is refused, not allocated.
        BadShapeCase{"UnbackedHugeOutput", {kHuge, 0}, 0, {kHuge, 0}, 0,
                     "Invalid shapes for matmul: weight=[4611686018427387904, 0], "
                     "input=[4611686018427387904, 0]"},
        BadShapeCase{"UnbackedOutputPastCap", {uint64_t{1} << 16, 0}, 0, {uint64_t{1} << 14, 0}, 0,
                     "Invalid shapes for matmul: weight=[65536, 0], input=[16384, 0]"}),
    [](const auto& info) { return std::string(info.param.label); });

class CpuExecutePassthrough : public ::testing::TestWithParam<std::pair<DType, DType>> {};

TEST_P(CpuExecutePassthrough, NonFloat32OperandCopiesInputUnchanged) {
    const auto [weight_dtype, input_dtype] = GetParam();
    Tensor weight = f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6});
    weight.dtype = weight_dtype;
    Tensor input;
    input.data = {1, 2, 3, 4, 5, 6};
    input.shape = {7};  // not even a valid size: nothing is examined
    input.label = "kept";
    input.dtype = input_dtype;
    auto out = kCpu.execute(Operation{weight}, input);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data, input.data);
    EXPECT_EQ(out->shape, input.shape);
    EXPECT_EQ(out->label, input.label);
    EXPECT_EQ(out->dtype, input.dtype);
}

INSTANTIATE_TEST_SUITE_P(Dtypes, CpuExecutePassthrough,
                         ::testing::Values(std::pair{DType::Float32, DType::Float16},
                                           std::pair{DType::Float16, DType::Float32},
                                           std::pair{DType::Int4, DType::Int8},
                                           std::pair{DType::BFloat16, DType::BFloat16}));

TEST(CpuMatmul, DirectCallRefusesOtherDtypes) {
    Tensor input = f32_tensor({3}, {1, 1, 1});
    input.dtype = DType::Float16;
    auto out = kCpu.matmul_f32(f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6}), input);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message(), "Invalid dtype for operation: float16");
}

TEST(CpuBackend, DescribesItself) {
    const CpuBackend cpu(8);
    const Backend& backend = cpu;
    const DeviceInfo info = backend.device_info();
    EXPECT_EQ(info.name, "CPU (8 threads)");
    EXPECT_EQ(info.device_type, DeviceType::Cpu);
    EXPECT_EQ(device_type_name(info.device_type), "CPU");
    EXPECT_EQ(info.memory_bytes, 0u);
    EXPECT_EQ(info.compute_units, 0u);
    EXPECT_EQ(backend.estimated_throughput_flops(), 8e10);
    EXPECT_EQ(backend.estimated_bandwidth_bytes_per_sec(), 2.5e10);
    EXPECT_EQ(backend.current_utilisation(), 0.0);
    for (DType d : {DType::Float32, DType::Float16, DType::BFloat16, DType::Int8, DType::Int4})
        EXPECT_TRUE(backend.supports_dtype(d));
    EXPECT_EQ(CpuBackend(1).device_info().name, "CPU (1 threads)");
}
