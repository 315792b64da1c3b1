// The small operations on Python objects that every method body is made of.
// Each returns an owned reference (or a plain value) and throws PyErrPending
// when the interpreter reports a failure, so a body reads as its steps.
#pragma once

#include "bridge/constants.h"
#include "bridge/ref.h"

#include <array>
#include <cstddef>

namespace corvane {

// Attributes and globals.
Ref attr(PyObject* obj, PyObject* name);
// getattr(obj, name, None) without the None: an empty Ref when the lookup
// fails with AttributeError.
Ref attr_if_present(PyObject* obj, PyObject* name);
void set_attr(PyObject* obj, PyObject* name, PyObject* value);
// A module global by name: the module dictionary first, then builtins;
// NameError "name '...' is not defined" when neither has it.
Ref global(PyObject* name);
// UnboundLocalError for a local the body never assigned.
[[noreturn]] void raise_unbound_local(const char* name);

// A callable found by attribute lookup. When the attribute is a plain method of
// the object's type, `self` is set and the call passes it first, so no bound
// method object is made on the hot path.
struct Callable {
  Ref fn;
  Ref self;
};
Callable method(PyObject* obj, PyObject* name);

namespace detail {
Ref vectorcall(PyObject* fn, PyObject* const* argv, size_t nargsf, PyObject* kwnames);
inline PyObject* as_ptr(PyObject* p) {
  return p;
}
inline PyObject* as_ptr(const Ref& r) {
  return r.get();
}
inline PyObject* as_ptr(const Constant& c) {
  return c.get();
}

template <class... A>
Ref call_with(PyObject* self, PyObject* fn, PyObject* kwnames, const A&... args) {
  // Slot 0 stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET) or holds self.
  PyObject* argv[sizeof...(A) + 2] = {nullptr, self, as_ptr(args)...};
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  size_t total = sizeof...(A) - nkw;
  if (self) return vectorcall(fn, argv + 1, (total + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  argv[1] = nullptr;
  return vectorcall(fn, argv + 2, total | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}
}  // namespace detail

// fn(args...)
template <class... A>
Ref call(PyObject* fn, const A&... args) {
  return detail::call_with(nullptr, fn, nullptr, args...);
}
// fn(pos..., **dict(zip(kwnames, kwvalues))): the last len(kwnames) arguments are keyword values.
template <class... A>
Ref call_kw(PyObject* fn, PyObject* kwnames, const A&... args) {
  return detail::call_with(nullptr, fn, kwnames, args...);
}
template <class... A>
Ref call(const Callable& c, const A&... args) {
  return detail::call_with(c.self.get(), c.fn.get(), nullptr, args...);
}
template <class... A>
Ref call_kw(const Callable& c, PyObject* kwnames, const A&... args) {
  return detail::call_with(c.self.get(), c.fn.get(), kwnames, args...);
}

// Items.
Ref item(PyObject* obj, PyObject* key);
void set_item(PyObject* obj, PyObject* key, PyObject* value);
// obj[slice] through the mapping subscript only, as a slice expression does:
// TypeError "'...' object is unsliceable" when the type has none.
Ref get_slice(PyObject* obj, PyObject* slice);

// len(obj)
Py_ssize_t length(PyObject* obj);

// Truth, comparisons, arithmetic.
bool truth(PyObject* obj);
bool is_instance(PyObject* obj, PyObject* cls);
bool compare(PyObject* a, PyObject* b, int op);
Ref add(PyObject* a, PyObject* b);
Ref subtract(PyObject* a, PyObject* b);
Ref true_divide(PyObject* a, PyObject* b);
Ref remainder(PyObject* a, PyObject* b);

// Conversions: the exact type is taken unchanged, anything else converted.
Ref to_tuple(PyObject* obj);
Ref to_float(PyObject* obj);
Ref to_int(PyObject* obj);
double as_double(PyObject* obj);
Ref new_float(double v);
Ref new_dict();
Ref new_list();
void append(PyObject* list, PyObject* value);

// import name, with fromlist (an empty list for a plain import).
Ref import(PyObject* name, PyObject* fromlist);
// from module import name: AttributeError becomes ImportError "cannot import name ...".
Ref import_from(PyObject* module, PyObject* name);
// True when the pending exception is an ImportError (or subclass); clears it then.
bool clear_if_import_error();
// True when the pending exception is an instance of `type` (or a subclass); clears it then.
bool clear_if_matches(PyObject* type);

// The pending exception, taken out of the indicator so Python code can run.
class SetAside {
 public:
  SetAside();
  // Whether it is an instance of `type` (or a subclass).
  bool matches(PyObject* type) const;
  // Pending again, as it was.
  void restore();
  // Becomes the __context__ of the exception pending now.
  void chain();

 private:
  Ref type_, value_, trace_;
};

// Runs `cleanup` as a `finally` block does while an exception is pending: the
// exception is pending again afterwards, unless cleanup itself fails, in which
// case cleanup's exception propagates with the first one as its context.
template <class Fn>
void while_pending(Fn&& cleanup) {
  SetAside pending;
  try {
    cleanup();
  } catch (const PyErrPending&) {
    pending.chain();
    throw;
  }
  pending.restore();
}

// Iteration: a list or tuple is walked by index, anything else by its iterator.
class Iter {
 public:
  explicit Iter(PyObject* iterable);
  // The next element, or an empty Ref when exhausted.
  Ref next();

 private:
  Ref seq_;
  Ref it_;
  Py_ssize_t index_ = 0;
};

// a, b, c = obj, with the interpreter's messages for too few or too many values.
template <size_t N>
std::array<Ref, N> unpack(PyObject* obj);
[[noreturn]] void raise_need_more_values(Py_ssize_t found);
[[noreturn]] void raise_too_many_values(Py_ssize_t expected);
Ref unpack_next(PyObject* iter, Py_ssize_t index);
void unpack_end(PyObject* iter, Py_ssize_t expected);

template <size_t N>
std::array<Ref, N> unpack(PyObject* obj) {
  std::array<Ref, N> out;
  if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
    Py_ssize_t n = Py_SIZE(obj);
    if (n != static_cast<Py_ssize_t>(N)) {
      if (n > static_cast<Py_ssize_t>(N)) raise_too_many_values(N);
      raise_need_more_values(n);
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    for (size_t i = 0; i < N; ++i) out[i] = Ref::borrow(items[i]);
    return out;
  }
  Ref it = Ref::check(PyObject_GetIter(obj));
  for (size_t i = 0; i < N; ++i) out[i] = unpack_next(it, static_cast<Py_ssize_t>(i));
  unpack_end(it, N);
  return out;
}

}  // namespace corvane
