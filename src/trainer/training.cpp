// Training: the run of a whole training, the single gradient step and its
// input normalisation, and the validation points of a run.
#include "trainer/trainer.h"

namespace corvane::trainer {

using namespace names;
using namespace constants;

namespace {
Str s_cast("cast"), s_float32("float32");
}  // namespace

// return tf.cast(x, tf.float32) / 255.0
Ref preprocess_input(Step& at, const Args& a) {
  at(157);
  Ref cast = attr(global(tf), s_cast);
  Ref float32 = attr(global(tf), s_float32);
  return true_divide(call(cast, a[1], float32), f_255);
}

Ref train_step(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.train_step");
  throw_pending();
}

Ref train(Step&, const Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "DetectionTrainer.train");
  throw_pending();
}

}  // namespace corvane::trainer
