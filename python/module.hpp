// Module state and the types of the extension module.
#pragma once

#include "pyutil.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "lumora/types.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/reader.hpp"

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
  PyTypeObject* acquisition_type = nullptr;          // acquisition.cpp
  PyTypeObject* acquisition_spectra_type = nullptr;  // acquisition.cpp, private
};

// The state of the module that defined `type` (one of the module's own,
// non-subclassable types).
ModuleState* state_of_type(PyTypeObject* type);
ModuleState* state_of_module(PyObject* module);

// Creates the type objects; new references, or null with an exception set.
PyObject* create_raw_reader_type(PyObject* module);
PyObject* create_spectrum_type(PyObject* module);
PyObject* create_spectrum_iter_type(PyObject* module);

// class Acquisition (acquisition.cpp): one opened acquisition, decoded on
// demand. Immutable after construction, so methods of other files may use it
// from any thread without a lock.
struct AcquisitionObject {
  PyObject_HEAD
  PyObject* path = nullptr;  // str: the path as given (os.fspath form), for repr and pickling
  std::shared_ptr<const Reader> reader;
  // The block read where a scan has both (prefer), and which spectra are
  // handed out picked, with the picker's parameters.
  peaks::DecodeOptions options;
  // (scan number, index) pairs sorted by scan number, then index.
  std::vector<std::pair<std::uint32_t, std::size_t>> by_scan_number;
};

PyObject* create_acquisition_type(PyObject* module);
PyObject* create_acquisition_spectra_type(PyObject* module);

// Accessors for the methods that other files add to Acquisition's method
// table; `self` must be an Acquisition.
const Reader& acquisition_reader(PyObject* self);
std::shared_ptr<const Reader> acquisition_reader_ptr(PyObject* self);
const peaks::DecodeOptions& acquisition_options(PyObject* self);

// xic(...) of Acquisition and RawReader (xic.cpp): METH_VARARGS | METH_KEYWORDS.
PyObject* acquisition_xic(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* raw_reader_xic(PyObject* self, PyObject* args, PyObject* kwds);
// The store of a RawReader `self` (raw_reader.cpp).
std::shared_ptr<const store::PeakStore> raw_reader_store(PyObject* self);
inline constexpr const char* kXicDoc =
    "xic($self, /, targets, tolerance, unit='ppm', ms_level=1, rt_range=None, aggregate='sum', *,\n"
    "    polarity=None, scan_range=None)\n--\n\n"
    "Extracted-ion chromatograms of many targets in one pass: (retention times in\n"
    "seconds, values of shape (len(targets), scans)), float64 arrays. Each target m\n"
    "takes the points in [m - w, m + w], w = tolerance * m * 1e-6 (unit='ppm') or\n"
    "w = tolerance (unit='mz'), and their intensity sum in spectrum order (or\n"
    "aggregate='max'), 0 where there is none. The scans are selected as by\n"
    "Acquisition.select(), with ms_level=1 unless told otherwise.";

// The module function pick_peaks(mz, intensity, *, min_intensity=0.0,
// min_snr=2.0) (pick_peaks.cpp), METH_VARARGS | METH_KEYWORDS.
PyObject* pick_peaks(PyObject* module, PyObject* args, PyObject* kwds);
inline constexpr const char* kPickPeaksDoc =
    "pick_peaks(mz, intensity, *, min_intensity=0.0, min_snr=2.0)\n--\n\n"
    "The centroids of one profile spectrum: (m/z float64, apex intensity float32)\n"
    "NumPy arrays. mz and intensity are one-dimensional arrays of one length (NumPy\n"
    "arrays, buffers or sequences of numbers), m/z strictly ascending. A peak is kept\n"
    "when its highest point is at least min_intensity and at least min_snr times the\n"
    "median of the positive intensities. ValueError for m/z that do not ascend.";

// Reads the keyword arguments min_intensity and min_snr (null: the
// default) of `function` into `params`; false with TypeError or ValueError
// set when either is not a finite non-negative number.
bool pick_params_argument(const char* function, PyObject* min_intensity, PyObject* min_snr,
                          peaks::PickParams& params);

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
