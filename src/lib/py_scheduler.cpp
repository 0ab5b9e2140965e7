// PyScheduler: wraps a Scheduler built by device detection.

#include "lib/classes.hpp"
#include "scheduler/scheduler.hpp"

namespace quillfen::py {
namespace {

using PyScheduler = Wrapper<Scheduler>;

// A new list of (name, device type text) tuples, one per backend.
PyObject* backend_info_list(const Scheduler& scheduler) {
    const auto infos = scheduler.backend_info();
    OwnedRef list(checked(PyList_New(static_cast<Py_ssize_t>(infos.size()))));
    if (!list) return nullptr;
    for (size_t i = 0; i < infos.size(); ++i) {
        PyObject* item = build_tuple({to_py(infos[i].first), to_py(infos[i].second)});
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

const Signature kNewSig{"Scheduler.__new__()", kNoParams, 0};

PyObject* scheduler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_tuple(kNewSig, args, kwargs, nullptr)) return nullptr;
        auto scheduler = Scheduler::with_auto_detect();
        if (!scheduler) return raise_runtime(scheduler.error());
        return make_instance(type, std::move(*scheduler));
    });
}

PyObject* scheduler_backend_count(PyObject* self, PyObject*) {
    return with_shared<Scheduler>(self, [](const Scheduler& s) { return to_py(uint64_t{s.backend_count()}); });
}

PyObject* scheduler_backend_info(PyObject* self, PyObject*) {
    return with_shared<Scheduler>(self, [](const Scheduler& s) { return backend_info_list(s); });
}

PyMethodDef kMethods[] = {
    {"backend_count", scheduler_backend_count, METH_NOARGS, "backend_count($self)\n--\n\n"},
    {"backend_info", scheduler_backend_info, METH_NOARGS, "backend_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Scheduler()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(scheduler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<Scheduler>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Scheduler", sizeof(PyScheduler), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* scheduler_type() { return cached_type(g_type, &kSpec); }

}  // namespace quillfen::py
