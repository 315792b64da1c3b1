// Traceback entries for failures inside compiled method bodies.
#include "bridge/method.h"
#include "bridge/state.h"

#include <frameobject.h>

#include <algorithm>
#include <vector>

namespace corvane {

Str kExit("__exit__");
Str kEnter("__enter__");

namespace {

constexpr const char* kFileName = "corvane\\tessmark\\trainer\\detection";
constexpr size_t kCacheStep = 64;

struct Location {
  int line;
  PyObject* name;      // the function name, owned
  PyCodeObject* code;  // owned; its first line is `line`, which is what the entry shows
};

// Sorted by line; lines are nearly unique across the module, so a bisection
// finds the entry and a short scan tells functions that share a line apart.
std::vector<Location>& cache() {
  static std::vector<Location> locations = [] {
    std::vector<Location> v;
    v.reserve(kCacheStep);
    return v;
  }();
  return locations;
}

PyCodeObject* code_for(PyObject* name, int line) {
  auto& c = cache();
  auto it = std::lower_bound(c.begin(), c.end(), line,
                             [](const Location& l, int ln) { return l.line < ln; });
  for (auto p = it; p != c.end() && p->line == line; ++p) {
    if (p->name == name) return p->code;
    int eq = PyUnicode_Compare(p->name, name);
    if (eq == 0) return p->code;
    if (eq == -1 && PyErr_Occurred()) return nullptr;
  }
  PyObject* utf8 = PyUnicode_AsUTF8String(name);
  if (!utf8) return nullptr;
  PyCodeObject* code = PyCode_NewEmpty(kFileName, PyBytes_AS_STRING(utf8), line);
  Py_DECREF(utf8);
  if (!code) return nullptr;
  const auto index = it - c.begin();  // growing moves the entries
  if (c.size() == c.capacity()) c.reserve(c.capacity() + kCacheStep);
  Py_INCREF(name);
  c.insert(c.begin() + index, Location{line, name, code});
  return code;
}

}  // namespace

void add_traceback(PyObject* name, int line) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyFrameObject* frame = nullptr;
  if (state::module_dict) {
    PyCodeObject* code = code_for(name, line);
    if (code) frame = PyFrame_New(PyThreadState_Get(), code, state::module_dict, nullptr);
  }
  // A failure to make the entry must not replace the exception being reported.
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
  if (!frame) return;
  frame->f_lineno = line;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace corvane
