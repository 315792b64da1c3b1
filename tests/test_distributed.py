"""Training through tf.distribute: equivalence with one device, two workers, bad input, demo."""

import csv
import json
import os
import socket
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import distributed_runs as runs
import numpy as np
import pytest
import tensorflow as tf

from corvane.demo.app import parse_args
from corvane.tessmark.distributed import DistributedDetectionTrainer
from corvane.tessmark.losses import TessmarkLoss

HERE = Path(__file__).resolve().parent
RUNS = str(HERE / "distributed_runs.py")
TIMEOUT = 400  # seconds for a group of processes; a run takes 20 to 60 here


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def run_together(jobs, timeout=TIMEOUT, check=True):
    """Starts every job (argv, cwd, env, log path) at once and waits for all of them; a job
    still running at the deadline is killed, as is every other, and the test fails. Returns
    the exit codes; with ``check`` each must be 0."""
    processes = []
    try:
        for argv, cwd, env, log in jobs:
            with open(log, "w") as out:
                processes.append(
                    subprocess.Popen(argv, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT)
                )
        deadline = time.monotonic() + timeout
        for process in processes:
            process.wait(timeout=max(1.0, deadline - time.monotonic()))
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    codes = [process.returncode for process in processes]
    for code, (_, _, _, log) in zip(codes, jobs):
        assert code == 0 or not check, Path(log).read_text()[-4000:]
    return codes


def cluster_env(ports, index, **extra):
    cluster = {"worker": [f"127.0.0.1:{port}" for port in ports]}
    env = dict(os.environ, **extra)
    env["TF_CONFIG"] = json.dumps({"cluster": cluster, "task": {"type": "worker", "index": index}})
    env.pop("DVC_REPORT", None)
    return env


def close(a, b, scale=1e-5):
    """Equal within 1e-5, relative to the value for values above 1 (float32 losses)."""
    return abs(a - b) <= scale * max(1.0, abs(a))


# --- equivalence with one device, on two logical CPU devices --------------------------------


@pytest.fixture(scope="module")
def equivalence(tmp_path_factory):
    folder = tmp_path_factory.mktemp("equivalence")
    result = folder / "result.json"
    env = dict(os.environ)
    run_together(
        [([sys.executable, RUNS, "equivalence", str(result)], folder, env, folder / "log")]
    )
    return json.loads(result.read_text())


CASES = ["tessmark-8", "tessmark-11", "mean-8", "mean-11"]
# Mixed precision (float16 with loss scaling), the moving average, gradient clipping.
AIDS = ["mixed-11", "ema-11", "clipped-11"]
# The pyramid layout (its assignment and loss) with the moving average.
LAYOUTS = ["pyramid-11"]
# float16 holds 11 bits: replicas that add up their shares of a batch in another order
# than one device differ by an ulp or two (9e-4 relative here), where float32 agrees to 1e-5.
TOLERANCE = {"mixed-11": 2e-3}


class TestEquivalenceWithOneDevice:
    """Two replicas of MirroredStrategy against DetectionTrainer, same batches and weights:
    TessmarkLoss (global number of objects) and a per-example mean loss (batch shares), with
    equal batches (8 examples) and a last batch of 3 split 2 + 1 (11 examples)."""

    @pytest.mark.parametrize("case", CASES + AIDS + LAYOUTS)
    def test_losses_shown_and_published(self, equivalence, case):
        single, mirrored = equivalence[case]["single"], equivalence[case]["mirrored"]
        steps = {"8": 4, "11": 6}[case.split("-")[1]]  # two epochs of 2 or 3 batches
        for where in ("shown", "published"):
            assert len(single[where]) == len(mirrored[where]) == steps
            for one, two in zip(single[where], mirrored[where]):
                assert list(one) == list(two)
                scale = TOLERANCE.get(case, 1e-5)
                assert all(close(one[key], two[key], scale) for key in one), (where, one, two)
        # The L2 term is counted once, not once per replica.
        assert mirrored["shown"][0]["L2-loss"] == pytest.approx(single["shown"][0]["L2-loss"])

    @pytest.mark.parametrize("case", CASES + AIDS + LAYOUTS)
    def test_weights(self, equivalence, case):
        single, mirrored = equivalence[case]["single"], equivalence[case]["mirrored"]
        initial = equivalence.get(case.split("-")[0] + "-initial", equivalence["initial"])
        moved = 0.0
        for a, b, start in zip(single["weights"], mirrored["weights"], initial):
            a, b = np.array(a), np.array(b)
            # As close() does: relative above 1 (a moving variance of about 3 differs by
            # 3e-5 on an AMD EPYC, where float32 sums run in another order).
            scale = TOLERANCE.get(case, 1e-5)
            assert np.all(np.abs(a - b) <= scale * np.maximum(1.0, np.abs(a)))
            moved = max(moved, float(np.max(np.abs(a - np.array(start)))))
        assert moved > 1e-2  # training did move the weights
        if "average" in single:
            a, b = np.array(single["average"]), np.array(mirrored["average"])
            assert np.all(np.abs(a - b) <= 1e-5 * np.maximum(1.0, np.abs(a)))
            assert np.max(np.abs(a - np.concatenate([np.ravel(w) for w in single["weights"]]))) > 0

    def test_one_trace_for_a_run_with_a_smaller_last_batch(self, equivalence):
        # Each trace calls the loss once per replica: a second trace on one worker alone
        # would put the workers' collective operations out of step.
        assert equivalence["tessmark-11"]["mirrored"]["compute_loss_calls"] == 2

    def test_global_batch_smaller_than_the_replicas(self, equivalence):
        message = equivalence["small_batch_error"]
        assert message.startswith("A global batch of 1 example is smaller than the 2 replicas")
        assert "drop_remainder=True" in message


