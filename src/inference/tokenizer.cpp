#include "inference/tokenizer.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <queue>
#include <type_traits>
#include <utility>

#include "tensor/file.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

using Metadata = GGUFMetadata;

constexpr uint32_t kNoToken = UINT32_MAX;
constexpr uint64_t kMaxVocab = uint64_t{1} << 31;  // ids stay positive in every signed 32-bit consumer
constexpr std::string_view kSpaceMark = "\xE2\x96\x81";  // U+2581, SentencePiece's visible space

constexpr std::string_view kModelKey = "tokenizer.ggml.model";
constexpr std::string_view kPreKey = "tokenizer.ggml.pre";
constexpr std::string_view kTokensKey = "tokenizer.ggml.tokens";
constexpr std::string_view kTypesKey = "tokenizer.ggml.token_type";
constexpr std::string_view kScoresKey = "tokenizer.ggml.scores";
constexpr std::string_view kMergesKey = "tokenizer.ggml.merges";

// The pre-tokenizer patterns as their models publish them. Each stage splits every piece the stage
// before it produced, and sees only that piece: a lookahead never reaches past it.
constexpr const char* kGpt2Pattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
constexpr const char* kLlama3Pattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr const char* kQwen2Pattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
// Every numeric character on its own, before the GPT-2 split.
constexpr const char* kSingleDigitPattern = R"(\p{N})";

struct PreTokenizer {
    std::string_view name;
    std::vector<const char*> stages;
    bool ignore_merges;  // a piece that is itself a token is taken whole, before any merge
};

const std::vector<PreTokenizer>& pre_tokenizers() {
    static const std::vector<PreTokenizer> table = {
        {"default", {kGpt2Pattern}, false},       {"gpt2", {kGpt2Pattern}, false},
        {"gpt-2", {kGpt2Pattern}, false},         {"phi-2", {kGpt2Pattern}, false},
        {"llama-bpe", {kLlama3Pattern}, true},    {"llama3", {kLlama3Pattern}, true},
        {"llama-v3", {kLlama3Pattern}, true},     {"qwen2", {kQwen2Pattern}, false},
        {"smollm", {kSingleDigitPattern, kGpt2Pattern}, false},
    };
    return table;
}

// Chat formats close a turn or the text with these; a vocabulary that has them as control tokens
// ends generation on them as on EOS.
constexpr std::string_view kEndTexts[] = {"<|im_end|>", "<|eot_id|>", "<|end_of_text|>", "</s>", "<|endoftext|>"};

// ---- UTF-8 ------------------------------------------------------------------------------------------

// Length of the UTF-8 sequence at the start of `s` (valid input; a stray byte counts as one).
size_t char_len(std::string_view s, size_t i) {
    const uint8_t b = uint8_t(s[i]);
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return std::min(n, s.size() - i);
}

// The code point of a valid sequence of `len` bytes.
uint32_t code_point(std::string_view s, size_t i, size_t len) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data() + i);
    switch (len) {
        case 1: return p[0];
        case 2: return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        case 3: return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        default: return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    }
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// ---- GPT-2 byte-level alphabet ------------------------------------------------------------------

// Every byte as one printable character: the printable Latin-1 bytes stand for themselves, the other
// 68 take U+0100 onwards in byte order (so a space reads "Ġ" and a newline "Ċ").
struct ByteLevel {
    std::array<std::string, 256> text;  // UTF-8 of each byte's character
    std::array<int16_t, 0x144> byte;    // character -> byte, -1 where none

    ByteLevel() {
        byte.fill(-1);
        uint32_t shifted = 0;
        for (uint32_t b = 0; b < 256; ++b) {
            const bool printable = (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE);
            const uint32_t cp = printable ? b : 0x100 + shifted++;
            append_utf8(text[b], cp);
            byte[cp] = int16_t(b);
        }
    }
};

const ByteLevel& byte_level() {
    static const ByteLevel table;
    return table;
}

