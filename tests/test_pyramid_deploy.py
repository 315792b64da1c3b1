"""A pyramid checkpoint deployed as a grid's is: every export, the serving signature, the
evaluator's runner and the predict command give the checkpoint's detections."""

import contextlib
import importlib.util
import io
import json
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark import predict
from corvane.tessmark.coco import coco_document
from corvane.tessmark.durable import write_json
from corvane.tessmark.export import export_checkpoint
from corvane.tessmark.predict import DetectionRunner
from corvane.tessmark.pyramid import pyramid_detector
from corvane.tessmark.pyramid_loss import PyramidLoss

SIZE, SCORE = 64, 0.3
CLASSES = ["red", "blue"]
HAS_ONNX = all(importlib.util.find_spec(name) for name in ("tf2onnx", "onnx", "onnxruntime"))


def pictures(count, rng):
    """Dark noise with a red and a blue square of 10 to 23 pixels each."""
    images = rng.integers(0, 60, (count, SIZE, SIZE, 3)).astype(np.uint8)
    boxes = np.zeros((count, 2, 5), np.float32)
    for image, rows in zip(images, boxes):
        for cls, colour in enumerate([(220, 60, 60), (60, 60, 220)]):
            side = int(rng.integers(10, 24))
            x, y = (int(v) for v in rng.integers(0, SIZE - side, 2))
            image[y : y + side, x : x + side] = colour
            rows[cls] = [x, y, x + side, y + side, cls]
    return images, boxes


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A pyramid network after 40 steps, best.h5 (with labels.txt) as DetectionTrainer
    saves it channels-last and channels-first, and six new pictures as a COCO set."""
    from corvane.tessmark.trainer.detection import DetectionTrainer

    root = tmp_path_factory.mktemp("pyramid_deploy")
    rng = np.random.default_rng(0)
    tf.keras.utils.set_random_seed(0)
    model = pyramid_detector(None, len(CLASSES), SIZE, width=16)
    loss, optimizer = PyramidLoss(SIZE), tf.keras.optimizers.Adam(3e-3)
    images, boxes = pictures(64, rng)

    @tf.function
    def step(x, y):
        with tf.GradientTape() as tape:
            outputs = model(tf.cast(x, tf.float32) / 255.0, training=True)
            total = loss.compute_loss((y,), tuple(outputs))["total-loss"]
        variables = model.trainable_variables
        optimizer.apply_gradients(zip(tape.gradient(total, variables), variables))

    for k in range(40):
        step(images[k % 8 * 8 : k % 8 * 8 + 8], boxes[k % 8 * 8 : k % 8 * 8 + 8])

    checkpoints = {}
    for layout in ("nhwc", "nchw"):
        with contextlib.redirect_stdout(io.StringIO()):  # the trainer reports its paths
            saver = DetectionTrainer(
                model, None, optimizer, None, types.SimpleNamespace(writer=None),
                str(root / layout), classes=CLASSES,
            )  # fmt: skip
            saver.NCHW = layout == "nchw"
            saver.save_model(1.0)
        checkpoints[layout] = saver.best
    images, boxes = pictures(6, rng)
    entries = []
    for index, (image, rows) in enumerate(zip(images, boxes)):
        tf.io.write_file(str(root / f"{index}.png"), tf.io.encode_png(image))
        entries.append((f"{index}.png", SIZE, SIZE, rows))
    write_json(root / "val.json", coco_document(CLASSES, entries))
    # One wider picture, letterboxed by every runner.
    wide = np.concatenate([images[0], images[1][:, :32]], axis=1)
    return types.SimpleNamespace(
        model=model, checkpoints=checkpoints, root=root, images=[*images, wide], boxes=boxes
    )


def iou(a, b):
    w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    return w * h / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - w * h)


def same(found, expected, where):
    np.testing.assert_array_equal(found.classes, expected.classes, err_msg=where)
    np.testing.assert_allclose(found.scores, expected.scores, atol=1e-3, err_msg=where)
    np.testing.assert_allclose(found.boxes, expected.boxes, atol=0.5, err_msg=where)


@pytest.fixture(scope="module")
def expected(trained):
    """The checkpoint's detections of each picture, after checking that it learnt them."""
    runner = DetectionRunner.from_checkpoint(trained.checkpoints["nhwc"], score_threshold=SCORE)
    assert (runner.layout.name, runner.num_classes) == ("pyramid", 2)
    found = [runner.detect(image) for image in trained.images]
    hits = sum(
        any(c == t[4] and iou(b, t) > 0.5 for b, c in zip(f.boxes, f.classes))
        for f, truth in zip(found, trained.boxes)
        for t in truth
    )
    assert hits >= 0.5 * trained.boxes[:, :, 0].size, hits
    # The evaluator's runner, on the training model, decodes as the checkpoint's does.
    training = DetectionRunner.from_training_model(trained.model, score_threshold=SCORE)
    for image, want in zip(trained.images, found):
        same(training.detect(image), want, "training model")
    return found


@pytest.mark.parametrize("to", ["savedmodel", "tflite", "onnx"])
def test_each_export_gives_the_checkpoints_detections(trained, expected, to):
    if to == "onnx" and not HAS_ONNX:
        pytest.skip("the [export] extra (tf2onnx, onnx, onnxruntime) is not installed")
    # Channels-first through the SavedModel alone: its serving graph has transposes of its
    # own, where the other runtimes hand back the network's output as it is.
    layouts = ("nhwc", "nchw") if to == "savedmodel" else ("nhwc",)
    for layout in layouts:
        artefact = export_checkpoint(trained.checkpoints[layout], to, score_threshold=SCORE)
        runner = DetectionRunner.from_checkpoint(artefact.path, score_threshold=SCORE)
        assert runner.channels_first == (layout == "nchw")
        for image, want in zip(trained.images, expected):
            same(runner.detect(image), want, f"{layout} {to}")
        if to == "savedmodel":
            # The serving signature decodes the pyramid in its own graph, names included.
            serve = tf.saved_model.load(artefact.path).signatures["serving_default"]
            for image, want in zip(trained.images, expected):
                got = {k: v.numpy() for k, v in serve(image=tf.constant(image)).items()}
                same(types.SimpleNamespace(**got), want, f"{layout} serving")
                assert got["names"].tolist() == [CLASSES[k].encode() for k in want.classes]


def test_int8_keeps_most_detections(trained, expected):
    # Boxes and scores share one scale in the quantised output.
    quantized = export_checkpoint(
        trained.checkpoints["nhwc"], "tflite", quantize="int8", data=trained.root / "val.json"
    )
    runner = DetectionRunner.from_checkpoint(quantized.path, score_threshold=SCORE)
    matched = sum(
        any(c == k and iou(b, a) > 0.5 for a, k in zip(got.boxes, got.classes))
        for got, want in zip(map(runner.detect, trained.images), expected)
        for b, c in zip(want.boxes, want.classes)
    )
    assert matched >= 0.8 * sum(len(want.classes) for want in expected), matched


def test_the_command_prints_the_pyramids_detections(trained, expected, capsys):
    paths = [str(trained.root / f"{index}.png") for index in range(2)]
    assert predict.main([str(trained.checkpoints["nchw"]), *paths, "--score", str(SCORE)]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [line["image"] for line in lines] == paths
    for line, want in zip(lines, expected):
        assert line["classes"] == [CLASSES[k] for k in want.classes] and line["classes"]
        np.testing.assert_allclose(line["boxes"], want.boxes, atol=0.5)
