#include "bridge/constants.h"

#include <vector>

namespace corvane {

namespace {
std::vector<Constant*>& registry() {
  static std::vector<Constant*> all;
  return all;
}

PyObject* slice_bound(long v) {
  if (v == Slice::kOpen) Py_RETURN_NONE;
  return PyLong_FromLong(v);
}

PyObject* make_slice(long start, long stop) {
  Ref a = Ref::steal(slice_bound(start));
  Ref b = Ref::steal(slice_bound(stop));
  if (!a || !b) return nullptr;
  return PySlice_New(a.get(), b.get(), nullptr);
}
}  // namespace

Constant::Constant(Kind kind) : kind_(kind) {
  registry().push_back(this);
}

bool Constant::make_all(Kind kind) {
  for (Constant* c : registry()) {
    if (c->kind_ != kind || c->obj_) continue;
    c->obj_ = c->make();
    if (!c->obj_) return false;
  }
  return true;
}

Names::Names(std::initializer_list<const char*> names) : Constant(Kind::Composite) {
  for (const char* n : names) names_[n_++] = n;
}

PyObject* Names::make() const {
  PyObject* t = PyTuple_New(n_);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n_; ++i) {
    PyObject* s = PyUnicode_InternFromString(names_[i]);
    if (!s) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, s);
  }
  return t;
}

IntTuple::IntTuple(std::initializer_list<long> values) : Constant(Kind::Composite) {
  for (long v : values) values_[n_++] = v;
}

PyObject* IntTuple::make() const {
  PyObject* t = PyTuple_New(n_);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n_; ++i) {
    PyObject* v = PyLong_FromLong(values_[i]);
    if (!v) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, v);
  }
  return t;
}

PyObject* Slice::make() const {
  return make_slice(start_, stop_);
}

PyObject* ColumnKey::make() const {
  Ref all = Ref::steal(make_slice(Slice::kOpen, Slice::kOpen));
  Ref cols = Ref::steal(make_slice(start_, stop_));
  if (!all || !cols) return nullptr;
  return PyTuple_Pack(2, all.get(), cols.get());
}

}  // namespace corvane
