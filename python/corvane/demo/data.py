"""Synthetic shapes: the demo's built-in data.

Every image shows one to ``max_objects`` filled shapes (a square, a disc or an
upward triangle) in random bright colours on a dark, noisy background. The
colour says nothing about the class, so the network has to learn the outline.
Shapes never overlap and never share a grid cell, so each object owns exactly
one cell of the target grid (:mod:`corvane.tessmark.grid`).

Boxes are ``[x1, y1, x2, y2, class_index]`` in pixels of the image, with
``(x1, y1)`` the top-left corner and ``x2``/``y2`` exclusive, as float32.

Everything is generated in memory from a seed: no file is read or written. The
library's data helpers (:mod:`corvane.tessmark.data`) turn them into the trainer's
datasets, as they do COCO files (:mod:`corvane.demo.coco`). The same shapes crowded into
larger images are the other built-in set (:mod:`corvane.demo.crowded`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from corvane.tessmark import data as library

CLASSES = ("square", "disc", "triangle")
IMAGE_SIZE = 64
STRIDE = 8
# The data are the same for every run, like a downloaded benchmark would be;
# the run's own seed only changes the initial weights and the batch order.
DATA_SEED = 20240607
TRAIN_SPLIT, VALIDATION_SPLIT = 0, 1
# The built-in sets, by their --builtin names; the first is the default.
BUILTIN = ("shapes", "crowded")


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
            canvas[shape_mask(int(cls), x1, y1, x2, y2, xx, yy)] = rng.uniform(110, 255, size=3)
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


def shape_mask(cls, x1, y1, x2, y2, xx, yy):
    inside = (xx >= x1) & (xx < x2) & (yy >= y1) & (yy < y2)
    cx, cy, half = (x1 + x2) / 2, (y1 + y2) / 2, (x2 - x1) / 2
    if CLASSES[cls] == "disc":
        return (xx - cx) ** 2 + (yy - cy) ** 2 <= half**2
    if CLASSES[cls] == "triangle":
        return inside & (np.abs(xx - cx) <= half * (yy - y1) / (y2 - y1))
    return inside


def training_elements(shapes: ShapeSet, stride: int = STRIDE):
    """The unbatched ``(image, target_grid)`` dataset of ``shapes``; images raw uint8 0..255."""
    return library.training_elements(shapes.images, shapes.boxes, len(CLASSES), stride)


def training_dataset(
    shapes: ShapeSet, batch_size: int, seed: int, stride: int = STRIDE, epoch=None
):
    """Shuffled batches ``(images, target_grids)`` in the order of
    :func:`corvane.tessmark.data.batch_training_set`."""
    return library.batch_training_set(
        training_elements(shapes, stride), batch_size, seed, epoch=epoch
    )


def validation_dataset(shapes: ShapeSet):
    """One image per element: ``(images (1,H,W,3), boxes (1,k,5), names (1,))``."""
    return library.validation_samples(shapes.images, shapes.boxes, shapes.names)


@dataclass(frozen=True)
class DataSource:
    """What the demo trains and validates on.

    ``train`` is unbatched training elements of the detector's layout: ``(image,
    target_grid)`` for :func:`corvane.tessmark.data.batch_training_set`, or ``(image,
    padded boxes)`` for :func:`corvane.tessmark.pyramid_data.batch_pyramid_set`;
    ``validation`` the trainer's validation samples.
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


def builtin_splits(
    builtin: str, train_images: int, validation_images: int
) -> tuple[ShapeSet, ShapeSet]:
    """The training and validation images of the built-in set ``builtin`` (see
    :data:`BUILTIN`); both sets show the shapes of :data:`CLASSES`."""
    if builtin == "crowded":
        from .crowded import crowded_splits

        return crowded_splits(train_images, validation_images)
    return shape_splits(train_images, validation_images)


def synthetic_source(
    train_images: int,
    validation_images: int,
    image_size: int = IMAGE_SIZE,
    builtin: str = "shapes",
    elements=training_elements,
) -> DataSource:
    """A built-in set as the demo's data, trained at ``image_size`` square pixels.

    ``elements`` makes the training elements of a :class:`ShapeSet` (the grid's by
    default). The images are drawn at the set's own size; for another input size the
    training images are resized to it (they are square, so nothing is filled) with their
    boxes, and the validation images stay as drawn: the evaluator's runner letterboxes
    them and reports in their own pixels.
    """
    train, validation = builtin_splits(builtin, train_images, validation_images)
    if image_size != train.images.shape[1]:
        train = resized(train, image_size)
    return DataSource(CLASSES, elements(train), validation_dataset(validation), {})


def resized(shapes: ShapeSet, image_size: int) -> ShapeSet:
    """``shapes`` at ``image_size`` square pixels, resized as the library's letterbox does."""
    import tensorflow as tf

    from corvane.tessmark.coco import Letterbox

    box = Letterbox.fit(shapes.images.shape[1], shapes.images.shape[2], image_size)
    pixels = tf.image.resize(shapes.images, (box.new_height, box.new_width), antialias=True)
    images = tf.cast(tf.round(tf.clip_by_value(pixels, 0.0, 255.0)), tf.uint8).numpy()
    return ShapeSet(images, [box.boxes_to_input(b) for b in shapes.boxes], shapes.names)