// A token's text with each byte-level character turned back into its byte; other characters (and any
// stray byte) are kept as they are.
std::string unmap_byte_level(std::string_view text) {
    const ByteLevel& bl = byte_level();
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = char_len(text, i);
        const uint32_t cp = code_point(text, i, len);
        if (cp < bl.byte.size() && bl.byte[cp] >= 0) {
            out += char(bl.byte[cp]);
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

// "<0xNN>" (either case of hex digit) as its byte.
std::optional<uint8_t> byte_token_value(std::string_view text) {
    if (text.size() != 6 || !text.starts_with("<0x") || text[5] != '>') return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    const int hi = digit(text[3]), lo = digit(text[4]);
    if (hi < 0 || lo < 0) return std::nullopt;
    return uint8_t(hi * 16 + lo);
}

// ---- Regular expressions ------------------------------------------------------------------------

struct CodeDeleter {
    void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataDeleter {
    void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};
using Code = std::shared_ptr<const pcre2_code>;

Code compile(const char* pattern) {
    int err = 0;
    PCRE2_SIZE at = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_UTF | PCRE2_UCP, &err, &at, nullptr);
    if (!code) {
        PCRE2_UCHAR text[256];
        pcre2_get_error_message(err, text, sizeof text);
        fault("pre-tokenizer pattern does not compile at " + std::to_string(at) + ": " +
              reinterpret_cast<const char*>(text));
    }
    // Without JIT (a platform PCRE2 lacks it for) matching still works, only slower.
    (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return Code(code, CodeDeleter{});
}

// Appends to `out` the pieces of `s`: each match of `code`, and each stretch between matches.
void split(const pcre2_code* code, pcre2_match_data* md, std::string_view s, std::vector<std::string_view>& out) {
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(s.data());
    size_t last = 0, start = 0;
    while (start < s.size()) {
        // The subject is valid UTF-8 (encode made it so), which lets the check be skipped.
        int rc = pcre2_match(code, subject, s.size(), start, PCRE2_NO_UTF_CHECK, md, nullptr);
        // JIT code runs on a small fixed stack; the interpreter keeps its backtracking on the heap.
        if (rc < 0 && rc != PCRE2_ERROR_NOMATCH)
            rc = pcre2_match(code, subject, s.size(), start, PCRE2_NO_UTF_CHECK | PCRE2_NO_JIT, md, nullptr);
        if (rc < 0) break;  // no further match, or a matching limit: the rest stays one piece
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        const size_t b = ov[0], e = ov[1];
        if (e <= b || e > s.size()) {  // the patterns never match empty, but an empty match must not loop
            start = b + (b < s.size() ? char_len(s, b) : 1);
            continue;
        }
        if (b > last) out.push_back(s.substr(last, b - last));
        out.push_back(s.substr(b, e - b));
        last = start = e;
    }
    if (last < s.size()) out.push_back(s.substr(last));
}

// ---- Metadata reading ---------------------------------------------------------------------------

std::unexpected<Error> key_error(std::string_view key, const std::string& what) {
    return fail(std::string(key) + ": " + what);
}

// Token ids and token types: an integer of any width; a negative one reads as UINT64_MAX, outside
// every vocabulary and every type.
constexpr IntegerRule kIdRule{.negative = true};


Result<std::optional<std::string>> string_key(const Metadata& m, std::string_view key) {
    const GGUFValue* v = find_value(m, key);
    if (!v) return std::nullopt;
    const auto* s = std::get_if<std::string>(&v->value);
    if (!s) return key_error(key, "expected a string");
    return *s;
}

Result<std::optional<bool>> bool_key(const Metadata& m, std::string_view key) {
    const GGUFValue* v = find_value(m, key);
    if (!v) return std::nullopt;
    const auto* b = std::get_if<bool>(&v->value);
    if (!b) return key_error(key, "expected a bool");
    return *b;
}

Result<std::optional<uint32_t>> id_key(const Metadata& m, std::string_view key, uint64_t vocab_size) {
    const GGUFValue* v = find_value(m, key);
    if (!v) return std::nullopt;
    const auto id = read_integer(v, kIdRule);
    if (!id) return key_error(key, "expected an integer token id");
    if (*id >= vocab_size)
        return key_error(key, "token id " + (*id == UINT64_MAX ? std::string("below 0") : std::to_string(*id)) +
                                  " is outside the vocabulary of " + std::to_string(vocab_size));
    return uint32_t(*id);
}

// The array under `key`; nullptr when absent. Anything else under the key is an error.
Result<const GGUFValue::Array*> array_key(const Metadata& m, std::string_view key) {
    const GGUFValue* v = find_value(m, key);
    if (!v) return nullptr;
    const auto* a = std::get_if<GGUFValue::Array>(&v->value);
    if (!a) return key_error(key, "expected an array");
    return a;
}

// Hashes std::string and std::string_view alike, so lookups need no string of their own.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct Merge {
    uint32_t rank;
    uint32_t id;  // the token the pair becomes
};

uint64_t pair_key(uint32_t left, uint32_t right) { return uint64_t{left} << 32 | right; }

// What one encode call reuses between pieces. Keys of `cache` point into the call's text.
struct Scratch {
    pcre2_match_data* md = nullptr;
    std::vector<std::string_view> pieces, next_pieces;
    std::unordered_map<std::string_view, std::pair<size_t, size_t>, TextHash, std::equal_to<>> cache;
    std::vector<uint32_t> cached_ids;
    std::string mapped;
};

}  // namespace

// ---- The tokenizer ------------------------------------------------------------------------------

struct Tokenizer::Impl {
    Kind kind = Kind::Gpt2;
    std::string pre = "default";
    std::vector<std::string> tokens;
    std::vector<TokenType> types;
    std::vector<float> scores;
    std::vector<std::string> pieces;  // the bytes each token decodes to
    // Text to id; a text that several tokens share maps to the last of them, as in the files'
    // own tools. Keys point into `tokens`, which never changes after loading.
    std::unordered_map<std::string_view, uint32_t, TextHash, std::equal_to<>> ids;
    std::unordered_map<uint64_t, Merge> merges;  // gpt2: (left, right) -> rank and result
    std::array<uint32_t, 256> byte_ids{};        // gpt2: each byte's character; llama: <0xNN>
    std::vector<Code> stages;
    bool ignore_merges = false;

    struct Special {
        std::string_view text;
        uint32_t id;
        bool control;  // matched only when parse_special
    };
    std::array<std::vector<Special>, 256> specials_by_first_byte;  // longest first

    std::optional<uint32_t> bos, eos, eot, unk;
    bool add_bos = false, add_eos = false, add_space_prefix = false;
    std::vector<uint32_t> end_ids;

    uint32_t lookup(std::string_view text) const {
        const auto it = ids.find(text);
        return it == ids.end() ? kNoToken : it->second;
    }

    void encode_text(std::string_view text, bool first, Scratch& s, std::vector<uint32_t>& out) const;
    void encode_gpt2_piece(std::string_view piece, Scratch& s, std::vector<uint32_t>& out) const;
    void bpe_gpt2(std::string_view piece, std::vector<uint32_t>& out) const;
    void encode_llama(std::string_view text, bool first, std::vector<uint32_t>& out) const;
};

namespace {

Result<void> read_vocabulary(const Metadata& m, Tokenizer::Impl& t) {
    auto tokens = array_key(m, kTokensKey);
    if (!tokens) return std::unexpected(std::move(tokens).error());
    if (!*tokens) return key_error(kTokensKey, "missing");
    const GGUFValue::Array& tok = **tokens;
    const uint64_t n = tok.size();
    if (n == 0) return key_error(kTokensKey, "the vocabulary is empty");
    if (n > kMaxVocab) return key_error(kTokensKey, std::to_string(n) + " tokens, more than 2^31");
    t.tokens.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        const auto* s = std::get_if<std::string>(&tok[i].value);
        if (!s) return key_error(kTokensKey, "entry " + std::to_string(i) + " is not a string");
        t.tokens.push_back(*s);
    }

    t.types.assign(n, TokenType::Normal);
    auto types = array_key(m, kTypesKey);
    if (!types) return std::unexpected(std::move(types).error());
    if (*types) {
        if ((*types)->size() != n)
            return key_error(kTypesKey, std::to_string((*types)->size()) + " entries for " + std::to_string(n) + " tokens");
        for (uint64_t i = 0; i < n; ++i) {
            const auto type = read_integer(&(**types)[i], kIdRule);
            if (!type) return key_error(kTypesKey, "entry " + std::to_string(i) + " is not an integer");
            if (*type > uint64_t(TokenType::Byte))
                return key_error(kTypesKey, "entry " + std::to_string(i) + " is no token type");
            t.types[i] = *type == 0 ? TokenType::Normal : TokenType(*type);
        }
    }

    t.scores.assign(n, 0.0f);
    auto scores = array_key(m, kScoresKey);
    if (!scores) return std::unexpected(std::move(scores).error());
    if (*scores) {
        if ((*scores)->size() != n)
            return key_error(kScoresKey, std::to_string((*scores)->size()) + " entries for " + std::to_string(n) + " tokens");
        for (uint64_t i = 0; i < n; ++i) {
            const GGUFValue& v = (**scores)[i];
            float score;
            if (const auto* f = std::get_if<float>(&v.value)) {
                score = *f;
            } else if (const auto* d = std::get_if<double>(&v.value)) {
                score = float(*d);
            } else {
                return key_error(kScoresKey, "entry " + std::to_string(i) + " is not a float");
            }
            // The merge order compares scores; a NaN has no place in it.
            if (std::isnan(score)) return key_error(kScoresKey, "entry " + std::to_string(i) + " is NaN");
            t.scores[i] = score;
        }
    }

    t.ids.reserve(n);
    for (uint32_t i = 0; i < n; ++i) t.ids.insert_or_assign(std::string_view(t.tokens[i]), i);
    return {};
}

Result<void> read_merges(const Metadata& m, Tokenizer::Impl& t) {
    auto merges = array_key(m, kMergesKey);
    if (!merges) return std::unexpected(std::move(merges).error());
    if (!*merges) return key_error(kMergesKey, "missing (a gpt2 vocabulary ranks its merges there)");
    const GGUFValue::Array& list = **merges;
    if (list.size() >= kMaxVocab * 2) return key_error(kMergesKey, "more merges than 32-bit ranks can order");
    t.merges.reserve(list.size());
    std::string joined;
    for (uint64_t i = 0; i < list.size(); ++i) {
        const auto* s = std::get_if<std::string>(&list[i].value);
        if (!s) return key_error(kMergesKey, "entry " + std::to_string(i) + " is not a string");
        auto entry = [&] { return "entry " + std::to_string(i) + " \"" + lossy_utf8(*s) + "\""; };
        // Byte-level tokens hold no space, so the first one after the first character separates the pair.
        const size_t at = s->size() > 1 ? s->find(' ', 1) : std::string::npos;
        if (at == std::string::npos || at + 1 >= s->size())
            return key_error(kMergesKey, entry() + " is not two tokens joined by a space");
        const std::string_view left = std::string_view(*s).substr(0, at), right = std::string_view(*s).substr(at + 1);
        const uint32_t l = t.lookup(left), r = t.lookup(right);
        if (l == kNoToken || r == kNoToken) return key_error(kMergesKey, entry() + " names a token the vocabulary lacks");
        joined.assign(left).append(right);
        const uint32_t id = t.lookup(joined);
        if (id == kNoToken) return key_error(kMergesKey, entry() + " makes a token the vocabulary lacks");
        t.merges.try_emplace(pair_key(l, r), Merge{uint32_t(i), id});  // a repeated pair keeps its first rank
    }
    return {};
}

}  // namespace

