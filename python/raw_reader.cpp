// class RawReader: opens an acquisition, decodes every spectrum at once into
// a columnar store (in parallel, without the interpreter lock) and answers
// queries from memory. Immutable after construction, so concurrent readers
// need no lock.
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "records.hpp"
#include "module.hpp"
#include "peak_columns.hpp"
#include "tables.hpp"
#include "velorium/chromatograms.hpp"
#include "velorium/reader.hpp"
#include "velorium/store/peak_store.hpp"

namespace velorium::python {
namespace {

struct RawReaderObject {
  PyObject_HEAD
  std::string path;
  std::optional<Reader> reader;
  std::shared_ptr<const store::PeakStore> store;  // every scan, in index order
  std::shared_ptr<PeakColumns> columns;           // arrays over the store's columns, shared by its spectra
};

RawReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RawReaderObject*>(self); }

// What the decoding without the interpreter lock produced: the reader and
// its store, or the text of the error to raise.
struct Loaded {
  std::optional<Reader> reader;
  std::shared_ptr<const store::PeakStore> store;
  std::string error;
};

// Opens and decodes everything. C++ only: runs without the interpreter lock.
Loaded open_and_decode(const std::string& path) {
  Loaded loaded;
  auto reader = Reader::open(path);
  if (!reader) {
    loaded.error = reader.error().display();
    return loaded;
  }
  std::vector<std::size_t> all(reader->scan_count());
  std::iota(all.begin(), all.end(), std::size_t{0});
  auto built = store::build_store(*reader, all, BlockPreference::Profile);
  if (!built) {
    // Counted and logged as decoding in scan order would have: the first
    // failing scan is the only one met.
    loaded.error = to_core(std::move(built).error()).display();
    return loaded;
  }
  loaded.store = std::move(*built);
  loaded.reader.emplace(std::move(*reader));
  return loaded;
}

// Opens and decodes everything with the interpreter lock released, or
// raises RuntimeError with the library's text; nothing is kept on failure.
bool load(RawReaderObject* self, std::string path) {
  std::optional<Loaded> loaded;
  {
    WithoutGil unlocked;  // an exception is turned into a Python one by the caller's guard
    loaded.emplace(open_and_decode(path));
  }
  if (!loaded->reader) {
    raise_runtime_error(loaded->error);
    return false;
  }
  self->path = std::move(path);
  self->reader.emplace(std::move(*loaded->reader));
  self->columns = std::make_shared<PeakColumns>(loaded->store, loaded->store->mz(), loaded->store->intensity());
  self->store = std::move(loaded->store);
  return true;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:RawReader", const_cast<char**>(keywords), &path_object)) {
      return nullptr;
    }
    auto path = path_argument("RawReader", "path", path_object, PathTypes::Str);
    if (!path) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = as_reader(self.get());
    new (&object->path) std::string();
    new (&object->reader) std::optional<Reader>();
    new (&object->store) std::shared_ptr<const store::PeakStore>();
    new (&object->columns) std::shared_ptr<PeakColumns>();
    if (!load(object, std::move(path->native))) return nullptr;
    return self.release();
  });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = as_reader(self);
  object->columns.~shared_ptr();
  object->store.~shared_ptr();
  object->reader.~optional();
  object->path.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

std::size_t scan_count(const RawReaderObject* object) { return object->store ? object->store->size() : 0; }

PyObject* repr(PyObject* self) {
  const auto* object = as_reader(self);
  return guarded([&] {
    const std::string text =
        "RawReader('" + object->path + "', " + std::to_string(scan_count(object)) + " scans)";
    return to_py(text);
  });
}

PyObject* get_scan_count(PyObject* self, void*) { return to_py(std::uint64_t{scan_count(as_reader(self))}); }

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
  if (index >= scan_count(object)) {
    return raise_runtime_error("scan " + std::to_string(index) + " out of range");
  }
  ModuleState* state = static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
  return guarded([&] { return new_spectrum_from_columns(state, object->store, object->columns, index); });
}

PyObject* run_info(PyObject* self, PyObject*) {
  return guarded([&] { return run_info_dict(as_reader(self)->reader->run_metadata()); });
}

PyObject* device_info(PyObject* self, PyObject*) {
  return guarded([&] { return device_info_dict(as_reader(self)->reader->device()); });
}

// Recomputed on every call from the decoded spectra. Only shared access to
// the store is needed, so concurrent calls never conflict.
PyObject* read_chromatograms(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const store::PeakStore& store = *as_reader(self)->store;
    ChromatogramBuilder builder;
    for (std::size_t i = 0; i < store.size(); ++i) builder.add(store.record(i), store.mz(i), store.intensity(i));
    const auto chromatograms = std::move(builder).finish();
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& chromatogram : chromatograms) {
      Ref dict(chromatogram_dict(chromatogram));
      if (!dict || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* peak_table(PyObject* self, PyTypeObject* defining_class, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "peak_table() takes no arguments");
    return nullptr;
  }
  ModuleState* state = static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
  const auto* object = as_reader(self);
  return guarded([&] { return peak_table_dict(state, object->store, object->columns.get()); });
}

PyObject* scan_table(PyObject* self, PyTypeObject* defining_class, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "scan_table() takes no arguments");
    return nullptr;
  }
  ModuleState* state = static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
  const auto* object = as_reader(self);
  return guarded(
      [&] { return scan_table_dict(state, *object->reader, peaks::DecodeOptions{}, object->store.get()); });
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
    {"peak_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(peak_table)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "peak_table($self)\n--\n\nAll decoded points as NumPy arrays that share the reader's memory: 'mz' (float64),\n"
     "'intensity' (float32) and 'offsets' (uint64, scan_count + 1 entries; scan i's points are\n"
     "offsets[i]:offsets[i + 1])."},
    {"scan_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_table)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "scan_table($self)\n--\n\nOne NumPy array per column, one entry per scan, of what the scan index and\n"
     "the decoded spectra say; pandas.DataFrame(reader.scan_table()) makes it a table."},
    {"xic", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_reader_xic)), METH_VARARGS | METH_KEYWORDS,
     kXicDoc},
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

PyType_Spec kType = {
    "velorium.RawReader",
    sizeof(RawReaderObject),
    0,
    kTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_raw_reader_type(PyObject* module) { return create_type(module, &kType); }

std::shared_ptr<const store::PeakStore> raw_reader_store(PyObject* self) { return as_reader(self)->store; }

}  // namespace velorium::python
