"""The loss object, the grid head and the runner as the trainer uses them (inside a compiled
step)."""

import numpy as np
import pytest
import tensorflow as tf

from corvane.demo import data
from corvane.demo.model import build_detector
from corvane.tessmark.grid import encode_targets, export_network
from corvane.tessmark.losses import TessmarkLoss, generalized_iou
from corvane.tessmark.predict import DetectionRunner

KEYS = {"total-loss", "localization-loss", "classification-loss", "objectness-loss"}
BOXES = [
    np.array([[8, 16, 24, 32, 2], [40, 2, 60, 30, 0]], np.float32),
    np.array([[30, 30, 50, 44, 1]], np.float32),
]


def targets():
    return tf.constant(np.stack([encode_targets(b, 64, 8, 3) for b in BOXES]))


def exact_logits(grid, confidence=12.0):
    """Training outputs that reproduce ``grid`` up to sigmoid/softmax saturation."""
    grid = np.asarray(grid)
    box = np.clip(grid[..., :5], 1e-5, 1 - 1e-5)
    box_logits = np.log(box / (1 - box))
    box_logits[..., 0] = np.where(grid[..., 0] > 0, confidence, -confidence)
    class_logits = confidence * grid[..., 5:]
    return tf.constant(box_logits, tf.float32), tf.constant(class_logits, tf.float32)


class TestLoss:
    @pytest.mark.parametrize("container", [tuple, list])
    def test_dict_of_four_scalars_under_tf_function(self, container):
        loss = TessmarkLoss()
        box, cls = exact_logits(targets())
        decoded = tf.zeros((2, 8, 8, 8))

        @tf.function
        def step(batch_targets, predictions):
            return loss.compute_loss(batch_targets, predictions)

        result = step(container([targets()]), (box + 1.0, cls, decoded))
        assert type(result) is dict and set(result) == KEYS
        assert all(value.shape == () for value in result.values())
        parts = sum(float(result[k]) for k in KEYS - {"total-loss"})
        assert float(result["total-loss"]) == pytest.approx(parts, rel=1e-6)

    def test_exact_predictions_cost_almost_nothing_and_errors_cost_more(self):
        loss = TessmarkLoss()
        box, cls = exact_logits(targets())
        exact = loss.compute_loss((targets(),), (box, cls))
        assert all(float(value) < 1e-3 for value in exact.values())

        shifted = box + tf.constant([0, 1.0, 0, 0, 0])  # centre x off
        wrong_class = tf.roll(cls, shift=1, axis=-1)
        missed = box - tf.constant([30.0, 0, 0, 0, 0])  # objectness off everywhere
        for predictions, key in [
            ((shifted, cls), "localization-loss"),
            ((box, wrong_class), "classification-loss"),
            ((missed, cls), "objectness-loss"),
        ]:
            hurt = loss.compute_loss((targets(),), predictions)
            assert float(hurt[key]) > 0.1, key
            others = KEYS - {key, "total-loss"}
            assert all(float(hurt[k]) < 1e-3 for k in others), key

    def test_empty_cells_only_count_for_objectness(self):
        loss = TessmarkLoss()
        box, cls = exact_logits(targets())
        empty = targets()[..., 0:1] == 0
        noisy_box = tf.where(empty, box + tf.constant([0, 5.0, -5.0, 3.0, 3.0]), box)
        noisy_cls = tf.where(empty, -cls + 7.0, cls)
        result = loss.compute_loss((targets(),), (noisy_box, noisy_cls))
        assert float(result["localization-loss"]) < 1e-3
        assert float(result["classification-loss"]) < 1e-3

    def test_generalized_iou_by_hand(self):
        cells = tf.constant([8.0, 8.0])
        # boxes as (x offset, y offset, w, h) in image fractions; 1/8 = one cell
        same = tf.constant([0.5, 0.5, 0.25, 0.25])
        half = tf.constant([0.5, 0.75, 0.25, 0.125])  # lower half of ``same``
        apart = tf.constant([0.25, 0.5, 0.0625, 0.125])  # 0.5 x 1 cells, gap of 0.25
        right = tf.constant([0.75, 0.5, 0.0625, 0.125])
        assert float(generalized_iou(same, same, cells)) == pytest.approx(1.0, abs=1e-6)
        assert float(generalized_iou(half, same, cells)) == pytest.approx(0.5, abs=1e-6)
        # no overlap; union 1, hull 1 x 1 -> 0 - (1 - 1) / 1 = 0
        assert float(generalized_iou(apart, right, cells)) == pytest.approx(0.0, abs=1e-6)
        far = tf.constant([0.75 + 1, 0.5, 0.0625, 0.125])
        # union 1, hull 2 x 1 = 2 -> -(2 - 1) / 2
        assert float(generalized_iou(apart, far, cells)) == pytest.approx(-0.5, abs=1e-6)


class TestDetector:
    @pytest.fixture(scope="class")
    def model(self):
        tf.keras.utils.set_random_seed(1)
        return build_detector()

    def test_outputs_and_regularisation(self, model):
        assert len(model.outputs) == 3 and len(model.inputs) == 1
        assert model.input.shape.as_list() == [None, 64, 64, 3]
        assert model.losses and float(tf.reduce_sum(model.losses)) > 0
        export = export_network(model)
        assert len(export.outputs) == 1
        grid = export(np.random.default_rng(0).random((2, 64, 64, 3)), training=False).numpy()
        assert grid.shape == (2, 8, 8, 8)
        assert ((grid >= 0) & (grid <= 1)).all()
        assert grid[..., 5:].sum(axis=-1) == pytest.approx(np.ones((2, 8, 8)), abs=1e-5)

    def test_learns_a_batch_in_the_trainers_step(self, model):
        # The trainer's step: raw pixels / 255, tuple outputs, L2 added for the gradient.
        shapes = data.make_shapes(8, seed=3)
        batch = next(iter(data.training_dataset(shapes, batch_size=8, seed=0)))
        loss = TessmarkLoss()
        optimizer = tf.keras.optimizers.Adam(3e-3)

        @tf.function
        def train_step(batch):
            images = tf.cast(batch[0], tf.float32) / 255.0
            with tf.GradientTape() as tape:
                losses = loss.compute_loss(batch[1:], tuple(model(images, training=True)))
                full = losses["total-loss"] + tf.reduce_sum(model.losses)
            grads = tape.gradient(full, model.trainable_variables)
            optimizer.apply_gradients(zip(grads, model.trainable_variables, strict=True))
            return losses

        first = train_step(batch)
        for _ in range(40):
            last = train_step(batch)
        assert float(last["total-loss"]) < 0.5 * float(first["total-loss"])

        # The runner sees the trained weights through the shared layers.
        runner = DetectionRunner.from_training_model(model, score_threshold=0.3)
        boxes, labels, scores = runner.run_single_instance(shapes.images[0])
        assert boxes.shape[1] == 4 and len(boxes) == len(labels) == len(scores)
        assert list(scores) == sorted(scores, reverse=True)
        truth = shapes.boxes[0]
        best = boxes[np.argmax(scores)]
        ious = [_iou(best, t[:4]) for t in truth]
        assert max(ious) > 0.5
        assert labels[np.argmax(scores)] == truth[int(np.argmax(ious)), 4]


def _iou(a, b):
    w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = w * h
    return inter / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter)
