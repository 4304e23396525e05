// The extension module `velorium`: multi-phase initialisation; the
// execution step adds the module's classes and functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int velorium_exec(PyObject* /*module*/) { return 0; }

PyModuleDef_Slot velorium_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(velorium_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef velorium_module = {
    PyModuleDef_HEAD_INIT,
    "velorium",
    nullptr,  // no docstring
    0,
    nullptr,
    velorium_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velorium(void) { return PyModuleDef_Init(&velorium_module); }
