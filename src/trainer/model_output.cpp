// Model output: the export rewrites of the network and the checkpoints.
#include "trainer/trainer.h"

#include "bridge/files.h"

#include <signal.h>

#include <cerrno>
#include <string_view>

namespace corvane::trainer {

using namespace names;
using namespace constants;

namespace {
Str s_input("input"), s_outputs("outputs"), s_shape("shape"), s_Input("Input"),
    s_transpose("transpose"), s_to_nchw("to_nchw"),
    s_remove_training_outputs("remove_training_outputs"), s_save("save"), s_dirname("dirname"),
    s_basename("basename"), s_getpid("getpid"), s_remove("remove"), s_listdir("listdir"),
    s_curdir("curdir"), s_temp_name(".{}.{}-{}.tmp.h5"), s_rank("rank"),
    s_no_outputs_left(
        "The network has {} output{}: the first two are training "
        "outputs, which checkpoints leave out, so none remain to "
        "save. Put the outputs to export after the two training "
        "outputs."),
    s_plural("s"), s_empty(""),
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

namespace {
// Whether an output has four dimensions, (N, H, W, C). Anything without a
// known rank is passed through unchanged, as a vector or a scalar output is.
bool is_image_shaped(PyObject* output) {
  Ref shape = attr_if_present(output, s_shape);
  Ref rank = shape ? attr_if_present(shape, s_rank) : Ref();
  return rank && PyLong_Check(rank) && compare(rank, four, Py_EQ);
}
}  // namespace

// _, H, W, C = model.input.shape
// x = tf.transpose(tf.keras.Input(shape=(C, H, W)), (0, 2, 3, 1))
// y = model(x)
// if isinstance(y, (list, tuple)):   # several outputs: each image-shaped one
//     y = [tf.transpose(o, (0, 3, 1, 2)) if o.shape.rank == 4 else o for o in y]
// else:
//     y = tf.transpose(y, (0, 3, 1, 2))
// return tf.keras.models.Model(new_input, y)
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
  if (PyList_Check(y) || PyTuple_Check(y)) {
    Ref each_output = new_list();
    Iter outputs(y);
    while (Ref output = outputs.next()) {
      if (is_image_shaped(output))
        append(each_output, call(attr(global(tf), s_transpose), output, to_channels_first));
      else
        append(each_output, output);
    }
    y = std::move(each_output);
  } else {
    y = call(attr(global(tf), s_transpose), y, to_channels_first);
  }
  at(232);
  return call(attr(attr(attr(global(tf), keras), models), Model), new_input, y);
}

namespace {

// The id of the process that made `name` by save_atomically
// (".<checkpoint>.<pid>-<serial>.tmp.h5"), or 0 when the name is not such a file.
long temp_owner(std::string_view name) {
  constexpr std::string_view suffix = ".tmp.h5";
  if (name.size() <= suffix.size() || name.front() != '.' ||
      name.substr(name.size() - suffix.size()) != suffix)
    return 0;
  name.remove_suffix(suffix.size());
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot < 2) return 0;
  const std::string_view id = name.substr(dot + 1);
  const size_t dash = id.find('-');
  // Nine digits at most: every pid fits, and the number cannot overflow.
  if (dash == std::string_view::npos || dash == 0 || dash > 9 || dash + 1 == id.size()) return 0;
  long pid = 0;
  for (size_t i = 0; i < id.size(); ++i) {
    if (i == dash) continue;
    if (id[i] < '0' || id[i] > '9') return 0;
    if (i < dash) pid = pid * 10 + (id[i] - '0');
  }
  return pid;
}

// Whether no process with this id runs. Where that cannot be asked (Windows)
// every process counts as running, so nothing is taken for a leftover.
bool process_gone(long pid) {
#ifdef _WIN32
  (void)pid;
  return false;
#else
  return kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
#endif
}

// A process killed while saving leaves its temporary file behind, and nothing
// else would ever remove it. After a successful save, the ones in the folder
// whose process no longer runs are removed; a running process's are kept, as it
// may be in the middle of its own save. Best effort: a file-system error here
// must not fail a save whose checkpoint is already in place.
void remove_leftovers(PyObject* os_module, PyObject* folder, PyObject* own_pid) {
  const long own = PyLong_AsLong(own_pid);
  if (own == -1 && PyErr_Occurred()) throw_pending();
  Ref entries;
  try {
    Ref where = truth(folder) ? Ref::borrow(folder) : attr(os_module, s_curdir);
    entries = call(attr(os_module, s_listdir), where);
  } catch (const PyErrPending&) {
    if (clear_if_matches(PyExc_OSError)) return;
    throw;
  }
  Iter listing(entries);
  while (Ref name = listing.next()) {
    if (!PyUnicode_Check(name)) continue;
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) throw_pending();
    const long pid = temp_owner(text);
    if (pid <= 0 || pid == own || !process_gone(pid)) continue;
    try {
      call(attr(os_module, s_remove), call(attr(attr(os_module, names::path), join), folder, name));
    } catch (const PyErrPending&) {
      // Another process may have removed it first.
      if (!clear_if_matches(PyExc_OSError)) throw;
    }
  }
}

// model.save(path), crash-safe: the network is written to a temporary file in
// the same folder, then moved over `path` in one atomic step that survives a
// power loss too, so an interrupted save never destroys the previous checkpoint. The temporary name
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
    replace_durably(os_module, temp, path);
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
  remove_leftovers(os_module, folder, pid);
}

// Saving a network without outputs would give checkpoints that hold nothing
// to run. An export network that is not a Keras model (it has no `outputs`)
// is left to its own `save`.
void refuse_without_outputs(PyObject* me, PyObject* new_model) {
  Ref kept = attr_if_present(new_model, s_outputs);
  if (!kept || length(kept) > 0) return;
  const Py_ssize_t count = length(attr(attr(me, model), s_outputs));
  Ref total = Ref::check(PyLong_FromSsize_t(count));
  Ref text = call(method(s_no_outputs_left, format), total, count == 1 ? s_empty : s_plural);
  PyErr_SetObject(PyExc_ValueError, text);
  throw_pending();
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
//   249      channels_first = self.NCHW
//   253      new_model = self.remove_training_outputs(None)
//   252      if not new_model.outputs: raise ValueError("The network has N outputs: ...")
//   250      if channels_first: new_model = self.to_nchw(new_model)
//   254      new_model.save(self.last)            (temporary file, then durable replace)
//   256-258  try: import mlflow; if mlflow.active_run(): mlflow.log_artifact(self.last)
//   260      except ImportError: warnings.warn("MLFlow is not installed. ...", Warning)
//   262      if val >= self.best_value:
//   263          print("...improved {} from {} to {}".format(self.metric, self.best_value, val))
//   264          new_model.save(self.best)        (temporary file, then durable replace)
//   265          self.best_value = val
//   267-269      try: import mlflow; if mlflow.active_run(): mlflow.log_artifact(self.best)
//                except ImportError: pass
//   272      elif val > -1.0:
//   273          print("...No improvement in {} from {} to {} ".format(...))
//
// The training outputs are cut before the channels-first rewrite, so that the
// rewrite sees the export outputs only.
Ref save_model(Step& at, const Args& a) {
  PyObject* me = a[0];
  const double val = a.number;

  at(249);
  const bool channels_first = truth(attr(me, NCHW));
  at(253);
  Callable strip = method(me, s_remove_training_outputs);
  Ref new_model = call(strip, Py_None);
  at(252);
  refuse_without_outputs(me, new_model);
  if (channels_first) {
    at(250);
    Callable convert = method(me, s_to_nchw);
    new_model = call(convert, new_model);
  }
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
