// GGUF container: metadata values, the metadata reader and the tensor-by-tensor iterator.
// Tensor type sizes come from gguf_types.hpp; the LLaMA runtime has its own reader of the same container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "formats/common.hpp"
#include "formats/loader.hpp"
#include "tensor/file.hpp"

namespace quillfen {

// Metadata value type codes as the file writes them.
enum class GGUFValueType : uint32_t {
    U8 = 0, I8 = 1, U16 = 2, I16 = 3, U32 = 4, I32 = 5, F32 = 6, Bool = 7,
    String = 8, Array = 9, U64 = 10, I64 = 11, F64 = 12,
};
inline constexpr uint32_t kGGUFValueTypeCount = 13;

// One decoded metadata value. The alternatives sit in type-code order, so `value.index()` is the code.
struct GGUFValue {
    using Array = std::vector<GGUFValue>;  // element type code not kept
    std::variant<uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t, float, bool, std::string, Array,
                 uint64_t, int64_t, double>
        value;

    GGUFValueType type() const { return static_cast<GGUFValueType>(value.index()); }
    bool operator==(const GGUFValue&) const = default;
};
static_assert(std::variant_size_v<decltype(GGUFValue::value)> == kGGUFValueTypeCount);

// "GGUF" read as a little-endian 32-bit number.
inline constexpr uint32_t kGGUFMagic = 0x46554747;
// The data section starts at the next multiple of this after the tensor-info records; files cannot change it.
inline constexpr uint64_t kGGUFAlignment = 32;
// Arrays nested deeper than this are refused: each level costs a stack frame while reading.
inline constexpr uint32_t kGGUFMaxArrayDepth = 64;

class GGUFLoader final : public FormatLoader {
public:
    // A 64-bit length, then that many bytes of UTF-8. A length past the end of the file fails as a
    // short read before anything is allocated for it.
    static Result<std::string> read_string(File& file);
    // One value of type `type_code`; arrays read their element type and count, then each element.
    static Result<GGUFValue> read_value(File& file, uint32_t type_code);
    // The same over a buffered reader, which the loader itself uses.
    static Result<std::string> read_string(FileReader& in);
    static Result<GGUFValue> read_value(FileReader& in, uint32_t type_code);

    Result<ModelMetadata> load_metadata(const std::string& path) const override;
    std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const override;
    std::string_view format_name() const override { return "GGUF"; }
};

// One tensor-info record as the iterator keeps it.
struct GGUFTensorInfo {
    std::string name;
    std::vector<uint64_t> dims;  // file order
    uint64_t offset = 0;         // from the start of the data section
    uint32_t n_dims = 0;         // as stored; equals dims.size()
    uint32_t type_code = 0;      // GGUF tensor type (gguf_types.hpp)
};

// Reads the tensor-info records once, then one tensor per step, reopening the file each time.
class GGUFLayerIterator final : public LayerIterator {
public:
    // Parses the header; a damaged or foreign file gives an iterator over no tensors.
    static std::unique_ptr<GGUFLayerIterator> open(const std::string& path);

    std::optional<Result<LayerTensor>> next() override;

    const std::vector<GGUFTensorInfo>& tensors() const { return tensors_; }
    uint64_t data_start() const { return data_start_; }

private:
    GGUFLayerIterator(std::vector<GGUFTensorInfo> tensors, std::string path, uint64_t data_start)
        : tensors_(std::move(tensors)), path_(std::move(path)), data_start_(data_start) {}

    Result<LayerTensor> read_tensor(const GGUFTensorInfo& info);

    std::vector<GGUFTensorInfo> tensors_;
    std::string path_;
    uint64_t data_start_ = 0;
    uint64_t cursor_ = 0;    // next record to read
    uint64_t produced_ = 0;  // items yielded successfully so far
};

}  // namespace quillfen
