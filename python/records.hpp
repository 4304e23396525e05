// Conversions of the library's records into new Python objects. Every
// function returns a new reference, or null with an exception set.
#pragma once

#include "pyutil.hpp"

#include <span>
#include <vector>

#include "lumora/enums.hpp"
#include "lumora/types.hpp"
#include "velorium/device_info.hpp"
#include "velorium/reader.hpp"
#include "velorium/scan_index.hpp"

namespace velorium::python {

// A list of floats built element by element, preallocated.
PyObject* float_list(std::span<const double> values);
PyObject* float_list(std::span<const float> values);

// A dict whose insertion order is the map's ascending key order.
PyObject* text_map_dict(const lumora::TextMap& map);

PyObject* cv_term_dict(const lumora::CvTerm& term);
PyObject* spectrum_params_dict(const SpectrumParams& params);
PyObject* precursor_dict(const lumora::Precursor& precursor);
PyObject* run_info_dict(const lumora::RunMetadata& meta);
PyObject* device_info_dict(const std::optional<DeviceInfo>& device);
PyObject* chromatogram_dict(const lumora::ChromatogramRecord& chromatogram);
// The scan index with the calibration source of every scan.
PyObject* scan_index_dict(const Reader& reader);

template <class Enum>
PyObject* enum_str(const std::optional<Enum>& value) {
  return value ? to_py(lumora::name(*value)) : none();
}

// RuntimeError(text) for a library error's display text.
PyObject* raise_runtime_error(const std::string& text);

}  // namespace velorium::python
