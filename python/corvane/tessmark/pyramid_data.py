"""Training data for the pyramid layout: images with their boxes padded to a fixed count.

An element is ``(image, boxes)``: the (S, S, C) uint8 image with raw 0..255 values at the
network's square input size, and a (max_boxes, 5) float32 array of rows ``[x1, y1, x2, y2,
class_index]`` in the input's pixels, followed by padding rows ``[0, 0, 0, 0, -1]`` (a
negative class). :func:`pyramid_training_elements` makes them from arrays and
:func:`pyramid_dataset_elements` from any reader's :class:`~corvane.tessmark.coco.CocoDataset`
(COCO, YOLO, Pascal VOC), letterboxed as :func:`corvane.tessmark.data.coco_training_elements`
does; crowd regions and VOC's difficult objects are left out, as there. An image with more
objects than ``max_boxes`` keeps its first ``max_boxes``; the producers warn once per set
with the count and keep it (:class:`PaddedBoxes`).

:func:`batch_pyramid_set` batches them in an order that depends only on a seed and the
epoch, as :func:`corvane.tessmark.data.batch_training_set` does for the grid, and can make
mosaics (:mod:`corvane.tessmark.mosaic`) and move every image with its boxes
(:mod:`corvane.tessmark.augment`), each element by a draw of (seed, epoch, its index).
"""

from __future__ import annotations

import heapq
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from corvane.tessmark.coco import CocoDataset, Letterbox, decode_image, letterbox_image
from corvane.tessmark.data import CACHE_LIMIT, _image_slices, _naming_failures

MAX_BOXES = 100
PADDING = (0.0, 0.0, 0.0, 0.0, -1.0)


@dataclass(frozen=True)
class PaddedBoxes:
    """How many objects the padded boxes of training elements hold and leave out.

    The datasets that :func:`pyramid_training_elements` and :func:`pyramid_dataset_elements`
    return keep it as their ``padded_boxes`` attribute. ``counts`` holds each image's
    number of objects before padding; those past the first ``max_boxes`` of their image
    are not trained on (``truncated``). The producers warn once when there are any;
    ``message`` is that warning's text.
    """

    counts: tuple[int, ...] = field(repr=False)
    image_size: int
    max_boxes: int

    @property
    def objects(self) -> int:
        return sum(self.counts)

    @property
    def truncated(self) -> int:
        return sum(max(0, count - self.max_boxes) for count in self.counts)

    @property
    def message(self) -> str:
        crowded = sum(count > self.max_boxes for count in self.counts)
        return (
            f"{crowded} training images hold more than max_boxes={self.max_boxes} objects: "
            f"{self.truncated} of {self.objects} objects are not trained on (those past the "
            f"first {self.max_boxes} of their image); max_boxes={max(self.counts)} keeps them all"
        )

    def mosaic_objects(self) -> int:
        """The most objects a mosaic can hold: those of the four most crowded images."""
        return sum(heapq.nlargest(4, (min(c, self.max_boxes) for c in self.counts)))


def pad_boxes(boxes, max_boxes: int = MAX_BOXES) -> np.ndarray:
    """Rows ``[x1, y1, x2, y2, class_index]`` as a (max_boxes, 5) float32 array: the first
    ``max_boxes`` rows, then padding rows ``[0, 0, 0, 0, -1]``."""
    boxes = np.asarray(boxes, np.float32).reshape(-1, 5)[:max_boxes]
    padded = np.tile(np.float32(PADDING), (max_boxes, 1))
    padded[: len(boxes)] = boxes
    return padded


def _padded_boxes(boxes: Sequence, image_size: int, max_boxes: int):
    """The padded boxes of per-image ``boxes`` and their :class:`PaddedBoxes`; warns about the
    objects left out."""
    if not (isinstance(max_boxes, int) and max_boxes >= 1):
        raise ValueError(f"max_boxes must be a whole number of boxes, 1 or more, not {max_boxes!r}")
    rows = []
    for index, box in enumerate(boxes):
        box = np.asarray(box, np.float32)
        if box.size and (box.ndim != 2 or box.shape[1] != 5):
            raise ValueError(
                f"boxes of image {index}: rows [x1, y1, x2, y2, class_index] are needed, "
                f"not an array of shape {box.shape}"
            )
        classes = box.reshape(-1, 5)[:, 4]
        if np.any(classes < 0) or np.any(classes != np.round(classes)):
            # A negative class marks padding: such a row would vanish silently.
            raise ValueError(f"boxes of image {index}: class indices must be whole numbers >= 0")
        rows.append(box.reshape(-1, 5))
    counts = PaddedBoxes(tuple(len(r) for r in rows), image_size, max_boxes)
    if counts.truncated:
        # Where the producer was called, not here.
        warnings.warn(counts.message, UserWarning, stacklevel=3)
    padded = np.stack([pad_boxes(r, max_boxes) for r in rows]) if rows else None
    if padded is None:
        padded = np.zeros((0, max_boxes, 5), np.float32)
    return padded, counts