Result<Tokenizer> Tokenizer::from_metadata(const Metadata& metadata) {
    auto impl = std::make_unique<Impl>();
    Impl& t = *impl;

    auto model = string_key(metadata, kModelKey);
    if (!model) return std::unexpected(std::move(model).error());
    if (!*model) return key_error(kModelKey, "missing");
    if (**model == "gpt2") {
        t.kind = Kind::Gpt2;
    } else if (**model == "llama") {
        t.kind = Kind::Llama;
    } else {
        return key_error(kModelKey, "unsupported tokenizer kind \"" + lossy_utf8(**model) + "\" (supported: gpt2, llama)");
    }

    auto pre = string_key(metadata, kPreKey);
    if (!pre) return std::unexpected(std::move(pre).error());
    if (*pre) t.pre = **pre;
    if (t.kind == Kind::Gpt2) {
        const auto& table = pre_tokenizers();
        const auto it = std::ranges::find(table, std::string_view(t.pre), &PreTokenizer::name);
        if (it == table.end()) return key_error(kPreKey, "unknown pre-tokenizer \"" + lossy_utf8(t.pre) + "\"");
        for (const char* pattern : it->stages) {
            t.stages.push_back(compile(pattern));
        }
        t.ignore_merges = it->ignore_merges;
    }

    if (auto r = read_vocabulary(metadata, t); !r) return std::unexpected(std::move(r).error());
    if (t.kind == Kind::Gpt2)
        if (auto r = read_merges(metadata, t); !r) return std::unexpected(std::move(r).error());
    const uint64_t n = t.tokens.size();

    const std::pair<std::string_view, std::optional<uint32_t>*> id_keys[] = {
        {"tokenizer.ggml.bos_token_id", &t.bos},
        {"tokenizer.ggml.eos_token_id", &t.eos},
        {"tokenizer.ggml.eot_token_id", &t.eot},
        {"tokenizer.ggml.unknown_token_id", &t.unk},
    };
    for (const auto& [key, slot] : id_keys) {
        auto id = id_key(metadata, key, n);
        if (!id) return std::unexpected(std::move(id).error());
        *slot = *id;
    }
    const bool llama = t.kind == Kind::Llama;
    const std::tuple<std::string_view, bool*, bool> bool_keys[] = {
        {"tokenizer.ggml.add_bos_token", &t.add_bos, llama},
        {"tokenizer.ggml.add_eos_token", &t.add_eos, false},
        {"tokenizer.ggml.add_space_prefix", &t.add_space_prefix, llama},
    };
    for (const auto& [key, slot, fallback] : bool_keys) {
        auto b = bool_key(metadata, key);
        if (!b) return std::unexpected(std::move(b).error());
        *slot = b->value_or(fallback);
    }

    // Decoded bytes of every token, and the tokens the text itself may name.
    t.pieces.resize(n);
    std::vector<Impl::Special> specials;
    for (uint32_t i = 0; i < n; ++i) {
        const std::string& text = t.tokens[i];
        const TokenType type = t.types[i];
        std::string& piece = t.pieces[i];
        if (type == TokenType::Control || type == TokenType::Unknown || type == TokenType::UserDefined) {
            piece = text;
        } else if (auto byte = byte_token_value(text); type == TokenType::Byte && byte) {
            piece.assign(1, char(*byte));
        } else if (t.kind == Kind::Gpt2) {
            piece = unmap_byte_level(text);
        } else {
            for (size_t at = 0;;) {
                const size_t next = text.find(kSpaceMark, at);
                piece.append(text, at, next == std::string::npos ? std::string::npos : next - at);
                if (next == std::string::npos) break;
                piece += ' ';
                at = next + kSpaceMark.size();
            }
        }
        // Matching cuts the text at a special token's ends; only valid UTF-8 keeps the cuts on
        // character boundaries.
        if ((type == TokenType::Control || type == TokenType::UserDefined) && !text.empty() &&
            !utf8_error(text) && t.lookup(text) == i)
            specials.push_back({text, i, type == TokenType::Control});
    }
    std::ranges::stable_sort(specials, std::greater<>{}, [](const Impl::Special& s) { return s.text.size(); });
    for (const Impl::Special& s : specials) t.specials_by_first_byte[uint8_t(s.text[0])].push_back(s);

    t.byte_ids.fill(kNoToken);
    for (uint32_t b = 0; b < 256; ++b) {
        if (t.kind == Kind::Gpt2) {
            t.byte_ids[b] = t.lookup(byte_level().text[b]);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            const char name[] = {'<', '0', 'x', kHex[b >> 4], kHex[b & 15], '>'};
            t.byte_ids[b] = t.lookup(std::string_view(name, sizeof name));
        }
    }

    for (auto id : {t.eos, t.eot})
        if (id) t.end_ids.push_back(*id);
    for (std::string_view text : kEndTexts) {
        const uint32_t id = t.lookup(text);
        if (id != kNoToken && t.types[id] == TokenType::Control) t.end_ids.push_back(id);
    }
    return Tokenizer(std::move(impl));
}

