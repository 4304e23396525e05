// class RawReader: opens an acquisition, decodes every spectrum at once and
// answers queries from memory. Immutable after construction, so concurrent
// readers need no lock.
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "module.hpp"
#include "velorium/reader.hpp"

namespace velorium::python {
namespace {

struct RawReaderObject {
  PyObject_HEAD
  std::string path;
  std::optional<Reader> reader;
  std::vector<lumora::SpectrumRecord> spectra;
};

RawReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RawReaderObject*>(self); }

// Opens and decodes everything, or raises RuntimeError with the library's
// text; nothing is kept on failure.
bool load(RawReaderObject* self, std::string path) {
  auto reader = Reader::open(path);
  if (!reader) {
    raise_runtime_error(reader.error().display());
    return false;
  }
  std::vector<lumora::SpectrumRecord> spectra;
  auto source = reader->iter_spectra();
  spectra.reserve(source->remaining());
  while (auto item = source->next()) {
    if (!*item) {
      raise_runtime_error(item->error().display());
      return false;
    }
    spectra.push_back(std::move(**item));
  }
  source.reset();
  self->path = std::move(path);
  self->reader.emplace(std::move(*reader));
  self->spectra = std::move(spectra);
  return true;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:RawReader", const_cast<char**>(keywords), &path_object)) {
      return nullptr;
    }
    auto path = str_argument("RawReader", "path", path_object);
    if (!path) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = as_reader(self.get());
    new (&object->path) std::string();
    new (&object->reader) std::optional<Reader>();
    new (&object->spectra) std::vector<lumora::SpectrumRecord>();
    if (!load(object, std::move(*path))) return nullptr;
    return self.release();
  });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = as_reader(self);
  object->spectra.~vector();
  object->reader.~optional();
  object->path.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
  const auto* object = as_reader(self);
  return guarded([&] {
    const std::string text =
        "RawReader('" + object->path + "', " + std::to_string(object->spectra.size()) + " scans)";
    return to_py(text);
  });
}

PyObject* get_scan_count(PyObject* self, void*) { return to_py(std::uint64_t{as_reader(self)->spectra.size()}); }

PyObject* read_spectrum(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* argument = single_argument("read_spectrum", "scan_index", args, nargs, kwnames);
  if (argument == nullptr) return nullptr;
  if (!PyIndex_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "read_spectrum() argument 'scan_index' must be an int, not %.200s",
                 Py_TYPE(argument)->tp_name);
    return nullptr;
  }
  Ref number(PyNumber_Index(argument));
  if (!number) return nullptr;
  const std::size_t index = PyLong_AsSize_t(number.get());
  if (index == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  const auto* object = as_reader(self);
  if (index >= object->spectra.size()) {
    return raise_runtime_error("scan " + std::to_string(index) + " out of range");
  }
  ModuleState* state = static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
  return guarded([&] {
    lumora::SpectrumRecord copy = object->spectra[index];
    return new_spectrum(state, std::move(copy));
  });
}

PyObject* run_info(PyObject* self, PyObject*) {
  return guarded([&] { return run_info_dict(as_reader(self)->reader->run_metadata()); });
}

PyObject* device_info(PyObject* self, PyObject*) {
  return guarded([&] { return device_info_dict(as_reader(self)->reader->device()); });
}

// Recomputed on every call. Only shared access to the reader is needed, so
// concurrent calls never conflict.
PyObject* read_chromatograms(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto chromatograms = as_reader(self)->reader->iter_chromatograms();
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    while (auto item = chromatograms->next()) {
      if (!*item) return raise_runtime_error(item->error().display());
      Ref dict(chromatogram_dict(**item));
      if (!dict || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* scan_index(PyObject* self, PyObject*) {
  return guarded([&] { return scan_index_dict(*as_reader(self)->reader); });
}

PyGetSetDef kGetSet[] = {
    {"scan_count", get_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"read_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_spectrum)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {"run_info", run_info, METH_NOARGS, "run_info($self)\n--\n\n"},
    {"device_info", device_info, METH_NOARGS,
     "device_info($self)\n--\n\nInstrument name and model decoded from Devices.xml, when available."},
    {"read_chromatograms", read_chromatograms, METH_NOARGS, "read_chromatograms($self)\n--\n\n"},
    {"scan_index", scan_index, METH_NOARGS,
     "scan_index($self)\n--\n\nThe decoded MSScan.bin header and scan records."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velorium.RawReader",
    sizeof(RawReaderObject),
    0,
    kTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_raw_reader_type(PyObject* module) { return create_type(module, &kSpec); }

}  // namespace velorium::python
