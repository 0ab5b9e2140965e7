// Attention with its key/value cache: the cache of one layer of one sequence, and the attention of a
// batch of tokens over it. Knows nothing of Python.
#pragma once

#include "compute/kernels.hpp"

#include <cstdint>
#include <vector>

namespace quillfen {

struct ModelConfig;

// The rotated keys and the values of one layer's processed positions: one block each, grown by
// doubling. Each key/value head owns a contiguous region of `capacity` positions, so a head's keys are
// read front to back; within it keys are held in blocks of kKeyBlock positions (element i of the
// block's sixteen positions side by side, see kernels.hpp), values in slabs of kValueSlab columns
// (a slab's columns of one position after another's), so a worker summing some columns streams them.
struct KVCache {
    std::vector<float> keys;
    std::vector<float> values;
    uint64_t heads = 0;     // key/value heads
    uint64_t head_dim = 0;  // D
    uint64_t capacity = 0;  // positions each head has room for, a multiple of kKeyBlock
    uint64_t length = 0;    // positions held

    // Room for `positions` (keeping what is held); the shape is set by the first call.
    void reserve(uint64_t positions, uint64_t kv_heads, uint64_t dim);
    // Stores head vectors k and v (heads * D each) for position `pos` < capacity.
    void store(uint64_t pos, const float* k, const float* v);
    // Holds the first `n` positions of `other` (n <= other.length) and nothing more: the same bits
    // running those positions here would have given, since a position's keys and values depend only on
    // the tokens up to it.
    void copy_prefix(const KVCache& other, uint64_t n);
    const float* head_keys(uint64_t head) const { return keys.data() + head * capacity * head_dim; }
    // A head's values: slab s at head_values(head) + s * value_slab_stride().
    const float* head_values(uint64_t head) const { return values.data() + head * capacity * value_slabs() * kValueSlab; }
    float* head_values(uint64_t head) { return values.data() + head * capacity * value_slabs() * kValueSlab; }
    uint64_t value_slab_stride() const { return capacity * kValueSlab; }
    uint64_t value_slabs() const { return (head_dim + kValueSlab - 1) / kValueSlab; }
};
// Attention of tokens [p, p + n) over `cache` (which holds positions up to p + n): q holds each token's
// query heads (config.q_dim apart), att receives each token's weighted sums of values (n_heads * D apart).
// `window` > 0: each query sees only its own position and the window - 1 before it. `scores` is scratch
// space the call may grow.
void attend(const ModelConfig& config, const KVCache& cache, const float* q, float* att, uint64_t p, uint64_t n,
            uint64_t window, std::vector<float>& scores);

}  // namespace quillfen
