"""Synthetic shapes: images, ground-truth boxes and the dense training targets.

Every image shows one to ``max_objects`` filled shapes (a square, a disc or an
upward triangle) in random bright colours on a dark, noisy background. The
colour says nothing about the class, so the network has to learn the outline.
Shapes never overlap and never share a grid cell, so each object owns exactly
one cell of the target grid.

Boxes are ``[x1, y1, x2, y2, class_index]`` in pixels of the image, with
``(x1, y1)`` the top-left corner and ``x2``/``y2`` exclusive, as float32.

Training targets are one float32 grid per image, ``(G, G, 5 + C)`` for a grid
of ``G = image_size // stride`` cells and ``C`` classes; the channels of the
cell holding an object's centre are::

    0      objectness (1 in that cell, 0 everywhere else)
    1, 2   centre offset inside the cell, x then y, in [0, 1)
    3, 4   width and height as fractions of the image size
    5 ...  one-hot class

Everything is generated in memory from a seed: no file is read or written.
:func:`batch_training_set` and :func:`validation_samples` are shared with the
COCO source (:mod:`corvane.demo.coco`), so both feed the trainer alike.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

CLASSES = ("square", "disc", "triangle")
IMAGE_SIZE = 64
STRIDE = 8
# The data are the same for every run, like a downloaded benchmark would be;
# the run's own seed only changes the initial weights and the batch order.
DATA_SEED = 20240607
TRAIN_SPLIT, VALIDATION_SPLIT = 0, 1


@dataclass(frozen=True)
class ShapeSet:
    """Images with their ground truth, index-aligned."""

    images: np.ndarray  # (N, H, W, 3) uint8
    boxes: list[np.ndarray]  # N arrays of shape (k, 5), float32
    names: list[str]

    def __len__(self) -> int:
        return len(self.images)


def make_shapes(
    count: int,
    seed: int | Sequence[int],
    image_size: int = IMAGE_SIZE,
    stride: int = STRIDE,
    max_objects: int = 3,
    size_range: tuple[int, int] = (12, 28),
) -> ShapeSet:
    """Draws ``count`` images; equal arguments give identical sets."""
    rng = np.random.default_rng(seed)
    # Pixel centres, so that shape outlines are symmetric about their box.
    yy, xx = np.mgrid[0:image_size, 0:image_size] + 0.5
    images = np.empty((count, image_size, image_size, 3), np.uint8)
    all_boxes, names = [], []
    tag = "-".join(str(s) for s in np.atleast_1d(seed))
    for index in range(count):
        canvas = rng.uniform(0, 60, size=3) + rng.normal(0, 8, size=(image_size, image_size, 3))
        boxes = _place_boxes(rng, rng.integers(1, max_objects + 1), image_size, stride, size_range)
        for x1, y1, x2, y2, cls in boxes:
            canvas[_shape_mask(int(cls), x1, y1, x2, y2, xx, yy)] = rng.uniform(110, 255, size=3)
        images[index] = np.clip(canvas, 0, 255).astype(np.uint8)
        all_boxes.append(np.asarray(boxes, np.float32).reshape(-1, 5))
        names.append(f"shapes-{tag}-{index:05d}.png")
    return ShapeSet(images, all_boxes, names)


def _place_boxes(rng, wanted, image_size, stride, size_range):
    boxes, cells = [], set()
    for _ in range(20 * wanted):
        if len(boxes) == wanted:
            break
        size = int(rng.integers(size_range[0], size_range[1] + 1))
        x1, y1 = (int(v) for v in rng.integers(0, image_size - size + 1, size=2))
        x2, y2 = x1 + size, y1 + size
        cell = (int((y1 + y2) / 2 // stride), int((x1 + x2) / 2 // stride))
        # A one-pixel gap keeps neighbouring outlines apart.
        apart = all(x1 > b[2] or x2 < b[0] or y1 > b[3] or y2 < b[1] for b in boxes)
        if apart and cell not in cells:
            cells.add(cell)
            boxes.append((x1, y1, x2, y2, int(rng.integers(len(CLASSES)))))
    return boxes


def _shape_mask(cls, x1, y1, x2, y2, xx, yy):
    inside = (xx >= x1) & (xx < x2) & (yy >= y1) & (yy < y2)
    cx, cy, half = (x1 + x2) / 2, (y1 + y2) / 2, (x2 - x1) / 2
    if CLASSES[cls] == "disc":
        return (xx - cx) ** 2 + (yy - cy) ** 2 <= half**2
    if CLASSES[cls] == "triangle":
        return inside & (np.abs(xx - cx) <= half * (yy - y1) / (y2 - y1))
    return inside


def encode_targets(
    boxes: np.ndarray, image_size: int = IMAGE_SIZE, stride: int = STRIDE, num_classes: int = 3
) -> np.ndarray:
    """The target grid of one image (layout in the module docstring)."""
    cells = image_size // stride
    grid = np.zeros((cells, cells, 5 + num_classes), np.float32)
    for x1, y1, x2, y2, cls in boxes:
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


def batch_training_set(elements, batch_size: int, seed: int, epoch=None):
    """Batches of ``elements`` in an order that depends only on ``seed`` and the epoch.

    Every source of training data goes through this one function, so that the same
    elements give the same batches whatever their source.

    ``elements`` is an unbatched ``tf.data.Dataset`` of ``(image, target_grid)`` of
    known length. ``epoch`` is an integer ``tf.Variable`` holding the epoch of the
    latest pass (0 before the first): each new pass over the result adds one to it
    and takes the permutation of ``(seed, epoch)``. Assign ``k - 1`` to it before
    epoch ``k`` (a resumed run does) and that pass has the order epoch ``k`` had in
    any other run, however many passes this process made before. Left alone,
    successive passes are epochs 1, 2, ...

    Each pass gathers the whole set in memory, as a full shuffle buffer would.
    """
    import tensorflow as tf

    count = int(elements.cardinality())
    if count < 0:
        raise ValueError("batch_training_set needs elements of known length (assert_cardinality)")
    if epoch is None:
        epoch = tf.Variable(0, dtype=tf.int64, trainable=False, name="data_epoch")
    seed = tf.constant(seed, tf.int64)

    def one_pass(*columns):
        # A stateless permutation: Dataset.shuffle would draw from a seed generator
        # that advances with every iterator the dataset object has made.
        order = tf.random.experimental.stateless_shuffle(
            tf.range(count), tf.stack([seed, tf.cast(epoch.assign_add(1), tf.int64)])
        )
        return tf.data.Dataset.from_tensor_slices(tuple(tf.gather(c, order) for c in columns))

    batches = elements.batch(count).flat_map(one_pass).batch(batch_size)
    # flat_map hides the length, which progress bars and schedules read.
    batches = batches.apply(tf.data.experimental.assert_cardinality(-(-count // batch_size)))
    return batches.prefetch(2)


def training_elements(shapes: ShapeSet, stride: int = STRIDE):
    """The unbatched ``(image, target_grid)`` dataset of ``shapes``; images raw uint8 0..255."""
    import tensorflow as tf

    size = shapes.images.shape[1]
    grids = np.stack([encode_targets(b, size, stride, len(CLASSES)) for b in shapes.boxes])
    return tf.data.Dataset.from_tensor_slices((shapes.images, grids))


def training_dataset(
    shapes: ShapeSet, batch_size: int, seed: int, stride: int = STRIDE, epoch=None
):
    """Shuffled batches ``(images, target_grids)``; images stay raw uint8 0..255.

    The order of each pass is that of :func:`batch_training_set`.
    """
    return batch_training_set(training_elements(shapes, stride), batch_size, seed, epoch=epoch)


def validation_dataset(shapes: ShapeSet):
    """One image per element: ``(images (1,H,W,3), boxes (1,k,5), names (1,))``."""
    return validation_samples(shapes.images, shapes.boxes, shapes.names)


def validation_samples(images, boxes: Sequence[np.ndarray], names: Sequence[str], load=None):
    """Validation samples as the trainer reads them, from per-image arrays.

    ``images`` holds the pixels, or, with ``load``, what ``load`` turns into
    the (H, W, 3) pixels inside the pipeline (such as file paths).
    """
    import tensorflow as tf

    boxes = tf.ragged.constant(
        [np.asarray(b, np.float32).reshape(-1, 5) for b in boxes],
        ragged_rank=1,
        inner_shape=(5,),
        dtype=tf.float32,
    )
    names = np.array([n.encode() for n in names])
    ds = tf.data.Dataset.from_tensor_slices((images, boxes, names))
    if load is not None:
        ds = ds.map(lambda image, box, name: (load(image), box, name))
    # Batches of one are rectangular, so the boxes can be handed out dense.
    dense = lambda box: box.to_tensor() if isinstance(box, tf.RaggedTensor) else box  # noqa: E731
    ds = ds.batch(1).map(lambda image, box, name: (image, dense(box), name))
    return ds.prefetch(1)


@dataclass(frozen=True)
class DataSource:
    """What the demo trains and validates on.

    ``train`` is unbatched ``(image, target_grid)`` elements for
    :func:`batch_training_set`; ``validation`` the trainer's validation samples.
    ``info`` describes the source for the run's configuration record.
    """

    classes: tuple[str, ...]
    train: object
    validation: object
    info: dict


def shape_splits(train_images: int, validation_images: int) -> tuple[ShapeSet, ShapeSet]:
    """The built-in training and validation shapes: the same images for every run."""
    train = make_shapes(train_images, (DATA_SEED, TRAIN_SPLIT))
    return train, make_shapes(validation_images, (DATA_SEED, VALIDATION_SPLIT))


def synthetic_source(train_images: int, validation_images: int) -> DataSource:
    """The built-in shapes as the demo's data."""
    train, validation = shape_splits(train_images, validation_images)
    return DataSource(CLASSES, training_elements(train), validation_dataset(validation), {})
