// Read-only NumPy arrays over memory that C++ owns, without a copy and
// without NumPy's C API: a small buffer object keeps the owner alive and
// numpy.frombuffer wraps it. NumPy is imported on first use only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "pyutil.hpp"

namespace velorium::python {

struct ModuleState;

enum class ElementType { F64, F32, U64, U32, I64, I32, I8, U8, Bool };

// Creates the module's private buffer type (not in __all__).
PyObject* create_buffer_type(PyObject* module);

// A read-only array of `count` elements of `type` at `data`, which `owner`
// keeps alive for as long as the array (or any view of it) lives. Shape
// (count,), or (rows, count / rows) when `rows` is given. A new reference,
// or null with an exception set: ImportError saying that NumPy is needed
// when it cannot be imported.
PyObject* numpy_view(ModuleState* state, std::shared_ptr<const void> owner, const void* data, std::size_t count,
                     ElementType type, std::optional<std::size_t> rows = std::nullopt);

// The same over memory the array owns: `values` is moved into the owner.
template <class Vector>
PyObject* numpy_owned(ModuleState* state, Vector&& values, ElementType type,
                      std::optional<std::size_t> rows = std::nullopt) {
  using V = std::remove_cvref_t<Vector>;
  auto owner = std::make_shared<const V>(std::forward<Vector>(values));
  const void* data = owner->data();
  const std::size_t count = owner->size();
  return numpy_view(state, std::move(owner), data, count, type, rows);
}

}  // namespace velorium::python
