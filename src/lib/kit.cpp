#include "lib/kit.hpp"

#include "compute/pool.hpp"

#include "compute/kernels.hpp"

#include <string>
#include <vector>

namespace quillfen::py {

namespace {

PyObject* g_panic_type = nullptr;  // created on first need, kept for the life of the process

// 'x'; 'x' and 'y'; 'x', 'y', and 'z'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    const size_t n = names.size();
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) {
            if (n > 2) out += ',';
            out += i == n - 1 ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const Signature& sig, size_t given) {
    const size_t max = sig.names.size();
    const char* verb = given == 1 ? "was" : "were";
    std::string msg = std::string(sig.call) + " takes ";
    if (sig.required != max)
        msg += "from " + std::to_string(sig.required) + " to " + std::to_string(max);
    else
        msg += std::to_string(max);
    msg += " positional arguments but " + std::to_string(given) + " " + verb + " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// Places one keyword argument; false with TypeError set when it names no parameter or one given already.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.call);
        return false;
    }
    for (size_t i = 0; i < sig.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.call, sig.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.call, key);
    return false;
}

bool check_required(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.names[i]);
    if (missing.empty()) return true;
    std::string msg = std::string(sig.call) + " missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                      quoted_list(missing);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// Rewords a pending TypeError as "argument '{name}': {reason}"; other errors pass through.
void reword_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    OwnedRef reason(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (!reason) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out) {
    const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    const size_t nparams = sig.names.size();
    if (nargs > nparams) return too_many_positional(sig, nargs);
    for (size_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<size_t>(k)], out))
                return false;
    }
    return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    const size_t nparams = sig.names.size();
    if (nargs > nparams) return too_many_positional(sig, nargs);
    for (size_t i = 0; i < nparams; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(sig, key, value, out)) return false;
    }
    return check_required(sig, out);
}

std::optional<std::string> arg_str(PyObject* value, const char* name, StrWording wording) {
    if (!PyUnicode_Check(value)) {
        if (wording == StrWording::Python) {
            raise_argument_type(name, "str", value);
            return std::nullopt;
        }
        OwnedRef type_name(PyType_GetQualName(Py_TYPE(value)));
        if (!type_name) return std::nullopt;
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'", name,
                     type_name.get());
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) return std::nullopt;  // lone surrogates: the interpreter's own UnicodeEncodeError
    return std::string(utf8, static_cast<size_t>(size));
}

std::optional<uint64_t> arg_u64(PyObject* value, const char* name) {
    OwnedRef index(PyNumber_Index(value));
    if (!index) {
        reword_type_error(name);
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        reword_type_error(name);
        return std::nullopt;
    }
    return static_cast<uint64_t>(v);
}

bool args_u64_or_zero(PyObject* const* bound, std::span<const char* const> names, uint64_t* out) {
    for (size_t i = 0; i < names.size(); ++i) {
        out[i] = 0;
        if (!bound[i]) continue;
        auto v = arg_u64(bound[i], names[i]);
        if (!v) return false;
        out[i] = *v;
    }
    return true;
}

std::optional<uint32_t> arg_u32(PyObject* value, const char* name) {
    OwnedRef index(PyNumber_Index(value));
    if (!index) {
        reword_type_error(name);
        return std::nullopt;
    }
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        reword_type_error(name);
        return std::nullopt;
    }
    if (v < 0 || v > static_cast<long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

std::optional<double> arg_f64(PyObject* value, const char* name) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        reword_type_error(name);
        return std::nullopt;
    }
    return v;
}

std::optional<bool> arg_bool(PyObject* value, const char*) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    return truth != 0;
}

std::optional<std::vector<uint32_t>> arg_u32_list(PyObject* value, const char* name) {
    OwnedRef seq(PySequence_Fast(value, ""));
    if (!seq) {
        PyErr_Clear();
        raise_argument_type(name, "a sequence of token ids", value);
        return std::nullopt;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<uint32_t> out;
    out.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto v = arg_u32(PySequence_Fast_GET_ITEM(seq.get(), i), name);
        if (!v) return std::nullopt;
        out.push_back(*v);
    }
    return out;
}

PyObject* checked(PyObject* created) {
    if (created) return created;
    if (PyErr_Occurred()) PyErr_Print();
    return raise_panic("Python API call failed");
}

PyObject* to_py(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyObject* to_py_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
PyObject* to_py(double value) { return checked(PyFloat_FromDouble(value)); }
PyObject* to_py(std::string_view utf8) {
    return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
PyObject* none() { Py_RETURN_NONE; }

PyObject* to_py_list(std::span<const uint32_t> values) {
    OwnedRef list(checked(PyList_New(Py_ssize_t(values.size()))));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_py(uint64_t{values[i]});
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);  // steals the reference
    }
    return list.release();
}

PyObject* to_py_bytes(std::string_view bytes) {
    return checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
}

PyObject* build_tuple(std::initializer_list<PyObject*> stolen_items) {
    bool ok = true;
    for (PyObject* item : stolen_items) ok = ok && item;
    PyObject* tuple = ok ? PyTuple_New(static_cast<Py_ssize_t>(stolen_items.size())) : nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : stolen_items) {
        if (tuple)
            PyTuple_SET_ITEM(tuple, i++, item);
        else
            Py_XDECREF(item);
    }
    if (tuple) return tuple;
    return ok ? checked(nullptr) : nullptr;  // a failed item has already raised
}

PyObject* raise_runtime(const Error& error) { return raise_runtime(error.message()); }

PyObject* raise_runtime(const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* raise_type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

PyObject* raise_argument_type(const char* name, const char* expected, PyObject* value) {
    OwnedRef type_name(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %U", name, expected, type_name.get());
    return nullptr;
}

PyObject* panic_exception_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "quillfen.PanicException",
            "An internal fault of the native core: a broken invariant or an operation that is not implemented.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* raise_panic(const char* text) {
    PyObject* type = panic_exception_type();
    if (!type) return nullptr;
    PyErr_SetString(type, text ? text : "internal fault in the native core");
    return nullptr;
}

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) {
    if (flag.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
    }
    ++flag.state;
    return Borrow(&flag, false);
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) {
    if (flag.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    flag.state = -1;
    return Borrow(&flag, true);
}

Borrow::~Borrow() {
    if (!flag_) return;
    if (exclusive_)
        flag_->state = 0;
    else
        --flag_->state;
}

PyTypeObject* make_type(PyType_Spec* type_slots) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_slots));
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) { return raise_type_error("No constructor defined"); }

bool kernel_level_accepted() {
    const Result<Isa>& isa = chosen_isa();
    const Result<int>& threads = chosen_threads();
    if (isa && threads) return true;
    PyErr_SetString(PyExc_ImportError, (isa ? threads.error() : isa.error()).message().c_str());
    return false;
}

}  // namespace quillfen::py
