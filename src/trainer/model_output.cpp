// Model output: the export rewrites of the network and the checkpoints.
#include "trainer/trainer.h"

namespace corvane::trainer {

using namespace names;
using namespace constants;

namespace {
Str s_input("input"), s_outputs("outputs"), s_shape("shape"), s_Input("Input"),
    s_transpose("transpose"), s_to_nchw("to_nchw"),
    s_remove_training_outputs("remove_training_outputs"), s_save("save"), s_dirname("dirname"),
    s_basename("basename"), s_getpid("getpid"), s_replace("replace"), s_remove("remove"),
    s_temp_name(".{}.{}-{}.tmp.h5"),
    s_improved("\t - [INFO] Saving model with improved {} from {} to {}"),
    s_no_improvement("\t - [INFO] No improvement in {} from {} to {} ");
Names kw_shape{"shape"};
IntTuple to_channels_last{0, 2, 3, 1}, to_channels_first{0, 3, 1, 2};
Slice from_two(2, Slice::kOpen);

const char kMlflowMissing[] = "MLFlow is not installed. Please install it to log artifacts";

// Numbers the temporary files of this process, so two trainers saving into
// the same folder never share one.
unsigned long temp_serial = 0;
}  // namespace

// if model is not None:
//     return tf.keras.models.Model(model.input, model.outputs[2:])
// return tf.keras.models.Model(self.model.input, self.model.outputs[2:])
Ref remove_training_outputs(Step& at, const Args& a) {
  PyObject* me = a[0];
  PyObject* given = a[1];
  // An identity test: a model whose truth value is false is still used.
  const bool own = given == Py_None;
  const int line = own ? 219 : 214;

  at(line);
  Ref model_class = attr(attr(attr(global(tf), keras), models), Model);
  auto source = [&] { return own ? attr(me, model) : Ref::borrow(given); };
  at(line + 1);
  Ref input = attr(source(), s_input);
  at(line + 2);
  Ref outputs = get_slice(attr(source(), s_outputs), from_two);
  at(line);
  return call(model_class, input, outputs);
}

// _, H, W, C = model.input.shape
// x = tf.transpose(tf.keras.Input(shape=(C, H, W)), (0, 2, 3, 1))
// return tf.keras.models.Model(new_input, tf.transpose(model(x), (0, 3, 1, 2)))
Ref to_nchw(Step& at, const Args& a) {
  PyObject* model_ = a[1];

  at(227);
  auto [batch, H, W, C] = unpack<4>(attr(attr(model_, s_input), s_shape));
  at(228);
  Ref input_fn = attr(attr(global(tf), keras), s_Input);
  Ref shape = Ref::check(PyTuple_Pack(3, C.get(), H.get(), W.get()));
  Ref new_input = call_kw(input_fn, kw_shape, shape);
  at(229);
  Ref x = call(attr(global(tf), s_transpose), new_input, to_channels_last);
  at(230);
  Ref y = call(model_, x);
  at(231);
  y = call(attr(global(tf), s_transpose), y, to_channels_first);
  at(232);
  return call(attr(attr(attr(global(tf), keras), models), Model), new_input, y);
}

namespace {

// model.save(path), crash-safe: the network is written to a temporary file in
// the same folder, then moved over `path` in one atomic step, so an
// interrupted save never destroys the previous checkpoint. The temporary name
// ends in ".h5" so that Keras still writes HDF5; it is removed if the save fails.
void save_atomically(PyObject* model, PyObject* path) {
  Ref os_module = global(os);
  Ref os_path = attr(os_module, names::path);
  Ref folder = call(attr(os_path, s_dirname), path);
  Ref base = call(attr(os_path, s_basename), path);
  Ref pid = call(attr(os_module, s_getpid));
  Ref serial = Ref::check(PyLong_FromUnsignedLong(++temp_serial));
  Ref temp =
      call(attr(os_path, join), folder, call(method(s_temp_name, format), base, pid, serial));
  try {
    call(attr(model, s_save), temp);
    call(attr(os_module, s_replace), temp, path);
  } catch (const PyErrPending&) {
    SetAside failure;
    try {
      call(attr(os_module, s_remove), temp);
    } catch (const PyErrPending&) {
      // A save that failed before creating the file leaves nothing to remove.
      if (!clear_if_matches(PyExc_OSError)) {
        failure.chain();
        throw;
      }
    }
    failure.restore();
    throw;
  }
}

// print(template.format(self.metric, self.best_value, val))
void print_comparison(PyObject* me, PyObject* text, double val) {
  Callable fmt = method(text, format);
  Ref metric_name = attr(me, metric);
  Ref best_so_far = attr(me, best_value);
  call(state::cached.print, call(fmt, metric_name, best_so_far, new_float(val)));
}

}  // namespace

// Source lines, as reported when the step fails:
//   249      if self.NCHW:
//   250          new_model = self.to_nchw(self.model)
//   252      else: new_model = None
//   253      new_model = self.remove_training_outputs(new_model)
//   254      new_model.save(self.last)            (temporary file, then atomic replace)
//   256-258  try: import mlflow; if mlflow.active_run(): mlflow.log_artifact(self.last)
//   260      except ImportError: warnings.warn("MLFlow is not installed. ...", Warning)
//   262      if val >= self.best_value:
//   263          print("...improved {} from {} to {}".format(self.metric, self.best_value, val))
//   264          new_model.save(self.best)        (temporary file, then atomic replace)
//   265          self.best_value = val
//   267-269      try: import mlflow; if mlflow.active_run(): mlflow.log_artifact(self.best)
//                except ImportError: pass
//   272      elif val > -1.0:
//   273          print("...No improvement in {} from {} to {} ".format(...))
Ref save_model(Step& at, const Args& a) {
  PyObject* me = a[0];
  const double val = a.number;

  at(249);
  Ref new_model;
  if (truth(attr(me, NCHW))) {
    at(250);
    Callable convert = method(me, s_to_nchw);
    new_model = call(convert, attr(me, model));
  } else {
    at(252);
    new_model = Ref::borrow(Py_None);
  }
  at(253);
  Callable strip = method(me, s_remove_training_outputs);
  new_model = call(strip, new_model);
  at(254);
  save_atomically(new_model, attr(me, last));

  try {
    at(256);
    Ref mlflow_module = import(mlflow, empty_fromlist());
    at(257);
    if (truth(call(attr(mlflow_module, active_run)))) {
      at(258);
      Ref log_fn = attr(mlflow_module, log_artifact);
      call(log_fn, attr(me, last));
    }
  } catch (const PyErrPending&) {
    if (!clear_if_import_error()) throw;
    at(260);
    if (PyErr_WarnEx(state::cached.Warning, kMlflowMissing, 1) < 0) throw_pending();
  }

  at(262);
  if (compare(new_float(val), attr(me, best_value), Py_GE)) {
    at(263);
    print_comparison(me, s_improved, val);
    at(264);
    save_atomically(new_model, attr(me, best));
    at(265);
    set_attr(me, best_value, new_float(val));
    try {
      at(267);
      Ref mlflow_module = import(mlflow, empty_fromlist());
      at(268);
      if (truth(call(attr(mlflow_module, active_run)))) {
        at(269);
        Ref log_fn = attr(mlflow_module, log_artifact);
        call(log_fn, attr(me, best));
      }
    } catch (const PyErrPending&) {
      if (!clear_if_import_error()) throw;
    }
  } else if (val > -1.0) {
    at(273);
    print_comparison(me, s_no_improvement, val);
  }
  return Ref::borrow(Py_None);
}

}  // namespace corvane::trainer
