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

namespace {
// Qualified, as the training loop below keeps names of its own in this unit.
namespace ts {
Str GradientTape("GradientTape"), compute_loss("compute_loss"), reduce_sum("reduce_sum"),
    losses("losses"), total_loss("total-loss"), gradient("gradient"),
    trainable_variables("trainable_variables"), apply_gradients("apply_gradients"),
    l2_loss("L2-loss"), get_scaled_loss("get_scaled_loss"),
    get_unscaled_gradients("get_unscaled_gradients");
Names kw_training{"training"};
Slice from_one(1, Slice::kOpen);
}  // namespace ts
}  // namespace

// images = self.preprocess_input(data[0]); targets = data[1:]
// with tf.GradientTape() as tape:
//     p = self.model(images, training=True)
//     losses = self.loss.compute_loss(targets, tuple(p))
//     l2 = tf.reduce_sum(self.model.losses)
//     full_loss = losses.get("total-loss") + l2
//     if scaling:  # a LossScaleOptimizer: it has get_scaled_loss
//         scaled_loss = self.optimizer.get_scaled_loss(full_loss)
// grads = tape.gradient(scaled_loss if scaling else full_loss, self.model.trainable_variables)
// if scaling: grads = self.optimizer.get_unscaled_gradients(grads)
// self.optimizer.apply_gradients(zip(grads, self.model.trainable_variables))
// losses["L2-loss"] = l2; return losses
Ref train_step(Step& at, const Args& a) {
  PyObject* me = a[0];
  PyObject* data = a[1];

  at(186);
  Ref first = item(data, zero);
  Ref images = call(attr(me, s_preprocess_input), first);
  at(187);
  Ref targets = get_slice(data, ts::from_one);

  at(189);
  Ref tape_mgr = call(attr(global(tf), ts::GradientTape));
  // Assigned inside the context; left empty when __exit__ swallows an exception there.
  Ref tape, losses, l2, full_loss, scaled_loss;
  // Keras's LossScaleOptimizer (either family): the gradient is taken of the scaled loss,
  // so that small float16 gradients do not underflow, and unscaled before it is applied.
  // Any other optimizer gets the documented step.
  bool scaling = false;
  with_block(at, tape_mgr, 189, /*report_at_with=*/false, [&](PyObject* entered) {
    tape = Ref::borrow(entered);
    at(190);
    Ref p = call_kw(attr(me, model), ts::kw_training, images, Py_True);
    at(192);
    Ref compute = attr(attr(me, loss), ts::compute_loss);
    at(194);
    Ref predictions = to_tuple(p);
    at(192);
    losses = call(compute, targets, predictions);
    at(196);
    Ref reduce_sum = attr(global(tf), ts::reduce_sum);
    l2 = call(reduce_sum, attr(attr(me, model), ts::losses));
    at(197);
    full_loss = add(call(method(losses, get), ts::total_loss), l2);
    at(198);
    Ref scale = attr_if_present(attr(me, optimizer), ts::get_scaled_loss);
    if (scale) {
      scaling = true;
      scaled_loss = call(scale, full_loss);
    }
  });

  at(200);
  Ref gradient = attr(tape, ts::gradient);
  if (!full_loss) raise_unbound_local("full_loss");
  if (scaling && !scaled_loss) raise_unbound_local("scaled_loss");
  Ref grads = call(gradient, scaling ? scaled_loss.get() : full_loss.get(),
                   attr(attr(me, model), ts::trainable_variables));
  if (scaling) grads = call(attr(attr(me, optimizer), ts::get_unscaled_gradients), grads);

  at(201);
  Ref apply = attr(attr(me, optimizer), ts::apply_gradients);
  at(202);
  Ref pairs = call(state::cached.zip, grads, attr(attr(me, model), ts::trainable_variables));
  at(201);
  call(apply, pairs);

  at(204);
  set_item(losses, ts::l2_loss, l2);
  return losses;
}

