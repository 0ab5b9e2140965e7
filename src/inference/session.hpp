// The LLaMA runtime's own readers of a GGUF file: `InferenceSession` decodes every tensor to float32,
// by name (the float32 view of a file, for building a session from float tensors); `StoredDirectory`,
// what `LlamaSession::load` reads, maps the file and hands out each tensor's stored bytes, for weights
// kept in their stored form. Both read, refuse and fail alike, and live only while a session is built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tensor/error.hpp"
#include "tensor/file.hpp"

namespace quillfen {

struct GGUFTensorEntry {
    std::string name;
    std::vector<uint64_t> dims;  // file order
    uint64_t offset = 0;         // from the start of the data section
    uint64_t size = 0;           // bytes, from compute_data_size
    uint64_t n_elements = 0;     // product of dims (1 for none)
    uint32_t dtype = 0;          // GGUF tensor type code
};

// The few metadata values the runtime honours when a file carries them: real LLaMA files store
// their head counts, rotary base and norm epsilon here, and tensor lengths cannot reveal them.
struct LlamaHints {
    std::optional<uint64_t> head_count;     // "{arch}.attention.head_count", non-zero
    std::optional<uint64_t> head_count_kv;  // "{arch}.attention.head_count_kv"
    std::optional<float> rope_freq_base;    // "{arch}.rope.freq_base"
    std::optional<float> rms_epsilon;       // "{arch}.attention.layer_norm_rms_epsilon"
};

class InferenceSession {
public:
    static Result<InferenceSession> open(const std::string& path);
    // As `open`, refusing (before allocating) tensors whose float32 vectors together would pass
    // `float_budget_bytes`; `open` uses `machine_memory_bytes()`.
    static Result<InferenceSession> open_with_budget(const std::string& path, uint64_t float_budget_bytes);

    // A copy of the named tensor; when absent, `expected_len` ones for names containing "norm",
    // otherwise `expected_len` zeros.
    std::vector<float> get_tensor(std::string_view name, uint64_t expected_len) const;
    // A copy of the named tensor, or an empty vector when absent.
    std::vector<float> get_tensor_any(std::string_view name) const;

    const std::unordered_map<std::string, std::vector<float>>& tensors() const { return tensors_; }
    const LlamaHints& hints() const { return hints_; }

private:
    std::unordered_map<std::string, std::vector<float>> tensors_;
    LlamaHints hints_;
};

// One tensor as the file stores it.
struct StoredTensor {
    uint32_t dtype = 0;
    uint64_t n_elements = 0;
    bool in_file = false;            // false: its bytes would run past the end, so it is all zeros
    std::span<const uint8_t> bytes;  // the tensor's bytes, valid while its directory lives
    // The length the full dequantisation gives: a tensor inside the file has all its blocks.
    uint64_t size() const { return n_elements; }
};

class StoredDirectory {
public:
    // The same reading, refusals and error texts as `InferenceSession::open`, without decoding.
    static Result<StoredDirectory> open(const std::string& path);
    static Result<StoredDirectory> open_with_budget(const std::string& path, uint64_t float_budget_bytes);

    const std::unordered_map<std::string, StoredTensor>& tensors() const { return tensors_; }
    const LlamaHints& hints() const { return hints_; }

    struct Backing;  // the mapped file, or the tensors' bytes read into memory

private:
    std::shared_ptr<Backing> backing_;
    std::unordered_map<std::string, StoredTensor> tensors_;
    LlamaHints hints_;
};

// Bytes of `n_elements` elements of GGUF type `dtype`, whole blocks rounded up; UINT64_MAX when the
// count needs more than 64 bits of bytes.
uint64_t compute_data_size(uint32_t dtype, uint64_t n_elements);

// Physical memory plus swap, in bytes: the most that float32 weights decoded from a file may take.
// Counts read from a file are checked against it before anything is allocated for them.
uint64_t machine_memory_bytes();

}  // namespace quillfen
