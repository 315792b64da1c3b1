"""Compiled ``run_validation_step`` and ``update_metrics``: the traceback entry of failing
steps, reference counts, and the crash-safe ``summary.csv``."""

import gc
import os
import sys
import types

import pytest
from doubles import MODULE_FILE, last_entry, metrics_for, module_entries, sample

import corvane.tessmark.trainer.detection as detection
from corvane.tessmark.trainer.detection import DetectionTrainer

WARNING = (
    "\t - [WARNING]: Error writing evaluation summary. "
    "Please close the file to allow Tessmark to write metrics\n"
)
NONE_GET = "'NoneType' object has no attribute 'get'"


def raising(exc):
    def fail(*args, **kwargs):
        raise exc

    return fail


class Evaluator:
    def __init__(self):
        self.runner = types.SimpleNamespace(run_single_instance=lambda image: "bls")
        self.metrics, self.flags = metrics_for(1), []

    def single_evaluation(self, instances, epoch, add_image):
        self.flags.append(add_image)
        return "truth"

    def conclude(self, truth_values, epoch):
        return self.metrics


@pytest.fixture
def mlflow(monkeypatch):
    """A stand-in ``mlflow`` module with an active run."""
    module = types.ModuleType("mlflow")
    module.active_run, module.log_metrics = lambda: True, lambda values, step: None
    monkeypatch.setitem(sys.modules, "mlflow", module)
    return module


@pytest.fixture
def trainer(tmp_path, mlflow):
    t = DetectionTrainer.__new__(DetectionTrainer)
    t.classes, t.display, t.metric, t.current_lr = ["cat", "dog", "bird"], 1, "map", 0.001
    t.logger = types.SimpleNamespace(update_metrics=lambda row, losses: None)
    t.summary_rows, t.checkpoint, t.saved = [], str(tmp_path), []
    t.save_model = t.saved.append
    return t


def entry_line(excinfo, method):
    name, file, line = last_entry(excinfo)
    assert (name, file) == (f"{detection.__name__}.DetectionTrainer.{method}", MODULE_FILE)
    assert len(module_entries(excinfo)) == 1
    return line


def change(obj, **attributes):
    obj.__dict__.update(attributes)
    return [sample(0)]


@pytest.mark.parametrize(
    "setup, error, message, line",
    [
        (lambda t, e, m: [sample(0)[:2]], ValueError, "need more than 2 values to unpack", 418),
        (lambda t, e, m: m.delattr(detection, "np") or [sample(0)], NameError, "'np' is not", 423),
        (lambda t, e, m: [sample(0, rows=((0, 0, 1, 1, 3.0),))], IndexError, "out of range", 424),
        (lambda t, e, m: [sample(0, shape=(1, 2))], ValueError, "need more than 2 values", 426),
        (lambda t, e, m: change(e.runner, run_single_instance=lambda i: "four"), ValueError,
         "too many values to unpack \\(expected 3\\)", 428),
        (lambda t, e, m: change(t, display=None), TypeError, "'>=' not supported", 445),
        (lambda t, e, m: [], UnboundLocalError, "'truth_values' referenced before", 455),
        (lambda t, e, m: e.metrics.pop("mACC") and change(t, metric="acc"), AttributeError,
         NONE_GET, 457),
        (lambda t, e, m: e.metrics.pop("mAP") and [sample(0)], AttributeError, NONE_GET, 459),
        (lambda t, e, m: e.metrics.pop("mAR") and change(t, metric="Map"), AttributeError,
         NONE_GET, 461),
        (lambda t, e, m: e.metrics["mAP"].update({"0.5": {}}) or [sample(0)], TypeError,
         "must be a string or a real number", 463),
    ],
)  # fmt: skip
def test_validation_failure_lines(trainer, monkeypatch, setup, error, message, line):
    evaluator = Evaluator()
    loop = setup(trainer, evaluator, monkeypatch)
    with pytest.raises(error, match=message) as excinfo:
        trainer.run_validation_step(loop, evaluator, 0)
    assert entry_line(excinfo, "run_validation_step") == line
    assert (evaluator.flags, trainer.saved) == ([True] if line > 455 else [], [])


@pytest.mark.parametrize(
    "setup, error, line",
    [
        (lambda t, m, mlflow: m.pop("mAP"), AttributeError, 311),
        (lambda t, m, mlflow: m.pop("mACC"), AttributeError, 319),
        (lambda t, m, mlflow: m["mAP"].update({"0.75": "bad"}), ValueError, 333),
        (lambda t, m, mlflow: change(t, current_lr=types.SimpleNamespace(
            numpy=raising(AttributeError("inner")))), AttributeError, 342),
        (lambda t, m, mlflow: change(mlflow, active_run=1), TypeError, 348),
        (lambda t, m, mlflow: m["mACC"].update({"0.5": None}), TypeError, 372),
        (lambda t, m, mlflow: change(t.logger, update_metrics=1), TypeError, 382),
        (lambda t, m, mlflow: change(t, checkpoint=t.checkpoint + "/x"), FileNotFoundError, 391),
    ],
)  # fmt: skip
def test_publication_failure_lines(trainer, mlflow, setup, error, line):
    metrics, calls, rows, folder = metrics_for(2), [], trainer.summary_rows, trainer.checkpoint

    def log_metric(name, value, plot=True):  # refuses what is not a number, as DVCLive does
        calls.append(name)
        if isinstance(value, str):
            raise ValueError(name)

    setup(trainer, metrics, mlflow)
    with pytest.raises(error) as excinfo:
        trainer.update_metrics(metrics, {}, 2, types.SimpleNamespace(log_metric=log_metric))
    assert entry_line(excinfo, "update_metrics") == line
    assert len(calls) == min(max(line - 328, 0), 12) + (line > 342)
    assert (len(rows), os.listdir(folder)) == (line > 385, [])


