// Small helpers for the CPython C API: an owning reference, conversions of
// plain values, and the parsing of a single named argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#if PY_VERSION_HEX < 0x030A0000
// Interpreters before 3.10 lack these two.
static inline PyObject* Py_NewRef(PyObject* object) {
  Py_INCREF(object);
  return object;
}
static inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  return 0;
}
#endif

namespace velorium::python {

// Owns one strong reference.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* object) noexcept : object_(object) {}  // steals
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

inline PyObject* none() { Py_RETURN_NONE; }

// New references; null with an exception set on failure.
inline PyObject* to_py(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_py(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }
inline PyObject* to_py(bool value) { return PyBool_FromLong(value ? 1 : 0); }
inline PyObject* to_py(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_py(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_py(std::int32_t value) { return PyLong_FromLong(value); }
inline PyObject* to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
inline PyObject* to_py(const std::string& text) { return to_py(std::string_view(text)); }
inline PyObject* to_py(const char* text) { return to_py(std::string_view(text)); }

template <class T>
PyObject* to_py(const std::optional<T>& value) {
  return value ? to_py(*value) : none();
}

// Sets dict[key] = value, taking over the reference to `value`. False (with
// the exception set) on failure; a null `value` is a failure too.
inline bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// Releases the interpreter lock for its scope and takes it back when the
// scope ends, also when an exception leaves it, so that the exception
// reaches the caller's guard with the lock held. Code in the scope touches
// no Python object.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// The single required argument `name` of a fastcall function `function`,
// given positionally or by keyword (a borrowed reference), or null with a
// TypeError set.
PyObject* single_argument(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// The UTF-8 text of `value`, which must be a str: a TypeError naming the
// argument otherwise, and the interpreter's UnicodeEncodeError for text
// without a UTF-8 form (lone surrogates).
std::optional<std::string> str_argument(const char* function, const char* name, PyObject* value);

// What a path argument may be: a str only (RawReader, iter_spectra), or a
// str, bytes or os.PathLike object (everything else).
enum class PathTypes { Str, Any };

// A path argument in the forms its users need.
struct PathArgument {
  Ref given;           // os.fspath(value): str or bytes, as OSError's filename
  Ref text;            // str: bytes decoded as the file system does
  std::string native;  // the bytes handed to the file system
};

// The path argument `name` of `function`. Str: a str, taken as UTF-8 (the
// interpreter's UnicodeEncodeError for lone surrogates); Any: os.fspath()
// of a str, bytes or os.PathLike object, in the file-system encoding. A
// TypeError naming the argument for another type, a ValueError for a path
// with a null byte, which the file system would cut short.
std::optional<PathArgument> path_argument(const char* function, const char* name, PyObject* value,
                                          PathTypes accepted);

}  // namespace velorium::python