Result<Tokenizer> Tokenizer::load(const std::string& path) {
    auto file = File::open(path);
    if (!file) return fail(lossy_utf8(path) + ": " + file.error().message());
    GGUFReadOptions options;
    options.decode_values = true;
    options.keep_arrays = true;
    options.read_tensors = false;
    auto contents = read_gguf(*file, options);
    if (!contents) return std::unexpected(std::move(contents).error());
    return from_metadata(contents->metadata);
}

// ---- Encoding -----------------------------------------------------------------------------------

std::vector<uint32_t> Tokenizer::encode(std::string_view text, bool add_special, bool parse_special) const {
    const TextPart part{text, parse_special};
    return encode(std::span(&part, 1), add_special);
}

std::vector<uint32_t> Tokenizer::encode(std::span<const TextPart> parts, bool add_special) const {
    const Impl& t = *impl_;
    // The text, and the byte ranges where control tokens may match (adjacent parts merged).
    std::string joined;
    std::vector<std::pair<size_t, size_t>> special;
    for (const TextPart& part : parts) {
        const size_t begin = joined.size();
        if (utf8_error(part.text))
            joined += lossy_utf8(part.text);
        else
            joined.append(part.text);
        if (!part.parse_special || joined.size() == begin) continue;
        if (!special.empty() && special.back().second == begin)
            special.back().second = joined.size();
        else
            special.emplace_back(begin, joined.size());
    }
    const std::string_view text = joined;

    std::vector<uint32_t> out;
    if (add_special && t.add_bos && t.bos) out.push_back(*t.bos);

    Scratch scratch;
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> md;
    if (!t.stages.empty()) {
        md.reset(pcre2_match_data_create(1, nullptr));
        if (!md) throw std::bad_alloc();
        scratch.md = md.get();
    }

    // Special tokens cut the text into fragments, each tokenized on its own: leftmost match first,
    // the longest token where several start at the same place.
    bool first = true;
    size_t fragment = 0;
    size_t range = 0;  // the first of `special` that does not end at or before i
    for (size_t i = 0; i < text.size();) {
        while (range < special.size() && special[range].second <= i) ++range;
        const auto& candidates = t.specials_by_first_byte[uint8_t(text[i])];
        const Impl::Special* hit = nullptr;
        for (const Impl::Special& s : candidates) {
            const bool parse_special = range < special.size() && special[range].first <= i &&
                                       i + s.text.size() <= special[range].second;
            if ((parse_special || !s.control) && text.substr(i, s.text.size()) == s.text) {
                hit = &s;
                break;
            }
        }
        if (!hit) {
            ++i;
            continue;
        }
        if (i > fragment) {
            t.encode_text(text.substr(fragment, i - fragment), first, scratch, out);
            first = false;
        }
        out.push_back(hit->id);
        i += hit->text.size();
        fragment = i;
    }
    if (fragment < text.size()) t.encode_text(text.substr(fragment), first, scratch, out);

    if (add_special && t.add_eos && t.eos) out.push_back(*t.eos);
    return out;
}

