"""Crowded scenes: the demo's built-in set for many small, overlapping objects.

Every 160 x 160 image shows 4 to 20 of the shapes of :mod:`corvane.demo.data` (12 on
average), 6 to 90 pixels wide, about two in five of them under 16 pixels. Shapes may
overlap: larger ones are drawn first, and each keeps at least ``MIN_VISIBLE`` of its box
uncovered by those drawn over it. The background is a noisy colour gradient crossed by
distractor strokes of any colour, which belong to no class.

Small neighbours often share a cell of the grid's stride, and the grid keeps only one of
them (:mod:`corvane.tessmark.grid`): this is the set on which the pyramid layout
(:mod:`corvane.tessmark.pyramid`) shows what it is for.

Boxes are those of :mod:`corvane.demo.data`: ``[x1, y1, x2, y2, class_index]`` in pixels,
float32. Everything is drawn in memory from a seed.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from .data import CLASSES, DATA_SEED, TRAIN_SPLIT, VALIDATION_SPLIT, ShapeSet, shape_mask

IMAGE_SIZE = 160
OBJECTS = (4, 20)
# Sides in pixels: (low, high, share of objects), drawn uniformly on a log scale within a
# band. COCO's small objects are those under 32 x 32 pixels, its medium ones up to 96.
SIZE_BANDS = ((6, 15, 0.4), (16, 31, 0.35), (32, 90, 0.25))
# The share of an object's box that the shapes drawn over it must leave uncovered.
MIN_VISIBLE = 0.6
# Small objects gather: the chance that one is placed beside an earlier small one, within
# ``CLUSTER_REACH`` of its own side from that one's centre, rather than anywhere.
CLUSTER, CLUSTER_REACH = 0.6, 1.5
STROKES = (2, 8)
# Apart from the shapes' seeds, so that the two sets never draw alike.
SET_ID = 1


def make_crowded(count: int, seed: int | Sequence[int], image_size: int = IMAGE_SIZE) -> ShapeSet:
    """Draws ``count`` crowded images; equal arguments give identical sets."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:image_size, 0:image_size] + 0.5
    images = np.empty((count, image_size, image_size, 3), np.uint8)
    all_boxes, names = [], []
    tag = "-".join(str(s) for s in np.atleast_1d(seed))
    for index in range(count):
        canvas = _background(rng, image_size, xx, yy)
        boxes = _place_boxes(rng, int(rng.integers(OBJECTS[0], OBJECTS[1] + 1)), image_size)
        for x1, y1, x2, y2, cls in boxes:
            window = np.s_[y1:y2, x1:x2]
            mask = shape_mask(cls, x1, y1, x2, y2, xx[window], yy[window])
            canvas[window][mask] = rng.uniform(110, 255, size=3)
        images[index] = np.clip(canvas, 0, 255).astype(np.uint8)
        all_boxes.append(np.asarray(boxes, np.float32).reshape(-1, 5))
        names.append(f"crowded-{tag}-{index:05d}.png")
    return ShapeSet(images, all_boxes, names)


def crowded_splits(train_images: int, validation_images: int) -> tuple[ShapeSet, ShapeSet]:
    """The built-in crowded training and validation scenes: the same for every run."""
    train = make_crowded(train_images, (DATA_SEED, SET_ID, TRAIN_SPLIT))
    return train, make_crowded(validation_images, (DATA_SEED, SET_ID, VALIDATION_SPLIT))


def _side(rng) -> int:
    band = rng.choice(len(SIZE_BANDS), p=[share for _, _, share in SIZE_BANDS])
    low, high, _ = SIZE_BANDS[band]
    return min(int(np.exp(rng.uniform(np.log(low), np.log(high + 1)))), high)


def _place_boxes(rng, wanted: int, image_size: int) -> list[tuple[int, int, int, int, int]]:
    """``wanted`` boxes, largest first (the drawing order), each leaving every box under it
    at least ``MIN_VISIBLE`` of its area; a box that finds no place is drawn smaller."""
    sides = sorted((_side(rng) for _ in range(wanted)), reverse=True)
    # Which box each pixel shows last, -1 for none: what is left visible of each box.
    owner = np.full((image_size, image_size), -1, np.int32)
    visible, boxes = [], []
    for side in sides:
        while True:
            placed = _free_spot(rng, side, image_size, owner, visible, boxes)
            if placed or side <= SIZE_BANDS[0][0]:
                break
            side = max(SIZE_BANDS[0][0], side * 2 // 3)
        if not placed:
            continue
        x1, y1 = placed
        window = owner[y1 : y1 + side, x1 : x1 + side]
        covered = np.bincount(window[window >= 0].ravel(), minlength=len(boxes))
        visible = [v - c for v, c in zip(visible, covered)]
        window[...] = len(boxes)
        visible.append(side * side)
        boxes.append((x1, y1, x1 + side, y1 + side, int(rng.integers(len(CLASSES)))))
    return boxes


def _free_spot(rng, side, image_size, owner, visible, boxes, tries: int = 40):
    small = [b for b in boxes if b[2] - b[0] < SIZE_BANDS[1][0]]
    for _ in range(tries):
        if side < SIZE_BANDS[1][0] and small and rng.random() < CLUSTER:
            x1, y1, x2, y2, _ = small[rng.integers(len(small))]
            reach = CLUSTER_REACH * side
            centre = np.array([x1 + x2, y1 + y2]) / 2 + rng.uniform(-reach, reach, size=2)
            x1, y1 = (int(v) for v in np.clip(centre - side / 2, 0, image_size - side))
        else:
            x1, y1 = (int(v) for v in rng.integers(0, image_size - side + 1, size=2))
        window = owner[y1 : y1 + side, x1 : x1 + side]
        covered = np.bincount(window[window >= 0].ravel(), minlength=len(boxes))
        if all(
            v - c >= MIN_VISIBLE * (b[2] - b[0]) * (b[3] - b[1])
            for v, c, b in zip(visible, covered, boxes)
        ):
            return x1, y1
    return None


def _background(rng, image_size, xx, yy):
    """A dark colour gradient with noise, crossed by thin strokes of any colour."""
    corner = rng.uniform(0, 60, size=3)
    slope = rng.uniform(-30, 30, size=(2, 3)) / image_size
    canvas = corner + xx[..., None] * slope[0] + yy[..., None] * slope[1]
    canvas = canvas + rng.normal(0, 10, size=(image_size, image_size, 3))
    for _ in range(rng.integers(STROKES[0], STROKES[1] + 1)):
        start = rng.uniform(0, image_size, size=2)
        angle, length = rng.uniform(0, np.pi), rng.uniform(10, 60)
        steps = np.linspace(0, length, int(2 * length))
        xs = np.clip(start[0] + steps * np.cos(angle), 0, image_size - 1).astype(int)
        ys = np.clip(start[1] + steps * np.sin(angle), 0, image_size - 1).astype(int)
        colour = rng.uniform(30, 230, size=3)
        canvas[ys, xs] = colour
        if rng.random() < 0.5:  # two pixels wide
            canvas[np.minimum(ys + 1, image_size - 1), xs] = colour
    return canvas
