"""``update_metrics``: DVCLive, MLflow, the logger, the summary rows and ``summary.csv``."""

import collections
import csv
import json
import os
import sys
import warnings
from types import SimpleNamespace

import numpy as np
import pytest
from doubles import (
    Double,
    Method,
    Recorder,
    is_compiled,
    live_metric_calls,
    make_trainer,
    metrics_for,
    module_entries,
    summary_row,
)

WARNING = (
    "\t - [WARNING]: Error writing evaluation summary. "
    "Please close the file to allow Tessmark to write metrics\n"
)
THRESHOLDS = [("0.5", "0.50"), ("0.75", "0.75"), ("0.5:0.95", "0.50-0.95")]


def mlflow_values(metrics, lr):
    """The 13 values handed to ``mlflow.log_metrics``, in their documented order."""
    values = {
        f"{family} {name}": metrics[family][key]
        for family in ("mAP", "mACC", "mAR")
        for key, name in THRESHOLDS
    }
    values.update(
        {"Overall ACC": metrics["OA"], "Overall AP": metrics["OP"], "Overall AR": metrics["OR"]}
    )
    values["learning-rate"] = lr
    return values


def as_numpy(metrics):
    """The same metrics as numpy scalars (what real evaluators produce)."""
    return {
        k: {t: np.float32(x) for t, x in v.items()} if isinstance(v, dict) else np.float64(v)
        for k, v in metrics.items()
    }


@pytest.fixture
def pub(impl, tmp_path, monkeypatch, capsys):
    """A trainer, with a stand-in MLflow module holding an active run."""
    rec = Recorder()
    trainer = make_trainer(impl, rec, tmp_path / "ckpt")
    trainer.current_lr = 0.001
    mlflow = Double(rec, "mlflow", active_run=Method("run"), log_metrics=Method())
    monkeypatch.setitem(sys.modules, "mlflow", mlflow)
    capsys.readouterr()
    return SimpleNamespace(rec=rec, trainer=trainer, folder=trainer.checkpoint, capsys=capsys)


def test_publication_order_dvclive_mlflow_logger(pub):
    rec, metrics, losses = pub.rec, as_numpy(metrics_for(2)), {"total-loss": 1.0}
    live = Double(rec, "live", log_metric=Method())

    assert pub.trainer.update_metrics(metrics, losses, epoch=2, live=live) is None

    logged = mlflow_values(metrics, 0.001)
    expected = []
    for call in live_metric_calls(rec, metrics, 0.001):
        expected += ["live.log_metric", call]
    expected += ["mlflow.active_run", "mlflow.active_run()", "mlflow.log_metrics"]
    expected.append(rec.text("mlflow.log_metrics", (logged,), {"step": 2}))
    expected.append("logger.update_metrics")
    expected.append(rec.text("logger.update_metrics", (summary_row(metrics), losses)))
    assert rec.events == expected
    # DVCLive and MLflow receive the very objects read (numpy scalars here), not floats.
    families = [metrics[f][t] for f in ("mACC", "mAP", "mAR") for t, _ in THRESHOLDS]
    sent = [args[1] for target, args, _ in rec.calls if target == "live.log_metric"]
    read = [*families, metrics["OA"], metrics["OP"], metrics["OR"], 0.001]
    assert len(sent) == 13 and all(a is b for a, b in zip(sent[:12], read, strict=False))
    ((_, (mlflow_dict,), _),) = [c for c in rec.calls if c[0] == "mlflow.log_metrics"]
    assert all(mlflow_dict[key] is value for key, value in logged.items())
    assert pub.capsys.readouterr().out == ""


@pytest.mark.parametrize("kind", ["float", "object with numpy", "tf.Variable", "tf.Tensor"])
def test_learning_rate_reaches_dvclive_as_a_plain_number(pub, kind):
    import tensorflow as tf

    lr = {
        "float": lambda: 0.001,
        "object with numpy": lambda: Double(pub.rec, "lr", numpy=Method(0.125)),
        "tf.Variable": lambda: tf.Variable(0.25),  # not a tf.Tensor
        "tf.Tensor": lambda: tf.constant(0.5),
    }[kind]()
    pub.trainer.current_lr = lr
    pub.trainer.update_metrics(
        metrics_for(0), epoch=0, live=Double(pub.rec, "live", log_metric=Method())
    )

    (*_, (_, (name, to_dvclive), kwargs)) = [c for c in pub.rec.calls if c[0] == "live.log_metric"]
    ((_, (mlflow_dict,), _),) = [c for c in pub.rec.calls if c[0] == "mlflow.log_metrics"]
    to_mlflow = mlflow_dict["learning-rate"]
    assert (name, kwargs) == ("Learning Rate", {})
    if kind == "tf.Tensor":  # replaced by its numpy() value for every target
        assert type(to_dvclive) is type(to_mlflow) is np.float32 and to_dvclive == to_mlflow == 0.5
    else:
        assert to_mlflow is lr
        expected = {"float": 0.001, "object with numpy": 0.125, "tf.Variable": np.float32(0.25)}
        assert type(to_dvclive) is type(expected[kind]) and to_dvclive == expected[kind]