// `first`: the text's first fragment, the one add_space_prefix marks.
void Tokenizer::Impl::encode_text(std::string_view text, bool first, Scratch& s, std::vector<uint32_t>& out) const {
    if (kind == Kind::Llama) {
        encode_llama(text, first, out);
        return;
    }
    std::string prefixed;
    if (first && add_space_prefix) {
        prefixed = " ";
        prefixed.append(text);
        text = prefixed;
    }
    s.pieces.clear();
    s.pieces.push_back(text);
    for (const Code& code : stages) {
        s.next_pieces.clear();
        for (std::string_view piece : s.pieces) split(code.get(), s.md, piece, s.next_pieces);
        std::swap(s.pieces, s.next_pieces);
    }
    // The cache's keys point into `text`: they must go before `prefixed` does.
    for (std::string_view piece : s.pieces) encode_gpt2_piece(piece, s, out);
    if (!prefixed.empty()) s.cache.clear();
}

void Tokenizer::Impl::encode_gpt2_piece(std::string_view piece, Scratch& s, std::vector<uint32_t>& out) const {
    // Text repeats its words: each distinct piece is merged once per call.
    constexpr size_t kMaxCachedPiece = 64;
    const bool cacheable = piece.size() <= kMaxCachedPiece;
    if (cacheable) {
        if (const auto it = s.cache.find(piece); it != s.cache.end()) {
            const auto [at, count] = it->second;
            out.insert(out.end(), s.cached_ids.begin() + at, s.cached_ids.begin() + at + count);
            return;
        }
    }
    const size_t before = out.size();
    uint32_t whole = kNoToken;
    if (ignore_merges) {
        s.mapped.clear();
        for (char c : piece) s.mapped += byte_level().text[uint8_t(c)];
        whole = lookup(s.mapped);
    }
    if (whole != kNoToken) {
        out.push_back(whole);
    } else {
        bpe_gpt2(piece, out);
    }
    if (cacheable) {
        s.cache.emplace(piece, std::pair{s.cached_ids.size(), out.size() - before});
        s.cached_ids.insert(s.cached_ids.end(), out.begin() + before, out.end());
    }
}

