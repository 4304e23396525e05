// The scan-selection arguments that every selecting method takes, parsed by
// one set of rules: ms_level, rt_range, polarity and scan_range.
//
//   ms_level    None, an int, or a sequence of ints (a range, a list, a NumPy
//               array); NumPy integers are ints, bool is refused. A level no
//               scan can have (negative, beyond 32 bits) selects nothing.
//   rt_range    None or (low, high) in seconds, both ends included.
//   polarity    None, 'positive' or 'negative'.
//   scan_range  None or (first, last) scan numbers, both included.
//
// A value of the wrong type is a TypeError, a bad value a ValueError; both
// name the function and the argument.
#pragma once

#include "pyutil.hpp"
#include "velorium/selection.hpp"

namespace velorium::python {

struct SelectionArguments {
  PyObject* ms_level = nullptr;  // null: not given (the caller's default stays)
  PyObject* rt_range = nullptr;
  PyObject* polarity = nullptr;
  PyObject* scan_range = nullptr;
};

// Parses the arguments given into `out`, which holds the method's defaults.
// False with the exception set on failure.
bool parse_selection(const char* function, const SelectionArguments& arguments, ScanSelection& out);

// Parses the four selection keywords (and no others) of a method `function`
// that takes nothing else.
bool selection_keywords(const char* function, PyObject* args, PyObject* kwds, SelectionArguments& out);

}  // namespace velorium::python
