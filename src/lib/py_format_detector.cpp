// FormatDetector: two static methods over format detection. The class is never instantiated.

#include "formats/loader.hpp"
#include "lib/classes.hpp"

namespace quillfen::py {
namespace {

// The class has no instances; the empty value only gives the wrapper type its layout.
struct FormatDetector {};
using PyFormatDetector = Wrapper<FormatDetector>;

constexpr const char* kPathParam[] = {"path"};
const Signature kDetectSig{"FormatDetector.detect()", kPathParam, 1};
const Signature kLoadMetadataSig{"FormatDetector.load_metadata()", kPathParam, 1};

// The `path` argument of a static method, or nullopt with a Python error set.
std::optional<std::string> bind_path(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    PyObject* bound[1];
    if (!bind_fastcall(sig, args, nargsf, kwnames, bound)) return std::nullopt;
    return arg_str(bound[0], "path", StrWording::Core);
}

PyObject* detector_detect(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto path = bind_path(kDetectSig, args, nargsf, kwnames);
        if (!path) return nullptr;
        auto loader = auto_detect_format(*path);
        if (!loader) return raise_runtime(loader.error());
        return to_py((*loader)->format_name());
    });
}

PyObject* detector_load_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto path = bind_path(kLoadMetadataSig, args, nargsf, kwnames);
        if (!path) return nullptr;
        auto loader = auto_detect_format(*path);
        if (!loader) return raise_runtime(loader.error());
        auto metadata = (*loader)->load_metadata(*path);  // PyTorch-bin and ONNX fault here
        if (!metadata) return raise_runtime(metadata.error());
        return new_model_metadata(*metadata);
    });
}

PyMethodDef kDetectorMethods[] = {
    {"detect", fastcall_method(detector_detect),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "detect(path)\n--\n\n"},
    {"load_metadata", fastcall_method(detector_load_metadata),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "load_metadata(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kDetectorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<FormatDetector>)},
    {Py_tp_methods, kDetectorMethods},
    {0, nullptr}};

PyType_Spec kDetectorSpec = {"builtins.FormatDetector", sizeof(PyFormatDetector), 0, Py_TPFLAGS_DEFAULT,
                             kDetectorSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* format_detector_type() { return cached_type(g_type, &kDetectorSpec); }

}  // namespace quillfen::py
