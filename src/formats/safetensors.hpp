// Single-file safetensors checkpoints: the header reader, metadata from the header plus a sibling
// config.json, and the tensor-by-tensor iterator. Also the layer-number and config helpers other loaders use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/loader.hpp"

namespace quillfen {

// One tensor entry of the header.
struct TensorMeta {
    std::string dtype;                    // "F32", "BF16", "I8"; any other text reads as 16-bit float
    std::vector<uint64_t> shape;          // outermost first; empty for a scalar
    std::array<uint64_t, 2> data_offsets; // [begin, end) within the data section
};

// "F32" -> Float32, "BF16" -> BFloat16, "I8" -> Int8, anything else -> Float16 (exact, case-sensitive).
DType safetensors_dtype(std::string_view text);

// The first '.'-separated piece of `name` that is an unsigned 64-bit decimal number (one leading
// '+' allowed); nullopt when there is none.
std::optional<uint64_t> extract_layer_number(std::string_view name);

// The parsed config.json beside `path`, or nullopt when it is missing, unreadable or not JSON.
std::optional<nlohmann::json> load_config_json(const std::string& path);

class SafetensorsLoader final : public FormatLoader {
public:
    Result<ModelMetadata> load_metadata(const std::string& path) const override;
    std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const override;
    std::string_view format_name() const override { return "safetensors"; }
};

// Yields the tensors in the order their bytes lie in the file, reading one per step and reopening
// the file each time.
class SafetensorsLayerIterator final : public LayerIterator {
public:
    // Parses the header; a damaged header (or any damaged entry) gives an iterator over no tensors.
    static std::unique_ptr<SafetensorsLayerIterator> open(const std::string& path);

    std::optional<Result<LayerTensor>> next() override;

private:
    SafetensorsLayerIterator(std::vector<std::pair<std::string, TensorMeta>> tensors, std::string path,
                             uint64_t data_start)
        : tensors_(std::move(tensors)), path_(std::move(path)), data_start_(data_start) {}

    Result<LayerTensor> read_tensor(const std::string& name, const TensorMeta& meta);

    std::vector<std::pair<std::string, TensorMeta>> tensors_;  // sorted by begin offset
    std::string path_;
    uint64_t data_start_ = 0;  // 8 + header_len
    uint64_t cursor_ = 0;      // next entry to read
    uint64_t produced_ = 0;    // items yielded successfully so far
};

}  // namespace quillfen
