// class Spectrum: the Python view of one spectrum. Immutable; every property
// access builds a new Python object; the arrays are new views of the decoded
// peaks. A spectrum holds either its own record or a position in a shared
// PeakStore; both read the same way: the record without peaks plus a range
// of two peak columns.
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "arrays.hpp"
#include "records.hpp"
#include "module.hpp"
#include "peak_columns.hpp"
#include "velorium/store/peak_store.hpp"

namespace velorium::python {
namespace {

struct SpectrumObject {
  PyObject_HEAD
  std::shared_ptr<const void> owner;      // keeps the record alive
  std::shared_ptr<PeakColumns> columns;   // the peaks are points [first, first + count) of these
  const lumora::SpectrumRecord* record;   // its mz and intensity are not read
  std::size_t first;
  std::size_t count;
  std::span<const double> mz;
  std::span<const float> intensity;
};

SpectrumObject* as_spectrum(PyObject* self) { return reinterpret_cast<SpectrumObject*>(self); }

const lumora::SpectrumRecord& record_of(PyObject* self) { return *as_spectrum(self)->record; }

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  SpectrumObject* object = as_spectrum(self);
  object->columns.~shared_ptr();
  object->owner.~shared_ptr();
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
PyObject* convert(const std::optional<std::vector<float>>& v) {
  return v ? float_list(std::span<const float>(*v)) : none();
}
PyObject* convert(const lumora::TextMap& v) { return text_map_dict(v); }

template <auto Member>
PyObject* get_field(PyObject* self, void*) {
  return guarded([&] { return convert(record_of(self).*Member); });
}

PyObject* get_total_ion_current(PyObject* self, void*) {
  return to_py(lumora::effective_tic(record_of(self), as_spectrum(self)->intensity));
}

std::optional<std::pair<double, double>> base_peak(PyObject* self) {
  const SpectrumObject* object = as_spectrum(self);
  return lumora::effective_base_peak(*object->record, object->mz, object->intensity);
}

PyObject* get_base_peak_mz(PyObject* self, void*) {
  const auto peak = base_peak(self);
  return peak ? to_py(peak->first) : none();
}

PyObject* get_base_peak_intensity(PyObject* self, void*) {
  const auto peak = base_peak(self);
  return peak ? to_py(peak->second) : none();
}

PyObject* get_mz(PyObject* self, void*) { return guarded([&] { return float_list(as_spectrum(self)->mz); }); }

PyObject* get_intensity(PyObject* self, void*) {
  return guarded([&] { return float_list(as_spectrum(self)->intensity); });
}

// Views of the spectrum's peaks: no copy, whatever the size.
PyObject* get_mz_array(PyObject* self, void*) {
  SpectrumObject* object = as_spectrum(self);
  return guarded(
      [&] { return object->columns->mz_array(state_of_type(Py_TYPE(self)), object->first, object->count); });
}

PyObject* get_intensity_array(PyObject* self, void*) {
  SpectrumObject* object = as_spectrum(self);
  return guarded(
      [&] { return object->columns->intensity_array(state_of_type(Py_TYPE(self)), object->first, object->count); });
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(as_spectrum(self)->mz.size()); }

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
  return PyUnicode_FromFormat("Spectrum(%zu peaks, RT %ss)", as_spectrum(self)->mz.size(), rt);
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
    {"mz", get_mz, nullptr, nullptr, nullptr},
    {"intensity", get_intensity, nullptr, nullptr, nullptr},
    {"inv_mobility_per_peak", get_field<&R::inv_mobility_per_peak>, nullptr, nullptr, nullptr},
    {"extra", get_field<&R::extra>, nullptr, nullptr, nullptr},
    {"mz_array", get_mz_array, nullptr, nullptr, nullptr},
    {"intensity_array", get_intensity_array, nullptr, nullptr, nullptr},
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

PyType_Spec kType = {
    "velorium.Spectrum",
    sizeof(SpectrumObject),
    0,
    kUncallableTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_spectrum_type(PyObject* module) { return create_type(module, &kType); }

namespace {

PyObject* allocate(ModuleState* state) {
  PyTypeObject* type = state->spectrum_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_spectrum(self)->owner) std::shared_ptr<const void>();
  new (&as_spectrum(self)->columns) std::shared_ptr<PeakColumns>();
  return self;
}

void set_peaks(SpectrumObject* object, std::shared_ptr<PeakColumns> columns, std::size_t first, std::size_t count) {
  object->first = first;
  object->count = count;
  object->mz = columns->mz().subspan(first, count);
  object->intensity = columns->intensity().subspan(first, count);
  object->columns = std::move(columns);
}

}  // namespace

PyObject* new_spectrum(ModuleState* state, lumora::SpectrumRecord&& record) {
  Ref self(allocate(state));
  if (!self) return nullptr;  // the record stays with the caller, which releases it
  return guarded([&] {
    auto owned = std::make_shared<const lumora::SpectrumRecord>(std::move(record));
    auto columns = std::make_shared<PeakColumns>(owned, owned->mz, owned->intensity);
    SpectrumObject* object = as_spectrum(self.get());
    object->record = owned.get();
    set_peaks(object, std::move(columns), 0, owned->mz.size());
    object->owner = std::move(owned);
    return self.release();
  });
}

PyObject* new_spectrum_from_store(ModuleState* state, std::shared_ptr<const store::PeakStore> store,
                                  std::size_t position) {
  return guarded([&] {
    auto columns = std::make_shared<PeakColumns>(store, store->mz(), store->intensity());
    return new_spectrum_from_columns(state, std::move(store), std::move(columns), position);
  });
}

PyObject* new_spectrum_from_columns(ModuleState* state, std::shared_ptr<const store::PeakStore> store,
                                    std::shared_ptr<PeakColumns> columns, std::size_t position) {
  Ref self(allocate(state));
  if (!self) return nullptr;
  SpectrumObject* object = as_spectrum(self.get());
  const std::uint64_t first = store->offsets()[position];
  const std::uint64_t count = store->offsets()[position + 1] - first;
  object->record = &store->record(position);
  set_peaks(object, std::move(columns), static_cast<std::size_t>(first), static_cast<std::size_t>(count));
  object->owner = std::move(store);
  return self.release();
}

}  // namespace velorium::python
