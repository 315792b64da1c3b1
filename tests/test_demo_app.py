"""The demo command: options, the git guard for DVCLive, and a shortened run of the real thing."""

import csv
import glob
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvane
from corvane.demo.app import git_checkout_of, parse_args


class TestOptions:
    def test_bare_command_defaults(self):
        config = parse_args([])
        assert config.out is None  # a new folder under ./runs when the run starts
        assert config.dvclive is None and config.mlflow is None
        assert config.epochs >= 1 and not config.quick

    def test_quick_shrinks_the_data(self):
        full, quick = parse_args([]), parse_args(["--quick", "--epochs", "1", "--no-mlflow"])
        assert quick.train_images < full.train_images
        assert quick.validation_images < full.validation_images
        assert quick.epochs == 1 and quick.mlflow is False

    def test_git_checkout_is_found_from_any_depth(self, tmp_path):
        (tmp_path / "repo" / ".git").mkdir(parents=True)
        nested = tmp_path / "repo" / "a" / "b"
        nested.mkdir(parents=True)
        assert git_checkout_of(str(nested)) == str(tmp_path / "repo")
        assert git_checkout_of(str(tmp_path / "repo")) == str(tmp_path / "repo")
        assert git_checkout_of(str(tmp_path / "elsewhere")) is None

    def test_dvclive_is_refused_inside_a_git_checkout(self, tmp_path, capsys):
        (tmp_path / ".git").mkdir()
        with pytest.raises(SystemExit):
            parse_args(["--dvclive", "--out", str(tmp_path / "run")])
        assert "git checkout" in capsys.readouterr().err
        assert parse_args(["--no-dvclive", "--out", str(tmp_path / "run")]).dvclive is False


def test_shortened_demo_command_end_to_end(tmp_path):
    """``python -m corvane.demo --epochs 1 --quick`` with DVCLive and MLflow on."""
    pytest.importorskip("corvane.tessmark.trainer.detection")
    out = tmp_path / "out"
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join([str(Path(corvane.__file__).parents[1]), *sys.path]),
        MLFLOW_TRACKING_URI=f"sqlite:///{out}/mlflow.db",
    )
    env.pop("DVC_REPORT", None)
    command = [sys.executable, "-m", "corvane.demo", "--epochs", "1", "--quick"]
    command += ["--out", str(out), "--dvclive", "--mlflow"]
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]

    checkpoints = out / "checkpoints"
    for name in ("best.h5", "last.h5", "config.json", "labels.txt", "summary.csv"):
        assert (checkpoints / name).is_file(), name
        assert str(checkpoints / name) in done.stdout or name in ("config.json", "labels.txt")
    assert (checkpoints / "labels.txt").read_text().split() == ["square", "disc", "triangle"]
    assert json.loads((checkpoints / "config.json").read_text())["epochs"] == 1

    with open(checkpoints / "summary.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [row["epoch"] for row in rows] == ["0", "1"]
    assert all(0.0 <= float(row["mAP@0.5"]) <= 1.0 for row in rows)

    validation = checkpoints / "validation"
    assert "mAP" in (validation / "results.txt").read_text()
    assert glob.glob(str(validation / "*.png"))

    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    (logdir,) = glob.glob(str(out / "tensorboard" / "*"))
    events = EventAccumulator(logdir, size_guidance={"tensors": 0})
    events.Reload()
    tags = set(events.Tags()["tensors"])
    assert {"train/total-loss", "train/L2-loss", "validation/mAP@0.5"} <= tags
    steps = [e.step for e in events.Tensors("train/total-loss")]
    assert steps == list(range(len(steps))) and steps
    assert len(events.Tensors("validation/mAP@0.5")) == 2

    dvclive = json.loads((out / "dvclive" / "metrics.json").read_text())
    assert "mAP 0.50" in dvclive
    # DVCLive writes dvc.yaml into its working folder: the demo must have moved into ``out``.
    assert (out / "dvc.yaml").is_file() and not (tmp_path / "dvc.yaml").exists()

    import mlflow

    client = mlflow.MlflowClient(tracking_uri=env["MLFLOW_TRACKING_URI"])
    (run,) = client.search_runs([client.get_experiment_by_name("corvane-demo").experiment_id])
    assert len(client.get_metric_history(run.info.run_id, "mAP 0.50")) == 2
    assert run.info.run_id in done.stdout


def test_best_checkpoint_detects_what_the_evaluator_saw(tmp_path):
    import numpy as np
    import tensorflow as tf

    from corvane.demo import data
    from corvane.demo.model import build_detector
    from corvane.tessmark.losses import TessmarkLoss
    from corvane.tessmark.predict import DetectionRunner
    from corvane.tessmark.trainer.detection import DetectionTrainer
    from corvane.validator.evaluator import DetectionEvaluator

    class Logger:
        writer = None

        def update_metrics(self, metrics, losses):
            pass

    train = data.make_shapes(64, (data.DATA_SEED, data.TRAIN_SPLIT))
    validation = data.make_shapes(8, (data.DATA_SEED, data.VALIDATION_SPLIT))
    model = build_detector()
    evaluator = DetectionEvaluator(model)
    trainer = DetectionTrainer(
        model,
        None,
        tf.keras.optimizers.Adam(1e-3),
        TessmarkLoss(),
        Logger(),
        str(tmp_path),
        metric="map",
        classes=list(data.CLASSES),
        display=0,
        skip_initial_validation=True,
    )
    # One pass, after the only epoch: best.h5 holds the network the evaluator ran.
    trainer.train(
        1,
        train_ds=data.training_dataset(train, 16, seed=0),
        val_ds=data.validation_dataset(validation),
        evaluator=evaluator,
    )
    loaded = DetectionRunner(tf.keras.models.load_model(tmp_path / "best.h5", compile=False))
    found = [len(evaluator.runner.run_single_instance(image)[0]) for image in validation.images]
    assert sum(found) > 0  # the comparison below is about real detections
    for image in validation.images[:3]:
        ours, theirs = (
            loaded.run_single_instance(image),
            evaluator.runner.run_single_instance(image),
        )
        for a, b in zip(ours, theirs):
            np.testing.assert_allclose(a, b, rtol=1e-5, atol=1e-5)
