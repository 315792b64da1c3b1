// corvane.tessmark.trainer.detection: the module's load, the DetectionTrainer
// class and its constructor.
//
// The load roughly corresponds to this module body::
//
//     from corvane.validator.writers import TrainingTensorBoardWriter
//     from tqdm import tqdm
//     import tensorflow as tf
//     import numpy as np
//     import json, os, time, csv
//     from corvane.tessmark.callbacks import TessmarkTrainingCallback
//
//     class DetectionTrainer:
//         def __init__(self, model, dataset, optimizer, loss, logger='out', ...): ...
//         @tf.function
//         def preprocess_input(self, x: tf.Tensor): ...
//         ...
#include <cstring>
#include <new>
#include <utility>

#include "trainer/trainer.h"

namespace corvane {

namespace state {
PyObject* module = nullptr;
PyObject* module_dict = nullptr;
PyObject* builtins = nullptr;
CachedBuiltins cached = {};
}  // namespace state

namespace trainer {

namespace names {
Str tf("tf"), np("np"), os("os"), json("json"), time("time"), csv("csv"), tqdm("tqdm");
Str path("path"), join("join"), exists("exists"), makedirs("makedirs"), keras("keras"),
    models("models"), Model("Model"), optimizers("optimizers"), schedules("schedules"),
    LearningRateSchedule("LearningRateSchedule"), function("function"), numpy("numpy"), get("get"),
    format("format"), write("write"), Tensor("Tensor");
Str model("model"), optimizer("optimizer"), loss("loss"), logger("logger"),
    checkpoint("checkpoint"), classes("classes"), display("display"), metric("metric"),
    NCHW("NCHW"), lr("lr"), iterations("iterations"), current_lr("current_lr"),
    best_value("best_value"), best("best"), last("last"), summary_rows("summary_rows"),
    info("info"), dvclive_output("dvclive_output"), evaluator("evaluator"),
    val_messenger("val_messenger"), skip_validation_steps("skip_validation_steps"),
    skip_initial_validation("skip_initial_validation"), dataset("dataset"), iou("iou");
Str s_save_model("save_model"), s_update_metrics("update_metrics"),
    s_run_validation_step("run_validation_step"), s_train_step("train_step"),
    s_preprocess_input("preprocess_input");
Str mlflow("mlflow"), active_run("active_run"), log_artifact("log_artifact"),
    log_metrics("log_metrics");
}  // namespace names

namespace constants {
Int zero(0), one(1), two(2), three(3), four(4);
Float f_zero(0.0), f_half(0.5), f_255(255.0), f_minus_one(-1.0);
Str mode_w("w");
}  // namespace constants

Ref empty_fromlist() {
  return new_list();
}

namespace {

using namespace names;
using namespace constants;

// --- the constructor ---------------------------------------------------------

Str s_TrainingTensorBoardWriter("TrainingTensorBoardWriter"), s_writer("writer"),
    s_config_json("config.json"), s_labels_txt("labels.txt"), s_best_h5("best.h5"),
    s_last_h5("last.h5"), s_dumps("dumps"), s_line_template("{}\n"),
    s_saving_best("\t - Saving best iteration checkpoint at : %s"),
    s_saving_last("\t - Saving last iteration checkpoint at : %s");
Names kw_exist_ok{"exist_ok"}, kw_indent{"indent"};

}  // namespace

Ref init(Step& at, const Args& a) {
  enum {
    self,
    model_,
    dataset_,
    optimizer_,
    loss_,
    logger_,
    checkpoint_,
    info_,
    metric_,
    iou_,
    classes_,
    display_,
    dvclive_output_,
    skip_validation_steps_,
    skip_initial_validation_
  };
  PyObject* me = a[self];

  at(58), set_attr(me, dvclive_output, a[dvclive_output_]);
  at(59), set_attr(me, info, a[info_]);
  at(60), set_attr(me, model, a[model_]);
  at(61), set_attr(me, metric, a[metric_]);
  at(62), set_attr(me, dataset, a[dataset_]);
  at(63), set_attr(me, optimizer, a[optimizer_]);
  at(64), set_attr(me, loss, a[loss_]);
  at(65), set_attr(me, logger, a[logger_]);
  at(66), set_attr(me, evaluator, Py_None);

  at(68);
  {
    Ref writer_class = global(s_TrainingTensorBoardWriter);
    Ref writer = attr(a[logger_], s_writer);
    set_attr(me, val_messenger, call(writer_class, writer));
  }

  at(70), set_attr(me, best_value, f_zero);
  at(71), set_attr(me, iou, a[iou_]);
  at(72), set_attr(me, classes, a[classes_]);
  at(73), set_attr(me, display, a[display_]);
  at(74), set_attr(me, NCHW, Py_False);

  at(76);
  Ref rate = attr(attr(me, optimizer), lr);
  Ref schedule =
      attr(attr(attr(attr(global(tf), keras), optimizers), schedules), LearningRateSchedule);
  if (is_instance(rate, schedule)) {
    at(77);
    Ref fn = attr(attr(me, optimizer), lr);
    Ref step = attr(attr(me, optimizer), iterations);
    set_attr(me, current_lr, call(fn, step));
  } else {
    at(79), set_attr(me, current_lr, attr(attr(me, optimizer), lr));
  }

  at(81), set_attr(me, checkpoint, a[checkpoint_]);
  at(83);
  // The callee is looked up before its arguments are read, as the interpreter does.
  Ref exists_fn = attr(attr(global(os), path), exists);
  if (!truth(call(exists_fn, attr(me, checkpoint)))) {
    at(84);
    Ref makedirs_fn = attr(global(os), makedirs);
    call_kw(makedirs_fn, kw_exist_ok, attr(me, checkpoint), Py_True);
  }
  at(86);
  Ref join_fn = attr(attr(global(os), path), join);
  set_attr(me, best, call(join_fn, attr(me, checkpoint), s_best_h5));
  at(87);
  join_fn = attr(attr(global(os), path), join);
  set_attr(me, last, call(join_fn, attr(me, checkpoint), s_last_h5));

  at(89), set_attr(me, summary_rows, new_list());
  at(90), set_attr(me, skip_validation_steps, a[skip_validation_steps_]);
  at(91), set_attr(me, skip_initial_validation, a[skip_initial_validation_]);

  at(93);
  join_fn = attr(attr(global(os), path), join);
  Ref config_path = call(join_fn, attr(me, checkpoint), s_config_json);
  Ref config_file = call(state::cached.open, config_path, mode_w);
  with_block(at, config_file, 93, true, [&](PyObject* f) {
    at(94);
    Ref write_fn = attr(f, write);
    Ref text = call_kw(attr(global(json), s_dumps), kw_indent, a[info_], four);
    call(write_fn, text);
  });

  at(96);
  if (length(attr(me, classes)) > 0) {
    at(97);
    join_fn = attr(attr(global(os), path), join);
    Ref labels_path = call(join_fn, attr(me, checkpoint), s_labels_txt);
    Ref labels_file = call(state::cached.open, labels_path, mode_w);
    with_block(at, labels_file, 97, true, [&](PyObject* f) {
      at(98);
      Iter each(attr(me, classes));
      for (;;) {
        at(98);
        Ref name = each.next();
        if (!name) break;
        at(99);
        Ref write_fn = attr(f, write);
        Callable fmt = method(s_line_template, format);
        call(write_fn, call(fmt, name));
      }
    });
  }

  at(101), call(state::cached.print, remainder(s_saving_best, attr(me, best)));
  at(102), call(state::cached.print, remainder(s_saving_last, attr(me, last)));
  return Ref::borrow(Py_None);
}

}  // namespace trainer

// --- class creation ------------------------------------------------------------

namespace {

using namespace trainer::names;
using trainer::constants::f_half;
using trainer::constants::one;

const char kClassDoc[] =
    "\n"
    "    This class implements a training process that combines all the tools in the API\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "        model: tf.keras.models.Model\n"
    "            An instance of a keras model ready for training\n"
    "        dataset:\n"
    "            The dataset iterator with training samples\n"
    "        optimizer: tf.keras.optimizers.Optimizer\n"
    "            The optimizer used during training.\n"
    "        loss: corvane.tessmark.losses.TessmarkLoss\n"
    "            Tessmark loss function or any subclass\n"
    "        logger: corvane.tessmark.callbacks.TensorBoard\n"
    "            TensorBoard logger, used to see training performance on the web browser\n"
    "        checkpoint: str\n"
    "            Path to the checkpoints folder. If the folder does not exist, it will be "
    "automatically created\n"
    "        H: int\n"
    "            Height of the input dimension\n"
    "        W: int\n"
    "            Width of the input dimension\n"
    "        info: dict\n"
    "            Global configuration object updated with additional information that needs to "
    "be stored\n"
    "            into the HDD for reproducibility\n"
    "        metric: str\n"
    "            Name of the metric the Trainer will use to store the best checkpoint\n"
    "        iou: float\n"
    "            Postprocessing parameter used to execute NMS\n"
    "        classes: list\n"
    "            Name of the classes defined in our problem\n"
    "        display: int\n"
    "            Number of samples the Trainer will send to TensorBoard after evaluating each "
    "epoch. It could be 0\n"
    "        parameters: dict\n"
    "            Validation parameters, used to configure the validator\n"
    "    ";

const char kPreprocessDoc[] =
    "\n"
    "        Preprocess input function for Tessmark\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        x: tf.Tensor\n"
    "            Batch of images\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        data: tf.Tensor\n"
    "            An unsigned normalized tensor\n"
    "        ";

const char kTrainStepDoc[] =
    "\n"
    "        This function runs a single training step over a batch of data\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        data: list\n"
    "            Batch of data: element 0 is the image and element 1 the target bounding boxes\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        losses: dict\n"
    "            Dictionary of losses. Default keys: total-loss, localization-loss, "
    "classification-loss, objectness-loss\n"
    "\n"
    "        Note: element 0 always holds the images and the first entry after it the bounding\n"
    "        boxes; later entries could be other ground truths such as a mask or a skeleton.\n"
    "        ";

const char kRemoveOutputsDoc[] =
    "This function removes training outputs from Tessmark training model.\n"
    "\n"
    "        Returns:\n"
    "            _type_: _description_\n"
    "        ";

const char kSaveModelDoc[] =
    "\n"
    "        Saves two models, last.h5 which stores the last trained epoch and best.h5 which "
    "stores\n"
    "        the best evaluated model so far\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        val: float\n"
    "            Validation value\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        None\n"
    "        ";

const char kUpdateMetricsDoc[] =
    "\n"
    "        Updates the metrics and losses to tensorboard\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        metrics: dict, default {}\n"
    "            Dictionary of key:value pairs with the evaluation metrics\n"
    "        losses: dict, default {}\n"
    "            Dictionary of key:value pairs with the training losses\n"
    "        epoch: int, default 0\n"
    "            Number of evaluated epoch\n"
    "        live:, default None\n"
    "            Optional DVCLive object\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        ";

const char kTrainDoc[] =
    "\n"
    "        Main function to run the training process.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        epochs: int\n"
    "            Number of epochs to train the model\n"
    "        train_ds:\n"
    "            Train iterator\n"
    "        val_ds:\n"
    "            Validation iterator\n"
    "        evaluator:\n"
    "            Evaluator instance\n"
    "        start:int\n"
    "            Index of the first epoch, normally 1\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        ";

const char* const kInitParams[] = {"self",
                                   "model",
                                   "dataset",
                                   "optimizer",
                                   "loss",
                                   "logger",
                                   "checkpoint",
                                   "info",
                                   "metric",
                                   "iou",
                                   "classes",
                                   "display",
                                   "dvclive_output",
                                   "skip_validation_steps",
                                   "skip_initial_validation"};
const char* const kPreprocessParams[] = {"self", "x"};
const char* const kTrainStepParams[] = {"self", "data"};
const char* const kModelParams[] = {"self", "model"};
const char* const kSaveParams[] = {"self", "val"};
const char* const kUpdateParams[] = {"self", "metrics", "losses", "epoch", "live"};
const char* const kValidationParams[] = {"self", "loop", "evaluator", "epoch"};
const char* const kTrainParams[] = {"self",      "epochs", "train_ds",        "val_ds",
                                    "evaluator", "start",  "callback_handler"};

const FunctionDef kInit{"__init__", 57, kInitParams, 15, 5, Typing::None, 0, 0, trainer::init};
const FunctionDef kPreprocess{
    "preprocess_input",       143, kPreprocessParams, 2, 2, Typing::None, 0, 0,
    trainer::preprocess_input};
const FunctionDef kTrainStep{"train_step",       160, kTrainStepParams, 2, 2, Typing::None, 0, 0,
                             trainer::train_step};
const FunctionDef kRemoveOutputs{
    "remove_training_outputs",       207, kModelParams, 2, 1, Typing::None, 0, 0,
    trainer::remove_training_outputs};
const FunctionDef kToNchw{"to_nchw", 226, kModelParams, 2, 2, Typing::None, 0, 0, trainer::to_nchw};
const FunctionDef kSaveModel{"save_model", 235, kSaveParams,        2, 2, Typing::NumberAt1,
                             237,          0,   trainer::save_model};
const FunctionDef kUpdateMetrics{
    "update_metrics",       286, kUpdateParams, 5, 1, Typing::DictsAt1And2, 0, 286,
    trainer::update_metrics};
const FunctionDef kRunValidation{
    "run_validation_step",       409, kValidationParams, 4, 4, Typing::None, 0, 0,
    trainer::run_validation_step};
const FunctionDef kTrain{"train", 466, kTrainParams, 7, 2, Typing::None, 0, 466, trainer::train};

Str s_module_name("corvane.tessmark.trainer.detection"), s_DetectionTrainer("DetectionTrainer"),
    s___module__("__module__"), s___qualname__("__qualname__"), s___doc__("__doc__"),
    s___test__("__test__"), s_autograph_info("autograph_info__"), s_x("x"), s_model_param("model"),
    s_val("val"), s_metrics("metrics"), s_losses("losses"), s_epoch("epoch"), s_epochs("epochs"),
    s_start("start"), s_return("return"), s_float_name("float"), s_dict_name("dict"),
    s_int_name("int"), s_out("out"), s_acc("acc");
Str s_corvane_validator_writers("corvane.validator.writers"),
    s_TrainingTensorBoardWriter("TrainingTensorBoardWriter"), s_tqdm_module("tqdm"),
    s_tensorflow("tensorflow"), s_numpy("numpy"), s_json("json"), s_os("os"), s_time("time"),
    s_csv("csv"), s_corvane_tessmark_callbacks("corvane.tessmark.callbacks"),
    s_TessmarkTrainingCallback("TessmarkTrainingCallback");

// Where a failing load step is reported.
int load_line = 1;

// The method object for `def`, decorated with tf.function when asked.
struct MethodEntry {
  const FunctionDef* def;
  const char* doc;
  bool decorated;
  int decorator_line;
};

Ref make_doc(const char* doc) {
  if (!doc) return Ref::borrow(Py_None);
  return Ref::check(PyUnicode_FromString(doc));
}

Ref annotation(std::initializer_list<std::pair<PyObject*, PyObject*>> entries) {
  Ref d = new_dict();
  for (auto& [k, v] : entries) set_item(d, k, v);
  return d;
}

Ref keras_model_class() {
  return attr(attr(attr(global(tf), keras), models), Model);
}

// Makes the decorated method `def`, given its defaults and annotations, and
// stores it in the class namespace.
void add_method(PyObject* ns, const FunctionDef* def, const char* doc, int decorator_line,
                PyObject* const* defaults, int ndefaults, PyObject* annotations) {
  Ref fn = make_function(def, make_doc(doc), defaults, ndefaults, annotations);
  if (decorator_line) {
    // Compiled bodies have no source for AutoGraph to convert; marking them as
    // its own artefacts makes it call them as they are, without a warning.
    set_attr(fn, s_autograph_info, Py_None);
  }
  set_item(ns, Ref::check(PyUnicode_InternFromString(def->name)), fn);
}

Ref decorator(int line) {
  load_line = line;
  return attr(global(tf), function);
}

void create_class() {
  load_line = 20;
  Ref ns = new_dict();
  set_item(ns, s___module__, s_module_name);
  set_item(ns, s___qualname__, s_DetectionTrainer);
  set_item(ns, s___doc__, make_doc(kClassDoc));

  Ref out = Ref::borrow(s_out), acc = Ref::borrow(s_acc);
  {
    load_line = 57;
    PyObject* defaults[] = {out,     out,     Py_None, acc, f_half,
                            Py_None, Py_None, Py_None, one, Py_False};
    add_method(ns, &kInit, nullptr, 0, defaults, 10, annotation({}));
  }
  {
    Ref tf_function = decorator(142);
    load_line = 143;
    Ref ann = annotation({{s_x, attr(global(tf), Tensor)}});
    add_method(ns, &kPreprocess, kPreprocessDoc, 142, nullptr, 0, ann);
    load_line = 142;
    Ref key = Ref::check(PyUnicode_InternFromString(kPreprocess.name));
    set_item(ns, key, call(tf_function, item(ns, key)));
  }
  {
    Ref tf_function = decorator(159);
    load_line = 160;
    add_method(ns, &kTrainStep, kTrainStepDoc, 159, nullptr, 0, annotation({}));
    load_line = 159;
    Ref key = Ref::check(PyUnicode_InternFromString(kTrainStep.name));
    set_item(ns, key, call(tf_function, item(ns, key)));
  }
  {
    load_line = 207;
    PyObject* defaults[] = {Py_None};
    add_method(ns, &kRemoveOutputs, kRemoveOutputsDoc, 0, defaults, 1,
               annotation({{s_model_param, keras_model_class()}}));
  }
  {
    load_line = 226;
    Ref model_class = keras_model_class();
    add_method(ns, &kToNchw, nullptr, 0, nullptr, 0,
               annotation({{s_model_param, model_class}, {s_return, keras_model_class()}}));
  }
  {
    load_line = 235;
    add_method(ns, &kSaveModel, kSaveModelDoc, 0, nullptr, 0, annotation({{s_val, s_float_name}}));
  }
  {
    load_line = 286;
    Ref ann =
        annotation({{s_metrics, s_dict_name}, {s_losses, s_dict_name}, {s_epoch, s_int_name}});
    load_line = 288;
    Ref metrics_default = new_dict();
    load_line = 289;
    Ref losses_default = new_dict();
    load_line = 286;
    PyObject* defaults[] = {metrics_default, losses_default, trainer::constants::zero, Py_None};
    add_method(ns, &kUpdateMetrics, kUpdateMetricsDoc, 0, defaults, 4, ann);
  }
  {
    load_line = 409;
    add_method(ns, &kRunValidation, nullptr, 0, nullptr, 0, annotation({}));
  }
  {
    load_line = 466;
    Ref ann = annotation({{s_epochs, s_int_name}, {s_start, s_int_name}});
    load_line = 473;
    Ref handler = call(global(s_TessmarkTrainingCallback));
    load_line = 466;
    PyObject* defaults[] = {Py_None, Py_None, Py_None, one, handler};
    add_method(ns, &kTrain, kTrainDoc, 0, defaults, 5, ann);
  }

  load_line = 20;
  Ref name = Ref::borrow(s_DetectionTrainer);
  Ref bases = Ref::check(PyTuple_New(0));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases, ns);
  set_item(state::module_dict, s_DetectionTrainer, cls);
}

// import <module> / from <module> import <name>, bound as the global `as`.
void import_global(int line, int bind_line, PyObject* module, PyObject* from, PyObject* as) {
  load_line = bind_line;
  Ref fromlist = new_list();
  if (from) append(fromlist, from);
  load_line = line;
  Ref imported = import(module, fromlist);
  Ref value = from ? import_from(imported, from) : std::move(imported);
  load_line = bind_line;
  set_item(state::module_dict, as, value);
}

void run_module_body() {
  import_global(9, 10, s_corvane_validator_writers, s_TrainingTensorBoardWriter,
                s_TrainingTensorBoardWriter);
  import_global(11, 11, s_tqdm_module, s_tqdm_module, tqdm);
  import_global(12, 12, s_tensorflow, nullptr, tf);
  import_global(13, 13, s_numpy, nullptr, np);
  import_global(14, 14, s_json, nullptr, json);
  import_global(15, 15, s_os, nullptr, os);
  import_global(16, 16, s_time, nullptr, time);
  import_global(17, 17, s_csv, nullptr, csv);
  import_global(18, 18, s_corvane_tessmark_callbacks, s_TessmarkTrainingCallback,
                s_TessmarkTrainingCallback);
  create_class();
  load_line = 1;
  set_item(state::module_dict, s___test__, new_dict());
}

// --- the load ----------------------------------------------------------------------

int64_t main_interpreter_id = -1;

// Copies the import spec's <from> attribute into the module dictionary as <to>; one
// the import spec lacks is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                    bool none_skipped) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (none_skipped && value.get() == Py_None) return true;
  return PyDict_SetItemString(module_dict, to, value) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (main_interpreter_id == -1) {
    main_interpreter_id = current;
    if (current == -1) return nullptr;
  } else if (main_interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state::module) return Ref::borrow(state::module).release();

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name));
  if (!module) return nullptr;
  PyObject* d = PyModule_GetDict(module);
  if (!copy_spec_attr(spec, d, "loader", "__loader__", false) ||
      !copy_spec_attr(spec, d, "origin", "__file__", false) ||
      !copy_spec_attr(spec, d, "parent", "__package__", false) ||
      !copy_spec_attr(spec, d, "submodule_search_locations", "__path__", true))
    return nullptr;
  return module.release();
}

