// The tokenizer's rules on small vocabularies built here: merge order, pre-tokenizer choice, special
// tokens, BOS/EOS, decoding repairs and refused vocabularies. Agreement with the reference tokenizers
// (SmolLM2's, and a SentencePiece model for the llama kind) and loading from files are shown in Python.
#include <gtest/gtest.h>

#include <functional>

#include "inference/tokenizer.hpp"

using namespace quillfen;

namespace {

using Metadata = std::unordered_map<std::string, GGUFValue>;

GGUFValue array(std::vector<GGUFValue> v) { return GGUFValue{GGUFValue::Array(std::move(v))}; }

GGUFValue strings(const std::vector<std::string>& v) {
    GGUFValue::Array out;
    for (const auto& s : v) out.push_back(GGUFValue{s});
    return GGUFValue{std::move(out)};
}

// GPT-2's printable stand-in for byte `b`: printable Latin-1 as itself, the rest from U+0100 in order.
std::string byte_char(uint8_t b) {
    auto printable = [](int c) { return (c >= '!' && c <= '~') || (c >= 0xA1 && c <= 0xAC) || c >= 0xAE; };
    int cp = b;
    if (!printable(b)) {
        cp = 0x100;
        for (int c = 0; c < b; ++c) cp += !printable(c);
    }
    std::string out;
    if (cp < 0x80) return out += char(cp);
    out += char(0xC0 | cp >> 6);
    return out += char(0x80 | (cp & 0x3F));
}

std::string byte_level(std::string_view text) {
    std::string out;
    for (char c : text) out += byte_char(uint8_t(c));
    return out;
}

// Ids 0-255: every byte's character, in byte order; then each merge's result, in rank order.
Metadata gpt2_vocab(const std::vector<std::pair<std::string, std::string>>& merges, std::string pre = "gpt2") {
    std::vector<std::string> tokens, lines;
    for (int b = 0; b < 256; ++b) tokens.push_back(byte_char(uint8_t(b)));
    for (const auto& [l, r] : merges) {
        lines.push_back(byte_level(l) + " " + byte_level(r));
        tokens.push_back(byte_level(l + r));
    }
    return {{"tokenizer.ggml.model", GGUFValue{std::string("gpt2")}},
            {"tokenizer.ggml.pre", GGUFValue{pre}},
            {"tokenizer.ggml.tokens", strings(tokens)},
            {"tokenizer.ggml.merges", strings(lines)}};
}

// Appends tokens of one type (and score 0) to a vocabulary.
void add_tokens(Metadata& m, const std::vector<std::string>& texts, TokenType type) {
    auto& tokens = std::get<GGUFValue::Array>(m["tokenizer.ggml.tokens"].value);
    auto& types = std::get<GGUFValue::Array>(m.try_emplace("tokenizer.ggml.token_type", array({})).first->second.value);
    types.resize(tokens.size(), GGUFValue{int32_t(1)});
    for (const auto& t : texts) {
        tokens.push_back(GGUFValue{t});
        types.push_back(GGUFValue{int32_t(type)});
    }
}

// <unk>, <s>, </s>, then (when `bytes`) <0x00>-<0xFF>, then `pieces` with their scores.
Metadata llama_vocab(const std::vector<std::pair<std::string, float>>& pieces, bool bytes = true) {
    std::vector<GGUFValue> tokens, types, scores;
    auto add = [&](std::string text, TokenType type, float score) {
        tokens.push_back(GGUFValue{std::move(text)});
        types.push_back(GGUFValue{int32_t(type)});
        scores.push_back(GGUFValue{score});
    };
    add("<unk>", TokenType::Unknown, 0);
    add("<s>", TokenType::Control, 0);
    add("</s>", TokenType::Control, 0);
    for (int b = 0; bytes && b < 256; ++b) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", b);
        add(name, TokenType::Byte, 0);
    }
    for (const auto& [text, score] : pieces) add(text, TokenType::Normal, score);
    return {{"tokenizer.ggml.model", GGUFValue{std::string("llama")}},
            {"tokenizer.ggml.tokens", array(tokens)},
            {"tokenizer.ggml.token_type", array(types)},
            {"tokenizer.ggml.scores", array(scores)},
            {"tokenizer.ggml.unknown_token_id", GGUFValue{uint32_t(0)}},
            {"tokenizer.ggml.bos_token_id", GGUFValue{uint32_t(1)}},
            {"tokenizer.ggml.eos_token_id", GGUFValue{uint32_t(2)}}};
}

Tokenizer make(const Metadata& m) {
    auto t = Tokenizer::from_metadata(m);
    if (!t) throw std::runtime_error(t.error().message());
    return std::move(*t);
}

