// PyTieredMemoryManager: wraps a TieredMemoryManager with the Python constructor's default budgets.

#include "lib/classes.hpp"
#include "memory/manager.hpp"

namespace quillfen::py {
namespace {

using PyTieredMemoryManager = Wrapper<TieredMemoryManager>;

constexpr const char* kNewParams[] = {"vram_budget", "ram_budget", "swap_budget"};
const Signature kNewSig{"TieredMemoryManager.__new__()", kNewParams, 0};

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
        uint64_t budgets[3];
        if (!args_u64_or_zero(bound, kNewParams, budgets)) return nullptr;
        // All zero (or none given): the defaults, 4.8 GiB of RAM and twice that of swap.
        if (budgets[0] == 0 && budgets[1] == 0 && budgets[2] == 0) {
            budgets[1] = kDefaultRamBudget;
            budgets[2] = kDefaultSwapBudget;
        }
        return make_instance(type, TieredMemoryManager(budgets[0], budgets[1], budgets[2]));
    });
}

PyObject* manager_vram_budget(PyObject* self, PyObject*) {
    return with_shared<TieredMemoryManager>(self, [](const TieredMemoryManager& m) { return to_py(m.vram_budget()); });
}

PyObject* manager_ram_budget(PyObject* self, PyObject*) {
    return with_shared<TieredMemoryManager>(self, [](const TieredMemoryManager& m) { return to_py(m.ram_budget()); });
}

PyObject* manager_swap_budget(PyObject* self, PyObject*) {
    return with_shared<TieredMemoryManager>(self, [](const TieredMemoryManager& m) { return to_py(m.swap_budget()); });
}

PyObject* manager_tier_stats(PyObject* self, PyObject*) {
    return with_shared<TieredMemoryManager>(self, [](const TieredMemoryManager& m) -> PyObject* {
        const auto stats = m.tier_stats();
        OwnedRef list(checked(PyList_New(static_cast<Py_ssize_t>(stats.size()))));
        if (!list) return nullptr;
        for (size_t i = 0; i < stats.size(); ++i) {
            const auto& s = stats[i];
            PyObject* item = build_tuple({to_py(s.name), to_py(s.used), to_py(s.budget),
                                          to_py(static_cast<double>(s.utilisation))});
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyMethodDef kMethods[] = {
    {"tier_stats", manager_tier_stats, METH_NOARGS, "tier_stats($self)\n--\n\n"},
    {"vram_budget", manager_vram_budget, METH_NOARGS, "vram_budget($self)\n--\n\n"},
    {"ram_budget", manager_ram_budget, METH_NOARGS, "ram_budget($self)\n--\n\n"},
    {"swap_budget", manager_swap_budget, METH_NOARGS, "swap_budget($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("TieredMemoryManager(vram_budget=0, ram_budget=0, swap_budget=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(manager_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<TieredMemoryManager>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.TieredMemoryManager", sizeof(PyTieredMemoryManager), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* tiered_memory_manager_type() { return cached_type(g_type, &kSpec); }

}  // namespace quillfen::py
