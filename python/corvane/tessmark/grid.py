"""The grid layout of :class:`~corvane.tessmark.losses.TessmarkLoss`: targets from boxes,
the network head that predicts them, and detections from its output.

A single-scale grid detector divides its square input of ``S`` pixels into ``G x G``
cells of ``stride = S / G`` pixels; the cell that holds an object's centre predicts it.
The network has three outputs, in this order:

``box_logits`` (N, G, G, 5)
    raw objectness, centre offset (x, y) and size (w, h) logits; a training output.
``class_logits`` (N, G, G, C)
    raw class scores; a training output.
``detections`` (N, G, G, 5 + C)
    the same values made readable: sigmoid of the five box channels, softmax of the
    class scores. ``DetectionTrainer`` leaves the two training outputs out of every
    checkpoint (``TRAINING_OUTPUTS``), so ``best.h5`` has this output alone.

Targets (:func:`encode_targets`) and ``detections`` share the channel layout::

    0      objectness (1 in the cell of an object, 0 everywhere else)
    1, 2   centre offset inside the cell, x then y, in [0, 1)
    3, 4   width and height as fractions of the input size
    5 ...  class: one-hot in the targets, probabilities in the detections

Boxes everywhere in the library are rows ``[x1, y1, x2, y2]`` in pixels, ``(x1, y1)`` the
top-left corner, with the class index as a fifth column where there is one.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

# The outputs a network for TessmarkLoss has before its detections.
TRAINING_OUTPUTS = 2
MAX_DETECTIONS = 100


class Detections(NamedTuple):
    """Detections of one image, best first: ``boxes`` (n, 4) ``[x1, y1, x2, y2]`` in pixels,
    ``scores`` (n,) and ``classes`` (n,) class indices."""

    boxes: np.ndarray
    scores: np.ndarray
    classes: np.ndarray


def encode_targets(boxes, image_size: int, stride: int, num_classes: int) -> np.ndarray:
    """The (G, G, 5 + C) float32 target grid of one image of ``image_size`` square pixels.

    ``boxes`` are rows ``[x1, y1, x2, y2, class_index]`` in the input's pixels. The grid
    holds one object per cell: of two objects whose centres fall into one cell, the later
    row is the one trained on.
    """
    cells = image_size // stride
    grid = np.zeros((cells, cells, 5 + num_classes), np.float32)
    for x1, y1, x2, y2, cls in np.asarray(boxes, np.float32).reshape(-1, 5):
        cx, cy = (x1 + x2) / 2 / stride, (y1 + y2) / 2 / stride
        col, row = min(int(cx), cells - 1), min(int(cy), cells - 1)
        grid[row, col, :5] = (
            1.0,
            cx - col,
            cy - row,
            (x2 - x1) / image_size,
            (y2 - y1) / image_size,
        )
        grid[row, col, 5 + int(cls)] = 1.0
    return grid


def detection_head(features, num_classes: int, kernel_regularizer=None) -> list:
    """The three outputs of the layout above on a feature map ``features`` (N, G, G, F).

    Put any backbone in front: ``Model(inputs, detection_head(backbone(inputs), C))`` is a
    network that TessmarkLoss trains and ``DetectionTrainer`` checkpoints. Under a mixed
    precision policy the outputs are float32.
    """
    import tensorflow as tf

    layers = tf.keras.layers

    def conv(channels, name):
        return layers.Conv2D(channels, 1, kernel_regularizer=kernel_regularizer, name=name)(
            features
        )

    box_logits = conv(5, "box_logits")
    class_logits = conv(num_classes, "class_logits")
    # Under mixed precision the outputs are float32, for the loss and the export.
    out = None if tf.keras.mixed_precision.global_policy().compute_dtype == "float32" else "float32"
    if out:
        box_logits = layers.Activation("linear", dtype=out)(box_logits)
        class_logits = layers.Activation("linear", dtype=out)(class_logits)
    detections = layers.Concatenate(name="detections", dtype=out)(
        [
            layers.Activation("sigmoid", dtype=out)(box_logits),
            layers.Softmax(dtype=out)(class_logits),
        ]
    )
    return [box_logits, class_logits, detections]


def export_network(model):
    """``model`` without its training outputs: the network a checkpoint holds.

    It shares ``model``'s layers and weights, so it follows the training.
    """
    import tensorflow as tf

    return tf.keras.Model(model.input, model.outputs[TRAINING_OUTPUTS:])


def decode_grid(
    grid: np.ndarray, height: int, width: int, score_threshold: float, nms_iou: float
) -> Detections:
    """Detections from one (G, G, 5 + C) ``detections`` grid, in pixels of an input of
    ``height`` x ``width``.

    A cell's score is its objectness times its best class probability; cells scoring
    below ``score_threshold`` are dropped, then non-maximum suppression at ``nms_iou``
    keeps at most ``MAX_DETECTIONS`` per class.
    """
    import tensorflow as tf

    grid = np.asarray(grid)
    rows, cols = grid.shape[:2]
    row, col = np.mgrid[0:rows, 0:cols]
    centre_x = (col + grid[..., 1]) * (width / cols)
    centre_y = (row + grid[..., 2]) * (height / rows)
    half_w, half_h = grid[..., 3] * width / 2, grid[..., 4] * height / 2
    boxes = np.stack([centre_x - half_w, centre_y - half_h, centre_x + half_w, centre_y + half_h])
    boxes = np.clip(boxes.reshape(4, -1).T, 0, [width, height, width, height])
    class_probability = grid[..., 5:].reshape(rows * cols, -1)
    labels = class_probability.argmax(axis=1)
    scores = grid[..., 0].reshape(-1) * class_probability.max(axis=1)

    keep = []
    for label in np.unique(labels[scores >= score_threshold]):
        (candidates,) = np.nonzero((labels == label) & (scores >= score_threshold))
        chosen = tf.image.non_max_suppression(
            boxes[candidates], scores[candidates], MAX_DETECTIONS, iou_threshold=nms_iou
        )
        keep.extend(candidates[chosen.numpy()])
    keep = np.array(sorted(keep, key=lambda i: -scores[i]), dtype=np.int64)
    return Detections(
        boxes[keep].astype(np.float32).reshape(-1, 4),
        scores[keep].astype(np.float32),
        labels[keep].astype(np.int64),
    )
