// AWQ checkpoints: safetensors files whose quantisation only the sibling config.json names. They are read
// as safetensors; only the format name differs.
#pragma once

#include "formats/loader.hpp"

namespace quillfen {

class AWQLoader final : public FormatLoader {
public:
    Result<ModelMetadata> load_metadata(const std::string& path) const override;
    std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const override;
    std::string_view format_name() const override { return "AWQ"; }
};

}  // namespace quillfen