// Byte-level BPE: start from one symbol per byte, then repeatedly merge the adjacent pair of lowest
// rank (the leftmost of equal ones) until no pair has a merge.
void Tokenizer::Impl::bpe_gpt2(std::string_view piece, std::vector<uint32_t>& out) const {
    const size_t n = piece.size();
    struct Symbol {
        uint32_t id;  // kNoToken: a byte without a token, or merged away (and unlinked)
        int64_t prev, next;  // -1 at the ends
    };
    std::vector<Symbol> sym(n);
    for (size_t i = 0; i < n; ++i)
        sym[i] = {byte_ids[uint8_t(piece[i])], int64_t(i) - 1, i + 1 < n ? int64_t(i + 1) : -1};

    struct Candidate {
        uint32_t rank, left_id, right_id, merged;
        int64_t left;
        bool operator>(const Candidate& o) const { return rank != o.rank ? rank > o.rank : left > o.left; }
    };
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue;
    auto consider = [&](int64_t left) {
        if (left < 0) return;
        const int64_t right = sym[left].next;
        if (right < 0 || sym[left].id == kNoToken || sym[right].id == kNoToken) return;
        const auto it = merges.find(pair_key(sym[left].id, sym[right].id));
        if (it != merges.end()) queue.push({it->second.rank, sym[left].id, sym[right].id, it->second.id, left});
    };
    for (size_t i = 0; i + 1 < n; ++i) consider(int64_t(i));

    while (!queue.empty()) {
        const Candidate c = queue.top();
        queue.pop();
        Symbol& left = sym[c.left];
        // A merge result never equals either part (it is longer), so matching ids mean the pair is
        // still the one queued.
        if (left.id != c.left_id || left.next < 0 || sym[left.next].id != c.right_id) continue;
        Symbol& right = sym[left.next];
        left.id = c.merged;
        left.next = right.next;
        if (right.next >= 0) sym[right.next].prev = c.left;
        right.id = kNoToken;
        consider(left.prev);
        consider(c.left);
    }

    for (int64_t i = n ? 0 : -1; i >= 0; i = sym[i].next) {
        if (sym[i].id != kNoToken) {
            out.push_back(sym[i].id);
        } else if (unk) {  // a byte the vocabulary has no character for
            out.push_back(*unk);
        }
    }
}

