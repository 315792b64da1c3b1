// Interned names and constant objects, declared where they are used and made
// once while the module executes.
#pragma once

#include "bridge/ref.h"

#include <initializer_list>

namespace corvane {

// Base of every load-time constant: registered at static initialisation,
// created by make_all() in the exec step that owns its kind.
class Constant {
 public:
  enum class Kind { Interned, Number, Composite };
  explicit Constant(Kind kind);
  virtual ~Constant() = default;
  PyObject* get() const { return obj_; }
  operator PyObject*() const { return obj_; }

  // Creates every constant of one kind, in registration order; false with an
  // exception set on failure.
  static bool make_all(Kind kind);

 protected:
  virtual PyObject* make() const = 0;  // a new reference or NULL

 private:
  Kind kind_;
  PyObject* obj_ = nullptr;  // owned for the life of the process
};

// An interned str: identifiers, keys and message texts.
class Str final : public Constant {
 public:
  explicit Str(const char* text) : Constant(Kind::Interned), text_(text) {}
  const char* text() const { return text_; }

 private:
  PyObject* make() const override { return PyUnicode_InternFromString(text_); }
  const char* text_;
};

class Int final : public Constant {
 public:
  explicit Int(long v) : Constant(Kind::Number), v_(v) {}

 private:
  PyObject* make() const override { return PyLong_FromLong(v_); }
  long v_;
};

class Float final : public Constant {
 public:
  explicit Float(double v) : Constant(Kind::Number), v_(v) {}

 private:
  PyObject* make() const override { return PyFloat_FromDouble(v_); }
  double v_;
};

// A tuple of interned names: the keyword names of a vectorcall.
class Names final : public Constant {
 public:
  Names(std::initializer_list<const char*> names);

 private:
  PyObject* make() const override;
  const char* names_[8] = {};
  Py_ssize_t n_ = 0;
};

// A tuple of small integers, e.g. a transpose permutation.
class IntTuple final : public Constant {
 public:
  IntTuple(std::initializer_list<long> values);

 private:
  PyObject* make() const override;
  long values_[8] = {};
  Py_ssize_t n_ = 0;
};

// slice(start, stop) with None for an open end.
class Slice final : public Constant {
 public:
  static constexpr long kOpen = -0x7fffffffL;
  Slice(long start, long stop) : Constant(Kind::Composite), start_(start), stop_(stop) {}

 private:
  PyObject* make() const override;
  long start_, stop_;
};

// (slice(None), slice(start, stop)): the key of a column selection a[:, start:stop].
class ColumnKey final : public Constant {
 public:
  ColumnKey(long start, long stop) : Constant(Kind::Composite), start_(start), stop_(stop) {}

 private:
  PyObject* make() const override;
  long start_, stop_;
};

}  // namespace corvane
