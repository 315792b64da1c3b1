"""Training and validation data in the forms ``DetectionTrainer`` reads.

Training: unbatched ``(image, target_grid)`` elements, from arrays
(:func:`training_elements`) or a checked COCO file (:func:`coco_training_elements`),
batched by :func:`batch_training_set` in an order that depends only on a seed and the
epoch. With :class:`EpochOrder` among the callback handlers, epoch ``k`` has the same
batches in every run, a resumed one included, augmented ones too
(:mod:`corvane.tessmark.augment`: flips and scale/shift jitter, boxes moved with the pixels).

Validation: samples ``(images (1, H, W, 3), boxes (1, k, 5), names (1,))`` as the trainer
reads them, from arrays (:func:`validation_samples`) or a COCO file
(:func:`coco_validation_samples`). They keep each image's own size and pixels: the
evaluator's runner letterboxes it and reports its detections in the image's pixels, so
the metrics are measured there.

Images are uint8 with raw 0..255 values (the trainer divides by 255 itself); targets use
the layout of :mod:`corvane.tessmark.grid`.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.coco import CocoDataset, Letterbox, decode_image, letterbox_image
from corvane.tessmark.grid import encode_targets, target_grid, unplaced_objects

# Decoded COCO training images are kept in memory after the first epoch when they fit.
CACHE_LIMIT = 1 << 30
# The error of an image that no longer decodes: these around its path.
DECODE_FAILED = "cannot decode the image file "
DECODE_HINT = " any more: it was changed or removed after the dataset was read"


def batch_training_set(elements, batch_size: int, seed: int, epoch=None, augment=None):
    """Batches of ``elements`` in an order that depends only on ``seed`` and the epoch.

    ``elements`` is an unbatched ``tf.data.Dataset`` of ``(image, target_grid)`` of known
    length. ``epoch`` is an integer ``tf.Variable`` holding the epoch of the latest pass
    (0 before the first): each new pass over the result adds one to it and takes the
    permutation of ``(seed, epoch)``. Assign ``k - 1`` to it before epoch ``k``
    (:class:`EpochOrder` does) and that pass has the order epoch ``k`` had in any other
    run, however many passes this process made before. Left alone, successive passes are
    epochs 1, 2, ...

    With ``augment``, a :class:`corvane.tessmark.augment.Augmentation`, each image of a
    pass is moved with its boxes by a draw of ``(seed, epoch, its index in elements)``
    and gets a target grid made again from the moved boxes, so an augmented epoch ``k``
    is as repeatable as its order. The boxes come from the elements' ``target_boxes``
    (:class:`TargetBoxes`), which :func:`training_elements` and
    :func:`coco_training_elements` keep.

    Each pass gathers the whole set in memory, as a full shuffle buffer would.
    """
    import tensorflow as tf

    count = int(elements.cardinality())
    if count < 0:
        raise ValueError("batch_training_set needs elements of known length (assert_cardinality)")
    if epoch is None:
        epoch = tf.Variable(0, dtype=tf.int64, trainable=False, name="data_epoch")
    seed = tf.constant(seed, tf.int64)
    if augment is not None:
        targets = getattr(elements, "target_boxes", None)
        if targets is None:
            raise ValueError(
                "augmentation moves the boxes of each training image: make the elements "
                "with training_elements or coco_training_elements, which keep them"
            )
        move = _moved(augment, targets, seed)
        # The image and its index; the grid is made again once the boxes have moved.
        elements = elements.enumerate().map(lambda index, element: (element[0], index))

    def one_pass(*columns):
        # A stateless permutation: Dataset.shuffle would draw from a seed generator
        # that advances with every iterator the dataset object has made.
        pass_epoch = tf.cast(epoch.assign_add(1), tf.int64)
        order = tf.random.experimental.stateless_shuffle(
            tf.range(count), tf.stack([seed, pass_epoch])
        )
        columns = tuple(tf.gather(c, order) for c in columns)
        if augment is not None:
            columns += (tf.fill([count], pass_epoch),)
        return tf.data.Dataset.from_tensor_slices(columns)

    batches = elements.batch(count).flat_map(one_pass)
    if augment is not None:
        batches = batches.map(move, num_parallel_calls=tf.data.AUTOTUNE)
    batches = batches.batch(batch_size)
    # flat_map hides the length, which progress bars and schedules read.
    batches = batches.apply(tf.data.experimental.assert_cardinality(-(-count // batch_size)))
    return batches.prefetch(2)


def _moved(augment, targets: TargetBoxes, seed):
    """The map from ``(image, index, epoch)`` to the augmented ``(image, target_grid)``."""
    import tensorflow as tf

    from corvane.tessmark.augment import element_seed

    flat = tf.constant(np.concatenate([np.zeros((0, 5), np.float32), *targets.boxes]))
    starts = tf.constant(np.cumsum([0] + [len(b) for b in targets.boxes]), tf.int64)

    def move(image, index, epoch):
        boxes = flat[starts[index] : starts[index + 1]]
        image, boxes = augment.transform(image, boxes, element_seed(seed, epoch, index))
        grid = target_grid(boxes, targets.image_size, targets.stride, targets.num_classes)
        return image, grid

    return move


class EpochOrder(TessmarkTrainingCallback):
    """Sets the epoch variable of :func:`batch_training_set` to ``k - 1`` as epoch ``k``
    starts, so that the epoch's batches depend on its number alone."""

    def __init__(self, epoch):
        self.epoch = epoch

    def on_epoch_start(self, epoch):
        self.epoch.assign(epoch - 1)


