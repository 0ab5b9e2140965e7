// The classes of `_runtime`. Each accessor creates its class object on first use and keeps it for the
// life of the process; it returns a borrowed reference, or nullptr with an error set.
#pragma once

#include <memory>

#include "inference/tokenizer.hpp"
#include "lib/kit.hpp"

namespace quillfen::py {

PyTypeObject* tokenizer_type();
PyTypeObject* text_model_type();
PyTypeObject* load_progress_type();

// A new Tokenizer object sharing `tokenizer` (a model hands out the vocabulary it uses).
PyObject* new_tokenizer(std::shared_ptr<const Tokenizer> tokenizer);

// describe(path) -> dict: what `quillfen info` prints of a GGUF file.
PyObject* describe(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quillfen::py
