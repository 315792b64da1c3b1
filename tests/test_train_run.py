"""``train``: the whole run as one recorded trace, its variants, failures and DVCLive."""

import csv
import os
from types import SimpleNamespace

import pytest
from doubles import (
    CLASSES,
    MODULE_FILE,
    QUALNAME,
    Clock,
    Dataset,
    Evaluator,
    Recorder,
    is_compiled,
    last_entry,
    live_metric_calls,
    make_handler,
    make_trainer,
    metrics_for,
    module_entries,
    recording_tqdm,
    sample,
    summary_row,
)

BAR = "{l_bar}{bar:15}{r_bar}{bar:-15b}"
CLOSING = "\t - [INFO] Ending DVCLive session\n"


def setup_run(impl, tmp_path, monkeypatch, rec=None, batches=2, once=False, **options):
    """Doubles, a stand-in ``tqdm`` and clock in the module, and a recording trainer."""
    rec = rec or Recorder()
    monkeypatch.setattr(impl, "tqdm", recording_tqdm(rec))
    monkeypatch.setattr(impl, "time", Clock(rec))
    options.setdefault("display", 1)
    trainer = make_trainer(impl, rec, tmp_path / "ckpt", **options)
    samples = [sample(0), sample(1)]
    lr = trainer.optimizer.lr
    rec.events.clear()
    return SimpleNamespace(
        rec=rec,
        trainer=trainer,
        lr=lr,
        handler=make_handler(rec),
        evaluator=Evaluator(rec, summary="pass summary"),
        train_ds=Dataset(rec, "train_ds", [f"batch{i}" for i in range(batches)], once),
        val_ds=Dataset(rec, "val_ds", samples),
        samples=samples,
        folder=os.path.join(trainer.checkpoint, "validation"),
    )


class Expect:
    """The documented trace of a run, spelled with the recorder's own formatting."""

    def __init__(self, s, live=None, report="html"):
        self.s, self.rec, self.events = s, s.rec, []
        self.live, self.report = live, report  # DVCLive output folder, report mode
        self.step = 0  # steps so far; step n returned the dict labelled "losses<n>"
        self.metrics = {}  # what the run holds as ``metrics``

    def name(self, text):
        return self.rec.label(object(), text)

    def losses(self, added=True):
        if not self.step:
            return {}
        content = {"total-loss": self.step / 2}
        if added:
            content.update({"step-time (seconds)": 0.25, "learning-rate": self.s.lr})
        return self.rec.label(content, f"losses{self.step}", content=True)

    def call(self, target, *args, **kwargs):
        self.events.append(self.rec.text(target, args, kwargs))

    def method(self, target, *args, **kwargs):
        self.events.append(target)
        self.call(target, *args, **kwargs)

    def hook(self, name, *args, **kwargs):
        self.method("handler." + name, *args, **kwargs)

    def start(self, epochs, evaluator=True, initial=True):
        if self.live:
            self.call("Live", self.live, save_dvc_exp=True, report=self.report)
            self.call("live.log_params", self.s.trainer.info)
        self.hook("on_train_start", epochs=epochs)
        if evaluator:
            self.call("evaluator", val_messenger=self.s.trainer.val_messenger, labels=CLASSES)
            if initial:
                self.validation(0)

    def validation(self, epoch):
        s = self.s
        self.call(
            "tqdm", s.val_ds, desc="Running Validation", leave=True, colour="green", bar_format=BAR
        )
        self.hook("on_evaluation_start")
        self.events.append("iter(val_ds)")
        for k, (images, _, _) in enumerate(s.samples):
            self.events += ["evaluator.runner", "runner.run_single_instance"]
            self.call("runner.run_single_instance", images.array[0])
            instances = {"gt_instance": {"image_path": f"img{k}.png"}}
            self.method("evaluator.single_evaluation", instances, epoch, k < s.trainer.display)
        self.method("evaluator.conclude", f"tv:img{len(s.samples) - 1}.png", epoch=epoch)
        self.call("trainer.save_model", metrics_for(epoch)["mACC"]["0.5"])
        metrics = self.name(f"metrics{epoch}")
        self.hook("on_evaluaiton_end", metrics=metrics)
        if self.live:
            self.events += live_metric_calls(self.rec, metrics_for(epoch), 0.001)
        losses = self.losses() if epoch else self.name("default_losses")
        self.method("logger.update_metrics", summary_row(metrics_for(epoch)), losses)
        self.events += ["evaluator.save_plots_disk", "evaluator.current_plots"]
        self.call("evaluator.save_plots_disk", plots=self.name("plots"), path=s.folder)
        self.events.append("evaluator.current_summary")
        if epoch:
            self.metrics = metrics

    def steps(self, epoch, batches):
        self.hook("on_epoch_start", epoch=epoch)
        self.call(
            "tqdm",
            self.s.train_ds,
            desc=f"Epoch {epoch}",
            leave=True,
            bar_format=BAR,
            colour="green",
        )
        self.events.append("iter(train_ds)")
        for i in range(batches):
            self.step += 1
            self.hook("on_step_start", step=i)
            self.events.append("time.time()")
            self.call("trainer.train_step", f"batch{i}")
            self.events += ["time.time()", "optimizer.lr", "optimizer.lr"]
            self.hook("on_step_end", losses=self.losses(False), lr=self.s.lr)
            self.method("lr.numpy")
            postfix = f"loss: {self.step / 2:.3f}   lr: 0.001000 step-time: 0.250000"
            self.call("bar.set_postfix", values=postfix)
            self.method("logger.update_metrics", {}, self.losses())

    def end_of_epoch(self):
        self.call("trainer.save_model", -1.0)
        self.hook("on_model_save", self.name("model"))
        if self.live:
            self.call("live.next_step")
        self.hook("on_epoch_end", losses=self.losses(), metrics=self.metrics)

    def finish(self):
        if self.live:
            self.events.append("printed " + repr(CLOSING))
            self.call("live.end")
        self.hook("on_train_end")
        return self.events


