#include "peak_columns.hpp"

#include "arrays.hpp"

namespace velorium::python {

PeakColumns::~PeakColumns() {
  for (auto& array : arrays_) Py_XDECREF(array.load(std::memory_order_acquire));
}

PyObject* PeakColumns::column(ModuleState* state, Column which) {
  if (PyObject* made = arrays_[which].load(std::memory_order_acquire)) return made;
  PyObject* array = which == kMz ? numpy_view(state, owner_, mz_.data(), mz_.size(), ElementType::F64)
                                 : numpy_view(state, owner_, intensity_.data(), intensity_.size(), ElementType::F32);
  if (array == nullptr) return nullptr;
  PyObject* expected = nullptr;
  // Another thread may have made it meanwhile: keep the first one.
  if (!arrays_[which].compare_exchange_strong(expected, array, std::memory_order_acq_rel)) {
    Py_DECREF(array);
    return expected;
  }
  return array;
}

PyObject* PeakColumns::slice(ModuleState* state, Column which, std::size_t first, std::size_t count) {
  PyObject* whole = column(state, which);
  if (whole == nullptr) return nullptr;
  return PySequence_GetSlice(whole, static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(first + count));
}

PyObject* PeakColumns::mz_array(ModuleState* state, std::size_t first, std::size_t count) {
  return slice(state, kMz, first, count);
}

PyObject* PeakColumns::intensity_array(ModuleState* state, std::size_t first, std::size_t count) {
  return slice(state, kIntensity, first, count);
}

}  // namespace velorium::python
