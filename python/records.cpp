#include "records.hpp"

namespace velorium::python {
namespace {

template <class T>
PyObject* float_list_of(std::span<const T> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* float_list(std::span<const double> values) { return float_list_of(values); }
PyObject* float_list(std::span<const float> values) { return float_list_of(values); }

PyObject* text_map_dict(const lumora::TextMap& map) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : map) {
    Ref k(to_py(key));
    Ref v(to_py(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* cv_term_dict(const lumora::CvTerm& term) {
  Ref dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "accession", to_py(term.accession.view())) ||
      !set_item(dict.get(), "name", to_py(term.name.view()))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* spectrum_params_dict(const SpectrumParams& params) {
  Ref dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "format_id", to_py(params.format_id)) ||
      !set_item(dict.get(), "offset", to_py(params.offset)) ||
      !set_item(dict.get(), "byte_count", to_py(params.byte_count)) ||
      !set_item(dict.get(), "point_count", to_py(params.point_count)) ||
      !set_item(dict.get(), "uncompressed_byte_count", to_py(params.uncompressed_byte_count))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* precursor_dict(const lumora::Precursor& p) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!d || !set_item(d, "target_mz", to_py(p.target_mz)) || !set_item(d, "selected_mz", to_py(p.selected_mz)) ||
      !set_item(d, "isolation_width", to_py(p.isolation_width)) || !set_item(d, "charge", to_py(p.charge)) ||
      !set_item(d, "intensity", to_py(p.intensity)) ||
      !set_item(d, "collision_energy", to_py(p.collision_energy)) ||
      !set_item(d, "ce_is_nce", to_py(p.ce_is_nce)) ||
      !set_item(d, "precursor_native_id", to_py(p.precursor_native_id)) ||
      !set_item(d, "activation", enum_str(p.activation)) || !set_item(d, "analyzer", enum_str(p.analyzer)) ||
      !set_item(d, "ccs", to_py(p.ccs))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* run_info_dict(const lumora::RunMetadata& m) {
  Ref analyzers(PyList_New(static_cast<Py_ssize_t>(m.analyzers.size())));
  if (!analyzers) return nullptr;
  for (std::size_t i = 0; i < m.analyzers.size(); ++i) {
    PyObject* item = to_py(lumora::name(m.analyzers[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(analyzers.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!d || !set_item(d, "source_file_name", to_py(m.source_file_name)) ||
      !set_item(d, "source_file_format", cv_term_dict(m.source_file_format)) ||
      !set_item(d, "native_id_format", cv_term_dict(m.native_id_format)) ||
      !set_item(d, "instrument", cv_term_dict(m.instrument)) ||
      !set_item(d, "instrument_serial_number", to_py(m.instrument_serial_number)) ||
      !set_item(d, "software_name", to_py(m.software_name)) ||
      !set_item(d, "software_version", to_py(m.software_version)) ||
      !set_item(d, "acquisition_software_name", to_py(m.acquisition_software_name)) ||
      !set_item(d, "acquisition_software_version", to_py(m.acquisition_software_version)) ||
      !set_item(d, "start_timestamp", to_py(m.start_timestamp)) ||
      !set_item(d, "mobility_array_kind", enum_str(m.mobility_array_kind)) ||
      !set_item(d, "analyzers", analyzers.release()) || !set_item(d, "extra", text_map_dict(m.extra))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* device_info_dict(const std::optional<DeviceInfo>& device) {
  if (!device) return none();
  Ref dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "name", to_py(device->name)) ||
      !set_item(dict.get(), "model", to_py(device->model))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* chromatogram_dict(const lumora::ChromatogramRecord& c) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!d || !set_item(d, "index", to_py(c.index)) || !set_item(d, "id", to_py(c.id)) ||
      !set_item(d, "chromatogram_type", c.chromatogram_type ? cv_term_dict(*c.chromatogram_type) : none()) ||
      !set_item(d, "precursor_mz", to_py(c.precursor_mz)) || !set_item(d, "product_mz", to_py(c.product_mz)) ||
      !set_item(d, "time_sec", float_list(std::span<const float>(c.time_sec))) ||
      !set_item(d, "intensity", float_list(std::span<const float>(c.intensity)))) {
    return nullptr;
  }
  return dict.release();
}

namespace {

PyObject* calibration_source(std::optional<CalibrationSource> source) {
  if (!source) return none();
  return to_py(*source == CalibrationSource::DefaultMassCal ? "default_mass_cal" : "mass_cal_record");
}

PyObject* params_or_none(const std::optional<SpectrumParams>& params) {
  return params ? spectrum_params_dict(*params) : none();
}

PyObject* scan_record_dict(const ScanRecord& r, PyObject* source) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!d) {
    Py_XDECREF(source);
    return nullptr;
  }
  if (!set_item(d, "scan_id", to_py(r.scan_id)) ||
      !set_item(d, "retention_time_min", to_py(r.retention_time_min)) ||
      !set_item(d, "ms_level", to_py(r.ms_level)) || !set_item(d, "min_x", to_py(r.min_x)) ||
      !set_item(d, "max_x", to_py(r.max_x)) || !set_item(d, "tic", to_py(r.tic)) ||
      !set_item(d, "base_peak_mz", to_py(r.base_peak_mz)) ||
      !set_item(d, "base_peak_intensity", to_py(r.base_peak_intensity)) ||
      !set_item(d, "calibration_id", to_py(r.calibration_id)) ||
      !set_item(d, "ion_polarity", to_py(r.ion_polarity))) {
    Py_XDECREF(source);
    return nullptr;
  }
  if (!set_item(d, "calibration_source", source) || !set_item(d, "mrm_channel_id", to_py(r.mrm_channel_id)) ||
      !set_item(d, "target_mz", to_py(r.target_mz)) ||
      !set_item(d, "collision_energy", to_py(r.collision_energy)) ||
      !set_item(d, "profile_params", params_or_none(r.profile_params)) ||
      !set_item(d, "centroid_params", params_or_none(r.centroid_params))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* scan_index_dict(const Reader& reader) {
  const ScanIndex& scans = reader.scan_index();
  Ref records(PyList_New(static_cast<Py_ssize_t>(scans.records.size())));
  if (!records) return nullptr;
  for (std::size_t i = 0; i < scans.records.size(); ++i) {
    PyObject* item = scan_record_dict(scans.records[i], calibration_source(reader.calibration_source(i)));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "global_header_size", to_py(scans.global_header_size)) ||
      !set_item(dict.get(), "stride", to_py(scans.stride)) || !set_item(dict.get(), "records", records.release())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* raise_runtime_error(const std::string& text) {
  Ref message(to_py(text));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

}  // namespace velorium::python
