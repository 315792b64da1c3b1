// Model output: the export rewrites of the network and the checkpoints.
#include "trainer/trainer.h"

namespace corvane::trainer {

using namespace names;
using namespace constants;

Ref remove_training_outputs(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.remove_training_outputs");
  throw_pending();
}

Ref to_nchw(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.to_nchw");
  throw_pending();
}

Ref save_model(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.save_model");
  throw_pending();
}

}  // namespace corvane::trainer
