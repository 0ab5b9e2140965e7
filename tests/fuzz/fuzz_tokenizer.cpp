// A vocabulary read from the input (GGUF metadata): load it and, when it loads, encode a fixed text
// and the input's last bytes with and without special-token parsing, then decode every result.
// Encoding must only ever give ids inside the vocabulary: anything else aborts.
#include <cstdlib>

#include "fuzz_files.hpp"
#include "inference/tokenizer.hpp"

namespace {

// Words, digits, whitespace runs, accents, CJK, an emoji with a joiner, chat markers and the marks the
// two kinds give meaning to (U+2581, "Ġ", <0xNN>).
constexpr std::string_view kText =
    "Hello world! It's 2024: 12345 apples.\n\n  \t<|im_start|>user\ncaf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 "
    "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB \xE2\x96\x81x \xC4\xA0y <0x41></s><s><|im_end|>";
constexpr size_t kTail = 96;

void exercise(const quillfen::Tokenizer& t, std::string_view text) {
    for (bool parse_special : {false, true}) {
        const std::vector<uint32_t> ids = t.encode(text, parse_special, parse_special);
        for (uint32_t id : ids)
            if (id >= t.vocab_size()) std::abort();
        (void)t.decode(ids, parse_special, !parse_special);
        for (uint32_t id : ids) (void)t.is_end_of_generation(id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string& path = quillfen::fuzz::Folder::get().write(input, std::nullopt);
    auto tokenizer = quillfen::Tokenizer::load(path);
    if (!tokenizer) return 0;
    exercise(*tokenizer, kText);
    exercise(*tokenizer, input.substr(size > kTail ? size - kTail : 0));
    return 0;
}
