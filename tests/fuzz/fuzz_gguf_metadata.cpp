// The GGUF metadata reader: header, every key/value pair, the tensor records it summarises, and the
// mixture-of-experts record.
#include "formats/gguf.hpp"
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = quillfen::fuzz::Folder::get().write(
        std::string_view(reinterpret_cast<const char*>(data), size), std::nullopt);
    const quillfen::GGUFLoader loader;
    (void)loader.load_metadata(path);
    (void)loader.moe_metadata(path);
    return 0;
}
