// The Python classes of `_core`. Each accessor creates its class object on first use and keeps
// it for the life of the process; it returns a borrowed reference, or nullptr with an error set.
#pragma once

#include "lib/kit.hpp"
#include "tensor/tensor.hpp"

namespace quillfen::py {

PyTypeObject* tiered_memory_manager_type();
PyTypeObject* scheduler_type();
PyTypeObject* format_detector_type();
PyTypeObject* model_metadata_type();
PyTypeObject* inference_engine_type();
PyTypeObject* hardware_profile_type();
PyTypeObject* llama_session_type();

// A new ModelMetadata object owning a copy of `record`.
PyObject* new_model_metadata(const ModelMetadata& record);

}  // namespace quillfen::py
