"""Training callbacks, the TensorBoard logger, and what the trainer asks of your objects.

``DetectionTrainer`` owns no numerical code of its own: it calls objects that
the application builds. Any object offering the operations below works. The library
ships one of each: the handlers here (:class:`CallbackList` passes several as one,
:class:`EarlyStopping` stops on the checkpoint metric), the logger
:class:`TensorBoard`, the loss :class:`corvane.tessmark.losses.TessmarkLoss`, the
evaluator :class:`corvane.validator.evaluator.DetectionEvaluator` and the datasets of
:mod:`corvane.tessmark.data`.

Callback handler (``train(..., callback_handler=...)``)
    Default: :class:`TessmarkTrainingCallback`, whose hooks do nothing. Hooks are
    looked up by name at each call, results are ignored, and an exception from
    a hook ends ``train``. All arguments are keywords except ``on_model_save``:

    ======================  ===========================  ================================
    hook                    arguments                    called
    ======================  ===========================  ================================
    on_train_start          epochs                       once, before any validation
    on_evaluation_start     (none)                       before every validation pass
    on_evaluaiton_end       metrics                      after every pass (sic: this name)
    on_epoch_start          epoch                        start of each epoch
    on_step_start           step (batch index from 0)    before each training step
    on_step_end             losses, lr                   after each training step
    on_model_save           model (positional)           after the end-of-epoch checkpoint
    on_epoch_end            losses, metrics              last thing in each epoch
    on_train_end            (none)                       once, at the very end
    ======================  ===========================  ================================

    ``metrics`` of ``on_epoch_end`` is the latest pass inside the epoch loop, or
    ``{}``; the initial pass's metrics reach only ``on_evaluaiton_end``.

    A handler stops the training by setting ``trainer.stop_training = True``: after
    that epoch's ``on_epoch_end`` no further epoch runs, and the run ends as after its
    last epoch (DVCLive run ended, ``on_train_end``). ``train`` sets a true value back
    to False when it starts.

Loss object (constructor ``loss``)
    ``compute_loss(targets, predictions)`` is called inside the compiled
    training step, so it must trace in graph mode. ``targets`` is the training
    batch without its first element (``batch[1:]``, so a tuple for a tuple
    batch); ``predictions`` is a ``tuple`` of the model's outputs in order. It
    must return a plain ``dict`` (exactly ``dict``: the trainer publishes it)
    whose "total-loss" is a scalar tensor; by convention also
    "localization-loss", "classification-loss" and "objectness-loss". The
    trainer differentiates "total-loss" plus the sum of ``model.losses``, stores
    that sum as "L2-loss" in the same dict, and later adds
    "step-time (seconds)" and "learning-rate" (the optimizer's rate object).
    So do not put the L2 term in "total-loss". See
    :class:`corvane.tessmark.losses.TessmarkLoss`.

    Optional, for :mod:`corvane.tessmark.distributed`: a ``compute_loss`` that
    accepts the keyword ``global_sum`` is called on each replica with a function
    that sums a tensor over the whole global batch; it then divides by the global
    batch's normaliser and returns the replica's share of each value. A loss
    without it is taken to return means over the examples of its batch.

Logger (constructor ``logger``) and validation writer
    The logger needs an attribute ``writer``, read once by the constructor, and
    ``update_metrics(metrics, losses)`` with two positionals. The trainer calls
    it after every training step as ``update_metrics({}, losses)`` and once per
    validation pass as ``update_metrics(row, losses)``, where ``row`` is a dict
    of 12 floats keyed "mAP@0.5", "mAP@0.75", "mAP@0.5:0.95", "mACC@0.5",
    "mACC@0.75", "mACC@0.5:0.95", "mAR@0.5", "mAR@0.75", "mAR@0.5:0.95",
    "Overall-ACC", "Overall-AP", "Overall-AR" (the trainer adds "epoch" to it
    after the call) and ``losses`` the latest step's dict, or one shared empty
    dict for the pass before the first epoch: never change that one. Loss
    values are tensors, variables or floats. See :class:`TensorBoard`.

    The constructor also wraps ``logger.writer`` in
    :class:`corvane.validator.writers.TrainingTensorBoardWriter` and hands the
    result to the evaluator as ``val_messenger``.

Evaluator (``train(..., evaluator=...)``; None turns validation off)
    * ``evaluator(val_messenger=..., labels=...)``: once per ``train``, before
      any pass. ``labels`` is the constructor's ``classes``; keep both.
    * ``evaluator.runner.run_single_instance(image)``: ``image`` is one
      (H, W, C) numpy array exactly as the validation set holds it (not
      divided by 255). Returns three items: boxes, labels, scores, in any form
      the evaluator itself understands.
    * ``evaluator.single_evaluation(instances, epoch, add_image)`` per sample,
      with ``instances = {"gt_instance": {"image", "height", "width", "boxes",
      "labels", "image_path"}, "dt_instance": {"boxes", "labels", "scores"}}``.
      Ground-truth boxes are the first four columns of the sample's box rows,
      unscaled; ground-truth labels are a numpy array of class *names*
      (``classes[int(row[4])]``); the detections are the runner's three items.
      The same three dicts are refilled for every sample: copy what you keep.
      ``add_image`` is True for the first ``display`` samples of a pass (all of
      them when ``display`` is negative): draw them and send them through
      ``val_messenger``. The return value is a "truth values" object; only the
      one returned for the last sample reaches ``conclude``, so make it stand
      for the whole pass.
    * ``evaluator.conclude(truth_values, epoch=N)`` returns exactly a ``dict``
      with the floats "OP", "OR", "OA" (overall precision, recall, accuracy)
      and the dicts "mAP", "mAR", "mACC", each keyed "0.5", "0.75",
      "0.5:0.95". The trainer ranks checkpoints by ``[name]["0.5"]`` with name
      "mAP" for ``metric="map"``, "mACC" for "acc", "mAR" otherwise. Reset the
      per-pass state here.
    * After each pass: ``evaluator.save_plots_disk(plots=evaluator.current_plots,
      path=validation_folder)``, and ``evaluator.current_summary`` (a ``str``) is
      written to ``validation/results.txt``.

Datasets
    * ``train_ds``: iterated once per epoch (``len`` is used for the progress
      bar when available). Each batch is indexable: ``batch[0]`` the images,
      NHWC with raw 0..255 values (the trainer casts to float32 and divides by
      255), ``batch[1:]`` the targets handed to the loss object. A
      ``tf.data.Dataset`` of tuples fits.
    * ``val_ds``: each element unpacks into ``(images, boxes, names)``, all with
      ``.numpy()``. Only element 0 of each is used: the (H, W, C) image, a 2-D
      array of rows ``[x1, y1, x2, y2, class_index, ...]`` in pixels of that
      image (the index may be a float), and the image name as UTF-8 ``bytes``.
      Use batches of one.
"""