bool check_version() {
  const char* rt = Py_GetVersion();
  if (std::strncmp(rt, "3.10", 4) == 0) return true;
  char found[5] = {};
  // Leading digits and the first point, at most four characters.
  for (int i = 0, dots = 0; i < 4 && rt[i]; ++i) {
    if (rt[i] == '.') {
      if (++dots > 1) break;
    } else if (rt[i] < '0' || rt[i] > '9') {
      break;
    }
    found[i] = rt[i];
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compiletime version %s of module '%.100s' does not match runtime "
                          "version %s",
                          "3.10", state::kModuleName, found) == 0;
}

bool cache_builtins() {
  struct {
    const char* name;
    PyObject** slot;
  } wanted[] = {
      {"open", &state::cached.open},
      {"print", &state::cached.print},
      {"zip", &state::cached.zip},
      {"ImportError", &state::cached.ImportError},
      {"Warning", &state::cached.Warning},
      {"range", &state::cached.range},
      {"enumerate", &state::cached.enumerate},
  };
  for (auto& w : wanted) {
    PyObject* v = PyObject_GetAttrString(state::builtins, w.name);
    if (!v) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", w.name);
      }
      return false;
    }
    Ref previous = Ref::steal(std::exchange(*w.slot, v));
  }
  return true;
}

