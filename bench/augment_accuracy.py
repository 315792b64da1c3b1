"""The demo's mAP@0.5 with and without augmentation, on two COCO sets.

``shapes``: the built-in shapes written as COCO files (``--export-coco``). ``sizes``: the
same shapes framed in images of four sizes (64x64, 64x100, 90x64, 80x120), so that the
letterbox scales and fills. Each set is trained with the demo's defaults and its grid
detector, whose figures bench/README.md gives (same epochs and seed), once without and
once with ``--augment``, with DVCLive and MLflow off, and the final validation mAP@0.5 is
printed per set and setting.

    .venv/bin/python bench/augment_accuracy.py [--epochs N] [--seed S] [--sets shapes sizes]
"""

from __future__ import annotations

import argparse
import json
import tempfile
import time
from pathlib import Path

import numpy as np

from corvane.demo import data
from corvane.demo.app import DemoConfig, run_demo
from corvane.demo.coco import export_shapes
from corvane.tessmark.coco import coco_document

# (height, width) of each frame, and where the 64 x 64 picture goes in it
FRAMES = (((64, 64), (0, 0)), ((64, 100), (0, 30)), ((90, 64), (20, 0)), ((80, 120), (8, 40)))


def sizes_set(folder: Path, train, validation) -> tuple[Path, Path]:
    """The shapes framed in images of the four sizes of ``FRAMES``, as COCO files."""
    from PIL import Image

    (folder / "images").mkdir(parents=True)
    paths = []
    for split, shapes in (("train", train), ("val", validation)):
        entries = []
        for index, (picture, boxes) in enumerate(zip(shapes.images, shapes.boxes)):
            (height, width), (top, left) = FRAMES[index % len(FRAMES)]
            framed = np.full((height, width, 3), 20, np.uint8)
            framed[top : top + 64, left : left + 64] = picture
            name = f"images/{split}-{index}.png"
            Image.fromarray(framed).save(folder / name)
            moved = boxes + np.array([left, top, left, top, 0], np.float32)
            entries.append((name, width, height, moved))
        path = folder / f"{split}.json"
        path.write_text(json.dumps(coco_document(data.CLASSES, entries)))
        paths.append(path)
    return paths[0], paths[1]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=DemoConfig().epochs)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--sets", nargs="+", default=["shapes", "sizes"])
    args = parser.parse_args(argv)
    defaults = DemoConfig()
    train, validation = data.shape_splits(defaults.train_images, defaults.validation_images)

    scores = {}
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        work = Path(work)
        files = {}
        if "shapes" in args.sets:
            files["shapes"] = export_shapes(work / "shapes", train, validation)
        if "sizes" in args.sets:
            files["sizes"] = sizes_set(work / "sizes", train, validation)
        for name, (train_json, val_json) in files.items():
            for augment in (False, True):
                started = time.monotonic()
                config = DemoConfig(
                    detector="grid",
                    epochs=args.epochs,
                    out=str(work / f"{name}-{augment}"),
                    dvclive=False,
                    mlflow=False,
                    seed=args.seed,
                    coco_train=str(train_json),
                    coco_val=str(val_json),
                    augment=augment,
                )
                scores[name, augment] = run_demo(config).map50
                took = time.monotonic() - started
                print(
                    f"{name} augment={augment}: mAP@0.5 {scores[name, augment]:.4f} ({took:.0f} s)"
                )

    print(f"\nset     without  with augmentation  ({args.epochs} epochs, seed {args.seed})")
    for name in files:
        print(f"{name:<7} {scores[name, False]:.4f}   {scores[name, True]:.4f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
