// Acquisition.to_mzml and Acquisition.to_mgf (export.cpp): the library's
// writers, run with the interpreter lock released.
#pragma once

#include "pyutil.hpp"

namespace velorium::python {

PyObject* acquisition_to_mzml(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* acquisition_to_mgf(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kToMzmlDoc =
    "to_mzml($self, /, path, compression=True, *, ms_level=None, rt_range=None, polarity=None,\n"
    "        scan_range=None, trim_zeros=False, threshold=None, mz_precision=None, numpress=None,\n"
    "        compact=False)\n--\n\n"
    "Write the acquisition as indexed mzML 1.1 to path (str, bytes or os.PathLike);\n"
    "a path ending in .gz is written gzip-compressed.\n\n"
    "Every selected scan is written from the block that prefer chooses, m/z as 64-bit\n"
    "and intensities as 32-bit floats, zlib-compressed unless compression is false,\n"
    "with the TIC and base-peak chromatograms of the MS1 scans written. The scans are\n"
    "selected as by select(). trim_zeros removes the zero-intensity points that have\n"
    "no non-zero neighbour; threshold={'absolute': N} removes the points below N and\n"
    "threshold={'top': N} keeps the N most intense points of each spectrum;\n"
    "mz_precision=32 stores m/z as 32-bit floats; numpress='linear,slof' (or\n"
    "'linear,pic', or ('linear', 'slof')) encodes the arrays with MS-Numpress, each at its\n"
    "optimal fixed point; compact=True is zero trimming with numpress='linear,slof'.\n"
    "Each processing step is recorded in the file. An acquisition opened with\n"
    "pick_peaks writes its spectra as it hands them out: picked spectra as centroids,\n"
    "recorded as peak picking with min_intensity and min_snr.\n\n"
    "The file is written under a temporary name in the same folder, flushed to the\n"
    "disk and renamed at the end: a failure leaves nothing behind and an existing\n"
    "file unchanged. Options that do not fit raise ValueError; a scan that fails to\n"
    "decode raises RuntimeError with the text RawReader raises; a file that cannot be\n"
    "written raises OSError.";

inline constexpr const char* kToMgfDoc =
    "to_mgf($self, /, path, *, ms_level=None, rt_range=None, polarity=None, scan_range=None,\n"
    "       trim_zeros=False, threshold=None, mgf_title=None)\n--\n\n"
    "Write the spectra as MGF to path: by default those of MS level 2 and higher, one\n"
    "block per spectrum with TITLE, PEPMASS (the target m/z, when the scan has one),\n"
    "RTINSECONDS and SCANS. The default TITLE is RUN.SCAN.SCAN.CHARGE File:\"FOLDER\",\n"
    "NativeID:\"scanId=N\" (CHARGE empty when unknown); mgf_title is a template of the\n"
    "fields {run}, {folder}, {scan}, {charge}, {native_id}, {index} and {rt}.\n"
    "Selected, processed and written like to_mzml.";

}  // namespace velorium::python
