#include "formats/onnx.hpp"

namespace quillfen {

Result<ModelMetadata> ONNXLoader::load_metadata(const std::string&) const {
    fault("not yet implemented: ONNX metadata loading not yet implemented");
}

std::unique_ptr<LayerIterator> ONNXLoader::iter_layers(const std::string&) const {
    fault("not yet implemented: ONNX layer iteration not yet implemented");
}

}  // namespace quillfen