@dataclass(frozen=True)
class TargetBoxes:
    """What the target grids of training elements were made from.

    The datasets that :func:`training_elements` and :func:`coco_training_elements` return
    keep it as their ``target_boxes`` attribute: the boxes that augmentation moves with
    the pixels, and how many objects the grids leave out because an earlier object of
    their image holds their cell (:func:`corvane.tessmark.grid.encode_targets`). The
    producers warn once when there are any; ``message`` is that warning's text.
    """

    # Per element, float32 rows [x1, y1, x2, y2, class_index] in the input's pixels.
    boxes: tuple[np.ndarray, ...] = field(repr=False)
    image_size: int
    stride: int
    num_classes: int
    unplaced: int

    @property
    def objects(self) -> int:
        return sum(len(b) for b in self.boxes)

    @property
    def message(self) -> str:
        return (
            f"{self.unplaced} of {self.objects} training objects share a grid cell with an "
            f"earlier object of their image and are not trained on (one object per "
            f"{self.stride}-pixel cell of the {self.image_size}-pixel input); a larger image "
            f"size or a smaller stride places more"
        )


def _target_grids(boxes: Sequence, image_size: int, stride: int, num_classes: int):
    """The target grids of per-image ``boxes`` and their :class:`TargetBoxes`; warns
    about the objects the grids leave out."""
    boxes = tuple(np.asarray(b, np.float32).reshape(-1, 5) for b in boxes)
    grids = np.stack([encode_targets(b, image_size, stride, num_classes) for b in boxes])
    unplaced = sum(unplaced_objects(b, image_size, stride) for b in boxes)
    targets = TargetBoxes(boxes, image_size, stride, num_classes, unplaced)
    if unplaced:
        # Where the producer was called, not here.
        warnings.warn(targets.message, UserWarning, stacklevel=3)
    return grids, targets


def _keeping(elements, targets: TargetBoxes):
    elements.target_boxes = targets
    return elements


