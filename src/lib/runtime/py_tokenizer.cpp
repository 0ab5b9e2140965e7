// Tokenizer: a GGUF file's vocabulary. Immutable, so calls need no lock; encoding and decoding run
// without the interpreter lock.
#include "lib/runtime/runtime.hpp"  // first: Python.h comes before the standard headers

#include <string>
#include <utility>
#include <vector>

namespace quillfen::py {

namespace {

// Shared: a model hands out the vocabulary it uses.
using SharedTokenizer = std::shared_ptr<const Tokenizer>;
using PyTokenizer = Wrapper<SharedTokenizer>;

const Tokenizer& tok(PyObject* self) { return **as_wrapper<SharedTokenizer>(self)->core; }

constexpr const char* kNewNames[] = {"path"};
constexpr Signature kNewSignature{"Tokenizer.__new__()", kNewNames, 1};
constexpr const char* kEncodeNames[] = {"text", "add_special", "parse_special"};
constexpr Signature kEncodeSignature{"Tokenizer.encode()", kEncodeNames, 1};
constexpr const char* kPartsNames[] = {"parts", "add_special"};
constexpr Signature kPartsSignature{"Tokenizer.encode_parts()", kPartsNames, 1};
constexpr const char* kDecodeNames[] = {"ids", "special", "strip_leading_space"};
constexpr Signature kDecodeSignature{"Tokenizer.decode()", kDecodeNames, 1};
constexpr const char* kIdNames[] = {"id"};
constexpr Signature kTokenTextSignature{"Tokenizer.token_text()", kIdNames, 1};
constexpr Signature kEndSignature{"Tokenizer.is_end_of_generation()", kIdNames, 1};

// An optional flag: absent means `fallback`.
std::optional<bool> flag(PyObject* bound, const char* name, bool fallback) {
    return bound ? arg_bool(bound, name) : std::optional<bool>(fallback);
}

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_tuple(kNewSignature, args, kwargs, bound)) return nullptr;
        auto path = arg_str(bound[0], "path");
        if (!path) return nullptr;
        auto loaded = without_gil([&] { return Tokenizer::load(*path); });
        if (!loaded) return raise_runtime("Failed to load tokenizer: " + loaded.error().message());
        return make_instance(type, SharedTokenizer(std::make_shared<const Tokenizer>(std::move(*loaded))));
    });
}

PyObject* tokenizer_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_fastcall(kEncodeSignature, args, nargs, kwnames, bound)) return nullptr;
        auto text = arg_str(bound[0], "text");
        if (!text) return nullptr;
        auto add_special = flag(bound[1], "add_special", true);
        if (!add_special) return nullptr;
        auto parse_special = flag(bound[2], "parse_special", false);
        if (!parse_special) return nullptr;
        const Tokenizer& t = tok(self);
        auto ids = without_gil([&] { return t.encode(*text, *add_special, *parse_special); });
        return to_py_list(ids);
    });
}

PyObject* tokenizer_encode_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2] = {};
        if (!bind_fastcall(kPartsSignature, args, nargs, kwnames, bound)) return nullptr;
        OwnedRef seq(PySequence_Fast(bound[0], "argument 'parts': expected a sequence of (text, parse_special) pairs"));
        if (!seq) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<std::string> texts;
        std::vector<bool> parse;
        texts.reserve(size_t(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                return raise_type_error("argument 'parts': expected a sequence of (text, parse_special) pairs");
            auto text = arg_str(PyTuple_GET_ITEM(pair, 0), "parts");
            if (!text) return nullptr;
            auto special = arg_bool(PyTuple_GET_ITEM(pair, 1), "parts");
            if (!special) return nullptr;
            texts.push_back(std::move(*text));
            parse.push_back(*special);
        }
        auto add_special = flag(bound[1], "add_special", true);
        if (!add_special) return nullptr;
        std::vector<Tokenizer::TextPart> parts;
        for (size_t i = 0; i < texts.size(); ++i) parts.push_back({texts[i], parse[i]});
        const Tokenizer& t = tok(self);
        auto ids = without_gil([&] { return t.encode(parts, *add_special); });
        return to_py_list(ids);
    });
}

PyObject* tokenizer_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_fastcall(kDecodeSignature, args, nargs, kwnames, bound)) return nullptr;
        auto ids = arg_u32_list(bound[0], "ids");
        if (!ids) return nullptr;
        auto special = flag(bound[1], "special", true);
        if (!special) return nullptr;
        auto strip = flag(bound[2], "strip_leading_space", false);
        if (!strip) return nullptr;
        const Tokenizer& t = tok(self);
        for (uint32_t id : *ids)
            if (id >= t.vocab_size()) {
                PyErr_Format(PyExc_ValueError, "token id %u is outside the vocabulary of %llu tokens", id,
                             static_cast<unsigned long long>(t.vocab_size()));
                return nullptr;
            }
        auto bytes = without_gil([&] { return t.decode(*ids, *special, *strip); });
        return to_py_bytes(bytes);
    });
}

