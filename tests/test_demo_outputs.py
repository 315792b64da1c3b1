"""The demo's outputs, and predict against what the run reported.

The demo's ``summary.csv`` keeps the columns and epochs stored in ``tests/data``; the same
data given as COCO, YOLO or VOC files trains to the same numbers in one session. The mAP
that ``python -m corvane.tessmark.predict`` gets from ``best.h5`` over the validation
images, scored by pycocotools alone, must be the one the run reported.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from demo_runs import QUICK_RUN, assert_same_numbers, layout, read_summary, stored_layout

import corvane

ENV = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]), TF_CPP_MIN_LOG_LEVEL="3")


def command(module, *args, cwd):
    done = subprocess.run(
        [sys.executable, "-m", module, *map(str, args)],
        cwd=cwd,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def test_the_demo_summary_keeps_its_columns_and_epochs(tmp_path):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    options = ["--quick", "--epochs", "3", "--seed", "0", "--no-mlflow", "--no-dvclive"]
    # The grid learns something in these 18 steps; the pyramid needs more.
    options += ["--detector", "grid"]
    command("corvane.demo", *options, "--out", tmp_path / "out", cwd=tmp_path)
    rows = read_summary(tmp_path / "out" / "checkpoints" / "summary.csv")
    assert layout(rows) == stored_layout("quick seed 0, 3 epochs")
    assert any(float(row["mAR@0.5"]) > 0 for row in rows)  # something was learnt


def test_the_demo_on_coco_files_keeps_its_columns_and_epochs(coco_quick_run):
    _, checkpoints = coco_quick_run
    rows = read_summary(checkpoints / "summary.csv")
    assert layout(rows) == stored_layout("COCO export, quick seed 3, 2 epochs")


@pytest.mark.parametrize("kind", ["yolo", "voc"])
def test_the_same_data_as_yolo_or_voc_trains_as_from_coco(kind, coco_quick_run, tmp_path):
    """The quick shapes written as YOLO or VOC files train, with the same seed, to the
    summary that the COCO files give in this session."""
    command("corvane.demo", "--quick", f"--export-{kind}", tmp_path / kind, cwd=tmp_path)
    data = tmp_path / kind / ("data.yaml" if kind == "yolo" else "")
    command("corvane.demo", *QUICK_RUN, "--data", data, "--out", tmp_path / "out", cwd=tmp_path)
    ours = read_summary(tmp_path / "out" / "checkpoints" / "summary.csv")
    assert_same_numbers(ours, read_summary(coco_quick_run[1] / "summary.csv"))


def test_predict_on_best_scores_the_map_the_run_reported(coco_quick_run, tmp_path):
    coco, checkpoints = coco_quick_run
    scored, _ = predicted_map(checkpoints / "best.h5", coco / "val.json", coco, tmp_path)
    assert scored == pytest.approx(best_reported(checkpoints), abs=0.02)


def test_a_larger_input_on_images_of_four_sizes_measures_in_their_own_pixels(tmp_path):
    """``--image-size 128`` on COCO images of four sizes: the run validates, and predict on
    its best checkpoint, scored in the original images' pixels, gives the reported mAP."""
    pytest.importorskip("corvane.tessmark.trainer.detection")
    from PIL import Image

    from corvane.demo import data
    from corvane.tessmark.coco import coco_document

    folder = tmp_path / "sizes"
    (folder / "images").mkdir(parents=True)
    # (height, width) and where the 64 x 64 picture goes in it
    frames = [((64, 64), (0, 0)), ((64, 100), (0, 30)), ((90, 64), (20, 0)), ((80, 120), (8, 40))]
    for split, count, seed in (("train", 96, 0), ("val", 16, 1)):
        shapes = data.make_shapes(count, (data.DATA_SEED, seed))
        entries = []
        for index, (picture, boxes) in enumerate(zip(shapes.images, shapes.boxes)):
            (height, width), (top, left) = frames[index % len(frames)]
            framed = np.full((height, width, 3), 20, np.uint8)
            framed[top : top + 64, left : left + 64] = picture
            boxes = boxes + np.array([left, top, left, top, 0], np.float32)
            name = f"images/{split}-{index}.png"
            Image.fromarray(framed).save(folder / name)
            entries.append((name, width, height, boxes))
        document = coco_document(data.CLASSES, entries)
        (folder / f"{split}.json").write_text(json.dumps(document))
    options = ["--quick", "--epochs", "2", "--image-size", "128", "--no-mlflow", "--no-dvclive"]
    options += ["--data", folder / "train.json", "--val", folder / "val.json"]
    # Real detections to score in 12 steps: the grid's; the pyramid finds nothing yet.
    options += ["--detector", "grid"]
    out = tmp_path / "out"
    printed = command("corvane.demo", *options, "--out", out, cwd=tmp_path)
    assert "image size 128" in printed and "96 training and 16 validation images" in printed
    options = json.loads((out / "run.json").read_text())["options"]
    assert (options["image_size"], options["train_images"], options["validation_images"]) == (
        128,
        96,
        16,
    )

    checkpoints = out / "checkpoints"
    scored, records = predicted_map(checkpoints / "best.h5", folder / "val.json", folder, tmp_path)
    assert scored == pytest.approx(best_reported(checkpoints), abs=0.02)
    assert {(r["height"], r["width"]) for r in records} == {f[0] for f in frames}
    for record in records:
        for x1, y1, x2, y2 in record["boxes"]:
            assert 0 <= x1 < x2 <= record["width"] and 0 <= y1 < y2 <= record["height"]


def best_reported(checkpoints):
    return max(float(row["mAP@0.5"]) for row in read_summary(checkpoints / "summary.csv"))


def predicted_map(checkpoint, annotations, images, cwd):
    """mAP@0.5 of predict's detections over the images of ``annotations``, scored by
    pycocotools alone, and predict's records."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    from corvane.tessmark.predict import EVALUATION_SCORE

    truth = COCO(str(annotations))
    ids = {image["file_name"]: image["id"] for image in truth.dataset["images"]}
    categories = {c["name"]: c["id"] for c in truth.dataset["categories"]}
    paths = [images / name for name in ids]
    # The evaluator's runner keeps every detection from this score on.
    lines = command(
        "corvane.tessmark.predict", checkpoint, *paths, "--score", EVALUATION_SCORE, cwd=cwd
    )
    records = [json.loads(line) for line in lines.splitlines()]
    found = []
    for record in records:
        image_id = ids[os.path.relpath(record["image"], images)]
        for (x1, y1, x2, y2), score, name in zip(
            record["boxes"], record["scores"], record["classes"]
        ):
            box = [x1, y1, x2 - x1, y2 - y1]
            found.append(
                {"image_id": image_id, "category_id": categories[name], "bbox": box, "score": score}
            )
    assert len(found) > len(paths)  # real detections, not an empty comparison
    scoring = COCOeval(truth, truth.loadRes(found), "bbox")
    scoring.evaluate()
    scoring.accumulate()
    scoring.summarize()
    return scoring.stats[1], records