def _keeping(elements, counts: PaddedBoxes):
    elements.padded_boxes = counts
    return elements


def pyramid_training_elements(images, boxes: Sequence, max_boxes: int = MAX_BOXES):
    """Unbatched ``(image, padded boxes)`` elements from arrays, with their ``padded_boxes``
    (:class:`PaddedBoxes`).

    ``images`` is (N, S, S, C) uint8 at the network's square input size; ``boxes`` holds
    one array of rows ``[x1, y1, x2, y2, class_index]`` in pixels per image.
    """
    import tensorflow as tf

    images = np.asarray(images)
    if images.ndim != 4 or images.shape[1] != images.shape[2]:
        raise ValueError(
            f"training images must be (N, S, S, C) at the network's square input size, "
            f"not {images.shape}; images of other sizes: letterbox them, or use a CocoDataset"
        )
    if len(boxes) != len(images):
        raise ValueError(f"{len(images)} images but {len(boxes)} box arrays")
    padded, counts = _padded_boxes(boxes, images.shape[1], max_boxes)
    return _keeping(tf.data.Dataset.from_tensor_slices((images, padded)), counts)


def pyramid_dataset_elements(
    dataset: CocoDataset, image_size: int, max_boxes: int = MAX_BOXES, cache: bool | None = None
):
    """Unbatched ``(letterboxed image, padded boxes)`` elements of a dataset that any reader
    returned, in its image order, with their ``padded_boxes`` (:class:`PaddedBoxes`).

    Images are read, decoded and letterboxed to ``image_size`` square pixels in the
    pipeline, their boxes mapped with the same letterbox. With ``cache`` the decoded
    elements are kept in memory after the first epoch; by default when they take at most
    ``CACHE_LIMIT`` bytes.
    """
    import tensorflow as tf

    fits = [Letterbox.fit(image.height, image.width, image_size) for image in dataset.images]
    padded, counts = _padded_boxes(
        [fit.boxes_to_input(image.boxes) for fit, image in zip(fits, dataset.images)],
        image_size,
        max_boxes,
    )
    layout = np.array([(f.new_height, f.new_width, f.top, f.left) for f in fits], np.int32)

    def load(position, path, orientation, layout, boxes):
        image = decode_image(path, orientation)
        return position, letterbox_image(image, *tf.unstack(layout), size=image_size), boxes

    ds = _image_slices(dataset, layout.reshape(-1, 4), padded)
    # Parallel decoding in the dataset's order; a file that stops decoding mid-run is named.
    ds = _naming_failures(ds.map(load, num_parallel_calls=tf.data.AUTOTUNE), dataset)
    if cache is None:
        cache = len(dataset) * (image_size * image_size * 3 + padded[0].nbytes) <= CACHE_LIMIT
    return _keeping(ds.cache() if cache else ds, counts)