int module_exec(PyObject* module) {
  if (state::module) {
    if (state::module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'detection' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (!check_version()) return -1;

  state::module = Ref::borrow(module).release();
  state::module_dict = PyModule_GetDict(module);
  load_line = 1;
  try {
    if (!state::builtins)
      state::builtins = Ref::check(PyImport_AddModule("builtins")).copy().release();
    // Interned names do not exist yet at this step.
    if (PyObject_SetAttrString(module, "__builtins__", state::builtins) < 0) throw_pending();
    if (!Constant::make_all(Constant::Kind::Interned) ||
        !Constant::make_all(Constant::Kind::Number))
      throw_pending();
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    int has = PyDict_Contains(modules, s_module_name);
    if (has < 0) throw_pending();
    if (!has) set_item(modules, s_module_name, module);
    if (!cache_builtins()) throw_pending();
    if (!Constant::make_all(Constant::Kind::Composite) || !function_type_ready()) throw_pending();
    run_module_body();
    return 0;
  } catch (const PyErrPending&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (PyErr_Occurred()) {
    Ref name = Ref::steal(PyUnicode_FromString("init corvane.tessmark.trainer.detection"));
    if (name) add_traceback(name, load_line);
  } else {
    PyErr_SetString(PyExc_ImportError, "init corvane.tessmark.trainer.detection");
  }
  state::module_dict = nullptr;
  Ref dropped = Ref::steal(std::exchange(state::module, nullptr));
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    /*m_name=*/"detection",
    /*m_doc=*/nullptr,
    /*m_size=*/0,
    /*m_methods=*/nullptr,
    /*m_slots=*/module_slots,
    /*m_traverse=*/nullptr,
    /*m_clear=*/nullptr,
    /*m_free=*/nullptr,
};

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit_detection() {
  return PyModuleDef_Init(&corvane::module_def);
}
