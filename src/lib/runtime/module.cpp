// Module initialisation of `_runtime`: the native side of the user-facing layer that sits beside
// `_core` (whose surface stays fixed): the text model and its tokenizer, a GGUF file's description,
// and which kernels this process runs.

#include "lib/kit.hpp"  // first: Python.h comes before the standard headers

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "compute/kernels.hpp"
#include "compute/pool.hpp"
#include "inference/architecture.hpp"
#include "inference/sampler.hpp"
#include "lib/runtime/runtime.hpp"

namespace quillfen::py {
namespace {

// kernel_isa() -> str: the instruction-set level whose kernels this process uses.
PyObject* kernel_isa(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return to_py(isa_name(kernels().isa)); });
}

// A tuple of str from `names`.
PyObject* name_tuple(const std::vector<std::string_view>& names) {
    OwnedRef tuple(checked(PyTuple_New(Py_ssize_t(names.size()))));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* name = to_py(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), name);  // steals the reference
    }
    return tuple.release();
}

// cpu_isas() -> tuple[str, ...]: every level this CPU runs, narrowest first.
PyObject* cpu_isas(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        std::vector<std::string_view> names;
        for (Isa isa : kAllIsas)
            if (cpu_runs(isa)) names.push_back(isa_name(isa));
        return name_tuple(names);
    });
}

// architectures() -> tuple[str, ...]: the general.architecture values TextModel runs.
PyObject* architectures(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        std::vector<std::string_view> names;
        for (const ArchitectureRow& row : quillfen::architectures()) names.push_back(row.name);
        return name_tuple(names);
    });
}

constexpr const char* kSampleNames[] = {"logits", "temperature", "top_k", "top_p", "min_p", "rng_state"};
constexpr Signature kSampleSignature{"sample()", kSampleNames, 1};

// sample(logits, ...) -> int: the draw TextModel.next_token makes, from logits the caller holds (and may
// have changed, by penalties say), so that a caller that needs the logits runs the model once per token.
PyObject* sample(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[6] = {};
        if (!bind_fastcall(kSampleSignature, args, nargs, kwnames, bound)) return nullptr;
        double values[3] = {0.0, 1.0, 0.0};  // temperature, top_p, min_p: greedy, filters off
        const int slots[3] = {1, 3, 4};
        for (int i = 0; i < 3; ++i) {
            if (!bound[slots[i]]) continue;
            auto v = arg_f64(bound[slots[i]], kSampleNames[slots[i]]);
            if (!v) return nullptr;
            values[i] = *v;
        }
        uint64_t counts[2] = {0, 0};  // top_k, rng_state
        const char* const count_names[] = {"top_k", "rng_state"};
        PyObject* const count_args[] = {bound[2], bound[5]};
        if (!args_u64_or_zero(count_args, count_names, counts)) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
        std::vector<float> logits(size_t(view.len) / sizeof(float));
        const bool whole = view.len > 0 && size_t(view.len) % sizeof(float) == 0;
        if (whole) std::memcpy(logits.data(), view.buf, logits.size() * sizeof(float));
        PyBuffer_Release(&view);
        if (!whole) {
            PyErr_SetString(PyExc_ValueError, "logits must be a non-empty buffer of native float32 values");
            return nullptr;
        }
        uint32_t id = 0;
        without_gil([&] {
            pool().execute([&] {
                id = sample_tempered(std::move(logits), float(values[0]), counts[0], float(values[1]), counts[1],
                                     float(values[2]));
            });
        });
        return to_py(uint64_t{id});
    });
}

PyMethodDef g_methods[] = {
    {"kernel_isa", kernel_isa, METH_NOARGS,
     "kernel_isa()\n--\n\nThe instruction-set level of the kernels in use: 'portable', 'avx2' or 'avx512'.\n"
     "QUILLFEN_ISA, read once at import, chooses a level below the widest this CPU runs."},
    {"cpu_isas", cpu_isas, METH_NOARGS,
     "cpu_isas()\n--\n\nEvery kernel level this CPU runs, narrowest first."},
    {"architectures", architectures, METH_NOARGS,
     "architectures()\n--\n\nThe model architectures (general.architecture) TextModel runs."},
    {"describe", fastcall_method(describe), METH_FASTCALL | METH_KEYWORDS,
     "describe(path)\n--\n\nA GGUF file's container as a dict: version, alignment, file_size, metadata (every\n"
     "key and value) and tensors ((name, type, dims, bytes, in_file) in file order)."},
    {"sample", fastcall_method(sample), METH_FASTCALL | METH_KEYWORDS,
     "sample(logits, temperature=0.0, top_k=0, top_p=1.0, min_p=0.0, rng_state=0)\n--\n\n"
     "The token TextModel.next_token would draw from `logits` (native float32 bytes, one per vocabulary\n"
     "entry) with these settings: the same filters, the same generator state, the same id."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_runtime", "The native side of quillfen's user-facing layer.", 0, g_methods,
    nullptr,               nullptr,    nullptr,                                          nullptr,
};

}  // namespace
}  // namespace quillfen::py

PyMODINIT_FUNC PyInit__runtime(void) {
    using namespace quillfen::py;
    if (!kernel_level_accepted()) return nullptr;
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    for (auto [name, type] : {std::pair{"Tokenizer", tokenizer_type()}, std::pair{"TextModel", text_model_type()},
                              std::pair{"LoadProgress", load_progress_type()}})
        if (!type || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    return module;
}
