// A safetensors file with an optional config.json beside it (after the separator line): the header
// reader, the metadata taken from header and config, and every tensor through the iterator.
#include "formats/safetensors.hpp"
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [model, config] = quillfen::fuzz::split_input(data, size);
    const std::string& path = quillfen::fuzz::Folder::get().write(model, config);
    const quillfen::SafetensorsLoader loader;
    (void)loader.load_metadata(path);
    auto layers = loader.iter_layers(path);
    while (auto item = layers->next()) (void)item;
    return 0;
}
