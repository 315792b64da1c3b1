#include "bridge/files.h"

#include "bridge/ops.h"

#include <cerrno>

namespace corvane {

namespace {
Str s_open("open"), s_close("close"), s_fsync("fsync"), s_stat("stat"), s_chmod("chmod"),
    s_st_mode("st_mode"), s_replace("replace"), s_O_RDONLY("O_RDONLY"), s_path("path"),
    s_dirname("dirname"), s_curdir("curdir"), s_errno("errno");

// os.fsync of what `name` opens to; closed again however the flush ends.
void fsync_path(PyObject* os_module, PyObject* name) {
  Ref fd = call(attr(os_module, s_open), name, attr(os_module, s_O_RDONLY));
  try {
    call(attr(os_module, s_fsync), fd);
  } catch (const PyErrPending&) {
    while_pending([&] { call(attr(os_module, s_close), fd); });
    throw;
  }
  call(attr(os_module, s_close), fd);
}

// Whether the pending exception is an OSError saying the file system cannot
// flush a folder (EINVAL); clears it then.
bool clear_if_unsupported() {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(trace);
  Ref number = Ref::steal(PyObject_GetAttr(v, s_errno));
  const bool unsupported = number && PyLong_Check(number) && PyLong_AsLong(number) == EINVAL;
  PyErr_Clear();
  if (unsupported) return true;
  PyErr_Restore(t.release(), v.release(), tb.release());
  return false;
}
}  // namespace

void replace_durably(PyObject* os_module, PyObject* temp, PyObject* path) {
  // A checkpoint the user restricted stays restricted. A first write keeps
  // whatever the process's umask gave the new file.
  try {
    Ref mode = attr(call(attr(os_module, s_stat), path), s_st_mode);
    Ref bits = Ref::check(PyNumber_And(mode, Ref::check(PyLong_FromLong(07777))));
    call(attr(os_module, s_chmod), temp, bits);
  } catch (const PyErrPending&) {
    if (!clear_if_matches(PyExc_FileNotFoundError)) throw;
  }
  fsync_path(os_module, temp);
  call(attr(os_module, s_replace), temp, path);
#ifndef _WIN32
  // Windows cannot open a folder; there the rename is as durable as NTFS makes it.
  Ref folder = call(attr(attr(os_module, s_path), s_dirname), path);
  if (!truth(folder)) folder = attr(os_module, s_curdir);
  try {
    fsync_path(os_module, folder);
  } catch (const PyErrPending&) {
    if (!clear_if_unsupported()) throw;
  }
#endif
}

}  // namespace corvane
