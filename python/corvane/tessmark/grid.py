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
    holds one object per cell: the first row whose centre falls into a cell is trained on
    there, and a later row in the same cell is left out, since the centre offsets lie in
    [0, 1) and no other cell can point at a centre outside itself.
    :func:`unplaced_objects` counts the rows left out; :func:`target_grid` is the same
    encoding in TensorFlow ops.
    """
    boxes = np.asarray(boxes, np.float32).reshape(-1, 5)
    cells = image_size // stride
    grid = np.zeros((cells, cells, 5 + num_classes), np.float32)
    cell, offsets, placed = _cells(boxes, image_size, stride)
    col, row = cell[placed].T
    sizes = (boxes[:, 2:4] - boxes[:, :2]).astype(np.float64) / image_size
    grid[row, col, 0] = 1.0
    grid[row, col, 1:3] = offsets[placed]
    grid[row, col, 3:5] = sizes[placed]
    grid[row, col, 5 + boxes[placed, 4].astype(np.int64)] = 1.0
    return grid


def unplaced_objects(boxes, image_size: int, stride: int) -> int:
    """How many rows of ``boxes`` the target grid leaves out: those whose centre falls into
    a cell that an earlier row holds (see :func:`encode_targets`)."""
    boxes = np.asarray(boxes, np.float32).reshape(-1, 5)
    return int(len(boxes) - _cells(boxes, image_size, stride)[2].sum())


def _cells(boxes: np.ndarray, image_size: int, stride: int):
    """Each box's cell ``(col, row)``, its centre's offsets in that cell (float64), and
    whether it is the first box of its cell."""
    cells = image_size // stride
    # Doubled centres (x1 + x2) against doubled cell edges: target_grid takes the same
    # steps, so the two encodings agree to the bit.
    doubled = (boxes[:, :2] + boxes[:, 2:4]).astype(np.float64)
    span = 2.0 * stride
    cell = np.clip(np.floor(doubled / span), 0, cells - 1).astype(np.int64)
    offsets = (doubled - span * cell) / span
    placed = np.zeros(len(boxes), bool)
    placed[np.unique(cell[:, 1] * cells + cell[:, 0], return_index=True)[1]] = True
    return cell, offsets, placed


def target_grid(boxes, image_size: int, stride: int, num_classes: int):
    """:func:`encode_targets` in TensorFlow ops, for a ``tf.data`` pipeline: the same grid,
    bit for bit, from the same float32 ``boxes`` (n, 5), the same rows left out."""
    import tensorflow as tf

    boxes = tf.reshape(tf.cast(boxes, tf.float32), [-1, 5])
    cells = image_size // stride
    span = 2.0 * stride
    doubled = tf.cast(boxes[:, :2] + boxes[:, 2:4], tf.float64)
    # Counting the edges at or left of (above) a centre takes no division, so the cell is
    # exact even where a graph optimizer turns a division into a reciprocal product.
    edges = span * tf.range(1, cells, dtype=tf.float64)
    cell = tf.reduce_sum(tf.cast(doubled[..., None] >= edges, tf.int64), axis=-1)
    offsets = (doubled - span * tf.cast(cell, tf.float64)) / span
    sizes = tf.cast(boxes[:, 2:4] - boxes[:, :2], tf.float64) / image_size
    ids = cell[:, 1] * cells + cell[:, 0]
    order = tf.range(tf.size(ids))
    # A box is placed unless an earlier one holds its cell.
    taken = (ids[:, None] == ids[None, :]) & (order[None, :] < order[:, None])
    placed = ~tf.reduce_any(taken, axis=1)
    values = tf.concat(
        [
            tf.ones_like(boxes[:, :1]),
            tf.cast(offsets, tf.float32),
            tf.cast(sizes, tf.float32),
            tf.one_hot(tf.cast(boxes[:, 4], tf.int64), num_classes),
        ],
        axis=1,
    )
    # Each placed box has a cell of its own: scatter_nd's sums meet no second value.
    return tf.scatter_nd(
        tf.boolean_mask(tf.reverse(cell, [1]), placed),
        tf.boolean_mask(values, placed),
        [cells, cells, 5 + num_classes],
    )


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


def decode_grid_graph(grid, height, width, score_threshold, nms_iou):
    """:func:`decode_grid` in TensorFlow ops, for a graph that serves without Python.

    ``grid`` is one (G, G, 5 + C) ``detections`` grid whose class count is known when the
    graph is built; the other arguments may be tensors. Returns the same detections,
    best first, as tensors (boxes (n, 4) float32, scores (n,) float32, classes (n,) int64).
    """
    import tensorflow as tf

    grid = tf.convert_to_tensor(grid, tf.float32)
    rows, cols = tf.shape(grid)[0], tf.shape(grid)[1]
    height, width = tf.cast(height, tf.float64), tf.cast(width, tf.float64)
    row, col = tf.meshgrid(tf.range(rows), tf.range(cols), indexing="ij")
    values = tf.cast(grid, tf.float64)
    # The precision of each step follows numpy's in decode_grid: the centres in float64,
    # the half sizes in float32.
    centre_x = (tf.cast(col, tf.float64) + values[..., 1]) * (width / tf.cast(cols, tf.float64))
    centre_y = (tf.cast(row, tf.float64) + values[..., 2]) * (height / tf.cast(rows, tf.float64))
    half_w = tf.cast(grid[..., 3] * tf.cast(width, tf.float32) / 2, tf.float64)
    half_h = tf.cast(grid[..., 4] * tf.cast(height, tf.float32) / 2, tf.float64)
    corners = [centre_x - half_w, centre_y - half_h, centre_x + half_w, centre_y + half_h]
    limits = [width, height, width, height]
    boxes = tf.stack(
        [tf.clip_by_value(tf.reshape(c, [-1]), 0.0, limit) for c, limit in zip(corners, limits)],
        axis=1,
    )
    boxes = tf.cast(boxes, tf.float32)
    class_probability = tf.reshape(grid[..., 5:], [rows * cols, -1])
    labels = tf.argmax(class_probability, axis=1)
    scores = tf.reshape(grid[..., 0], [-1]) * tf.reduce_max(class_probability, axis=1)

    candidate = scores >= tf.cast(score_threshold, tf.float32)
    keep = []
    for label in range(grid.shape[-1] - 5):
        indices = tf.reshape(tf.where(candidate & (labels == label)), [-1])
        chosen = tf.image.non_max_suppression(
            tf.gather(boxes, indices),
            tf.gather(scores, indices),
            MAX_DETECTIONS,
            iou_threshold=tf.cast(nms_iou, tf.float32),
        )
        keep.append(tf.gather(indices, chosen))
    keep = tf.concat(keep, axis=0)
    # Stable, as the sort in decode_grid: equal scores keep the order of their classes.
    keep = tf.gather(keep, tf.argsort(tf.gather(scores, keep), direction="DESCENDING", stable=True))
    return tf.gather(boxes, keep), tf.gather(scores, keep), tf.gather(labels, keep)


def letterbox_layout(height, width, size: int):
    """:meth:`corvane.tessmark.coco.Letterbox.fit` in TensorFlow ops: ``(new_height,
    new_width, top, left)`` as int32 tensors, for an image size known only in the graph."""
    import tensorflow as tf

    height, width = tf.cast(height, tf.float64), tf.cast(width, tf.float64)
    scale = tf.minimum(size / height, size / width)
    # tf.round rounds halves to even, as Python's round does.
    new_height = tf.clip_by_value(tf.round(height * scale), 1.0, float(size))
    new_width = tf.clip_by_value(tf.round(width * scale), 1.0, float(size))
    new_height, new_width = tf.cast(new_height, tf.int32), tf.cast(new_width, tf.int32)
    return new_height, new_width, (size - new_height) // 2, (size - new_width) // 2


def image_detector(
    network,
    input_size: int,
    channels_first: bool,
    score_threshold: float,
    nms_iou: float,
    decode_graph=decode_grid_graph,
):
    """What :class:`corvane.tessmark.predict.DetectionRunner` does for one image, as one
    graph: a function of an (H, W, 3) uint8 image of any size that returns the dictionary
    ``boxes`` (n, 4) in the image's pixels, ``scores`` (n,) and ``classes`` (n,) int64, best
    first; the letterbox, ``network`` (a checkpoint's) and ``decode_graph`` of its layout
    (:func:`decode_grid_graph`, or the pyramid's
    :func:`~corvane.tessmark.pyramid_decode.decode_pyramid_graph`; see
    :class:`corvane.tessmark.layouts.Layout`).

    Wrap it in ``tf.function`` with an input signature to serve it.
    """
    import tensorflow as tf

    from corvane.tessmark.coco import letterbox_image

    def detect(image):
        height, width = tf.shape(image)[0], tf.shape(image)[1]
        new_height, new_width, top, left = letterbox_layout(height, width, input_size)
        placed = letterbox_image(image, new_height, new_width, top, left, input_size)
        batch = tf.cast(placed[None], tf.float32) / 255.0
        if channels_first:
            batch = tf.transpose(batch, (0, 3, 1, 2))
        output = network(batch, training=False)
        found = (output[0] if isinstance(output, (list, tuple)) else output)[0]
        if channels_first:
            found = tf.transpose(found, (1, 2, 0))
        boxes, scores, classes = decode_graph(
            found, input_size, input_size, score_threshold, nms_iou
        )
        # Back to the image, as Letterbox.boxes_to_image maps them: in float32.
        x_scale = tf.cast(tf.cast(width, tf.float64) / tf.cast(new_width, tf.float64), tf.float32)
        y_scale = tf.cast(tf.cast(height, tf.float64) / tf.cast(new_height, tf.float64), tf.float32)
        x = tf.clip_by_value(
            (boxes[:, 0::2] - tf.cast(left, tf.float32)) * x_scale, 0.0, tf.cast(width, tf.float32)
        )
        y = tf.clip_by_value(
            (boxes[:, 1::2] - tf.cast(top, tf.float32)) * y_scale, 0.0, tf.cast(height, tf.float32)
        )
        boxes = tf.stack([x[:, 0], y[:, 0], x[:, 1], y[:, 1]], axis=1)
        # A box that lay wholly in the fill is empty once clipped; an image of the input's
        # own size is not mapped at all.
        identity = tf.logical_and(tf.equal(height, input_size), tf.equal(width, input_size))
        kept = identity | ((boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1]))
        return {
            "boxes": tf.boolean_mask(boxes, kept),
            "scores": tf.boolean_mask(scores, kept),
            "classes": tf.boolean_mask(classes, kept),
        }

    return detect
