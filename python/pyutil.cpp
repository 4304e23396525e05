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

std::optional<PathArgument> path_argument(const char* function, const char* name, PyObject* value,
                                          PathTypes accepted) {
  PathArgument out;
  if (accepted == PathTypes::Str) {
    auto utf8 = str_argument(function, name, value);
    if (!utf8) return std::nullopt;
    out.given = Ref(Py_NewRef(value));
    out.text = Ref(Py_NewRef(value));
    out.native = std::move(*utf8);
  } else {
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyObject_HasAttrString(value, "__fspath__")) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, bytes or os.PathLike, not %.200s", function,
                   name, Py_TYPE(value)->tp_name);
      return std::nullopt;
    }
    out.given = Ref(PyOS_FSPath(value));
    if (!out.given) return std::nullopt;
    PyObject* given = out.given.get();
    out.text = Ref(PyBytes_Check(given) ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(given), PyBytes_GET_SIZE(given))
                                        : Py_NewRef(given));
    if (!out.text) return std::nullopt;
    Ref encoded(PyUnicode_EncodeFSDefault(out.text.get()));
    if (!encoded) return std::nullopt;
    out.native.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  }
  if (out.native.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' contains a null byte", function, name);
    return std::nullopt;
  }
  return out;
}

}  // namespace velorium::python
