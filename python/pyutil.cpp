#include "pyutil.hpp"

namespace velorium::python {

PyObject* single_argument(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs + nkw > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 argument (%zd given)", function, nargs + nkw);
    return nullptr;
  }
  if (nargs == 1) return args[0];
  if (nkw == 1) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
    if (PyUnicode_CompareWithASCIIString(key, name) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return nullptr;
    }
    return args[0];
  }
  PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, name);
  return nullptr;
}

std::optional<std::string> str_argument(const char* function, const char* name, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace velorium::python