# --- two workers on 127.0.0.1 ------------------------------------------------------------


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    root = tmp_path_factory.mktemp("cluster")
    results, out, mlflow_db = root / "results", root / "out", root / "mlflow.db"
    jobs = []
    for index, port_list in enumerate([free_ports(2)] * 2):
        cwd, temp = root / f"cwd{index}", root / f"tmp{index}"
        cwd.mkdir()
        temp.mkdir()
        env = cluster_env(port_list, index, TMPDIR=str(temp))
        env["MLFLOW_TRACKING_URI"] = f"sqlite:///{mlflow_db}"
        argv = [sys.executable, RUNS, "worker", str(results), str(out)]
        jobs.append((argv, cwd, env, root / f"log{index}"))
    results.mkdir()
    single_cwd = root / "single"
    single_cwd.mkdir()
    jobs.append(
        ([sys.executable, RUNS, "single", str(results)], single_cwd, dict(os.environ), root / "log")
    )
    run_together(jobs)
    return root


class TestTwoWorkers:
    """MultiWorkerMirroredStrategy, two worker processes, validation on, every integration
    on for the chief; a third process trains on the same global batches alone."""

    def test_weights_equal_and_equal_to_one_process(self, cluster):
        chief, other, single = (
            np.load(cluster / "results" / f"weights-{name}.npz") for name in ("0", "1", "single")
        )
        assert list(chief) == list(other) == list(single)
        for key in chief:
            assert np.array_equal(chief[key], other[key])
            assert np.max(np.abs(chief[key] - single[key])) <= 1e-5

    def test_only_the_chief_writes(self, cluster):
        roles = [json.loads((cluster / "results" / f"worker-{i}.json").read_text()) for i in (0, 1)]
        assert [role["chief"] for role in roles] == [True, False]
        # The other worker never made a DVCLive run; its temporary folders are gone.
        assert roles[1]["dvclive"] is False
        assert not list((cluster / "tmp1").iterdir())
        assert not list((cluster / "cwd1").iterdir())
        assert "Saving best iteration checkpoint" not in (cluster / "log1").read_text()

        out = cluster / "out"
        assert sorted(p.name for p in out.iterdir()) == ["checkpoints", "dvclive", "tensorboard"]
        checkpoints = out / "checkpoints"
        assert sorted(p.name for p in checkpoints.iterdir()) == [
            "best.h5",
            "config.json",
            "labels.txt",
            "last.h5",
            "summary.csv",
            "validation",
        ]
        with open(checkpoints / "summary.csv", newline="") as f:
            assert [row["epoch"] for row in csv.DictReader(f)] == ["0", "1", "2"]
        assert len(list((out / "tensorboard").iterdir())) == 1
        metrics = json.loads((out / "dvclive" / "metrics.json").read_text())
        assert "mAP 0.50" in metrics

        with sqlite3.connect(cluster / "mlflow.db") as db:
            assert db.execute("select count(*) from runs").fetchone() == (1,)
            steps = db.execute("select step from metrics where key = 'mAP 0.50' order by step")
            assert [step for (step,) in steps] == [0, 1, 2]
            rates = db.execute("select count(*) from metrics where key = 'learning-rate'")
            assert rates.fetchone() == (3,)


# --- bad input ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def one_device():
    return tf.distribute.MirroredStrategy(["/cpu:0"])