namespace {

Str s_validation("validation"), s_dvclive("dvclive"), s_Live("Live"), s_environ("environ"),
    s_DVC_REPORT("DVC_REPORT"), s_CI("CI"), s_false("false"), s_zero_text("0"), s_md("md"),
    s_html("html"), s_log_params("log_params"), s_next_step("next_step"), s_end("end"),
    s_ending("\t - [INFO] Ending DVCLive session"), s_worktree("corvane.tessmark.worktree"),
    s_dvc_experiment_refusal("dvc_experiment_refusal"), s_stop_training("stop_training");
Str s_on_train_start("on_train_start"), s_on_evaluation_start("on_evaluation_start"),
    s_on_evaluaiton_end("on_evaluaiton_end"), s_on_epoch_start("on_epoch_start"),
    s_on_step_start("on_step_start"), s_on_step_end("on_step_end"),
    s_on_model_save("on_model_save"), s_on_epoch_end("on_epoch_end"),
    s_on_train_end("on_train_end");
Str s_epoch_desc("Epoch %d"), s_bar_format("{l_bar}{bar:15}{r_bar}{bar:-15b}"), s_green("green"),
    s_running_validation("Running Validation"), s_set_postfix("set_postfix"),
    s_postfix("loss: {:.3f}   lr: {:.6f} step-time: {:.6f}"), s_total_loss("total-loss"),
    s_step_time("step-time (seconds)"), s_learning_rate("learning-rate");
Str s_current_plots("current_plots"), s_save_plots_disk("save_plots_disk"),
    s_current_summary("current_summary"), s_results_txt("results.txt");

Names kw_epochs{"epochs"}, kw_epoch{"epoch"}, kw_step{"step"}, kw_losses_lr{"losses", "lr"},
    kw_losses_metrics{"losses", "metrics"}, kw_metrics{"metrics"},
    kw_live{"save_dvc_exp", "report"}, kw_train_bar{"desc", "leave", "bar_format", "colour"},
    kw_validation_bar{"desc", "leave", "colour", "bar_format"}, kw_values{"values"},
    kw_introduce{"val_messenger", "labels"}, kw_pass{"loop", "evaluator", "epoch"},
    kw_epoch_live{"epoch", "live"}, kw_plots_path{"plots", "path"};

// Source lines of one validation pass: the initial one and the one of an epoch.
struct PassLines {
  int bar, start, run, end, update, save_plots, current_plots, join, open, write;
};
constexpr PassLines kInitialPass{538, 546, 547, 552, 553, 556, 557, 561, 561, 564};
constexpr PassLines kEpochPass{609, 617, 618, 623, 624, 627, 628, 632, 631, 635};

// Everything of one run that a validation pass uses.
struct Run {
  PyObject* self;
  PyObject* val_ds;
  PyObject* evaluator;
  PyObject* handler;
  PyObject* validation_folder;
  PyObject* live;  // None without DVCLive
};

// One validation pass with epoch number `epoch`. `losses` is null for the
// initial pass, which publishes with update_metrics' own default.
Ref validation_pass(Step& at, const Run& run, const PassLines& ln, PyObject* epoch,
                    PyObject* losses) {
  at(ln.bar);
  Ref loop = call_kw(global(tqdm), kw_validation_bar, run.val_ds, s_running_validation, Py_True,
                     s_green, s_bar_format);
  at(ln.start), call(method(run.handler, s_on_evaluation_start));
  at(ln.run);
  Ref metrics =
      call_kw(method(run.self, s_run_validation_step), kw_pass, loop, run.evaluator, epoch);
  at(ln.end), call_kw(method(run.handler, s_on_evaluaiton_end), kw_metrics, metrics);
  at(ln.update);
  Callable publish = method(run.self, s_update_metrics);
  if (losses)
    call_kw(publish, kw_epoch_live, metrics, losses, epoch, run.live);
  else
    call_kw(publish, kw_epoch_live, metrics, epoch, run.live);

  at(ln.save_plots);
  Callable save_plots = method(run.evaluator, s_save_plots_disk);
  at(ln.current_plots);
  Ref plots = attr(run.evaluator, s_current_plots);
  at(ln.save_plots), call_kw(save_plots, kw_plots_path, plots, run.validation_folder);

  at(ln.join);
  Ref join_fn = attr(attr(global(os), path), join);
  Ref results_path = call(join_fn, run.validation_folder, s_results_txt);
  at(ln.open);
  Ref results_file = call(state::cached.open, results_path, mode_w);
  with_block(at, results_file, ln.open, true, [&](PyObject* fp) {
    at(ln.write);
    Ref write_fn = attr(fp, write);
    Ref summary = attr(run.evaluator, s_current_summary);
    call(write_fn, summary);
  });
  return metrics;
}

// self.current_lr = the optimizer's rate now: a schedule is evaluated at the
// optimizer's iteration count.
void read_learning_rate(Step& at, PyObject* self) {
  at(584);
  Ref rate = attr(attr(self, optimizer), lr);
  at(585);
  Ref schedule =
      attr(attr(attr(attr(global(tf), keras), optimizers), schedules), LearningRateSchedule);
  at(584);
  if (is_instance(rate, schedule)) {
    at(586);
    Ref fn = attr(attr(self, optimizer), lr);
    at(587);
    Ref step = attr(attr(self, optimizer), iterations);
    at(586), set_attr(self, current_lr, call(fn, step));
  } else {
    at(589), set_attr(self, current_lr, attr(attr(self, optimizer), lr));
  }
}

}  // namespace

