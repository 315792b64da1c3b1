"""Synthetic shapes, the grid targets and their decoding, and the data helpers' contracts."""

import numpy as np
import pytest

from corvane.demo import data
from corvane.tessmark.data import batch_training_set
from corvane.tessmark.grid import decode_grid, encode_targets


@pytest.fixture(scope="module")
def shapes():
    return data.make_shapes(40, seed=(7, 0))


class TestShapes:
    def test_same_seed_same_data_other_seed_other_data(self, shapes):
        again = data.make_shapes(40, seed=(7, 0))
        other = data.make_shapes(40, seed=(7, 1))
        assert np.array_equal(shapes.images, again.images)
        assert all(np.array_equal(a, b) for a, b in zip(shapes.boxes, again.boxes, strict=True))
        assert not np.array_equal(shapes.images, other.images)
        assert len(set(shapes.names)) == len(shapes)

    def test_boxes_are_valid_and_apart(self, shapes):
        size = shapes.images.shape[1]
        every = np.concatenate(shapes.boxes)
        assert every.dtype == np.float32 and every.shape[1] == 5
        assert set(np.unique(every[:, 4])) <= set(range(len(data.CLASSES)))
        for boxes in shapes.boxes:
            assert 1 <= len(boxes) <= 3
            assert (boxes[:, :2] >= 0).all() and (boxes[:, 2:4] <= size).all()
            assert (boxes[:, 2] > boxes[:, 0]).all() and (boxes[:, 3] > boxes[:, 1]).all()
            for i in range(len(boxes)):
                for j in range(i):
                    a, b = boxes[i], boxes[j]
                    overlap = min(a[2], b[2]) > max(a[0], b[0]) and min(a[3], b[3]) > max(
                        a[1], b[1]
                    )
                    assert not overlap

    def test_boxes_frame_the_drawn_shapes(self, shapes):
        # Shapes are drawn in colours of at least 110 per channel on a background
        # far darker, so "bright" pixels are exactly the shapes.
        for picture, boxes in zip(shapes.images, shapes.boxes, strict=True):
            bright = picture.min(axis=2) >= 110
            covered = np.zeros_like(bright)
            for x1, y1, x2, y2, _ in boxes.astype(int):
                covered[y1:y2, x1:x2] = True
                assert bright[(y1 + y2) // 2, (x1 + x2) // 2]
                # the shape reaches its box on the bottom row
                assert bright[y2 - 1, x1:x2].any()
            assert not (bright & ~covered).any()

    def test_classes_differ_in_outline_not_colour(self, shapes):
        fill = {name: [] for name in data.CLASSES}
        for picture, boxes in zip(shapes.images, shapes.boxes, strict=True):
            for x1, y1, x2, y2, cls in boxes.astype(int):
                fill[data.CLASSES[cls]].append((picture[y1:y2, x1:x2].min(axis=2) >= 110).mean())
        # square ~1, disc ~pi/4, triangle ~1/2 of the box
        assert np.mean(fill["square"]) > 0.95
        assert 0.7 < np.mean(fill["disc"]) < 0.85
        assert 0.4 < np.mean(fill["triangle"]) < 0.6


class TestTargets:
    def test_one_cell_per_object_with_its_box(self):
        boxes = np.array([[8, 16, 24, 32, 2], [40, 2, 60, 30, 0]], np.float32)
        grid = encode_targets(boxes, image_size=64, stride=8, num_classes=3)
        assert grid.shape == (8, 8, 8)
        assert grid[..., 0].sum() == 2
        # centre (16, 24) -> cell row 3, col 2, at the cell's top-left corner
        assert grid[3, 2].tolist() == pytest.approx([1, 0, 0, 0.25, 0.25, 0, 0, 1])
        # centre (50, 16) -> cell row 2, col 6, offsets 0.25 and 0
        assert grid[2, 6].tolist() == pytest.approx([1, 0.25, 0, 20 / 64, 28 / 64, 1, 0, 0])

    def test_a_perfect_prediction_decodes_to_the_ground_truth(self, shapes):
        # The runner's decoding must invert the target encoding exactly.
        for boxes in shapes.boxes[:10]:
            grid = encode_targets(boxes, 64, 8, 3)
            detections, scores, labels = decode_grid(grid, 64, 64, 0.5, 0.5)
            order = np.lexsort(boxes[:, :2].T[::-1])
            found = np.lexsort(detections[:, :2].T[::-1])
            assert detections[found] == pytest.approx(boxes[order, :4], abs=1e-4)
            assert labels[found].tolist() == boxes[order, 4].astype(int).tolist()
            assert scores.tolist() == pytest.approx([1.0] * len(boxes))


class TestDatasets:
    def test_training_batches(self, shapes):
        images, grids = next(iter(data.training_dataset(shapes, batch_size=8, seed=0)))
        assert images.dtype.name == "uint8" and images.shape == (8, 64, 64, 3)
        assert images.numpy().max() > 1  # raw pixels: the trainer does the scaling
        assert grids.shape == (8, 8, 8, 8)
        # every object of the batch is one positive cell
        per_image = grids.numpy()[..., 0].sum(axis=(1, 2))
        assert set(per_image) <= {1.0, 2.0, 3.0}

    def test_training_batches_cover_the_set_once_per_epoch(self, shapes):
        ds = data.training_dataset(shapes, batch_size=16, seed=0)
        first = np.concatenate([b[0].numpy() for b in ds])
        second = np.concatenate([b[0].numpy() for b in ds])
        assert len(ds) == 3 and len(first) == len(shapes)
        assert not np.array_equal(first, second)  # reshuffled
        key = lambda batch: sorted(map(bytes, batch))  # noqa: E731
        assert key(first) == key(second) == key(shapes.images)

    def test_the_order_of_a_pass_depends_only_on_seed_and_epoch(self, shapes):
        import tensorflow as tf

        def order(ds):
            firsts = np.concatenate([b[0].numpy()[:, 0, 0] for b in ds])
            return [bytes(row) for row in firsts]

        epoch = tf.Variable(0, dtype=tf.int64)
        ds = data.training_dataset(shapes, batch_size=16, seed=3, epoch=epoch)
        passes = [order(ds) for _ in range(3)]
        assert int(epoch.numpy()) == 3 and len({tuple(p) for p in passes}) == 3

        # A new dataset object (a resumed process) set to epoch 3 repeats that pass.
        again = tf.Variable(2, dtype=tf.int64)
        assert order(data.training_dataset(shapes, 16, seed=3, epoch=again)) == passes[2]
        other_seed = order(data.training_dataset(shapes, 16, seed=4, epoch=tf.Variable(2)))
        assert other_seed != passes[2] and sorted(other_seed) == sorted(passes[2])

    def test_batching_needs_a_known_length(self):
        import tensorflow as tf

        unknown = tf.data.Dataset.range(5).filter(lambda x: x > 1).map(lambda x: (x, x))
        with pytest.raises(ValueError, match="known length"):
            batch_training_set(unknown, batch_size=2, seed=0)

    def test_validation_samples_unpack_as_the_trainer_reads_them(self, shapes):
        for index, (images, boxes, names) in enumerate(data.validation_dataset(shapes)):
            image = images.numpy()[0]
            rows = boxes.numpy()[0]
            assert image.shape == (64, 64, 3)
            assert np.array_equal(image, shapes.images[index])
            assert rows.ndim == 2 and np.array_equal(rows, shapes.boxes[index])
            assert names.numpy()[0].decode() == shapes.names[index]
        assert index == len(shapes) - 1