def tiny_setup(strategy, outside=None):
    """The tiny detector and SGD, built in ``strategy``'s scope except the one ``outside``."""
    made = {}
    for what, make in (("model", runs.tiny_detector), ("optimizer", tf.keras.optimizers.SGD)):
        with strategy.scope() if what != outside else tf.distribute.get_strategy().scope():
            made[what] = make(tf) if what == "model" else make(0.01)
    if outside is None:
        with strategy.scope():
            made["optimizer"].build(made["model"].trainable_variables)
    return made["model"], made["optimizer"]


def make_trainer(strategy, folder, model=None, optimizer=None):
    if model is None:
        model, optimizer = tiny_setup(strategy)
    return DistributedDetectionTrainer(
        model,
        None,
        optimizer,
        TessmarkLoss(),
        runs.Recording(),
        str(folder),
        classes=["x"],
        strategy=strategy,
    )


def batches(count):
    shapes, grids = runs.shapes_data(count)
    return tf.data.Dataset.from_tensor_slices((shapes.images, grids)).batch(runs.BATCH)


class TestBadInput:
    @pytest.mark.parametrize("outside", ["model", "optimizer"])
    def test_built_outside_the_strategy_scope(self, one_device, tmp_path, outside):
        model, optimizer = tiny_setup(one_device, outside=outside)
        with pytest.raises(ValueError, match=rf"The {outside} was built outside the scope"):
            make_trainer(one_device, tmp_path, model, optimizer)
        assert not tmp_path.joinpath("config.json").exists()

    def test_strategy_missing_or_wrong(self, tmp_path):
        model, optimizer = tiny_setup(tf.distribute.get_strategy())
        with pytest.raises(TypeError, match="needs strategy=<a tf.distribute.Strategy>"):
            make_trainer("mirrored", tmp_path, model, optimizer)

    @pytest.mark.parametrize(
        "train_ds",
        [
            [((np.zeros((1, 64, 64, 3)), np.zeros((1, 8, 8, 8))))],
            type("PerEpoch", (), {"dataset_for_epoch": lambda self, epoch: [1, 2]})(),
        ],
        ids=["list of batches", "dataset_for_epoch giving a list"],
    )
    def test_training_data_that_is_not_a_dataset(self, one_device, tmp_path, train_ds):
        trainer = make_trainer(one_device, tmp_path)
        with pytest.raises(TypeError, match=r"must be a tf.data.Dataset of global batches"):
            trainer.train(1, train_ds=train_ds)


# --- the seam to the compiled trainer ------------------------------------------------------


class Reads:
    """A trainer that records the name of every attribute read through it."""

    def __init__(self, trainer):
        self.__dict__.update(trainer=trainer, names=set())

    def __getattr__(self, name):
        self.names.add(name)
        return getattr(self.trainer, name)


class TestSeam:
    def test_each_replica_gets_exactly_what_the_compiled_step_reads(self, tmp_path, capsys):
        from types import SimpleNamespace

        from corvane.tessmark import distributed
        from corvane.tessmark.trainer.detection import DetectionTrainer

        model, optimizer = tiny_setup(tf.distribute.get_strategy())
        trainer = DetectionTrainer(
            model, None, optimizer, TessmarkLoss(), runs.Recording(), str(tmp_path), classes=["x"]
        )
        reads = Reads(trainer)
        images, grids = next(iter(batches(4)))
        losses = distributed._REPLICA_STEP(reads, (images, grids))
        assert "total-loss" in losses and "L2-loss" in losses
        assert reads.names == set(distributed.STEP_READS)

        parts = {name: getattr(trainer, name) for name in distributed.STEP_READS}
        view = distributed._ReplicaView(
            SimpleNamespace(**parts, _loss_sums_globally=True),
            SimpleNamespace(num_replicas_in_sync=1),
            tf.constant(4),
            tf.constant(4),
        )
        assert set(vars(view)) == set(distributed.STEP_READS)
        with pytest.raises(AttributeError, match="add it to STEP_READS"):
            view.current_lr  # noqa: B018

    def test_constructor_arguments_reach_the_compiled_trainer_as_given(
        self, one_device, tmp_path, capsys
    ):
        from corvane.tessmark.trainer.detection import DetectionTrainer

        model, optimizer = tiny_setup(one_device)
        logger, folder = runs.Recording(), str(tmp_path)
        given = (model, "data", optimizer, TessmarkLoss(), logger, folder, {"run": 1}, "map")
        keywords = dict(iou=0.3, classes=["x"], display=2, skip_validation_steps=3)
        keywords.update(skip_initial_validation=True)
        plain = vars(DetectionTrainer(*given, **keywords))
        wide = DistributedDetectionTrainer(*given, **keywords, strategy=one_device)
        assert capsys.readouterr().out.count(f"at : {folder}/best.h5") == 2
        for name, value in plain.items():
            if name in ("val_messenger", "summary_rows"):
                assert type(getattr(wide, name)) is type(value)
            else:
                assert getattr(wide, name) == value, name
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            DistributedDetectionTrainer(*given, colour="red", strategy=one_device)


