// NumPy arrays over the two peak columns that spectra read from (a store's
// columns, or one spectrum's own peaks), made once on first use and shared:
// each spectrum's arrays are slices of them, so an access costs a slice
// whatever the number of points.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "pyutil.hpp"

namespace velorium::python {

struct ModuleState;

class PeakColumns {
 public:
  // `owner` keeps the memory of both spans alive.
  PeakColumns(std::shared_ptr<const void> owner, std::span<const double> mz, std::span<const float> intensity) noexcept
      : owner_(std::move(owner)), mz_(mz), intensity_(intensity) {}
  ~PeakColumns();  // releases the arrays: destroy only with a Python thread state
  PeakColumns(const PeakColumns&) = delete;
  PeakColumns& operator=(const PeakColumns&) = delete;

  std::span<const double> mz() const noexcept { return mz_; }
  std::span<const float> intensity() const noexcept { return intensity_; }

  // New read-only arrays of points [first, first + count) of a column; new
  // references, or null with an exception set (ImportError without NumPy).
  PyObject* mz_array(ModuleState* state, std::size_t first, std::size_t count);
  PyObject* intensity_array(ModuleState* state, std::size_t first, std::size_t count);

 private:
  enum Column { kMz, kIntensity };
  // The whole column's array, made on first use (a borrowed reference).
  PyObject* column(ModuleState* state, Column which);
  PyObject* slice(ModuleState* state, Column which, std::size_t first, std::size_t count);

  std::shared_ptr<const void> owner_;
  std::span<const double> mz_;
  std::span<const float> intensity_;
  std::array<std::atomic<PyObject*>, 2> arrays_{};
};

}  // namespace velorium::python
