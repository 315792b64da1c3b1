// Durable file replacement, shared by every file the trainer rewrites whole.
#pragma once

#include "bridge/ref.h"

namespace corvane {

// os.replace(temp, path), made to survive a power loss as well as a killed
// process: the replaced file's permission bits are carried over to `temp`,
// `temp` is flushed to the disk before the rename, and the folder after it, so
// the new name can never reach the disk before the data it names.
void replace_durably(PyObject* os_module, PyObject* temp, PyObject* path);

}  // namespace corvane
