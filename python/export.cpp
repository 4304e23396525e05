// Acquisition.to_mzml(path, ...) and Acquisition.to_mgf(path, ...): the
// library's writers with the options of the velorium command, as keywords
// of the same names, run with the interpreter lock released.
#include "export.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "arguments.hpp"
#include "module.hpp"
#include "selection.hpp"
#include "velorium/output/export.hpp"

namespace velorium::python {
namespace {

// Raises the exception of a failed export: RuntimeError with the scan's
// text, OSError (errno, text, filename) for the files, which Python maps to
// its subclasses (PermissionError, FileNotFoundError, ...).
PyObject* raise_export_error(const output::ExportError& error, PyObject* path) {
  using Kind = output::ExportError::Kind;
  if ((error.kind == Kind::Output || error.kind == Kind::Input || error.kind == Kind::Exists) && error.code &&
      error.code.category() == std::generic_category()) {
    Ref exception(PyObject_CallFunction(PyExc_OSError, "isO", error.code.value(), error.code.message().c_str(), path));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
  }
  PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
  return nullptr;
}

// The keyword arguments of both methods; null: not given.
struct ExportArguments {
  PyObject* path = nullptr;
  SelectionArguments selection;
  int trim_zeros = 0;
  PyObject* threshold = nullptr;
  int compression = 1;
  PyObject* mz_precision = nullptr;
  PyObject* numpress = nullptr;
  int compact = 0;
  PyObject* mgf_title = nullptr;
};

// threshold: a mapping with the keys 'absolute' (the lowest intensity
// kept) and 'top' (the number of most intense points kept).
bool threshold_argument(const char* function, PyObject* value, process::Options& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyDict_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'threshold' must be a dict with the keys 'absolute' and 'top', not %.200s",
                 function, Py_TYPE(value)->tp_name);
    return false;
  }
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(value, &position, &key, &item)) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "absolute") == 0) {
      double minimum = 0.0;
      if (!number_argument(function, "threshold['absolute']", item, minimum)) return false;
      if (!(std::isfinite(minimum) && minimum >= 0.0)) {
        Ref shown(PyFloat_FromDouble(minimum));
        if (!shown) return false;
        PyErr_Format(PyExc_ValueError, "%s() argument 'threshold': 'absolute' must be finite and at least 0, not %R",
                     function, shown.get());
        return false;
      }
      out.min_intensity = minimum;
    } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "top") == 0) {
      long long count = 0;
      if (!integer_argument(function, "threshold['top']", item, count)) return false;
      if (count < 1) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'threshold': 'top' must be at least 1, not %R", function, item);
        return false;
      }
      out.top = static_cast<std::size_t>(count);
    } else {
      PyErr_Format(PyExc_ValueError, "%s() argument 'threshold' has the key %R; the keys are 'absolute' and 'top'",
                   function, key);
      return false;
    }
  }
  return true;
}

// numpress: None, 'none', the command's text ('linear,slof') or a sequence
// of the names ('linear', 'slof').
bool numpress_argument(const char* function, PyObject* value, std::optional<output::Numpress>& out) {
  if (value == nullptr || value == Py_None) return true;
  std::string text;
  if (PyUnicode_Check(value)) {
    auto given = str_argument(function, "numpress", value);
    if (!given) return false;
    text = std::move(*given);
  } else {
    Ref items(PySequence_Check(value) ? PySequence_Fast(value, "") : nullptr);
    if (!items) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() argument 'numpress' must be str, a sequence of str or None, not %.200s",
                   function, Py_TYPE(value)->tp_name);
      return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      auto name = str_argument(function, "numpress", PySequence_Fast_GET_ITEM(items.get(), i));
      if (!name) return false;
      text += (i == 0 ? "" : ",") + *name;
    }
  }
  auto parsed = output::parse_numpress(text);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'numpress': %s", function, parsed.error().as_parse()->message.c_str());
    return false;
  }
  out = *parsed;
  return true;
}

