"""Exports of a checkpoint: the checkpoint's network in each runtime (SavedModel, TFLite,
ONNX), the same detections through predict, a serving signature that needs none of our
Python, and refusals that name the file and write nothing."""

import contextlib
import io
import json
import os
import subprocess
import sys
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.demo import data
from corvane.demo.coco import export_shapes
from corvane.demo.model import build_detector
from corvane.tessmark import predict
from corvane.tessmark.coco import DatasetFormatError, Letterbox, decode_image, read_coco
from corvane.tessmark.export import FORMATS, ExportError, export_checkpoint, main
from corvane.tessmark.grid import decode_grid, decode_grid_graph, detection_head, letterbox_layout
from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.predict import DetectionRunner, load_checkpoint

VALIDATION_IMAGES = 20


def save_as_trainer(model, folder):
    """``folder/best.h5`` as DetectionTrainer saves a training ``model`` (the two training
    outputs left out), with labels.txt; channels-first where the folder's name says so."""
    from corvane.tessmark.trainer.detection import DetectionTrainer

    logger = types.SimpleNamespace(writer=None)
    classes = list(data.CLASSES)[: model.outputs[1].shape[-1]]
    with contextlib.redirect_stdout(io.StringIO()):  # the trainer reports its paths
        trainer = DetectionTrainer(
            model, None, tf.keras.optimizers.SGD(0.1), None, logger, str(folder), classes=classes
        )
        trainer.NCHW = folder.name == "nchw"
        trainer.save_model(1.0)
    return folder / "best.h5"


def train_briefly():
    """The demo network after 40 steps on the built-in shapes: it finds most of them."""
    tf.keras.utils.set_random_seed(0)
    model = build_detector()
    optimizer = tf.keras.optimizers.Adam(3e-3)
    loss = TessmarkLoss()

    @tf.function
    def step(images, grids):
        with tf.GradientTape() as tape:
            outputs = model(tf.cast(images, tf.float32) / 255.0, training=True)
            total = loss.compute_loss((grids,), tuple(outputs))["total-loss"]
        variables = model.trainable_variables
        optimizer.apply_gradients(zip(tape.gradient(total, variables), variables))

    shapes = data.make_shapes(256, (data.DATA_SEED, data.TRAIN_SPLIT))
    for images, grids in data.training_elements(shapes).shuffle(256, seed=0).batch(16).take(40):
        step(images, grids)
    return model


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """best.h5 of a briefly trained demo network and its channels-first twin, each with
    labels.txt, and the COCO set of the built-in validation images."""
    root = tmp_path_factory.mktemp("export")
    model = train_briefly()
    best, nchw = save_as_trainer(model, root / "nhwc"), save_as_trainer(model, root / "nchw")
    validation = data.make_shapes(VALIDATION_IMAGES, (data.DATA_SEED, data.VALIDATION_SPLIT))
    export_shapes(
        root / "coco", data.make_shapes(1, (data.DATA_SEED, data.TRAIN_SPLIT)), validation
    )
    coco = read_coco(root / "coco" / "val.json")
    return types.SimpleNamespace(
        checkpoints={"nhwc": best, "nchw": nchw},
        images=list(validation.images),
        coco=coco,
        coco_images=[decode_image(image.path).numpy() for image in coco.images],
    )


@pytest.fixture(scope="module")
def exported(trained):
    """Every float32 artefact of both checkpoints, at its default path."""
    return {
        (layout, to): export_checkpoint(checkpoint, to)
        for layout, checkpoint in trained.checkpoints.items()
        for to in FORMATS
    }


def batch_of(image, channels_first):
    batch = image[None].astype(np.float32) / 255.0
    return batch.transpose(0, 3, 1, 2) if channels_first else batch