def batch_pyramid_set(elements, batch_size: int, seed: int, epoch=None, augment=None, mosaic=None):
    """Batches ``(images (N, S, S, C), boxes (N, max_boxes, 5))`` of ``elements`` in an order
    that depends only on ``seed`` and the epoch.

    ``elements`` is an unbatched ``tf.data.Dataset`` of ``(image, padded boxes)`` of known
    length, such as :func:`pyramid_training_elements` and :func:`pyramid_dataset_elements`
    make. ``epoch`` is an integer ``tf.Variable`` holding the epoch of the latest pass (0
    before the first), as for :func:`corvane.tessmark.data.batch_training_set`: each pass
    adds one to it and takes the order of ``(seed, epoch)``; with
    :class:`corvane.tessmark.data.EpochOrder` among the handlers, epoch ``k`` has the same
    batches in every run, a resumed one included.

    With ``mosaic``, a :class:`corvane.tessmark.mosaic.Mosaic`, an element becomes by its
    draw a mosaic of itself and three others: its neighbours in a cyclic order drawn for the
    pass, so that every image shows in four elements of an epoch. With ``augment``, an
    :class:`corvane.tessmark.augment.Augmentation`, every image (a mosaic as a whole) is
    then flipped, scaled and shifted with its boxes, by the draw
    :func:`corvane.tessmark.augment.element_seed` gives the grid's elements. A mosaic keeps
    at most ``max_boxes`` boxes, its element's first.

    Each pass gathers the whole set in memory, as a full shuffle buffer would.
    """
    import tensorflow as tf

    count = int(elements.cardinality())
    if count < 0:
        raise ValueError("batch_pyramid_set needs elements of known length (assert_cardinality)")
    if count == 0:
        raise ValueError("batch_pyramid_set: there are no training elements")
    max_boxes = _check_spec(elements.element_spec)
    counts = getattr(elements, "padded_boxes", None)
    if mosaic is not None and mosaic.used and counts is not None:
        most = counts.mosaic_objects()
        if most > max_boxes:
            warnings.warn(
                f"a mosaic of the four most crowded training images can hold {most} objects, "
                f"more than max_boxes={max_boxes}: those past the first {max_boxes} (its own "
                f"element's come first) are not trained on; max_boxes={most} keeps them all",
                UserWarning,
                stacklevel=2,
            )
    if epoch is None:
        epoch = tf.Variable(0, dtype=tf.int64, trainable=False, name="data_epoch")
    seed = tf.constant(seed, tf.int64)
    mosaic = mosaic if mosaic is not None and mosaic.used else None

    def one_pass(images, boxes):
        pass_epoch = tf.cast(epoch.assign_add(1), tf.int64)
        key = tf.stack([seed, pass_epoch])
        # A stateless permutation: Dataset.shuffle would draw from a seed generator that
        # advances with every iterator the dataset object has made.
        order = tf.random.experimental.stateless_shuffle(tf.range(count), key)
        partners = None
        if mosaic is not None:
            # Index -1 is no element's: the cycle's draw is apart from theirs.
            cycle = tf.random.experimental.stateless_shuffle(
                tf.range(count), tf.random.experimental.stateless_fold_in(key, -1)
            )
            after = tf.math.invert_permutation(cycle)[:, None] + tf.range(1, 4)
            partners = tf.gather(cycle, after % count)

        def fetch(indices):
            return tf.gather(images, indices), tf.gather(boxes, indices)

        made = _element_maker(fetch, seed, pass_epoch, partners, augment, mosaic, max_boxes)
        indices = tf.data.Dataset.from_tensor_slices(order)
        return indices.map(made, num_parallel_calls=tf.data.AUTOTUNE, deterministic=True)

    batches = elements.batch(count).flat_map(one_pass).batch(batch_size)
    # flat_map hides the length, which progress bars and schedules read.
    batches = batches.apply(tf.data.experimental.assert_cardinality(-(-count // batch_size)))
    return batches.prefetch(tf.data.AUTOTUNE)


def _element_maker(fetch, seed, epoch, partners, augment, mosaic, max_boxes: int):
    """The map from an element's index to its ``(image, padded boxes)`` in ``epoch``.

    ``fetch`` gives the unaugmented ``(images, padded boxes)`` of a tensor of indices;
    ``partners`` (count, 3) the indices of the others in each element's mosaic.
    """
    import tensorflow as tf

    from corvane.tessmark.augment import element_seed
    from corvane.tessmark.placement import whole_pixel_transform

    fold_in = tf.random.experimental.stateless_fold_in

    def made(index):
        image, boxes = fetch(index)
        if mosaic is None and augment is None:
            return image, boxes
        rows = _unpadded(boxes)
        draw = element_seed(seed, epoch, index)
        if mosaic is not None:
            # The mosaic's draws, apart from the augmentation's, which are the grid's.
            tiles = tf.concat([index[None], partners[index]], axis=0)
            image, rows = tf.cond(
                mosaic.chosen(fold_in(draw, 1), epoch),
                lambda: mosaic.compose(*fetch(tiles), fold_in(draw, 2)),
                lambda: (image, rows),
            )
        if augment is not None:
            image, rows = whole_pixel_transform(augment, image, rows, draw)
        return image, _padded(rows, max_boxes)

    return made


def _check_spec(spec) -> int:
    """``max_boxes`` of elements of ``spec``; a ValueError that names what they must be."""
    import tensorflow as tf

    ok = isinstance(spec, tuple) and len(spec) == 2
    ok = ok and all(isinstance(s, tf.TensorSpec) for s in spec)
    if ok:
        image, boxes = spec
        ok = image.shape.rank == 3 and image.shape[0] is not None
        ok = ok and image.shape[0] == image.shape[1]
        ok = ok and boxes.shape.rank == 2 and boxes.shape[1] == 5 and boxes.shape[0] is not None
        ok = ok and boxes.dtype == tf.float32
    if not ok:
        raise ValueError(
            f"batch_pyramid_set needs unbatched (image (S, S, C), boxes (max_boxes, 5) float32) "
            f"elements, not {spec}: make them with pyramid_training_elements or "
            f"pyramid_dataset_elements"
        )
    return int(spec[1].shape[0])


def _unpadded(boxes):
    import tensorflow as tf

    return tf.boolean_mask(boxes, boxes[:, 4] >= 0)


def _padded(rows, max_boxes: int):
    """Rows (n, 5) as (max_boxes, 5): the first ``max_boxes``, then padding."""
    import tensorflow as tf

    rows = rows[:max_boxes]
    fill = tf.tile(tf.constant([PADDING], tf.float32), [max_boxes - tf.shape(rows)[0], 1])
    return tf.ensure_shape(tf.concat([rows, fill], axis=0), [max_boxes, 5])
