#include "arrays.hpp"

#include <new>
#include <utility>

#include "module.hpp"

namespace velorium::python {
namespace {

// Exports `size` read-only bytes at `data`; `owner` keeps them alive.
struct BufferObject {
  PyObject_HEAD
  std::shared_ptr<const void> owner;
  const void* data;
  Py_ssize_t size;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* object = reinterpret_cast<BufferObject*>(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "the decoded data are read-only");
    view->obj = nullptr;
    return -1;
  }
  return PyBuffer_FillInfo(view, self, const_cast<void*>(object->data), object->size, 1, flags);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<BufferObject*>(self)->owner.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec kType = {
    "velorium._DecodedBuffer",
    sizeof(BufferObject),
    0,
    kUncallableTypeFlags,
    kSlots,
};

struct TypeInfo {
  const char* dtype;
  std::size_t size;
};

TypeInfo info(ElementType type) {
  switch (type) {
    case ElementType::F64:
      return {"<f8", 8};
    case ElementType::F32:
      return {"<f4", 4};
    case ElementType::U64:
      return {"<u8", 8};
    case ElementType::U32:
      return {"<u4", 4};
    case ElementType::I64:
      return {"<i8", 8};
    case ElementType::I32:
      return {"<i4", 4};
    case ElementType::I8:
      return {"|i1", 1};
    case ElementType::U8:
      return {"|u1", 1};
    case ElementType::Bool:
      return {"|b1", 1};
  }
  return {"|u1", 1};
}

constexpr const char* kNumpyNeeded =
    "NumPy is needed for velorium's arrays and tables; install it with 'pip install numpy'";

// Replaces the pending exception with ImportError(kNumpyNeeded), caused by it.
void raise_numpy_needed() {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_ImportError, kNumpyNeeded);
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);  // steals cause
  PyErr_SetRaisedException(error);
#else
  PyObject *type, *cause, *traceback;
  PyErr_Fetch(&type, &cause, &traceback);
  PyErr_NormalizeException(&type, &cause, &traceback);
  if (traceback != nullptr && cause != nullptr) PyException_SetTraceback(cause, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_SetString(PyExc_ImportError, kNumpyNeeded);
  PyObject *error_type, *error, *error_traceback;
  PyErr_Fetch(&error_type, &error, &error_traceback);
  PyErr_NormalizeException(&error_type, &error, &error_traceback);
  if (cause != nullptr) PyException_SetCause(error, cause);  // steals cause
  PyErr_Restore(error_type, error, error_traceback);
#endif
}

// numpy.frombuffer, or null with ImportError saying that NumPy is needed.
PyObject* frombuffer() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) {
    raise_numpy_needed();
    return nullptr;
  }
  return PyObject_GetAttrString(numpy.get(), "frombuffer");
}

}  // namespace

PyObject* create_buffer_type(PyObject* module) { return create_type(module, &kType); }

PyObject* numpy_view(ModuleState* state, std::shared_ptr<const void> owner, const void* data, std::size_t count,
                     ElementType type, std::optional<std::size_t> rows) {
  Ref from(frombuffer());
  if (!from) return nullptr;
  const TypeInfo element = info(type);
  static const double kEmpty = 0.0;  // frombuffer needs an address even for no elements
  if (count == 0 || data == nullptr) data = &kEmpty;
  Ref buffer(PyType_GenericAlloc(state->buffer_type, 0));
  if (!buffer) return nullptr;
  auto* object = reinterpret_cast<BufferObject*>(buffer.get());
  new (&object->owner) std::shared_ptr<const void>(std::move(owner));
  object->data = data;
  object->size = static_cast<Py_ssize_t>(count * element.size);
  Ref count_object(PyLong_FromSize_t(count));
  Ref dtype(PyUnicode_FromString(element.dtype));
  if (!count_object || !dtype) return nullptr;
  PyObject* args[] = {buffer.get(), dtype.get(), count_object.get()};
  Ref array(PyObject_Vectorcall(from.get(), args, 3, nullptr));
  if (!array || !rows) return array.release();
  const std::size_t columns = *rows == 0 ? 0 : count / *rows;
  return PyObject_CallMethod(array.get(), "reshape", "nn", static_cast<Py_ssize_t>(*rows),
                             static_cast<Py_ssize_t>(columns));
}

}  // namespace velorium::python
