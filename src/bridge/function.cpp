#include "bridge/function.h"

#include <structmember.h>

#include <new>
#include <stdexcept>
#include <string>

#include "bridge/state.h"

namespace corvane {

namespace {

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;            // __name__
  PyObject* qualname;        // __qualname__
  PyObject* trace_name;      // function name of traceback entries
  PyObject* module;          // __module__
  PyObject* doc;             // __doc__
  PyObject* globals;         // __globals__
  PyObject* code;            // __code__
  PyObject* annotations;     // __annotations__
  PyObject* param_names;     // tuple of interned names, for keyword binding
  PyObject* default_values;  // tuple of the trailing parameters' defaults
  PyObject* defaults;        // __defaults__, built on first read
  PyObject* dict;
  PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* o) {
  return reinterpret_cast<FunctionObject*>(o);
}

// --- binding ---------------------------------------------------------------

// How binding ended: which failures get a traceback entry, and at which line.
enum class Bound { Ok, Failed, FailedConversion, FailedUnreported };

void raise_count(const FunctionDef* d, Py_ssize_t given) {
  bool exact = d->nrequired == d->nparams;
  const char* how;
  Py_ssize_t expected;
  if (given < d->nrequired) {
    how = "at least";
    expected = d->nrequired;
  } else {
    how = "at most";
    expected = d->nparams;
  }
  if (exact) how = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               d->name, how, expected, expected == 1 ? "" : "s", given);
}

// Index of `key` among names[first, last), by identity first, then by string equality.
Py_ssize_t find_name(PyObject* names, Py_ssize_t first, Py_ssize_t last, PyObject* key) {
  for (Py_ssize_t i = first; i < last; ++i)
    if (PyTuple_GET_ITEM(names, i) == key) return i;
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = first; i < last; ++i) {
    PyObject* n = PyTuple_GET_ITEM(names, i);
    if (PyUnicode_GET_LENGTH(n) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(n, key) == 0)
      return i;
  }
  return -1;
}

Bound bind(FunctionObject* f, PyObject* const* args, Py_ssize_t n, PyObject* kwnames, Args& out) {
  const FunctionDef* d = f->def;
  const Py_ssize_t np = d->nparams;
  if (n > np) {
    raise_count(d, n);
    return Bound::Failed;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out.v[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* const* kwvalues = args + n;
  Py_ssize_t used = 0;
  bool taken[kMaxParams] = {};
  for (Py_ssize_t i = n; i < np; ++i) {
    PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
    Py_ssize_t k = nkw ? find_name(kwnames, 0, nkw, name) : -1;
    if (k >= 0) {
      out.v[i] = kwvalues[k];
      taken[i] = true;
      ++used;
    } else if (i < d->nrequired) {
      raise_count(d, n);
      return Bound::Failed;
    }
  }
  if (used < nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d->name);
        return Bound::Failed;
      }
      Py_ssize_t i = find_name(f->param_names, 0, np, key);
      if (i >= n && taken[i]) continue;
      if (i >= 0 && i < n)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", d->name,
                     key);
      else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d->name, key);
      return Bound::Failed;
    }
  }
  const Py_ssize_t first_default = np - PyTuple_GET_SIZE(f->default_values);
  for (Py_ssize_t i = n; i < np; ++i)
    if (!taken[i]) out.v[i] = PyTuple_GET_ITEM(f->default_values, i - first_default);

  switch (d->typing) {
    case Typing::None:
      break;
    case Typing::NumberAt1: {
      PyObject* v = out.v[1];
      double x = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
      if (x == -1.0 && PyErr_Occurred()) return Bound::FailedConversion;
      out.number = x;
      break;
    }
    case Typing::DictsAt1And2:
      for (int i = 1; i <= 2; ++i) {
        PyObject* v = out.v[i];
        if (v != Py_None && !PyDict_CheckExact(v)) {
          PyErr_Format(PyExc_TypeError,
                       "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                       d->params[i], "dict", Py_TYPE(v)->tp_name);
          return Bound::FailedUnreported;
        }
      }
      break;
  }
  return Bound::Ok;
}

// --- the call boundary -------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = as_function(self);
  const FunctionDef* d = f->def;
  Args a;
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  switch (bind(f, args, n, kwnames, a)) {
    case Bound::Ok:
      break;
    case Bound::Failed:
      add_traceback(f->trace_name, d->first_line);
      return nullptr;
    case Bound::FailedConversion:
      add_traceback(f->trace_name, d->typing_line);
      return nullptr;
    case Bound::FailedUnreported:
      return nullptr;
  }
  Step at(d->first_line, f->trace_name);
  try {
    return d->body(at, a).release();
  } catch (const PyErrPending&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  if (!at.reported()) add_traceback(f->trace_name, at.line());
  return nullptr;
}

// --- attributes --------------------------------------------------------------

PyObject* get_defaults(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->defaults) {
    if (PyTuple_GET_SIZE(f->default_values) == 0) Py_RETURN_NONE;
    // Kept once built, so every read gives the same tuple of the same objects.
    f->defaults = PyTuple_GetSlice(f->default_values, 0, PY_SSIZE_T_MAX);
    if (!f->defaults) {
      static PyObject* name =
          PyUnicode_InternFromString("corvane.tessmark.trainer.detection.__defaults__");
      if (name)
        add_traceback(name, f->def->defaults_line ? f->def->defaults_line : f->def->first_line);
      return nullptr;
    }
  }
  Py_INCREF(f->defaults);
  return f->defaults;
}

PyObject* get_kwdefaults(PyObject*, void*) {
  Py_RETURN_NONE;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  Py_INCREF(f->annotations);
  return f->annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  FunctionObject* f = as_function(self);
  PyObject* old = f->annotations;
  f->annotations = value == Py_None ? nullptr : value;
  Py_XINCREF(f->annotations);
  Py_XDECREF(old);
  return 0;
}

int set_str(PyObject** slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  PyObject* old = *slot;
  Py_INCREF(value);
  *slot = value;
  Py_XDECREF(old);
  return 0;
}

PyObject* get_name(PyObject* self, void*) {
  Py_INCREF(as_function(self)->name);
  return as_function(self)->name;
}
int set_name(PyObject* self, PyObject* v, void*) {
  return set_str(&as_function(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  Py_INCREF(as_function(self)->qualname);
  return as_function(self)->qualname;
}
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_str(&as_function(self)->qualname, v, "__qualname__");
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// clang-format off
#define CORVANE_FUNCTION_FIELDS(X)                                                     \
  X(name) X(qualname) X(trace_name) X(module) X(doc) X(globals) X(code) X(annotations) \
  X(param_names) X(default_values) X(defaults) X(dict)
// clang-format on

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
#define X(field) Py_VISIT(f->field);
  CORVANE_FUNCTION_FIELDS(X)
#undef X
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
#define X(field) Py_CLEAR(f->field);
  CORVANE_FUNCTION_FIELDS(X)
#undef X
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    // No dot: the type keeps the per-object __module__ member.
    "trainer_method",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref make_code(const FunctionDef* d, PyObject* varnames) {
  Ref empty_bytes = Ref::check(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = Ref::check(PyTuple_New(0));
  Ref file = Ref::check(PyUnicode_FromString("corvane\\tessmark\\trainer\\detection"));
  Ref name = Ref::check(PyUnicode_InternFromString(d->name));
  return Ref::check(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
      d->nparams, 0, 0, d->nparams, 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes, empty_tuple,
      empty_tuple, varnames, empty_tuple, empty_tuple, file, name, d->first_line, empty_bytes)));
}

}  // namespace

bool function_type_ready() {
  if (function_type) return true;
  function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
  return function_type != nullptr;
}

Ref make_function(const FunctionDef* d, PyObject* doc, PyObject* const* defaults, int ndefaults,
                  PyObject* annotations) {
  Ref names = Ref::check(PyTuple_New(d->nparams));
  for (int i = 0; i < d->nparams; ++i)
    PyTuple_SET_ITEM(names.get(), i,
                     Ref::check(PyUnicode_InternFromString(d->params[i])).release());
  Ref values = Ref::check(PyTuple_New(ndefaults));
  for (int i = 0; i < ndefaults; ++i)
    PyTuple_SET_ITEM(values.get(), i, Ref::borrow(defaults[i]).release());
  Ref code = make_code(d, names);
  Ref name = Ref::check(PyUnicode_InternFromString(d->name));
  Ref qualname = Ref::check(PyUnicode_FromFormat("DetectionTrainer.%s", d->name));
  Ref trace_name =
      Ref::check(PyUnicode_FromFormat("%s.DetectionTrainer.%s", state::kModuleName, d->name));
  Ref module = Ref::check(PyUnicode_FromString(state::kModuleName));

  FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
  if (!f) throw_pending();
  f->vectorcall = function_vectorcall;
  f->def = d;
  f->name = name.release();
  f->qualname = qualname.release();
  f->trace_name = trace_name.release();
  f->module = module.release();
  f->doc = Ref::borrow(doc).release();
  f->globals = Ref::borrow(state::module_dict).release();
  f->code = code.release();
  f->annotations = Ref::borrow(annotations).release();
  f->param_names = names.release();
  f->default_values = values.release();
  f->defaults = nullptr;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace corvane
