// The binding kit: the only code besides the class wrappers that includes Python.h.
// Argument binding with fixed call-shape texts, conversions, borrow flags, the one guard that
// turns C++ failures into Python exceptions, and the generic wrapper object every class uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tensor/error.hpp"

namespace quillfen::py {

struct DecRef {
    void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};
using OwnedRef = std::unique_ptr<PyObject, DecRef>;  // a new reference held across failure points

// ---- argument binding ----------------------------------------------------------------------

// Parameter names of one callable; the first `required` have no default.
struct Signature {
    const char* call;  // as errors print it: "LlamaSession.generate_next_token()", "Scheduler.__new__()"
    std::span<const char* const> names;
    size_t required;
};
// The names of a callable without parameters: Signature{"Scheduler.__new__()", kNoParams, 0}.
inline constexpr std::span<const char* const> kNoParams{};

// Binds a fastcall (vectorcall) argument vector. `out` receives one borrowed reference per parameter,
// nullptr for an optional parameter not given (`out` itself may be nullptr when there are none). False
// with a TypeError set on a bad call shape.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out);
// The same for a tuple and an optional dict (constructors).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. On failure a Python error is set and the result is empty; a TypeError is reworded
// as "argument '{name}': {reason}", an OverflowError passes through.

// How a `str` parameter given another type is refused: as Python's own functions say it ("argument
// 'text': expected str, got NoneType"), or in the wording `_core`'s surface has always kept
// ("argument 'path': 'NoneType' object cannot be converted to 'PyString'").
enum class StrWording : uint8_t { Python, Core };
std::optional<std::string> arg_str(PyObject* value, const char* name,
                                   StrWording wording = StrWording::Python);  // str only, as UTF-8
std::optional<uint64_t> arg_u64(PyObject* value, const char* name);
std::optional<uint32_t> arg_u32(PyObject* value, const char* name);
std::optional<double> arg_f64(PyObject* value, const char* name);  // any object with a float value
std::optional<bool> arg_bool(PyObject* value, const char* name);   // truth value of any object
// Any sequence of ints in [0, 2^32).
std::optional<std::vector<uint32_t>> arg_u32_list(PyObject* value, const char* name);
// Every bound argument of `names` converted by arg_u64 into `out`; an argument not given leaves 0.
// False with the conversion's error set.
bool args_u64_or_zero(PyObject* const* bound, std::span<const char* const> names, uint64_t* out);

// ---- results ---------------------------------------------------------------------------------
// Each returns a new reference. If the interpreter cannot create the object, the pending error is
// printed and PanicException "Python API call failed" is raised instead (nullptr returned).
PyObject* to_py(uint64_t value);
PyObject* to_py_bool(bool value);
PyObject* to_py(double value);
PyObject* to_py(std::string_view utf8);
PyObject* none();
PyObject* to_py_list(std::span<const uint32_t> values);
PyObject* to_py_bytes(std::string_view bytes);
PyObject* checked(PyObject* created);  // applies that rule to any freshly created object
PyObject* build_tuple(std::initializer_list<PyObject*> stolen_items);  // steals; nullptr items fail it

// ---- errors ----------------------------------------------------------------------------------
PyObject* raise_runtime(const Error& error);        // RuntimeError, top-level message only
PyObject* raise_runtime(const std::string& message);
PyObject* raise_type_error(const char* message);
// TypeError "argument '{name}': expected {expected}, got {type of value}".
PyObject* raise_argument_type(const char* name, const char* expected, PyObject* value);
PyObject* raise_panic(const char* text);            // nullptr text: a fixed generic text
PyObject* panic_exception_type();                   // created on first need, derives from BaseException

// Runs `body` (which returns a new reference, or nullptr with a Python error set) and turns an
// InternalFault thrown anywhere below into PanicException. Every entry point goes through here.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const InternalFault& f) {
        return raise_panic(f.what());
    } catch (const std::bad_alloc&) {
        // Lengths from files are checked before anything is allocated for them, so this is real
        // exhaustion of memory: nothing sensible is left to raise.
        std::abort();
    } catch (...) {
        return raise_panic(nullptr);
    }
}

