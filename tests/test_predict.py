"""Inference: a checkpoint the trainer saved, images of any size, detections in their own
pixels, on the command line and in Python."""

import json
import os
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf

import corvane
from corvane.tessmark.export import main as export_main
from corvane.tessmark.grid import detection_head
from corvane.tessmark.predict import DetectionRunner, main

CLASSES = ["ring", "block"]
PYTHONPATH = str(Path(corvane.__file__).parents[1])


def bright_cell_detector():
    """A network that detects every bright 8 x 8 cell of its 64 x 64 input as a "block"
    centred on the cell, 16 pixels wide and high."""
    inputs = tf.keras.Input((64, 64, 3))
    outputs = detection_head(tf.keras.layers.AveragePooling2D(8)(inputs), len(CLASSES))
    model = tf.keras.Model(inputs, outputs)
    box = np.zeros((1, 1, 3, 5), np.float32)
    box[..., 0] = 40 / 3  # objectness: +20 for a white cell, -20 for a black one
    size = np.log(0.25 / 0.75)  # sigmoid: a quarter of the input
    model.get_layer("box_logits").set_weights([box, np.array([-20, 0, 0, size, size])])
    classes = model.get_layer("class_logits")
    classes.set_weights([np.zeros((1, 1, 3, 2), np.float32), np.array([0.0, 10.0])])
    return model


@pytest.fixture(scope="module")
def checkpoints(tmp_path_factory):
    """best.h5 and labels.txt as the trainer saves them, and a channels-first twin."""
    from corvane.tessmark.trainer.detection import DetectionTrainer

    folder = tmp_path_factory.mktemp("checkpoints")
    logger = types.SimpleNamespace(writer=None)
    optimizer = tf.keras.optimizers.SGD(0.1)
    trainer = DetectionTrainer(
        bright_cell_detector(), None, optimizer, None, logger, str(folder), classes=CLASSES
    )
    trainer.save_model(1.0)
    trainer.NCHW = True
    trainer.checkpoint, trainer.best, trainer.last = (
        str(folder / "nchw"),
        str(folder / "nchw" / "best.h5"),
        str(folder / "nchw" / "last.h5"),
    )
    os.makedirs(trainer.checkpoint)
    trainer.save_model(2.0)
    return folder


def picture(height, width, block):
    """Black, with one white rectangle (x1, y1, x2, y2)."""
    image = np.zeros((height, width, 3), np.uint8)
    x1, y1, x2, y2 = block
    image[y1:y2, x1:x2] = 255
    return image


def write_png(path, image):
    tf.io.write_file(str(path), tf.io.encode_png(image))
    return str(path)


def predict(*args, cwd):
    env = dict(os.environ, PYTHONPATH=PYTHONPATH, TF_CPP_MIN_LOG_LEVEL="3")
    command = [sys.executable, "-m", "corvane.tessmark.predict", *map(str, args)]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_the_command_writes_one_json_line_per_image_in_its_own_pixels(
    checkpoints, tmp_path, capsys
):
    square = write_png(tmp_path / "square.png", picture(64, 64, (40, 16, 48, 24)))
    # 128 x 64 is letterboxed to 64 x 32 with 16 rows of fill above: the block lands in
    # the same cell, and its box goes back to twice the size, clipped at the top edge.
    wide = write_png(tmp_path / "wide.png", picture(64, 128, (80, 0, 96, 16)))
    empty = write_png(tmp_path / "empty.png", picture(30, 20, (0, 0, 0, 0)))
    done = predict(checkpoints / "best.h5", square, wide, empty, cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["image"], r["width"], r["height"]) for r in lines] == [
        (square, 64, 64),
        (wide, 128, 64),
        (empty, 20, 30),
    ]
    assert lines[0]["boxes"] == [[36.0, 12.0, 52.0, 28.0]] and lines[0]["classes"] == ["block"]
    assert lines[1]["boxes"] == [[72.0, 0.0, 104.0, 24.0]] and lines[1]["scores"][0] > 0.99
    assert lines[2] == {**lines[2], "boxes": [], "scores": [], "classes": []}

    # Without labels classes are indices; --score leaves out what scores below it; --out.
    alone = tmp_path / "alone"
    alone.mkdir()
    (alone / "net.h5").write_bytes((checkpoints / "best.h5").read_bytes())
    out = tmp_path / "found.jsonl"
    assert main([str(alone / "net.h5"), square, "--out", str(out)]) == 0
    assert json.loads(out.read_text())["classes"] == [1]
    main([str(alone / "net.h5"), square, "--score", "0.9999999"])
    assert json.loads(capsys.readouterr().out)["boxes"] == []


