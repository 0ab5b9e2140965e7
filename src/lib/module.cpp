// Module initialisation of `_core`: one module object per process, main interpreter only.

#include "lib/classes.hpp"

namespace quillfen::py {
namespace {

constexpr const char* kVersion = "0.1.1";

// The classes in the order the module sets them (and lists them in __all__).
struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};
constexpr ClassEntry kClasses[] = {
    {"TieredMemoryManager", tiered_memory_manager_type},
    {"Scheduler", scheduler_type},
    {"FormatDetector", format_detector_type},
    {"ModelMetadata", model_metadata_type},
    {"InferenceEngine", inference_engine_type},
    {"HardwareProfile", hardware_profile_type},
    {"LlamaSession", llama_session_type},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,  // not -1: CPython then calls PyInit__core again on re-import, which hands back the same object
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

// Sets `name` on the module and appends it to __all__, creating the list on first use.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (!all) {
        OwnedRef list(PyList_New(0));
        if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
        all = list.get();
    }
    OwnedRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
    OwnedRef module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    OwnedRef version(PyUnicode_FromString(kVersion));
    if (!version || !add_name(module.get(), "__version__", version.get())) return nullptr;
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (!type || !add_name(module.get(), entry.name, reinterpret_cast<PyObject*>(type))) return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace quillfen::py

PyMODINIT_FUNC PyInit__core(void) {
    using namespace quillfen::py;
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        // Class objects and the module are process-wide; a second interpreter would share them.
        PyErr_SetString(PyExc_ImportError, "quillfen._core does not support sub-interpreters");
        return nullptr;
    }
    if (!g_module) {
        if (!kernel_level_accepted()) return nullptr;
        g_module = create_module();
        if (!g_module) return nullptr;
    }
    return Py_NewRef(g_module);
}
