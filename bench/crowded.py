"""The pyramid against the grid on the demo's crowded scenes: COCO's metrics and the rate.

    .venv/bin/python bench/crowded.py [--epochs 40] [--train-images 600]
        [--validation-images 300] [--seed 0] [--quick] [--json]

Both detectors train through the demo (``run_demo``, as ``python -m corvane.demo
--builtin crowded --detector NAME``) on the same built-in crowded scenes at 160 pixels,
with the same seed, batch size and schedule, DVCLive and MLflow off. The demo's own
validation passes use the first 16 validation images only, to keep their time out of the
way; afterwards each run's ``last.h5`` detects every one of the ``--validation-images``
(through ``DetectionRunner``, as ``predict`` does), and pycocotools' ``COCOeval`` with its
default parameters scores them: mAP@.5:.95, mAP@.5, AP of small (under 32 x 32 pixels) and
medium objects (up to 96 x 96), and AR@100.

The training rate is the images of an epoch over the time from its start to its
validation, read from the demo's phase marks; the median over the epochs after the
first, whose time holds the tracing (the first epoch's alone with ``--epochs 1``).
``--quick``: 200 training and 100 validation images, 10 epochs.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

from corvane.demo.app import DemoConfig, run_demo  # noqa: E402
from corvane.demo.data import CLASSES  # noqa: E402
from corvane.demo.resume import PHASES_ENV  # noqa: E402

DETECTORS = ("pyramid", "grid")
IMAGE_SIZE = 160
VALIDATED_IN_RUN = 16
# COCOeval.stats: its summary's lines, in order.
STATS = {"mAP@.5:.95": 0, "mAP@.5": 1, "AP_small": 3, "AP_medium": 4, "AR@100": 8}
TARGET = 2.0


def train(detector: str, folder: Path, args) -> tuple[Path, float]:
    """Trains ``detector`` into ``folder``: its ``last.h5`` and training images/s."""
    phases = folder / "phases.txt"
    config = DemoConfig(
        epochs=args.epochs,
        out=str(folder),
        dvclive=False,
        mlflow=False,
        seed=args.seed,
        train_images=args.train_images,
        validation_images=min(VALIDATED_IN_RUN, args.validation_images),
        image_size=IMAGE_SIZE,
        detector=detector,
        builtin="crowded",
    )
    os.environ[PHASES_ENV] = str(phases)
    try:
        run_demo(config)
    finally:
        del os.environ[PHASES_ENV]
    return folder / "checkpoints" / "last.h5", args.train_images / epoch_time(phases)


def epoch_time(phases: Path) -> float:
    """Seconds from an epoch's start to its validation: the median of the epochs after the
    first, or the first's alone."""
    starts, ends = {}, {}
    for line in phases.read_text().splitlines():
        stamp, phase, *rest = line.split()
        if phase == "epoch":
            starts[int(rest[0])] = float(stamp)
        elif phase == "validation" and int(rest[0]) in starts:
            ends[int(rest[0])] = float(stamp)
    times = [ends[k] - starts[k] for k in sorted(ends)]
    return statistics.median(times[1:] or times)


def scores(checkpoint: Path, validation) -> dict:
    """COCOeval's default figures of ``checkpoint``'s detections on ``validation``."""
    import contextlib
    import io

    import numpy as np
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    from corvane.tessmark.predict import DetectionRunner

    runner = DetectionRunner.from_checkpoint(checkpoint)
    images, truth, found = [], [], []
    for image_id, (picture, boxes) in enumerate(zip(validation.images, validation.boxes), 1):
        images.append({"id": image_id, "height": IMAGE_SIZE, "width": IMAGE_SIZE})
        for x1, y1, x2, y2, cls in boxes.tolist():
            truth.append(
                {
                    "id": len(truth) + 1,
                    "image_id": image_id,
                    "category_id": int(cls) + 1,
                    "bbox": [x1, y1, x2 - x1, y2 - y1],
                    "area": (x2 - x1) * (y2 - y1),
                    "iscrowd": 0,
                }
            )
        rows, classes, confidences = runner.run_single_instance(picture)
        for (x1, y1, x2, y2), cls, score in zip(np.asarray(rows).tolist(), classes, confidences):
            found.append(
                {
                    "image_id": image_id,
                    "category_id": int(cls) + 1,
                    "bbox": [x1, y1, x2 - x1, y2 - y1],
                    "score": float(score),
                }
            )
    if not found:  # loadRes refuses an empty list; nothing found scores 0
        return dict.fromkeys(STATS, 0.0)
    ground = COCO()
    categories = [{"id": k + 1} for k in range(len(CLASSES))]
    ground.dataset = {"images": images, "annotations": truth, "categories": categories}
    with contextlib.redirect_stdout(io.StringIO()):
        ground.createIndex()
        scoring = COCOeval(ground, ground.loadRes(found), "bbox")
        scoring.evaluate()
        scoring.accumulate()
        scoring.summarize()
    return {name: float(scoring.stats[index]) for name, index in STATS.items()}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=40)
    parser.add_argument("--train-images", type=int, default=600)
    parser.add_argument("--validation-images", type=int, default=300)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quick", action="store_true", help="200 + 100 images, 10 epochs")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    if args.quick:
        args.train_images, args.validation_images, args.epochs = 200, 100, 10

    from corvane.demo.crowded import crowded_splits

    _, validation = crowded_splits(0, args.validation_images)
    figures = {}
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        for detector in DETECTORS:
            started = time.monotonic()
            checkpoint, rate = train(detector, Path(work) / detector, args)
            figures[detector] = {**scores(checkpoint, validation), "images/s": rate}
            took = time.monotonic() - started
            print(f"{detector}: {figures[detector]} ({took:.0f} s)", file=sys.stderr)

    what = (
        f"crowded {IMAGE_SIZE} px, {args.train_images} images, {args.epochs} epochs, "
        f"{args.validation_images} validation images"
    )
    pyramid, grid = figures["pyramid"], figures["grid"]
    rows = []
    for name in [*STATS, "images/s"]:
        ratio = f"{pyramid[name] / grid[name]:.2f}" if grid[name] > 0 else ""
        note = f"{what}; target ratio at least {TARGET:g}" if name == "mAP@.5:.95" else ""
        shown = "{:.1f}" if name == "images/s" else "{:.4f}"
        rows.append(
            [f"crowded scenes, pyramid / grid: {name}", shown.format(pyramid[name]),
             f"{shown.format(grid[name])}, grid", ratio, note]
        )  # fmt: skip
    print(f"\n{what}, seed {args.seed}")
    print(f"{'':10}" + "".join(f"{name:>12}" for name in [*STATS, "images/s"]))
    for detector in DETECTORS:
        cells = [f"{figures[detector][name]:>12.4f}" for name in STATS]
        print(f"{detector:10}" + "".join(cells) + f"{figures[detector]['images/s']:>12.1f}")
    if args.json:
        print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
