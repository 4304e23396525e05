// The parsers of the arguments that several functions of the module take,
// one per kind, so that every function reads an integer, a number or one of
// a few names by the same rules:
//
//   integer  an int or what stands for one (NumPy's integers); bool is
//            refused, since True is no count or level
//   number   an int or a float (NumPy's too), not bool and not text
//   choice   one of a few str names, or None where the function allows it
//   array    a one-dimensional array of numbers: a NumPy array, a buffer
//            such as array.array, or a sequence of numbers
//
// A value of the wrong type is a TypeError, a bad value a ValueError, each
// naming the function and the argument. Every parser returns false with the
// exception set on failure.
#pragma once

#include <bit>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "pyutil.hpp"

namespace velorium::python {

// An integer saturated to the range of long long. False with a TypeError
// that names nothing (the caller names the argument) when `value` is no
// integer; other errors (a failing __index__) pass through.
bool as_integer(PyObject* value, long long& out);

bool integer_argument(const char* function, const char* name, PyObject* value, long long& out);

bool number_argument(const char* function, const char* name, PyObject* value, double& out);

// How a choice's ValueError names the argument: "f() argument 'name' must
// be ..." (Named), or "name must be ..." (Bare), the form of Acquisition's
// options, which velorium.dask's checks share.
enum class ChoiceText { Named, Bare };

// The position of `value` among `names`, or -1 for None where `none_allowed`.
bool choice_argument(const char* function, const char* name, PyObject* value, std::initializer_list<const char*> names,
                     bool none_allowed, int& out, ChoiceText text = ChoiceText::Named);

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

  // False with the exception set, naming `function`'s argument `name`: a
  // TypeError when `value` is no array (text, a number), a ValueError when
  // it has more than one dimension, and `item_error` (TypeError or
  // ValueError, as the function's callers expect) for an item that is no
  // number.
  bool read(const char* function, const char* name, PyObject* value, PyObject* item_error) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array of numbers, not %.200s", function, name,
                   Py_TYPE(value)->tp_name);
      return false;
    }
    if (PyObject_CheckBuffer(value) && PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) == 0) {
      if (view_.ndim == 0) {
        PyBuffer_Release(&view_);
        view_ = Py_buffer{};
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array of numbers, not %.200s", function, name,
                     Py_TYPE(value)->tp_name);
        return false;
      }
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
    return from_sequence(function, name, value, item_error);
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

  bool from_sequence(const char* function, const char* name, PyObject* value, PyObject* item_error) {
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
          PyErr_Format(item_error, "%s() argument '%s' item %zd must be a number, not %.200s", function, name, i,
                       Py_TYPE(item)->tp_name);
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

}  // namespace velorium::python