from __future__ import annotations

import atexit
import functools
import math
import re
import time
import weakref
from collections.abc import Mapping

from corvane.validator.writers import as_scalar


class TessmarkTrainingCallback:
    """Callback handler with every hook ``DetectionTrainer.train`` calls; each does nothing."""

    def on_train_start(self, epochs):
        pass

    def on_evaluation_start(self):
        pass

    # The spelling is part of the trainer's contract.
    def on_evaluaiton_end(self, metrics):
        pass

    def on_epoch_start(self, epoch):
        pass

    def on_step_start(self, step):
        pass

    def on_step_end(self, losses, lr):
        pass

    def on_model_save(self, model):
        pass

    def on_epoch_end(self, losses, metrics):
        pass

    def on_train_end(self):
        pass


class CallbackList(TessmarkTrainingCallback):
    """Several callback handlers passed to ``train`` as one, as Keras's ``CallbackList``.

    Each hook is called on every handler in the list's order, with the same arguments; a
    handler without that hook is skipped, and a handler that raises ends the call (and
    ``train``) there. No handler forwards to another. ``trainer``, when given, is handed
    to every handler that has ``set_trainer`` (:class:`EarlyStopping` needs it).

    A handler that must see what the others did at the same hook (the backup, which saves
    at ``on_epoch_end``) says so with the attribute ``runs_last = True``, and must stand
    last: the list refuses it anywhere else.
    """

    def __init__(self, handlers=(), trainer=None):
        self.handlers = []
        for handler in handlers:
            self.append(handler)
        if trainer is not None:
            self.set_trainer(trainer)

    def append(self, handler) -> None:
        last = self.handlers[-1] if self.handlers else None
        if getattr(last, "runs_last", False):
            raise ValueError(
                f"{type(last).__name__} must be the last handler, since it saves what the "
                f"others did; put {type(handler).__name__} before it"
            )
        if handler is self:
            raise ValueError("a CallbackList cannot hold itself")
        self.handlers.append(handler)

    def set_trainer(self, trainer) -> None:
        for handler in self.handlers:
            set_trainer = getattr(handler, "set_trainer", None)
            if callable(set_trainer):
                set_trainer(trainer)

    def _call(self, hook, *args, **kwargs):
        for handler in self.handlers:
            method = getattr(handler, hook, None)
            if method is not None:
                method(*args, **kwargs)

    def on_train_start(self, epochs):
        self._call("on_train_start", epochs=epochs)

    def on_evaluation_start(self):
        self._call("on_evaluation_start")

    def on_evaluaiton_end(self, metrics):
        self._call("on_evaluaiton_end", metrics=metrics)

    def on_epoch_start(self, epoch):
        self._call("on_epoch_start", epoch=epoch)

    def on_step_start(self, step):
        self._call("on_step_start", step=step)

    def on_step_end(self, losses, lr):
        self._call("on_step_end", losses=losses, lr=lr)

    def on_model_save(self, model):
        self._call("on_model_save", model)

    def on_epoch_end(self, losses, metrics):
        self._call("on_epoch_end", losses=losses, metrics=metrics)

    def on_train_end(self):
        self._call("on_train_end")


