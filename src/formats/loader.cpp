#include "formats/loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "formats/awq.hpp"
#include "formats/common.hpp"
#include "formats/gguf.hpp"
#include "formats/gptq.hpp"
#include "formats/onnx.hpp"
#include "formats/pytorch_bin.hpp"
#include "formats/safetensors.hpp"
#include "tensor/file.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

// ---- shared helpers ------------------------------------------------------------------------------

std::string display_path(std::string_view path) { return lossy_utf8(path); }

Result<std::string> read_config_json_text(const std::string& config_path) {
    return read_text_file(config_path, kMaxConfigJsonBytes);
}

Result<std::vector<uint8_t>> read_owned_bytes(File& file, uint64_t n, std::string_view what) {
    try {
        return file.read_bytes(n);
    } catch (const std::bad_alloc&) {
        // Only a file of matching size gets this far, so this is a huge (perhaps sparse) file, not a bad length.
        return fail(std::string(what) + " of " + std::to_string(n) + " bytes is too large to hold in memory");
    }
}

Result<Tensor> tensor_or_zeros(const std::string& name, std::vector<uint8_t> bytes, std::vector<uint64_t> shape,
                               DType dtype, uint64_t file_size) {
    const uint64_t bytes_read = bytes.size();
    auto exact = Tensor::from_bytes(std::move(bytes), shape, dtype);
    if (exact) return std::move(*exact);

    const auto zero_bytes = tensor_byte_size(shape, dtype);
    if (!zero_bytes)
        return fail("Tensor '" + name + "' of shape " + format_shape(shape) + " as " + std::string(dtype_name(dtype)) +
                    " is too large: its byte size overflows 64 bits");
    // bytes_read <= file size < 2^63, so four times it cannot wrap.
    const uint64_t limit = std::max(file_size, 4 * bytes_read);
    if (*zero_bytes > limit)
        return fail("Tensor '" + name + "' of shape " + format_shape(shape) + " as " +
                    std::string(dtype_name(dtype)) + " would need " + std::to_string(*zero_bytes) +
                    " bytes of zeros, more than its file of " + std::to_string(file_size) + " bytes can justify");
    try {
        return Tensor::zeros(std::move(shape), dtype);
    } catch (const std::bad_alloc&) {  // within the limit, but the file is huge (perhaps sparse)
        return fail("Tensor '" + name + "' would need " + std::to_string(*zero_bytes) +
                    " bytes of zeros, too many to hold in memory");
    }
}

Result<uint64_t> data_position(uint64_t data_start, uint64_t offset) {
    uint64_t position;
    if (add_overflows(data_start, offset, &position)) return std::unexpected(os_error(EINVAL));
    return position;
}

// ---- the interface's shared operation ------------------------------------------------------------

Result<std::optional<MoeMetadata>> FormatLoader::moe_metadata(const std::string& path) const {
    auto metadata = load_metadata(path);
    if (!metadata) return std::unexpected(std::move(metadata).error());
    return std::move(metadata->moe);
}

// ---- detection -----------------------------------------------------------------------------------

namespace {

// Plausible safetensors header lengths; a real header is never empty and rarely past a few MB.
constexpr uint64_t kMaxPlausibleHeaderLen = 9'999'999;
constexpr uint8_t kOnnxFirstFieldTag = 0x08;  // field 1 (ir_version), varint

// The sibling config.json decides between the quantised safetensors flavours. Nothing found: nullptr.
Result<std::unique_ptr<FormatLoader>> detect_by_config(const std::string& path) {
    std::string parent;
    if (!parent_path(path, &parent)) return nullptr;
    const std::string config_path = join_path(parent, "config.json");
    if (!path_exists(config_path)) return nullptr;
    auto text = read_config_json_text(config_path);
    if (!text) return std::unexpected(std::move(text).error());
    // Case-sensitive on purpose: "Awq" names neither.
    if (text->find("awq") != std::string::npos || text->find("AWQ") != std::string::npos)
        return std::make_unique<AWQLoader>();
    if (text->find("gptq") != std::string::npos || text->find("GPTQ") != std::string::npos)
        return std::make_unique<GPTQLoader>();
    return nullptr;
}

}  // namespace

Result<std::unique_ptr<FormatLoader>> auto_detect_format(const std::string& path) {
    uint8_t head[16];
    {
        auto file = File::open(path);
        if (!file) return std::unexpected(std::move(file).error());
        if (auto r = file->read_exact(head, sizeof head); !r) return std::unexpected(std::move(r).error());
    }  // closed before anything else is looked at

    uint32_t magic;
    std::memcpy(&magic, head, sizeof magic);
    if (magic == kGGUFMagic) return std::make_unique<GGUFLoader>();

    uint64_t header_len;
    std::memcpy(&header_len, head, sizeof header_len);
    const uint8_t b0 = head[0];
    if (header_len >= 1 && header_len <= kMaxPlausibleHeaderLen) {
        // A low byte of 'G' or 'P' may be the start of "GG..." or "PK": leave those to the later tests.
        if (b0 != 'G' && b0 != 'P') return std::make_unique<SafetensorsLoader>();
    } else if (b0 == kOnnxFirstFieldTag) {
        return std::make_unique<ONNXLoader>();
    }

    if (head[0] == 'P' && head[1] == 'K') return std::make_unique<PyTorchBinLoader>();  // a ZIP archive

    auto by_config = detect_by_config(path);
    if (!by_config) return std::unexpected(std::move(by_config).error());
    if (*by_config) return std::move(*by_config);

    return fail("Unrecognized model format for file: " + display_path(path));
}

}  // namespace quillfen
