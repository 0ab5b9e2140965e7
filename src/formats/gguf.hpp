// GGUF container: metadata values, the one reader of the container (header, metadata, tensor-info
// records), the metadata loader and the tensor-by-tensor iterator. Tensor type sizes come from
// gguf_types.hpp. The LLaMA runtime reads its tensor directory through `read_gguf` as well.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The metadata as the reader keeps it; a repeated key holds its later entry.
using GGUFMetadata = std::unordered_map<std::string, GGUFValue>;

// The value under `key`, or nullptr.
const GGUFValue* find_value(const GGUFMetadata& kv, std::string_view key);
// "general.architecture" when it is a string; nullptr otherwise.
const std::string* gguf_architecture(const GGUFMetadata& kv);
// The value under "{architecture}{suffix}" (`suffix` begins with its '.'): the file's architecture, or
// `fallback` when the file names none. nullptr when the key is absent or there is no architecture.
const GGUFValue* find_arch_value(const GGUFMetadata& kv, std::string_view suffix,
                                 std::optional<std::string_view> fallback = std::nullopt);

constexpr uint32_t gguf_type_bit(GGUFValueType type) { return 1u << static_cast<uint32_t>(type); }
inline constexpr uint32_t kGGUFIntegerTypes =
    gguf_type_bit(GGUFValueType::U8) | gguf_type_bit(GGUFValueType::I8) | gguf_type_bit(GGUFValueType::U16) |
    gguf_type_bit(GGUFValueType::I16) | gguf_type_bit(GGUFValueType::U32) | gguf_type_bit(GGUFValueType::I32) |
    gguf_type_bit(GGUFValueType::U64) | gguf_type_bit(GGUFValueType::I64);

// How one purpose (a count, an id, a length) reads an integer from the metadata. Values of any other
// type, booleans included, are no number.
struct IntegerRule {
    uint32_t types = kGGUFIntegerTypes;  // gguf_type_bit of every stored type that counts
    bool low_32_bits = false;            // only the low 32 bits count (a negative I32 reads as its bits)
    bool zero = true;                    // false: a stored 0 is no number
    bool negative = false;               // true: a negative number reads as UINT64_MAX, which no id or
                                         // count range admits; false: it is no number
};
// The number `v` holds under `rule`; nullopt for none, and for an absent value (nullptr).
std::optional<uint64_t> read_integer(const GGUFValue* v, IntegerRule rule);

// "GGUF" read as a little-endian 32-bit number.
inline constexpr uint32_t kGGUFMagic = 0x46554747;
// The data section starts at the next multiple of this after the tensor-info records, unless the file
// sets "general.alignment" (an unsigned 32-bit power of two) to another.
inline constexpr uint64_t kGGUFAlignment = 32;
// Arrays nested deeper than this are refused: each level costs a stack frame while reading.
inline constexpr uint32_t kGGUFMaxArrayDepth = 64;

class GGUFLoader final : public FormatLoader {
public:
    // A 64-bit length, then that many bytes of UTF-8. A length past the end of the file fails as a
    // short read before anything is allocated for it.
    static Result<std::string> read_string(FileReader& in);
    // One value of type `type_code`; arrays read their element type and count, then each element.
    static Result<GGUFValue> read_value(FileReader& in, uint32_t type_code);

    Result<ModelMetadata> load_metadata(const std::string& path) const override;
    std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const override;
    std::string_view format_name() const override { return "GGUF"; }
};

// One tensor-info record.
struct GGUFTensorInfo {
    std::string name;
    std::vector<uint64_t> dims;  // file order
    uint64_t offset = 0;         // from the start of the data section
    uint32_t n_dims = 0;         // as stored; equals dims.size()
    uint32_t type_code = 0;      // GGUF tensor type (gguf_types.hpp)

    // The product of `dims` (1 for none); nullopt when it needs more than 64 bits.
    std::optional<uint64_t> n_elements() const;
    // Bytes of the data, whole blocks of `type_code`; nullopt when 64 bits cannot count them.
    std::optional<uint64_t> byte_size() const;
};

// How one read of the container treats what its users disagree on. The defaults are the strict
// rules of the metadata loader.
struct GGUFReadOptions {
    // Refuse a file whose first four bytes are not "GGUF" ("Not a GGUF file: bad magic ...").
    bool require_magic = true;
    // Keys and kept strings: invalid UTF-8 becomes U+FFFD instead of failing.
    bool lossy_text = false;
    // The same for tensor names.
    bool lossy_names = false;
    // true: every value is decoded (strings checked as UTF-8 unless lossy, arrays nested at most
    // kGGUFMaxArrayDepth deep) and kept, arrays as empty lists unless `keep_arrays`.
    // false: values are stepped over with relative moves, nesting unbounded; only numbers and
    // strings under keys `keep_key` accepts are kept (anything else under such a key, or a value
    // that runs past the end, is kept as an empty list so it still replaces an earlier entry).
    bool decode_values = true;
    bool keep_arrays = false;
    std::function<bool(std::string_view)> keep_key;
    // Read the tensor-info records and locate the data section.
    bool read_tensors = true;
};

// What one read of the container found.
struct GGUFContents {
    uint32_t magic = 0;
    uint32_t version = 0;
    GGUFMetadata metadata;
    std::vector<GGUFTensorInfo> tensors;  // file order
    uint64_t alignment = kGGUFAlignment;
    uint64_t data_start = 0;  // file offset of the data section (when the records were read)
    uint64_t file_size = 0;

    bool has_magic() const { return magic == kGGUFMagic; }
    // The absolute position of a tensor's data when all of it lies inside the file; nullopt when its
    // size, its offset or their sum passes 64 bits or the end of the file.
    std::optional<uint64_t> position_in_file(const GGUFTensorInfo& info) const;
};

// Reads the container from the start of `file`: the header, the metadata, and (when asked) the
// tensor-info records. Every count and length is checked against the file's size before anything
// is allocated for it; a length past the end fails as "failed to fill whole buffer".
Result<GGUFContents> read_gguf(File& file, const GGUFReadOptions& options);

// Reads the tensor-info records once, then one tensor per step, reopening the file each time.
class GGUFLayerIterator final : public LayerIterator {
public:
    // Parses the header; a damaged or foreign file gives an iterator over no tensors.
    static std::unique_ptr<GGUFLayerIterator> open(const std::string& path);

    std::optional<Result<LayerTensor>> next() override;

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