class EarlyStopping(TessmarkTrainingCallback):
    """Stops the training when the checkpoint metric has not improved for ``patience``
    validation passes in a row.

    The metric is the one the trainer ranks checkpoints by (its ``metric`` argument): the
    handler reads ``trainer.best_value`` after each pass, the best value so far, which the
    pass has just updated. A pass improves when it raises that value by more than
    ``min_delta``; the first pass a handler sees sets the reference. After the epoch whose
    pass made ``patience`` passes without improvement, it sets ``trainer.stop_training``
    and the trainer ends the run. Without an evaluator no pass runs and it never stops.

    Give it the trainer through ``CallbackList([...], trainer=trainer)`` or
    :meth:`set_trainer`. Its state (:meth:`get_state`, :meth:`set_state`) goes into a
    backup with ``backup.register("early_stopping", stopping)``, so that a resumed run
    remembers its patience. Under ``tf.distribute`` every worker holds the chief's best
    value, so all stop after the same epoch.
    """

    def __init__(self, patience: int, min_delta: float = 0.0):
        if int(patience) != patience or patience < 1:
            raise ValueError(f"patience must be a whole number of at least 1, not {patience!r}")
        if not min_delta >= 0.0:
            raise ValueError(f"min_delta must be 0 or more, not {min_delta!r}")
        self.patience = int(patience)
        self.min_delta = float(min_delta)
        self.trainer = None
        self.best: float | None = None  # the value the next pass must beat by min_delta
        self.wait = 0  # passes since the last improvement
        self.stopped_epoch: int | None = None
        self._epoch = 0

    def set_trainer(self, trainer) -> None:
        self.trainer = trainer

    def get_state(self) -> dict:
        return {"best": self.best, "wait": self.wait, "stopped_epoch": self.stopped_epoch}

    def set_state(self, state: Mapping) -> None:
        self.best, self.wait = state["best"], int(state["wait"])
        self.stopped_epoch = state["stopped_epoch"]

    def on_train_start(self, epochs):
        if self.trainer is None:
            raise RuntimeError(
                "EarlyStopping has no trainer: pass CallbackList([...], trainer=trainer), "
                "or call set_trainer(trainer) before train"
            )

    def on_epoch_start(self, epoch):
        self._epoch = epoch

    def on_evaluaiton_end(self, metrics):
        value = float(self.trainer.best_value)
        if self.best is None or value - self.min_delta > self.best:
            self.best, self.wait = value, 0
        else:
            self.wait += 1

    def on_epoch_end(self, losses, metrics):
        if self.wait < self.patience:
            return
        self.stopped_epoch = self._epoch
        self.trainer.stop_training = True
        passes = "pass" if self.patience == 1 else "passes"
        print(
            f"\t - [INFO] Early stopping after epoch {self._epoch}: {self.trainer.metric} has "
            f"not improved on {self.best} for {self.wait} validation {passes} "
            f"(patience {self.patience}, min_delta {self.min_delta})"
        )


class RunProgress(TessmarkTrainingCallback):
    """One line after each epoch on the whole run: "epoch k of N", the time this process
    has trained and an estimate of the time left.

    ``epochs`` is the run's last epoch. The elapsed time counts from ``on_train_start``;
    the estimate is the mean time of the epochs this process trained so far (validation
    and checkpoints included) times the epochs left, so neither the initial validation
    pass nor a resumed run's earlier epochs skew it.
    ``write`` takes each line (default: ``print``). It prints nothing in the epoch loop, so
    the trainer's own bars and lines stay as they are.
    """

    def __init__(self, epochs: int, write=print, clock=time.monotonic):
        self.epochs = int(epochs)
        self.write = write
        self.clock = clock
        self._started: float | None = None
        self._first_epoch: int | None = None
        self._epochs_started = 0.0
        self._epoch = 0

    def on_train_start(self, epochs):
        self._started = self.clock()

    def on_epoch_start(self, epoch):
        self._epoch = epoch
        if self._first_epoch is None:
            self._first_epoch, self._epochs_started = epoch, self.clock()

    def on_epoch_end(self, losses, metrics):
        if self._started is None or self._first_epoch is None:
            return
        now = self.clock()
        per_epoch = (now - self._epochs_started) / (self._epoch - self._first_epoch + 1)
        left = max(self.epochs - self._epoch, 0)
        line = (
            f"\t - [INFO] Epoch {self._epoch} of {self.epochs} done: "
            f"{_clock(now - self._started)} elapsed"
        )
        if left:
            line += f", about {_clock(per_epoch * left)} left for the run"
        self.write(line)


