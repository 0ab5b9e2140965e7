// Weights kept in their stored form: every packed kernel against the float32 product of the dequantised
// weights, bit for bit, for every stored type; the zero rules; loading a file.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "formats/gguf_types.hpp"
#include "inference/dequant.hpp"
#include "inference/forward.hpp"
#include "compute/kernels.hpp"
#include "float_bits.hpp"
#include "format_fixtures.hpp"

using namespace quillfen;
using namespace quillfen::testing;

namespace {

// Random stored bytes for `n` elements of `type`. With `finite`, every half field is a finite value
// (subnormals included), so sums stay comparable bit for bit; without, NaN and infinity scales occur.
std::vector<uint8_t> random_tensor(uint32_t type, uint64_t n, uint32_t seed, bool finite = true) {
    std::mt19937 gen(seed);
    const uint64_t bytes = *gguf_data_size(type, n);
    std::vector<uint8_t> b(bytes);
    for (auto& v : b) v = uint8_t(gen());
    auto finite_half = [&](uint8_t* p) {
        uint16_t h;
        std::memcpy(&h, p, 2);
        if (((h >> 10) & 31) == 31) h &= uint16_t(~(1u << 14));  // exponent 31 -> 15: finite
        std::memcpy(p, &h, 2);
    };
    if (type == 0) {  // F32: moderate finite values
        const auto f = random_floats(n, seed);
        std::memcpy(b.data(), f.data(), n * 4);
    } else if (finite) {
        with_gguf_block(type, [&]<class Block>() {
            for (uint64_t k = 0; k * sizeof(Block) < bytes; ++k)
                for (uint32_t off : gguf_block::half_fields<Block>()) finite_half(b.data() + k * sizeof(Block) + off);
        });
    }
    return b;
}

// Every kernel this machine runs, over the whole matrix, plus matvec's own choice.
void expect_all_kernels(const WeightMatrix& w, const std::vector<float>& x, uint64_t rows, uint64_t cols,
                        const std::vector<float>& want, const std::string& what) {
    SCOPED_TRACE(what);
    expect_bits_equal(matvec(w, x, rows, cols), want);
    const PackedStorage* s = w.storage();
    if (s->format == PackedFormat::Flat || s->format == PackedFormat::Zeros || s->cols != cols) return;
    for (Isa isa : kAllIsas) {
        const KernelTable* k = kernel_table(isa);
        if (!k) continue;
        std::vector<float> out(rows, std::numeric_limits<float>::quiet_NaN());
        k->packed_groups(packed_view(*s), x.data(), out.data(), rows, 0, (rows + kPackRows - 1) / kPackRows);
        SCOPED_TRACE(isa_name(isa));
        expect_bits_equal(out, want);
    }
}

// The batched kernel of every level: each of `n` inputs (rows `stride` apart, longer than the
// matrix is wide) equals the float product of that input alone. One and two inputs take the kernel
// that decodes in registers; three, one tile of their own width; eleven, whole token tiles and a
// remainder at every level; 70 span two passes of kBatchSpan.
void expect_batched_kernels(const WeightMatrix& w, const std::vector<float>& floats, uint64_t rows, uint64_t cols,
                            bool infinite_input) {
    const PackedStorage* s = w.storage();
    if (s->format == PackedFormat::Flat || s->format == PackedFormat::Zeros || s->cols != cols) return;
    for (uint64_t n : {1u, 2u, 3u, 11u, 70u}) {
        const uint64_t stride = cols + 3, out_stride = rows + 5;
        auto xs = random_floats(n * stride, uint32_t(n * 7 + cols));
        if (infinite_input) xs[(n - 1) * stride + 1] = std::numeric_limits<float>::infinity();  // the last input
        for (Isa isa : kAllIsas) {
            const KernelTable* k = kernel_table(isa);
            if (!k) continue;
            SCOPED_TRACE(std::string(isa_name(isa)) + " n=" + std::to_string(n));
            std::vector<float> out(n * out_stride, std::numeric_limits<float>::quiet_NaN());
            k->packed_groups_batch(packed_view(*s), xs.data(), stride, n, out.data(), out_stride, rows, 0,
                                   (rows + kPackRows - 1) / kPackRows);
            for (uint64_t t = 0; t < n; ++t) {
                const std::vector<float> x(xs.begin() + t * stride, xs.begin() + t * stride + cols);
                const std::vector<float> got(out.begin() + t * out_stride, out.begin() + t * out_stride + rows);
                expect_bits_equal(got, serial_matvec(floats, x, rows, cols));
                // Nothing written past the rows: the padding rows of the last group stay out.
                EXPECT_TRUE(std::isnan(out[t * out_stride + rows]));
            }
        }
    }
}

// Every type code of the table, and one past it.
class PackedTypes : public ::testing::TestWithParam<uint32_t> {};

std::string type_name(const ::testing::TestParamInfo<uint32_t>& info) {
    return std::string(gguf_type_info(info.param).name) + "_" + std::to_string(info.param);
}

TEST_P(PackedTypes, EveryKernelEqualsTheFloatProductBitForBit) {
    const uint32_t type = GetParam();
    const PackedFormat kept = gguf_type_info(type).packed;
    const uint64_t block = std::max<uint64_t>(gguf_type_info(type).block_elems, 32);  // whole blocks per row
    for (uint64_t rows : {1u, 7u, 17u, 19u, 33u, 70u}) {
        // Whole blocks per row, and rows that straddle blocks (F32/F16: any width; others kept as float32).
        for (uint64_t cols : {block, 2 * block, 3 * block, block + 8}) {
            const bool finite = rows != 19;  // 19 rows: NaN and infinity scales and an infinite input
            const uint64_t n = rows * cols;
            const auto bytes = random_tensor(type, n, uint32_t(rows * 1000 + cols + type), finite);
            const auto floats = dequantize_gguf(bytes, type, n);
            auto x = random_floats(cols, uint32_t(cols));
            if (!finite) x[1] = std::numeric_limits<float>::infinity();
            const WeightMatrix w = WeightMatrix::pack_gguf(bytes, type, n, cols);
            const std::string what = "rows=" + std::to_string(rows) + " cols=" + std::to_string(cols);
            PackedFormat want = kept;  // fewer rows than a group stay plain floats
            if (kept != PackedFormat::Zeros && rows < kPackRows) want = PackedFormat::Flat;
            else if (kept != PackedFormat::Zeros && kept != PackedFormat::F16 && cols % block) want = PackedFormat::F32;
            ASSERT_EQ(w.format(), want) << what;
            ASSERT_EQ(w.size(), floats.size());
            SCOPED_TRACE(what);
            expect_bits_equal(w.to_floats(), floats);
            expect_all_kernels(w, x, rows, cols, serial_matvec(floats, x, rows, cols), what);
            expect_batched_kernels(w, floats, rows, cols, !finite);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PackedTypes, ::testing::Range(0u, kGGUFTypeCount + 1), type_name);

class PackedShapes : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PackedShapes, ShortOrReshapedOperandsReadTheFlatValues) {
    const uint32_t type = GetParam();
    const uint64_t rows = 21, cols = 64;
    auto bytes = random_tensor(type, rows * cols, 11);
    const auto x = random_floats(cols, 12);
    // Bytes for fewer than all elements: block types decode fewer, F32/F16 pad with zeros.
    bytes.resize(bytes.size() - bytes.size() / rows - 1);
    const auto floats = dequantize_gguf(bytes, type, rows * cols);
    const WeightMatrix w = WeightMatrix::pack_gguf(bytes, type, rows * cols, cols);
    EXPECT_EQ(w.size(), floats.size());
    expect_bits_equal(w.to_floats(), floats);
    expect_bits_equal(matvec(w, x, rows, cols), matvec(std::span<const float>(floats), x, rows, cols));
    expect_bits_equal(matvec(w, std::span(x).first(cols - 1), 1, cols), {0.0f});
    // Fewer rows than stored, and every row that fits.
    const uint64_t fit = floats.size() / cols;
    expect_bits_equal(matvec(w, x, fit, cols), serial_matvec(floats, x, fit, cols));
    expect_bits_equal(matvec(w, x, 2, cols), serial_matvec(floats, x, 2, cols));
    EXPECT_EQ(w.format() == PackedFormat::Flat, fit < kPackRows);

    // Another row width reads the flat values: twenty packed rows of 64 and a tail.
    const uint64_t n = 20 * 64 + 40;
    const auto whole = random_tensor(type, n, 21);
    const auto flat = dequantize_gguf(whole, type, n);
    const WeightMatrix p = WeightMatrix::pack_gguf(whole, type, n, 64);
    EXPECT_NE(p.format(), PackedFormat::Flat);
    expect_bits_equal(p.to_floats(), flat);
    for (auto [r, c] : {std::pair<uint64_t, uint64_t>{41, 32}, {2, 148}, {3, 0}, {0, 64}}) {
        const auto xr = random_floats(c, 22);
        SCOPED_TRACE("rows=" + std::to_string(r) + " cols=" + std::to_string(c));
        expect_bits_equal(matvec(p, xr, r, c), serial_matvec(flat, xr, r, c));
    }
    std::vector<float> row(50);  // any element range decodes as the flat values: the embedding lookup
    p.decode(n - 50, row);
    expect_bits_equal(row, std::vector<float>(flat.end() - 50, flat.end()));
}

// The types that keep storage.
std::vector<uint32_t> stored_types() {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < kGGUFTypeCount; ++code)
        if (kGGUFTypes[code].packed != PackedFormat::Zeros) codes.push_back(code);
    return codes;
}

INSTANTIATE_TEST_SUITE_P(Table, PackedShapes, ::testing::ValuesIn(stored_types()), type_name);

TEST(PackedMatvec, EveryKernelDecodesEveryHalfExactly) {
    // One column of all 65,536 half-precision values times 1: each row's sum is its weight as the
    // kernel converted it (F16C, or the portable conversion by bits).
    std::vector<uint8_t> bytes(2 * 65536);
    for (uint32_t h = 0; h < 65536; ++h) std::memcpy(bytes.data() + 2 * h, &h, 2);  // little-endian
    const WeightMatrix w = WeightMatrix::pack_gguf(bytes, 1, 65536, 1);
    ASSERT_EQ(w.format(), PackedFormat::F16);
    expect_all_kernels(w, {1.0f}, 65536, 1, dequantize_gguf(bytes, 1, 65536), "every half");
}

TEST(PackedMatvec, ZeroWeightsStillMultiplyTheInput) {
    // 0 * inf is NaN and 0 * -1 is -0: zero weights held without storage must still compute both.
    const uint64_t rows = 21, cols = 4;
    const std::vector<float> x = {-1.0f, -2.0f, -0.5f, -3.0f};
    const WeightMatrix zeros = WeightMatrix::zeros(rows * cols);
    const auto out = matvec(zeros, x, rows, cols);
    expect_bits_equal(out, serial_matvec(std::vector<float>(rows * cols, 0.0f), x, rows, cols));
    EXPECT_TRUE(std::signbit(out[0]));
    EXPECT_TRUE(std::isnan(matvec(zeros, std::vector<float>{1, INFINITY, 0, 0}, rows, cols)[rows - 1]));
}

TEST(PackedMatvec, BatchEqualsSeparateProducts) {
    const auto qb = random_tensor(3, 48 * 64, 31), kb = random_tensor(8, 17 * 64, 32);
    const WeightMatrix q = WeightMatrix::pack_gguf(qb, 3, 48 * 64, 64), k = WeightMatrix::pack_gguf(kb, 8, 17 * 64, 64);
    const WeightMatrix flat(random_floats(3 * 64, 33));
    const auto x = random_floats(64, 34);
    std::vector<float> a(48), b(17), c(3), d(5, 7.0f);
    const MatvecTask tasks[] = {{&q, x, 48, 64, a.data()}, {&k, x, 17, 64, b.data()}, {&flat, x, 3, 64, c.data()},
                                {&k, x, 5, 64 * 4, d.data()}};  // too short: zeros
    matvec_batch(tasks);
    expect_bits_equal(a, matvec(q, x, 48, 64));
    expect_bits_equal(b, matvec(k, x, 17, 64));
    expect_bits_equal(c, matvec(flat, x, 3, 64));
    EXPECT_EQ(d, std::vector<float>(5, 0.0f));

    // A paired product and a finish: each row is finished once, after both products hold it, whether
    // the pair shares work items (both packed) or not (zero weights are summed outside them).
    struct Sum {
        float* a;
        const float* b;
        std::vector<int> seen;
        static void run(void* ctx, uint64_t begin, uint64_t end) {
            auto& s = *static_cast<Sum*>(ctx);
            for (uint64_t r = begin; r < end; ++r) {
                s.a[r] = s.a[r] + s.b[r];
                ++s.seen[r];
            }
        }
    };
    const WeightMatrix q2 = WeightMatrix::pack_gguf(random_tensor(8, 48 * 64, 35), 8, 48 * 64, 64);
    const WeightMatrix none = WeightMatrix::zeros(48 * 64);
    for (const WeightMatrix* other : {&q2, &none}) {
        std::vector<float> first(48), second(48);
        Sum sum{first.data(), second.data(), std::vector<int>(48)};
        const MatvecTask paired{other, x, 48, 64, second.data()};
        MatvecTask task{&q, x, 48, 64, first.data()};
        task.paired = &paired;
        task.finish = Sum::run;
        task.finish_ctx = &sum;
        matvec_batch(std::span(&task, 1));
        const auto p = matvec(q, x, 48, 64), o = matvec(*other, x, 48, 64);
        for (uint64_t r = 0; r < 48; ++r) EXPECT_EQ(std::bit_cast<uint32_t>(first[r]), std::bit_cast<uint32_t>(p[r] + o[r])) << r;
        EXPECT_EQ(sum.seen, std::vector<int>(48, 1));
    }
}

TEST(StoredLoad, LogitsEqualTheFloat32BuildAndTheTiedOutputSharesStorage) {
    const uint64_t h = 64, f = 96, vocab = 37;
    auto str = [](const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); };
    auto q = [&](uint32_t type, uint64_t n, uint32_t seed) { return str(random_tensor(type, n, seed)); };
    const std::string nb = f32_bytes(random_floats(h, 9));  // the norm weights
    TempDir dir;
    write_file(dir.file("m.gguf"),
               GGUFBuilder().kv_str("general.architecture", "llama").kv_u32("llama.attention.head_count", 4)
                   .kv_u32("llama.attention.head_count_kv", 2)
                   .tensor("token_embd.weight", {vocab * h}, 8, q(8, vocab * h, 1))
                   .tensor("output_norm.weight", {h}, 0, nb).tensor("blk.0.attn_norm.weight", {h}, 0, nb)
                   .tensor("blk.0.attn_q.weight", {h * h}, 3, q(3, h * h, 2))
                   .tensor("blk.0.attn_k.weight", {h * h / 2}, 2, q(2, h * h / 2, 3))
                   .tensor("blk.0.attn_v.weight", {h * h / 2}, 1, q(1, h * h / 2, 4))
                   .tensor("blk.0.attn_output.weight", {h * h}, 13, q(13, h * h, 5))  // rows not on blocks
                   .tensor("blk.0.ffn_norm.weight", {h}, 0, nb)
                   .tensor("blk.0.ffn_gate.weight", {f * h}, 3, q(3, f * h, 6))
                   .tensor("blk.0.ffn_up.weight", {f * h}, 8, q(8, f * h, 7))
                   .tensor("blk.0.ffn_down.weight", {h * f}, 3, q(3, h * f, 8)).build());
    auto stored = LlamaSession::load(dir.file("m.gguf"));
    ASSERT_TRUE(stored) << stored.error().message();
    EXPECT_EQ(stored->weights.output.data(), stored->weights.token_embd.data());
    EXPECT_EQ(stored->weights.token_embd.format(), PackedFormat::Q8_0);
    EXPECT_EQ(stored->weights.layers[0].ffn_down.format(), PackedFormat::Q4_1);
    // The same file decoded to float32 tensor by tensor and built as plain floats.
    auto opened = StoredDirectory::open(dir.file("m.gguf"));
    ASSERT_TRUE(opened);
    TensorMap decoded;
    for (const auto& [name, t] : opened->tensors()) decoded[name] = dequantize_gguf(t.bytes, t.dtype, t.n_elements);
    auto floats = build_llama_session(decoded, opened->hints(), std::numeric_limits<uint64_t>::max());
    ASSERT_TRUE(floats);
    for (uint32_t token : {3u, 36u, 0u, 37u, 5u}) {  // 37: past the table, zero embedding
        SCOPED_TRACE("token " + std::to_string(token));
        expect_bits_equal(forward(*stored, token), forward(*floats, token));
    }
}

}  // namespace
