"""A whole run on a real small network: real train_step, evaluator double, DVCLive and MLflow."""

import csv
import json
import os

import numpy as np
import pytest
import tensorflow as tf
from doubles import Evaluator, Recorder, metrics_for, sample

from corvane.tessmark.trainer.detection import DetectionTrainer


class Loss:
    def compute_loss(self, targets, outputs):
        loss = tf.reduce_mean(tf.square(outputs[0] - targets[0]))
        return {
            "total-loss": loss,
            "localization-loss": loss,
            "classification-loss": tf.reduce_mean(outputs[1]) * 0.0,
            "objectness-loss": tf.reduce_mean(outputs[2]) * 0.0,
        }


class Logger:
    def __init__(self):
        self.writer = object()
        self.calls = []

    def update_metrics(self, metrics, losses):
        self.calls.append((dict(metrics), dict(losses)))


def network():
    tf.keras.utils.set_random_seed(1)
    inputs = tf.keras.Input((8, 8, 3))
    reg = tf.keras.regularizers.L2(1e-3)
    x = tf.keras.layers.Conv2D(4, 3, padding="same", kernel_regularizer=reg)(inputs)
    outputs = [tf.keras.layers.Conv2D(2, 1, name=f"out{i}")(x) for i in range(3)]
    return tf.keras.Model(inputs, outputs)


def test_training_run_leaves_consistent_outputs(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)  # DVCLive looks for a repository from the working folder
    monkeypatch.setenv("MLFLOW_TRACKING_URI", f"sqlite:///{tmp_path}/mlflow.db")
    monkeypatch.delenv("DVC_REPORT", raising=False)
    monkeypatch.delenv("CI", raising=False)
    import mlflow

    model = network()
    rng = np.random.default_rng(0)
    batches = [
        (
            rng.integers(0, 255, (4, 8, 8, 3)).astype(np.uint8),
            rng.normal(size=(4, 8, 8, 2)).astype(np.float32),
        )
        for _ in range(3)
    ]
    train_ds = tf.data.Dataset.from_tensor_slices(
        (np.concatenate([b[0] for b in batches]), np.concatenate([b[1] for b in batches]))
    ).batch(4)
    evaluator = Evaluator(Recorder(), summary="per-class table\n")
    checkpoint = tmp_path / "ck"
    logger = Logger()
    trainer = DetectionTrainer(
        model,
        train_ds,
        tf.keras.optimizers.SGD(0.01),
        Loss(),
        logger,
        str(checkpoint),
        info={"run": "e2e"},
        metric="map",
        classes=["a", "b", "c"],
        display=1,
        dvclive_output=str(tmp_path / "live"),
    )
    with mlflow.start_run() as run:
        trainer.train(
            2, train_ds=train_ds, val_ds=[sample(k) for k in range(3)], evaluator=evaluator
        )
    out = capsys.readouterr().out

    assert json.loads((checkpoint / "config.json").read_text()) == {"run": "e2e"}
    assert (checkpoint / "labels.txt").read_text() == "a\nb\nc\n"
    assert (checkpoint / "validation" / "results.txt").read_text() == "per-class table\n"
    with open(checkpoint / "summary.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert [r["epoch"] for r in rows] == ["0", "1", "2"]
    assert [float(r["mAP@0.5"]) for r in rows] == [metrics_for(e)["mAP"]["0.5"] for e in range(3)]
    # Every pass improved the "map" value, so the best checkpoint is the last pass's network.
    assert out.count("Saving model with improved map") == 3
    assert trainer.best_value == metrics_for(2)["mAP"]["0.5"]
    assert out.rstrip().endswith("\t - [INFO] Ending DVCLive session")
    assert not [p for p in os.listdir(checkpoint) if p.endswith(".tmp.h5")]

    export = tf.keras.Model(model.input, model.outputs[2:])
    probe = batches[0][0]
    for name in ("last.h5", "best.h5"):
        loaded = tf.keras.models.load_model(checkpoint / name, compile=False)
        np.testing.assert_allclose(loaded(probe), export(probe), rtol=1e-5, atol=1e-6)

    # Losses reached the logger every step with the two keys the loop adds.
    step_calls = [c for c in logger.calls if not c[0]]
    assert len(step_calls) == 6
    assert {"L2-loss", "step-time (seconds)", "learning-rate"} <= set(step_calls[-1][1])

    client = mlflow.tracking.MlflowClient()
    history = client.get_metric_history(run.info.run_id, "mAP 0.50")
    assert sorted((m.step, m.value) for m in history) == [
        (e, metrics_for(e)["mAP"]["0.5"]) for e in range(3)
    ]
    artifacts = {a.path for a in client.list_artifacts(run.info.run_id)}
    assert {"last.h5", "best.h5"} <= artifacts

    live_metrics = tmp_path / "live" / "metrics.json"
    assert json.loads(live_metrics.read_text())["mAP 0.50"] == pytest.approx(
        metrics_for(2)["mAP"]["0.5"]
    )
