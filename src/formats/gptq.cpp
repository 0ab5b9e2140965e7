#include "formats/gptq.hpp"

#include "formats/safetensors.hpp"

namespace quillfen {

Result<ModelMetadata> GPTQLoader::load_metadata(const std::string& path) const {
    auto meta = SafetensorsLoader().load_metadata(path);
    if (meta) meta->format_name = format_name();
    return meta;
}

std::unique_ptr<LayerIterator> GPTQLoader::iter_layers(const std::string& path) const {
    return SafetensorsLoader().iter_layers(path);
}

}  // namespace quillfen
