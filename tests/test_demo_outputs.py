"""The demo's outputs against stored references, and predict against what the run reported.

The references in ``tests/data`` are the ``summary.csv`` files that the demo wrote before its
pieces moved into the library, with the same commands and seeds: the move must not change
a byte. The mAP that ``python -m corvane.tessmark.predict`` gets from ``best.h5`` over the
validation images, scored by pycocotools alone, must be the one the run reported.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

DATA = Path(__file__).resolve().parent / "data"
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


@pytest.fixture(scope="module")
def coco_run(tmp_path_factory):
    """The demo trained on its shapes exported as COCO files (the quick set)."""
    pytest.importorskip("corvane.tessmark.trainer.detection")
    folder = tmp_path_factory.mktemp("coco-run")
    command("corvane.demo", "--quick", "--export-coco", folder / "coco", cwd=folder)
    coco = folder / "coco"
    options = ["--quick", "--epochs", "2", "--seed", "3", "--no-mlflow", "--no-dvclive"]
    options += ["--coco-train", coco / "train.json", "--coco-val", coco / "val.json"]
    command("corvane.demo", *options, "--out", folder / "out", cwd=folder)
    return coco, folder / "out" / "checkpoints"


def test_the_demo_writes_the_summary_it_wrote_before_the_move(tmp_path):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    options = ["--quick", "--epochs", "3", "--seed", "0", "--no-mlflow", "--no-dvclive"]
    command("corvane.demo", *options, "--out", tmp_path / "out", cwd=tmp_path)
    written = (tmp_path / "out" / "checkpoints" / "summary.csv").read_bytes()
    assert written == (DATA / "demo-summary-quick-seed0-epochs3.csv").read_bytes()


def test_the_demo_on_coco_files_writes_the_summary_it_wrote_before_the_move(coco_run):
    _, checkpoints = coco_run
    written = (checkpoints / "summary.csv").read_bytes()
    assert written == (DATA / "demo-summary-coco-quick-seed3-epochs2.csv").read_bytes()


def test_predict_on_best_scores_the_map_the_run_reported(coco_run, tmp_path):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    from corvane.tessmark.predict import EVALUATION_SCORE

    coco, checkpoints = coco_run
    truth = COCO(str(coco / "val.json"))
    images = {image["file_name"]: image["id"] for image in truth.dataset["images"]}
    categories = {c["name"]: c["id"] for c in truth.dataset["categories"]}
    paths = [coco / name for name in images]
    # The evaluator's runner keeps every detection from this score on.
    lines = command(
        "corvane.tessmark.predict",
        checkpoints / "best.h5",
        *paths,
        "--score",
        EVALUATION_SCORE,
        cwd=tmp_path,
    )
    found = []
    for line in lines.splitlines():
        record = json.loads(line)
        image_id = images[os.path.relpath(record["image"], coco)]
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
    reported = max(float(row.split(",")[1]) for row in
                   (checkpoints / "summary.csv").read_text().splitlines()[1:])  # fmt: skip
    assert scoring.stats[1] == pytest.approx(reported, abs=0.02)
