// PyLlamaSession: wraps LlamaSession; Python sees the bare name "LlamaSession".
#include <string>
#include <utility>
#include <vector>

#include "inference/forward.hpp"
#include "compute/pool.hpp"
#include "inference/sampler.hpp"
#include "lib/classes.hpp"
#include "lib/kit.hpp"

namespace quillfen::py {

namespace {

using PyLlamaSession = Wrapper<LlamaSession>;

constexpr const char* kNewNames[] = {"path"};
constexpr Signature kNewSignature{"LlamaSession.__new__()", kNewNames, 1};

constexpr const char* kGenerateNames[] = {"token_id", "temperature", "top_k", "top_p"};
constexpr Signature kGenerateSignature{"LlamaSession.generate_next_token()", kGenerateNames, 4};

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_tuple(kNewSignature, args, kwargs, bound)) return nullptr;
        auto path = arg_str(bound[0], "path", StrWording::Core);
        if (!path) return nullptr;
        std::vector<std::string> warnings;
        auto session = LlamaSession::load(*path, &warnings);
        if (!session) return raise_runtime("Failed to load model: " + session.error().message());
        // Through the warnings module, so filters apply; one turned into an error fails the call.
        for (const std::string& text : warnings)
            if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) return nullptr;
        return make_instance(type, std::move(*session));
    });
}

PyObject* session_generate_next_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_exclusive<LlamaSession>(self, [&](LlamaSession& session) -> PyObject* {
        PyObject* bound[4] = {};
        if (!bind_fastcall(kGenerateSignature, args, nargs, kwnames, bound)) return nullptr;
        // Every conversion comes before the step, so a bad argument leaves the session as it was.
        auto token_id = arg_u32(bound[0], "token_id");
        if (!token_id) return nullptr;
        auto temperature = arg_f64(bound[1], "temperature");
        if (!temperature) return nullptr;
        auto top_k = arg_u64(bound[2], "top_k");
        if (!top_k) return nullptr;
        auto top_p = arg_f64(bound[3], "top_p");
        if (!top_p) return nullptr;
        std::vector<float> logits = forward(session, *token_id);
        uint32_t id = 0;
        pool().execute([&] {
            id = sample(std::move(logits), float(*temperature), *top_k, float(*top_p), session.rng_state);
        });
        return to_py(uint64_t{id});
    });
}

PyObject* session_reset(PyObject* self, PyObject*) {
    return with_exclusive<LlamaSession>(self, [](LlamaSession& session) -> PyObject* {
        session.reset();
        return none();
    });
}

PyObject* session_vocab_size(PyObject* self, PyObject*) {
    return with_shared<LlamaSession>(self, [](const LlamaSession& s) { return to_py(s.vocab_size()); });
}

PyObject* session_num_layers(PyObject* self, PyObject*) {
    return with_shared<LlamaSession>(self, [](const LlamaSession& s) { return to_py(s.num_layers()); });
}

PyObject* session_hidden_dim(PyObject* self, PyObject*) {
    return with_shared<LlamaSession>(self, [](const LlamaSession& s) { return to_py(s.hidden_dim()); });
}

PyMethodDef kSessionMethods[] = {
    {"generate_next_token", fastcall_method(session_generate_next_token),
     METH_FASTCALL | METH_KEYWORDS, "generate_next_token($self, token_id, temperature, top_k, top_p)\n--\n\n"},
    {"reset", session_reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"vocab_size", session_vocab_size, METH_NOARGS, "vocab_size($self)\n--\n\n"},
    {"num_layers", session_num_layers, METH_NOARGS, "num_layers($self)\n--\n\n"},
    {"hidden_dim", session_hidden_dim, METH_NOARGS, "hidden_dim($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kSessionSlots[] = {
    {Py_tp_doc, const_cast<char*>("LlamaSession(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<LlamaSession>)},
    {Py_tp_methods, kSessionMethods},
    {0, nullptr}};

PyType_Spec kSessionSpec = {"builtins.LlamaSession", sizeof(PyLlamaSession), 0, Py_TPFLAGS_DEFAULT, kSessionSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* llama_session_type() { return cached_type(g_type, &kSessionSpec); }

}  // namespace quillfen::py
