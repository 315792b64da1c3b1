"""TrainingRun: the run record, one TensorBoard history across a kill, one MLflow run with
its parameters and artifacts, DVCLive's segment folders, and the refusals."""

import json
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.backup import TrainingBackup
from corvane.tessmark.runs import ResumeError, RunMismatchError, TrainingRun, mlflow_parameters

OPTIONS = {"epochs": 3, "seed": 0, "sizes": (64, 8)}


def fake_trainer():
    """What a backup reads of a trainer, with a one-layer network."""
    model = tf.keras.Sequential([tf.keras.Input((2,)), tf.keras.layers.Dense(1)])
    optimizer = tf.keras.optimizers.SGD(0.1)
    return types.SimpleNamespace(
        model=model, optimizer=optimizer, best_value=0.0, summary_rows=[], role=None
    )


def segment(folder, steps_written, backed_up_at=None, values=lambda step: float(step)):
    """One segment of a run: restores, writes training steps until ``steps_written`` (a
    backup of epoch 1 after ``backed_up_at`` of them), and stops as a killed process
    would, its logger flushed but not closed."""
    run = TrainingRun(folder, OPTIONS)
    logger = run.logger(write_every=1)
    trainer = fake_trainer()
    backup = run.backup(trainer, logger)
    start = backup.restore()
    run.started()
    while logger.step < steps_written:
        logger.update_metrics({}, {"loss": values(logger.step)})
        if logger.step == backed_up_at:
            # The epoch's validation pass, published as the trainer does, then its backup.
            row = {"mAP@0.5": 0.5}
            logger.update_metrics(row, {})
            trainer.summary_rows.append({**row, "epoch": 1})
            backup.save(1)
    logger.flush()
    return run, start


def scalars(logdir):
    """Every scalar as TensorBoard itself reads the folder."""
    from tensorboard.backend.event_processing.plugin_event_accumulator import EventAccumulator

    events = EventAccumulator(str(logdir), size_guidance={"tensors": 0})
    events.Reload()
    return {
        tag: [(e.step, float(tf.make_ndarray(e.tensor_proto))) for e in events.Tensors(tag)]
        for tag in events.Tags()["tensors"]
    }


class TestTensorBoardAcrossAKill:
    def test_steps_written_after_the_last_backup_are_not_shown_twice(self, tmp_path):
        first, start = segment(tmp_path, 9, backed_up_at=6)
        assert start == 1 and not first.continuing
        second, start = segment(tmp_path, 12, values=lambda step: step + 0.5 * (step > 6))
        assert start == 2 and second.continuing and second.tensorboard == first.tensorboard

        shown = scalars(first.tensorboard)
        # Each step once; from the backed-up step on, the second segment's values.
        assert shown["train/loss"] == [(s, s + 0.5 * (s > 6)) for s in range(12)]
        assert shown["validation/mAP@0.5"] == [(6, 0.5)]

    def test_killed_before_the_first_backup_starts_the_history_over(self, tmp_path):
        segment(tmp_path, 4)
        again, start = segment(tmp_path, 3, values=lambda step: step + 0.5)
        assert start == 1 and again.continuing
        assert scalars(again.tensorboard)["train/loss"] == [(0, 0.5), (1, 1.5), (2, 2.5)]


