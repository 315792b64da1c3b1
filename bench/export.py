"""Exports of a trained demo checkpoint: accuracy, size and latency of each artefact.

    .venv/bin/python bench/export.py [--checkpoint best.h5] [--quick] [--repeats 3] [--json]

Trains the demo with its defaults and its grid detector (``python -m corvane.demo
--detector grid``: 5 epochs of the built-in shapes; bench/README.md gives its figures) in
a temporary folder, unless ``--checkpoint`` names a ``best.h5`` of the demo to
use instead; ``--quick`` trains the demo's ``--quick`` form for one epoch, a check that
every artefact runs rather than figures. Then exports the checkpoint with
:func:`corvane.tessmark.export.export_checkpoint` to a SavedModel, TFLite at float32,
float16 and int8 (calibrated on the first 200 images of the built-in training split,
written as COCO), and ONNX.

For the checkpoint and each artefact, through ``DetectionRunner.from_checkpoint`` as
``predict`` runs them: mAP@0.5 of the detections (score 0.05 and up) over the demo's
validation split (200 images), scored with pycocotools by
:func:`corvane.validator.evaluator.evaluate` (mAP@0.5:0.95 beside it, which shows box
precision); the size on disk; and the latency per
image, both of the network call alone and of ``detect`` (letterbox, network, decoding),
as medians over ``--repeats`` passes over the validation images after one untimed pass.
Each runtime keeps its own default threading. The targets: float16 within 0.01 and int8
within 0.03 of the checkpoint's mAP@0.5.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from bench.scale import SMOKE  # noqa: E402
from corvane.demo import data  # noqa: E402
from corvane.demo.app import DemoConfig, run_demo  # noqa: E402
from corvane.demo.coco import export_shapes  # noqa: E402
from corvane.tessmark.export import export_checkpoint  # noqa: E402
from corvane.tessmark.predict import DetectionRunner, ExportedNetwork  # noqa: E402
from corvane.validator.evaluator import ImageResult, evaluate  # noqa: E402

# (label, format, quantisation, tolerated mAP@0.5 loss against the checkpoint)
ARTEFACTS = [
    ("SavedModel", "savedmodel", None, None),
    ("TFLite float32", "tflite", None, None),
    ("TFLite float16", "tflite", "fp16", 0.01),
    ("TFLite int8", "tflite", "int8", 0.03),
    ("ONNX", "onnx", None, None),
]
CALIBRATION_IMAGES = 8 if SMOKE else 200
VALIDATION_IMAGES = 4 if SMOKE else 200


def trained_checkpoint(folder: str, quick: bool) -> str:
    """best.h5 of the demo's default run (or of its quick form) in ``folder``."""
    config = DemoConfig(out=folder, dvclive=False, mlflow=False, quick=quick, detector="grid")
    if quick:
        config.epochs = 1
    started = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        result = run_demo(config)
    print(
        f"demo trained ({config.epochs} epochs) in {time.perf_counter() - started:.0f} s, "
        f"its own mAP@0.5 {result.map50:.4f}",
        file=sys.stderr,
    )
    return str(result.checkpoints / "best.h5")