// SentencePiece-style BPE: spaces become "▁", then the adjacent pair whose joined text is the
// vocabulary's highest-scoring token merges first (the leftmost of equal scores). Characters that
// stay outside the vocabulary fall back to their <0xNN> byte tokens, or to the unknown token.
void Tokenizer::Impl::encode_llama(std::string_view text, bool first, std::vector<uint32_t>& out) const {
    std::string buf;
    buf.reserve(text.size() + text.size() / 2 + 3);
    if (first && add_space_prefix) buf.append(kSpaceMark);
    for (char c : text) {
        if (c == ' ') {
            buf.append(kSpaceMark);
        } else {
            buf += c;
        }
    }

    struct Symbol {
        uint64_t start, len;  // len 0: merged away
        int64_t prev, next;
    };
    std::vector<Symbol> sym;
    sym.reserve(buf.size());
    for (size_t i = 0; i < buf.size();) {
        const size_t len = char_len(buf, i);
        const int64_t k = int64_t(sym.size());
        sym.push_back({i, len, k - 1, -1});
        if (k > 0) sym[k - 1].next = k;
        i += len;
    }

    // Merged text becomes an ordinary or user-defined token; control, unknown and byte tokens
    // are never built from pieces.
    auto mergeable = [&](std::string_view s) {
        const uint32_t id = lookup(s);
        if (id == kNoToken) return kNoToken;
        const TokenType type = types[id];
        return type == TokenType::Normal || type == TokenType::UserDefined || type == TokenType::Unused ? id
                                                                                                         : kNoToken;
    };
    struct Candidate {
        float score;
        int64_t left;
        uint64_t len;
        bool operator<(const Candidate& o) const { return score != o.score ? score < o.score : left > o.left; }
    };
    std::priority_queue<Candidate> queue;
    auto consider = [&](int64_t left) {
        if (left < 0 || sym[left].next < 0) return;
        const Symbol& l = sym[left];
        const uint64_t len = l.len + sym[l.next].len;
        const uint32_t id = mergeable(std::string_view(buf).substr(l.start, len));
        if (id != kNoToken) queue.push({scores[id], left, len});
    };
    for (size_t i = 0; i + 1 < sym.size(); ++i) consider(int64_t(i));

    while (!queue.empty()) {
        const Candidate c = queue.top();
        queue.pop();
        Symbol& left = sym[c.left];
        // Symbols only grow, so a pair whose joint length changed is no longer the one queued.
        if (left.len == 0 || left.next < 0 || left.len + sym[left.next].len != c.len) continue;
        Symbol& right = sym[left.next];
        left.len = c.len;
        left.next = right.next;
        if (right.next >= 0) sym[right.next].prev = c.left;
        right.len = 0;
        consider(left.prev);
        consider(c.left);
    }

    for (int64_t i = sym.empty() ? -1 : 0; i >= 0; i = sym[i].next) {
        const std::string_view s = std::string_view(buf).substr(sym[i].start, sym[i].len);
        if (const uint32_t id = mergeable(s); id != kNoToken) {
            out.push_back(id);
        } else if (std::ranges::all_of(s, [&](char b) { return byte_ids[uint8_t(b)] != kNoToken; })) {
            for (char b : s) out.push_back(byte_ids[uint8_t(b)]);
        } else if (unk) {
            out.push_back(*unk);
        }
    }
}