def training_elements(images, boxes: Sequence, num_classes: int, stride: int):
    """Unbatched ``(image, target_grid)`` elements from arrays, with their
    ``target_boxes`` (:class:`TargetBoxes`).

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
    grids, targets = _target_grids(boxes, images.shape[1], stride, num_classes)
    return _keeping(tf.data.Dataset.from_tensor_slices((images, grids)), targets)


def coco_training_elements(
    dataset: CocoDataset, image_size: int, stride: int, cache: bool | None = None
):
    """Unbatched ``(letterboxed image, target_grid)`` elements, in the file's image order,
    with their ``target_boxes`` (:class:`TargetBoxes`).

    Images are read, decoded and letterboxed to ``image_size`` square pixels in the
    pipeline; their target grids are made once, from the boxes mapped with the same
    letterbox. With ``cache`` the decoded elements are kept in memory after the first
    epoch; by default when they take at most ``CACHE_LIMIT`` bytes.
    """
    import tensorflow as tf

    boxes = [Letterbox.fit(image.height, image.width, image_size) for image in dataset.images]
    grids, targets = _target_grids(
        [box.boxes_to_input(image.boxes) for box, image in zip(boxes, dataset.images)],
        image_size,
        stride,
        len(dataset.classes),
    )
    layout = np.array([(b.new_height, b.new_width, b.top, b.left) for b in boxes], np.int32)

    def load(position, path, orientation, layout, grid):
        image = letterbox_image(decode_image(path, orientation), *tf.unstack(layout), image_size)
        return position, image, grid

    ds = _image_slices(dataset, layout, grids)
    # Parallel decoding; the element order stays the file's (deterministic map).
    ds = _naming_failures(ds.map(load, num_parallel_calls=tf.data.AUTOTUNE), dataset)
    if cache is None:
        cache = len(dataset) * (image_size * image_size * 3 + grids[0].nbytes) <= CACHE_LIMIT
    return _keeping(ds.cache() if cache else ds, targets)


def validation_samples(images, boxes: Sequence, names: Sequence[str], load=None):
    """Validation samples as the trainer reads them, from per-image arrays.

    ``images`` holds the (H, W, 3) uint8 pixels of each image (any sizes), as arrays or
    a ``tf.data.Dataset`` of them, or, with ``load``, what ``load`` turns into them
    inside the pipeline (such as file paths); ``boxes`` one array of rows
    ``[x1, y1, x2, y2, class_index]`` in that image's pixels per image; ``names`` the
    images' names.
    """
    import tensorflow as tf

    boxes = tf.ragged.constant(
        [np.asarray(b, np.float32).reshape(-1, 5) for b in boxes],
        ragged_rank=1,
        inner_shape=(5,),
        dtype=tf.float32,
    )
    names = np.array([n.encode() for n in names])
    if isinstance(images, tf.data.Dataset):
        slices = tf.data.Dataset.from_tensor_slices
        ds = tf.data.Dataset.zip((images, slices(boxes), slices(names)))
    else:
        ds = tf.data.Dataset.from_tensor_slices((images, boxes, names))
    if load is not None:
        ds = ds.map(lambda image, box, name: (load(image), box, name))
    # Batches of one are rectangular, so the boxes can be handed out dense.
    dense = lambda box: box.to_tensor() if isinstance(box, tf.RaggedTensor) else box  # noqa: E731
    ds = ds.batch(1).map(lambda image, box, name: (image, dense(box), name))
    return ds.prefetch(1)


def coco_validation_samples(dataset: CocoDataset):
    """The trainer's validation samples of a COCO file: original images, original boxes,
    file names."""
    import tensorflow as tf

    def load(position, path, orientation):
        return position, decode_image(path, orientation)

    images = _image_slices(dataset).map(load, num_parallel_calls=tf.data.AUTOTUNE)
    return validation_samples(
        _naming_failures(images, dataset),
        [image.boxes for image in dataset.images],
        [image.file_name for image in dataset.images],
    )


def _image_slices(dataset: CocoDataset, *columns):
    """``(position, path, orientation, *columns)`` per image of ``dataset``."""
    import tensorflow as tf

    images = dataset.images
    return tf.data.Dataset.from_tensor_slices(
        (
            tf.range(len(images), dtype=tf.int64),
            [image.path for image in images],
            [image.orientation for image in images],
            *columns,
        )
    )


def _naming_failures(elements, dataset: CocoDataset):
    """``elements``, ``(position, *made from that image of dataset)`` in order, without
    the position. The readers decoded every image once; an element that fails now (its
    file changed or removed since) stops the pass with a ``tf.errors.InvalidArgumentError``
    that names the file, before any later element is handed out.
    """
    import tensorflow as tf

    count = len(dataset.images)
    paths = tf.constant([image.path for image in dataset.images] + [""], tf.string)

    def in_turn(element, expected):
        # A failed element has dropped out: the first position missing is the file to name.
        position, *made = element
        failed = tf.debugging.Assert(
            tf.equal(position, expected),
            [tf.strings.join([DECODE_FAILED, paths[expected], DECODE_HINT])],
        )
        with tf.control_dependencies([failed]):
            made = [tf.identity(column) for column in made]
        return made[0] if len(made) == 1 else tuple(made)

    # Errors are dropped and the gap they leave is named, all in the pipeline's own ops:
    # no Python runs per element.
    elements = elements.ignore_errors()
    # An end marker, past the last position, shows a gap at the end too.
    spec = elements.element_spec
    end = tuple([tf.constant(count, tf.int64)] + [_empty(s) for s in spec[1:]])
    elements = elements.concatenate(tf.data.Dataset.from_tensors(end))
    checked = tf.data.Dataset.zip((elements, tf.data.Dataset.range(count + 1)))
    checked = checked.map(in_turn).take(count)
    return checked.apply(tf.data.experimental.assert_cardinality(count))


def _empty(spec):
    import tensorflow as tf

    return tf.zeros([size or 0 for size in spec.shape], spec.dtype)
