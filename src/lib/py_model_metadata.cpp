// ModelMetadata: a read-only view of one metadata record, created only by the system.

#include "lib/classes.hpp"

namespace quillfen::py {
namespace {

using PyModelMetadata = Wrapper<ModelMetadata>;

template <class Fn>
PyObject* read(PyObject* self, Fn&& fn) {
    return with_shared<ModelMetadata>(self, std::forward<Fn>(fn));
}

template <uint64_t ModelMetadata::*Field>
PyObject* get_count(PyObject* self, void*) {
    return read(self, [](const ModelMetadata& m) { return to_py(m.*Field); });
}

template <std::string ModelMetadata::*Field>
PyObject* get_text(PyObject* self, void*) {
    return read(self, [](const ModelMetadata& m) { return to_py(std::string_view(m.*Field)); });
}

PyObject* get_is_moe(PyObject* self, void*) {
    return read(self, [](const ModelMetadata& m) { return to_py_bool(m.moe.has_value()); });
}

// Expert counts read 0 on a model without experts.
template <uint64_t MoeMetadata::*Field>
PyObject* get_moe_count(PyObject* self, void*) {
    return read(self, [](const ModelMetadata& m) { return to_py(m.moe ? (*m.moe).*Field : uint64_t{0}); });
}

PyObject* metadata_repr(PyObject* self) {
    return read(self, [](const ModelMetadata& m) { return to_py(std::string_view(m.repr())); });
}

PyGetSetDef kMetadataProperties[] = {
    {"architecture", get_text<&ModelMetadata::architecture>, nullptr, nullptr, nullptr},
    {"num_layers", get_count<&ModelMetadata::num_layers>, nullptr, nullptr, nullptr},
    {"hidden_size", get_count<&ModelMetadata::hidden_size>, nullptr, nullptr, nullptr},
    {"num_attention_heads", get_count<&ModelMetadata::num_attention_heads>, nullptr, nullptr, nullptr},
    {"num_kv_heads", get_count<&ModelMetadata::num_kv_heads>, nullptr, nullptr, nullptr},
    {"vocab_size", get_count<&ModelMetadata::vocab_size>, nullptr, nullptr, nullptr},
    {"context_length", get_count<&ModelMetadata::context_length>, nullptr, nullptr, nullptr},
    {"file_size", get_count<&ModelMetadata::file_size>, nullptr, nullptr, nullptr},
    {"format_name", get_text<&ModelMetadata::format_name>, nullptr, nullptr, nullptr},
    {"is_moe", get_is_moe, nullptr, nullptr, nullptr},
    {"num_experts", get_moe_count<&MoeMetadata::num_experts>, nullptr, nullptr, nullptr},
    {"num_active_experts", get_moe_count<&MoeMetadata::num_active_experts>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kMetadataSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<ModelMetadata>)},
    {Py_tp_getset, kMetadataProperties},
    {Py_tp_repr, reinterpret_cast<void*>(metadata_repr)},
    {0, nullptr}};

PyType_Spec kMetadataSpec = {"builtins.ModelMetadata", sizeof(PyModelMetadata), 0, Py_TPFLAGS_DEFAULT,
                             kMetadataSlots};

PyTypeObject* g_metadata_type = nullptr;

}  // namespace

PyTypeObject* model_metadata_type() { return cached_type(g_metadata_type, &kMetadataSpec); }

PyObject* new_model_metadata(const ModelMetadata& record) {
    PyTypeObject* type = model_metadata_type();
    if (!type) return nullptr;
    return make_instance(type, ModelMetadata(record));
}

}  // namespace quillfen::py
