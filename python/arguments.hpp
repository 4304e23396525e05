// The parsers of the arguments that several functions of the module take,
// one per kind, so that every function reads an integer, a number or one of
// a few names by the same rules:
//
//   integer  an int or what stands for one (NumPy's integers); bool is
//            refused, since True is no count or level
//   number   an int or a float (NumPy's too), not bool and not text
//   choice   one of a few str names, or None where the function allows it
//
// A value of the wrong type is a TypeError, a bad value a ValueError, each
// naming the function and the argument. Every parser returns false with the
// exception set on failure.
#pragma once

#include <initializer_list>

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

}  // namespace velorium::python
