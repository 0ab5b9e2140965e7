#include "inference/attention.hpp"

#include "compute/kernels.hpp"
#include "inference/model.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace quillfen {

void KVCache::reserve(uint64_t positions, uint64_t kv_heads, uint64_t dim) {
    if (chunks.empty()) {
        heads = kv_heads;
        head_dim = dim;
    }
    if (heads == 0 || head_dim == 0) return;
    if (positions > (uint64_t{1} << 48)) fault("key/value cache of " + std::to_string(positions) + " positions");
    while (chunk_begin(chunks.size()) < positions) {
        const uint64_t size = chunk_size(chunks.size());
        uint64_t head_floats = 0, key_floats = 0, slab_floats = 0, value_floats = 0;
        if (mul_overflows(size, head_dim, &head_floats) || mul_overflows(head_floats, heads, &key_floats) ||
            mul_overflows(value_slab_stride(chunks.size()), value_slabs(), &slab_floats) ||
            mul_overflows(slab_floats, heads, &value_floats))
            fault("key/value cache of " + std::to_string(positions) + " positions");
        // Left as the allocator gives it, so its pages are touched only as positions are stored;
        // store() clears each key block as its first position arrives.
        chunks.push_back({std::unique_ptr<float[]>(new float[key_floats]),
                          std::unique_ptr<float[]>(new float[value_floats])});
    }
}

void KVCache::store(uint64_t pos, const float* k, const float* v) {
    length = std::max(length, pos + 1);
    if (head_dim == 0 || heads == 0) return;  // zero-width heads hold nothing, however many there are
    const uint64_t c = chunk_of(pos), t = pos - chunk_begin(c), size = chunk_size(c);
    const uint64_t block = t / kKeyBlock * kKeyBlock * head_dim, lane = t % kKeyBlock;
    for (uint64_t h = 0; h < heads; ++h) {
        float* kb = chunks[c].keys.get() + h * size * head_dim + block;
        // The block's lanes past the positions held are read with it (their scores are dropped): they
        // hold zeros, not whatever the memory held.
        if (lane == 0) std::fill_n(kb, kKeyBlock * head_dim, 0.0f);
        const float* src = k + h * head_dim;
        for (uint64_t i = 0; i < head_dim; ++i) kb[i * kKeyBlock + lane] = src[i];
        float* vh = chunks[c].values.get() + h * value_slabs() * value_slab_stride(c) + t * kValueSlab;
        for (uint64_t i = 0; i < head_dim; i += kValueSlab)
            std::copy_n(v + h * head_dim + i, std::min(kValueSlab, head_dim - i), vh + i / kValueSlab * value_slab_stride(c));
    }
}

void KVCache::copy_prefix(const KVCache& other, uint64_t n) {
    if (n > other.length) fault("copying " + std::to_string(n) + " of " + std::to_string(other.length) + " positions");
    length = 0;
    reserve(n, other.heads, other.head_dim);
    if (heads != other.heads || head_dim != other.head_dim) fault("copying a cache of another shape");
    if (heads > 0 && head_dim > 0) {
        for (uint64_t c = 0; chunk_begin(c) < n; ++c) {
            const uint64_t held = std::min(chunk_size(c), n - chunk_begin(c));
            // Keys go by whole blocks: the lanes past n in the last one are overwritten as positions are stored.
            const uint64_t key_floats = (held + kKeyBlock - 1) / kKeyBlock * kKeyBlock * head_dim;
            for (uint64_t h = 0; h < heads; ++h) {
                std::copy_n(other.chunk_keys(c, h), key_floats, chunks[c].keys.get() + h * chunk_size(c) * head_dim);
                for (uint64_t s = 0; s < value_slabs(); ++s)
                    std::copy_n(other.chunk_values(c, h) + s * value_slab_stride(c), held * kValueSlab,
                                chunks[c].values.get() + (h * value_slabs() + s) * value_slab_stride(c));
            }
        }
    }
    length = n;
}

