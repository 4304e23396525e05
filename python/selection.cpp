#include "selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "arguments.hpp"

namespace velorium::python {
namespace {

constexpr long long kMaxU32 = std::numeric_limits<std::uint32_t>::max();

bool is_text(PyObject* value) { return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value); }

// An int (NumPy's integers too, not bool) as a long long clamped to
// [-1, 2^32]; false with TypeError otherwise.
bool integer(PyObject* value, long long& out) {
  if (!as_integer(value, out)) return false;
  out = std::clamp(out, -1LL, kMaxU32 + 1);
  return true;
}

// A range of step 1 as the interval of levels it holds: true when `value`
// is one (`empty` says whether it holds no number at all), false for
// anything else.
bool unit_range(PyObject* value, std::vector<LevelRange>& out, bool& empty) {
  if (!PyRange_Check(value)) return false;
  Ref start(PyObject_GetAttrString(value, "start"));
  Ref stop(PyObject_GetAttrString(value, "stop"));
  Ref step(PyObject_GetAttrString(value, "step"));
  long long low = 0, high = 0, one = 0;
  if (!start || !stop || !step || !integer(step.get(), one) || one != 1 || !integer(start.get(), low) ||
      !integer(stop.get(), high)) {
    PyErr_Clear();
    return false;
  }
  empty = PyObject_RichCompareBool(start.get(), stop.get(), Py_GE) == 1;
  low = std::max(low, 0LL);
  high = std::min(high - 1, kMaxU32);
  if (low <= high) out.push_back({static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(high)});
  return true;
}

bool ms_levels(const char* function, PyObject* value, ScanSelection& out) {
  if (value == Py_None) {
    out.ms_levels.reset();
    return true;
  }
  const auto wrong_type = [&](PyObject* culprit) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument 'ms_level' must be an int, a sequence of ints or None, not %.200s",
                 function, Py_TYPE(culprit)->tp_name);
    return false;
  };
  std::vector<LevelRange> ranges;
  const auto add = [&](long long level) {
    if (level >= 0 && level <= kMaxU32) {
      ranges.push_back({static_cast<std::uint32_t>(level), static_cast<std::uint32_t>(level)});
    }
  };
  long long level = 0;
  // An int, or what stands for one (NumPy's integers; NumPy arrays are
  // sequences, even though they convert to an int when they hold one).
  if ((PyIndex_Check(value) && !PySequence_Check(value)) || PyBool_Check(value)) {
    if (!integer(value, level)) return wrong_type(value);
    add(level);
    out.ms_levels = std::move(ranges);
    return true;
  }
  if (is_text(value) || PyDict_Check(value) || PyAnySet_Check(value)) return wrong_type(value);
  Ref sequence;
  bool empty = false;
  if (!unit_range(value, ranges, empty)) {
    sequence = Ref(PySequence_Fast(value, ""));
    if (!sequence) return wrong_type(value);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
      if (!integer(item, level)) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument 'ms_level' item %zd must be an int, not %.200s", function, i,
                     Py_TYPE(item)->tp_name);
        return false;
      }
      add(level);
    }
    empty = PySequence_Fast_GET_SIZE(sequence.get()) == 0;
  }
  if (empty) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'ms_level' names no MS level: %R", function, value);
    return false;
  }
  out.ms_levels = std::move(ranges);
  return true;
}

// (low, high) or (first, last): the two items of a pair, or ValueError.
bool pair_items(const char* function, const char* name, const char* what, PyObject* value, PyObject*& first,
                PyObject*& second, Ref& holder) {
  if (!is_text(value) && !PyDict_Check(value) && !PyAnySet_Check(value)) {
    holder = Ref(PySequence_Fast(value, ""));
    if (!holder) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
    }
  }
  if (!holder) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be %s, not %.200s", function, name, what,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(holder.get());
  if (count != 2) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be %s, got %zd items", function, name, what, count);
    return false;
  }
  first = PySequence_Fast_GET_ITEM(holder.get(), 0);
  second = PySequence_Fast_GET_ITEM(holder.get(), 1);
  return true;
}

