// placeholder, replaced by the binding kit
#include <Python.h>
static PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_core", "", -1, nullptr};
PyMODINIT_FUNC PyInit__core(void) { return PyModule_Create(&kModule); }
