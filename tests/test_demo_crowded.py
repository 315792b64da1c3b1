"""The crowded built-in set and the demo's pyramid detector: the set's statistics, the
options that go with them, and a pyramid run on crowded scenes whose checkpoint predict
reads."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from demo_runs import read_summary

import corvane
from corvane.demo import crowded, data
from corvane.demo.app import parse_args
from corvane.demo.resume import run_options
from corvane.tessmark.grid import unplaced_objects


def module(name, *args, cwd):
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]))
    env["TF_CPP_MIN_LOG_LEVEL"] = "3"
    command = [sys.executable, "-m", name, *map(str, args)]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def scenes():
    return crowded.make_crowded(300, seed=(5, 0))


class TestCrowdedScenes:
    def test_counts_sizes_and_the_share_of_small_objects(self, scenes):
        counts = np.array([len(b) for b in scenes.boxes])
        assert counts.min() >= 4 and counts.max() <= 20
        assert 10.5 < counts.mean() < 13.5
        every = np.concatenate(scenes.boxes)
        sides = every[:, 2:4] - every[:, :2]
        assert sides.min() >= 6 and sides.max() <= 90
        assert 0.33 < (sides[:, 0] < 16).mean() < 0.47
        assert scenes.images.shape[1:] == (160, 160, 3) and scenes.images.dtype == np.uint8
        assert (every[:, :2] >= 0).all() and (every[:, 2:4] <= 160).all()
        assert set(np.unique(every[:, 4])) == set(range(len(data.CLASSES)))

    def test_objects_overlap_and_crowd_the_grid_but_stay_visible(self, scenes):
        overlapping = 0
        for picture, boxes in zip(scenes.images, scenes.boxes, strict=True):
            # Every shape shows its own colour at some pixel of its box, drawn over or not.
            bright = picture.min(axis=2) >= 110
            for x1, y1, x2, y2, _ in boxes.astype(int):
                assert bright[y1:y2, x1:x2].mean() > 0.25
            b = boxes[:, None, :4], boxes[None, :, :4]
            inter = np.minimum(b[0][..., 2:], b[1][..., 2:]) - np.maximum(
                b[0][..., :2], b[1][..., :2]
            )
            overlapping += int(((inter > 0).all(-1).sum() - len(boxes)) // 2)
        assert overlapping > len(scenes)  # more than one overlapping pair per image
        # The grid of stride 8 leaves some of them out: what the pyramid is for.
        assert sum(unplaced_objects(b, 160, 8) for b in scenes.boxes) > 0

    def test_the_same_scenes_for_every_run_apart_from_the_shapes(self):
        train, validation = crowded.crowded_splits(6, 3)
        again, _ = crowded.crowded_splits(6, 3)
        assert np.array_equal(train.images, again.images)
        assert all(np.array_equal(a, b) for a, b in zip(train.boxes, again.boxes, strict=True))
        assert not np.array_equal(train.images[:3], validation.images)
        assert train.names[0].startswith("crowded-")


class TestOptions:
    def test_the_crowded_set_takes_its_own_size_and_the_pyramid_whole_strides(self, capsys):
        config = parse_args(["--builtin", "crowded"])
        assert (config.builtin, config.image_size) == ("crowded", 160)
        assert parse_args(["--builtin", "crowded", "--image-size", "96"]).image_size == 96
        for args, message in [
            (["--detector", "pyramid", "--image-size", "72"], "a multiple of 32"),
            (["--builtin", "crowded", "--data", "data.yaml"], "does not go with --data"),
            (["--detector", "anchors"], "invalid choice"),
        ]:
            with pytest.raises(SystemExit):
                parse_args(args)
            assert message in capsys.readouterr().err

    def test_resume_keeps_the_runs_detector_and_set(self, tmp_path, monkeypatch, capsys):
        from corvane.tessmark.runs import TrainingRun

        monkeypatch.chdir(tmp_path)
        config = parse_args(["--detector", "pyramid", "--builtin", "crowded"])
        TrainingRun(tmp_path / "runs" / "demo", run_options(config)).started()
        resumed = parse_args(["--resume"])
        assert (resumed.detector, resumed.builtin, resumed.image_size) == (
            "pyramid",
            "crowded",
            160,
        )
        with pytest.raises(SystemExit):
            parse_args(["--resume", "--detector", "grid"])
        assert "--detector pyramid there, grid here" in capsys.readouterr().err
        # Runs recorded before the options were the grid's, on the shapes.
        assert {"detector", "builtin"}.isdisjoint(run_options(parse_args(["--detector", "grid"])))


def test_a_pyramid_run_on_crowded_scenes_and_its_checkpoint_in_predict(tmp_path):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    from PIL import Image

    out = tmp_path / "out"
    options = ["--builtin", "crowded", "--quick", "--epochs", "1", "--no-mlflow", "--no-dvclive"]
    options += ["--out", out]
    done = module("corvane.demo", "--detector", "pyramid", *options, cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    printed = done.stdout
    assert "the built-in crowded scenes, 96 training and 16 validation images" in printed
    assert "image size 160; detector: pyramid" in printed
    checkpoints = out / "checkpoints"
    assert [row["epoch"] for row in read_summary(checkpoints / "summary.csv")] == ["0", "1"]
    config = json.loads((checkpoints / "config.json").read_text())
    assert (config["detector"], config["strides"], config["image_size"]) == (
        "pyramid",
        [8, 16, 32],
        160,
    )

    _, validation = crowded.crowded_splits(0, 2)
    paths = []
    for picture, name in zip(validation.images, validation.names):
        paths.append(tmp_path / name)
        Image.fromarray(picture).save(paths[-1])
    # Every location's best class from score 0 on: the most detections an image reports.
    done = module(
        "corvane.tessmark.predict", checkpoints / "best.h5", *paths, "--score", "0", cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr[-3000:]
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["image"] for r in records] == [str(p) for p in paths]
    for record in records:
        assert len(record["boxes"]) == 100 and set(record["classes"]) <= set(data.CLASSES)
        boxes = np.array(record["boxes"])
        assert (boxes >= 0).all() and (boxes <= 160).all()

    # The same folder with the other detector is another run: refused before it trains.
    done = module("corvane.demo", "--detector", "grid", *options, cwd=tmp_path)
    assert done.returncode == 2
    assert "--detector pyramid there, grid here" in done.stderr
