"""Training-time augmentation: random horizontal flips and scale/shift jitter in ``tf.data``.

``batch_training_set(elements, ..., augment=Augmentation())`` moves every training image
of a pass with one draw of its own and its boxes with it, then makes its target grid
again from the moved boxes (:func:`corvane.tessmark.grid.target_grid`, the same grid as
``encode_targets``). Validation samples are never augmented.

Boxes follow the pixels exactly: a box is mirrored, scaled about the input's centre and
shifted as its image is, then clipped to the input. A clipped box is dropped when less
than ``min_size`` pixels of its width or height, or less than ``min_visible`` of its moved
area, remain inside.

The draws are stateless: element ``i`` of epoch ``k`` of a run seeded with ``seed`` is
moved by the draw of :func:`element_seed` ``(seed, k, i)``, whatever ran before. So an
augmented epoch is the same in every run, a resumed one included, as the batch order is.
"""

from __future__ import annotations

import math
from dataclasses import dataclass


@dataclass(frozen=True)
class Augmentation:
    """How training images are moved; the defaults suit the demo's shapes.

    ``flip``: the probability of a horizontal flip. ``scale``: the range of the scale
    factor, drawn uniformly on a log scale (above 1 zooms in). ``shift``: the largest
    shift along each axis, as a fraction of the input size. ``min_size`` (pixels) and
    ``min_visible`` (a fraction of the moved box's area): what must remain of a clipped
    box for it to be kept.
    """

    flip: float = 0.5
    scale: tuple[float, float] = (0.75, 1.25)
    shift: float = 0.1
    min_size: float = 2.0
    min_visible: float = 0.2

    def __post_init__(self):
        problems = []
        if not 0 <= self.flip <= 1:
            problems.append(f"flip={self.flip} (a probability, 0 to 1)")
        low, high = self.scale
        if not 0 < low <= high:
            problems.append(f"scale={self.scale} (a range (low, high) with 0 < low <= high)")
        if not 0 <= self.shift < 1:
            problems.append(f"shift={self.shift} (a fraction of the input size, 0 to below 1)")
        if self.min_size < 0:
            problems.append(f"min_size={self.min_size} (pixels, 0 or more)")
        if not 0 <= self.min_visible <= 1:
            problems.append(f"min_visible={self.min_visible} (a fraction of the area, 0 to 1)")
        if problems:
            raise ValueError(f"Augmentation: {'; '.join(problems)}")

    def transform(self, image, boxes, seed):
        """``image`` (S, S, C) and its ``boxes`` (n, 5) float32 rows ``[x1, y1, x2, y2,
        class_index]`` in its pixels, moved by the draw of ``seed`` (a stateless seed, two
        integers): ``(image, boxes)``, the boxes that are kept in their original order.
        """
        import tensorflow as tf

        image = tf.convert_to_tensor(image)
        boxes = tf.reshape(tf.cast(boxes, tf.float32), [-1, 5])
        size = image.shape[0]
        if size is None or size != image.shape[1]:
            raise ValueError(f"augmentation needs square images of a known size, not {image.shape}")
        mirror, scale, to_x, to_y = self.draw(seed, size)
        centre = size / 2

        # A point (x, y) of the input, pixel i covering [i, i + 1), goes to
        # (to_x + mirror * scale * (x - centre), to_y + scale * (y - centre)). The
        # transform op asks the reverse, from output to input pixel indices.
        transform = [
            mirror / scale,
            0.0,
            centre - 0.5 + mirror * (0.5 - to_x) / scale,
            0.0,
            1 / scale,
            centre - 0.5 + (0.5 - to_y) / scale,
            0.0,
            0.0,
        ]
        pixels = tf.raw_ops.ImageProjectiveTransformV3(
            images=tf.cast(image, tf.float32)[None],
            transforms=tf.cast(tf.stack(transform), tf.float32)[None],
            output_shape=[size, size],
            fill_value=0.0,
            interpolation="BILINEAR",
            fill_mode="CONSTANT",
        )[0]
        if image.dtype.is_integer:
            pixels = tf.round(pixels)
        image = tf.ensure_shape(tf.saturate_cast(pixels, image.dtype), image.shape)

        corners = tf.cast(boxes[:, :4], tf.float64)
        xs = to_x + mirror * scale * (corners[:, 0::2] - centre)
        ys = to_y + scale * (corners[:, 1::2] - centre)
        low_x, high_x = tf.reduce_min(xs, axis=1), tf.reduce_max(xs, axis=1)
        low_y, high_y = tf.reduce_min(ys, axis=1), tf.reduce_max(ys, axis=1)
        moved = tf.stack([low_x, low_y, high_x, high_y], axis=1)
        clipped, keep = visible_boxes(
            moved, [0.0, 0.0, size, size], self.min_size, self.min_visible
        )
        kept = tf.concat([tf.cast(clipped, tf.float32), boxes[:, 4:]], axis=1)
        return image, tf.boolean_mask(kept, keep)

    def draw(self, seed, size: int):
        """The flip (-1 or 1), the scale and where the input's centre goes ``(x, y)``, drawn
        by ``seed``."""
        import tensorflow as tf

        # In float64, rounded once at the end: a graph optimizer may regroup the sums
        # and products, and an eager call then still agrees with the pipeline.
        draw = tf.random.stateless_uniform([4], seed, dtype=tf.float64)
        mirror = 1 - 2 * tf.cast(draw[0] < self.flip, tf.float64)
        low, high = (math.log(bound) for bound in self.scale)
        scale = tf.exp(low + (high - low) * draw[1])
        to_x, to_y = tf.unstack(size / 2 + (2 * draw[2:] - 1) * (self.shift * size))
        return mirror, scale, to_x, to_y


def visible_boxes(moved, window, min_size: float, min_visible: float):
    """Moved boxes (..., 4) float64 ``[x1, y1, x2, y2]`` clipped to ``window`` (..., 4),
    ``[x1, y1, x2, y2]`` broadcast against them: ``(clipped, keep)``, ``keep`` true where
    at least ``min_size`` pixels of the width and of the height, and ``min_visible`` of the
    moved area, remain inside."""
    import tensorflow as tf

    window = tf.cast(window, tf.float64)
    low, high = window[..., :2], window[..., 2:]
    clipped = tf.clip_by_value(moved, tf.concat([low, low], -1), tf.concat([high, high], -1))
    width, height = clipped[..., 2] - clipped[..., 0], clipped[..., 3] - clipped[..., 1]
    full_area = (moved[..., 2] - moved[..., 0]) * (moved[..., 3] - moved[..., 1])
    keep = (width >= min_size) & (height >= min_size) & (width * height >= min_visible * full_area)
    return clipped, keep


def element_seed(seed, epoch, index):
    """The stateless seed of the draw that moves element ``index`` in epoch ``epoch`` of a
    run seeded with ``seed``."""
    import tensorflow as tf

    key = tf.stack([tf.cast(seed, tf.int64), tf.cast(epoch, tf.int64)])
    return tf.random.experimental.stateless_fold_in(key, tf.cast(index, tf.int64))
