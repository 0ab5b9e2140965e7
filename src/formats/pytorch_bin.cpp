#include "formats/pytorch_bin.hpp"

namespace quillfen {

Result<ModelMetadata> PyTorchBinLoader::load_metadata(const std::string&) const {
    fault("not yet implemented: PyTorch .bin metadata loading not yet implemented");
}

std::unique_ptr<LayerIterator> PyTorchBinLoader::iter_layers(const std::string&) const {
    fault("not yet implemented: PyTorch .bin layer iteration not yet implemented");
}

}  // namespace quillfen