def test_none_metrics_fail_at_the_first_read(trainer):
    with pytest.raises(AttributeError, match=NONE_GET) as excinfo:
        trainer.update_metrics(None)
    assert entry_line(excinfo, "update_metrics") == 310


class PartialCsv:
    """Stands for the module ``csv``: the writer's method ``at`` writes, then raises ``exc``."""

    def __init__(self, exc, at="writerows"):
        def writer(f, fieldnames):
            out = types.SimpleNamespace(writeheader=lambda: None, writerows=lambda rows: None)
            setattr(out, at, lambda *rows: f.write("partial") and raising(exc)())
            return out

        self.DictWriter = writer


def summary_text(trainer):
    with open(os.path.join(trainer.checkpoint, "summary.csv"), newline="") as f:
        return f.read()


def test_failed_write_keeps_the_previous_file_and_no_temporary(trainer, monkeypatch):
    trainer.update_metrics(metrics_for(0))
    before = summary_text(trainer)
    monkeypatch.setattr(detection, "csv", PartialCsv(OSError("disk full")))
    with pytest.raises(OSError, match="disk full") as excinfo:
        trainer.update_metrics(metrics_for(1), epoch=1)
    assert entry_line(excinfo, "update_metrics") == 394
    assert (os.listdir(trainer.checkpoint), summary_text(trainer)) == (["summary.csv"], before)
    monkeypatch.undo()
    trainer.update_metrics(metrics_for(2), epoch=2)
    lines = summary_text(trainer).split("\r\n")
    assert [line.split(",")[0] for line in lines] == ["epoch", "0", "1", "2", ""]


@pytest.mark.parametrize("where", ["writeheader", "replace"])
def test_permission_error_prints_the_warning(trainer, monkeypatch, capsys, where):
    trainer.update_metrics(metrics_for(0))
    before = summary_text(trainer)
    if where == "replace":
        monkeypatch.setattr(os, "replace", raising(PermissionError()))
    else:
        monkeypatch.setattr(detection, "csv", PartialCsv(PermissionError(), at=where))
    capsys.readouterr()
    assert trainer.update_metrics(metrics_for(1), epoch=1) is None
    assert capsys.readouterr().out == WARNING
    assert (os.listdir(trainer.checkpoint), summary_text(trainer)) == (["summary.csv"], before)
    assert len(trainer.summary_rows) == 2


@pytest.mark.parametrize("broken, line", [("remove", 398), ("print", 401)])
def test_failure_while_handling_a_failed_write_gets_its_own_entry(
    trainer, monkeypatch, broken, line
):
    first = PermissionError() if broken == "print" else OSError("first")
    monkeypatch.setattr(detection, "csv", PartialCsv(first, at="writeheader"))
    if broken == "remove":
        monkeypatch.setattr(os, "remove", raising(RuntimeError()))
    else:
        monkeypatch.setattr(sys, "stdout", types.SimpleNamespace(write=raising(RuntimeError())))
    with pytest.raises(RuntimeError) as excinfo:
        trainer.update_metrics(metrics_for(0))
    assert entry_line(excinfo, "update_metrics") == line
    assert excinfo.value.__context__ is first


def counts(objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def test_reference_counts_are_unchanged(trainer, mlflow):
    evaluator, loop, epoch, losses = Evaluator(), [sample(0), sample(1)], 10**20, {}
    live = types.SimpleNamespace(log_metric=lambda *args, **kwargs: None)
    metrics, logger = evaluator.metrics, trainer.logger
    objects = [trainer, evaluator, loop, epoch, losses, live, metrics, *metrics.values(), logger]
    failures = [  # exception classes, not instances: a raised instance keeps its frames
        (None, None, None, None),
        (trainer, "display", None, TypeError),
        (trainer, "save_model", raising(ValueError), ValueError),
        (logger, "update_metrics", raising(ValueError), ValueError),
        (mlflow, "active_run", raising(ImportError), None),
        (detection, "csv", PartialCsv(PermissionError), None),
        (detection, "csv", PartialCsv(OSError), OSError),
    ]
    before = counts(objects)
    for target, name, value, error in failures:
        with pytest.MonkeyPatch.context() as patch:
            if target is not None:
                patch.setattr(target, name, value)
            for _ in range(3):
                try:
                    trainer.run_validation_step(loop, evaluator, epoch)
                    trainer.update_metrics(metrics, losses, epoch, live)
                except Exception as exc:
                    assert type(exc) is error
                else:
                    assert error is None
    del trainer.summary_rows[:]
    assert counts(objects) == before
