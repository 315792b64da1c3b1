// Evaluation and reporting: one validation pass through the evaluator, and
// the publication of metrics and losses.
#include "trainer/trainer.h"

namespace corvane::trainer {

using namespace names;
using namespace constants;

Ref run_validation_step(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.run_validation_step");
  throw_pending();
}

Ref update_metrics(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.update_metrics");
  throw_pending();
}

}  // namespace corvane::trainer