def test_a_channels_first_checkpoint_detects_the_same(checkpoints):
    image = picture(48, 96, (60, 4, 76, 20))
    found = [
        DetectionRunner.from_checkpoint(path, score_threshold=0.5).detect(image)
        for path in (checkpoints / "best.h5", checkpoints / "nchw" / "best.h5")
    ]
    nchw = tf.keras.models.load_model(checkpoints / "nchw" / "best.h5", compile=False)
    assert nchw.input.shape[1:] == (3, 64, 64) and len(found[0].boxes) >= 1
    for a, b in zip(*found):
        np.testing.assert_allclose(a, b, atol=1e-4)


@pytest.fixture
def refused(capsys):
    """The message with which the command refuses ``args``."""

    def run(*args):
        with pytest.raises(SystemExit) as caught:
            main([str(a) for a in args])
        assert caught.value.code == 2
        return capsys.readouterr().err

    return run


def test_mistakes_are_named(checkpoints, tmp_path, refused):
    square = write_png(tmp_path / "square.png", picture(64, 64, (40, 16, 48, 24)))
    best = checkpoints / "best.h5"
    assert f"no such file: {tmp_path / 'nowhere.png'}" in refused(best, tmp_path / "nowhere.png")
    (tmp_path / "three.txt").write_text("a\nb\nc\n")
    message = refused(best, square, "--classes", tmp_path / "three.txt")
    assert "three.txt names 3 classes, the checkpoint predicts 2" in message
    (tmp_path / "broken.png").write_bytes(b"not a picture")
    out = tmp_path / "found.jsonl"
    assert "cannot read the image" in refused(best, square, tmp_path / "broken.png", "--out", out)
    assert not out.exists()  # no partial file
    assert "--score must be between 0 and 1" in refused(best, square, "--score", "2")
    # A checkpoint that is missing or no network: one line that names it.
    (tmp_path / "broken.h5").write_bytes(b"not a network")
    for path, message in (
        (tmp_path / "nowhere.h5", f"no such file: {tmp_path / 'nowhere.h5'}"),
        (tmp_path / "broken.h5", f"{tmp_path / 'broken.h5'}: is not a checkpoint of Detection"),
    ):
        error = refused(path, square)
        assert error.startswith(f"python -m corvane.tessmark.predict: error: {message}"), error
        assert error.count("\n") == 1, error


def test_a_network_that_is_no_detector_is_refused_as_export_refuses_it(tmp_path, capsys):
    square = write_png(tmp_path / "square.png", picture(64, 64, (40, 16, 48, 24)))
    classifier = tmp_path / "classifier.h5"
    tf.keras.Sequential([tf.keras.Input((8,)), tf.keras.layers.Dense(3)]).save(classifier)
    with pytest.raises(SystemExit):
        export_main([str(classifier), "--to", "tflite"])
    exported = capsys.readouterr().err.strip().splitlines()[-1].split(": error: ", 1)[1]
    assert exported.startswith(f"{classifier}: is not a checkpoint of DetectionTrainer")
    done = predict(classifier, square, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == f"python -m corvane.tessmark.predict: error: {exported}\n"


def test_an_export_that_cannot_be_run_is_named(tmp_path, refused):
    square = write_png(tmp_path / "square.png", picture(64, 64, (40, 16, 48, 24)))
    for name in ("broken.tflite", "broken.onnx"):
        (tmp_path / name).write_bytes(b"not a network")
        assert f"cannot load the checkpoint {tmp_path / name}" in refused(tmp_path / name, square)
    (tmp_path / "empty").mkdir()
    message = refused(tmp_path / "empty", square)
    assert f"{tmp_path / 'empty'} is not a SavedModel" in message


def test_a_photo_stored_sideways_is_detected_as_displayed(checkpoints, tmp_path, capsys):
    """EXIF orientation 6 (turn a quarter clockwise to display): the same detections, in
    the displayed image's pixels, as the upright picture."""
    from PIL import Image

    upright = picture(64, 128, (80, 0, 96, 16))
    exif = Image.Exif()
    exif[0x0112] = 6
    sideways = tmp_path / "sideways.png"
    # Stored turned a quarter anticlockwise, so that the tag turns it back.
    Image.fromarray(np.rot90(upright)).save(sideways, exif=exif)
    plain = write_png(tmp_path / "upright.png", upright)
    assert main([str(checkpoints / "best.h5"), str(sideways), plain]) == 0
    turned, straight = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert (turned["width"], turned["height"]) == (128, 64)
    assert turned["boxes"] == straight["boxes"] == [[72.0, 0.0, 104.0, 24.0]]
