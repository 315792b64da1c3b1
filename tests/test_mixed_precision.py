"""Mixed precision: the training step scales the loss for a LossScaleOptimizer of either
family, so float16 gradients that would underflow do not, and the backup keeps the scale."""

import logging
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.backup import TrainingBackup
from corvane.tessmark.trainer.detection import DetectionTrainer

FAMILIES = {
    "keras": lambda: tf.keras.optimizers.SGD(1.0),
    "legacy": lambda: tf.keras.optimizers.legacy.SGD(1.0),
}
FORGOT = "You forgot to call LossScaleOptimizer.get_scaled_loss()"


def half_precision_network():
    """Three 1x1 convolutions computing in float16, outputs in float32."""
    tf.keras.utils.set_random_seed(3)
    image = tf.keras.Input((4, 4, 3))
    heads = [tf.keras.layers.Conv2D(c, 1, dtype="mixed_float16")(image) for c in (5, 2, 3)]
    return tf.keras.Model(image, [tf.keras.layers.Activation("linear", dtype="float32")(h)
                                  for h in heads])  # fmt: skip


class TinyLoss:
    """A loss so small that its float16 gradients are below float16's smallest number."""

    def compute_loss(self, targets, predictions):
        total = sum(tf.reduce_sum(p) for p in predictions) * 1e-9
        return {"total-loss": total}


BATCH = (tf.constant(np.full((2, 4, 4, 3), 200, np.uint8)), tf.zeros((2, 4, 4, 5)))


def reference_step(model, optimizer, scaled):
    """The step as Keras's loss-scaling recipe writes it (or without scaling)."""

    @tf.function
    def step(images, targets):
        with tf.GradientTape() as tape:
            losses = TinyLoss().compute_loss((targets,), tuple(model(images, training=True)))
            loss = losses["total-loss"] + tf.reduce_sum(model.losses)
            if scaled:
                loss = optimizer.get_scaled_loss(loss)
        grads = tape.gradient(loss, model.trainable_variables)
        if scaled:
            grads = optimizer.get_unscaled_gradients(grads)
        optimizer.apply_gradients(zip(grads, model.trainable_variables))

    step(tf.cast(BATCH[0], tf.float32) / 255.0, BATCH[1])
    return model.get_weights()


@pytest.mark.parametrize("family", FAMILIES)
def test_the_step_scales_the_loss_so_small_gradients_survive(family, tmp_path):
    messages = []
    handler = logging.Handler()
    handler.emit = lambda record: messages.append(record.getMessage())
    tf.get_logger().addHandler(handler)
    try:
        model = half_precision_network()
        start = model.get_weights()
        optimizer = tf.keras.mixed_precision.LossScaleOptimizer(FAMILIES[family]())
        logger = types.SimpleNamespace(writer=None)
        trainer = DetectionTrainer(
            model, None, optimizer, TinyLoss(), logger, str(tmp_path), classes=["a"]
        )
        losses = trainer.train_step(BATCH)
    finally:
        tf.get_logger().removeHandler(handler)
    assert not [m for m in messages if FORGOT in m]
    # The reported loss is the unscaled one, in float32.
    assert losses["total-loss"].dtype == tf.float32 and abs(float(losses["total-loss"])) < 1e-3

    expected = {}
    for scaled in (True, False):
        again = half_precision_network()
        inner = FAMILIES[family]()
        wrapped = tf.keras.mixed_precision.LossScaleOptimizer(inner) if scaled else inner
        expected[scaled] = reference_step(again, wrapped, scaled)
    for mine, reference, unscaled, first in zip(
        model.get_weights(), expected[True], expected[False], start
    ):
        np.testing.assert_array_equal(mine, reference)
        assert np.any(mine != first)  # moved, where the unscaled float16 gradients
        np.testing.assert_array_equal(unscaled, first)  # underflow to zero


@pytest.mark.parametrize("family", FAMILIES)
def test_the_backup_keeps_the_loss_scale(family, tmp_path):
    def setup():
        model = tf.keras.Sequential([tf.keras.Input((2,)), tf.keras.layers.Dense(1)])
        optimizer = tf.keras.mixed_precision.LossScaleOptimizer(FAMILIES[family]())
        trainer = types.SimpleNamespace(
            model=model, optimizer=optimizer, best_value=0.0, summary_rows=[], role=None
        )
        return trainer, TrainingBackup(trainer, tmp_path / "backup")

    trainer, backup = setup()
    backup.restore()
    optimizer, variables = trainer.optimizer, trainer.model.trainable_variables
    for value in (1e36, 1.0):  # an overflow halves the scale; a good step counts
        with tf.GradientTape() as tape:
            loss = optimizer.get_scaled_loss(
                tf.reduce_sum(trainer.model(tf.constant([[value] * 2])))
            )
        grads = optimizer.get_unscaled_gradients(tape.gradient(loss, variables))
        optimizer.apply_gradients(zip(grads, variables))
    assert float(optimizer.loss_scale) == 2.0**14
    backup.save(1)

    again, backup = setup()
    assert backup.restore() == 2
    assert float(again.optimizer.loss_scale) == 2.0**14
    assert int(again.optimizer.dynamic_counter) == int(optimizer.dynamic_counter) == 1
