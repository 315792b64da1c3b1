"""Detections from the ``detections`` output of a pyramid network
(:mod:`corvane.tessmark.pyramid`): one image's (A, 1, 4 + C) channels-last array (or its
(A, 4 + C) rows), boxes as fractions of the input's width (x) and height (y), then class
scores. A channels-first checkpoint's (4 + C, A, 1) is transposed back first, as a grid's is.

Each location gives at most one detection, of its best class; non-maximum suppression is
class-aware by moving each box by ``class * (max(height, width) + 1)`` pixels, so boxes of
different classes never overlap and one suppression over all of them does the work of one
per class. That suppression (``NonMaxSuppressionV5``) is one of TFLite's builtin operations
and ONNX's ``NonMaxSuppression``, where ``tf.image.combined_non_max_suppression`` is
neither, so :func:`decode_pyramid_graph` serves in a SavedModel signature, a TFLite file of
builtin operations and an ONNX graph alike. At most ``MAX_DETECTIONS`` per image are kept.
"""

from __future__ import annotations

import numpy as np

from corvane.tessmark.grid import MAX_DETECTIONS, Detections


def decode_pyramid_graph(detections, height, width, score_threshold, nms_iou):
    """Detections of one image's ``detections``, (A, 1, 4 + C) or (A, 4 + C), of an input
    of ``height`` x ``width`` pixels, in TensorFlow operations: boxes clipped to the input,
    locations scoring below ``score_threshold`` dropped, then non-maximum suppression at
    ``nms_iou``. The boxes are scaled to the input by ``width`` and ``height``.

    The arguments may be tensors. Returns boxes (n, 4) float32 ``[x1, y1, x2, y2]``, scores
    (n,) float32 and classes (n,) int64, best first.
    """
    import tensorflow as tf

    detections = tf.convert_to_tensor(detections, tf.float32)
    detections = tf.reshape(detections, [-1, tf.shape(detections)[-1]])
    height = tf.cast(height, tf.float32)
    width = tf.cast(width, tf.float32)
    limits = tf.stack([width, height, width, height])
    boxes = tf.clip_by_value(detections[:, :4] * limits, 0.0, limits)
    class_scores = detections[:, 4:]
    scores = tf.reduce_max(class_scores, axis=1)
    classes = tf.argmax(class_scores, axis=1)
    shifted = boxes + (tf.cast(classes, tf.float32) * (tf.maximum(height, width) + 1.0))[:, None]
    # Scores lie in [0, 1]; those below the threshold become -1, which the suppression's
    # own threshold (strictly above -0.5) drops: a score equal to the threshold stays.
    kept_scores = tf.where(scores >= tf.cast(score_threshold, tf.float32), scores, -1.0)
    # The padded form, cut to its count here: TFLite's kernel always pads its output, so
    # the unpadded form would come back from a TFLite file with padding rows.
    keep, _, count = tf.raw_ops.NonMaxSuppressionV5(
        boxes=shifted,
        scores=kept_scores,
        max_output_size=MAX_DETECTIONS,
        iou_threshold=tf.cast(nms_iou, tf.float32),
        score_threshold=-0.5,
        soft_nms_sigma=0.0,
        pad_to_max_output_size=True,
    )
    keep = keep[:count]
    return tf.gather(boxes, keep), tf.gather(scores, keep), tf.gather(classes, keep)


def decode_pyramid(
    detections: np.ndarray, height: int, width: int, score_threshold: float, nms_iou: float
) -> Detections:
    """:func:`decode_pyramid_graph` for one image's numpy ``detections``, as
    :func:`corvane.tessmark.grid.decode_grid` is for a grid: the same arguments, the same
    :class:`~corvane.tessmark.grid.Detections`, best first."""
    boxes, scores, classes = decode_pyramid_graph(
        np.asarray(detections, np.float32), height, width, score_threshold, nms_iou
    )
    return Detections(
        boxes.numpy().reshape(-1, 4), scores.numpy(), classes.numpy().astype(np.int64)
    )