# --- the kinds of training data ------------------------------------------------------------


class PerEpoch:
    """Builds each epoch's dataset on request, keeping the epochs it was asked for."""

    def __init__(self):
        self.asked = []

    def dataset_for_epoch(self, epoch):
        self.asked.append(epoch)
        return batches(4 * epoch)


@pytest.mark.parametrize("kind", ["per epoch", "input function", "unknown length"])
def test_training_data_kinds(one_device, tmp_path, capsys, kind):
    trainer = make_trainer(one_device, tmp_path)
    contexts = []

    def per_worker(context):
        contexts.append(context)
        return batches(8)

    source = {
        "per epoch": PerEpoch(),
        "input function": per_worker,
        "unknown length": batches(8).filter(lambda images, grids: True),
    }[kind]
    trainer.train(3, train_ds=source, start=2)
    steps = len(trainer.logger.published)
    bars = capsys.readouterr().err
    if kind == "per epoch":
        # Epochs 2 and 3 hold 8 and 12 examples: 2 and 3 steps, shown as the bar's total.
        assert source.asked == [2, 3]
        assert steps == 5 and "2/2" in bars and "3/3" in bars
    elif kind == "input function":
        assert steps == 4 and "2/2" in bars
        assert isinstance(contexts[0], tf.distribute.InputContext)
    else:
        assert steps == 4 and "2/?" in bars and "2/2" not in bars


# --- the demo --------------------------------------------------------------------------------


def test_demo_options(monkeypatch, capsys):
    assert parse_args(["--devices", "2"]).devices == 2
    with pytest.raises(SystemExit):
        parse_args(["--devices", "0"])
    monkeypatch.setenv("TF_CONFIG", '{"cluster": {"worker": ["127.0.0.1:1"]}}')
    with pytest.raises(SystemExit):
        parse_args(["--devices", "2"])
    assert "with TF_CONFIG each worker uses all its devices" in capsys.readouterr().err


def demo_command(out):
    # The grid: these tests are about the cluster, and the pyramid's equality on two
    # replicas is the equivalence case above; the grid trains in a fraction of its time.
    command = [sys.executable, "-m", "corvane.demo", "--quick", "--epochs", "1"]
    return command + ["--detector", "grid", "--out", str(out)]


def test_demo_on_two_logical_devices(tmp_path):
    out = tmp_path / "out"
    command = demo_command(out) + ["--devices", "2", "--no-dvclive", "--no-mlflow"]
    run_together([(command, tmp_path, dict(os.environ), tmp_path / "log")])
    with open(out / "checkpoints" / "summary.csv", newline="") as f:
        assert [row["epoch"] for row in csv.DictReader(f)] == ["0", "1"]
    assert json.loads((out / "checkpoints" / "config.json").read_text())["devices"] == 2


@pytest.fixture(scope="module")
def two_workers(tmp_path_factory):
    """The same demo command on two workers, two epochs, every integration on; the killed
    cluster below is compared with it too."""
    root = tmp_path_factory.mktemp("two-workers")
    out, ports, jobs = root / "out", free_ports(2), []
    for index in (0, 1):
        cwd = root / f"cwd{index}"
        cwd.mkdir()
        env = cluster_env(ports, index, MLFLOW_TRACKING_URI=f"sqlite:///{root}/mlflow.db")
        command = demo_command(out) + ["--dvclive", "--mlflow"]
        command[command.index("--epochs") + 1] = "2"
        jobs.append((command, cwd, env, root / f"log{index}"))
    run_together(jobs)
    return root


def test_demo_same_command_on_two_workers(two_workers):
    out = two_workers / "out"
    chief, other = ((two_workers / f"log{index}").read_text() for index in (0, 1))
    assert "Final validation: mAP@0.5" in chief
    assert "the chief worker wrote the outputs" in other and str(out) not in other
    assert sorted(p.name for p in out.iterdir()) == [
        "backup",
        "checkpoints",
        "dvc.yaml",
        "dvclive",
        "run.json",
        "tensorboard",
    ]
    # MLflow's artifacts beside its store, which the test keeps outside ``out``.
    assert (two_workers / "mlartifacts").is_dir()
    # The chief's backup alone: the other worker saved into a folder of its own.
    assert sorted(p.name for p in (out / "backup").iterdir()) == [
        "backup-1.json",
        "backup-2.json",
        "best-1.h5",
        "best-2.h5",
        "checkpoint",
        "ckpt-1.data-00000-of-00001",
        "ckpt-1.index",
        "ckpt-2.data-00000-of-00001",
        "ckpt-2.index",
    ]
    assert len(list((out / "tensorboard").iterdir())) == 1
    with open(out / "checkpoints" / "summary.csv", newline="") as f:
        assert [row["epoch"] for row in csv.DictReader(f)] == ["0", "1", "2"]


