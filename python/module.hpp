// Module state and the types of the extension module.
#pragma once

#include "pyutil.hpp"

#include <cstddef>
#include <memory>

#include "lumora/types.hpp"

namespace velorium::store {
class PeakStore;
}

namespace velorium::python {

class PeakColumns;

struct ModuleState {
  PyTypeObject* raw_reader_type = nullptr;
  PyTypeObject* spectrum_type = nullptr;
  PyTypeObject* spectrum_iter_type = nullptr;
  PyTypeObject* buffer_type = nullptr;  // arrays.cpp
};

// The state of the module that defined `type` (one of the module's own,
// non-subclassable types).
ModuleState* state_of_type(PyTypeObject* type);
ModuleState* state_of_module(PyObject* module);

// Creates the type objects; new references, or null with an exception set.
PyObject* create_raw_reader_type(PyObject* module);
PyObject* create_spectrum_type(PyObject* module);
PyObject* create_spectrum_iter_type(PyObject* module);

// A new Spectrum that takes over `record`.
PyObject* new_spectrum(ModuleState* state, lumora::SpectrumRecord&& record);

// A new Spectrum of the store's spectrum at `position` (below store->size()),
// sharing the store: no copy of the record or the peaks.
PyObject* new_spectrum_from_store(ModuleState* state, std::shared_ptr<const store::PeakStore> store,
                                  std::size_t position);

// The same with the arrays of the store's columns shared: `columns` are
// PeakColumns over store->mz() and store->intensity(), which every spectrum
// of the store that is made with them slices.
PyObject* new_spectrum_from_columns(ModuleState* state, std::shared_ptr<const store::PeakStore> store,
                                    std::shared_ptr<PeakColumns> columns, std::size_t position);

// The module function iter_spectra(path).
PyObject* iter_spectra(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
inline constexpr const char* kIterSpectraDoc =
    "iter_spectra(path)\n--\n\nDecode spectra one at a time without buffering the whole acquisition.";

// Turns the active C++ exception into a Python exception; returns null.
PyObject* translate_exception() noexcept;

// Runs `body` (which returns a new reference or null) with C++ exceptions
// turned into Python exceptions, so that none unwinds through the
// interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return translate_exception();
  }
}

// Flags of the module's types: immutable, and not callable from Python
// unless their PyType_Spec gives a Py_tp_new slot.
inline constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                            | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;
inline constexpr unsigned int kUncallableTypeFlags = kTypeFlags
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
                                                      | Py_TPFLAGS_DISALLOW_INSTANTIATION
#endif
    ;

// A heap type of the module from `type_spec`; a new reference or null.
PyObject* create_type(PyObject* module, PyType_Spec* type_spec);

}  // namespace velorium::python
