// PyInferenceEngine: wraps an InferenceEngine.

#include "lib/classes.hpp"
#include "lib/engine.hpp"

namespace quillfen::py {

namespace {

using PyInferenceEngine = Wrapper<InferenceEngine>;

constexpr const char* kNewParams[] = {"vram_budget", "ram_budget"};
const Signature kNewSig{"InferenceEngine.__new__()", kNewParams, 0};
constexpr const char* kLoadParams[] = {"path"};
const Signature kLoadSig{"InferenceEngine.load_model()", kLoadParams, 1};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
        uint64_t budgets[2];
        if (!args_u64_or_zero(bound, kNewParams, budgets)) return nullptr;
        auto engine = InferenceEngine::create(budgets[0], budgets[1]);
        if (!engine) return raise_runtime(engine.error());
        return make_instance(type, std::move(*engine));
    });
}

PyObject* engine_load_model(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return with_exclusive<InferenceEngine>(self, [&](InferenceEngine& engine) -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(kLoadSig, args, nargsf, kwnames, bound)) return nullptr;
        auto path = arg_str(bound[0], "path", StrWording::Core);
        if (!path) return nullptr;
        auto metadata = engine.load_model(*path);
        if (!metadata) return raise_runtime(metadata.error());
        return new_model_metadata(*metadata);
    });
}

PyObject* engine_backend_count(PyObject* self, PyObject*) {
    return with_shared<InferenceEngine>(
        self, [](const InferenceEngine& e) { return to_py(uint64_t{e.scheduler.backend_count()}); });
}

PyMethodDef kMethods[] = {
    {"load_model", fastcall_method(engine_load_model),
     METH_FASTCALL | METH_KEYWORDS, "load_model($self, path)\n--\n\n"},
    {"backend_count", engine_backend_count, METH_NOARGS, "backend_count($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("InferenceEngine(vram_budget=0, ram_budget=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<InferenceEngine>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.InferenceEngine", sizeof(PyInferenceEngine), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* inference_engine_type() { return cached_type(g_type, &kSpec); }

}  // namespace quillfen::py
