"""The demo network and data trained by DetectionTrainer and by Keras `fit`, and tracing counts.

Both sides run the same network (same initial weights), data, loss and optimizer, and the
callbacks that correspond: a progress bar, CSV logging, a best checkpoint and TensorBoard.
With validation on, both run the demo's evaluator over the validation split after each epoch.
"""

import os
import statistics
import time

import tensorflow as tf

from bench.scale import SMOKE, sized
from corvane.demo import data
from corvane.demo.model import build_detector
from corvane.tessmark.callbacks import TensorBoard, TessmarkTrainingCallback
from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.trainer.detection import DetectionTrainer
from corvane.validator.evaluator import DetectionEvaluator


class Silent:
    """stdout sink for the trainer's and Keras' bars: what is drawn, not the terminal, is timed."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def datasets(train_images, validation_images, drop_remainder=False, batch_size=32):
    train = data.make_shapes(train_images, (data.DATA_SEED, data.TRAIN_SPLIT))
    validation = data.make_shapes(validation_images, (data.DATA_SEED, data.VALIDATION_SPLIT))
    train_ds = data.training_dataset(train, batch_size, seed=0)
    if drop_remainder:
        train_ds = train_ds.unbatch().batch(batch_size, drop_remainder=True)
    return train_ds, data.validation_dataset(validation)


def make_trainer(folder, train_ds, weights=None):
    tf.keras.utils.set_random_seed(0)
    model = build_detector()
    if weights is not None:
        model.set_weights(weights)
    trainer = DetectionTrainer(
        model,
        train_ds,
        tf.keras.optimizers.Adam(1e-3),
        TessmarkLoss(),
        TensorBoard(os.path.join(folder, "tb")),
        folder,
        classes=list(data.CLASSES),
        metric="map",
        display=0,
    )
    return trainer, model


def tracing(folder):
    """How often train_step is traced over three epochs of same-shaped batches."""
    rows = []
    for drop, built in ((False, False), (True, False), (True, True)):
        train_ds, _ = datasets(64 if SMOKE else 1000, 16, drop_remainder=drop)
        trainer, model = make_trainer(os.path.join(folder, f"trace-{drop}-{built}"), train_ds)
        if built:
            # Slot variables made inside the first step cost tf.function a second trace.
            trainer.optimizer.build(model.trainable_variables)
        trainer.train(3, train_ds=train_ds)
        count = trainer.train_step.experimental_get_tracing_count()
        what = "equal batches" if drop else "a smaller last batch"
        how = "optimizer built first" if built else "optimizer built in step 1"
        rows.append((f"train_step traces, 3 epochs, {what}, {how}", str(count)))
    return rows


class FitModel(tf.keras.Model):
    """The same step as the trainer's, inside Keras' own training loop."""

    def __init__(self, network, loss):
        super().__init__()
        self.network = network
        self.detection_loss = loss

    def call(self, x, training=False):
        return self.network(x, training=training)

    def train_step(self, batch):
        images = tf.cast(batch[0], tf.float32) / 255.0
        with tf.GradientTape() as tape:
            p = self.network(images, training=True)
            losses = self.detection_loss.compute_loss(batch[1:], tuple(p))
            full = losses["total-loss"] + tf.reduce_sum(self.network.losses)
        grads = tape.gradient(full, self.network.trainable_variables)
        self.optimizer.apply_gradients(zip(grads, self.network.trainable_variables))
        return losses


class EvaluateEachEpoch(tf.keras.callbacks.Callback):
    def __init__(self, evaluator, val_ds):
        super().__init__()
        self.evaluator, self.val_ds = evaluator, val_ds

    def on_epoch_end(self, epoch, logs=None):
        trainer = DetectionTrainer.__new__(DetectionTrainer)
        trainer.classes, trainer.display, trainer.metric = list(data.CLASSES), 0, "map"
        trainer.save_model = lambda val: None
        trainer.run_validation_step(self.val_ds, self.evaluator, epoch)


def run_trainer(folder, train_ds, val_ds, weights, epochs, validate):
    trainer, model = make_trainer(folder, train_ds, weights)
    evaluator = DetectionEvaluator(model) if validate else None
    trainer.train(
        1,
        train_ds=train_ds,
        val_ds=val_ds,
        evaluator=evaluator,
        callback_handler=TessmarkTrainingCallback(),
    )  # tracing, not timed
    trainer.skip_initial_validation = True  # fit has no pass before its first epoch
    start = time.perf_counter()
    trainer.train(
        epochs + 1,
        train_ds=train_ds,
        val_ds=val_ds,
        evaluator=evaluator,
        start=2,
        callback_handler=TessmarkTrainingCallback(),
    )
    return time.perf_counter() - start


def run_fit(folder, train_ds, val_ds, weights, epochs, validate):
    tf.keras.utils.set_random_seed(0)
    network = build_detector()
    network.set_weights(weights)
    model = FitModel(network, TessmarkLoss())
    model.compile(optimizer=tf.keras.optimizers.Adam(1e-3))
    export = tf.keras.Model(network.input, network.outputs[2:])

    class SaveExport(tf.keras.callbacks.ModelCheckpoint):
        def _save_model(self, epoch, batch, logs):
            self.model, real = export, self.model
            try:
                super()._save_model(epoch, batch, logs)
            finally:
                self.model = real

    callbacks = [
        tf.keras.callbacks.CSVLogger(os.path.join(folder, "fit.csv")),
        SaveExport(os.path.join(folder, "fit-best.h5"), monitor="total-loss", save_best_only=True),
        tf.keras.callbacks.TensorBoard(os.path.join(folder, "fit-tb"), update_freq="batch"),
    ]
    if validate:
        evaluator = DetectionEvaluator(network, class_names=data.CLASSES)
        callbacks.append(EvaluateEachEpoch(evaluator, val_ds))
    model.fit(train_ds, epochs=1, verbose=1, callbacks=callbacks)  # tracing, not timed
    start = time.perf_counter()
    model.fit(train_ds, epochs=epochs + 1, initial_epoch=1, verbose=1, callbacks=callbacks)
    return time.perf_counter() - start


def against_fit(folder, quick=False):
    import contextlib
    import sys

    epochs, repeats = (1, 1) if quick else (2, 5)
    train_ds, val_ds = datasets(*sized(quick, (2000, 200), (1000, 50), (64, 4)))
    steps = epochs * sum(1 for _ in train_ds)
    tf.keras.utils.set_random_seed(0)
    weights = build_detector().get_weights()
    rows = []
    for validate in (True,) if SMOKE else (False, True):
        ours, theirs = [], []
        for r in range(repeats):
            with contextlib.redirect_stdout(Silent()), contextlib.redirect_stderr(Silent()):
                base = os.path.join(folder, f"e2e-{validate}-{r}")
                ours.append(run_trainer(base + "-t", train_ds, val_ds, weights, epochs, validate))
                theirs.append(run_fit(base + "-f", train_ds, val_ds, weights, epochs, validate))
            print(f"    run {r}: trainer {ours[-1]:.1f} s, fit {theirs[-1]:.1f} s", file=sys.stderr)
        a, b = steps / statistics.median(ours), steps / statistics.median(theirs)
        best_a, best_b = steps / min(ours), steps / min(theirs)
        label = "on" if validate else "off"
        rows.append(
            (
                f"steps/s, demo network, validation {label}",
                f"{a:.2f} (best {best_a:.2f})",
                f"{b:.2f} (best {best_b:.2f}, fit)",
                f"{a / b:.2f} (best {best_a / best_b:.2f})",
                f"{repeats} alternating runs of {steps} steps, median",
            )
        )
    return rows
