// iter_spectra(path) and class SpectrumIter: spectra decoded one at a time
// on a thread of their own, handed over through a channel of capacity 1.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <variant>

#include "channel.hpp"
#include "records.hpp"
#include "module.hpp"
#include "velorium/reader.hpp"

namespace velorium::python {
namespace {

// What crosses from the decoding thread to the iterator: the next spectrum,
// the text of a failure (nothing follows), or the end (nothing follows).
struct StreamEnd {};
struct StreamError {
  std::string text;
};
using StreamMsg = std::variant<std::unique_ptr<lumora::SpectrumRecord>, StreamError, StreamEnd>;

constexpr std::size_t kThreadStackSize = 2 * 1024 * 1024;

// The decoding thread. It owns the path and the sending end, opens its own
// reader and never touches Python objects. Locals are released in reverse
// order: the spectrum source, the reader, then the path and, last, the
// sending end, so the acquisition's files are closed before the channel is.
void decode(Sender<StreamMsg> sender, std::string path) {
  auto reader = Reader::open(path);
  if (!reader) {
    (void)sender.send(StreamError{reader.error().display()});
    return;
  }
  auto source = reader->iter_spectra();
  while (auto item = source->next()) {
    if (!*item) {
      (void)sender.send(StreamError{item->error().display()});
      return;
    }
    auto message = std::make_unique<lumora::SpectrumRecord>(std::move(**item));
    if (!sender.send(StreamMsg(std::move(message)))) return;  // the iterator is gone
  }
  source.reset();
  (void)sender.send(StreamEnd{});
}

struct ThreadStart {
  Sender<StreamMsg> sender;
  std::string path;
};

void* thread_main(void* arg) {
  // A failure nobody can see (out of memory) ends the thread without its
  // final message; the iterator then reports the closed channel.
  try {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    decode(std::move(start->sender), std::move(start->path));
  } catch (...) {
  }
  return nullptr;
}

// Starts the detached decoding thread; throws std::system_error with a
// message beginning "failed to spawn thread" when the system refuses.
void spawn(Sender<StreamMsg> sender, std::string path) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(sender), std::move(path)});
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, kThreadStackSize);
  if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, thread_main, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "failed to spawn thread");
  start.release();  // the thread owns it now
}

struct SpectrumIterObject {
  PyObject_HEAD
  std::mutex receiver_mutex;
  std::optional<Receiver<StreamMsg>> receiver;
  std::atomic<bool> busy;
  std::atomic<bool> finished;
};

SpectrumIterObject* as_iter(PyObject* self) { return reinterpret_cast<SpectrumIterObject*>(self); }

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = as_iter(self);
  // Dropping the receiving end discards an undelivered message and makes
  // the thread's next send fail; the thread is not waited for.
  object->receiver.~optional();
  object->receiver_mutex.~mutex();
  object->busy.~atomic();
  object->finished.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

// Clears the in-use flag when a call of __next__ ends.
struct Borrow {
  std::atomic<bool>& flag;
  ~Borrow() { flag.store(false, std::memory_order_release); }
};

PyObject* next(PyObject* self) {
  auto* object = as_iter(self);
  if (object->busy.exchange(true, std::memory_order_acquire)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  const Borrow borrow{object->busy};
  if (object->finished.load(std::memory_order_relaxed)) return nullptr;

  return guarded([&]() -> PyObject* {
    std::optional<StreamMsg> message;
    {
      WithoutGil unlocked;
      const std::lock_guard lock(object->receiver_mutex);
      message = object->receiver->recv();
    }
    if (!message) {
      object->finished.store(true, std::memory_order_relaxed);
      return raise_runtime_error("receiving on a closed channel");
    }
    if (auto* spectrum = std::get_if<std::unique_ptr<lumora::SpectrumRecord>>(&*message)) {
      return new_spectrum(state_of_type(Py_TYPE(self)), std::move(**spectrum));
    }
    object->finished.store(true, std::memory_order_relaxed);
    if (auto* error = std::get_if<StreamError>(&*message)) return raise_runtime_error(error->text);
    return nullptr;  // the end: StopIteration
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {0, nullptr},
};

PyType_Spec kType = {
    "velorium.SpectrumIter",
    sizeof(SpectrumIterObject),
    0,
    kUncallableTypeFlags,
    kSlots,
};

}  // namespace

PyObject* create_spectrum_iter_type(PyObject* module) { return create_type(module, &kType); }

PyObject* iter_spectra(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argument = single_argument("iter_spectra", "path", args, nargs, kwnames);
  if (argument == nullptr) return nullptr;
  auto path = path_argument("iter_spectra", "path", argument, PathTypes::Str);
  if (!path) return nullptr;
  return guarded([&]() -> PyObject* {
    auto [sender, receiver] = bounded_channel<StreamMsg>();
    spawn(std::move(sender), std::move(path->native));
    // Without an iterator the receiving end is dropped here, and the running
    // thread stops at its first send.
    PyTypeObject* type = state_of_module(module)->spectrum_iter_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = as_iter(self);
    new (&object->receiver_mutex) std::mutex();
    new (&object->receiver) std::optional<Receiver<StreamMsg>>(std::move(receiver));
    new (&object->busy) std::atomic<bool>(false);
    new (&object->finished) std::atomic<bool>(false);
    return self;
  });
}

}  // namespace velorium::python
