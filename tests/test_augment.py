"""Augmented training batches, and the grid's rule for objects that share a cell."""

import json
import warnings

import numpy as np
import pytest
import tensorflow as tf

from corvane.demo import data
from corvane.tessmark.augment import Augmentation, element_seed
from corvane.tessmark.coco import coco_document, read_coco
from corvane.tessmark.data import batch_training_set, coco_training_elements, training_elements
from corvane.tessmark.grid import encode_targets, target_grid, unplaced_objects

# Two rows centred in cell (row 2, col 1) of an 8-pixel grid, one in cell (2, 5).
SHARED = np.array([[4, 16, 20, 28, 0], [10, 14, 14, 18, 2], [40, 20, 46, 24, 1]], np.float32)


def random_boxes(rng, count, size):
    corners = rng.uniform(-4, size + 4, (count, 2, 2))
    if rng.random() < 0.5:  # whole pixels land on cell edges
        corners = np.round(corners)
    return np.concatenate(
        [corners.min(axis=1), corners.max(axis=1), rng.integers(0, 3, (count, 1))], axis=1
    ).astype(np.float32)


def in_pipeline(cases, size, stride):
    """target_grid of each box array in a tf.data map."""
    signature = tf.TensorSpec([None, 5], tf.float32)
    boxes = tf.data.Dataset.from_generator(lambda: iter(cases), output_signature=signature)
    return list(boxes.map(lambda rows: target_grid(rows, size, stride, 3)))


class TestCollisions:
    def test_the_first_object_keeps_its_cell_and_later_ones_are_counted(self):
        grid = encode_targets(SHARED, 64, 8, 3)
        alone = encode_targets(SHARED[[0, 2]], 64, 8, 3)
        np.testing.assert_array_equal(grid, alone)
        assert grid[2, 1, 5] == 1 and grid[..., 0].sum() == 2
        assert unplaced_objects(SHARED, 64, 8) == 1
        # At a finer grid the two centres, (12, 22) and (12, 16), part.
        assert unplaced_objects(SHARED, 64, 4) == 0 and unplaced_objects(SHARED[:0], 64, 8) == 0

    def test_tensorflow_grid_equals_numpy_grid(self):
        rng = np.random.default_rng(3)
        in_graph = tf.function(target_grid, reduce_retracing=True)
        for size, stride in [(64, 8), (96, 32), (84, 12)]:
            cases = [random_boxes(rng, rng.integers(0, 12), size) for _ in range(20)]
            for boxes, from_pipeline in zip(cases, in_pipeline(cases, size, stride), strict=True):
                expected = encode_targets(boxes, size, stride, 3)
                np.testing.assert_array_equal(from_pipeline.numpy(), expected)
                np.testing.assert_array_equal(target_grid(boxes, size, stride, 3), expected)
                np.testing.assert_array_equal(in_graph(boxes, size, stride, 3), expected)

    def test_producers_warn_once_with_the_count_and_keep_it(self, tmp_path):
        from PIL import Image

        images = np.zeros((3, 64, 64, 3), np.uint8)
        boxes = [SHARED, SHARED[2:], SHARED[:2]]
        with pytest.warns(UserWarning) as caught:
            elements = training_elements(images, boxes, 3, stride=8)
        assert len(caught) == 1
        assert "2 of 6 training objects share a grid cell" in str(caught[0].message)
        assert "larger image size or a smaller stride" in str(caught[0].message)
        assert (elements.target_boxes.unplaced, elements.target_boxes.objects) == (2, 6)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            apart = training_elements(images, boxes, 3, stride=4)
        assert apart.target_boxes.unplaced == 0

        # COCO boxes are counted where they train: letterboxed into the input.
        Image.new("RGB", (128, 128)).save(tmp_path / "a.png")
        document = coco_document(["a", "b", "c"], [("a.png", 128, 128, SHARED * [2, 2, 2, 2, 1])])
        (tmp_path / "a.json").write_text(json.dumps(document))
        with pytest.warns(UserWarning, match="1 of 3 training objects"):
            coco = coco_training_elements(read_coco(tmp_path / "a.json"), 64, 8)
        assert coco.target_boxes.unplaced == 1
        np.testing.assert_array_equal(coco.target_boxes.boxes[0], SHARED)