Ref train(Step& at, const Args& a) {
  enum { self_, epochs_, train_ds_, val_ds_, evaluator_, start_, callback_handler_ };
  PyObject* self = a[self_];
  PyObject* handler = a[callback_handler_];
  PyObject* evaluator_arg = a[evaluator_];
  const bool validating = evaluator_arg != Py_None;

  // A handler stops the run by setting stop_training (Keras's name); a new run
  // starts unstopped. Absent, the attribute is not created, so a run that never
  // stops leaves the trainer's attributes as they were.
  at(508);
  Ref stopped = attr_if_present(self, s_stop_training);
  if (stopped && truth(stopped)) set_attr(self, s_stop_training, Py_False);

  // Set-up: the validation folder, then an optional DVCLive run.
  at(509);
  // Callees are looked up before their arguments are read, as the interpreter does.
  Ref join_fn = attr(attr(global(os), path), join);
  Ref validation_folder = call(join_fn, attr(self, checkpoint), s_validation);
  at(510);
  if (!truth(call(attr(attr(global(os), path), exists), validation_folder))) {
    at(511), call(attr(global(os), makedirs), validation_folder);
  }

  Ref live = Ref::borrow(Py_None);
  at(516);
  if (attr(self, dvclive_output).get() != Py_None) {
    at(517);
    Ref fromlist = new_list();
    append(fromlist, s_Live);
    Ref live_class = import_from(import(s_dvclive, fromlist), s_Live);
    at(519);
    Ref report = call(attr(attr(global(os), s_environ), get), s_DVC_REPORT, Py_None);
    if (report.get() == Py_None) {
      at(521);
      Ref ci = call(attr(attr(global(os), s_environ), get), s_CI);
      at(522);
      bool ci_set =
          ci.get() != Py_None && compare(ci, s_false, Py_NE) && compare(ci, s_zero_text, Py_NE);
      report = Ref::borrow(ci_set ? s_md : s_html);
    }
    at(525);
    Ref save_experiment = Ref::borrow(Py_True);
    {
      Ref fromlist = new_list();
      append(fromlist, s_dvc_experiment_refusal);
      Ref refusal = import_from(import(s_worktree, fromlist), s_dvc_experiment_refusal);
      Ref reason = call(refusal, attr(self, dvclive_output));
      if (reason.get() != Py_None) {
        at(526), call(state::cached.print, reason);
        save_experiment = Ref::borrow(Py_False);
      }
    }
    at(527);
    live = call_kw(live_class, kw_live, attr(self, dvclive_output), save_experiment, report);
    at(528);
    Callable log_params = method(live, s_log_params);
    call(log_params, attr(self, info));
  }

  at(532), call_kw(method(handler, s_on_train_start), kw_epochs, a[epochs_]);

  Run run{self, a[val_ds_], evaluator_arg, handler, validation_folder, live};
  if (validating) {
    at(535);
    Ref messenger = attr(self, val_messenger);
    call_kw(evaluator_arg, kw_introduce, messenger, attr(self, classes));
    at(537);
    if (!truth(attr(self, skip_initial_validation)))
      validation_pass(at, run, kInitialPass, zero, nullptr);
  }

  Ref losses = new_dict();
  Ref metrics = new_dict();

  at(569);
  Ref end = add(a[epochs_], one);
  Iter epochs(call(state::cached.range, a[start_], end, one));
  for (;;) {
    at(569);
    Ref epoch = epochs.next();
    if (!epoch) break;
    at(570), call_kw(method(handler, s_on_epoch_start), kw_epoch, epoch);
    at(572);
    Ref desc = remainder(s_epoch_desc, epoch);
    at(571);
    Ref loop =
        call_kw(global(tqdm), kw_train_bar, a[train_ds_], desc, Py_True, s_bar_format, s_green);

    Iter batches(loop);
    for (Py_ssize_t step = 0;; ++step) {
      at(577);
      Ref data = batches.next();
      if (!data) break;
      Ref batch_id = Ref::check(PyLong_FromSsize_t(step));
      at(578), call_kw(method(handler, s_on_step_start), kw_step, batch_id);

      at(580);
      Ref started = call(attr(global(time), time));
      at(581);
      losses = call(method(self, s_train_step), data);
      at(582);
      Ref step_time = subtract(call(attr(global(time), time)), started);

      read_learning_rate(at, self);

      at(591);
      Callable on_step_end = method(handler, s_on_step_end);
      at(593);
      Ref rate = attr(self, current_lr);
      at(591), call_kw(on_step_end, kw_losses_lr, losses, rate);

      at(596);
      Callable fmt = method(s_postfix, format);
      at(597);
      Ref loss_value = call(method(losses, get), s_total_loss);
      at(598);
      Ref rate_value = call(method(attr(self, current_lr), numpy));
      at(596);
      Ref postfix = call(fmt, loss_value, rate_value, step_time);

      at(602), call_kw(method(loop, s_set_postfix), kw_values, postfix);
      at(603), set_item(losses, s_step_time, step_time);
      at(604);
      set_item(losses, s_learning_rate, attr(self, current_lr));
      at(606);
      Callable log_losses = method(attr(self, logger), s_update_metrics);
      call(log_losses, new_dict(), losses);
    }

    if (validating) {
      at(608);
      if (compare(remainder(epoch, attr(self, skip_validation_steps)), zero, Py_EQ))
        metrics = validation_pass(at, run, kEpochPass, epoch, losses);
    }

    at(638), call(method(self, s_save_model), f_minus_one);
    at(639);
    Callable on_model_save = method(handler, s_on_model_save);
    call(on_model_save, attr(self, model));
    if (live.get() != Py_None) {
      at(642), call(method(live, s_next_step));
    }
    at(644), call_kw(method(handler, s_on_epoch_end), kw_losses_metrics, losses, metrics);
    at(645);
    Ref stop = attr_if_present(self, s_stop_training);
    if (stop && truth(stop)) break;
  }

  if (live.get() != Py_None) {
    at(651), call(state::cached.print, s_ending);
    at(652), call(method(live, s_end));
  }
  at(654), call(method(handler, s_on_train_end));
  return Ref::borrow(Py_None);
}

}  // namespace corvane::trainer