def test_each_float32_artefact_computes_the_checkpoints_grid(trained, exported):
    assert trained.coco_images and all(
        np.array_equal(a, b) for a, b in zip(trained.images, trained.coco_images)
    )
    checkpoints = {layout: load_checkpoint(path) for layout, path in trained.checkpoints.items()}
    batches = {
        layout: [
            batch_of(image, layout == "nchw") for image in trained.images + trained.coco_images
        ]
        for layout in checkpoints
    }
    wanted = {
        layout: checkpoints[layout](np.concatenate(batches[layout])).numpy()
        for layout in checkpoints
    }
    for (layout, to), artefact in exported.items():
        checkpoint, network = checkpoints[layout], load_checkpoint(artefact.path)
        assert artefact.size > 0 and (to == "savedmodel") == os.path.isdir(artefact.path)
        assert network.input_shape == checkpoint.input_shape, (layout, to)
        assert network.output_shape == checkpoint.output_shape, (layout, to)
        # One image at a time, as predict runs them.
        got = np.concatenate([network(batch) for batch in batches[layout]])
        np.testing.assert_allclose(got, wanted[layout], atol=1e-4, err_msg=f"{layout} {to}")


def same_detections(found, expected, where):
    """Same classes in the same order, boxes within 0.5 px, scores within 1e-3."""
    assert found["classes"] == expected["classes"], where
    np.testing.assert_allclose(found["scores"], expected["scores"], atol=1e-3, err_msg=where)
    boxes = np.reshape(found["boxes"], (-1, 4))
    np.testing.assert_allclose(boxes, np.reshape(expected["boxes"], (-1, 4)), atol=0.5)


def test_predict_gives_the_checkpoints_detections_for_each_artefact(trained, exported, tmp_path):
    paths = [image.path for image in trained.coco.images]

    def lines(checkpoint):
        out = tmp_path / "found.jsonl"
        assert predict.main([str(checkpoint), *paths, "--score", "0.05", "--out", str(out)]) == 0
        return [json.loads(line) for line in out.read_text().splitlines()]

    for layout, checkpoint in trained.checkpoints.items():
        expected = lines(checkpoint)
        # Names from labels.txt, found beside the artefacts as beside the checkpoint.
        assert sum(len(r["classes"]) for r in expected) >= VALIDATION_IMAGES
        assert {name for r in expected for name in r["classes"]} <= set(data.CLASSES)
        for to in FORMATS:
            found = lines(exported[layout, to].path)
            assert [r["image"] for r in found] == paths
            for a, b in zip(found, expected):
                assert (a["width"], a["height"]) == (b["width"], b["height"])
                same_detections(a, b, f"{layout} {to} {a['image']}")


SERVE = """
import json, sys
import numpy as np
import tensorflow as tf

images = np.load(sys.argv[1], allow_pickle=True)
result = {}
for folder in sys.argv[2:]:
    serve = tf.saved_model.load(folder).signatures["serving_default"]
    found = [serve(image=tf.constant(image)) for image in images]
    result[folder] = [{key: value.numpy().tolist() for key, value in f.items()} for f in found]
result["ours"] = sorted(name for name in sys.modules if name.startswith("corvane"))
print(json.dumps(result, default=lambda b: b.decode()))
"""


def test_the_serving_signature_detects_without_our_python(trained, exported, tmp_path):
    """uint8 images of other sizes than the input, through tf.saved_model.load alone."""
    images = []
    # Crops of the validation images, some enlarged: the letterbox brings their shapes back
    # to the sizes the network learnt.
    crops = [(64, 40, 1), (48, 64, 2), (64, 52, 1.5), (64, 64, 1), (40, 64, 1.25)]
    for index, source in enumerate(trained.images[:10]):
        height, width, scale = crops[index % len(crops)]
        size = (round(height * scale), round(width * scale))
        crop = tf.image.resize(source[:height, :width], size, antialias=True)
        images.append(np.round(crop.numpy()).astype(np.uint8))
    np.save(tmp_path / "images.npy", np.array(images, dtype=object), allow_pickle=True)
    folders = [exported[layout, "savedmodel"].path for layout in ("nhwc", "nchw")]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run(
        [sys.executable, "-c", SERVE, str(tmp_path / "images.npy"), *folders],
        cwd=tmp_path,
        env={**env, "TF_CPP_MIN_LOG_LEVEL": "3"},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.splitlines()[-1])
    assert result.pop("ours") == []

    runner = DetectionRunner.from_checkpoint(trained.checkpoints["nhwc"], score_threshold=0.5)
    expected = []
    for image in images:
        found = runner.detect(image)
        expected.append({"boxes": found.boxes, "scores": found.scores, "classes": found.classes})
    assert sum(len(e["classes"]) for e in expected) >= 2
    for folder in folders:
        for got, want in zip(result[folder], expected):
            same_detections(got, {**want, "classes": want["classes"].tolist()}, folder)
            assert got["names"] == [data.CLASSES[k] for k in want["classes"]]


