// What a method body sees: its bound arguments, the source line it is at, and
// the traceback entry its failures get.
#pragma once

#include "bridge/ops.h"
#include "bridge/ref.h"

namespace corvane {

// The source line a running body reports if its current step fails. The body
// sets it before each step: `at(509);`.
class Step {
 public:
  Step(int line, PyObject* trace_name) : line_(line), trace_name_(trace_name) {}
  void operator()(int line) { line_ = line; }
  int line() const { return line_; }
  // The pending exception already carries this method's entry.
  void mark_reported() { reported_ = true; }
  bool reported() const { return reported_; }
  // The function name of this method's traceback entries.
  PyObject* trace_name() const { return trace_name_; }

 private:
  int line_;
  PyObject* trace_name_;
  bool reported_ = false;
};

inline constexpr int kMaxParams = 16;

// Parameter values in declaration order, defaults filled in; borrowed for the call.
struct Args {
  PyObject* v[kMaxParams] = {};
  double number = 0.0;  // the converted value of a number-typed parameter
  PyObject* operator[](int i) const { return v[i]; }
};

using Body = Ref (*)(Step& at, const Args& args);

// Adds one traceback entry (function `name`, file corvane\tessmark\trainer\detection,
// `line`) to the pending exception. Never fails: without memory no entry is added.
void add_traceback(PyObject* name, int line);

extern Str kExit;
extern Str kEnter;

// `with mgr as value: body(value)`. The manager's __exit__ is looked up before
// __enter__, as the interpreter does. An exception from the body gets this
// method's entry at the failing line first, so __exit__ receives a real
// traceback; a true __exit__ result drops it and the call returns false. When
// it goes on, `with_line` is where it continues to be reported: with
// `report_at_with` the boundary adds a second entry there, otherwise the entry
// already made is the only one.
template <class Fn>
bool with_block(Step& at, PyObject* mgr, int with_line, bool report_at_with, Fn&& body) {
  at(with_line);
  Ref exit = attr(mgr, kExit);
  Ref enter = attr(mgr, kEnter);
  Ref value = call(enter);
  try {
    body(value.get());
  } catch (const PyErrPending&) {
    add_traceback(at.trace_name(), at.line());
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Ref type = Ref::steal(t), value_ = Ref::steal(v), trace = Ref::steal(tb);
    at(with_line);
    try {
      Ref suppress = call(exit, type, value_, trace ? trace.get() : Py_None);
      if (truth(suppress)) return false;
    } catch (const PyErrPending&) {
      // As in a `with` statement, a failing __exit__ replaces the exception
      // and keeps it as its context.
      _PyErr_ChainExceptions(type.release(), value_.release(), trace.release());
      throw;
    }
    PyErr_Restore(type.release(), value_.release(), trace.release());
    if (!report_at_with) at.mark_reported();
    throw;
  }
  at(with_line);
  call(exit, Py_None, Py_None, Py_None);
  return true;
}

}  // namespace corvane
