// Acquisition.to_mzml(path, compression=True) and Acquisition.to_mgf(path).
#include "export.hpp"

#include <string>

#include "module.hpp"
#include "velorium/mzml/writer.hpp"

namespace velorium::python {
namespace {

// Raises the exception of a failed export: RuntimeError with the scan's
// text, OSError (errno, text, filename) for the files, which Python maps to
// its subclasses (PermissionError, FileNotFoundError, ...).
PyObject* raise_export_error(const mzml::ExportError& error, PyObject* path) {
  using Kind = mzml::ExportError::Kind;
  if ((error.kind == Kind::Output || error.kind == Kind::Input || error.kind == Kind::Exists) && error.code &&
      error.code.category() == std::generic_category()) {
    Ref exception(PyObject_CallFunction(PyExc_OSError, "isO", error.code.value(), error.code.message().c_str(), path));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
  }
  PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
  return nullptr;
}

PyObject* export_to(PyObject* self, PyObject* path_object, mzml::Format format, bool compression) {
  return guarded([&]() -> PyObject* {
    Ref path_bytes;
    {
      PyObject* converted = nullptr;
      if (PyUnicode_FSConverter(path_object, &converted) == 0) return nullptr;
      path_bytes = Ref(converted);
    }
    Ref shown(PyOS_FSPath(path_object));
    if (!shown) return nullptr;
    const std::filesystem::path path(std::string(PyBytes_AS_STRING(path_bytes.get()),
                                                 static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes.get()))));
    if (acquisition_options(self).pick != peaks::PickMode::None) {
      // Written as read, the file would hold profile spectra the acquisition
      // hands out picked.
      PyErr_SetString(PyExc_NotImplementedError,
                      "picked spectra cannot be written yet: open the acquisition with pick_peaks=None to export");
      return nullptr;
    }
    const std::shared_ptr<const Reader> reader = acquisition_reader_ptr(self);
    mzml::ExportOptions options;
    options.prefer = acquisition_preference(self);
    options.compression = compression;
    mzml::ExportResult result;
    Py_BEGIN_ALLOW_THREADS
    try {
      result = mzml::export_file(*reader, path, format, options, /*replace=*/true);
    } catch (const std::bad_alloc&) {
      result = std::unexpected(mzml::ExportError{mzml::ExportError::Kind::Output, "out of memory", {}});
    } catch (const std::exception& e) {
      result = std::unexpected(mzml::ExportError{mzml::ExportError::Kind::Output, e.what(), {}});
    }
    Py_END_ALLOW_THREADS
    if (!result) return raise_export_error(result.error(), shown.get());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyObject* acquisition_to_mzml(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "compression", nullptr};
  PyObject* path = nullptr;
  int compression = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:to_mzml", const_cast<char**>(keywords), &path, &compression)) {
    return nullptr;
  }
  return export_to(self, path, mzml::Format::Mzml, compression != 0);
}

PyObject* acquisition_to_mgf(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:to_mgf", const_cast<char**>(keywords), &path)) return nullptr;
  return export_to(self, path, mzml::Format::Mgf, true);
}

}  // namespace velorium::python