def test_the_graph_decoder_agrees_with_decode_grid_and_the_letterbox():
    rng = np.random.default_rng(7)
    for classes, height, width, threshold, iou in [(3, 64, 64, 0.05, 0.5), (1, 37, 129, 0.3, 0.3)]:
        grid = rng.uniform(0, 1, (8, 8, 5 + classes)).astype(np.float32)
        grid[..., 5:] /= grid[..., 5:].sum(axis=-1, keepdims=True)
        grid[..., 3:5] *= 0.6  # boxes of up to 0.6 of the input, overlapping their neighbours
        want = decode_grid(grid, height, width, threshold, iou)
        got = decode_grid_graph(tf.constant(grid), height, width, threshold, iou)
        assert len(want.classes) > 3 and np.array_equal(got[2].numpy(), want.classes)
        np.testing.assert_allclose(got[1].numpy(), want.scores, rtol=0, atol=1e-7)
        np.testing.assert_allclose(got[0].numpy(), want.boxes, rtol=0, atol=1e-4)
    # Wide, tall and square, many of them scaled onto a half pixel (rounded to even).
    sizes = [(h, w) for h in range(1, 160) for w in (1, 2, 3, 5, 80, 127, 128, 500)]
    layouts = tf.stack([tf.stack(letterbox_layout(h, w, 64)) for h, w in sizes]).numpy()
    fits = [Letterbox.fit(h, w, 64) for h, w in sizes]
    assert layouts.tolist() == [[b.new_height, b.new_width, b.top, b.left] for b in fits]


def test_quantised_tflite_keeps_the_interface_and_stays_close(trained, tmp_path):
    checkpoint = load_checkpoint(trained.checkpoints["nhwc"])
    batch = np.concatenate([batch_of(image, False) for image in trained.images])
    want = checkpoint(batch).numpy()
    sizes = {}
    for quantize, kind, atol in (("fp16", np.float16, 2e-3), ("int8", np.int8, 0.1)):
        out = tmp_path / f"{quantize}.tflite"
        data_file = trained.coco.annotations if quantize == "int8" else None
        artefact = export_checkpoint(
            trained.checkpoints["nhwc"], "tflite", out=out, quantize=quantize, data=data_file
        )
        sizes[quantize] = artefact.size
        network = load_checkpoint(out)
        kinds = {d["dtype"] for d in network.interpreter.get_tensor_details()}
        assert kind in kinds and network.input_shape == checkpoint.input_shape
        got = np.concatenate([network(batch[i : i + 1]) for i in range(len(batch))])
        assert got.dtype == np.float32
        np.testing.assert_allclose(got, want, atol=atol, err_msg=quantize)
    weights = checkpoint.count_params() * 4
    assert sizes["fp16"] < 0.6 * weights and sizes["int8"] < 0.35 * weights


def digamma_detector():
    """A network of the grid's layout with an operation that neither TFLite's builtins
    nor ONNX have."""
    inputs = tf.keras.Input((64, 64, 3))
    features = tf.keras.layers.AveragePooling2D(8)(tf.math.digamma(inputs + 1.0))
    return tf.keras.Model(inputs, detection_head(features, 2))


