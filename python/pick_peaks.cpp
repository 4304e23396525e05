// pick_peaks(mz, intensity, *, min_intensity=0.0, min_snr=2.0): the
// centroids of one profile spectrum given as any one-dimensional arrays
// (NumPy arrays, buffers such as array.array, sequences of numbers),
// returned as two NumPy arrays. Arrays of the picker's own types (float64
// m/z, float32 intensities, contiguous) are read in place; others are
// converted first. The picking runs without the interpreter lock.
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "module.hpp"
#include "velorium/peaks/pick.hpp"

namespace velorium::python {
namespace {

// A one-dimensional array of numbers as a span of T: the caller's own memory
// when it is a contiguous buffer of T, a converted copy otherwise.
template <class T>
class NumberArray {
 public:
  NumberArray() = default;
  NumberArray(const NumberArray&) = delete;
  NumberArray& operator=(const NumberArray&) = delete;
  ~NumberArray() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }

  // False with TypeError or ValueError set (naming `function`'s argument
  // `name`) when `value` is no one-dimensional array of numbers.
  bool read(const char* function, const char* name, PyObject* value) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array of numbers, not %.200s", function, name,
                   Py_TYPE(value)->tp_name);
      return false;
    }
    if (PyObject_CheckBuffer(value) && PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) == 0) {
      if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be one-dimensional, not %d-dimensional", function,
                     name, view_.ndim);
        return false;
      }
      if (from_buffer()) return true;
      PyBuffer_Release(&view_);  // a format read item by item below
      view_ = Py_buffer{};
    } else {
      PyErr_Clear();
    }
    return from_sequence(function, name, value);
  }

  std::span<const T> values() const noexcept { return values_; }

 private:
  // Native-order element types: the struct code after an optional byte
  // order mark, when that mark keeps the machine's order.
  static char native_code(const char* format) {
    if (format == nullptr) return 'B';
    std::string_view f(format);
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little))) {
      f.remove_prefix(1);
    }
    return f.size() == 1 ? f[0] : '\0';
  }

  template <class From>
  void convert(Py_ssize_t count, Py_ssize_t stride) {
    own_.resize(static_cast<std::size_t>(count));
    const char* item = static_cast<const char*>(view_.buf);
    for (Py_ssize_t i = 0; i < count; ++i, item += stride) {
      From v;
      std::memcpy(&v, item, sizeof v);
      own_[static_cast<std::size_t>(i)] = static_cast<T>(v);
    }
    values_ = own_;
  }

  bool from_buffer() {
    const Py_ssize_t count = view_.shape != nullptr ? view_.shape[0] : view_.len / view_.itemsize;
    const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
    const char code = native_code(view_.format);
    if (stride == static_cast<Py_ssize_t>(sizeof(T)) && view_.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
        code == (sizeof(T) == 8 ? 'd' : 'f')) {
      values_ = {static_cast<const T*>(view_.buf), static_cast<std::size_t>(count)};
      return true;
    }
    switch (code) {
      case 'd': convert<double>(count, stride); return view_.itemsize == 8;
      case 'f': convert<float>(count, stride); return view_.itemsize == 4;
      case 'b': convert<signed char>(count, stride); return true;
      case 'B': convert<unsigned char>(count, stride); return true;
      case 'h': convert<short>(count, stride); return true;
      case 'H': convert<unsigned short>(count, stride); return true;
      case 'i': convert<int>(count, stride); return true;
      case 'I': convert<unsigned int>(count, stride); return true;
      case 'l': convert<long>(count, stride); return true;
      case 'L': convert<unsigned long>(count, stride); return true;
      case 'q': convert<long long>(count, stride); return true;
      case 'Q': convert<unsigned long long>(count, stride); return true;
      default: return false;
    }
  }

  bool from_sequence(const char* function, const char* name, PyObject* value) {
    Ref items(PySequence_Fast(value, ""));
    if (!items) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array of numbers, not %.200s", function, name,
                     Py_TYPE(value)->tp_name);
      }
      return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    own_.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      const double number = PyUnicode_Check(item) ? -1.0 : PyFloat_AsDouble(item);
      if (PyUnicode_Check(item) || (number == -1.0 && PyErr_Occurred())) {
        if (PyUnicode_Check(item) || PyErr_ExceptionMatches(PyExc_TypeError)) {
          PyErr_Clear();
          PyErr_Format(PyExc_ValueError, "%s() argument '%s' item %zd must be a number, not %.200s", function, name,
                       i, Py_TYPE(item)->tp_name);
        }
        return false;
      }
      own_[static_cast<std::size_t>(i)] = static_cast<T>(number);
    }
    values_ = own_;
    return true;
  }

  Py_buffer view_{};
  std::vector<T> own_;
  std::span<const T> values_;
};

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
    if (!mz.read("pick_peaks", "mz", mz_object) || !intensity.read("pick_peaks", "intensity", intensity_object)) {
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
