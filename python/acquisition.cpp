// class Acquisition: an acquisition opened without decoding any block. Each
// spectrum is decoded when it is asked for, with the interpreter lock
// released; selections are decoded ahead on worker threads. Immutable after
// construction (the reader is shared and read-only but for its atomic
// failure counters), so any number of threads may use one object.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <string>

#include "records.hpp"
#include "arguments.hpp"
#include "export.hpp"
#include "module.hpp"
#include "selection.hpp"
#include "tables.hpp"
#include "velorium/chromatograms.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/store/peak_store.hpp"

namespace velorium::python {
namespace {

AcquisitionObject* as_acquisition(PyObject* self) { return reinterpret_cast<AcquisitionObject*>(self); }

ModuleState* state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

std::string_view preference_name(BlockPreference prefer) {
  return prefer == BlockPreference::Centroid ? "centroid" : "profile";
}

// The pick_peaks argument's value: None, 'missing' or 'all'.
PyObject* pick_mode_object(peaks::PickMode mode) {
  switch (mode) {
    case peaks::PickMode::Missing: return to_py("missing");
    case peaks::PickMode::All: return to_py("all");
    case peaks::PickMode::None: break;
  }
  return none();
}

// Python's repr of a float: "2.0", "0.5", "1e+20".
std::string float_repr(double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) throw std::bad_alloc();
  std::string out(text);
  PyMem_Free(text);
  return out;
}

// The text a failed spectrum raises: the same as RawReader and iter_spectra.
std::string failure_text(Error error) { return to_core(std::move(error)).display(); }

// ---------------------------------------------------------------- decoding

// The spectrum of scan `index`, decoded without the interpreter lock, as a
// new Spectrum; a failed block raises RuntimeError with the library's text.
PyObject* decode_one(PyObject* self, std::size_t index) {
  const AcquisitionObject* object = as_acquisition(self);
  std::optional<Result<lumora::SpectrumRecord>> result;
  {
    WithoutGil unlocked;
    result.emplace(peaks::spectrum(*object->reader, index, object->options));
  }
  if (!*result) return raise_runtime_error(failure_text(std::move(*result).error()));
  return new_spectrum(state_of(self), std::move(**result));
}

// The spectra of `indices` decoded in parallel, as a list in that order; the
// first failure in that order raises and is the only one reported.
PyObject* decode_list(PyObject* self, std::vector<std::size_t> indices) {
  const AcquisitionObject* object = as_acquisition(self);
  std::vector<lumora::SpectrumRecord> records;
  std::optional<Error> failure;
  {
    WithoutGil unlocked;
    records.reserve(indices.size());
    Prefetcher prefetcher(*object->reader, std::move(indices), object->options);
    while (auto item = prefetcher.next()) {
      if (!*item) {
        failure.emplace(std::move(*item).error());
        break;
      }
      records.push_back(std::move(**item));
    }
  }
  if (failure) return raise_runtime_error(failure_text(std::move(*failure)));
  Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  ModuleState* state = state_of(self);
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* spectrum = new_spectrum(state, std::move(records[i]));
    if (spectrum == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), spectrum);
  }
  return list.release();
}

// ---------------------------------------------------------------- the iterator

// The iterator of Acquisition.spectra() and iter(Acquisition): the selected
// spectra in scan order, decoded ahead by a Prefetcher that starts with the
// first next(), so an iterator that is never used costs no thread. One
// failure raises RuntimeError and ends the iteration, as iter_spectra does.
struct SpectraObject {
  PyObject_HEAD
  std::shared_ptr<const Reader> reader;  // outlives the prefetcher
  peaks::DecodeOptions options;
  std::vector<std::size_t> indices;  // moved into the prefetcher when it starts
  std::size_t remaining;
  std::mutex mutex;  // one next() at a time; taken without the interpreter lock
  std::unique_ptr<Prefetcher> prefetcher;
  bool finished;
};

SpectraObject* as_spectra(PyObject* self) { return reinterpret_cast<SpectraObject*>(self); }

PyObject* new_spectra(PyObject* acquisition, std::vector<std::size_t> indices) {
  PyTypeObject* type = state_of(acquisition)->acquisition_spectra_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* object = as_spectra(self);
  const std::size_t count = indices.size();
  new (&object->reader) std::shared_ptr<const Reader>(as_acquisition(acquisition)->reader);
  new (&object->options) peaks::DecodeOptions(as_acquisition(acquisition)->options);
  new (&object->indices) std::vector<std::size_t>(std::move(indices));
  object->remaining = count;
  new (&object->mutex) std::mutex();
  new (&object->prefetcher) std::unique_ptr<Prefetcher>();
  object->finished = false;
  return self;
}