def test_without_live_lr_is_not_converted(pub):
    pub.trainer.current_lr = Double(pub.rec, "lr", numpy=Method(0.125))
    pub.trainer.update_metrics(metrics_for(0), epoch=0)
    assert not [e for e in pub.rec.events if e.startswith(("lr", "live"))]


@pytest.mark.parametrize("case", ["not installed", "no active run", "ImportError", "other error"])
def test_mlflow_block_is_skipped_only_for_import_errors(pub, monkeypatch, case):
    rec = pub.rec
    if case == "not installed":
        monkeypatch.setitem(sys.modules, "mlflow", None)
    elif case == "no active run":
        monkeypatch.setitem(sys.modules, "mlflow", Double(rec, "mlflow", active_run=Method()))
    else:
        error = ImportError("optional part missing") if case == "ImportError" else ValueError()
        rec.fail("mlflow.log_metrics()", error)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if case == "other error":
            with pytest.raises(ValueError):
                pub.trainer.update_metrics(metrics_for(1), epoch=1)
        else:
            pub.trainer.update_metrics(metrics_for(1), epoch=1)
    mlflow_events = [e for e in rec.events if e.startswith("mlflow")]
    assert len(mlflow_events) == {"not installed": 0, "no active run": 2}.get(case, 4)
    assert len(pub.trainer.summary_rows) == (case != "other error")
    assert pub.capsys.readouterr().out == ""


@pytest.fixture
def real_mlflow():
    return pytest.importorskip("mlflow", reason="mlflow is not installed")


def test_mlflow_local_store_receives_the_metrics_at_the_epoch_step(
    real_mlflow, pub, tmp_path, monkeypatch
):
    mlflow = real_mlflow
    monkeypatch.setitem(sys.modules, "mlflow", mlflow)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MLFLOW_TRACKING_URI", f"sqlite:///{tmp_path}/mlflow.db")
    client = mlflow.MlflowClient()

    pub.trainer.update_metrics(metrics_for(0), epoch=0)  # no run active: nothing logged
    assert mlflow.active_run() is None
    assert client.search_runs([client.get_experiment_by_name("Default").experiment_id]) == []

    with mlflow.start_run() as run:
        pub.trainer.update_metrics(as_numpy(metrics_for(1)), epoch=4)
    assert client.get_run(run.info.run_id).data.metrics == mlflow_values(metrics_for(1), 0.001)
    history = client.get_metric_history(run.info.run_id, "mACC 0.50-0.95")
    assert [(m.step, m.value) for m in history] == [(4, 0.125)]


def test_real_dvclive_writes_the_values(pub, tmp_path, monkeypatch):
    dvclive = pytest.importorskip("dvclive", reason="dvclive is not installed")
    import tensorflow as tf

    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("DVCLIVE_TEST", raising=False)
    live = dvclive.Live(str(tmp_path / "dvclive"), save_dvc_exp=False)
    pub.trainer.current_lr = tf.Variable(0.5)  # DVCLive refuses TensorFlow objects
    pub.trainer.update_metrics(as_numpy(metrics_for(1)), epoch=1, live=live)
    live.next_step()

    with open(os.path.join(live.dir, "metrics.json")) as f:
        summary = json.load(f)
    expected = mlflow_values(metrics_for(1), 0.5)
    del expected["learning-rate"]
    assert summary == {**expected, "Learning Rate": 0.5, "step": 0}
    plotted = sorted(os.listdir(os.path.join(live.plots_dir, "metrics")))  # plot=False: none
    assert plotted == ["Learning Rate.tsv", "Overall ACC.tsv", "Overall AP.tsv", "Overall AR.tsv"]


def test_summary_rows_are_the_logger_rows_and_fill_summary_csv(pub):
    trainer, rec = pub.trainer, pub.rec
    losses = {"total-loss": 1.0}
    calls = [
        (as_numpy(metrics_for(0)), losses, 0),
        (metrics_for(1), None, 0),  # the same epoch again; losses None is accepted
        (metrics_for(2), {}, "époque"),
    ]
    for metrics, step_losses, epoch in calls:
        trainer.update_metrics(metrics, step_losses, epoch=epoch)

    logged = [args for target, args, _ in rec.calls if target == "logger.update_metrics"]
    assert [e for e in rec.events if e.startswith("logger.update_metrics(")] == [
        rec.text("logger.update_metrics", (summary_row(m), step_losses))  # no "epoch" yet
        for m, step_losses, _ in calls
    ]
    for (row, passed), kept, (metrics, step_losses, epoch) in zip(
        logged, trainer.summary_rows, calls, strict=True
    ):
        assert row is kept and passed is step_losses
        assert list(row) == [*summary_row(metrics), "epoch"] and row["epoch"] is epoch
        assert all(type(v) is float for k, v in row.items() if k != "epoch")

    path = os.path.join(pub.folder, "summary.csv")
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").split("\r\n")
    header = ["epoch", *summary_row(metrics_for(0))]
    assert lines[0] == ",".join(header) and lines[-1] == ""
    rows = list(csv.reader(lines[1:-1]))
    assert rows == [[str(e), *map(str, summary_row(m).values())] for m, _, e in calls]
    assert sorted(os.listdir(pub.folder)) == ["config.json", "labels.txt", "summary.csv"]
    probe = os.path.join(pub.folder, "probe")
    open(probe, "w").close()
    assert os.stat(path).st_mode == os.stat(probe).st_mode  # as created by open()