// The stored text of each id of `text`'s encoding.
std::vector<std::string> texts(const Tokenizer& t, std::string_view text, bool parse_special = false) {
    std::vector<std::string> out;
    for (uint32_t id : t.encode(text, false, parse_special)) out.emplace_back(t.token_text(id));
    return out;
}

using Texts = std::vector<std::string>;

TEST(TokGpt2, MergesByRankThenLeftmostInsidePreTokenizerPieces) {
    const std::vector<std::pair<std::string, std::string>> merges = {
        {"b", "c"}, {"a", "b"}, {"a", "a"}, {" ", "a"}, {"o", " "}, {"1", "2"}, {"a", "bc"}, {"!", "\n"}};
    const Tokenizer gpt2 = make(gpt2_vocab(merges, "gpt2"));
    const Tokenizer smollm = make(gpt2_vocab(merges, "smollm"));
    const Tokenizer llama3 = make(gpt2_vocab(merges, "llama-bpe"));
    const std::tuple<const Tokenizer&, std::string, Texts> cases[] = {  // tokenizer, text, the pieces wanted
        {gpt2, "abc", {"abc"}},                      // b+c (rank 0) before a+b (rank 1), then a+bc
        {gpt2, "abab", {"ab", "ab"}},
        {gpt2, "aaa", {"aa", "a"}},                  // equal ranks: the leftmost pair first
        {gpt2, "o a", {"o", "Ġa"}},                  // "o " never forms: the split comes first
        {gpt2, "a  a", {"a", "Ġ", "Ġa"}},            // a space run leaves its last space to the word
        {gpt2, "12", {"12"}},
        {smollm, "12", {"1", "2"}},                  // every digit alone
        {smollm, "a 12", {"a", "Ġ", "1", "2"}},
        {llama3, "1234", {"12", "3", "4"}},          // digits in threes; a whole-token piece is taken as is
        {gpt2, " !\n", {"Ġ", "!", "Ċ"}},
        {llama3, " !\n", {"Ġ", "!Ċ"}},             // punctuation keeps the line ends after it
    };
    for (const auto& [t, text, want] : cases) EXPECT_EQ(texts(t, text), want) << text << " with " << t.pre();
}