void spectra_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = as_spectra(self);
  object->prefetcher.~unique_ptr();  // stops and joins the workers (each ends its current spectrum)
  object->mutex.~mutex();
  object->indices.~vector();
  object->options.~DecodeOptions();
  object->reader.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* spectra_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* spectra_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* object = as_spectra(self);
    std::optional<lumora::SpectrumRecord> record;
    std::optional<Error> failure;
    {
      WithoutGil unlocked;
      const std::lock_guard lock(object->mutex);
      if (object->finished) return nullptr;
      if (!object->prefetcher) {
        object->finished = true;  // stays so if the workers cannot be started
        object->prefetcher =
            std::make_unique<Prefetcher>(*object->reader, std::move(object->indices), object->options);
        object->finished = false;
      }
      auto item = object->prefetcher->next();
      if (item && *item) {
        record.emplace(std::move(**item));
        --object->remaining;
      } else {
        if (item) failure.emplace(std::move(*item).error());
        object->finished = true;
        object->remaining = 0;
        object->prefetcher.reset();  // the workers end now, not when the iterator goes
      }
    }
    if (failure) return raise_runtime_error(failure_text(std::move(*failure)));
    if (!record) return nullptr;  // StopIteration
    return new_spectrum(state_of_type(Py_TYPE(self)), std::move(*record));
  });
}

PyObject* spectra_length_hint(PyObject* self, PyObject*) {
  auto* object = as_spectra(self);
  std::size_t remaining = 0;
  {
    WithoutGil unlocked;
    const std::lock_guard lock(object->mutex);
    remaining = object->remaining;
  }
  return to_py(std::uint64_t{remaining});
}

PyMethodDef kSpectraMethods[] = {
    {"__length_hint__", spectra_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSpectraSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(spectra_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(spectra_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(spectra_next)},
    {Py_tp_methods, kSpectraMethods},
    {0, nullptr},
};

PyType_Spec kSpectraType = {
    "velorium.AcquisitionSpectra",
    sizeof(SpectraObject),
    0,
    kUncallableTypeFlags,
    kSpectraSlots,
};

// ---------------------------------------------------------------- Acquisition

// prefer: 'profile' or 'centroid'.
bool preference_argument(PyObject* value, BlockPreference& prefer) {
  if (value == nullptr) return true;
  int choice = 0;
  if (!choice_argument("Acquisition", "prefer", value, {"profile", "centroid"}, false, choice, ChoiceText::Bare)) {
    return false;
  }
  prefer = choice == 0 ? BlockPreference::Profile : BlockPreference::Centroid;
  return true;
}

// pick_peaks: None, 'missing' or 'all'.
bool pick_mode_argument(PyObject* value, peaks::PickMode& mode) {
  if (value == nullptr) return true;
  int choice = 0;
  if (!choice_argument("Acquisition", "pick_peaks", value, {"missing", "all"}, true, choice, ChoiceText::Bare)) {
    return false;
  }
  constexpr peaks::PickMode kModes[] = {peaks::PickMode::Missing, peaks::PickMode::All};
  mode = choice < 0 ? peaks::PickMode::None : kModes[choice];
  return true;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "prefer", "pick_peaks", "min_intensity", "min_snr", nullptr};
    PyObject* path_object = nullptr;
    PyObject* prefer_object = nullptr;
    PyObject* pick_object = nullptr;
    PyObject* min_intensity = nullptr;
    PyObject* min_snr = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO$OO:Acquisition", const_cast<char**>(keywords), &path_object,
                                     &prefer_object, &pick_object, &min_intensity, &min_snr)) {
      return nullptr;
    }
    auto path = path_argument("Acquisition", "path", path_object, PathTypes::Any);
    if (!path) return nullptr;
    peaks::DecodeOptions options;
    if (!preference_argument(prefer_object, options.prefer) ||
        !pick_mode_argument(pick_object, options.pick) ||
        !pick_params_argument("Acquisition", min_intensity, min_snr, options.params)) {
      return nullptr;
    }

    std::optional<Result<Reader>> opened;
    std::vector<std::pair<std::uint32_t, std::size_t>> by_scan_number;
    {
      WithoutGil unlocked;
      opened.emplace(Reader::open(std::filesystem::path(path->native)));
      if (*opened) {
        const auto& records = (*opened)->scan_index().records;
        by_scan_number.reserve(records.size());
        for (std::size_t i = 0; i < records.size(); ++i) by_scan_number.emplace_back(records[i].scan_id, i);
        std::sort(by_scan_number.begin(), by_scan_number.end());
      }
    }
    if (!*opened) return raise_runtime_error(opened->error().display());
    auto reader = std::make_shared<const Reader>(std::move(**opened));

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = as_acquisition(self);
    object->path = path->text.release();
    new (&object->reader) std::shared_ptr<const Reader>(std::move(reader));
    new (&object->options) peaks::DecodeOptions(options);
    new (&object->by_scan_number) std::vector<std::pair<std::uint32_t, std::size_t>>(std::move(by_scan_number));
    return self;
  });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = as_acquisition(self);
  object->by_scan_number.~vector();
  object->options.~DecodeOptions();
  object->reader.~shared_ptr();
  Py_XDECREF(object->path);
  type->tp_free(self);
  Py_DECREF(type);
}