def test_every_worker_stops_early_after_the_chiefs_epoch(tmp_path):
    ports, jobs = free_ports(2), []
    for index in (0, 1):
        argv = [sys.executable, RUNS, "stopping", str(tmp_path), str(tmp_path / "out")]
        jobs.append((argv, tmp_path, cluster_env(ports, index), tmp_path / f"stop{index}"))
    run_together(jobs, timeout=200)
    for task in (0, 1):
        found = json.loads((tmp_path / f"stopping-{task}.json").read_text())
        assert found == {"epochs": [1], "stopped": 1}


def test_workers_started_differently_all_fail_at_once(tmp_path):
    """A worker training one epoch more than the other would leave it waiting forever."""
    out, ports, jobs = tmp_path / "out", free_ports(2), []
    for index in (0, 1):
        command = demo_command(out) + ["--no-dvclive", "--no-mlflow"]
        command[command.index("--epochs") + 1] = str(index + 1)
        jobs.append((command, tmp_path, cluster_env(ports, index), tmp_path / f"log{index}"))
    assert run_together(jobs, timeout=200, check=False) == [1, 1]
    for index in (0, 1):
        log = (tmp_path / f"log{index}").read_text()
        assert "ValueError: The workers were not started with the same training" in log


def start_cluster(out, ports, epochs, logs, **env):
    command = demo_command(out) + ["--no-dvclive", "--no-mlflow"]
    command[command.index("--epochs") + 1] = str(epochs)
    processes = []
    for index, log in enumerate(logs):
        with open(log, "w") as f:
            processes.append(
                subprocess.Popen(
                    command,
                    cwd=out.parent,
                    env=cluster_env(ports, index, **env),
                    stdout=f,
                    stderr=subprocess.STDOUT,
                )
            )
    return processes


def workers_folders(temporary):
    return [p for p in temporary.iterdir() if p.name.startswith("corvane-")]


def wait_all(processes, timeout):
    deadline = time.monotonic() + timeout
    try:
        return [p.wait(timeout=max(1.0, deadline - time.monotonic())) for p in processes]
    finally:
        for p in processes:
            if p.poll() is None:
                p.kill()
                p.wait()


def test_a_killed_worker_fails_the_cluster_and_the_restarted_cluster_resumes(tmp_path, two_workers):
    """Worker 1 is killed after the chief's backup of epoch 1; the chief fails by itself;
    the same command on both workers then resumes from the chief's backup and ends with
    the summary of a run never interrupted (the integrations do not touch the numbers).
    The killed worker's temporary folder is removed by the worker that takes its place."""
    reference = two_workers / "out"
    out, ports = tmp_path / "run" / "out", free_ports(2)
    out.parent.mkdir()
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    logs = [tmp_path / f"first{i}.log" for i in (0, 1)]
    processes = start_cluster(out, ports, 2, logs, TMPDIR=str(temporary))
    try:
        deadline = time.monotonic() + TIMEOUT
        while not (out / "backup" / "backup-1.json").exists():
            assert time.monotonic() < deadline and processes[0].poll() is None, logs[0].read_text()
            time.sleep(0.05)
        processes[1].kill()
        # The chief's next collective fails once the killed worker misses its heartbeats.
        assert wait_all(processes[:1], 300) != [0]
    finally:
        wait_all(processes, 1)
    assert not (out / "backup" / "backup-2.json").exists()
    assert [p.name.split("-")[:3] for p in workers_folders(temporary)] == [
        ["corvane", "worker", "1"]
    ]

    logs = [tmp_path / f"again{i}.log" for i in (0, 1)]
    assert wait_all(start_cluster(out, ports, 2, logs, TMPDIR=str(temporary)), TIMEOUT) == [0, 0]
    assert "Resuming from the backup of epoch 1" in logs[0].read_text()
    assert workers_folders(temporary) == []
    summary = (out / "checkpoints" / "summary.csv").read_bytes()
    assert summary == (reference / "checkpoints" / "summary.csv").read_bytes()