def _clock(seconds: float) -> str:
    """``seconds`` as H:MM:SS."""
    whole = round(seconds)
    return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"


class TrainingDiverged(RuntimeError):
    """A step's "total-loss" was not a finite number; ``epoch``, ``step`` and ``value`` say
    where and what."""

    def __init__(self, epoch: int, step: int, value: float):
        self.epoch, self.step, self.value = epoch, step, value
        super().__init__(
            f'The training diverged: "total-loss" is {value} at epoch {epoch}, step {step}. '
            f"It stopped before anything of epoch {epoch} was written, so the checkpoints, "
            "summary.csv and the backup are those of the last good epoch and the same "
            "command resumes from there; a lower learning rate or a warmup may keep it from "
            "diverging again"
        )


class DivergenceGuard(TessmarkTrainingCallback):
    """Stops the training at the first step whose "total-loss" is NaN or infinite.

    It raises :class:`TrainingDiverged` from ``on_step_end``, so the rest of that epoch
    (its validation, its checkpoints, its backup) never runs and the files stay those of
    the last good epoch: a NaN loss does not go on to overwrite ``last.h5`` with NaN
    weights. It reads the value the progress bar reads at the same point, so it costs no
    extra wait for the device. A step that a ``LossScaleOptimizer`` skips because its
    scaled gradients overflowed has a finite loss and is not a divergence. Put it first
    among the handlers, so that no other sees the step.
    """

    def __init__(self):
        self._epoch, self._step = 0, 0

    def on_epoch_start(self, epoch):
        self._epoch = epoch

    def on_step_start(self, step):
        self._step = step

    def on_step_end(self, losses, lr):
        value = as_scalar(losses.get("total-loss"))
        if value is not None and not math.isfinite(value):
            raise TrainingDiverged(self._epoch, self._step, value)