def size_of(path: str) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def measure(path: str, validation, repeats: int) -> dict:
    """mAP@0.5 and per-image latencies of the checkpoint or artefact at ``path``."""
    runner = DetectionRunner.from_checkpoint(path)
    results = []
    for image, boxes, name in zip(validation.images, validation.boxes, validation.names):
        found = runner.detect(image)
        height, width = image.shape[:2]
        results.append(
            ImageResult(
                name=name,
                height=height,
                width=width,
                gt_boxes=boxes[:, :4],
                gt_labels=boxes[:, 4].astype(np.int64),
                dt_boxes=found.boxes,
                dt_labels=found.classes,
                dt_scores=found.scores,
            )
        )
    average_precision = evaluate(results, len(data.CLASSES)).metrics["mAP"]

    def per_image(call) -> float:
        start = time.perf_counter()
        for image in validation.images:
            call(image)
        return (time.perf_counter() - start) / len(validation.images)

    if isinstance(runner.network, ExportedNetwork):
        forward = runner.network
    else:  # traced, as the runner calls a Keras network
        forward = tf.function(lambda batch: runner.network(batch, training=False))

    def network(image):
        batch = image[None].astype(np.float32) / 255.0
        if runner.channels_first:
            batch = batch.transpose(0, 3, 1, 2)
        return np.asarray(forward(batch))

    per_image(network)  # a traced function traces here
    network_times = [per_image(network) for _ in range(repeats)]
    detect_times = [per_image(runner.detect) for _ in range(repeats)]
    return {
        "map50": average_precision["0.5"],
        "map": average_precision["0.5:0.95"],
        "size": size_of(path),
        "network": statistics.median(network_times),
        "network_spread": max(network_times) - min(network_times),
        "detect": statistics.median(detect_times),
        "detect_spread": max(detect_times) - min(detect_times),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--checkpoint", help="a best.h5 of the demo (default: train one)")
    parser.add_argument("--quick", action="store_true", help="the demo's quick form, 1 epoch")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="corvane-export-") as folder:
        checkpoint = args.checkpoint or trained_checkpoint(os.path.join(folder, "demo"), args.quick)
        train, validation = data.shape_splits(CALIBRATION_IMAGES, VALIDATION_IMAGES)
        calibration, _ = export_shapes(os.path.join(folder, "coco"), train, validation)
        rows, table = [], []
        baseline = measure(checkpoint, validation, args.repeats)
        measured = [("checkpoint (.h5)", None, baseline)]
        for label, to, quantize, _ in ARTEFACTS:
            out = os.path.join(folder, "artefacts", f"{to}-{quantize or 'float32'}")
            os.makedirs(os.path.dirname(out), exist_ok=True)
            started = time.perf_counter()
            artefact = export_checkpoint(
                checkpoint,
                to,
                out=out + (".tflite" if to == "tflite" else ".onnx" if to == "onnx" else ""),
                quantize=quantize,
                data=calibration if quantize == "int8" else None,
            )
            took = time.perf_counter() - started
            measured.append((label, took, measure(artefact.path, validation, args.repeats)))

        for (label, took, m), (_, _, _, tolerance) in zip(measured, [(None,) * 4] + ARTEFACTS):
            change = m["map50"] - baseline["map50"]
            verdict = ""
            if tolerance is not None:
                verdict = f"within {tolerance}: {'met' if abs(change) <= tolerance else 'NOT met'}"
            cells = (
                label,
                f"{m['map50']:.4f} ({change:+.4f})",
                f"{m['map']:.4f} ({m['map'] - baseline['map']:+.4f})",
                f"{m['size'] / 1024:.1f} KiB",
                f"{m['network'] * 1e3:.2f} ms (spread {m['network_spread'] * 1e3:.2f})",
                f"{m['detect'] * 1e3:.2f} ms (spread {m['detect_spread'] * 1e3:.2f})",
                f"{took:.1f} s" if took is not None else "",
                verdict,
            )
            table.append(cells)
            rows.append(
                (
                    f"export {label}: mAP@0.5, size",
                    f"{m['map50']:.4f}, {m['size'] / 1024:.1f} KiB",
                    f"checkpoint {baseline['map50']:.4f}",
                    f"{change:+.4f}",
                    f"detect {m['detect'] * 1e3:.2f} ms/image {verdict}".strip(),
                )
            )
    header = (
        "artefact",
        "mAP@0.5 (change)",
        "mAP@0.5:0.95 (change)",
        "size",
        "network/image",
        "detect/image",
        "export",
        "",
    )
    print(" | ".join(header), file=sys.stderr)
    for cells in table:
        print(" | ".join(cells), file=sys.stderr)
    if args.json:
        print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