namespace {

// Attention of a batch's tokens over one layer's cache. The query heads one key/value head serves,
// for up to kAttnTokens consecutive tokens, form a unit: their scores are taken in one pass over the
// head's keys and their weighted sums in one pass over its values, so each key and value is read
// once per unit instead of once per query. Every score, softmax and sum keeps its serial order, so
// how units and ranges are spread over workers changes no bit.
inline constexpr uint64_t kAttnTokens = 8;
// With few units (a step of one token), the keys are split into runs of this many positions and the
// head width into runs of kAttnColumns, so every worker has a share of a long context.
inline constexpr uint64_t kAttnKeyRun = 512;
inline constexpr uint64_t kAttnColumns = kValueSlab;

class BatchAttention {
public:
    // `window`: each query sees only its own position and the window - 1 before it (0: every position).
    BatchAttention(const ModelConfig& c, const KVCache& cache, const float* q, float* att, uint64_t p, uint64_t n,
                   uint64_t window = 0)
        : cache_(cache), q_(q), att_(att), p_(p), n_(n), window_(window), q_dim_(c.q_dim), d_(c.head_dim),
          heads_(c.n_heads), group_(c.n_heads / std::max<uint64_t>(c.n_kv_heads, 1)),
          kv_heads_(c.n_kv_heads),
          tiles_((n + kAttnTokens - 1) / kAttnTokens),
          stride_((p + n + kKeyBlock - 1) / kKeyBlock * kKeyBlock),
          scale_(1.0f / std::sqrt(float(c.head_dim))),
          kt_(kernels()) {}

    void run(std::vector<float>& shared_scores) {
        const uint64_t units = kv_heads_ * tiles_;
        if (units == 0) return;
        const uint64_t workers = uint64_t(std::max(1, tbb::this_task_arena::max_concurrency()));
        if (units >= 2 * workers || p_ + n_ <= kAttnKeyRun) {
            tbb::parallel_for(
                tbb::blocked_range<uint64_t>(0, units, 1),
                [&](const tbb::blocked_range<uint64_t>& r) {
                    // Rows for one unit's queries, written before they are read.
                    const std::unique_ptr<float[]> own(new float[max_queries() * stride_]);
                    for (uint64_t u = r.begin(); u != r.end(); ++u) {
                        Unit unit = make_unit(u, own.get());
                        scores(unit, unit.key_begin, unit.t_len_max);
                        softmax(unit);
                        accumulate(unit, 0, d_);
                    }
                },
                tbb::auto_partitioner());
            return;
        }
        // Few units: keys, softmaxes and head columns each spread over the workers in turn.
        shared_scores.resize(units * max_queries() * stride_);
        std::vector<Unit> all;
        all.reserve(units);
        for (uint64_t u = 0; u < units; ++u) all.push_back(make_unit(u, shared_scores.data() + u * max_queries() * stride_));
        const uint64_t key_runs = (p_ + n_ + kAttnKeyRun - 1) / kAttnKeyRun;
        spread(units * key_runs, [&](uint64_t item) {
            Unit& unit = all[item / key_runs];
            const uint64_t run = item % key_runs * kAttnKeyRun;
            const uint64_t begin = std::max(run, unit.key_begin), end = std::min(run + kAttnKeyRun, unit.t_len_max);
            if (begin < end) scores(unit, begin, end);
        });
        spread(units, [&](uint64_t u) { softmax(all[u]); });
        const uint64_t column_runs = (d_ + kAttnColumns - 1) / kAttnColumns;
        spread(units * column_runs, [&](uint64_t item) {
            const uint64_t begin = item % column_runs * kAttnColumns;
            accumulate(all[item / column_runs], begin, std::min(begin + kAttnColumns, d_));
        });
    }

private:
    // The queries of one unit, token by token, each token's heads in order.
    struct Unit {
        uint64_t g = 0, count = 0, t_len_max = 0;
        uint64_t key_begin = 0;  // the first key any query of the unit sees, down to a key block
        uint64_t tokens = 0, per_token = 0;  // count = tokens * per_token
        std::vector<const float*> q;
        std::vector<float*> rows, out;
        std::vector<uint64_t> t_len;
    };

    uint64_t max_queries() const { return std::min(kAttnTokens, n_) * group_; }

    Unit make_unit(uint64_t u, float* rows) const {
        Unit unit;
        unit.g = u % kv_heads_;
        const uint64_t i0 = u / kv_heads_ * kAttnTokens, i1 = std::min(i0 + kAttnTokens, n_);
        const uint64_t h0 = unit.g * group_, h1 = h0 + group_;  // n_kv_heads * group <= n_heads
        unit.tokens = i1 - i0;
        unit.per_token = h1 - h0;
        for (uint64_t i = i0; i < i1; ++i)
            for (uint64_t hd = h0; hd < h1; ++hd) {
                unit.q.push_back(q_ + i * q_dim_ + hd * d_);
                unit.rows.push_back(rows + unit.rows.size() * stride_);
                unit.out.push_back(att_ + i * heads_ * d_ + hd * d_);
                unit.t_len.push_back(p_ + i + 1);
            }
        unit.count = unit.q.size();
        unit.t_len_max = p_ + i1;
        // Inside a window no query of the unit sees a position before its first token's window, so the
        // keys before it (to a whole key block) are neither scored nor summed: their weights are zero,
        // and a sum that skips zero terms keeps its bits.
        const uint64_t first_len = p_ + i0 + 1;
        if (window_ > 0 && first_len > window_) unit.key_begin = (first_len - window_) / kKeyBlock * kKeyBlock;
        return unit;
    }