def expected_run(
    s,
    epochs,
    start=1,
    batches=2,
    once=False,
    validated=(),
    initial=True,
    evaluator=True,
    live=None,
    **_,
):
    ex = Expect(s, live)
    ex.start(epochs, evaluator, initial)
    for epoch in range(start, epochs + 1):
        ex.steps(epoch, 0 if once and epoch > start else batches)
        if epoch in validated:
            ex.validation(epoch)
        ex.end_of_epoch()
    return ex.finish()


VARIANTS = {
    "two epochs": dict(epochs=2, validated=(1, 2)),
    "start after end": dict(epochs=2, start=3),
    "empty training set": dict(epochs=2, batches=0, validated=(1, 2)),
    "training set empty after epoch 1": dict(epochs=3, once=True, skip=2, validated=(2,)),
    "every second epoch from 1": dict(epochs=4, batches=1, skip=2, validated=(2, 4)),
    "every second epoch from 3": dict(epochs=5, start=3, batches=1, skip=2, validated=(4,)),
    "no initial validation": dict(epochs=1, batches=1, initial=False, validated=(1,)),
    "no evaluator": dict(epochs=2, batches=1, evaluator=False),
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_whole_run_follows_the_documented_order(impl, tmp_path, monkeypatch, capsys, variant):
    v = dict(start=1, batches=2, once=False, skip=1, initial=True, evaluator=True, validated=())
    v.update(VARIANTS[variant])
    s = setup_run(
        impl,
        tmp_path,
        monkeypatch,
        batches=v["batches"],
        once=v["once"],
        skip_validation_steps=v["skip"],
        skip_initial_validation=not v["initial"],
    )
    capsys.readouterr()

    evaluator = s.evaluator if v["evaluator"] else None
    result = s.trainer.train(
        v["epochs"], s.train_ds, s.val_ds, evaluator, start=v["start"], callback_handler=s.handler
    )

    assert result is None
    assert s.rec.events == expected_run(s, **v)
    assert capsys.readouterr().out == ""
    assert os.path.isdir(s.folder)
    published = ([0] if v["evaluator"] and v["initial"] else []) + list(v["validated"])
    results = os.path.join(s.folder, "results.txt")
    assert os.path.exists(results) == bool(published)
    if published:
        with open(results) as f:
            assert f.read() == "pass summary"
        with open(os.path.join(s.trainer.checkpoint, "summary.csv"), newline="") as f:
            assert [int(row["epoch"]) for row in csv.DictReader(f)] == published


def test_validation_interval_of_zero_fails_after_the_first_epochs_steps(
    impl, tmp_path, monkeypatch
):
    s = setup_run(impl, tmp_path, monkeypatch, skip_validation_steps=0)
    with pytest.raises(ZeroDivisionError) as excinfo:
        s.trainer.train(3, s.train_ds, s.val_ds, s.evaluator, callback_handler=s.handler)
    ex = Expect(s)
    ex.start(3)
    ex.steps(1, 2)
    assert s.rec.events == ex.events  # no save, no further hook
    if is_compiled(impl):
        assert last_entry(excinfo) == (QUALNAME + "train", MODULE_FILE, 608)

    s.trainer.train(
        1, s.train_ds, s.val_ds, callback_handler=s.handler
    )  # not read without evaluator


def test_default_handler_is_one_instance_shared_by_every_trainer(impl, tmp_path, monkeypatch):
    from corvane.tessmark.callbacks import TessmarkTrainingCallback

    handler = impl.DetectionTrainer.train.__defaults__[4]
    assert isinstance(handler, TessmarkTrainingCallback)
    assert impl.DetectionTrainer.train.__defaults__[4] is handler
    seen = []
    monkeypatch.setitem(vars(handler), "on_train_start", lambda epochs: seen.append(epochs))
    for epochs in (0, 1):
        s = setup_run(impl, tmp_path / str(epochs), monkeypatch)
        s.trainer.train(epochs, s.train_ds)
    assert seen == [0, 1]


class Stopping:
    """The recording handler, with ``on_epoch_end`` setting ``stop_training`` after epoch
    ``at`` (as a handler such as EarlyStopping does)."""

    def __init__(self, handler, trainer, at):
        self.handler, self.trainer, self.at, self.epoch = handler, trainer, at, None

    def __getattr__(self, name):
        return getattr(self.handler, name)

    def on_epoch_start(self, epoch):
        self.epoch = epoch
        self.handler.on_epoch_start(epoch=epoch)

    def on_epoch_end(self, losses, metrics):
        self.handler.on_epoch_end(losses=losses, metrics=metrics)
        if self.epoch == self.at:
            self.trainer.stop_training = True


class TestStopTraining:
    def test_a_stop_ends_the_run_after_that_epoch_as_after_the_last(
        self, impl, tmp_path, monkeypatch
    ):
        s = setup_run(impl, tmp_path, monkeypatch, batches=1)
        handler = Stopping(s.handler, s.trainer, at=2)
        s.trainer.train(4, s.train_ds, s.val_ds, s.evaluator, callback_handler=handler)
        ex = Expect(s)
        ex.start(4)
        for epoch in (1, 2):
            ex.steps(epoch, 1)
            ex.validation(epoch)
            ex.end_of_epoch()
        assert s.rec.events == ex.finish()
        assert s.trainer.stop_training is True

        # The next run starts unstopped and runs every epoch.
        handler.at = None
        s.rec.events.clear()
        s.trainer.train(2, s.train_ds, callback_handler=handler, start=2)
        assert s.trainer.stop_training is False
        assert [e for e in s.rec.events if e.startswith("handler.on_epoch_start(")] == [
            "handler.on_epoch_start(epoch=2)"
        ]

    def test_a_run_that_never_stops_adds_no_attribute(self, impl, tmp_path, monkeypatch):
        s = setup_run(impl, tmp_path, monkeypatch, batches=1)
        before = dict(vars(s.trainer))
        s.trainer.train(2, s.train_ds, s.val_ds, s.evaluator, callback_handler=s.handler)
        assert "stop_training" not in vars(s.trainer) and vars(s.trainer).keys() == before.keys()
        s.trainer.stop_training = 0  # false, and not a bool: left as it is
        s.trainer.train(1, s.train_ds, callback_handler=s.handler)
        assert s.trainer.stop_training == 0 and type(s.trainer.stop_training) is int

    def test_a_failing_read_is_reported_after_the_epoch_end_hook(self, impl, tmp_path, monkeypatch):
        s = setup_run(impl, tmp_path, monkeypatch, batches=1)
        error = RuntimeError("cannot tell")

        class Unreadable(type(s.trainer)):
            @property
            def stop_training(self):
                if s.rec.events and s.rec.events[-1].startswith("handler.on_epoch_end("):
                    raise error
                return False

        s.trainer.__class__ = Unreadable
        with pytest.raises(RuntimeError) as excinfo:
            s.trainer.train(2, s.train_ds, callback_handler=s.handler)
        assert excinfo.value is error
        assert s.rec.events[-1].startswith("handler.on_epoch_end(")
        if is_compiled(impl):
            assert last_entry(excinfo) == (QUALNAME + "train", MODULE_FILE, 645)


FAILURES = [  # failing event, its occurrence, the compiled module's entries (outermost first)
    ("handler.on_train_start()", 1, [("train", 532)]),
    ("handler.on_model_save()", 1, [("train", 639)]),
    ("evaluator.single_evaluation()", 2, [("train", 547), ("run_validation_step", 452)]),
    ("evaluator.current_summary", 1, [("train", 561), ("train", 564)]),
    ("evaluator.current_summary", 2, [("train", 631), ("train", 635)]),
]


@pytest.mark.parametrize("event, nth, entries", FAILURES)
def test_a_failure_ends_the_run_where_it_happens(impl, tmp_path, monkeypatch, event, nth, entries):
    s = setup_run(impl, tmp_path, monkeypatch, batches=1)
    error = RuntimeError("boom")
    s.rec.fail(event, error, nth)
    with pytest.raises(RuntimeError) as excinfo:
        s.trainer.train(2, s.train_ds, s.val_ds, s.evaluator, callback_handler=s.handler)
    assert excinfo.value is error
    assert s.rec.events[-1].startswith(event.rstrip("()"))  # nothing ran after the failure
    if event == "evaluator.current_summary":  # opened for writing (emptied), then closed
        with open(os.path.join(s.folder, "results.txt")) as f:
            assert f.read() == ""
    if is_compiled(impl):
        assert module_entries(excinfo) == [(QUALNAME + name, line) for name, line in entries]
        assert last_entry(excinfo) == (QUALNAME + entries[0][0], MODULE_FILE, entries[0][1])


# --- DVCLive ---------------------------------------------------------------------------


@pytest.fixture
def dvc(impl, tmp_path, monkeypatch, capsys):
    """Real DVCLive, run from a folder outside any git checkout, behind a recording ``Live``."""
    dvclive = pytest.importorskip("dvclive", reason="dvclive is not installed")
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    for var in ("DVC_REPORT", "CI", "DVCLIVE_TEST", "DVC_ROOT", "DVC_EXP_BASELINE_REV"):
        monkeypatch.delenv(var, raising=False)
    rec = Recorder()

    class RecordingLive(dvclive.Live):
        def __init__(self, *args, **kwargs):
            rec.call("Live", args, kwargs)
            super().__init__(*args, **kwargs)

        def log_params(self, params):
            rec.call("live.log_params", (params,), {})
            super().log_params(params)

        def log_metric(self, *args, **kwargs):
            rec.call("live.log_metric", args, kwargs)
            super().log_metric(*args, **kwargs)

        def next_step(self):
            rec.call("live.next_step", (), {})
            super().next_step()

        def end(self):
            rec.log("printed " + repr(capsys.readouterr().out))
            rec.call("live.end", (), {})
            super().end()

    monkeypatch.setattr(dvclive, "Live", RecordingLive)
    s = setup_run(
        impl, tmp_path, monkeypatch, rec=rec, batches=1, dvclive_output=str(tmp_path / "dvclive")
    )
    s.samples[1:] = []
    s.val_ds = Dataset(rec, "val_ds", s.samples)
    capsys.readouterr()
    return s


def without_lr_reads(events):
    """DVCLive's "Learning Rate" value comes from ``lr.numpy()``; how often ``numpy`` is
    looked up for it is not part of the contract, so those events are left out."""
    return [e for e in events if not e.startswith("lr.numpy")]


def test_dvclive_run_spans_the_training(dvc):
    s = dvc
    s.trainer.train(2, s.train_ds, s.val_ds, s.evaluator, callback_handler=s.handler)
    expected = expected_run(s, 2, batches=1, validated=(1, 2), live=s.trainer.dvclive_output)
    assert without_lr_reads(s.rec.events) == without_lr_reads(expected)
    # The initial pass and epoch 1 are both published before the first ``next_step``.
    tsv = os.path.join(s.trainer.dvclive_output, "plots", "metrics", "Overall ACC.tsv")
    with open(tsv) as f:
        assert [row["step"] for row in csv.DictReader(f, delimiter="\t")] == ["0", "0", "1"]


REPORTS = [  # environment, report mode handed to Live
    ({}, "html"),
    ({"CI": "false"}, "html"),
    ({"CI": "0"}, "html"),
    ({"CI": ""}, "md"),
    ({"CI": "False"}, "md"),
    ({"CI": "true"}, "md"),
    ({"DVC_REPORT": "md", "CI": "false"}, "md"),
    ({"DVC_REPORT": "html", "CI": "1"}, "html"),
    ({"DVC_REPORT": ""}, ""),  # taken unchanged; DVCLive itself refuses it
]


@pytest.mark.parametrize("env, report", REPORTS)
def test_dvclive_report_mode_comes_from_the_environment(dvc, monkeypatch, env, report):
    s = dvc
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    ex = Expect(s, live=s.trainer.dvclive_output, report=report)
    ex.start(0, evaluator=False)
    if report:
        s.trainer.train(0, s.train_ds, callback_handler=s.handler)
        assert s.rec.events == ex.finish()
        assert os.path.exists(os.path.join(s.trainer.dvclive_output, f"report.{report}"))
    else:
        from dvclive.error import InvalidReportModeError

        with pytest.raises(InvalidReportModeError):
            s.trainer.train(0, s.train_ds, callback_handler=s.handler)
        assert s.rec.events == ex.events[:1]
