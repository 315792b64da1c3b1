"""Constructing a trainer: attributes, the learning-rate readout, start-up files, failures."""

import json
import os
import sys

import pytest
import tensorflow as tf

import corvane.tessmark.trainer.detection as detection
from corvane.validator.writers import TrainingTensorBoardWriter

DT = detection.DetectionTrainer
ATTRIBUTES = [
    "dvclive_output",
    "info",
    "model",
    "metric",
    "dataset",
    "optimizer",
    "loss",
    "logger",
    "evaluator",
    "val_messenger",
    "best_value",
    "iou",
    "classes",
    "display",
    "NCHW",
    "current_lr",
    "checkpoint",
    "best",
    "last",
    "summary_rows",
    "skip_validation_steps",
    "skip_initial_validation",
]


class Logger:
    def __init__(self):
        self.writer = object()


def build(tmp_path, **kw):
    kw.setdefault("classes", ["cat", "dog"])
    return DT(
        "model", "dataset", tf.keras.optimizers.SGD(0.25), "loss", Logger(), str(tmp_path), **kw
    )


def entry_line(excinfo):
    tb = excinfo.tb
    while tb.tb_next:
        tb = tb.tb_next
    assert (
        tb.tb_frame.f_code.co_name == "corvane.tessmark.trainer.detection.DetectionTrainer.__init__"
    )
    return tb.tb_lineno


def test_attributes_in_order_and_files(tmp_path, capsys):
    info = {"zeta": 1, "alpha": [1, 2], "name": "héllo"}
    t = build(tmp_path / "a" / "b" / "c", info=info, classes=["cat", 7], display=3, metric="map")
    assert list(vars(t)) == ATTRIBUTES
    assert (t.model, t.dataset, t.loss, t.metric, t.display) == (
        "model",
        "dataset",
        "loss",
        "map",
        3,
    )
    assert t.evaluator is None and t.NCHW is False
    assert type(t.best_value) is float and t.best_value == 0.0
    assert isinstance(t.val_messenger, TrainingTensorBoardWriter)
    assert t.val_messenger.writer is t.logger.writer
    folder = tmp_path / "a" / "b" / "c"
    assert t.best == os.path.join(str(folder), "best.h5")
    assert t.last == os.path.join(str(folder), "last.h5")
    assert t.summary_rows == [] and (t.skip_validation_steps, t.skip_initial_validation) == (
        1,
        False,
    )
    assert (folder / "config.json").read_text() == json.dumps(info, indent=4)
    assert (folder / "labels.txt").read_text() == "cat\n7\n"
    assert capsys.readouterr().out == (
        f"\t - Saving best iteration checkpoint at : {t.best}\n"
        f"\t - Saving last iteration checkpoint at : {t.last}\n"
    )


def test_existing_folder_is_not_created_again_and_old_labels_stay(tmp_path, monkeypatch):
    (tmp_path / "labels.txt").write_text("old\n")
    calls = []
    monkeypatch.setattr(os, "makedirs", lambda *a, **k: calls.append(a))
    t = build(tmp_path, classes=[])
    assert calls == []
    assert (tmp_path / "labels.txt").read_text() == "old\n"
    assert (tmp_path / "config.json").read_text() == "null"
    assert t.info is None


@pytest.mark.parametrize("family", ["keras", "legacy"])
def test_learning_rate_readout(tmp_path, family):
    schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=1, decay_rate=0.5)
    optimizers = tf.keras.optimizers if family == "keras" else tf.keras.optimizers.legacy
    plain = optimizers.SGD(0.01)
    t = DT(None, None, plain, None, Logger(), str(tmp_path), classes=[])
    assert t.current_lr is plain.lr
    scheduled = optimizers.Adam(schedule)
    scheduled.iterations.assign(2)
    t = DT(None, None, scheduled, None, Logger(), str(tmp_path), classes=[])
    if family == "legacy":
        # lr is the schedule itself: it is evaluated at the optimizer's iteration count.
        assert float(t.current_lr) == pytest.approx(0.1 * 0.5**2)
    else:
        assert t.current_lr is scheduled.lr


def test_default_logger_fails_before_touching_the_disk(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(AttributeError) as excinfo:
        DT(None, None, None, None)
    assert str(excinfo.value) == "'str' object has no attribute 'writer'"
    assert entry_line(excinfo) == 68
    assert list(tmp_path.iterdir()) == []


def test_failures_keep_what_was_done(tmp_path):
    with pytest.raises(TypeError) as excinfo:
        build(tmp_path, classes=None)
    assert str(excinfo.value) == "object of type 'NoneType' has no len()"
    assert entry_line(excinfo) == 96
    assert (tmp_path / "config.json").read_text() == "null"

    with pytest.raises(TypeError) as excinfo:
        build(tmp_path / "x", info={"bad": object()})
    assert (tmp_path / "x" / "config.json").read_text() == ""
    # Reported where it failed (innermost), then where the file's block was left.
    tb = excinfo.tb
    lines = []
    while tb:
        if tb.tb_frame.f_code.co_filename == "corvane\\tessmark\\trainer\\detection":
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    assert lines == [93, 94]

    class Unprintable:
        def __format__(self, spec):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        build(tmp_path / "y", classes=["first", Unprintable(), "third"])
    assert (tmp_path / "y" / "labels.txt").read_text() == "first\n"

    (tmp_path / "file").write_text("")
    with pytest.raises(NotADirectoryError):
        build(tmp_path / "file")

    class NoRate:
        pass

    with pytest.raises(AttributeError):
        DT(None, None, NoRate(), None, Logger(), str(tmp_path))


def test_writer_class_is_looked_up_at_each_construction(tmp_path, monkeypatch):
    def broken(writer):
        raise RuntimeError(f"cannot wrap {writer!r}")

    monkeypatch.setitem(vars(detection), "TrainingTensorBoardWriter", broken)
    with pytest.raises(RuntimeError, match="cannot wrap"):
        build(tmp_path)
    assert not (tmp_path / "config.json").exists()


def test_reference_counts_are_unchanged(tmp_path):
    model, opt, logger, info = object(), tf.keras.optimizers.SGD(0.1), Logger(), {"k": 1}
    classes = ["a"]
    before = [sys.getrefcount(o) for o in (model, opt, logger, info, classes)]
    for _ in range(20):
        t = DT(model, None, opt, None, logger, str(tmp_path), info=info, classes=classes)
        del t
        with pytest.raises(TypeError):
            DT(model, None, opt, None, logger, str(tmp_path), info=info, classes=len)
    assert [sys.getrefcount(o) for o in (model, opt, logger, info, classes)] == before
