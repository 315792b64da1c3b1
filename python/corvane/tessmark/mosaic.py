"""Mosaic augmentation: four training images in one input, their boxes moved with them.

A mosaic shows a training element and three others. A centre is drawn in the middle half
of the input along each axis; it splits the input into four quadrants, and each image,
scaled by a factor of its own, fills one of them with its corner nearest the centre placed
on the centre, so that the part of it near that corner shows and the rest is cut off at
the input's edge. A quadrant the scaled image does not reach is filled with 0, as the
letterbox fills. Which quadrant each image takes is drawn too.

Each image is resized to a whole number of pixels and placed on whole pixels
(:mod:`corvane.tessmark.placement`), so its boxes follow its pixels exactly; they are then
clipped to its quadrant and dropped by the rule of :mod:`corvane.tessmark.augment` (less
than ``min_size`` pixels of width or height, or less than ``min_visible`` of the moved area,
left). The kept boxes come image by image, the element's own first.

:func:`corvane.tessmark.pyramid_data.batch_pyramid_set` draws which elements become
mosaics and with which others, statelessly by (seed, epoch, index), and can move the
mosaic as a whole with an :class:`~corvane.tessmark.augment.Augmentation` afterwards.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from corvane.tessmark.augment import Augmentation, visible_boxes
from corvane.tessmark.placement import as_image, placed_boxes, placed_pixels

# The range of the centre along each axis, as fractions of the input size.
CENTRE = (0.25, 0.75)
TILES = 4
# Quadrants in the order top left, top right, bottom left, bottom right: whether each lies
# right of and below the centre.
RIGHT = (0.0, 1.0, 0.0, 1.0)
BELOW = (0.0, 0.0, 1.0, 1.0)


@dataclass(frozen=True)
class Mosaic:
    """When and how training elements become mosaics.

    ``probability``: the chance that an element becomes a mosaic. ``scale``: the range of
    each image's scale factor, drawn uniformly on a log scale (at 1 an image keeps the
    input's size, and most of it is cut off; at 0.5 it is half as large). ``last_epoch``: the
    last epoch (counted from 1) with mosaics, None for every epoch; detectors are often
    trained without them for their final epochs, on images as validation sees them.
    ``min_size`` and ``min_visible``: what must remain of a clipped box for it to be kept,
    as in :class:`~corvane.tessmark.augment.Augmentation`.
    """

    probability: float = 1.0
    scale: tuple[float, float] = (0.5, 1.0)
    last_epoch: int | None = None
    min_size: float = Augmentation.min_size
    min_visible: float = Augmentation.min_visible

    def __post_init__(self):
        problems = []
        if not 0 <= self.probability <= 1:
            problems.append(f"probability={self.probability} (0 to 1)")
        low, high = self.scale
        if not 0 < low <= high:
            problems.append(f"scale={self.scale} (a range (low, high) with 0 < low <= high)")
        if self.last_epoch is not None and not (
            type(self.last_epoch) is int and self.last_epoch >= 0
        ):
            problems.append(f"last_epoch={self.last_epoch!r} (an epoch number, or None)")
        if self.min_size < 0:
            problems.append(f"min_size={self.min_size} (pixels, 0 or more)")
        if not 0 <= self.min_visible <= 1:
            problems.append(f"min_visible={self.min_visible} (a fraction of the area, 0 to 1)")
        if problems:
            raise ValueError(f"Mosaic: {'; '.join(problems)}")

    @property
    def used(self) -> bool:
        """Whether any element can become a mosaic."""
        return self.probability > 0 and self.last_epoch != 0

    def chosen(self, seed, epoch):
        """Whether the element of the stateless ``seed`` becomes a mosaic in ``epoch``."""
        import tensorflow as tf

        draw = tf.random.stateless_uniform([], seed, dtype=tf.float64)
        chosen = draw < self.probability
        if self.last_epoch is not None:
            chosen &= tf.cast(epoch, tf.int64) <= self.last_epoch
        return chosen

    def compose(self, images, boxes, seed):
        """The mosaic of ``images`` (4, S, S, C), the element first, by the draw of ``seed``
        (a stateless seed, two integers): ``(image (S, S, C), boxes (n, 5))``.

        ``boxes`` (4, m, 5) holds each image's float32 rows ``[x1, y1, x2, y2,
        class_index]`` in its pixels; rows of a negative class are padding and left out.
        """
        import tensorflow as tf

        images = tf.convert_to_tensor(images)
        size = images.shape[1]
        if images.shape[0] != TILES or size is None or size != images.shape[2]:
            raise ValueError(
                f"a mosaic needs {TILES} square images of a known size, not {images.shape}"
            )
        boxes = tf.reshape(tf.cast(boxes, tf.float32), [TILES, -1, 5])
        # In float64, rounded to whole pixels: each image is resized to a whole size and
        # placed on whole pixels, so that its boxes land on its pixels exactly.
        draw = tf.random.stateless_uniform([2 + 2 * TILES], seed, dtype=tf.float64)
        low, high = CENTRE
        centre_x, centre_y = tf.unstack(tf.round((low + (high - low) * draw[:2]) * size))
        low, high = (math.log(bound) for bound in self.scale)
        sizes = tf.maximum(tf.round(tf.exp(low + (high - low) * draw[2 : 2 + TILES]) * size), 1.0)
        tile_of_quadrant = tf.argsort(draw[2 + TILES :])

        right, below = tf.constant(RIGHT, tf.float64), tf.constant(BELOW, tf.float64)
        windows = tf.stack(
            [
                centre_x * right,
                centre_y * below,
                centre_x + (size - centre_x) * right,
                centre_y + (size - centre_y) * below,
            ],
            axis=1,
        )
        # Each image's corner nearest the centre lies on the centre.
        left = centre_x - (1 - right) * sizes
        top = centre_y - (1 - below) * sizes
        quadrants = [
            placed_pixels(images[tile_of_quadrant[k]], sizes[k], False, left[k], top[k], windows[k])
            for k in range(TILES)
        ]
        mosaic = tf.concat(
            [tf.concat(quadrants[:2], axis=1), tf.concat(quadrants[2:], axis=1)], axis=0
        )

        # The boxes image by image, the element's first.
        quadrant = tf.math.invert_permutation(tile_of_quadrant)
        moved = placed_boxes(
            boxes,
            size,
            tf.gather(sizes, quadrant),
            False,
            tf.gather(left, quadrant),
            tf.gather(top, quadrant),
        )
        window = tf.gather(windows, quadrant)[:, None]
        clipped, keep = visible_boxes(moved, window, self.min_size, self.min_visible)
        keep &= boxes[..., 4] >= 0
        kept = tf.concat([tf.cast(clipped, tf.float32), boxes[..., 4:]], axis=-1)
        return as_image(mosaic, images.dtype, images.shape[1:]), tf.boolean_mask(kept, keep)
