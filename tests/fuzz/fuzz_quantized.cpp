// AWQ and GPTQ checkpoints: safetensors files that only their config.json (after the separator line)
// names as quantised. Detection reads that config; then the detected loader's metadata and every
// tensor its iterator yields. Inputs detected as something else still go through the GPTQ loader, so
// a mutation that breaks the config does not lose the tensors.
#include "formats/gptq.hpp"
#include "formats/loader.hpp"
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [model, config] = quillfen::fuzz::split_input(data, size);
    const std::string& path = quillfen::fuzz::Folder::get().write(model, config);

    std::unique_ptr<quillfen::FormatLoader> loader;
    if (auto detected = quillfen::auto_detect_format(path);
        detected && ((*detected)->format_name() == "AWQ" || (*detected)->format_name() == "GPTQ")) {
        loader = std::move(*detected);
    } else {
        loader = std::make_unique<quillfen::GPTQLoader>();
    }
    (void)loader->load_metadata(path);
    auto layers = loader->iter_layers(path);
    while (auto item = layers->next()) (void)item;
    return 0;
}
