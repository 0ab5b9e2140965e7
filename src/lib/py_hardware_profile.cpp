// PyHardwareProfile: wraps a HardwareProfile; every profile made from Python is Generic.

#include "lib/classes.hpp"
#include "sparse_oracle/hardware_profile.hpp"

namespace quillfen::py {
namespace {

using PyHardwareProfile = Wrapper<HardwareProfile>;

const Signature kNewSig{"HardwareProfile.__new__()", kNoParams, 0};

PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_tuple(kNewSig, args, kwargs, nullptr)) return nullptr;
        return make_instance(type, HardwareProfile{});
    });
}

PyObject* profile_is_gpu(PyObject* self, PyObject*) {
    return with_shared<HardwareProfile>(self, [](const HardwareProfile& p) { return to_py_bool(p.is_gpu()); });
}

PyObject* profile_is_apu(PyObject* self, PyObject*) {
    return with_shared<HardwareProfile>(self, [](const HardwareProfile& p) { return to_py_bool(p.is_apu()); });
}

PyObject* profile_repr(PyObject* self) {
    return with_shared<HardwareProfile>(self, [](const HardwareProfile& p) { return to_py(p.debug()); });
}

PyMethodDef kMethods[] = {
    {"is_gpu", profile_is_gpu, METH_NOARGS, "is_gpu($self)\n--\n\n"},
    {"is_apu", profile_is_apu, METH_NOARGS, "is_apu($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("HardwareProfile()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(profile_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<HardwareProfile>)},
    {Py_tp_repr, reinterpret_cast<void*>(profile_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.HardwareProfile", sizeof(PyHardwareProfile), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* hardware_profile_type() { return cached_type(g_type, &kSpec); }

}  // namespace quillfen::py