def listing(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def earlier_onnx(path):
    """A small ONNX model where an export of that name would be."""
    import onnx
    from onnx import TensorProto, helper

    value = [helper.make_tensor_value_info(name, TensorProto.FLOAT, [1]) for name in "xy"]
    node = helper.make_node("Identity", ["x"], ["y"])
    onnx.save(helper.make_model(helper.make_graph([node], "earlier", value[:1], value[1:])), path)


def test_refusals_name_the_file_and_write_nothing(trained, tmp_path, capsys):
    odd = save_as_trainer(digamma_detector(), tmp_path / "odd")
    broken, classifier, best = (
        tmp_path / name for name in ("broken.h5", "classifier.h5", "best.h5")
    )
    broken.write_bytes(b"not a network")
    tf.keras.Sequential([tf.keras.Input((8,)), tf.keras.layers.Dense(3)]).save(classifier)
    best.write_bytes(trained.checkpoints["nhwc"].read_bytes())
    onnx, tflite, notes = (tmp_path / name for name in ("best.onnx", "best.tflite", "notes.txt"))
    earlier_onnx(onnx)
    # A flatbuffer's header: the root table's offset, then the file identifier.
    tflite.write_bytes(b"\x1c\x00\x00\x00TFL3" + bytes(24))
    notes.write_text("my notes\n")
    (tmp_path / "bad.json").write_text('{"images": []}')
    before = listing(tmp_path)
    contents = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}

    cases = [
        (broken, {"to": "tflite"}, "is not a checkpoint of DetectionTrainer"),
        (classifier, {"to": "onnx"}, "its input is (None, 8), not a square image"),
        (odd, {"to": "tflite"}, "TFLite's builtin operations cannot take layer 'tf.math.digamma'"),
        (odd, {"to": "onnx"}, "ONNX (opset 13) cannot take layer 'tf.math.digamma' (Digamma)"),
        (best, {"to": "tflite", "quantize": "int8"}, "int8 calibrates on images"),
        (best, {"to": "onnx", "quantize": "fp16"}, "applies to tflite, not to onnx"),
        (best, {"to": "onnx", "out": onnx}, "already exists: pass --force"),
        # --force replaces an earlier export of the same kind, and nothing else.
        (best, {"to": "tflite", "out": notes, "force": True}, "is not a TFLite file"),
        (best, {"to": "onnx", "out": tflite, "force": True}, "is not an ONNX model"),
        (best, {"to": "tflite", "out": onnx, "force": True}, "is not a TFLite file"),
        (best, {"to": "savedmodel", "out": tmp_path, "force": True}, "is not a SavedModel"),
        (best, {"to": "tflite", "out": odd.parent, "force": True}, "TFLite file (a folder)"),
        (best, {"to": "tflite", "quantize": "int8", "data": tmp_path / "bad.json"}, ""),
    ]
    for index, (checkpoint, options, message) in enumerate(cases):
        named = options.get("out") or options.get("data") or checkpoint
        expected = DatasetFormatError if "data" in options else ExportError
        with pytest.raises(expected) as caught:
            export_checkpoint(checkpoint, **options)
        assert str(caught.value).startswith(f"{named}:") and message in str(caught.value), index
        assert listing(tmp_path) == before, index
    assert contents == {p: p.read_bytes() for p in contents}

    # The command says the same in one line, and --force replaces the earlier export of
    # the same kind by a whole one.
    for args, message in (
        ([best, "--to", "onnx"], f"{onnx}: already exists"),
        ([best, "--to", "tflite", "--out", notes, "--force"], f"{notes}: is not a TFLite file"),
    ):
        with pytest.raises(SystemExit) as caught:
            main([str(a) for a in args])
        error = capsys.readouterr().err
        assert caught.value.code == 2 and message in error and error.count("\n") == 1, error
    assert notes.read_text() == "my notes\n"
    assert main([str(best), "--to", "onnx", "--force"]) == 0
    line = capsys.readouterr().out
    assert line.startswith(f"{onnx}: ONNX") and f"{os.path.getsize(onnx):,} bytes" in line
    export_checkpoint(best, "tflite", force=True)
    for path in (onnx, tflite):
        assert load_checkpoint(path).input_shape == (None, 64, 64, 3), path
    assert listing(tmp_path) == before
