// Acquisition.to_mzml and Acquisition.to_mgf (export.cpp): the library's
// writers, run with the interpreter lock released.
#pragma once

#include "pyutil.hpp"

namespace velorium::python {

PyObject* acquisition_to_mzml(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* acquisition_to_mgf(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kToMzmlDoc =
    "to_mzml($self, /, path, compression=True)\n--\n\n"
    "Write the acquisition as indexed mzML 1.1 to path (str, bytes or os.PathLike).\n\n"
    "Every scan is written from the block that prefer chooses, m/z as 64-bit and\n"
    "intensities as 32-bit floats, zlib-compressed unless compression is false, with\n"
    "the TIC and base-peak chromatograms. The file is written under a temporary name\n"
    "in the same folder and renamed at the end: a failure leaves nothing behind and\n"
    "an existing file unchanged. A scan that fails to decode raises RuntimeError with\n"
    "the text RawReader raises; a file that cannot be written raises OSError.";

inline constexpr const char* kToMgfDoc =
    "to_mgf($self, /, path)\n--\n\n"
    "Write the spectra of MS level 2 and higher as MGF to path: one block per\n"
    "spectrum with TITLE (the native id), PEPMASS (the target m/z, when the scan has\n"
    "one), RTINSECONDS and SCANS. Written and replaced like to_mzml.";

}  // namespace velorium::python
