"""Validation speed per sample: the library's evaluator against the demo's old one.

``corvane.validator.evaluator.DetectionEvaluator`` (its runner
``corvane.tessmark.predict.DetectionRunner``, decoding through
``corvane.tessmark.grid.decode_grid``) took over from the demo's own
``corvane.demo.evaluator``, which no longer exists in the working tree. The old one is
read from git history: its module and its siblings ``data.py`` and ``model.py`` (which it
imports relatively) are taken from ``--commit`` (default 95c527f) with ``git show`` into a
temporary package ``olddemo``, so that they import without touching ``corvane.demo``.

Both evaluators get the same demo network (built once, seed 0) and the same validation
samples (the demo's validation split, read through ``corvane.demo.data.validation_dataset``
as the trainer reads it, then held in memory). Each pass does per sample what the trainer's
validation pass does: ``evaluator.runner.run_single_instance(image)``, then
``evaluator.single_evaluation(instances, epoch, add_image)``, and ``evaluator.conclude`` at
the end. One untimed pass each first (it traces the network call), then ``--passes``
timed passes each, old and new alternating, the order swapped every round. Reported:
median seconds per sample with the spread (max - min) over the passes, for the whole pass
and split into the runner's share and the share of ``single_evaluation`` + ``conclude``;
the ratio new/old of the medians, and beside it the median of the rounds' own ratios
(the two passes of a round run back to back, so a change of load hits both).
The metrics of the two must agree within 1e-9.

``python bench/evaluator_speed.py [--passes 5] [--samples 200] [--commit 95c527f]``
prints a table; ``--json`` prints the rows for ``bench/run.py``.
"""

import argparse
import importlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from corvane.demo import data  # noqa: E402
from corvane.demo.model import build_detector  # noqa: E402
from corvane.validator.evaluator import DetectionEvaluator  # noqa: E402

OLD_PACKAGE = "olddemo"
OLD_FILES = ("evaluator.py", "data.py", "model.py")
TOLERANCE = 1e-9


