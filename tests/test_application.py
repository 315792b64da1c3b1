"""An application written from the guide alone (tests/application.py): a tf.keras.applications
backbone trains, validates, stops early by patience, resumes after SIGKILL exactly, and
predicts on a new picture, with nothing of the demo."""

import ast
import csv
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import corvane

HERE = Path(__file__).resolve().parent
APPLICATION = HERE / "application.py"
# Nothing improves mAP@0.5 by a whole 1.0: the initial pass sets the reference, and the
# passes of epochs 1 and 2 make the patience of 2 run out after epoch 2.
OPTIONS = ["--epochs", "4", "--patience", "2", "--min-delta", "1.0"]
STOP = 2
TIMEOUT = 300
FULL = os.environ.get("CORVANE_KILL_TESTS") == "full"


def environment(out):
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]))
    env.update(TF_CPP_MIN_LOG_LEVEL="2", MLFLOW_TRACKING_URI=f"sqlite:///{out.parent}/mlflow.db")
    env.update(MLFLOW_DISABLE_TELEMETRY="true", DO_NOT_TRACK="true")
    env.pop("DVC_REPORT", None)
    return env


def application(out):
    done = subprocess.run(
        [sys.executable, str(APPLICATION), str(out), *OPTIONS],
        cwd=out.parent,  # outside any git checkout, for DVCLive
        env=environment(out),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def epochs_of(out):
    with open(out / "checkpoints" / "summary.csv", newline="") as f:
        return [int(row["epoch"]) for row in csv.DictReader(f)]


def weights(path):
    import h5py

    found = {}

    def keep(name, item):
        if isinstance(item, h5py.Dataset):
            found[name] = item[()]

    with h5py.File(path, "r") as f:
        f.visititems(keep)
    return found


@pytest.fixture(scope="module")
def stopped(tmp_path_factory):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    out = tmp_path_factory.mktemp("uninterrupted") / "out"
    return out, application(out)


def test_it_imports_only_the_library():
    imported = set()
    for node in ast.walk(ast.parse(APPLICATION.read_text())):
        if isinstance(node, ast.ImportFrom):
            imported.add(node.module)
        elif isinstance(node, ast.Import):
            imported |= {alias.name for alias in node.names}
    ours = {name for name in imported if name.startswith("corvane")}
    assert ours and not [name for name in ours if name.startswith("corvane.demo")]


def test_it_trains_validates_stops_early_and_predicts(stopped):
    out, console = stopped
    assert epochs_of(out) == list(range(STOP + 1))
    assert f"Early stopping after epoch {STOP}: map" in console
    # The run ends as after its last epoch: DVCLive ended, then on_train_end.
    assert console.index("Ending DVCLive session") < console.index("the training ended")
    assert (out / "dvclive" / "metrics.json").is_file()

    (line,) = [line for line in console.splitlines() if line.startswith("prediction: ")]
    found = json.loads(line[len("prediction: ") :])
    assert (found["width"], found["height"]) == (150, 110)
    boxes = np.array(found["boxes"]).reshape(-1, 4)
    assert len(boxes) == len(found["scores"]) == len(found["classes"]) > 0
    assert (
        (boxes >= 0).all() and (boxes[:, [0, 2]] <= 150).all() and (boxes[:, [1, 3]] <= 110).all()
    )
    assert set(found["classes"]) <= {"plate", "bar"}


def test_the_same_command_after_the_stop_trains_nothing_and_says_why(stopped):
    out, _ = stopped
    before = (out / "checkpoints" / "summary.csv").read_bytes()
    console = application(out)
    assert f"nothing to do, the training in {out} is stopped early (epoch {STOP})" in console
    assert (out / "checkpoints" / "summary.csv").read_bytes() == before


@pytest.mark.skipif(
    not FULL,
    reason="about 50 s; the demo's kill tests cover resume after SIGKILL in the normal suite "
    "(CORVANE_KILL_TESTS=full runs it)",
)
def test_killed_before_the_stop_it_resumes_exactly_and_stops_at_the_same_epoch(stopped, tmp_path):
    reference, _ = stopped
    out = tmp_path / "out"
    first_backup = out / "backup" / "backup-1.json"
    process = subprocess.Popen(
        [sys.executable, str(APPLICATION), str(out), *OPTIONS],
        cwd=tmp_path,
        env=environment(out),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + TIMEOUT
        while not first_backup.exists() and process.poll() is None:
            assert time.monotonic() < deadline, "no backup of epoch 1"
            time.sleep(0.05)
        process.send_signal(signal.SIGKILL)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == -signal.SIGKILL
    assert not (out / "backup" / f"backup-{STOP}.json").exists()

    console = application(out)
    assert "resuming at epoch 2" in console
    assert f"Early stopping after epoch {STOP}" in console
    summary = Path("checkpoints", "summary.csv")
    assert (out / summary).read_bytes() == (reference / summary).read_bytes()
    mine, theirs = (weights(folder / "checkpoints" / "last.h5") for folder in (out, reference))
    assert mine.keys() == theirs.keys() and mine
    assert all(np.array_equal(mine[name], theirs[name]) for name in mine)

    # One MLflow run, with the application's info as its parameters; one TensorBoard
    # history, each step once; a DVCLive folder per process.
    import mlflow

    client = mlflow.MlflowClient(tracking_uri=environment(out)["MLFLOW_TRACKING_URI"])
    (experiment,) = [e for e in client.search_experiments() if e.name == "application"]
    runs = client.search_runs([experiment.experiment_id])
    assert len(runs) == 1 and runs[0].data.params["patience"] == "2"
    assert runs[0].info.run_id == json.loads((out / "run.json").read_text())["mlflow_run_id"]
    steps = [m.step for m in client.get_metric_history(runs[0].info.run_id, "mAP 0.50")]
    assert sorted(set(steps)) == [0, 1, 2]
    assert [p.name for p in sorted(out.glob("dvclive*"))] == ["dvclive", "dvclive-2"]

    from tensorboard.backend.event_processing.plugin_event_accumulator import EventAccumulator

    (logdir,) = (out / "tensorboard").iterdir()
    events = EventAccumulator(str(logdir), size_guidance={"tensors": 0})
    events.Reload()
    loss_steps = [e.step for e in events.Tensors("train/total-loss")]
    assert loss_steps == list(range(4 * STOP))  # 4 batches per epoch
    assert [e.step for e in events.Tensors("validation/mAP@0.5")] == [0, 4, 8]
