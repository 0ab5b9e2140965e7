// PyTorch .bin checkpoints (ZIP archives of pickles). Detection can name them; nothing reads them yet,
// so every reading operation is an internal fault raised before the file is touched.
#pragma once

#include "formats/loader.hpp"

namespace quillfen {

class PyTorchBinLoader final : public FormatLoader {
public:
    Result<ModelMetadata> load_metadata(const std::string& path) const override;
    std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const override;
    std::string_view format_name() const override { return "pytorch_bin"; }
};

}  // namespace quillfen
