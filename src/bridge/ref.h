// Owned references and the one C++ exception that means "a Python error is pending".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane {

// Thrown by every bridge operation whose C-API call failed; the Python error
// indicator is already set. Only method boundaries catch it.
struct PyErrPending {};

[[noreturn]] inline void throw_pending() {
  throw PyErrPending{};
}

// A strong reference. Move-only, so every new reference is spelled out at the
// point it is taken; a raw PyObject* anywhere else is borrowed.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes the result of a C-API call that returns a new reference or NULL.
  static Ref check(PyObject* p) {
    if (!p) throw_pending();
    return Ref(p);
  }

  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    // Install the new pointer first: the old object's destructor may run Python code.
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  Ref copy() const { return borrow(p_); }
  explicit operator bool() const { return p_ != nullptr; }
  operator PyObject*() const { return p_; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace corvane