// Runs `fn()` with the interpreter lock released, so other Python threads go on meanwhile; the lock is
// taken back however `fn` ends. `fn` must not touch a Python object.
template <class Fn>
decltype(auto) without_gil(Fn&& fn) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return fn();
}

// int-returning slots (tp_init-like) are not used; constructors are tp_new.

// ---- borrow flags ----------------------------------------------------------------------------
// Any number of shared borrows or one exclusive borrow. Conflicts arise only through re-entrant calls.
struct BorrowFlag {
    Py_ssize_t state = 0;  // >0: shared count, -1: exclusive
};

class Borrow {
public:
    // nullopt with RuntimeError "Already mutably borrowed" set.
    static std::optional<Borrow> shared(BorrowFlag& flag);
    // nullopt with RuntimeError "Already borrowed" set.
    static std::optional<Borrow> exclusive(BorrowFlag& flag);
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow();

private:
    Borrow(BorrowFlag* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}
    BorrowFlag* flag_;
    bool exclusive_;
};

// ---- the wrapper object ----------------------------------------------------------------------
// Every class is `Wrapper<T>`: one owned core value plus its borrow flag, named `PyX` for the class X
// it wraps (`using PyLlamaSession = Wrapper<LlamaSession>;`).
template <class T>
struct Wrapper {
    PyObject_HEAD
    T* core;  // owned: set by make_instance, deleted in dealloc
    BorrowFlag flag;
};

template <class T>
Wrapper<T>* as_wrapper(PyObject* self) {
    return reinterpret_cast<Wrapper<T>*>(self);
}

template <class T>
void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_wrapper<T>(self)->core;
    type->tp_free(self);
    Py_DECREF(type);  // heap-type instances hold a reference to their type
}

// A new instance of `type` taking over `core` (a new reference), with the creation-failure rule above.
// For core values that cannot move, such as those holding a lock.
template <class T>
PyObject* adopt_instance(PyTypeObject* type, std::unique_ptr<T> core) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return checked(nullptr);
    as_wrapper<T>(self)->core = core.release();
    as_wrapper<T>(self)->flag = BorrowFlag{};
    return self;
}

// A new instance of `type` owning `value`, as above.
template <class T>
PyObject* make_instance(PyTypeObject* type, T&& value) {
    return adopt_instance(type, std::make_unique<std::decay_t<T>>(std::forward<T>(value)));
}

// Runs `fn(const T&)` under a shared borrow of `self`, inside the guard.
template <class T, class Fn>
PyObject* with_shared(PyObject* self, Fn&& fn) noexcept {
    return guarded([&]() -> PyObject* {
        auto borrow = Borrow::shared(as_wrapper<T>(self)->flag);
        if (!borrow) return nullptr;
        return fn(static_cast<const T&>(*as_wrapper<T>(self)->core));
    });
}

// Runs `fn(T&)` under an exclusive borrow of `self`, inside the guard.
template <class T, class Fn>
PyObject* with_exclusive(PyObject* self, Fn&& fn) noexcept {
    return guarded([&]() -> PyObject* {
        auto borrow = Borrow::exclusive(as_wrapper<T>(self)->flag);
        if (!borrow) return nullptr;
        return fn(*as_wrapper<T>(self)->core);
    });
}

// A METH_FASTCALL | METH_KEYWORDS function as PyMethodDef stores it.
template <class F>
PyCFunction fastcall_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Heap type from a PyType_Spec named "builtins.X" (so __module__ reads "builtins"). New reference or nullptr.
PyTypeObject* make_type(PyType_Spec* type_slots);

// Caches the class object described by `type_slots` in `slot` on first use. Borrowed reference or nullptr.
inline PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec* type_slots) {
    if (!slot) slot = make_type(type_slots);
    return slot;
}

// tp_new of classes without a constructor: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// ---- module initialisation ------------------------------------------------------------------

// False with ImportError set when QUILLFEN_ISA asks for a kernel level this CPU cannot run (or names
// none), or QUILLFEN_NUM_THREADS is not a thread count: a module refuses to load rather than run
// other kernels, or another number of workers, than the ones asked for.
bool kernel_level_accepted();

}  // namespace quillfen::py
