// describe(path): the container of a GGUF file as plain Python values, for `quillfen info`.
#include "lib/runtime/runtime.hpp"  // first: Python.h comes before the standard headers

#include <string>
#include <variant>

#include "formats/gguf.hpp"
#include "formats/gguf_types.hpp"
#include "tensor/file.hpp"

namespace quillfen::py {

namespace {

constexpr const char* kNames[] = {"path"};
constexpr Signature kSignature{"describe()", kNames, 1};

PyObject* value_to_py(const GGUFValue& v) {
    return std::visit(
        [](const auto& x) -> PyObject* {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) {
                return to_py_bool(x);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return to_py(std::string_view(x));
            } else if constexpr (std::is_same_v<T, GGUFValue::Array>) {
                OwnedRef list(checked(PyList_New(Py_ssize_t(x.size()))));
                if (!list) return nullptr;
                for (size_t i = 0; i < x.size(); ++i) {
                    PyObject* item = value_to_py(x[i]);  // nesting is bounded by the reader
                    if (!item) return nullptr;
                    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
                }
                return list.release();
            } else if constexpr (std::is_floating_point_v<T>) {
                return to_py(double(x));
            } else if constexpr (std::is_signed_v<T>) {
                return checked(PyLong_FromLongLong(x));
            } else {
                return to_py(uint64_t(x));
            }
        },
        v.value);
}

// Adds `value` (a new reference, or nullptr) under `key`; false when either failed.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    OwnedRef held(value);
    return PyDict_SetItemString(dict, key, value) == 0;
}

}  // namespace

PyObject* describe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
        auto path = arg_str(bound[0], "path");
        if (!path) return nullptr;
        auto contents = without_gil([&]() -> Result<GGUFContents> {
            auto file = File::open(*path);
            if (!file) return std::unexpected(std::move(file).error());
            GGUFReadOptions options;
            options.keep_arrays = true;
            return read_gguf(*file, options);
        });
        if (!contents) return raise_runtime("Failed to read GGUF file: " + contents.error().message());

        OwnedRef out(checked(PyDict_New()));
        OwnedRef metadata(checked(PyDict_New()));
        OwnedRef tensors(checked(PyList_New(0)));
        if (!out || !metadata || !tensors) return nullptr;
        for (const auto& [key, value] : contents->metadata) {
            OwnedRef name(to_py(std::string_view(key)));  // keys may hold NUL: not as C strings
            OwnedRef item(value_to_py(value));
            if (!name || !item || PyDict_SetItem(metadata.get(), name.get(), item.get()) < 0) return nullptr;
        }
        for (const GGUFTensorInfo& info : contents->tensors) {
            OwnedRef dims(checked(PyTuple_New(Py_ssize_t(info.dims.size()))));
            if (!dims) return nullptr;
            for (size_t i = 0; i < info.dims.size(); ++i) {
                PyObject* d = to_py(info.dims[i]);
                if (!d) return nullptr;
                PyTuple_SET_ITEM(dims.get(), Py_ssize_t(i), d);
            }
            const auto size = info.byte_size();
            OwnedRef row(build_tuple({to_py(std::string_view(info.name)), to_py(gguf_type_info(info.type_code).name),
                                      dims.release(), size ? to_py(*size) : none(),
                                      to_py_bool(contents->position_in_file(info).has_value())}));
            if (!row || PyList_Append(tensors.get(), row.get()) < 0) return nullptr;
        }
        if (!put(out.get(), "version", to_py(uint64_t{contents->version})) ||
            !put(out.get(), "alignment", to_py(contents->alignment)) ||
            !put(out.get(), "file_size", to_py(contents->file_size)) ||
            PyDict_SetItemString(out.get(), "metadata", metadata.get()) < 0 ||
            PyDict_SetItemString(out.get(), "tensors", tensors.get()) < 0)
            return nullptr;
        return out.release();
    });
}

}  // namespace quillfen::py
