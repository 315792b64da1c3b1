// Process-wide state of the module: one copy per process, recorded by exec and
// never torn down.
#pragma once

#include "bridge/ref.h"

namespace corvane::state {

inline constexpr const char* kModuleName = "corvane.tessmark.trainer.detection";

extern PyObject* module;       // the one module object, owned; NULL until exec records it
extern PyObject* module_dict;  // borrowed from module: the globals of every method
extern PyObject* builtins;     // the builtins module, owned

// Looked up once at load; later rebinding of these names does not reach the methods.
struct CachedBuiltins {
  PyObject* open;
  PyObject* print;
  PyObject* zip;
  PyObject* ImportError;
  PyObject* Warning;
  PyObject* range;
  PyObject* enumerate;
};
extern CachedBuiltins cached;

}  // namespace corvane::state