def raiser(error):
    def fail(*args, **kwargs):
        raise error

    return fail


@pytest.mark.parametrize("where", ["csv writer", "replace", "other error"])
def test_summary_csv_failures_keep_the_old_file_and_the_row(pub, impl, monkeypatch, where):
    trainer = pub.trainer
    trainer.update_metrics(metrics_for(0), epoch=0)
    path = os.path.join(pub.folder, "summary.csv")
    with open(path, "rb") as f:
        before = f.read()
    pub.capsys.readouterr()

    with monkeypatch.context() as m:
        if where == "replace":
            m.setattr(os, "replace", raiser(PermissionError(13, "Permission denied")))
        else:
            error = PermissionError(13, "denied") if where == "csv writer" else OSError(28, "full")
            m.setattr(impl, "csv", SimpleNamespace(DictWriter=raiser(error)))
        if where == "other error":
            with pytest.raises(OSError) as excinfo:
                trainer.update_metrics(metrics_for(1), epoch=1)
            assert excinfo.value.errno == 28
        else:
            assert trainer.update_metrics(metrics_for(1), epoch=1) is None

    assert pub.capsys.readouterr().out == ("" if where == "other error" else WARNING)
    assert [row["epoch"] for row in trainer.summary_rows] == [0, 1]
    with open(path, "rb") as f:
        assert f.read() == before
    assert sorted(os.listdir(pub.folder)) == ["config.json", "labels.txt", "summary.csv"]

    trainer.update_metrics(metrics_for(2), epoch=2)  # the next write has every row
    with open(path, newline="") as f:
        assert [row["epoch"] for row in csv.DictReader(f)] == ["0", "1", "2"]


class MyDict(dict):
    pass


def wrong_type(name, got):
    return f"Argument '{name}' has incorrect type (expected dict, got {got})"


NO_GET = "'NoneType' object has no attribute 'get'"
REFUSED = [  # metrics, losses, exception, message
    (MyDict(metrics_for(0)), {}, TypeError, wrong_type("metrics", "MyDict")),
    (metrics_for(0), MyDict(), TypeError, wrong_type("losses", "MyDict")),
    (MyDict(), collections.OrderedDict(), TypeError, wrong_type("metrics", "MyDict")),
    ({}, collections.OrderedDict(), TypeError, wrong_type("losses", "collections.OrderedDict")),
    (None, {}, AttributeError, NO_GET),
    ({"OP": 0.5}, {}, AttributeError, NO_GET),
]


@pytest.mark.parametrize("metrics, losses, error, message", REFUSED)
def test_refused_arguments_publish_nothing(pub, impl, metrics, losses, error, message):
    live = Double(pub.rec, "live", log_metric=Method())
    with pytest.raises(error) as excinfo:
        pub.trainer.update_metrics(metrics, losses, 1, live)
    assert str(excinfo.value) == message
    assert pub.rec.events == [] and pub.trainer.summary_rows == []
    assert not os.path.exists(os.path.join(pub.folder, "summary.csv"))
    if is_compiled(impl) and error is TypeError:
        assert module_entries(excinfo) == []  # refused at binding, with no entry of its own


def test_default_dictionaries_are_shared_by_every_call(pub, impl):
    defaults = impl.DetectionTrainer.update_metrics.__defaults__
    assert impl.DetectionTrainer.update_metrics.__defaults__[0] is defaults[0]
    assert defaults[0] == {} and defaults[1] == {} and defaults[0] is not defaults[1]
    assert defaults[2:] == (0, None)

    with pytest.raises(AttributeError):  # the empty default has no "mAP"
        pub.trainer.update_metrics()
    assert pub.rec.events == [] and pub.trainer.summary_rows == []

    try:
        defaults[0].update(metrics_for(3))  # seen by the next call that omits ``metrics``
        pub.trainer.update_metrics(epoch=3)
    finally:
        defaults[0].clear()
    ((row, losses),) = [
        args for target, args, _ in pub.rec.calls if target == "logger.update_metrics"
    ]
    assert losses is defaults[1] and row == {**summary_row(metrics_for(3)), "epoch": 3}
