// xic(targets, tolerance, unit="ppm", ms_level=1, rt_range=None,
// aggregate="sum"): extracted-ion chromatograms of many targets in one pass,
// as a method of Acquisition (decoding the selected scans in parallel) and
// of RawReader (reading its decoded peaks). The arguments are checked here;
// the work runs without the interpreter lock.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "records.hpp"
#include "module.hpp"
#include "selection.hpp"
#include "velorium/store/peak_store.hpp"
#include "velorium/xic/xic.hpp"

namespace velorium::python {
namespace {

// The checked arguments of one call.
struct XicArguments {
  std::vector<double> targets;
  double tolerance = 0.0;
  xic::ToleranceUnit unit = xic::ToleranceUnit::Ppm;
  xic::Aggregate aggregate = xic::Aggregate::Sum;
  ScanSelection selection = ScanSelection::level(1);
  std::optional<xic::Windows> windows;  // of the targets, made once they are checked
};

bool is_text(PyObject* value) { return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value); }

// Replaces a pending TypeError with one naming the argument.
void rename_type_error(const char* what, PyObject* value) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "xic() argument %s, not %.200s", what, Py_TYPE(value)->tp_name);
}

bool is_float64(const Py_buffer& view) {
  if (view.itemsize != 8 || view.format == nullptr) return false;
  const std::string_view format(view.format);
  return format == "d" || format == "=d" || format == "@d" ||
         (format == "<d" && std::endian::native == std::endian::little);
}

// Reads a one-dimensional float64 buffer (any stride) directly; false with
// no error set when `value` is no such buffer, false with `failed` set (and
// ValueError) for a buffer of more than one dimension.
bool float64_buffer(PyObject* value, std::vector<double>& out, bool& failed) {
  failed = false;
  if (!PyObject_CheckBuffer(value)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // read item by item
    return false;
  }
  bool used = false;
  if (view.ndim > 1) {
    PyErr_SetString(PyExc_ValueError, "xic() argument 'targets' must be one-dimensional");
    failed = true;
  } else if (view.ndim == 1 && is_float64(view)) {
    const Py_ssize_t count = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : 8;
    out.resize(static_cast<std::size_t>(count));
    const char* item = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < count; ++i, item += stride) {
      std::memcpy(&out[static_cast<std::size_t>(i)], item, sizeof(double));
    }
    used = true;
  }
  PyBuffer_Release(&view);
  return used || failed;
}

bool parse_targets(PyObject* value, std::vector<double>& out) {
  if (is_text(value)) {
    PyErr_Format(PyExc_TypeError, "xic() argument 'targets' must be a sequence of m/z values, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  bool failed = false;
  if (float64_buffer(value, out, failed)) return !failed;
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) {
    rename_type_error("'targets' must be a sequence of m/z values", value);
    return false;
  }
  const Py_ssize_t hint = PyObject_LengthHint(value, 0);
  if (hint < 0) return false;
  out.reserve(static_cast<std::size_t>(hint));
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (is_text(item.get())) {
      PyErr_Format(PyExc_TypeError, "xic() argument 'targets' item %zu must be a number, not %.200s", out.size(),
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    const double number = PyFloat_AsDouble(item.get());
    if (number == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "xic() argument 'targets' item %zu must be a number, not %.200s",
                     out.size(), Py_TYPE(item.get())->tp_name);
      }
      return false;
    }
    out.push_back(number);
  }
  return !PyErr_Occurred();
}

// The windows of the checked targets, or null with ValueError set.
std::optional<xic::Windows> make_windows(const XicArguments& arguments) {
  auto windows = xic::Windows::make(arguments.targets, arguments.tolerance, arguments.unit);
  if (!windows) {
    const Error::InvalidArgument& invalid = *windows.error().as_invalid_argument();
    const std::string text = "xic() argument '" + std::string(invalid.argument) + "' " + invalid.message;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return std::nullopt;
  }
  return std::move(*windows);
}

std::optional<XicArguments> parse_arguments(PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"targets", "tolerance", "unit",     "ms_level",   "rt_range",
                                   "aggregate", "polarity", "scan_range", nullptr};
  PyObject* targets = nullptr;
  PyObject* tolerance = nullptr;
  PyObject* unit = nullptr;
  SelectionArguments selection;
  PyObject* aggregate = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOOO$OO:xic", const_cast<char**>(keywords), &targets, &tolerance,
                                   &unit, &selection.ms_level, &selection.rt_range, &aggregate, &selection.polarity,
                                   &selection.scan_range)) {
    return std::nullopt;
  }
  XicArguments out;
  using Unit = xic::ToleranceUnit;
  using Aggregate = xic::Aggregate;
  if (!parse_targets(targets, out.targets) || !number_argument("xic", "tolerance", tolerance, out.tolerance)) {
    return std::nullopt;
  }
  int choice = 0;
  if (unit != nullptr) {
    if (!choice_argument("xic", "unit", unit, {"ppm", "mz"}, false, choice)) return std::nullopt;
    out.unit = choice == 0 ? Unit::Ppm : Unit::Mz;
  }
  if (!parse_selection("xic", selection, out.selection)) return std::nullopt;
  if (aggregate != nullptr) {
    if (!choice_argument("xic", "aggregate", aggregate, {"sum", "max"}, false, choice)) return std::nullopt;
    out.aggregate = choice == 0 ? Aggregate::Sum : Aggregate::Max;
  }
  out.windows = make_windows(out);
  if (!out.windows) return std::nullopt;
  return out;
}

// (retention times, values of shape (targets, scans)) as two NumPy arrays.
PyObject* result_pair(ModuleState* state, xic::Chromatograms&& result) {
  const std::size_t targets = result.targets;
  const std::size_t scans = result.scans();
  Ref times(numpy_owned(state, std::move(result.retention_time_sec), ElementType::F64));
  if (!times) return nullptr;
  Ref flat(numpy_owned(state, std::move(result.values), ElementType::F64));
  if (!flat) return nullptr;
  Ref values(PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(targets),
                                 static_cast<Py_ssize_t>(scans)));
  if (!values) return nullptr;
  return PyTuple_Pack(2, times.get(), values.get());
}

}  // namespace

PyObject* acquisition_xic(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    auto arguments = parse_arguments(args, kwds);
    if (!arguments) return nullptr;
    const std::shared_ptr<const Reader> reader = acquisition_reader_ptr(self);
    const peaks::DecodeOptions options = acquisition_options(self);
    std::optional<Result<xic::Chromatograms>> result;
    {
      WithoutGil unlocked;
      const std::vector<std::size_t> indices = select_scans(reader->scan_index(), arguments->selection);
      result.emplace(xic::extract(*reader, indices, *arguments->windows, arguments->aggregate, options));
    }
    if (!*result) return raise_runtime_error(to_core(std::move(*result).error()).display());
    return result_pair(state_of_type(Py_TYPE(self)), std::move(**result));
  });
}

PyObject* raw_reader_xic(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    auto arguments = parse_arguments(args, kwds);
    if (!arguments) return nullptr;
    const std::shared_ptr<const store::PeakStore> store = raw_reader_store(self);
    std::optional<xic::Chromatograms> result;
    {
      WithoutGil unlocked;
      const std::vector<std::size_t> positions = xic::select_scans(*store, arguments->selection);
      result.emplace(xic::extract(*store, positions, *arguments->windows, arguments->aggregate));
    }
    return result_pair(state_of_type(Py_TYPE(self)), std::move(*result));
  });
}

}  // namespace velorium::python
