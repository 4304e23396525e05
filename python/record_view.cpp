// class Spectrum: the Python view of one spectrum record. Immutable; every
// property access builds a new Python object.
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "convert.hpp"
#include "module.hpp"

namespace velorium::python {
namespace {

struct SpectrumObject {
  PyObject_HEAD
  lumora::SpectrumRecord record;
};

const lumora::SpectrumRecord& record_of(PyObject* self) {
  return reinterpret_cast<SpectrumObject*>(self)->record;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SpectrumObject*>(self)->record.~SpectrumRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

// Conversions of the record's field types.
PyObject* convert(std::uint64_t v) { return to_py(v); }
PyObject* convert(std::uint32_t v) { return to_py(v); }
PyObject* convert(double v) { return to_py(v); }
PyObject* convert(const std::string& v) { return to_py(v); }
PyObject* convert(const std::optional<double>& v) { return to_py(v); }
PyObject* convert(const std::optional<std::uint32_t>& v) { return to_py(v); }
PyObject* convert(const std::optional<std::string>& v) { return to_py(v); }
PyObject* convert(const std::optional<lumora::Polarity>& v) { return enum_str(v); }
PyObject* convert(const std::optional<lumora::ScanMode>& v) { return enum_str(v); }
PyObject* convert(const std::optional<lumora::Analyzer>& v) { return enum_str(v); }
PyObject* convert(const std::optional<lumora::Precursor>& v) { return v ? precursor_dict(*v) : none(); }
PyObject* convert(const std::vector<double>& v) { return float_list(std::span<const double>(v)); }
PyObject* convert(const std::vector<float>& v) { return float_list(std::span<const float>(v)); }
PyObject* convert(const std::optional<std::vector<float>>& v) { return v ? convert(*v) : none(); }
PyObject* convert(const lumora::TextMap& v) { return text_map_dict(v); }

template <auto Member>
PyObject* get_field(PyObject* self, void*) {
  return guarded([&] { return convert(record_of(self).*Member); });
}

PyObject* get_total_ion_current(PyObject* self, void*) { return to_py(record_of(self).effective_tic()); }

PyObject* get_base_peak_mz(PyObject* self, void*) {
  const auto peak = record_of(self).effective_base_peak();
  return peak ? to_py(peak->first) : none();
}

PyObject* get_base_peak_intensity(PyObject* self, void*) {
  const auto peak = record_of(self).effective_base_peak();
  return peak ? to_py(peak->second) : none();
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(record_of(self).mz.size()); }

// "Spectrum(512 peaks, RT 61.24s)": two digits after the point, rounded to
// nearest on the exact stored value.
PyObject* repr(PyObject* self) {
  const lumora::SpectrumRecord& r = record_of(self);
  char rt[400];
  const double t = r.retention_time_sec;
  if (std::isnan(t)) {
    std::strcpy(rt, "NaN");
  } else if (std::isinf(t)) {
    std::strcpy(rt, t > 0 ? "inf" : "-inf");
  } else {
    const auto end = std::to_chars(rt, rt + sizeof rt - 1, t, std::chars_format::fixed, 2).ptr;
    *end = '\0';
  }
  return PyUnicode_FromFormat("Spectrum(%zu peaks, RT %ss)", r.mz.size(), rt);
}

using R = lumora::SpectrumRecord;

PyGetSetDef kGetSet[] = {
    {"index", get_field<&R::index>, nullptr, nullptr, nullptr},
    {"scan_number", get_field<&R::scan_number>, nullptr, nullptr, nullptr},
    {"native_id", get_field<&R::native_id>, nullptr, nullptr, nullptr},
    {"ms_level", get_field<&R::ms_level>, nullptr, nullptr, nullptr},
    {"polarity", get_field<&R::polarity>, nullptr, nullptr, nullptr},
    {"scan_mode", get_field<&R::scan_mode>, nullptr, nullptr, nullptr},
    {"analyzer", get_field<&R::analyzer>, nullptr, nullptr, nullptr},
    {"acquisition_event_id", get_field<&R::acquisition_event_id>, nullptr, nullptr, nullptr},
    {"filter", get_field<&R::filter>, nullptr, nullptr, nullptr},
    {"retention_time_sec", get_field<&R::retention_time_sec>, nullptr, nullptr, nullptr},
    {"total_ion_current", get_total_ion_current, nullptr, nullptr, nullptr},
    {"reported_total_ion_current", get_field<&R::reported_total_ion_current>, nullptr, nullptr, nullptr},
    {"base_peak_mz", get_base_peak_mz, nullptr, nullptr, nullptr},
    {"reported_base_peak_mz", get_field<&R::reported_base_peak_mz>, nullptr, nullptr, nullptr},
    {"base_peak_intensity", get_base_peak_intensity, nullptr, nullptr, nullptr},
    {"reported_base_peak_intensity", get_field<&R::reported_base_peak_intensity>, nullptr, nullptr, nullptr},
    {"low_mz", get_field<&R::low_mz>, nullptr, nullptr, nullptr},
    {"high_mz", get_field<&R::high_mz>, nullptr, nullptr, nullptr},
    {"ion_injection_time_ms", get_field<&R::ion_injection_time_ms>, nullptr, nullptr, nullptr},
    {"inv_mobility", get_field<&R::inv_mobility>, nullptr, nullptr, nullptr},
    {"faims_cv", get_field<&R::faims_cv>, nullptr, nullptr, nullptr},
    {"precursor", get_field<&R::precursor>, nullptr, nullptr, nullptr},
    {"mz", get_field<&R::mz>, nullptr, nullptr, nullptr},
    {"intensity", get_field<&R::intensity>, nullptr, nullptr, nullptr},
    {"inv_mobility_per_peak", get_field<&R::inv_mobility_per_peak>, nullptr, nullptr, nullptr},
    {"extra", get_field<&R::extra>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
    "for compatibility with existing callers.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velorium.Spectrum",
    sizeof(SpectrumObject),
    0,
    kUncallableTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_spectrum_type(PyObject* module) { return create_type(module, &kSpec); }

PyObject* new_spectrum(ModuleState* state, lumora::SpectrumRecord&& record) {
  PyTypeObject* type = state->spectrum_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // the record stays with the caller, which releases it
  new (&reinterpret_cast<SpectrumObject*>(self)->record) lumora::SpectrumRecord(std::move(record));
  return self;
}

}  // namespace velorium::python
