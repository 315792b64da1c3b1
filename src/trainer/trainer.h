// DetectionTrainer's method bodies and the names they share. Each body runs
// with its parameters bound (self first) and reports failures at the line its
// current step set.
#pragma once

#include "bridge/function.h"
#include "bridge/method.h"
#include "bridge/ops.h"
#include "bridge/state.h"

namespace corvane::trainer {

// Bodies, by method group.
Ref init(Step& at, const Args& a);  // construction
Ref preprocess_input(Step& at, const Args& a);
Ref train_step(Step& at, const Args& a);
Ref train(Step& at, const Args& a);  // training
Ref run_validation_step(Step& at, const Args& a);
Ref update_metrics(Step& at, const Args& a);  // evaluation and reporting
Ref remove_training_outputs(Step& at, const Args& a);
Ref to_nchw(Step& at, const Args& a);
Ref save_model(Step& at, const Args& a);  // model output

// Names used by more than one method group.
namespace names {
// module globals
extern Str tf, np, os, json, time, csv, tqdm;
// attributes of the packages
extern Str path, join, exists, makedirs, keras, models, Model, optimizers, schedules,
    LearningRateSchedule, function, numpy, get, format, write, Tensor;
// trainer attributes
extern Str model, optimizer, loss, logger, checkpoint, classes, display, metric, NCHW, lr,
    iterations, current_lr, best_value, best, last, summary_rows, info, dvclive_output, evaluator,
    val_messenger, skip_validation_steps, skip_initial_validation, dataset, iou;
// method names, prefixed to keep them apart from the bodies above
extern Str s_save_model, s_update_metrics, s_run_validation_step, s_train_step, s_preprocess_input;
// mlflow
extern Str mlflow, active_run, log_artifact, log_metrics;
}  // namespace names

// Shared constant objects.
namespace constants {
extern Int zero, one, two, three, four;
extern Float f_zero, f_half, f_255, f_minus_one;
extern Str mode_w;
}  // namespace constants

// The empty list: the from-list of a plain import.
Ref empty_fromlist();

}  // namespace corvane::trainer
