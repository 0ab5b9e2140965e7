// Text to token ids and back, from the vocabulary a GGUF file carries ("tokenizer.ggml.*"). Two kinds:
// "gpt2" (byte-level BPE ranked by "tokenizer.ggml.merges", text first split by the pre-tokenizer
// that "tokenizer.ggml.pre" names) and "llama" (SentencePiece-style BPE ranked by
// "tokenizer.ggml.scores", with <0xNN> byte fallback). Immutable once built, so any number of threads
// may encode and decode at once. Knows nothing of Python.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/gguf.hpp"
#include "tensor/error.hpp"

namespace quillfen {

// "tokenizer.ggml.token_type" as files write it (0, undefined, reads as Normal).
enum class TokenType : uint8_t { Normal = 1, Unknown = 2, Control = 3, UserDefined = 4, Unused = 5, Byte = 6 };

class Tokenizer {
public:
    enum class Kind : uint8_t { Gpt2, Llama };

    // From a file's metadata, as `read_gguf` keeps it with `keep_arrays`. A kind other than the two,
    // an unknown pre-tokenizer, an empty or oversized vocabulary, a merge naming a token the
    // vocabulary lacks, arrays of mismatched lengths or wrong element types, special ids outside the
    // vocabulary: each is an error naming the key at fault.
    static Result<Tokenizer> from_metadata(const GGUFMetadata& metadata);
    // Reads only the metadata of the GGUF file at `path` (strict: GGUF magic, valid UTF-8).
    static Result<Tokenizer> load(const std::string& path);

    // Token ids of `text` (UTF-8; invalid bytes are taken as U+FFFD). `add_special` adds BOS/EOS as
    // the file's add_bos_token/add_eos_token ask (defaults when absent: llama adds BOS, gpt2 adds
    // nothing). `parse_special` matches the text of control and user-defined tokens whole;
    // otherwise control-token text is ordinary text (user-defined tokens always match whole).
    std::vector<uint32_t> encode(std::string_view text, bool add_special, bool parse_special) const;

    // One piece of a text to encode, and whether control-token text inside it is matched.
    struct TextPart {
        std::string_view text;
        bool parse_special = false;
    };
    // The ids of the parts' texts joined, as `encode` gives them, except that a control token is
    // matched only where its whole text lies inside parts that ask for it: a chat template's own
    // markup yields control tokens, while the same text inside a message is ordinary text.
    std::vector<uint32_t> encode(std::span<const TextPart> parts, bool add_special) const;

    // The bytes that `ids` stand for, concatenated (byte-level characters mapped back, "▁" as a space,
    // <0xNN> as its byte). Control tokens give their text when `special`, nothing otherwise.
    // `strip_leading_space` drops the one space that add_space_prefix put before the first piece.
    // Bytes, not text: a character may span tokens, so callers decode UTF-8 where they need it.
    // An id outside the vocabulary throws InternalFault (callers check with `vocab_size`).
    std::string decode(std::span<const uint32_t> ids, bool special, bool strip_leading_space) const;

    Kind kind() const;
    std::string_view kind_name() const;  // "gpt2" or "llama"
    std::string_view pre() const;        // the pre-tokenizer's name as the file gives it ("default" when absent)
    uint64_t vocab_size() const;
    std::string_view token_text(uint32_t id) const;  // as stored; InternalFault outside the vocabulary
    std::optional<uint32_t> bos_id() const;
    std::optional<uint32_t> eos_id() const;
    std::optional<uint32_t> eot_id() const;
    bool add_bos() const;
    bool add_eos() const;
    bool add_space_prefix() const;
    // True for the ids that end a turn or the text: EOS, EOT, and the other control tokens that
    // well-known chat formats close with ("<|im_end|>", "<|eot_id|>", "<|end_of_text|>", "</s>",
    // "<|endoftext|>") when the vocabulary has them.
    bool is_end_of_generation(uint32_t id) const;

    Tokenizer(Tokenizer&&) noexcept;
    Tokenizer& operator=(Tokenizer&&) noexcept;
    ~Tokenizer();

    struct Impl;

private:
    explicit Tokenizer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillfen
