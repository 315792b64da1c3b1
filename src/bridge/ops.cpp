#include "bridge/ops.h"

#include "bridge/state.h"

namespace corvane {

Ref attr(PyObject* obj, PyObject* name) {
  return Ref::check(PyObject_GetAttr(obj, name));
}

Ref attr_if_present(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (!value && !clear_if_matches(PyExc_AttributeError)) throw_pending();
  return Ref::steal(value);
}

void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(obj, name, value) < 0) throw_pending();
}

namespace {
// Globals are looked up on every use, so that a rebinding is seen at once. The
// dictionaries' version tags tell when a remembered lookup is still exact, as
// the interpreter's own LOAD_GLOBAL cache does; names are interned constants,
// compared by identity.
struct GlobalCache {
  PyObject* name;
  uint64_t module_version;
  uint64_t builtins_version;
  PyObject* value;  // borrowed: alive while the dictionary holding it is unchanged
};
GlobalCache global_cache[32];

uint64_t version_of(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
}  // namespace

Ref global(PyObject* name) {
  PyObject* builtins_dict = PyModule_GetDict(state::builtins);
  const uint64_t module_version = version_of(state::module_dict);
  const uint64_t builtins_version = version_of(builtins_dict);
  GlobalCache* slot = nullptr;
  for (GlobalCache& entry : global_cache) {
    if (entry.name == name) {
      if (entry.module_version == module_version && entry.builtins_version == builtins_version)
        return Ref::borrow(entry.value);
      slot = &entry;
      break;
    }
    if (!entry.name) {
      slot = &entry;
      break;
    }
  }
  Ref value;
  PyObject* found = PyDict_GetItemWithError(state::module_dict, name);
  if (found) {
    value = Ref::borrow(found);
  } else {
    if (PyErr_Occurred()) throw_pending();
    PyObject* builtin = PyObject_GetAttr(state::builtins, name);
    if (!builtin) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
      }
      throw_pending();
    }
    value = Ref::steal(builtin);
    // Only a value the builtins dictionary itself holds may be remembered.
    if (PyDict_GetItemWithError(builtins_dict, name) != value.get()) {
      PyErr_Clear();
      return value;
    }
  }
  // Looking the name up may have run code that changed either dictionary.
  if (slot && version_of(state::module_dict) == module_version &&
      version_of(builtins_dict) == builtins_version)
    *slot = GlobalCache{name, module_version, builtins_version, value.get()};
  return value;
}

void raise_unbound_local(const char* name) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
  throw_pending();
}

Callable method(PyObject* obj, PyObject* name) {
  PyObject* fn = nullptr;
  int unbound = _PyObject_GetMethod(obj, name, &fn);
  if (!fn) throw_pending();
  Callable c;
  c.fn = Ref::steal(fn);
  if (unbound) c.self = Ref::borrow(obj);
  return c;
}

namespace detail {
Ref vectorcall(PyObject* fn, PyObject* const* argv, size_t nargsf, PyObject* kwnames) {
  return Ref::check(PyObject_Vectorcall(fn, argv, nargsf, kwnames));
}
}  // namespace detail

Ref item(PyObject* obj, PyObject* key) {
  return Ref::check(PyObject_GetItem(obj, key));
}

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(obj, key, value) < 0) throw_pending();
}

Ref get_slice(PyObject* obj, PyObject* slice) {
  PyMappingMethods* mp = Py_TYPE(obj)->tp_as_mapping;
  if (!mp || !mp->mp_subscript) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
    throw_pending();
  }
  return Ref::check(mp->mp_subscript(obj, slice));
}

Py_ssize_t length(PyObject* obj) {
  Py_ssize_t n = PyObject_Length(obj);
  if (n < 0) throw_pending();
  return n;
}

bool truth(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False || obj == Py_None) return false;
  int r = PyObject_IsTrue(obj);
  if (r < 0) throw_pending();
  return r != 0;
}

bool is_instance(PyObject* obj, PyObject* cls) {
  int r = PyObject_IsInstance(obj, cls);
  if (r < 0) throw_pending();
  return r != 0;
}

bool compare(PyObject* a, PyObject* b, int op) {
  Ref r = Ref::check(PyObject_RichCompare(a, b, op));
  return truth(r);
}

Ref add(PyObject* a, PyObject* b) {
  return Ref::check(PyNumber_Add(a, b));
}
Ref subtract(PyObject* a, PyObject* b) {
  return Ref::check(PyNumber_Subtract(a, b));
}
Ref true_divide(PyObject* a, PyObject* b) {
  return Ref::check(PyNumber_TrueDivide(a, b));
}
Ref remainder(PyObject* a, PyObject* b) {
  return Ref::check(PyNumber_Remainder(a, b));
}

Ref to_tuple(PyObject* obj) {
  if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::check(PySequence_Tuple(obj));
}

Ref to_float(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::check(PyNumber_Float(obj));
}

Ref to_int(PyObject* obj) {
  if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::check(PyNumber_Long(obj));
}

double as_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_pending();
  return v;
}

Ref new_float(double v) {
  return Ref::check(PyFloat_FromDouble(v));
}
Ref new_dict() {
  return Ref::check(PyDict_New());
}
Ref new_list() {
  return Ref::check(PyList_New(0));
}

void append(PyObject* list, PyObject* value) {
  if (PyList_Append(list, value) < 0) throw_pending();
}

Ref import(PyObject* name, PyObject* fromlist) {
  Ref locals = new_dict();
  return Ref::check(
      PyImport_ImportModuleLevelObject(name, state::module_dict, locals, fromlist, 0));
}

Ref import_from(PyObject* module, PyObject* name) {
  PyObject* value = PyObject_GetAttr(module, name);
  if (value) return Ref::steal(value);
  if (PyErr_ExceptionMatches(PyExc_AttributeError))
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  throw_pending();
}

bool clear_if_import_error() {
  if (!PyErr_ExceptionMatches(state::cached.ImportError)) return false;
  PyErr_Clear();
  return true;
}

bool clear_if_matches(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) return false;
  PyErr_Clear();
  return true;
}

SetAside::SetAside() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  type_ = Ref::steal(t);
  value_ = Ref::steal(v);
  trace_ = Ref::steal(tb);
}

bool SetAside::matches(PyObject* type) const {
  return PyErr_GivenExceptionMatches(type_, type);
}

void SetAside::restore() {
  PyErr_Restore(type_.release(), value_.release(), trace_.release());
}

void SetAside::chain() {
  _PyErr_ChainExceptions(type_.release(), value_.release(), trace_.release());
}

Iter::Iter(PyObject* iterable) {
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
    seq_ = Ref::borrow(iterable);
  else
    it_ = Ref::check(PyObject_GetIter(iterable));
}

Ref Iter::next() {
  if (seq_) {
    // Size is read each time: a list may change while it is walked.
    if (index_ >= Py_SIZE(seq_.get())) return {};
    PyObject* x = PyList_CheckExact(seq_.get()) ? PyList_GET_ITEM(seq_.get(), index_)
                                                : PyTuple_GET_ITEM(seq_.get(), index_);
    ++index_;
    return Ref::borrow(x);
  }
  PyObject* x = Py_TYPE(it_.get())->tp_iternext(it_);
  if (x) return Ref::steal(x);
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw_pending();
    PyErr_Clear();
  }
  return {};
}

void raise_need_more_values(Py_ssize_t found) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
               found == 1 ? "" : "s");
  throw_pending();
}

void raise_too_many_values(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  throw_pending();
}

Ref unpack_next(PyObject* iter, Py_ssize_t index) {
  PyObject* x = Py_TYPE(iter)->tp_iternext(iter);
  if (x) return Ref::steal(x);
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw_pending();
    PyErr_Clear();
  }
  raise_need_more_values(index);
}

void unpack_end(PyObject* iter, Py_ssize_t expected) {
  PyObject* extra = Py_TYPE(iter)->tp_iternext(iter);
  if (extra) {
    Py_DECREF(extra);
    raise_too_many_values(expected);
  }
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw_pending();
    PyErr_Clear();
  }
}

}  // namespace corvane