PyObject* export_to(PyObject* self, const output::Format& format, const char* function,
                    const ExportArguments& arguments) {
  return guarded([&]() -> PyObject* {
    output::Settings settings;
    if (!parse_selection(function, arguments.selection, settings.selection)) return nullptr;
    settings.processing.trim_zeros = arguments.trim_zeros != 0;
    if (!threshold_argument(function, arguments.threshold, settings.processing)) return nullptr;
    settings.compression = arguments.compression != 0;
    settings.compact = arguments.compact != 0;
    if (arguments.mz_precision != nullptr && arguments.mz_precision != Py_None) {
      long long bits = 0;
      if (!integer_argument(function, "mz_precision", arguments.mz_precision, bits)) return nullptr;
      if (bits != 32 && bits != 64) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'mz_precision' must be 32 or 64, not %R", function,
                     arguments.mz_precision);
        return nullptr;
      }
      settings.mz_precision = static_cast<unsigned>(bits);
    }
    if (!numpress_argument(function, arguments.numpress, settings.numpress)) return nullptr;
    if (arguments.mgf_title != nullptr && arguments.mgf_title != Py_None) {
      auto title = str_argument(function, "mgf_title", arguments.mgf_title);
      if (!title) return nullptr;
      settings.mgf_title = std::move(*title);
    }
    // The spectra as the acquisition hands them out, picked where it picks.
    settings.decoding = acquisition_options(self);
    output::ExportOptions options;
    if (auto configured = output::configure(format, settings, options); !configured) {
      const auto* parse = configured.error().as_parse();
      const std::string text = std::string(function) + "(): " +
                               (parse != nullptr ? parse->message : configured.error().display());
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return nullptr;
    }

    auto given = path_argument(function, "path", arguments.path, PathTypes::Any);
    if (!given) return nullptr;
    const std::filesystem::path path(given->native);
    const std::shared_ptr<const Reader> reader = acquisition_reader_ptr(self);
    output::ExportResult result;
    {
      WithoutGil unlocked;
      try {
        result = output::export_file(*reader, path, format, options, /*replace=*/true);
      } catch (const std::bad_alloc&) {
        result = std::unexpected(output::ExportError{output::ExportError::Kind::Output, "out of memory", {}});
      } catch (const std::exception& e) {
        result = std::unexpected(output::ExportError{output::ExportError::Kind::Output, e.what(), {}});
      }
    }
    if (!result) return raise_export_error(result.error(), given->given.get());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyObject* acquisition_to_mzml(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path",       "compression", "ms_level",  "rt_range",     "polarity",
                                   "scan_range", "trim_zeros",  "threshold", "mz_precision", "numpress",
                                   "compact",    nullptr};
  ExportArguments a;
  SelectionArguments& s = a.selection;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p$OOOOpOOOp:to_mzml", const_cast<char**>(keywords), &a.path,
                                   &a.compression, &s.ms_level, &s.rt_range, &s.polarity, &s.scan_range,
                                   &a.trim_zeros, &a.threshold, &a.mz_precision, &a.numpress, &a.compact)) {
    return nullptr;
  }
  return export_to(self, *output::find_format("mzml"), "to_mzml", a);
}

PyObject* acquisition_to_mgf(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path",       "ms_level",   "rt_range",  "polarity", "scan_range",
                                   "trim_zeros", "threshold",  "mgf_title", nullptr};
  ExportArguments a;
  SelectionArguments& s = a.selection;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOpOO:to_mgf", const_cast<char**>(keywords), &a.path,
                                   &s.ms_level, &s.rt_range, &s.polarity, &s.scan_range, &a.trim_zeros, &a.threshold,
                                   &a.mgf_title)) {
    return nullptr;
  }
  return export_to(self, *output::find_format("mgf"), "to_mgf", a);
}

}  // namespace velorium::python
