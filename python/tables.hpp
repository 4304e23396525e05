// Whole-run tables as dicts of NumPy arrays: the peak columns of a store
// (views, no copy) and one row per scan of what the scan index and the
// spectra say. Each function returns a new reference, or null with an
// exception set (ImportError when NumPy is missing).
#pragma once

#include <memory>

#include "module.hpp"
#include "peak_columns.hpp"
#include "velorium/reader.hpp"
#include "velorium/store/peak_store.hpp"

namespace velorium::python {

// {"mz": float64, "intensity": float32, "offsets": uint64 (size + 1)}: views
// of the store's columns, which the arrays keep alive. `columns`, when
// given, are the PeakColumns over the store's columns that its spectra
// share, so that the table's arrays and theirs have one base.
PyObject* peak_table_dict(ModuleState* state, std::shared_ptr<const store::PeakStore> store,
                          PeakColumns* columns = nullptr);

// One entry per scan of the reader, in index order: index int64,
// scan_number uint32, ms_level uint32, retention_time_sec float64, polarity
// int8 (1 positive, -1 negative, 0 unknown), scan_mode int8 (0 profile, 1
// centroid: the block read under `options`, centroid for a scan the options
// pick), has_profile bool, has_centroid
// bool, point_count uint64, total_ion_current, base_peak_mz,
// base_peak_intensity, low_mz, high_mz, precursor_mz, collision_energy
// float64 (NaN where absent). Without `store` the point count is the block
// descriptor's, for a picked scan its profile block's (the centroids are
// counted only by picking). With `store` (which must hold every scan of
// the reader in index order) the point counts, TIC and base peak are the
// decoded spectra's effective values; without, the descriptor's point count
// and the values the scan index records.
PyObject* scan_table_dict(ModuleState* state, const Reader& reader, const peaks::DecodeOptions& options,
                          const store::PeakStore* store);

}  // namespace velorium::python
