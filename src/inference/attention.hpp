// Attention with its key/value cache: the cache of one layer of one sequence, and the attention of a
// batch of tokens over it. Knows nothing of Python.
#pragma once

#include "compute/kernels.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

namespace quillfen {

struct ModelConfig;

// The rotated keys and the values of one layer's processed positions, in chunks: the first holds
// kFirstChunk positions, each later one as many as all before it. The cache grows a chunk at a time
// and never moves what it holds, so a growing context costs no copy, and a chunk's memory is touched
// only as positions are stored in it. Within a chunk each key/value head owns a contiguous region, so
// a head's keys are read front to back: keys in blocks of kKeyBlock positions (element i of the
// block's sixteen positions side by side, see kernels.hpp), values in slabs of kValueSlab columns (a
// slab's columns of one position after another's), so a worker summing some columns streams them.
struct KVCache {
    static constexpr uint64_t kFirstChunk = 512;  // a multiple of kKeyBlock
    static_assert(kFirstChunk % kKeyBlock == 0);
    struct Chunk {
        std::unique_ptr<float[]> keys, values;
    };
    std::vector<Chunk> chunks;
    uint64_t heads = 0;     // key/value heads
    uint64_t head_dim = 0;  // D
    uint64_t length = 0;    // positions held

    // The chunk that holds position `pos`, and the positions of chunk c: [chunk_begin(c),
    // chunk_begin(c) + chunk_size(c)).
    static uint64_t chunk_of(uint64_t pos) { return std::bit_width(pos / kFirstChunk); }
    static uint64_t chunk_begin(uint64_t c) { return c == 0 ? 0 : kFirstChunk << (c - 1); }
    static uint64_t chunk_size(uint64_t c) { return c == 0 ? kFirstChunk : kFirstChunk << (c - 1); }

    // Room for `positions` (keeping what is held); the shape is set by the first call. Heads of no
    // width hold nothing, however many positions.
    void reserve(uint64_t positions, uint64_t kv_heads, uint64_t dim);
    // Stores head vectors k and v (heads * D each) for position `pos`, which reserve made room for:
    // `length` itself or a position below it.
    void store(uint64_t pos, const float* k, const float* v);
    // Holds the first `n` positions of `other` (n <= other.length) and nothing more: the same bits
    // running those positions here would have given, since a position's keys and values depend only on
    // the tokens up to it.
    void copy_prefix(const KVCache& other, uint64_t n);
    // Keys of chunk c of one head: its position chunk_begin(c) + t in key block t / kKeyBlock.
    const float* chunk_keys(uint64_t c, uint64_t head) const {
        return chunks[c].keys.get() + head * chunk_size(c) * head_dim;
    }
    // Values of chunk c of one head: slab s at chunk_values(c, head) + s * value_slab_stride(c).
    const float* chunk_values(uint64_t c, uint64_t head) const {
        return chunks[c].values.get() + head * value_slabs() * value_slab_stride(c);
    }
    static uint64_t value_slab_stride(uint64_t c) { return chunk_size(c) * kValueSlab; }
    uint64_t value_slabs() const { return (head_dim + kValueSlab - 1) / kValueSlab; }
};
// Attention of tokens [p, p + n) over `cache` (which holds positions up to p + n): q holds each token's
// query heads (config.q_dim apart), att receives each token's weighted sums of values (n_heads * D apart).
// `window` > 0: each query sees only its own position and the window - 1 before it. `scores` is scratch
// space the call may grow.
void attend(const ModelConfig& config, const KVCache& cache, const float* q, float* att, uint64_t p, uint64_t n,
            uint64_t window, std::vector<float>& scores);

}  // namespace quillfen
