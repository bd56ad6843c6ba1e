#include <Python.h>
static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tqfReader", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__tqfReader(void) { return PyModule_Create(&module_def); }
