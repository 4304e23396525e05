// pick_peaks(mz, intensity, *, min_intensity=0.0, min_snr=2.0): the
// centroids of one profile spectrum given as any one-dimensional arrays
// (NumPy arrays, buffers such as array.array, sequences of numbers),
// returned as two NumPy arrays. Arrays of the picker's own types (float64
// m/z, float32 intensities, contiguous) are read in place; others are
// converted first. The picking runs without the interpreter lock.
#include <string>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "module.hpp"
#include "velorium/peaks/pick.hpp"

namespace velorium::python {
namespace {

// The message of a library error without its kind ("parse error: ").
std::string message_of(const Error& error) {
  if (const auto* parse = error.as_parse()) return parse->message;
  return error.display();
}

}  // namespace

bool pick_params_argument(const char* function, PyObject* min_intensity, PyObject* min_snr,
                          peaks::PickParams& params) {
  if ((min_intensity != nullptr && !number_argument(function, "min_intensity", min_intensity, params.min_intensity)) ||
      (min_snr != nullptr && !number_argument(function, "min_snr", min_snr, params.min_snr))) {
    return false;
  }
  if (auto checked = peaks::check_params(params); !checked) {
    PyErr_Format(PyExc_ValueError, "%s() argument %s", function, message_of(checked.error()).c_str());
    return false;
  }
  return true;
}

PyObject* pick_peaks(PyObject* module, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"mz", "intensity", "min_intensity", "min_snr", nullptr};
    PyObject* mz_object = nullptr;
    PyObject* intensity_object = nullptr;
    PyObject* min_intensity = nullptr;
    PyObject* min_snr = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OO:pick_peaks", const_cast<char**>(keywords), &mz_object,
                                     &intensity_object, &min_intensity, &min_snr)) {
      return nullptr;
    }
    peaks::PickParams params;
    if (!pick_params_argument("pick_peaks", min_intensity, min_snr, params)) return nullptr;
    NumberArray<double> mz;
    NumberArray<float> intensity;
    // An item that is no number is a ValueError, as NumPy's conversion of
    // such a list says.
    if (!mz.read("pick_peaks", "mz", mz_object, PyExc_ValueError) ||
        !intensity.read("pick_peaks", "intensity", intensity_object, PyExc_ValueError)) {
      return nullptr;
    }
    std::vector<double> mz_out;
    std::vector<float> intensity_out;
    std::optional<Result<void>> picked;
    {
      WithoutGil unlocked;
      picked.emplace(peaks::pick(mz.values(), intensity.values(), params, mz_out, intensity_out));
    }
    if (!*picked) {
      PyErr_Format(PyExc_ValueError, "pick_peaks(): %s", message_of(picked->error()).c_str());
      return nullptr;
    }
    ModuleState* state = state_of_module(module);
    Ref mz_array(numpy_owned(state, std::move(mz_out), ElementType::F64));
    if (!mz_array) return nullptr;
    Ref intensity_array(numpy_owned(state, std::move(intensity_out), ElementType::F32));
    if (!intensity_array) return nullptr;
    return PyTuple_Pack(2, mz_array.get(), intensity_array.get());
  });
}

}  // namespace velorium::python
