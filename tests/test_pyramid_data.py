"""The pyramid layout's training data: padded boxes, mosaics, and repeatable epochs."""

import json
import warnings

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from corvane.demo import data
from corvane.tessmark.augment import Augmentation, element_seed
from corvane.tessmark.coco import coco_document, read_coco
from corvane.tessmark.data import (
    EpochOrder,
    batch_training_set,
    coco_training_elements,
    training_elements,
)
from corvane.tessmark.mosaic import Mosaic
from corvane.tessmark.placement import whole_pixel_transform
from corvane.tessmark.pyramid_data import (
    batch_pyramid_set,
    pyramid_dataset_elements,
    pyramid_training_elements,
)
from corvane.tessmark.voc import read_voc, write_voc

SIZE, IMAGES, PER_IMAGE = 64, 8, 3


def colour(k):
    """The colour of rectangle ``k``, its class index too: no two within 6 per channel."""
    return np.array([60 + 8 * k, 250 - 8 * k, 90 + 6 * k], np.uint8)


@pytest.fixture(scope="module")
def rectangles():
    """Solid rectangles of colours of their own on black, two pixels apart or more."""
    rng = np.random.default_rng(4)
    images = np.zeros((IMAGES, SIZE, SIZE, 3), np.uint8)
    boxes = []
    for i in range(IMAGES):
        rows = []
        while len(rows) < PER_IMAGE:
            w, h = rng.integers(10, 24, 2)
            x, y = rng.integers(0, SIZE - w + 1), rng.integers(0, SIZE - h + 1)
            if all(
                x > b[2] + 1 or x + w < b[0] - 1 or y > b[3] + 1 or y + h < b[1] - 1 for b in rows
            ):
                rows.append((x, y, x + w, y + h, i * PER_IMAGE + len(rows)))
        for x1, y1, x2, y2, k in rows:
            images[i, y1:y2, x1:x2] = colour(k)
        boxes.append(np.array(rows, np.float32))
    return images, boxes


def check_boxes_bound_their_pixels(images, boxes):
    """Each kept box against its colour's unblended pixels near it; padding rows last."""
    for image, rows in zip(images, boxes):
        real = rows[:, 4] >= 0
        count = int(real.sum())
        assert real[:count].all(), "padding rows come after the boxes"
        np.testing.assert_array_equal(
            rows[count:], np.tile([0, 0, 0, 0, -1], (len(rows) - count, 1))
        )
        for x1, y1, x2, y2, k in rows[:count]:
            near = np.s_[max(0, int(y1) - 3) : int(y2) + 3, max(0, int(x1) - 3) : int(x2) + 3]
            match = np.all(np.abs(image[near].astype(int) - colour(int(k))) <= 1, axis=-1)
            ys, xs = np.nonzero(match)
            if not len(ys):
                # A sliver at an edge may hold no unblended pixel.
                assert min(x2 - x1, y2 - y1) < 4, (k, (x1, y1, x2, y2))
                continue
            found = [xs.min(), ys.min(), xs.max() + 1, ys.max() + 1]
            found = np.add(found, [near[1].start, near[0].start] * 2)
            np.testing.assert_allclose(found, [x1, y1, x2, y2], atol=2, err_msg=f"box of {k}")


def one_pass(elements, epoch=None, **options):
    batches = list(batch_pyramid_set(elements, 4, seed=3, epoch=epoch, **options))
    return [np.concatenate([b[part].numpy() for b in batches]) for part in (0, 1)]


