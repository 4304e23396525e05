// The extension module `velorium`: multi-phase initialisation; the
// execution step adds RawReader, Spectrum, SpectrumIter and iter_spectra,
// then Acquisition and pick_peaks, each to the module and, in that order, to
// its __all__ list. The module is installed as the __init__ of the package
// `velorium`.
#include "module.hpp"

#include "arrays.hpp"

#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "velorium/version.hpp"

namespace velorium::python {
namespace {

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->raw_reader_type);
  Py_VISIT(state->spectrum_type);
  Py_VISIT(state->spectrum_iter_type);
  Py_VISIT(state->buffer_type);
  Py_VISIT(state->acquisition_type);
  Py_VISIT(state->acquisition_spectra_type);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->raw_reader_type);
  Py_CLEAR(state->spectrum_type);
  Py_CLEAR(state->spectrum_iter_type);
  Py_CLEAR(state->buffer_type);
  Py_CLEAR(state->acquisition_type);
  Py_CLEAR(state->acquisition_spectra_type);
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

// Sets module.<name> = object and appends name to __all__ (created if the
// module has none). Takes over the reference to `object`.
int add_public(PyObject* module, const char* name, PyObject* object) {
  Ref owned(object);
  if (!owned) return -1;
  if (PyModule_AddObjectRef(module, name, owned.get()) != 0) return -1;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
  }
  Ref text(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all.get(), text.get());
}

// Installed as velorium/__init__.<suffix>, the module is the package
// `velorium`, whose folder holds its pure-Python modules (velorium.dask). The
// import system sets __path__ when it finds the file itself; a loader that
// takes only __init__.py for a package (the redirecting finder of an editable
// install) leaves it out, so it is set here from the module's origin. Only
// the text of the origin is used: no file is touched.
int set_package_path(PyObject* module) {
  const auto absent = [] {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  };
  if (Ref path(PyObject_GetAttrString(module, "__path__")); path) return 0;
  if (absent() != 0) return -1;
  Ref module_spec(PyObject_GetAttrString(module, "__spec__"));
  if (!module_spec) return absent();
  if (module_spec.get() == Py_None) return 0;
  Ref origin(PyObject_GetAttrString(module_spec.get(), "origin"));
  if (!origin) return absent();
  if (!PyUnicode_Check(origin.get())) return 0;
  const Py_ssize_t length = PyUnicode_GetLength(origin.get());
  const Py_ssize_t slash = PyUnicode_FindChar(origin.get(), '/', 0, length, -1);
  if (slash == -2) return -1;
  if (slash < 0) return 0;
  Ref init(PyUnicode_FromString("__init__."));
  if (!init) return -1;
  const Py_ssize_t is_init = PyUnicode_Tailmatch(origin.get(), init.get(), slash + 1, length, -1);
  if (is_init <= 0) return static_cast<int>(is_init);
  Ref folder(PyUnicode_Substring(origin.get(), 0, slash));
  Ref list(PyList_New(0));
  if (!folder || !list || PyList_Append(list.get(), folder.get()) != 0) return -1;
  return PyModule_AddObjectRef(module, "__path__", list.get());
}

PyMethodDef kIterSpectraDef = {
    "iter_spectra", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_spectra)),
    METH_FASTCALL | METH_KEYWORDS, kIterSpectraDoc};

PyMethodDef kPickPeaksDef = {"pick_peaks",
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pick_peaks)),
                             METH_VARARGS | METH_KEYWORDS, kPickPeaksDoc};

int exec_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (set_package_path(module) != 0) return -1;
  // The package's version: the one the library reports in run metadata.
  if (PyModule_AddStringConstant(module, "__version__", std::string(kSoftwareVersion).c_str()) != 0) return -1;
  PyObject* buffer = create_buffer_type(module);
  if (buffer == nullptr) return -1;
  state->buffer_type = reinterpret_cast<PyTypeObject*>(buffer);  // private: not in the module's namespace

  PyObject* raw_reader = create_raw_reader_type(module);
  if (raw_reader == nullptr) return -1;
  state->raw_reader_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(raw_reader));
  if (add_public(module, "RawReader", raw_reader) != 0) return -1;

  PyObject* spectrum = create_spectrum_type(module);
  if (spectrum == nullptr) return -1;
  state->spectrum_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(spectrum));
  if (add_public(module, "Spectrum", spectrum) != 0) return -1;

  PyObject* iter = create_spectrum_iter_type(module);
  if (iter == nullptr) return -1;
  state->spectrum_iter_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(iter));
  if (add_public(module, "SpectrumIter", iter) != 0) return -1;

  Ref module_name(PyUnicode_FromString("velorium"));
  if (!module_name) return -1;
  if (add_public(module, "iter_spectra", PyCFunction_NewEx(&kIterSpectraDef, module, module_name.get())) != 0) {
    return -1;
  }

  // Added after the four names above, which keep their order.
  PyObject* spectra = create_acquisition_spectra_type(module);
  if (spectra == nullptr) return -1;
  state->acquisition_spectra_type = reinterpret_cast<PyTypeObject*>(spectra);  // private: not in the namespace
  PyObject* acquisition = create_acquisition_type(module);
  if (acquisition == nullptr) return -1;
  state->acquisition_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(acquisition));
  if (add_public(module, "Acquisition", acquisition) != 0) return -1;
  return add_public(module, "pick_peaks", PyCFunction_NewEx(&kPickPeaksDef, module, module_name.get()));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "velorium",
    nullptr,  // no docstring
    sizeof(ModuleState),
    nullptr,
    kSlots,
    traverse,
    clear,
    free_module,
};

}  // namespace

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState* state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) return nullptr;
  return state_of_module(module);
}

PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return nullptr;
}

PyObject* create_type(PyObject* module, PyType_Spec* type_spec) {
  PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
  // Older interpreters: a type without its own constructor would inherit
  // object's; remove it so that calling the class raises TypeError.
  bool has_new = false;
  for (const PyType_Slot* slot = type_spec->slots; slot->slot != 0; ++slot) has_new |= slot->slot == Py_tp_new;
  if (type != nullptr && !has_new) reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
#endif
  return type;
}

}  // namespace velorium::python

PyMODINIT_FUNC PyInit_velorium(void) { return PyModuleDef_Init(&velorium::python::kModule); }