    // Scores of every query of the unit over keys [begin, end) (begin on a key block). A query of an
    // earlier token gets scores past its own length too, which its softmax never reads.
    void scores(const Unit& unit, uint64_t begin, uint64_t end) const {
        for (uint64_t c = KVCache::chunk_of(begin); KVCache::chunk_begin(c) < end; ++c) {
            const uint64_t c0 = KVCache::chunk_begin(c), c1 = c0 + KVCache::chunk_size(c);
            const std::vector<float*> rows = shifted(unit.rows.data(), unit.count, c0);
            kt_.attn_scores(unit.q.data(), unit.count, cache_.chunk_keys(c, unit.g), std::max(begin, c0) - c0,
                            std::min(end, c1) - c0, d_, scale_, rows.data());
        }
    }

    // Inside a window, the softmax runs over the positions each query sees, and the weights of the
    // positions before them are zero, as the reference's masked exponentials are.
    void softmax(const Unit& unit) const {
        if (window_ == 0) return kt_.attn_softmax(unit.rows.data(), unit.t_len.data(), unit.count);
        std::vector<float*> rows(unit.rows);
        std::vector<uint64_t> len(unit.t_len);
        std::vector<uint64_t> first(unit.count, 0);
        for (uint64_t j = 0; j < unit.count; ++j) {
            first[j] = len[j] > window_ ? len[j] - window_ : 0;
            rows[j] += first[j];
            len[j] -= first[j];
        }
        kt_.attn_softmax(rows.data(), len.data(), unit.count);
        for (uint64_t j = 0; j < unit.count; ++j) std::fill(unit.rows[j] + unit.key_begin, unit.rows[j] + first[j], 0.0f);
    }

    // Columns [c0, c1) of every query's weighted sum: all queries over the positions the first token
    // sees, then each later token's queries over the one position more it sees, chunk after chunk of
    // the cache (consecutive ranges add as one). c0 is a slab's first column.
    void accumulate(const Unit& unit, uint64_t c0, uint64_t c1) const {
        std::vector<float*> out(unit.out);
        for (float*& o : out) o += c0;
        uint64_t begin = unit.key_begin;
        for (uint64_t k = 0; k < unit.tokens; ++k) {
            const uint64_t first = k * unit.per_token, end = unit.t_len[first];
            for (uint64_t c = KVCache::chunk_of(begin); KVCache::chunk_begin(c) < end; ++c) {
                const uint64_t p0 = KVCache::chunk_begin(c), p1 = p0 + KVCache::chunk_size(c);
                const uint64_t stride = KVCache::value_slab_stride(c);
                const std::vector<float*> w = shifted(unit.rows.data() + first, unit.count - first, p0);
                const float* values = cache_.chunk_values(c, unit.g) + c0 / kValueSlab * stride;
                kt_.attn_accumulate(const_cast<const float* const*>(w.data()), unit.count - first, values, stride,
                                    std::max(begin, p0) - p0, std::min(end, p1) - p0, c1 - c0, out.data() + first);
            }
            begin = end;
        }
    }

    // The kernels index a chunk's positions from its start: rows whose element p0 + t is the t-th.
    static std::vector<float*> shifted(float* const* rows, uint64_t n, uint64_t p0) {
        std::vector<float*> out(rows, rows + n);
        for (float*& r : out) r += p0;
        return out;
    }

    template <class Fn>
    static void spread(uint64_t items, Fn&& fn) {
        tbb::parallel_for(
            tbb::blocked_range<uint64_t>(0, items, 1),
            [&](const tbb::blocked_range<uint64_t>& r) {
                for (uint64_t i = r.begin(); i != r.end(); ++i) fn(i);
            },
            tbb::auto_partitioner());
    }

    const KVCache& cache_;
    const float* q_;
    float* att_;
    uint64_t p_, n_, window_, q_dim_, d_, heads_, group_, kv_heads_, tiles_, stride_;
    float scale_;
    const KernelTable& kt_;
};

}  // namespace

void attend(const ModelConfig& config, const KVCache& cache, const float* q, float* att, uint64_t p, uint64_t n,
            uint64_t window, std::vector<float>& scores) {
    BatchAttention(config, cache, q, att, p, n, window).run(scores);
}

}  // namespace quillfen