// Acquisition('/data/run1.d', 1200 scans), with ", prefer='centroid'" added
// when the centroid blocks are preferred and ", pick_peaks='all'" (or
// 'missing') when spectra are picked, followed by the picker's parameters
// that differ from their defaults.
PyObject* repr(PyObject* self) {
  const auto* object = as_acquisition(self);
  const auto count = static_cast<unsigned long long>(object->reader->scan_count());
  const peaks::DecodeOptions& options = object->options;
  std::string settings;
  if (options.prefer == BlockPreference::Centroid) settings += ", prefer='centroid'";
  if (options.pick != peaks::PickMode::None) {
    settings += options.pick == peaks::PickMode::All ? ", pick_peaks='all'" : ", pick_peaks='missing'";
    const peaks::PickParams defaults;
    if (options.params.min_intensity != defaults.min_intensity) {
      settings += ", min_intensity=" + float_repr(options.params.min_intensity);
    }
    if (options.params.min_snr != defaults.min_snr) settings += ", min_snr=" + float_repr(options.params.min_snr);
  }
  return PyUnicode_FromFormat("Acquisition(%R, %llu scans%s)", object->path, count, settings.c_str());
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(as_acquisition(self)->reader->scan_count()); }

PyObject* subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const auto count = static_cast<Py_ssize_t>(as_acquisition(self)->reader->scan_count());
    if (PySlice_Check(key)) {
      Py_ssize_t start = 0, stop = 0, step = 0;
      if (PySlice_Unpack(key, &start, &stop, &step) != 0) return nullptr;
      const Py_ssize_t n = PySlice_AdjustIndices(count, &start, &stop, step);
      std::vector<std::size_t> indices;
      indices.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t k = 0, i = start; k < n; ++k, i += step) indices.push_back(static_cast<std::size_t>(i));
      return decode_list(self, std::move(indices));
    }
    if (!PyIndex_Check(key)) {
      PyErr_Format(PyExc_TypeError, "Acquisition indices must be integers or slices, not %.200s",
                   Py_TYPE(key)->tp_name);
      return nullptr;
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += count;
    if (index < 0 || index >= count) {
      PyErr_SetString(PyExc_IndexError, "Acquisition index out of range");
      return nullptr;
    }
    return decode_one(self, static_cast<std::size_t>(index));
  });
}

// The scan indices, in scan order, chosen by the selection keywords (the
// only arguments of `function`); nothing with the exception set.
std::optional<std::vector<std::size_t>> selected_scans(PyObject* self, const char* function, PyObject* args,
                                                       PyObject* kwds) {
  SelectionArguments arguments;
  ScanSelection selection;
  if (!selection_keywords(function, args, kwds, arguments) || !parse_selection(function, arguments, selection)) {
    return std::nullopt;
  }
  return select_scans(as_acquisition(self)->reader->scan_index(), selection);
}

PyObject* iter(PyObject* self) {
  return guarded([&] {
    std::vector<std::size_t> all(as_acquisition(self)->reader->scan_count());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    return new_spectra(self, std::move(all));
  });
}

PyObject* spectra(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    auto indices = selected_scans(self, "spectra", args, kwds);
    if (!indices) return nullptr;
    return new_spectra(self, std::move(*indices));
  });
}