TEST(TokGpt2, DecodeRepairsInvalidUtf8) {
    const Tokenizer t = make(gpt2_vocab({{"h", "e"}}));
    EXPECT_EQ(t.decode(t.encode("a\xFF" "b\xE2\x82", false, false), false, false), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(TokGpt2, LongRunsOfOneClassStayWhole) {  // backtracking patterns over long pieces must not fail
    for (std::string pre : {"gpt2", "llama-bpe", "qwen2", "smollm"}) {
        const Tokenizer t = make(gpt2_vocab({{"a", "a"}, {" ", " "}}, pre));
        for (std::string text : {std::string(200000, ' ') + "x", std::string(200000, 'a'), std::string(100000, '7'),
                                 std::string(100000, '!') + "\n\n", std::string(50000, '\n') + " "}) {
            const auto ids = t.encode(text, false, false);
            EXPECT_EQ(t.decode(ids, false, false), text) << pre;
        }
    }
}

TEST(TokLlama, WithoutByteTokensAnUnknownCharacterIsUnk) {  // the trained model in Python falls back to bytes
    Metadata m = llama_vocab({{"a", 0}, {"b", 0}}, false);
    m["tokenizer.ggml.add_space_prefix"] = GGUFValue{false};
    EXPECT_EQ(texts(make(m), "a\xE2\x82\xAC" "b"), (Texts{"a", "<unk>", "b"}));
}

TEST(TokSpecial, ControlTokensOnlyWhenAskedUserDefinedAlwaysLongestFirst) {
    Metadata m = gpt2_vocab({{"i", "m"}});
    add_tokens(m, {"<|im_start|>", "<|end|>", "<|end|>!"}, TokenType::Control);
    add_tokens(m, {"<ud>"}, TokenType::UserDefined);
    const Tokenizer t = make(m);
    EXPECT_EQ(texts(t, "a<|im_start|>im<ud>", true), (Texts{"a", "<|im_start|>", "im", "<ud>"}));
    EXPECT_EQ(texts(t, "x<|end|>!<|end|>", true), (Texts{"x", "<|end|>!", "<|end|>"}));
    EXPECT_EQ(texts(t, "<|end|><ud>", false), (Texts{"<", "|", "e", "n", "d", "|", ">", "<ud>"}));
    // Decoding with and without the control tokens' text: SmolLM2's chat markers, in Python.
}

TEST(TokSpecial, PartsMatchControlTokensOnlyWhollyInsideMarkup) {
    Metadata m = gpt2_vocab({{"i", "m"}});
    add_tokens(m, {"<|im_start|>", "<|end|>"}, TokenType::Control);
    add_tokens(m, {"<ud>"}, TokenType::UserDefined);
    const Tokenizer t = make(m);
    auto parts = [&](std::vector<Tokenizer::TextPart> p) {
        Texts out;
        for (uint32_t id : t.encode(p, false)) out.emplace_back(t.token_text(id));
        return out;
    };
    // Control text inside a plain part stays text; user-defined tokens match everywhere, as in encode.
    EXPECT_EQ(parts({{"<|im_start|>im", true}, {"<|end|><ud>", false}, {"<|end|>", true}}),
              (Texts{"<|im_start|>", "im", "<", "|", "e", "n", "d", "|", ">", "<ud>", "<|end|>"}));
    EXPECT_EQ(parts({{"<|en", true}, {"d|>", false}}), texts(t, "<|end|>", false));  // half in a message
    EXPECT_EQ(parts({{"<|en", true}, {"", false}, {"d|>", true}}), (Texts{"<|end|>"}));  // markup joins
    // Without control text in the plain parts, the ids are those of the joined text, and only the
    // text's first fragment takes the space prefix.
    Metadata l = llama_vocab({{"\xE2\x96\x81hi", -1.0f}, {"hi", -2.0f}});
    l["tokenizer.ggml.add_space_prefix"] = GGUFValue{true};
    const Tokenizer lt = make(l);
    for (bool first_is_markup : {true, false}) {
        const std::string head = first_is_markup ? "<s>" : "hi";
        const Tokenizer::TextPart split[] = {{head, true}, {"hi hi", false}, {"</s>hi", true}, {" hi", false}};
        EXPECT_EQ(lt.encode(split, false), lt.encode(head + "hi hi</s>hi hi", false, true)) << head;
    }
}

TEST(TokSpecial, BosAndEosFollowTheFileAndTheKindsDefaults) {
    auto with = [](Metadata m, std::optional<bool> bos, std::optional<bool> eos) {
        m["tokenizer.ggml.bos_token_id"] = GGUFValue{uint32_t(1)};
        m["tokenizer.ggml.eos_token_id"] = GGUFValue{uint32_t(2)};
        if (bos) m["tokenizer.ggml.add_bos_token"] = GGUFValue{*bos};
        if (eos) m["tokenizer.ggml.add_eos_token"] = GGUFValue{*eos};
        return make(m);
    };
    // vocabulary, the file's add_bos_token and add_eos_token, the ids of "c" with them
    const std::tuple<Metadata, std::optional<bool>, std::optional<bool>, std::vector<uint32_t>> cases[] = {
        {gpt2_vocab({}), {}, {}, {'c'}},  // ids 0-255 of this vocabulary are the bytes
        {gpt2_vocab({}), true, true, {1, 'c', 2}},
        {llama_vocab({{"▁c", 0}}), {}, {}, {1, 259}},
        {llama_vocab({{"▁c", 0}}), false, true, {259, 2}},
    };
    for (const auto& [m, bos, eos, want] : cases) {
        const Tokenizer t = with(m, bos, eos);
        EXPECT_EQ(t.encode("c", true, false), want) << t.kind_name();
        EXPECT_EQ(t.encode("c", false, false).size(), 1u);
    }
}

TEST(TokSpecial, EndOfGenerationIsEosEotAndTheChatEnders) {
    Metadata m = gpt2_vocab({});
    add_tokens(m, {"<|im_end|>", "<|eot_id|>", "<|x|>"}, TokenType::Control);  // 256, 257, 258
    add_tokens(m, {"</s>"}, TokenType::Normal);                                 // 259: text, not an ender
    m["tokenizer.ggml.eos_token_id"] = GGUFValue{uint32_t(10)};
    m["tokenizer.ggml.eot_token_id"] = GGUFValue{uint32_t(258)};
    const Tokenizer t = make(m);
    for (uint32_t id : {10u, 256u, 257u, 258u}) EXPECT_TRUE(t.is_end_of_generation(id)) << id;
    for (uint32_t id : {11u, 259u, 9999u}) EXPECT_FALSE(t.is_end_of_generation(id)) << id;
}

TEST(TokVocabulary, DuplicateTextMapsToTheLaterIdAndBothDecode) {
    Metadata m = gpt2_vocab({{"a", "b"}});  // "ab" is 256
    add_tokens(m, {"ab"}, TokenType::Normal);
    const Tokenizer t = make(m);
    EXPECT_EQ(t.encode("ab", false, false), (std::vector<uint32_t>{257}));
    EXPECT_EQ(t.decode(std::vector<uint32_t>{256, 257}, false, false), "abab");
    EXPECT_THROW(t.decode(std::vector<uint32_t>{258}, false, false), InternalFault);
}

TEST(TokVocabulary, HostileMetadataIsAnErrorNamingTheKey) {
    using Edit = std::function<void(Metadata&)>;
    auto set = [](std::string key, GGUFValue v) { return Edit([=](Metadata& m) { m[key] = v; }); };
    auto erase = [](std::string key) { return Edit([=](Metadata& m) { m.erase(key); }); };
    auto element = [](std::string key, size_t i, GGUFValue v) {
        return Edit([=](Metadata& m) { std::get<GGUFValue::Array>(m[key].value).at(i) = v; });
    };
    const GGUFValue nan{std::numeric_limits<float>::quiet_NaN()};
    const std::tuple<bool, Edit, std::string> cases[] = {  // a llama vocabulary (or gpt2), the edit, the key named
        {false, erase("tokenizer.ggml.model"), "tokenizer.ggml.model"},
        {false, set("tokenizer.ggml.model", GGUFValue{std::string("bert")}), "\"bert\""},
        {false, set("tokenizer.ggml.model", GGUFValue{uint32_t(1)}), "tokenizer.ggml.model"},
        {false, set("tokenizer.ggml.pre", GGUFValue{std::string("klingon")}), "tokenizer.ggml.pre"},
        {false, set("tokenizer.ggml.tokens", array({})), "tokenizer.ggml.tokens"},
        {false, set("tokenizer.ggml.tokens", GGUFValue{std::string("a")}), "tokenizer.ggml.tokens"},
        {false, element("tokenizer.ggml.tokens", 3, GGUFValue{uint8_t(3)}), "tokenizer.ggml.tokens"},
        {false, erase("tokenizer.ggml.merges"), "tokenizer.ggml.merges"},
        {false, element("tokenizer.ggml.merges", 0, GGUFValue{std::string("ab")}), "tokenizer.ggml.merges"},
        {false, element("tokenizer.ggml.merges", 0, GGUFValue{std::string("a ")}), "tokenizer.ggml.merges"},
        {false, element("tokenizer.ggml.merges", 0, GGUFValue{std::string("a zz")}), "tokenizer.ggml.merges"},
        {false, element("tokenizer.ggml.merges", 0, GGUFValue{std::string("b a")}), "tokenizer.ggml.merges"},
        {false, element("tokenizer.ggml.merges", 0, array({})), "tokenizer.ggml.merges"},
        {false, set("tokenizer.ggml.bos_token_id", GGUFValue{uint32_t(257)}), "tokenizer.ggml.bos_token_id"},
        {false, set("tokenizer.ggml.eos_token_id", GGUFValue{int32_t(-1)}), "tokenizer.ggml.eos_token_id"},
        {false, set("tokenizer.ggml.eot_token_id", GGUFValue{std::string("2")}), "tokenizer.ggml.eot_token_id"},
        {false, set("tokenizer.ggml.unknown_token_id", GGUFValue{uint64_t(1) << 40}), "unknown_token_id"},
        {false, set("tokenizer.ggml.add_bos_token", GGUFValue{uint8_t(1)}), "tokenizer.ggml.add_bos_token"},
        {true, set("tokenizer.ggml.token_type", array({GGUFValue{int32_t(1)}})), "tokenizer.ggml.token_type"},
        {true, element("tokenizer.ggml.token_type", 5, GGUFValue{int32_t(7)}), "tokenizer.ggml.token_type"},
        {true, element("tokenizer.ggml.token_type", 5, GGUFValue{1.0f}), "tokenizer.ggml.token_type"},
        {true, set("tokenizer.ggml.scores", array({GGUFValue{1.0f}})), "tokenizer.ggml.scores"},
        {true, element("tokenizer.ggml.scores", 5, nan), "tokenizer.ggml.scores"},
        {true, element("tokenizer.ggml.scores", 5, GGUFValue{int32_t(1)}), "tokenizer.ggml.scores"},
        {true, set("tokenizer.ggml.add_space_prefix", GGUFValue{std::string("yes")}), "add_space_prefix"},
    };
    for (const auto& [llama, edit, key] : cases) {
        Metadata m = llama ? llama_vocab({{"a", 0}}) : gpt2_vocab({{"a", "b"}});
        edit(m);
        const auto t = Tokenizer::from_metadata(m);
        ASSERT_FALSE(t.has_value()) << key;
        EXPECT_NE(t.error().message().find(key), std::string::npos) << t.error().message();
    }
}

}  // namespace