class TestTransform:
    @staticmethod
    def painted(box, size=64):
        image = np.full((size, size, 3), 20, np.uint8)
        x1, y1, x2, y2 = np.asarray(box[:4], int)
        image[y1:y2, x1:x2] = 220
        return image

    @staticmethod
    def bright_box(image):
        rows, cols = np.nonzero(image[..., 0] >= 120)
        return [cols.min(), rows.min(), cols.max() + 1, rows.max() + 1]

    def test_a_mirrored_zoomed_box_is_where_its_pixels_went(self):
        box = np.array([[8, 16, 24, 40, 2]], np.float32)
        fixed = Augmentation(flip=1.0, scale=(1.5, 1.5), shift=0.0)
        image, moved = fixed.transform(self.painted(box[0]), box, [1, 2])
        # x -> 32 - 1.5 (x - 32), y -> 32 + 1.5 (y - 32); x2 clipped from 68
        np.testing.assert_allclose(moved, [[44, 8, 64, 44, 2]], atol=1e-4)
        assert self.bright_box(image.numpy()) == [44, 8, 64, 44]
        assert image.dtype == tf.uint8 and image.shape == (64, 64, 3)

    def test_random_draws_move_boxes_with_pixels_and_repeat_by_seed(self):
        box = np.array([[6, 20, 26, 34, 1]], np.float32)
        jitter = Augmentation(shift=0.05)
        sides = set()
        for seed in range(8):
            image, moved = jitter.transform(self.painted(box[0]), box, [seed, 0])
            assert moved.shape == (1, 5)
            np.testing.assert_allclose(self.bright_box(image.numpy()), moved[0, :4], atol=1.01)
            sides.add(bool(moved[0, 0] > 32))
            again, same = jitter.transform(self.painted(box[0]), box, [seed, 0])
            assert np.array_equal(image, again) and np.array_equal(moved, same)
        assert sides == {True, False}  # flipped and not

    def test_boxes_leaving_the_input_are_clipped_or_dropped(self):
        boxes = np.array(
            [
                [20, 20, 40, 40, 0],  # stays inside: (8, 8, 48, 48)
                [0, 0, 10, 10, 1],  # leaves entirely
                [10, 28, 20, 36, 2],  # x -12..8: 8 px and 40% remain, clipped
                [6, 28, 17.5, 36, 0],  # x -20..3: 3 px but 13% remain, dropped
                [14, 28, 16.75, 36, 1],  # x -4..1.5: 27% but 1.5 px remain, dropped
            ],
            np.float32,
        )
        zoom = Augmentation(flip=0.0, scale=(2, 2), shift=0.0)
        _, kept = zoom.transform(np.zeros((64, 64, 3), np.uint8), boxes, [0, 0])
        np.testing.assert_allclose(kept, [[8, 8, 48, 48, 0], [0, 24, 8, 40, 2]])

    def test_settings_out_of_range_are_refused_by_name(self):
        with pytest.raises(ValueError, match=r"flip=2 .*scale=\(1.2, 0.8\)"):
            Augmentation(flip=2, scale=(1.2, 0.8))


JITTER = Augmentation()


class TestPipeline:
    SEED = 5

    @pytest.fixture(scope="class")
    def set_up(self):
        shapes = data.make_shapes(12, seed=(9, 0))
        # In every other image a second object, of another class, on the first one.
        boxes = list(shapes.boxes)
        for i in range(1, len(boxes), 2):
            boxes[i] = np.concatenate([boxes[i], boxes[i][:1]])
            boxes[i][-1, 4] = (boxes[i][0, 4] + 1) % len(data.CLASSES)
        with pytest.warns(UserWarning, match=r"6 of \d+ training objects"):
            elements = training_elements(shapes.images, boxes, len(data.CLASSES), stride=8)
        return shapes.images, boxes, elements

    def passes(self, elements, epoch, count, augment=JITTER):
        ds = batch_training_set(elements, 4, self.SEED, epoch=epoch, augment=augment)
        passes = []
        for _ in range(count):
            batches = list(ds)
            passes.append([np.concatenate([b[k].numpy() for b in batches]) for k in (0, 1)])
        return passes

    def test_an_epoch_is_a_draw_per_element_that_a_resumed_pipeline_repeats(self, set_up):
        images, boxes, elements = set_up
        first, second = self.passes(elements, tf.Variable(0, dtype=tf.int64), 2)
        # A resumed run: a new pipeline, its epoch variable set to k - 1 before epoch k.
        (resumed,) = self.passes(elements, tf.Variable(1, dtype=tf.int64), 1)
        (plain,) = self.passes(elements, tf.Variable(1, dtype=tf.int64), 1, augment=None)
        for part in (0, 1):
            assert np.array_equal(resumed[part], second[part])
            assert not np.array_equal(first[part], second[part])
        # The plain pass gives the order: which element each position of epoch 2 holds.
        index = {bytes(image): i for i, image in enumerate(images)}
        unplaced = 0
        for position, image in enumerate(plain[0]):
            i = index[bytes(image)]
            moved, kept = JITTER.transform(images[i], boxes[i], element_seed(self.SEED, 2, i))
            np.testing.assert_array_equal(second[0][position], moved)
            expected = encode_targets(kept.numpy(), 64, 8, len(data.CLASSES))
            np.testing.assert_array_equal(second[1][position], expected)
            unplaced += unplaced_objects(kept.numpy(), 64, 8)
        assert unplaced > 0  # the rule for shared cells was exercised

    def test_augmenting_needs_the_elements_boxes(self, set_up):
        _, _, elements = set_up
        with pytest.raises(ValueError, match="training_elements or coco_training_elements"):
            batch_training_set(elements.map(lambda i, g: (i, g)), 4, 0, augment=Augmentation())