class TestBoxesFollowPixels:
    @pytest.mark.parametrize(
        "options",
        [
            dict(augment=Augmentation(scale=(0.6, 1.6), shift=0.25)),
            dict(mosaic=Mosaic()),
            dict(augment=Augmentation(), mosaic=Mosaic(scale=(0.4, 1.2))),
        ],
        ids=["flip-scale-shift", "mosaic", "mosaic-then-jitter"],
    )
    def test_every_kept_box_bounds_its_pixels(self, rectangles, options):
        images, boxes = rectangles
        elements = pyramid_training_elements(images, boxes, max_boxes=16)
        shown, edges = [], set()
        for epoch in range(3):
            moved, rows = one_pass(elements, tf.Variable(epoch, dtype=tf.int64), **options)
            assert moved.shape == images.shape and rows.shape == (IMAGES, 16, 5)
            check_boxes_bound_their_pixels(moved, rows)
            shown += [{int(k) // PER_IMAGE for k in r[:, 4] if k >= 0} for r in rows]
            edges.update(rows[rows[:, :, 4] >= 0][:, :4].ravel().tolist())
        if "mosaic" in options:
            assert max(len(sources) for sources in shown) >= 3
        # Boxes were clipped at the input's edges.
        assert {0.0, SIZE} <= edges

    def test_whole_pixels_keep_the_transform_draws(self, rectangles):
        images, boxes = rectangles
        jitter = Augmentation(shift=0.2)
        for i in range(IMAGES):
            seed = element_seed(3, 1, i)
            exact = jitter.transform(images[i], boxes[i], seed)[1].numpy()
            fast = whole_pixel_transform(jitter, images[i], boxes[i], seed)[1].numpy()
            # Rounding the size and the shift moves a corner by at most a pixel.
            kept = np.intersect1d(exact[:, 4], fast[:, 4])
            assert len(kept) >= len(exact) - 1
            for k in kept:
                np.testing.assert_allclose(
                    fast[fast[:, 4] == k], exact[exact[:, 4] == k], atol=1.01
                )


class TestEpochs:
    def test_a_resumed_pipeline_repeats_an_epoch_and_epochs_differ(self, rectangles):
        images, boxes = rectangles
        elements = pyramid_training_elements(images, boxes, max_boxes=16)
        options = dict(augment=Augmentation(), mosaic=Mosaic(probability=0.5))
        order = tf.Variable(0, dtype=tf.int64)
        ds = batch_pyramid_set(elements, 4, seed=3, epoch=order, **options)
        first, second = (
            [np.concatenate([b[part].numpy() for b in batches]) for part in (0, 1)]
            for batches in (list(ds), list(ds))
        )
        # A new pipeline, its epoch set as the trainer's handler sets it before epoch 2.
        resumed = tf.Variable(0, dtype=tf.int64)
        EpochOrder(resumed).on_epoch_start(2)
        again = one_pass(elements, resumed, **options)
        for part in (0, 1):
            assert again[part].tobytes() == second[part].tobytes()
            assert first[part].tobytes() != second[part].tobytes()

        # Without mosaics after epoch 1, epoch 2 is the jittered epoch alone.
        late = one_pass(
            elements, tf.Variable(1, dtype=tf.int64), **{**options, "mosaic": Mosaic(last_epoch=1)}
        )
        alone = one_pass(elements, tf.Variable(1, dtype=tf.int64), augment=Augmentation())
        assert all(a.tobytes() == b.tobytes() for a, b in zip(late, alone))

        # Unaugmented, the order is the grid's.
        grid = training_elements(images, boxes, 100, stride=8)
        grid_images = np.concatenate(
            [b[0].numpy() for b in batch_training_set(grid, 4, 3, tf.Variable(1, dtype=tf.int64))]
        )
        plain = one_pass(elements, tf.Variable(1, dtype=tf.int64))
        assert plain[0].tobytes() == grid_images.tobytes()


class TestElements:
    def test_files_give_the_arrays_elements_without_crowds_and_count_what_they_cut(self, tmp_path):
        shapes = data.make_shapes(6, seed=(5, 0), max_objects=4)
        counts = [len(b) for b in shapes.boxes]
        assert max(counts) == 3 and min(counts) < 3
        crowd = np.array([[1, 1, 9, 9, 0]], np.float32)
        entries = []
        for i, (image, rows) in enumerate(zip(shapes.images, shapes.boxes)):
            Image.fromarray(image).save(tmp_path / f"{i}.png")
            entries.append((f"{i}.png", SIZE, SIZE, rows, crowd))
        (tmp_path / "train.json").write_text(json.dumps(coco_document(data.CLASSES, entries)))
        voc = write_voc(
            tmp_path / "voc",
            data.CLASSES,
            {
                "train": [
                    (f"{i}.png", p, b, crowd)
                    for i, (p, b) in enumerate(zip(shapes.images, shapes.boxes))
                ]
            },
        )

        cut = sum(c > 2 for c in counts)
        with pytest.warns(UserWarning) as caught:
            arrays = pyramid_training_elements(shapes.images, shapes.boxes, max_boxes=2)
        assert len(caught) == 1
        assert (
            f"{cut} training images hold more than max_boxes=2 objects: {cut} of {sum(counts)}"
            in str(caught[0].message)
        )
        assert "max_boxes=3 keeps them all" in str(caught[0].message)
        assert (arrays.padded_boxes.truncated, arrays.padded_boxes.objects) == (cut, sum(counts))
        expected = [(i.numpy().tobytes(), b.numpy().tobytes()) for i, b in arrays]
        for dataset in (read_coco(tmp_path / "train.json"), read_voc(voc)):
            with pytest.warns(UserWarning, match="max_boxes=2"):
                files = pyramid_dataset_elements(dataset, SIZE, max_boxes=2)
            assert [(i.numpy().tobytes(), b.numpy().tobytes()) for i, b in files] == expected
            assert files.padded_boxes == arrays.padded_boxes

        # Letterboxed as the grid's elements are.
        dataset = read_coco(tmp_path / "train.json")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            grid = coco_training_elements(dataset, 40, 8)
        smaller = pyramid_dataset_elements(dataset, 40)
        for (image, padded), (grid_image, _), rows in zip(smaller, grid, grid.target_boxes.boxes):
            assert image.numpy().tobytes() == grid_image.numpy().tobytes()
            np.testing.assert_array_equal(padded[: len(rows)], rows)
            assert (padded[len(rows) :, 4] == -1).numpy().all()

        # A mosaic of the most crowded images can overflow max_boxes: said once, up front.
        with pytest.warns(UserWarning, match="can hold 8 objects, more than max_boxes=2"):
            batch_pyramid_set(arrays, 2, 0, mosaic=Mosaic())

    def test_what_cannot_be_batched_is_refused_by_name(self):
        images = np.zeros((2, SIZE, SIZE, 3), np.uint8)
        grid = training_elements(images, [np.zeros((0, 5))] * 2, 3, stride=8)
        with pytest.raises(ValueError, match="make them with pyramid_training_elements"):
            batch_pyramid_set(grid, 2, 0)
        with pytest.raises(ValueError, match="boxes of image 1: class indices"):
            pyramid_training_elements(images, [np.zeros((0, 5)), [[0, 0, 4, 4, -1]]])
        with pytest.raises(ValueError, match=r"Mosaic: probability=2 .*last_epoch=-1"):
            Mosaic(probability=2, last_epoch=-1)
