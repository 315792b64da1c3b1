// Evaluation and reporting: one validation pass through the evaluator, and
// the publication of metrics and losses.
#include "trainer/trainer.h"

#include "bridge/files.h"

#include <unistd.h>

namespace corvane::trainer {

using namespace names;
using namespace constants;

namespace {

// --- the validation pass -------------------------------------------------------

Str s_shape("shape"), s_decode("decode"), s_array("array"), s_runner("runner"),
    s_run_single_instance("run_single_instance"), s_single_evaluation("single_evaluation"),
    s_conclude("conclude");
Str s_image("image"), s_height("height"), s_width("width"), s_boxes("boxes"), s_labels("labels"),
    s_image_path("image_path"), s_scores("scores"), s_gt_instance("gt_instance"),
    s_dt_instance("dt_instance");
Str s_acc("acc"), s_map("map"), s_mAP("mAP"), s_mAR("mAR"), s_mACC("mACC"), s_t50("0.5"),
    s_t75("0.75"), s_t50_95("0.5:0.95");
ColumnKey kBoxColumns(0, 4), kClassColumn(4, Slice::kOpen);
Names kw_epoch{"epoch"};

// mapping.get(key)
Ref get_key(PyObject* mapping, PyObject* key) {
  Callable get_ = method(mapping, get);
  return call(get_, key);
}

// metrics.get(name).get(threshold)
Ref get_threshold(PyObject* metrics, PyObject* name, PyObject* threshold) {
  Ref per_threshold = get_key(metrics, name);
  return get_key(per_threshold, threshold);
}

}  // namespace

// Lines, as reported on failure: 417 the three dictionaries; per sample 418 the
// next element and its unpacking, 419-421 numpy() of image, boxes and name, 422
// gt_boxes, 423-424 gt_classes (424 the row work), 426 image.shape, 429 the
// runner and 428 its result, 431-443 the dictionary stores, 445-447 the display
// selection, 452 single_evaluation; then 455 conclude, 456-461 the metric
// choice, 463 save_model.
Ref run_validation_step(Step& at, const Args& a) {
  enum { self, loop_, evaluator_, epoch_ };
  PyObject* me = a[self];
  PyObject* evaluator = a[evaluator_];
  PyObject* epoch = a[epoch_];

  Ref counter = Ref::borrow(zero);
  bool add_image = true;
  at(417);
  Ref instances = new_dict(), gt_instance = new_dict(), dt_instance = new_dict();

  Ref truth_values;  // empty until a sample has been evaluated
  at(418);
  Iter samples(a[loop_]);
  for (;;) {
    at(418);
    Ref sample = samples.next();
    if (!sample) break;
    auto [image_batch, boxes_batch, names_batch] = unpack<3>(sample);

    at(419);
    Ref image = item(call(method(image_batch, numpy)), zero);
    at(420);
    Ref boxes = item(call(method(boxes_batch, numpy)), zero);
    at(421);
    Ref first_name = item(call(method(names_batch, numpy)), zero);
    Ref image_name = call(method(first_name, s_decode));
    at(422);
    Ref gt_boxes = item(boxes, kBoxColumns);

    at(423);
    Ref array = attr(global(np), s_array);
    Ref class_names = new_list();
    at(424);
    Iter rows(item(boxes, kClassColumn));
    for (;;) {
      at(424);
      Ref cls = rows.next();
      if (!cls) break;
      Ref classes_ = attr(me, classes);
      Ref index = to_int(item(cls, zero));
      Ref name = item(classes_, index);
      at(423), append(class_names, name);
    }
    at(423);
    Ref gt_classes = call(array, class_names);

    at(426);
    auto size = unpack<3>(attr(image, s_shape));

    at(429);
    Ref runner = attr(evaluator, s_runner);
    Callable run_single_instance = method(runner, s_run_single_instance);
    Ref detections = call(run_single_instance, image);
    at(428);
    auto [dt_boxes, dt_classes, dt_scores] = unpack<3>(detections);

    at(431), set_item(gt_instance, s_image, image);
    at(432), set_item(gt_instance, s_height, size[0]);
    at(433), set_item(gt_instance, s_width, size[1]);
    at(434), set_item(gt_instance, s_boxes, gt_boxes);
    at(435), set_item(gt_instance, s_labels, gt_classes);
    at(436), set_item(gt_instance, s_image_path, image_name);

    at(438), set_item(dt_instance, s_boxes, dt_boxes);
    at(439), set_item(dt_instance, s_labels, dt_classes);
    at(440), set_item(dt_instance, s_scores, dt_scores);

    at(442), set_item(instances, s_gt_instance, gt_instance);
    at(443), set_item(instances, s_dt_instance, dt_instance);

    // `display` is read at each test, so a change made by the evaluator
    // during the pass takes effect at the next sample.
    at(445);
    if (compare(attr(me, display), zero, Py_GE)) {
      at(446);
      if (compare(counter, attr(me, display), Py_LT)) {
        at(447);
        counter = add(counter, one);
        add_image = true;
      } else {
        add_image = false;
      }
    }

    at(452);
    Callable single_evaluation = method(evaluator, s_single_evaluation);
    truth_values = call(single_evaluation, instances, epoch, add_image ? Py_True : Py_False);
  }

  at(455);
  Ref conclude = attr(evaluator, s_conclude);
  if (!truth_values) raise_unbound_local("truth_values");
  Ref metrics = call_kw(conclude, kw_epoch, truth_values, epoch);

  Ref val;
  at(456);
  if (compare(attr(me, metric), s_acc, Py_EQ)) {
    at(457), val = get_threshold(metrics, s_mACC, s_t50);
  } else if (at(458), compare(attr(me, metric), s_map, Py_EQ)) {
    at(459), val = get_threshold(metrics, s_mAP, s_t50);
  } else {
    at(461), val = get_threshold(metrics, s_mAR, s_t50);
  }

  at(463);
  Callable save = method(me, s_save_model);  // through the instance: overrides are honoured
  Ref value = to_float(val);
  call(save, value);
  return metrics;
}

// --- the publication -------------------------------------------------------------

namespace {

Str s_OP("OP"), s_OR("OR"), s_OA("OA"), s_log_metric("log_metric");
// DVCLive and MLflow names
Str p_mAP1("mAP 0.50"), p_mAP2("mAP 0.75"), p_mAP3("mAP 0.50-0.95"), p_mACC1("mACC 0.50"),
    p_mACC2("mACC 0.75"), p_mACC3("mACC 0.50-0.95"), p_mAR1("mAR 0.50"), p_mAR2("mAR 0.75"),
    p_mAR3("mAR 0.50-0.95"), p_ACC("Overall ACC"), p_AP("Overall AP"), p_AR("Overall AR"),
    p_live_lr("Learning Rate"), p_mlflow_lr("learning-rate");
// summary row keys and CSV columns
Str c_epoch("epoch"), c_mAP1("mAP@0.5"), c_mAP2("mAP@0.75"), c_mAP3("mAP@0.5:0.95"),
    c_mACC1("mACC@0.5"), c_mACC2("mACC@0.75"), c_mACC3("mACC@0.5:0.95"), c_mAR1("mAR@0.5"),
    c_mAR2("mAR@0.75"), c_mAR3("mAR@0.5:0.95"), c_ACC("Overall-ACC"), c_AP("Overall-AP"),
    c_AR("Overall-AR");
Str s_append("append"), s_summary_csv("summary.csv"), s_DictWriter("DictWriter"),
    s_writeheader("writeheader"), s_writerows("writerows"), s_remove("remove"), s_utf8("UTF8"),
    s_no_newline_translation(""),
    s_csv_warning(
        "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow "
        "Tessmark to write metrics");
Names kw_plot{"plot"}, kw_step{"step"}, kw_fieldnames{"fieldnames"},
    kw_text_file{"encoding", "newline"};

// Temporary files of one process are told apart by a counter; the process id
// keeps processes writing into the same folder apart.
unsigned long temp_serial = 0;

Ref temp_leaf() {
  return Ref::check(
      PyUnicode_FromFormat(".summary.%ld-%lu.tmp.csv", static_cast<long>(getpid()), ++temp_serial));
}

// Re-raises the exception being handled. The boundary adds no entry once one
// was made for an earlier, handled exception, so this new one gets it here.
[[noreturn]] void rethrow_as_new(Step& at) {
  if (at.reported()) add_traceback(at.trace_name(), at.line());
  throw;
}

// A failed write must not leave its temporary file behind. Removing it must
// not hide why the write failed: the failure is set aside meanwhile, and an
// OSError of the removal (the file may never have been created) is ignored.
void discard_temp(Step& at, PyObject* temp) {
  const int failed_at = at.line();
  at(398);
  try {
    while_pending([&] {
      try {
        Ref remove = attr(global(os), s_remove);
        call(remove, temp);
      } catch (const PyErrPending&) {
        if (!clear_if_matches(PyExc_OSError)) throw;
      }
    });
  } catch (const PyErrPending&) {
    rethrow_as_new(at);
  }
  at(failed_at);
}

}  // namespace

// Lines, as reported on failure:
//   310-321  metric reads: 310 OP, 311-313 mAP, 314 OR, 315-317 mAR, 318 OA, 319-321 mACC
//   323-326  learning rate: 323 the isinstance test, 324 numpy(), 326 the plain read
//   329-343  DVCLive: 329-340 the twelve metrics, 342 the rate's numpy(), 343 "Learning Rate"
//   346-349  MLflow: 346 import, 348 active_run(), 349 log_metrics
//   368-380  summary row: 368 the dict, 369-380 one float() per entry
//   382-385  logger, columns, "epoch", appended to summary_rows
//   387-388  final and temporary CSV paths
//   391-395  391 open and its with block, 392 DictWriter, 393 writeheader, 394 writerows,
//            395 os.replace, durable (fsync of the file before, of the folder after)
//   398      removal of the temporary file after a failed write
//   401      the PermissionError warning
Ref update_metrics(Step& at, const Args& a) {
  enum { self, metrics_, losses_, epoch_, live_ };
  PyObject* me = a[self];
  PyObject* metrics = a[metrics_];
  PyObject* epoch = a[epoch_];
  PyObject* live = a[live_];

  at(310);
  Ref mAP = get_key(metrics, s_OP);
  at(311);
  Ref mAP1 = get_threshold(metrics, s_mAP, s_t50);
  at(312);
  Ref mAP2 = get_threshold(metrics, s_mAP, s_t75);
  at(313);
  Ref mAP3 = get_threshold(metrics, s_mAP, s_t50_95);
  at(314);
  Ref mAR = get_key(metrics, s_OR);
  at(315);
  Ref mAR1 = get_threshold(metrics, s_mAR, s_t50);
  at(316);
  Ref mAR2 = get_threshold(metrics, s_mAR, s_t75);
  at(317);
  Ref mAR3 = get_threshold(metrics, s_mAR, s_t50_95);
  at(318);
  Ref mACC = get_key(metrics, s_OA);
  at(319);
  Ref mACC1 = get_threshold(metrics, s_mACC, s_t50);
  at(320);
  Ref mACC2 = get_threshold(metrics, s_mACC, s_t75);
  at(321);
  Ref mACC3 = get_threshold(metrics, s_mACC, s_t50_95);

  Ref lr;
  at(323);
  Ref rate = attr(me, current_lr);
  Ref tensor_type = attr(global(tf), Tensor);
  if (is_instance(rate, tensor_type)) {
    at(324);
    Ref tensor = attr(me, current_lr);
    lr = call(method(tensor, numpy));
  } else {
    at(326), lr = attr(me, current_lr);
  }

  if (live != Py_None) {
    auto log_metric = [&](int line, PyObject* name, PyObject* value, bool plot) {
      at(line);
      Ref fn = attr(live, s_log_metric);
      if (plot)
        call(fn, name, value);
      else
        call_kw(fn, kw_plot, name, value, Py_False);
    };
    log_metric(329, p_mACC1, mACC1, false);
    log_metric(330, p_mACC2, mACC2, false);
    log_metric(331, p_mACC3, mACC3, false);
    log_metric(332, p_mAP1, mAP1, false);
    log_metric(333, p_mAP2, mAP2, false);
    log_metric(334, p_mAP3, mAP3, false);
    log_metric(335, p_mAR1, mAR1, false);
    log_metric(336, p_mAR2, mAR2, false);
    log_metric(337, p_mAR3, mAR3, false);
    log_metric(338, p_ACC, mACC, true);
    log_metric(339, p_AP, mAP, true);
    log_metric(340, p_AR, mAR, true);
    // DVCLive takes plain numbers only. `lr` already is one unless the rate is
    // a variable (not a tf.Tensor), which still offers numpy(); a number has
    // none to call. As getattr(lr, "numpy", None): only the lookup is guarded.
    at(342);
    Ref to_numpy;
    try {
      to_numpy = attr(lr, numpy);
    } catch (const PyErrPending&) {
      if (!clear_if_matches(PyExc_AttributeError)) throw;
    }
    Ref rate_value = to_numpy && to_numpy.get() != Py_None ? call(to_numpy) : lr.copy();
    log_metric(343, p_live_lr, rate_value, true);
  }

  try {
    at(346);
    Ref mlflow_module = import(names::mlflow, empty_fromlist());
    at(348);
    if (truth(call(method(mlflow_module, active_run)))) {
      at(349);
      Ref log = attr(mlflow_module, log_metrics);
      Ref values = new_dict();
      set_item(values, p_mAP1, mAP1);
      set_item(values, p_mAP2, mAP2);
      set_item(values, p_mAP3, mAP3);
      set_item(values, p_mACC1, mACC1);
      set_item(values, p_mACC2, mACC2);
      set_item(values, p_mACC3, mACC3);
      set_item(values, p_mAR1, mAR1);
      set_item(values, p_mAR2, mAR2);
      set_item(values, p_mAR3, mAR3);
      set_item(values, p_ACC, mACC);
      set_item(values, p_AP, mAP);
      set_item(values, p_AR, mAR);
      set_item(values, p_mlflow_lr, lr);
      call_kw(log, kw_step, values, epoch);
    }
  } catch (const PyErrPending&) {
    if (!clear_if_import_error()) throw;
  }

  at(368);
  Ref summary = new_dict();
  at(369), set_item(summary, c_mAP1, to_float(mAP1));
  at(370), set_item(summary, c_mAP2, to_float(mAP2));
  at(371), set_item(summary, c_mAP3, to_float(mAP3));
  at(372), set_item(summary, c_mACC1, to_float(mACC1));
  at(373), set_item(summary, c_mACC2, to_float(mACC2));
  at(374), set_item(summary, c_mACC3, to_float(mACC3));
  at(375), set_item(summary, c_mAR1, to_float(mAR1));
  at(376), set_item(summary, c_mAR2, to_float(mAR2));
  at(377), set_item(summary, c_mAR3, to_float(mAR3));
  at(378), set_item(summary, c_ACC, to_float(mACC));
  at(379), set_item(summary, c_AP, to_float(mAP));
  at(380), set_item(summary, c_AR, to_float(mAR));

  at(382);
  {
    Ref logger_ = attr(me, logger);
    Callable logger_update = method(logger_, s_update_metrics);
    call(logger_update, summary, a[losses_]);
  }

  // Taken after the logger call: the columns are whatever keys the row holds then.
  at(383);
  Ref columns = new_list();
  append(columns, c_epoch);
  {
    Iter keys(summary);
    while (Ref key = keys.next()) append(columns, key);
  }
  at(384), set_item(summary, c_epoch, epoch);
  at(385);
  {
    Ref rows = attr(me, summary_rows);
    Callable append_row = method(rows, s_append);
    call(append_row, summary);
  }

  // The file is the only record of every pass so far: it is written whole to a
  // temporary file beside it and then moved over it, so a failed write leaves
  // the previous file intact.
  at(387);
  Ref join_ = attr(attr(global(os), path), join);
  Ref folder = attr(me, checkpoint);
  Ref summary_file_name = call(join_, folder, s_summary_csv);
  at(388);
  join_ = attr(attr(global(os), path), join);
  folder = attr(me, checkpoint);
  Ref temp_name = call(join_, folder, temp_leaf());

  try {
    at(391);
    Ref file = call_kw(state::cached.open, kw_text_file, temp_name, mode_w, s_utf8,
                       s_no_newline_translation);
    with_block(at, file, 391, false, [&](PyObject* f) {
      at(392);
      Ref dict_writer = attr(global(csv), s_DictWriter);
      Ref writer = call_kw(dict_writer, kw_fieldnames, f, columns);
      at(393), call(method(writer, s_writeheader));
      at(394);
      Callable writerows = method(writer, s_writerows);
      call(writerows, attr(me, summary_rows));
    });
    at(395), replace_durably(global(os), temp_name, summary_file_name);
  } catch (const PyErrPending&) {
    discard_temp(at, temp_name);
    // Handled as an `except` clause does: a failure of the warning itself has
    // the PermissionError as its context.
    SetAside failure;
    if (!failure.matches(PyExc_PermissionError)) {
      failure.restore();
      throw;
    }
    try {
      at(401), call(state::cached.print, s_csv_warning);
    } catch (const PyErrPending&) {
      failure.chain();
      rethrow_as_new(at);
    }
  }
  return Ref::borrow(Py_None);
}

}  // namespace corvane::trainer