PyObject* select_method(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    auto indices = selected_scans(self, "select", args, kwds);
    if (!indices) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(indices->size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < indices->size(); ++k) {
      PyObject* item = to_py(std::uint64_t{(*indices)[k]});
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

// index_of(scan_number): the index of the first scan with that number.
PyObject* index_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argument = single_argument("index_of", "scan_number", args, nargs, kwnames);
  if (argument == nullptr) return nullptr;
  long long number = 0;
  if (!integer_argument("index_of", "scan_number", argument, number)) return nullptr;
  const auto& table = as_acquisition(self)->by_scan_number;
  if (number >= 0 && number <= std::numeric_limits<std::uint32_t>::max()) {
    const auto scan_number = static_cast<std::uint32_t>(number);
    const auto found = std::lower_bound(table.begin(), table.end(), std::pair<std::uint32_t, std::size_t>(scan_number, 0));
    if (found != table.end() && found->first == scan_number) return to_py(std::uint64_t{found->second});
  }
  Ref shown(PyNumber_Index(argument));  // the int itself, also beyond the range of long long
  if (shown) PyErr_Format(PyExc_ValueError, "scan number %R is not in the acquisition", shown.get());
  return nullptr;
}

// nearest(retention_time_sec, ms_level=None): the index of the scan whose
// retention time is closest; the first of equally close scans.
PyObject* nearest(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"retention_time_sec", "ms_level", nullptr};
    PyObject* target_object = nullptr;
    PyObject* ms_level = nullptr;
    double target = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:nearest", const_cast<char**>(keywords), &target_object,
                                     &ms_level) ||
        !number_argument("nearest", "retention_time_sec", target_object, target)) {
      return nullptr;
    }
    if (std::isnan(target)) {
      PyErr_SetString(PyExc_ValueError, "retention_time_sec is NaN");
      return nullptr;
    }
    ScanSelection selection;
    if (ms_level != nullptr && !parse_selection("nearest", SelectionArguments{.ms_level = ms_level}, selection)) {
      return nullptr;
    }
    const auto& records = as_acquisition(self)->reader->scan_index().records;
    std::optional<std::size_t> best;
    double best_distance = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (selection.ms_levels && !selection.matches(records[i].ms_level, 0.0, std::nullopt, 0)) continue;
      const double distance = std::fabs(records[i].retention_time_sec() - target);
      if (std::isnan(distance)) continue;
      if (!best || distance < best_distance) {
        best = i;
        best_distance = distance;
      }
    }
    if (!best) {
      PyErr_SetString(PyExc_ValueError, "no scan to choose from");
      return nullptr;
    }
    return to_py(std::uint64_t{*best});
  });
}

PyObject* run_info(PyObject* self, PyObject*) {
  return guarded([&] { return run_info_dict(as_acquisition(self)->reader->run_metadata()); });
}

PyObject* device_info(PyObject* self, PyObject*) {
  return guarded([&] { return device_info_dict(as_acquisition(self)->reader->device()); });
}

PyObject* scan_index(PyObject* self, PyObject*) {
  return guarded([&] {
    return scan_index_dict(*as_acquisition(self)->reader);
  });
}

// As RawReader's: the chromatograms of the profile-preferring spectra of
// the whole run, decoded ahead on worker threads without the interpreter
// lock, a few spectra at a time; the first failing scan raises.
PyObject* read_chromatograms(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Reader& reader = *as_acquisition(self)->reader;
    std::vector<lumora::ChromatogramRecord> chromatograms;
    std::optional<Error> failure;
    {
      WithoutGil unlocked;
      std::vector<std::size_t> all(reader.scan_count());
      for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
      Prefetcher prefetcher(reader, std::move(all), BlockPreference::Profile);
      ChromatogramBuilder builder;
      while (auto item = prefetcher.next()) {
        if (!*item) {
          failure.emplace(std::move(*item).error());
          break;
        }
        builder.add(**item);
      }
      if (!failure) chromatograms = std::move(builder).finish();
    }
    if (failure) return raise_runtime_error(failure_text(std::move(*failure)));
    Ref list(PyList_New(static_cast<Py_ssize_t>(chromatograms.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < chromatograms.size(); ++i) {
      PyObject* dict = chromatogram_dict(chromatograms[i]);
      if (dict == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
    }
    return list.release();
  });
}

// The scan index's columns under this preference; decodes nothing.
PyObject* scan_table(PyObject* self, PyObject*) {
  return guarded([&] {
    const auto* object = as_acquisition(self);
    return scan_table_dict(state_of(self), *object->reader, object->options, nullptr);
  });
}

// The selected spectra decoded in parallel into one store, as RawReader's
// peak_table(); the first failing scan in scan order raises.
PyObject* peak_table(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    auto indices = selected_scans(self, "peak_table", args, kwds);
    if (!indices) return nullptr;
    const auto* object = as_acquisition(self);
    std::shared_ptr<const store::PeakStore> built;
    std::optional<Error> failure;
    {
      WithoutGil unlocked;
      auto result = store::build_store(*object->reader, *indices, object->options);
      if (result) {
        built = std::move(*result);
      } else {
        failure.emplace(std::move(result).error());
      }
    }
    if (failure) return raise_runtime_error(failure_text(std::move(*failure)));
    return peak_table_dict(state_of(self), std::move(built));
  });
}

