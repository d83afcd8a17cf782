// Creating the module's classes from type specs, once per process.
#pragma once

#include <string>

#include "host/errors.hpp"

namespace ratevane::host {

struct TypeDef {
  const char* class_name;  // also the name after "builtins."
  const char* signature;   // text signature for the class doc, or null for no doc
  int basic_size;
  PyMethodDef* methods;      // may be null
  newfunc tp_new;            // may be null (not callable from the host)
  destructor dealloc;
  ternaryfunc call;          // may be null
};

// A process-wide cell holding one class's type object, created on first
// need under the interpreter lock and never released.
class TypeCell {
 public:
  explicit constexpr TypeCell(const TypeDef& def) : def_(def) {}
  Result<PyTypeObject*> get();
  // Only after a successful get().
  PyTypeObject* ready() const { return type_; }

 private:
  const TypeDef& def_;
  PyTypeObject* type_ = nullptr;
};

// Whether the host copies a type spec's name (3.11 and later), read once
// from the host's version text. Abnormal failure for a malformed text.
bool host_copies_type_names();

// Gives back an instance's memory through its type's free slot (and, where
// the host counts instances as references to heap types, that reference).
void free_instance(PyObject* self);

}  // namespace ratevane::host