class TensorBoard:
    """The trainer's logger: training losses per step, validation metrics per pass.

    A call without metrics is one training step: its losses are written as
    "train/<key>" at the current step, which then advances. A call with metrics
    is a validation pass: the metrics are written as "validation/<key>" at the
    current step (the number of training steps so far), and the losses are not
    written again, since the step before already wrote them. Values that are
    not single numbers are skipped.

    Training scalars are kept as they come (tensors stay on the device; a
    variable's value is read at its step) and written together, in one graph
    call, every ``write_every`` steps, before each validation pass and by
    :meth:`flush` and :meth:`close`, and at the latest when the interpreter
    exits. The writer is flushed after every pass.

    ``purge_step`` continues a log folder that an interrupted run wrote: before its
    own file, the logger writes TensorBoard's restart marker at that step, and
    TensorBoard then drops the earlier events from that step on, so steps the
    interrupted run wrote after its last backup are not shown twice.
    :class:`corvane.tessmark.runs.TrainingRun` chooses it.
    """

    def __init__(
        self, logdir: str, step: int = 0, write_every: int = 50, purge_step: int | None = None
    ):
        import tensorflow as tf

        if write_every < 1:
            raise ValueError(f"write_every must be at least 1, not {write_every}")
        self.logdir = logdir
        if purge_step is not None:
            _write_restart_marker(logdir, purge_step)
        self.writer = tf.summary.create_file_writer(logdir)
        self.step = step
        self.write_every = write_every
        self._pending: list[tuple[int, dict]] = []
        # One graph per set of tags, taking any number of steps: a graph call per
        # step, and eager summary ops even more so, would cost more per step than
        # the trainer's own work.
        self._graphs: dict = {}
        # A weak reference, so that the exit hook keeps no logger alive.
        self._at_exit = functools.partial(_flush_at_exit, weakref.ref(self))
        atexit.register(self._at_exit)

    def update_metrics(self, metrics: Mapping | None, losses: Mapping | None) -> None:
        if metrics:
            self._pending.append((self.step, self._scalars("validation/", metrics)))
            self.flush()
        else:
            self._pending.append((self.step, self._scalars("train/", losses or {})))
            self.step += 1
            if len(self._pending) >= self.write_every:
                self._write_pending()

    def _scalars(self, prefix: str, values: Mapping) -> dict:
        import tensorflow as tf

        scalars = {}
        for key, value in values.items():
            if type(value) is float:
                scalars[prefix + str(key)] = value
            elif isinstance(value, (tf.Tensor, tf.Variable)):
                if value.shape.rank == 0 and (value.dtype.is_floating or value.dtype.is_integer):
                    # A variable changes later: keep this step's value.
                    is_variable = isinstance(value, tf.Variable)
                    scalars[prefix + str(key)] = value.read_value() if is_variable else value
            else:
                number = as_scalar(value)
                if number is not None:
                    scalars[prefix + str(key)] = number
        return scalars

    def _write_pending(self) -> None:
        import tensorflow as tf

        rows, self._pending = [row for row in self._pending if row[1]], []
        while rows:
            tags = tuple(sorted(rows[0][1]))
            count = next(
                (i for i, (_, s) in enumerate(rows) if tuple(sorted(s)) != tags), len(rows)
            )
            group, rows = rows[:count], rows[count:]
            columns = {tag: _column([scalars[tag] for _, scalars in group]) for tag in tags}
            steps = tf.constant([step for step, _ in group], tf.int64)
            self._graph(tags)(columns, steps)

    def _graph(self, tags: tuple):
        import tensorflow as tf

        if tags not in self._graphs:
            signature = (
                {tag: tf.TensorSpec([None], tf.float32) for tag in tags},
                tf.TensorSpec([None], tf.int64),
            )
            self._graphs[tags] = tf.function(self._write_rows, input_signature=signature)
        return self._graphs[tags]

    def _write_rows(self, columns, steps):
        import tensorflow as tf

        with self.writer.as_default():
            for i in tf.range(tf.shape(steps)[0]):
                # The loop's name scope would otherwise prefix every tag.
                with tf.compat.v1.name_scope(None):
                    for tag in sorted(columns):
                        tf.summary.scalar(tag, columns[tag][i], step=steps[i])

    def flush(self) -> None:
        """Writes what is kept and flushes the writer."""
        self._write_pending()
        self.writer.flush()

    def close(self) -> None:
        atexit.unregister(self._at_exit)
        self._write_pending()
        self.writer.close()


_EVENTS_FILE = re.compile(r"^events\.out\.tfevents\.\d+\.")


def _write_restart_marker(logdir: str, step: int) -> None:
    """TensorBoard's restart marker (``SessionLog`` START events) in a file of its own.

    TensorBoard takes the first START of a log folder for the run's start and every later
    one for a restart: the events read before it whose step is its step or later are
    dropped. Two at the same step make the first restart of a folder a restart too, and
    act as one at any later restart.

    Its file sorts after every earlier events file of the folder and before the new
    writer's (same second, ".0.restart" < ".<n>.v2"), which is the order TensorBoard's
    event loader reads them in. Files are named by the second they were made in, so when
    an earlier file is of this second (a segment restarted in the same process), the
    marker waits for the next one.
    """
    import os
    import socket
    import time

    import tensorflow as tf
    from tensorboard.compat.proto import event_pb2

    os.makedirs(logdir, exist_ok=True)
    seconds = [int(n.split(".")[3]) for n in os.listdir(logdir) if _EVENTS_FILE.match(n)]
    while seconds and int(time.time()) <= max(seconds):
        time.sleep(0.05)
    now = time.time()
    name = f"events.out.tfevents.{int(now)}.{socket.gethostname()}.{os.getpid()}.0.restart"
    start = event_pb2.SessionLog(status=event_pb2.SessionLog.START)
    with tf.io.TFRecordWriter(os.path.join(logdir, name)) as writer:
        for event in (
            event_pb2.Event(wall_time=now, file_version="brain.Event:2"),
            event_pb2.Event(wall_time=now, step=int(step), session_log=start),
            event_pb2.Event(wall_time=now, step=int(step), session_log=start),
        ):
            writer.write(event.SerializeToString())


def _flush_at_exit(reference) -> None:
    logger = reference()
    if logger is not None:
        logger.flush()


def _column(values: list):
    """One float32 vector from a tag's values of several steps (tensors or floats)."""
    import tensorflow as tf

    if all(type(v) is float for v in values):
        return tf.constant(values, tf.float32)
    return tf.stack(
        [
            v if isinstance(v, tf.Tensor) and v.dtype == tf.float32 else tf.cast(v, tf.float32)
            for v in values
        ]
    )