// Pickles as Acquisition(path, prefer), or with picking as
// functools.partial(Acquisition, min_intensity=..., min_snr=...)(path,
// prefer, pick_peaks): unpickling opens the folder again.
PyObject* reduce(PyObject* self, PyObject*) {
  const auto* object = as_acquisition(self);
  const peaks::DecodeOptions& options = object->options;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref prefer(to_py(preference_name(options.prefer)));
  if (!prefer) return nullptr;
  if (options.pick == peaks::PickMode::None) return Py_BuildValue("(O(OO))", type, object->path, prefer.get());
  Ref pick(pick_mode_object(options.pick));
  Ref functools(PyImport_ImportModule("functools"));
  if (!pick || !functools) return nullptr;
  Ref partial_type(PyObject_GetAttrString(functools.get(), "partial"));
  Ref keywords(Py_BuildValue("{s:d,s:d}", "min_intensity", options.params.min_intensity, "min_snr",
                             options.params.min_snr));
  Ref positional(PyTuple_Pack(1, type));
  if (!partial_type || !keywords || !positional) return nullptr;
  Ref partial(PyObject_Call(partial_type.get(), positional.get(), keywords.get()));
  if (!partial) return nullptr;
  return Py_BuildValue("(O(OOO))", partial.get(), object->path, prefer.get(), pick.get());
}

PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_acquisition(self)->path); }

PyObject* get_prefer(PyObject* self, void*) {
  return to_py(preference_name(as_acquisition(self)->options.prefer));
}

PyObject* get_pick_peaks(PyObject* self, void*) { return pick_mode_object(as_acquisition(self)->options.pick); }

PyObject* get_min_intensity(PyObject* self, void*) { return to_py(as_acquisition(self)->options.params.min_intensity); }

PyObject* get_min_snr(PyObject* self, void*) { return to_py(as_acquisition(self)->options.params.min_snr); }