// The one id argument of token_text / is_end_of_generation, checked against the vocabulary.
std::optional<uint32_t> vocab_id(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject* bound[1] = {};
    if (!bind_fastcall(sig, args, nargs, kwnames, bound)) return std::nullopt;
    auto id = arg_u32(bound[0], "id");
    if (!id) return std::nullopt;
    if (*id >= tok(self).vocab_size()) {
        PyErr_Format(PyExc_ValueError, "token id %u is outside the vocabulary of %llu tokens", *id,
                     static_cast<unsigned long long>(tok(self).vocab_size()));
        return std::nullopt;
    }
    return id;
}

PyObject* tokenizer_token_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto id = vocab_id(kTokenTextSignature, self, args, nargs, kwnames);
        return id ? to_py(tok(self).token_text(*id)) : nullptr;
    });
}

PyObject* tokenizer_is_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto id = vocab_id(kEndSignature, self, args, nargs, kwnames);
        return id ? to_py_bool(tok(self).is_end_of_generation(*id)) : nullptr;
    });
}

PyObject* optional_id(std::optional<uint32_t> id) { return id ? to_py(uint64_t{*id}) : none(); }

PyObject* get_kind(PyObject* self, void*) { return guarded([&] { return to_py(tok(self).kind_name()); }); }
PyObject* get_pre(PyObject* self, void*) { return guarded([&] { return to_py(tok(self).pre()); }); }
PyObject* get_vocab_size(PyObject* self, void*) { return guarded([&] { return to_py(tok(self).vocab_size()); }); }
PyObject* get_bos(PyObject* self, void*) { return guarded([&] { return optional_id(tok(self).bos_id()); }); }
PyObject* get_eos(PyObject* self, void*) { return guarded([&] { return optional_id(tok(self).eos_id()); }); }
PyObject* get_eot(PyObject* self, void*) { return guarded([&] { return optional_id(tok(self).eot_id()); }); }
PyObject* get_add_bos(PyObject* self, void*) { return guarded([&] { return to_py_bool(tok(self).add_bos()); }); }
PyObject* get_add_eos(PyObject* self, void*) { return guarded([&] { return to_py_bool(tok(self).add_eos()); }); }
PyObject* get_add_space_prefix(PyObject* self, void*) {
    return guarded([&] { return to_py_bool(tok(self).add_space_prefix()); });
}

PyMethodDef kMethods[] = {
    {"encode", fastcall_method(tokenizer_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, /, text, add_special=True, parse_special=False)\n--\n\n"
     "Token ids of `text`. add_special adds the BOS/EOS ids the file asks for; parse_special matches the\n"
     "text of control tokens (such as <|im_start|>) as those tokens instead of as plain text."},
    {"encode_parts", fastcall_method(tokenizer_encode_parts), METH_FASTCALL | METH_KEYWORDS,
     "encode_parts($self, /, parts, add_special=True)\n--\n\n"
     "Token ids of the texts of `parts`, (text, parse_special) pairs, joined: as encode gives them for the\n"
     "joined text, but control tokens match only where their whole text lies in parts whose parse_special\n"
     "is true (a chat template's markup, never the messages it holds)."},
    {"decode", fastcall_method(tokenizer_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, /, ids, special=True, strip_leading_space=False)\n--\n\n"
     "The bytes `ids` stand for (UTF-8, though a character may be split between tokens). special: include\n"
     "control tokens' text; strip_leading_space: drop the space the tokenizer put before the text."},
    {"token_text", fastcall_method(tokenizer_token_text), METH_FASTCALL | METH_KEYWORDS,
     "token_text($self, /, id)\n--\n\nThe token's text as the vocabulary stores it."},
    {"is_end_of_generation", fastcall_method(tokenizer_is_end), METH_FASTCALL | METH_KEYWORDS,
     "is_end_of_generation($self, /, id)\n--\n\nWhether generating this token ends the text or the turn."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"kind", get_kind, nullptr, "'gpt2' (byte-level BPE) or 'llama' (SentencePiece-style BPE)", nullptr},
    {"pre", get_pre, nullptr, "The pre-tokenizer the file names.", nullptr},
    {"vocab_size", get_vocab_size, nullptr, "Number of tokens.", nullptr},
    {"bos_id", get_bos, nullptr, "Beginning-of-sequence id, or None.", nullptr},
    {"eos_id", get_eos, nullptr, "End-of-sequence id, or None.", nullptr},
    {"eot_id", get_eot, nullptr, "End-of-turn id, or None.", nullptr},
    {"add_bos", get_add_bos, nullptr, "Whether encode(add_special=True) starts with BOS.", nullptr},
    {"add_eos", get_add_eos, nullptr, "Whether encode(add_special=True) ends with EOS.", nullptr},
    {"add_space_prefix", get_add_space_prefix, nullptr, "Whether a space is put before the text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Tokenizer(path)\n--\n\nThe vocabulary of a GGUF file, read without its weights.")},
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<SharedTokenizer>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"quillfen._runtime.Tokenizer", sizeof(PyTokenizer), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* tokenizer_type() { return cached_type(g_type, &kSpec); }

PyObject* new_tokenizer(std::shared_ptr<const Tokenizer> tokenizer) {
    PyTypeObject* type = tokenizer_type();
    if (!type) return nullptr;
    return make_instance(type, SharedTokenizer(std::move(tokenizer)));
}

}  // namespace quillfen::py
