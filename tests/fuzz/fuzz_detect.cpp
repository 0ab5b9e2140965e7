// Format detection on any file (with any config.json beside it), then the detected loader's metadata
// reader. The ONNX and PyTorch readers are stubs that fault with "not yet implemented" (a
// PanicException in Python, by design); any other fault is a finding.
#include "formats/loader.hpp"
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [model, config] = quillfen::fuzz::split_input(data, size);
    const std::string& path = quillfen::fuzz::Folder::get().write(model, config);
    auto loader = quillfen::auto_detect_format(path);
    if (!loader) return 0;
    try {
        (void)(*loader)->load_metadata(path);
    } catch (const quillfen::InternalFault& f) {
        if (!std::string_view(f.what()).starts_with("not yet implemented")) throw;
    }
    return 0;
}