bool rt_end(const char* function, PyObject* item, const char* which, double& end) {
  if (!is_text(item)) {
    end = PyFloat_AsDouble(item);
    if (!(end == -1.0 && PyErr_Occurred())) {
      if (!std::isnan(end)) return true;
      PyErr_Format(PyExc_ValueError, "%s() argument 'rt_range': %s end is NaN", function, which);
      return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
  }
  PyErr_Format(PyExc_ValueError, "%s() argument 'rt_range': %s end must be a number, not %.200s", function, which,
               Py_TYPE(item)->tp_name);
  return false;
}

bool rt_range(const char* function, PyObject* value, ScanSelection& out) {
  if (value == Py_None) {
    out.rt_range_sec.reset();
    return true;
  }
  PyObject* first = nullptr;
  PyObject* second = nullptr;
  Ref holder;
  if (!pair_items(function, "rt_range", "two numbers (low, high) in seconds", value, first, second, holder)) {
    return false;
  }
  double low = 0.0, high = 0.0;
  if (!rt_end(function, first, "low", low) || !rt_end(function, second, "high", high)) return false;
  if (low > high) {
    Ref low_object(PyFloat_FromDouble(low));
    Ref high_object(PyFloat_FromDouble(high));
    if (!low_object || !high_object) return false;
    PyErr_Format(PyExc_ValueError, "%s() argument 'rt_range' is reversed: low end %R is above high end %R", function,
                 low_object.get(), high_object.get());
    return false;
  }
  out.rt_range_sec = std::pair{low, high};
  return true;
}

bool scan_range(const char* function, PyObject* value, ScanSelection& out) {
  if (value == Py_None) {
    out.scan_numbers.reset();
    return true;
  }
  PyObject* items[2] = {nullptr, nullptr};
  Ref holder;
  if (!pair_items(function, "scan_range", "two scan numbers (first, last)", value, items[0], items[1], holder)) {
    return false;
  }
  long long ends[2] = {0, 0};
  const char* names[2] = {"first", "last"};
  for (int i = 0; i < 2; ++i) {
    if (!integer(items[i], ends[i])) {
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s() argument 'scan_range': %s end must be an int, not %.200s", function,
                   names[i], Py_TYPE(items[i])->tp_name);
      return false;
    }
  }
  if (ends[0] > ends[1]) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'scan_range' is reversed: first %R is above last %R", function,
                 items[0], items[1]);
    return false;
  }
  if (ends[1] < 0 || ends[0] > kMaxU32) {
    out.ms_levels = std::vector<LevelRange>();  // no scan has such a number
    return true;
  }
  out.scan_numbers = std::pair{static_cast<std::uint32_t>(std::max(ends[0], 0LL)),
                               static_cast<std::uint32_t>(std::min(ends[1], kMaxU32))};
  return true;
}

bool polarity(const char* function, PyObject* value, ScanSelection& out) {
  if (value == Py_None) {
    out.polarity.reset();
    return true;
  }
  int choice = 0;
  if (!choice_argument(function, "polarity", value, {"positive", "negative"}, true, choice)) return false;
  out.polarity = choice == 0 ? lumora::Polarity::Positive : lumora::Polarity::Negative;
  return true;
}

}  // namespace

bool parse_selection(const char* function, const SelectionArguments& arguments, ScanSelection& out) {
  // A scan range that no scan can match empties the levels: parse it last.
  if (arguments.ms_level != nullptr && !ms_levels(function, arguments.ms_level, out)) return false;
  if (arguments.rt_range != nullptr && !rt_range(function, arguments.rt_range, out)) return false;
  if (arguments.polarity != nullptr && !polarity(function, arguments.polarity, out)) return false;
  if (arguments.scan_range != nullptr && !scan_range(function, arguments.scan_range, out)) return false;
  return true;
}

bool selection_keywords(const char* function, PyObject* args, PyObject* kwds, SelectionArguments& out) {
  static const char* keywords[] = {"ms_level", "rt_range", "polarity", "scan_range", nullptr};
  const std::string format = std::string("|OOOO:") + function;
  return PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(), const_cast<char**>(keywords), &out.ms_level,
                                     &out.rt_range, &out.polarity, &out.scan_range) != 0;
}

}  // namespace velorium::python
