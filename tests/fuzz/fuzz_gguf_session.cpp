// The GGUF tensor directory, walked tensor by tensor, then the same file as a LLaMA model: load it,
// run one step (forward pass and sampling), a batch of two more tokens, and rewind to the first. Shapes the model cannot run with throw InternalFault while
// loading or stepping, which the Python boundary turns into a PanicException: not a crash.
#include "formats/gguf.hpp"
#include "fuzz_files.hpp"
#include "inference/forward.hpp"
#include "inference/sampler.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quillfen::fuzz::single_threaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = quillfen::fuzz::Folder::get().write(
        std::string_view(reinterpret_cast<const char*>(data), size), std::nullopt);

    auto layers = quillfen::GGUFLoader().iter_layers(path);
    while (auto item = layers->next()) (void)item;

    try {
        auto session = quillfen::LlamaSession::load(path);
        if (!session) return 0;
        // Token 1: inside every vocabulary but the one-word one, whose refusal is also worth reaching.
        std::vector<float> logits = quillfen::forward(*session, 1);
        (void)quillfen::sample(std::move(logits), 0.8f, 40, 0.95f, session->rng_state);
        const uint32_t batch[] = {0, 2};
        (void)quillfen::forward_tokens(*session, batch, true);
        session->rewind(1);
    } catch (const quillfen::InternalFault&) {
    }
    return 0;
}