// ---- Decoding and accessors ---------------------------------------------------------------------

std::string Tokenizer::decode(std::span<const uint32_t> ids, bool special, bool strip_leading_space) const {
    const Impl& t = *impl_;
    std::string out;
    bool strip = strip_leading_space && t.add_space_prefix;
    for (const uint32_t id : ids) {
        if (id >= t.tokens.size()) fault("decode: token id " + std::to_string(id) + " outside the vocabulary");
        const TokenType type = t.types[id];
        if (type == TokenType::Control || type == TokenType::Unknown) {
            if (special) out += t.pieces[id];
            continue;
        }
        std::string_view piece = t.pieces[id];
        if (strip && !piece.empty()) {
            if (piece[0] == ' ') piece.remove_prefix(1);
            strip = false;
        }
        out += piece;
    }
    return out;
}

Tokenizer::Kind Tokenizer::kind() const { return impl_->kind; }
std::string_view Tokenizer::kind_name() const { return impl_->kind == Kind::Gpt2 ? "gpt2" : "llama"; }
std::string_view Tokenizer::pre() const { return impl_->pre; }
uint64_t Tokenizer::vocab_size() const { return impl_->tokens.size(); }

std::string_view Tokenizer::token_text(uint32_t id) const {
    if (id >= impl_->tokens.size()) fault("token_text: token id " + std::to_string(id) + " outside the vocabulary");
    return impl_->tokens[id];
}

std::optional<uint32_t> Tokenizer::bos_id() const { return impl_->bos; }
std::optional<uint32_t> Tokenizer::eos_id() const { return impl_->eos; }
std::optional<uint32_t> Tokenizer::eot_id() const { return impl_->eot; }
bool Tokenizer::add_bos() const { return impl_->add_bos; }
bool Tokenizer::add_eos() const { return impl_->add_eos; }
bool Tokenizer::add_space_prefix() const { return impl_->add_space_prefix; }

bool Tokenizer::is_end_of_generation(uint32_t id) const {
    return std::ranges::find(impl_->end_ids, id) != impl_->end_ids.end();
}

Tokenizer::Tokenizer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

}  // namespace quillfen