PyGetSetDef kGetSet[] = {
    {"path", get_path, nullptr, "The acquisition folder as given (a str).", nullptr},
    {"prefer", get_prefer, nullptr, "'profile' or 'centroid': the block read from scans that have both.", nullptr},
    {"pick_peaks", get_pick_peaks, nullptr,
     "None, 'missing' or 'all': which spectra are handed out as the centroids picked from their profile.",
     nullptr},
    {"min_intensity", get_min_intensity, nullptr, "The least apex height of a picked peak.", nullptr},
    {"min_snr", get_min_snr, nullptr,
     "The least apex height of a picked peak, in multiples of its spectrum's noise level.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define VELORIUM_KW_METHOD(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef kMethods[] = {
    {"spectra", VELORIUM_KW_METHOD(spectra), METH_VARARGS | METH_KEYWORDS,
     "spectra($self, /, ms_level=None, rt_range=None, polarity=None, scan_range=None)\n--\n\n"
     "The selected spectra in scan order, decoded ahead on worker threads.\n\n"
     "ms_level selects one MS level (an int) or several (a sequence of ints, a range);\n"
     "rt_range=(low, high) the retention times in seconds between both ends, included;\n"
     "polarity 'positive' or 'negative'; scan_range=(first, last) the scan numbers\n"
     "between both, included. A spectrum that fails to decode raises RuntimeError\n"
     "and ends the iteration."},
    {"select", VELORIUM_KW_METHOD(select_method), METH_VARARGS | METH_KEYWORDS,
     "select($self, /, ms_level=None, rt_range=None, polarity=None, scan_range=None)\n--\n\n"
     "The indices of the scans that spectra() with the same arguments yields."},
    {"index_of", VELORIUM_KW_METHOD(index_of), METH_FASTCALL | METH_KEYWORDS,
     "index_of($self, /, scan_number)\n--\n\n"
     "The index of the first scan with this scan number; ValueError if none has it."},
    {"nearest", VELORIUM_KW_METHOD(nearest), METH_VARARGS | METH_KEYWORDS,
     "nearest($self, /, retention_time_sec, ms_level=None)\n--\n\n"
     "The index of the scan (of this MS level) closest in retention time; the first\n"
     "of equally close ones. ValueError if there is none."},
    {"run_info", run_info, METH_NOARGS, "run_info($self, /)\n--\n\nThe run metadata, as RawReader.run_info()."},
    {"device_info", device_info, METH_NOARGS,
     "device_info($self, /)\n--\n\nInstrument name and model decoded from Devices.xml, when available."},
    {"scan_index", scan_index, METH_NOARGS,
     "scan_index($self, /)\n--\n\nThe decoded MSScan.bin header and scan records."},
    {"scan_table", scan_table, METH_NOARGS,
     "scan_table($self, /)\n--\n\n"
     "One NumPy array per column, one entry per scan, of what the scan index records\n"
     "(the columns of RawReader.scan_table(); scan_mode: the block read under prefer,\n"
     "or centroid for a scan that is picked; point_count: the descriptor's of the block\n"
     "read, for a picked scan its profile's). Decodes nothing."},
    {"peak_table", VELORIUM_KW_METHOD(peak_table), METH_VARARGS | METH_KEYWORDS,
     "peak_table($self, /, ms_level=None, rt_range=None, polarity=None, scan_range=None)\n--\n\n"
     "The selected spectra decoded in parallel, as NumPy arrays: 'mz' (float64),\n"
     "'intensity' (float32) and 'offsets' (uint64); the k-th selected scan, select()[k],\n"
     "has the points offsets[k]:offsets[k + 1]."},
    {"read_chromatograms", read_chromatograms, METH_NOARGS,
     "read_chromatograms($self, /)\n--\n\n"
     "The TIC and base-peak chromatograms of the MS1 scans, as RawReader.read_chromatograms()."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    // Methods implemented in other files of the module are listed here.
    {"xic", VELORIUM_KW_METHOD(acquisition_xic), METH_VARARGS | METH_KEYWORDS, kXicDoc},
    {"to_mzml", VELORIUM_KW_METHOD(acquisition_to_mzml), METH_VARARGS | METH_KEYWORDS, kToMzmlDoc},
    {"to_mgf", VELORIUM_KW_METHOD(acquisition_to_mgf), METH_VARARGS | METH_KEYWORDS, kToMgfDoc},
    {nullptr, nullptr, 0, nullptr},
};

#undef VELORIUM_KW_METHOD

constexpr const char* kDoc =
    "Acquisition(path, prefer='profile', pick_peaks=None, *, min_intensity=0.0, min_snr=2.0)\n--\n\n"
    "An acquisition opened without decoding: each spectrum is decoded when it is\n"
    "asked for. A sequence of Spectrum objects in scan order. prefer='centroid' reads\n"
    "the centroid block of every scan that has one. pick_peaks='missing' hands out\n"
    "every spectrum that would be profile as the centroids picked from it (with\n"
    "prefer='centroid': the instrument's centroids where recorded, picked peaks\n"
    "elsewhere); pick_peaks='all' picks from every profile block, ignoring the\n"
    "instrument's centroids. min_intensity and min_snr are pick_peaks()'s.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec kType = {
    "velorium.Acquisition",
    sizeof(AcquisitionObject),
    0,
    kTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_acquisition_type(PyObject* module) { return create_type(module, &kType); }

PyObject* create_acquisition_spectra_type(PyObject* module) { return create_type(module, &kSpectraType); }

const Reader& acquisition_reader(PyObject* self) { return *as_acquisition(self)->reader; }

std::shared_ptr<const Reader> acquisition_reader_ptr(PyObject* self) { return as_acquisition(self)->reader; }

const peaks::DecodeOptions& acquisition_options(PyObject* self) { return as_acquisition(self)->options; }

}  // namespace velorium::python
