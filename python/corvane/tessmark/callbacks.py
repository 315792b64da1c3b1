"""Training callbacks, the TensorBoard logger, and what the trainer asks of your objects.

``DetectionTrainer`` owns no numerical code of its own: it calls objects that
the application builds. Any object offering the operations below works; this
package ships a default for the callback handler and the logger, and
:mod:`corvane.demo` shows a complete set.

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
    """

    def __init__(self, logdir: str, step: int = 0, write_every: int = 50):
        import tensorflow as tf

        if write_every < 1:
            raise ValueError(f"write_every must be at least 1, not {write_every}")
        self.logdir = logdir
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
