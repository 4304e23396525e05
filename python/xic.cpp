// xic(targets, tolerance, unit="ppm", ms_level=1, rt_range=None,
// aggregate="sum"): extracted-ion chromatograms of many targets in one pass,
// as a method of Acquisition (decoding the selected scans in parallel) and
// of RawReader (reading its decoded peaks). The arguments are checked here;
// the work runs without the interpreter lock.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "module.hpp"
#include "records.hpp"
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

// Any one-dimensional array of numbers; an item that is no number is a
// TypeError.
bool parse_targets(PyObject* value, std::vector<double>& out) {
  NumberArray<double> targets;
  if (!targets.read("xic", "targets", value, PyExc_TypeError)) return false;
  out.assign(targets.values().begin(), targets.values().end());
  return true;
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
