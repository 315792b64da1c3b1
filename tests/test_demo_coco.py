"""The demo on COCO data: the export's equivalence, letterboxed pipelines, the runner, the CLI."""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf
from demo_runs import QUICK_RUN, assert_same_numbers

import corvane
from corvane.demo import data
from corvane.demo.app import DemoConfig, parse_args, run_demo
from corvane.demo.coco import coco_source
from corvane.tessmark.coco import Letterbox, coco_document, read_coco
from corvane.tessmark.data import batch_training_set, coco_training_elements
from corvane.tessmark.grid import encode_targets
from corvane.tessmark.predict import DetectionRunner

PYTHONPATH = os.pathsep.join([str(Path(corvane.__file__).parents[1]), *sys.path])


def demo(*args, cwd):
    env = dict(os.environ, PYTHONPATH=PYTHONPATH, TF_CPP_MIN_LOG_LEVEL="2")
    command = [sys.executable, "-m", "corvane.demo", "--no-mlflow", "--no-dvclive", *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def summary(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def wide_shapes(folder, count, seed, classes=data.CLASSES, negatives=(0,)):
    """COCO data of 64 x 96 images (shapes placed 20 px right in a wider frame)."""
    from PIL import Image

    shapes = data.make_shapes(count, seed)
    entries = []
    (folder / "pics").mkdir(parents=True, exist_ok=True)
    for index, (picture, boxes) in enumerate(zip(shapes.images, shapes.boxes)):
        wide = np.zeros((64, 96, 3), np.uint8)
        wide[:, 20:84] = picture
        boxes = boxes.copy()
        boxes[:, [0, 2]] += 20
        boxes[:, 4] %= len(classes)
        if index in negatives:
            wide[:, 20:84] = 30
            boxes = boxes[:0]
        name = f"pics/{seed[1]}-{index}.png"
        Image.fromarray(wide).save(folder / name)
        entries.append((name, 96, 64, boxes))
    path = folder / f"{seed[1]}.json"
    path.write_text(json.dumps(coco_document(classes, entries)))
    return path, entries


def test_training_on_the_export_equals_training_on_the_built_in_data(coco_quick_run, tmp_path):
    exported = tmp_path / "coco"
    done = demo("--quick", "--export-coco", str(exported), cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    assert sorted(p.name for p in exported.iterdir()) == ["images", "train.json", "val.json"]
    document = json.loads((exported / "train.json").read_text())
    assert all((exported / image["file_name"]).is_file() for image in document["images"])

    # The built-in data train, with the same seed, as their export does in this session.
    out = tmp_path / "built-in"
    done = demo(*QUICK_RUN, "--out", str(out), cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    ours = summary(out / "checkpoints" / "summary.csv")
    assert [row["epoch"] for row in ours] == ["0", "1", "2"]
    assert any(float(row["mAR@0.5"]) > 0 for row in ours)  # something was learnt
    assert_same_numbers(ours, summary(coco_quick_run[1] / "summary.csv"))


class TestCommandLine:
    @pytest.mark.parametrize(
        "args, message",
        [
            (["--coco-train", "t.json"], "go together"),
            (["--images", "im"], "--images needs"),
            (["--export-coco", "d", "--coco-train", "t", "--coco-val", "v"], "does not go with"),
        ],
    )
    def test_inconsistent_options_are_refused(self, args, message, capsys):
        with pytest.raises(SystemExit):
            parse_args(args)
        assert message in capsys.readouterr().err

    def test_bad_annotations_stop_before_training(self, tmp_path):
        path, _ = wide_shapes(tmp_path, 4, (1, 0))
        document = json.loads(path.read_text())
        document["annotations"][0]["category_id"] = 42
        path.write_text(json.dumps(document))
        out = tmp_path / "out"
        done = demo(
            "--coco-train", str(path), "--coco-val", str(path), "--out", str(out), cwd=tmp_path
        )
        assert done.returncode == 2
        assert "Traceback" not in done.stderr
        assert f"error: {path}: annotation id 1" in done.stderr
        assert "category_id 42 is not in categories" in done.stderr
        assert not (out / "checkpoints").exists()

    def test_export_does_not_replace_existing_annotations(self, tmp_path):
        (tmp_path / "val.json").write_text("mine")
        done = demo("--quick", "--export-coco", str(tmp_path), cwd=tmp_path)
        assert done.returncode == 2 and "already exist" in done.stderr
        assert (tmp_path / "val.json").read_text() == "mine"
        assert not (tmp_path / "train.json").exists()


class TestPipelines:
    def test_training_elements_are_letterboxed_with_their_targets(self, tmp_path):
        path, entries = wide_shapes(tmp_path, 5, (2, 0))
        source = coco_source(path, path)
        box = Letterbox.fit(64, 96, 64)
        assert (box.new_height, box.top) == (43, 10)
        elements = list(source.train)
        assert len(elements) == 5
        for (image, grid), (_, _, _, boxes) in zip(elements, entries):
            image, grid = image.numpy(), grid.numpy()
            assert image.shape == (64, 64, 3) and image.dtype == np.uint8
            assert (image[: box.top] == 0).all() and (image[box.top + box.new_height :] == 0).all()
            expected = encode_targets(box.boxes_to_input(boxes), 64, 8, 3)
            np.testing.assert_array_equal(grid, expected)
            assert grid[..., 0].sum() == len(boxes)  # the negative has an empty grid
        batches = list(batch_training_set(source.train, 2, seed=0))
        assert [len(b[0]) for b in batches] == [2, 2, 1]

    def test_grey_and_transparent_images_become_three_channels(self, tmp_path):
        from PIL import Image

        Image.new("L", (40, 30), 90).save(tmp_path / "grey.png")
        Image.new("RGBA", (30, 40), (10, 20, 30, 0)).save(tmp_path / "alpha.png")
        entries = [
            (name, w, h, np.zeros((0, 5)))
            for name, w, h in (("grey.png", 40, 30), ("alpha.png", 30, 40))
        ]
        path = tmp_path / "ann.json"
        path.write_text(json.dumps(coco_document(["thing"], entries)))
        source = coco_source(path, path)
        assert [image.shape for image, _ in source.train] == [(64, 64, 3)] * 2
        grey, alpha = (images.numpy()[0] for images, _, _ in source.validation)
        assert grey.shape == (30, 40, 3) and (grey == 90).all()
        assert alpha.shape == (40, 30, 3) and alpha[0, 0].tolist() == [10, 20, 30]

    def test_decoded_images_are_kept_after_the_first_epoch(self, tmp_path):
        path, _ = wide_shapes(tmp_path, 3, (2, 2))
        dataset = read_coco(path)
        kept = coco_training_elements(dataset, 64, 8)
        read_again = coco_training_elements(dataset, 64, 8, cache=False)
        first = [image.numpy() for image, _ in kept]
        list(read_again)
        for image in dataset.images:
            os.remove(image.path)
        assert all(np.array_equal(a, b.numpy()) for a, (b, _) in zip(first, kept, strict=True))
        with pytest.raises(tf.errors.InvalidArgumentError, match=dataset.images[0].path):
            list(read_again)

    def test_validation_samples_are_the_original_images_and_boxes(self, tmp_path):
        path, entries = wide_shapes(tmp_path, 3, (2, 1))
        source = coco_source(path, path)
        samples = list(source.validation)
        for (images, boxes, names), (name, _, _, expected) in zip(samples, entries, strict=True):
            assert images.shape == (1, 64, 96, 3)
            np.testing.assert_array_equal(boxes.numpy()[0], expected)
            assert names.numpy()[0].decode() == name
        assert samples[0][1].shape == (1, 0, 5)  # the negative

    def test_limits_keep_the_first_images_and_categories_must_agree(self, tmp_path):
        train, _ = wide_shapes(tmp_path, 6, (3, 0))
        val, _ = wide_shapes(tmp_path, 4, (3, 1), classes=("square", "disc"))
        source = coco_source(train, train, train_limit=2, val_limit=1)
        assert len(source.train) == 2 and len(list(source.validation)) == 1
        assert source.info["train_images"] == 2
        with pytest.raises(ValueError, match="differ from those of the training file"):
            coco_source(train, val)


def test_runner_reports_in_the_original_images_pixels():
    # A network that "sees" the letterboxed ground truth perfectly, plus one box in the fill.
    height, width = 48, 120
    boxes = np.array([[10, 5, 40, 30, 1], [70, 20, 118, 46, 0]], np.float32)
    box = Letterbox.fit(height, width, 64)
    grid = encode_targets(box.boxes_to_input(boxes), 64, 8, 3)
    grid[0, 3] = [0.9, 0.5, 0.5, 0.1, 0.05, 0, 0, 1]  # centre in the fill above the image

    class Perfect:
        input_shape = (None, 64, 64, 3)

        def __call__(self, batch, training=False):
            return tf.constant(grid[None])

    runner = DetectionRunner(Perfect(), score_threshold=0.5)
    found, labels, scores = runner.run_single_instance(np.zeros((height, width, 3), np.uint8))
    order = np.argsort(found[:, 0])
    np.testing.assert_allclose(found[order], boxes[:, :4], atol=0.05)
    assert labels[order].tolist() == [1, 0] and len(scores) == 2


def test_categories_set_the_classes_and_negatives_are_trained_and_evaluated(tmp_path):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    classes = ("ring", "block")
    train, _ = wide_shapes(tmp_path, 20, (4, 0), classes=classes, negatives=(0, 5))
    val, _ = wide_shapes(tmp_path, 6, (4, 1), classes=classes, negatives=(2,))
    config = DemoConfig(
        epochs=1, out=str(tmp_path / "out"), dvclive=False, mlflow=False, batch_size=8, display=1
    )
    config.detector = "grid"  # the output's channels below are the grid's
    config.coco_train, config.coco_val = str(train), str(val)
    result = run_demo(config)
    assert (result.checkpoints / "labels.txt").read_text().split() == list(classes)
    info = json.loads((result.checkpoints / "config.json").read_text())
    assert info["classes"] == list(classes) and info["train_images"] == 20
    best = tf.keras.models.load_model(result.checkpoints / "best.h5", compile=False)
    assert best.outputs[0].shape[-1] == 5 + len(classes)
    assert "6 images" in (result.checkpoints / "validation" / "results.txt").read_text()
    assert [row["epoch"] for row in summary(result.checkpoints / "summary.csv")] == ["0", "1"]


def test_drawn_validation_images_of_any_size_stay_near_256_to_512_pixels():
    from corvane.validator.evaluator import ImageResult, draw_boxes

    def drawn(height, width):
        boxes = np.array([[1, 1, 10, 10]], np.float64)
        result = ImageResult("a", height, width, boxes, [0], boxes, [0], np.array([0.9]))
        return draw_boxes(np.zeros((height, width, 3), np.uint8), result, 0.5).shape

    assert drawn(64, 64) == (256, 256, 3)
    assert drawn(1200, 600) == (512, 256, 3)
    assert drawn(400, 500) == (400, 500, 3)
