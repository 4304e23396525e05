#include "arguments.hpp"

#include <limits>
#include <string>

namespace velorium::python {
namespace {

bool is_text(PyObject* value) { return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value); }

// "'a' or 'b'", "None, 'a' or 'b'".
std::string alternatives(std::initializer_list<const char*> names, bool none_allowed) {
  std::string out = none_allowed ? "None" : "";
  std::size_t left = names.size();
  for (const char* name : names) {
    --left;
    if (!out.empty()) out += left == 0 ? " or " : ", ";
    out += std::string("'") + name + "'";
  }
  return out;
}

}  // namespace

bool as_integer(PyObject* value, long long& out) {
  if (!PyIndex_Check(value) || PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "not an integer");
    return false;
  }
  Ref number(PyNumber_Index(value));
  if (!number) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) out = overflow < 0 ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
  return true;
}

bool integer_argument(const char* function, const char* name, PyObject* value, long long& out) {
  if (as_integer(value, out)) return true;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an int, not %.200s", function, name,
               Py_TYPE(value)->tp_name);
  return false;
}

bool number_argument(const char* function, const char* name, PyObject* value, double& out) {
  if (!is_text(value) && !PyBool_Check(value)) {
    out = PyFloat_AsDouble(value);
    if (!(out == -1.0 && PyErr_Occurred())) return true;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a number, not %.200s", function, name,
               Py_TYPE(value)->tp_name);
  return false;
}

bool choice_argument(const char* function, const char* name, PyObject* value, std::initializer_list<const char*> names,
                     bool none_allowed, int& out, ChoiceText text) {
  if (none_allowed && value == Py_None) {
    out = -1;
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, name,
                 none_allowed ? "str or None" : "str", Py_TYPE(value)->tp_name);
    return false;
  }
  int k = 0;
  for (const char* candidate : names) {
    if (PyUnicode_CompareWithASCIIString(value, candidate) == 0) {
      out = k;
      return true;
    }
    ++k;
  }
  const std::string expected = alternatives(names, none_allowed);
  if (text == ChoiceText::Bare) {
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), value);
  } else {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be %s, not %R", function, name, expected.c_str(), value);
  }
  return false;
}

}  // namespace velorium::python