def import_old_evaluator(commit: str, folder: str):
    """The module ``corvane/demo/evaluator.py`` of ``commit``, as ``olddemo.evaluator``."""
    package = Path(folder) / OLD_PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text(f'"""corvane.demo of commit {commit}."""\n')
    for name in OLD_FILES:
        source = subprocess.run(
            ["git", "-C", str(ROOT), "show", f"{commit}:python/corvane/demo/{name}"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        (package / name).write_text(source)
    sys.path.insert(0, folder)
    return importlib.import_module(f"{OLD_PACKAGE}.evaluator")


def validation_samples(count: int):
    """The demo's validation samples as the trainer unpacks them, in memory."""
    shapes = data.make_shapes(count, (data.DATA_SEED, data.VALIDATION_SPLIT))
    samples = []
    for images, boxes, names in data.validation_dataset(shapes):
        image, boxes = images.numpy()[0], boxes.numpy()[0]
        labels = np.array([data.CLASSES[int(cls[0])] for cls in boxes[:, 4:]])
        samples.append((image, boxes[:, 0:4], labels, names.numpy()[0].decode()))
    return samples


def one_pass(evaluator, samples, epoch: int):
    """(seconds in the runner, seconds in single_evaluation + conclude, metrics, detections)."""
    runner_time = evaluation_time = 0.0
    detections = []
    instances, gt_instance, dt_instance = {}, {}, {}
    clock = time.perf_counter
    for image, gt_boxes, gt_labels, name in samples:
        start = clock()
        dt_boxes, dt_labels, dt_scores = evaluator.runner.run_single_instance(image)
        ran = clock()
        height, width, _ = image.shape
        gt_instance["image"] = image
        gt_instance["height"] = height
        gt_instance["width"] = width
        gt_instance["boxes"] = gt_boxes
        gt_instance["labels"] = gt_labels
        gt_instance["image_path"] = name
        dt_instance["boxes"] = dt_boxes
        dt_instance["labels"] = dt_labels
        dt_instance["scores"] = dt_scores
        instances["gt_instance"] = gt_instance
        instances["dt_instance"] = dt_instance
        filled = clock()
        truth_values = evaluator.single_evaluation(instances, epoch, False)
        evaluated = clock()
        runner_time += ran - start
        evaluation_time += evaluated - filled
        detections.append((dt_boxes, dt_labels, dt_scores))
    start = clock()
    metrics = evaluator.conclude(truth_values, epoch=epoch)
    evaluation_time += clock() - start
    return runner_time, evaluation_time, metrics, detections


def largest_difference(a, b, where="metrics") -> float:
    """The largest absolute difference of two nested dictionaries of numbers."""
    if isinstance(a, dict):
        if set(a) != set(b):
            raise AssertionError(f"{where}: keys {sorted(a)} against {sorted(b)}")
        return max((largest_difference(a[k], b[k], f"{where}[{k}]") for k in a), default=0.0)
    return abs(float(a) - float(b))


def detection_difference(old, new) -> float:
    """The largest difference of boxes and scores over all images; classes must be equal."""
    largest = 0.0
    for (old_boxes, old_labels, old_scores), (new_boxes, new_labels, new_scores) in zip(old, new):
        if not np.array_equal(np.asarray(old_labels), np.asarray(new_labels)):
            raise AssertionError("the two runners found different classes")
        if np.shape(old_boxes) != np.shape(new_boxes):
            raise AssertionError("the two runners found different numbers of boxes")
        for x, y in ((old_boxes, new_boxes), (old_scores, new_scores)):
            if np.size(x):
                largest = max(largest, float(np.max(np.abs(np.subtract(x, y, dtype=float)))))
    return largest


def measure(passes: int = 5, samples: int = 200, commit: str = "95c527f"):
    """Per-pass seconds per sample of both sides and what was checked along the way."""
    with tempfile.TemporaryDirectory() as folder:
        old_module = import_old_evaluator(commit, folder)
        tf.keras.utils.set_random_seed(0)
        model = build_detector()
        classes = list(data.CLASSES)
        evaluators = {
            "old": old_module.DetectionEvaluator(model, class_names=classes),
            "new": DetectionEvaluator(model, class_names=classes),
        }
        for evaluator in evaluators.values():
            evaluator(val_messenger=None, labels=classes)
        inputs = validation_samples(samples)
        times = {name: {"total": [], "runner": [], "evaluation": []} for name in evaluators}
        metrics = {name: [] for name in evaluators}
        warm = {name: one_pass(e, inputs, 0) for name, e in evaluators.items()}
        boxes_differ = detection_difference(warm["old"][3], warm["new"][3])
        for name in evaluators:
            metrics[name].append(warm[name][2])
        for round_ in range(passes):
            order = ("old", "new") if round_ % 2 == 0 else ("new", "old")
            for name in order:
                started = time.perf_counter()
                runner_time, evaluation_time, found, _ = one_pass(
                    evaluators[name], inputs, round_ + 1
                )
                total = time.perf_counter() - started
                times[name]["total"].append(total / len(inputs))
                times[name]["runner"].append(runner_time / len(inputs))
                times[name]["evaluation"].append(evaluation_time / len(inputs))
                metrics[name].append(found)
    differences = [largest_difference(o, n) for o, n in zip(metrics["old"], metrics["new"])]
    metrics_differ = max(differences)
    if not metrics_differ <= TOLERANCE:
        raise AssertionError(f"the metrics differ by {metrics_differ} (allowed {TOLERANCE})")
    return {
        "times": times,
        "metrics_differ": metrics_differ,
        "boxes_differ": boxes_differ,
        "metrics": metrics["new"][0],
        "passes": passes,
        "samples": len(inputs),
        "commit": commit,
    }


def ms(values):
    return f"{statistics.median(values) * 1e3:.3f} ms (spread {spread_ms(values)})"


def spread_ms(values):
    return f"{(max(values) - min(values)) * 1e3:.3f}"


def rows(result):
    """Rows ``[name, value, peer, ratio, note]`` like those of ``bench/run.py``."""
    times = result["times"]
    old_name = f"demo's old evaluator ({result['commit']})"
    what = {
        "total": "validation pass per sample, demo network, evaluator",
        "runner": "  of it run_single_instance",
        "evaluation": "  of it single_evaluation + conclude",
    }
    table = []
    for part, name in what.items():
        new, old = times["new"][part], times["old"][part]
        # Old and new of one round ran next to each other: their ratio sees the same load.
        paired = statistics.median(n / o for n, o in zip(new, old))
        note = f"paired by round {paired:.2f}"
        if part == "total":
            note = (
                f"{result['passes']} passes of {result['samples']} images, alternating, "
                f"median; {note}; metrics equal: {result['metrics_differ'] <= TOLERANCE} "
                f"(largest difference {result['metrics_differ']:.1e})"
            )
        table.append(
            [
                name,
                ms(new),
                f"{ms(old)}, {old_name}",
                f"{statistics.median(new) / statistics.median(old):.2f}",
                note,
            ]
        )
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--passes", type=int, default=5, help="timed passes per side")
    parser.add_argument("--samples", type=int, default=200, help="validation images per pass")
    parser.add_argument("--commit", default="95c527f", help="where the old evaluator is read")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    args = parser.parse_args()
    if args.passes < 1 or args.samples < 1:
        parser.error("--passes and --samples must be at least 1")
    started = time.perf_counter()
    result = measure(args.passes, args.samples, args.commit)
    table = rows(result)
    if args.json:
        print(json.dumps(table))
        return
    header = ["measure", "library (new)", "peer", "new/old", "note"]
    widths = [max(len(str(r[i])) for r in table + [header]) for i in range(5)]
    print(" | ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip())
    print("-+-".join("-" * w for w in widths))
    for r in table:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    for name in ("old", "new"):
        per_pass = ", ".join(f"{t * 1e3:.3f}" for t in result["times"][name]["total"])
        print(f"{name} ms per sample, pass by pass: {per_pass}")
    m = result["metrics"]
    print(
        f"metrics: mAP@0.5 {m['mAP']['0.5']:.4f}, mAR@0.5 {m['mAR']['0.5']:.4f}, "
        f"OP {m['OP']:.4f}; old and new differ by at most {result['metrics_differ']:.1e}; "
        f"detections by at most {result['boxes_differ']:.1e}"
    )
    print(f"{time.perf_counter() - started:.0f} s in all")


if __name__ == "__main__":
    main()