class TestRecord:
    def test_a_run_goes_on_only_with_its_own_options(self, tmp_path):
        run = TrainingRun(tmp_path, OPTIONS, name="seed0")
        assert run.tensorboard.name.endswith("-seed0") and run.dvclive == tmp_path / "dvclive"
        run.started("abc")
        record = json.loads((tmp_path / "run.json").read_text())
        assert record == {"options": {**OPTIONS, "sizes": [64, 8]},
                          "tensorboard": run.tensorboard.name, "mlflow_run_id": "abc"}  # fmt: skip

        again = TrainingRun(tmp_path, OPTIONS)
        again.started()  # a segment without MLflow keeps the run's
        assert again.mlflow_run_id == "abc" and again.tensorboard == run.tensorboard
        assert TrainingRun(tmp_path, {"epochs": 3, "seed": 0, "sizes": [64, 8]}).continuing
        with pytest.raises(TypeError, match="JSON values"):
            TrainingRun(tmp_path, {"epochs": {1, 2}})
        with pytest.raises(RunMismatchError) as caught:
            TrainingRun(tmp_path, {**OPTIONS, "epochs": 5, "extra": True})
        assert caught.value.differences == [("epochs", 3, 5), ("extra", None, True)]
        assert "epochs 3 there, 5 here" in str(caught.value) and "fresh=True" in str(caught.value)

    def test_fresh_discards_the_run_and_its_later_segments(self, tmp_path, capsys):
        TrainingRun(tmp_path, OPTIONS).started()
        for name in ("dvclive", "dvclive-2", "dvclive-3"):
            (tmp_path / name).mkdir()
        assert TrainingRun(tmp_path, OPTIONS).dvclive == tmp_path / "dvclive-4"
        fresh = TrainingRun(tmp_path, {"epochs": 9}, fresh=True)
        assert fresh.discarded and not fresh.continuing and fresh.dvclive == tmp_path / "dvclive"
        assert not (tmp_path / "run.json").exists()
        assert fresh.dvclive_segments() == [tmp_path / "dvclive"]

    def test_what_is_not_a_run_is_refused(self, tmp_path):
        (tmp_path / "run.json").write_text("[1, 2")
        with pytest.raises(ResumeError, match="run.json does not read.*--restart"):
            TrainingRun(tmp_path, OPTIONS, fresh_option="--restart")
        (tmp_path / "run.json").unlink()
        backup = TrainingRun(tmp_path, OPTIONS).backup(fake_trainer())
        backup.restore()
        backup.save(1)
        with pytest.raises(ResumeError, match="holds a backup but .*run.json is missing"):
            TrainingRun(tmp_path, OPTIONS)
        TrainingRun(tmp_path, OPTIONS, fresh=True).started()
        without_step = TrainingBackup(fake_trainer(), tmp_path / "backup")
        without_step.restore()
        without_step.save(1)
        with pytest.raises(ResumeError, match=r"no logger step.*run.backup\(trainer, logger\)"):
            TrainingRun(tmp_path, OPTIONS).logger()


def test_mlflow_one_run_with_its_parameters_and_artifacts_beside_the_store(tmp_path, monkeypatch):
    mlflow = pytest.importorskip("mlflow")
    store, work = tmp_path / "store", tmp_path / "work"
    store.mkdir(), work.mkdir()
    uri = f"sqlite:///{store}/mlflow.db"
    monkeypatch.setenv("MLFLOW_TRACKING_URI", uri)
    monkeypatch.chdir(work)
    checkpoint = tmp_path / "last.h5"
    checkpoint.write_bytes(b"weights")
    info = {"epochs": 3, "classes": ["a", "b"], "data": {"train": 20, "path": "x"}}

    run = TrainingRun(tmp_path / "run", OPTIONS)
    with run.mlflow_run(info, experiment="tests") as run_id:
        run.started(run_id)
        mlflow.log_artifact(str(checkpoint))  # as the trainer logs last.h5
    again = TrainingRun(tmp_path / "run", OPTIONS)
    with again.mlflow_run(info, experiment="tests") as second_id:
        mlflow.log_metric("mAP 0.50", 0.5, step=3)
    assert second_id == run_id

    client = mlflow.MlflowClient(tracking_uri=uri)
    logged = client.get_run(run_id)
    assert logged.data.params == mlflow_parameters(info)
    assert (
        logged.data.params["data.train"] == "20" and logged.data.params["classes"] == "['a', 'b']"
    )
    assert logged.data.metrics["mAP 0.50"] == 0.5
    assert (store / "mlartifacts" / run_id / "artifacts" / "last.h5").read_bytes() == b"weights"
    assert not (work / "mlruns").exists()
    (experiment,) = [e for e in client.search_experiments() if e.name == "tests"]
    assert len(client.search_runs([experiment.experiment_id])) == 1

    monkeypatch.setenv("MLFLOW_TRACKING_URI", f"sqlite:///{store}/other.db")
    with pytest.raises(ResumeError, match=f"which sqlite:///{store}/other.db does not hold"):
        with TrainingRun(tmp_path / "run", OPTIONS).mlflow_run(info):
            pass
    assert np.isfinite(logged.data.metrics["mAP 0.50"])
