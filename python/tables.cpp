#include "tables.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "arrays.hpp"

namespace velorium::python {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double or_nan(const std::optional<double>& value) { return value ? *value : kNaN; }

// Sets dict[key] to an array that owns `values`.
template <class T>
bool put_column(ModuleState* state, PyObject* dict, const char* key, std::vector<T>&& values, ElementType type) {
  return set_item(dict, key, numpy_owned(state, std::move(values), type));
}

}  // namespace

PyObject* peak_table_dict(ModuleState* state, std::shared_ptr<const store::PeakStore> store, PeakColumns* columns) {
  std::shared_ptr<PeakColumns> own;
  if (columns == nullptr) {
    own = std::make_shared<PeakColumns>(store, store->mz(), store->intensity());
    columns = own.get();
  }
  const store::PeakStore& s = *store;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "mz", columns->mz_array(state, 0, s.points())) ||
      !set_item(dict.get(), "intensity", columns->intensity_array(state, 0, s.points())) ||
      !set_item(dict.get(), "offsets",
                numpy_view(state, store, s.offsets().data(), s.offsets().size(), ElementType::U64))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* scan_table_dict(ModuleState* state, const Reader& reader, const peaks::DecodeOptions& options,
                          const store::PeakStore* store) {
  const std::size_t n = reader.scan_count();
  std::vector<std::int64_t> index(n);
  std::vector<std::uint32_t> scan_number(n), ms_level(n);
  std::vector<double> retention(n), tic(n), bp_mz(n), bp_intensity(n), low(n), high(n), precursor(n), energy(n);
  std::vector<std::int8_t> polarity(n), mode(n);
  std::vector<std::uint8_t> has_profile(n), has_centroid(n);  // NumPy bool: one byte, 0 or 1
  std::vector<std::uint64_t> points(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ScanRecord& scan = reader.scan(i);
    const BlockPlan plan = reader.block_plan(i, options.block_preference());
    index[i] = static_cast<std::int64_t>(i);
    scan_number[i] = scan.scan_id;
    ms_level[i] = scan.ms_level;
    retention[i] = scan.retention_time_sec();
    const auto sign = scan.polarity();
    polarity[i] = !sign ? 0 : *sign == lumora::Polarity::Positive ? 1 : -1;
    mode[i] = plan.kind == BlockKind::Profile && options.pick == peaks::PickMode::None ? 0 : 1;
    has_profile[i] = scan.profile_params.has_value();
    has_centroid[i] = scan.centroid_params.has_value();
    low[i] = or_nan(scan.min_x);
    high[i] = or_nan(scan.max_x);
    // The precursor m/z is the target m/z of MS2 and later scans that carry
    // one (MRM scans name their precursor by channel instead).
    precursor[i] = scan.ms_level >= 2 && !scan.mrm_channel_id ? or_nan(scan.target_mz) : kNaN;
    energy[i] = scan.ms_level >= 2 ? or_nan(scan.collision_energy) : kNaN;
    if (store != nullptr) {
      const lumora::SpectrumRecord& record = store->record(i);
      const auto mz = store->mz(i);
      const auto intensity = store->intensity(i);
      const auto base_peak = lumora::effective_base_peak(record, mz, intensity);
      points[i] = mz.size();
      tic[i] = lumora::effective_tic(record, intensity);
      bp_mz[i] = base_peak ? base_peak->first : kNaN;
      bp_intensity[i] = base_peak ? base_peak->second : kNaN;
    } else {
      points[i] = plan.point_count;
      tic[i] = or_nan(scan.tic);
      bp_mz[i] = or_nan(scan.base_peak_mz);
      bp_intensity[i] = or_nan(scan.base_peak_intensity);
    }
  }
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put_column(state, d, "index", std::move(index), ElementType::I64) &&
                  put_column(state, d, "scan_number", std::move(scan_number), ElementType::U32) &&
                  put_column(state, d, "ms_level", std::move(ms_level), ElementType::U32) &&
                  put_column(state, d, "retention_time_sec", std::move(retention), ElementType::F64) &&
                  put_column(state, d, "polarity", std::move(polarity), ElementType::I8) &&
                  put_column(state, d, "scan_mode", std::move(mode), ElementType::I8) &&
                  put_column(state, d, "has_profile", std::move(has_profile), ElementType::Bool) &&
                  put_column(state, d, "has_centroid", std::move(has_centroid), ElementType::Bool) &&
                  put_column(state, d, "point_count", std::move(points), ElementType::U64) &&
                  put_column(state, d, "total_ion_current", std::move(tic), ElementType::F64) &&
                  put_column(state, d, "base_peak_mz", std::move(bp_mz), ElementType::F64) &&
                  put_column(state, d, "base_peak_intensity", std::move(bp_intensity), ElementType::F64) &&
                  put_column(state, d, "low_mz", std::move(low), ElementType::F64) &&
                  put_column(state, d, "high_mz", std::move(high), ElementType::F64) &&
                  put_column(state, d, "precursor_mz", std::move(precursor), ElementType::F64) &&
                  put_column(state, d, "collision_energy", std::move(energy), ElementType::F64);
  return ok ? dict.release() : nullptr;
}

}  // namespace velorium::python
