"""Every step of every method that reports a line, failing in turn.

Each row makes one collaborator, operand or trainer attribute fail with a fresh sentinel
exception and calls the method several times: the sentinel itself must come out, with the
compiled module's traceback entries exactly as listed (outermost first), and the reference
counts of the arguments must not move between the repetitions."""

import contextlib
import gc
import json
import os
import sys
import types
import warnings
import weakref

import numpy as np
import pytest
from doubles import module_entries

import corvane.tessmark.trainer.detection as detection
from corvane.tessmark.trainer.detection import DetectionTrainer

FILE = "corvane\\tessmark\\trainer\\detection"
QUALNAME = "corvane.tessmark.trainer.detection.DetectionTrainer."
REPEATS = 4
HOOKS = (
    "on_train_start on_evaluation_start on_evaluaiton_end on_epoch_start on_step_start "
    "on_step_end on_model_save on_epoch_end on_train_end"
).split()
THRESHOLDS = ("0.5", "0.75", "0.5:0.95")


class Sentinel(Exception):
    pass


class Fault:
    """The failure of the current attempt: a new sentinel per attempt, so that a traceback
    kept from an earlier attempt can never be mistaken for this one's."""

    def __init__(self):
        self.attempt, self.exc = 0, None

    def arm(self):
        self.attempt += 1
        self.exc = Sentinel(f"attempt {self.attempt}")


class Trip:
    """Callable; raises the attempt's sentinel at its ``nth`` call of each attempt, otherwise
    returns ``then(*args)`` (or None)."""

    def __init__(self, fault, nth=1, then=None):
        self.fault, self.nth, self.then, self.seen = fault, nth, then, (0, 0)

    def due(self):
        attempt, count = self.seen
        count = count + 1 if attempt == self.fault.attempt else 1
        self.seen = (self.fault.attempt, count)
        return count == self.nth

    def __call__(self, *args, **kwargs):
        if self.due():
            raise self.fault.exc
        return self.then(*args, **kwargs) if self.then else None


class Read(Trip):
    """An attribute value of an ``Obj`` that fails at its nth read and is ``value`` otherwise."""

    def __init__(self, fault, value=None, nth=1):
        super().__init__(fault, nth)
        self.value = value


class Obj:
    """A collaborator with the given attributes; calling it calls its attribute ``call``."""

    born = None  # weak references to the doubles made during the call under test

    def __init__(self, **attrs):
        vars(self).update(attrs)
        if Obj.born is not None:
            Obj.born.append(weakref.ref(self))

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        if isinstance(value, Read):
            value()
            return value.value
        return value

    def __call__(self, *args, **kwargs):
        return self.call(*args, **kwargs)


class Over(Obj):
    """A module whose attributes given here replace its own."""

    def __init__(self, base, **attrs):
        super().__init__(base=base, **attrs)

    def __getattr__(self, name):
        return getattr(self.base, name)


class Schedule(Obj):
    """Stands for tf.keras.optimizers.schedules.LearningRateSchedule."""


class Tensor(Obj):
    """Stands for tf.Tensor."""


class Tape(Obj):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.exit(*exc)


class Bar(Obj):
    def __iter__(self):
        return iter(self.items)


def put(obj, **attrs):
    vars(obj).update(attrs)


def odd(fault, failing, nth=1, then=None, **methods):
    """An object whose special methods named in ``failing`` raise the sentinel at their nth
    use in an attempt (returning ``then`` before), with further ``methods`` of its own."""
    trip = Trip(fault, nth)

    def fail(self, *args):
        trip()
        return then

    obj = type("Odd", (), {**{name: fail for name in failing.split()}, **methods})()
    if Obj.born is not None:
        Obj.born.append(weakref.ref(obj))
    return obj


def clash(fault, mapping, key):
    """Replaces ``key`` of a dict by a key of the same hash that refuses to be compared, so
    the dict's next lookup or store of ``key`` fails."""
    value = mapping.pop(key, None)
    code = hash(key)
    mapping[odd(fault, "__eq__", __hash__=lambda self: code)] = value


def raiser(cls, *args):
    def fail(*_, **__):
        raise cls(*args)

    return fail


def failing_store(s):
    """Losses whose ``get`` works and whose item assignment fails."""
    return s.odd("__setitem__", get=lambda self, key: 1.0)


def write_file(path):
    with open(path, "w"):
        pass


class Scene:
    """One method's world of doubles, built to succeed; rows then break one piece of it."""

    def __init__(self, monkeypatch, tmp_path):
        self.f, self.mp, self.tmp = Fault(), monkeypatch, tmp_path
        self.stack = contextlib.ExitStack()
        gets, sets = {}, {}
        self.gets, self.sets = gets, sets

        class Trainer(DetectionTrainer):
            def __getattribute__(self, name):
                if name in gets:
                    gets[name]()
                return object.__getattribute__(self, name)

            def __setattr__(self, name, value):
                if name in sets:
                    sets[name]()
                object.__setattr__(self, name, value)

        self.T, self.t = Trainer, Trainer.__new__(Trainer)
        self.tf = Obj(
            keras=Obj(
                optimizers=Obj(schedules=Obj(LearningRateSchedule=Schedule)),
                models=Obj(Model=lambda inputs, outputs: Obj()),
                Input=lambda shape: "new-input",
            ),
            Tensor=Tensor,
            GradientTape=lambda: self.tape,
            reduce_sum=lambda values: 0.5,
            transpose=lambda x, perm: x,
        )
        self.os = Over(os, path=Over(os.path), environ=Obj(get=lambda key, default=None: default))
        monkeypatch.setattr(detection, "tf", self.tf)
        monkeypatch.setattr(detection, "os", self.os)
        self.args, self.after = {}, None

    # --- what rows use to break the scene ---
    def trip(self, nth=1, then=None):
        return Trip(self.f, nth, then)

    def read(self, value=None, nth=1):
        return Read(self.f, value, nth)

    def get(self, name, nth=1):
        """Reading trainer attribute ``name`` fails the nth time."""
        self.gets[name] = Trip(self.f, nth)

    def set(self, name):
        """Storing trainer attribute ``name`` fails."""
        self.sets[name] = Trip(self.f)

    def state(self, **attrs):
        vars(self.t).update(attrs)

    def odd(self, failing, nth=1, then=None, **methods):
        return odd(self.f, failing, nth, then, **methods)

    def clash(self, mapping, key):
        clash(self.f, mapping, key)

    def join_fails(self, leaf, nth=1, on_open=False):
        """``os.path.join`` onto ``leaf`` fails at its nth use; with ``on_open`` it gives a
        path that fails when it is opened instead."""
        due = self.trip(nth)

        def join(*parts):
            if parts[-1].startswith(leaf) and due.due():
                if on_open:
                    return self.odd("__fspath__", then=str(self.tmp / "nowhere" / leaf))
                raise self.f.exc
            return os.path.join(*parts)

        put(self.os.path, join=join)

    def module(self, name, **attrs):
        module = types.ModuleType(name)
        vars(module).update(attrs)
        self.mp.setitem(sys.modules, name, module)
        return module

    def block_import(self, name, nth=1):
        """Importing ``name`` raises the sentinel the nth time, ImportError otherwise."""
        due = self.trip(nth)

        class Finder:
            @staticmethod
            def find_spec(fullname, path=None, target=None):
                if fullname == name:
                    due()
                    raise ModuleNotFoundError(f"No module named {name!r}")
                return None

        self.mp.delitem(sys.modules, name, raising=False)
        self.mp.setattr(sys, "meta_path", [Finder, *sys.meta_path])

    def warnings(self, action):
        self.stack.enter_context(warnings.catch_warnings())
        warnings.simplefilter(action)


@pytest.fixture
def scene(monkeypatch, tmp_path):
    s = Scene(monkeypatch, tmp_path)
    yield s
    s.stack.close()


def big():
    """An int that no constant shares, so that its count moves with the calls alone."""
    return int("1" + "0" * 20)


def counts(objects):
    return [sys.getrefcount(o) for o in objects if all(o is not c for c in (None, True, False))]


def sweep(s, call, method, lines):
    """Calls ``call(*args)`` 1 + REPEATS times; each must fail with that attempt's sentinel
    and the entries at ``lines``, and leave nothing it made alive (the sentinel and the
    doubles made during the call); the arguments' counts are compared after the first."""
    expected = [(QUALNAME + method, line) for line in lines]
    args = list(s.args.values())

    def attempt():
        s.f.arm()
        Obj.born = []
        try:
            call(*args)
        except Sentinel as exc:
            # A kept traceback holds the doubles' frames and through them the arguments.
            found, same = module_entries(exc), exc is s.f.exc
            exc.__traceback__ = exc.__context__ = None
            born = [weakref.ref(exc), *Obj.born]
        else:
            pytest.fail("the call did not fail")
        finally:
            Obj.born = None
        s.f.exc = None
        if s.after:
            s.after()
        assert same
        assert found == expected
        assert [ref() for ref in born if ref() is not None] == []

    attempt()
    # With the collector off, garbage cycles that hold an argument show as growth too.
    enabled = gc.isenabled()
    gc.disable()
    try:
        before = counts(args)
        for _ in range(REPEATS):
            attempt()
        after = counts(args)
    finally:
        if enabled:
            gc.enable()
    assert after == before


def run_rows(rows):
    """(line or (outer, ..., inner) lines, injector) rows as parametrize arguments."""
    return pytest.mark.parametrize(
        "lines, inject",
        [(lines if isinstance(lines, tuple) else (lines,), inject) for lines, inject in rows],
        ids=[str(row[0]) for row in rows],
    )


# --- __init__ ----------------------------------------------------------------------------

INIT_STORES = zip(
    (58, 59, 60, 61, 62, 63, 64, 65, 66, 70, 71, 72, 73, 74, 79, 81, 86, 87, 89, 90, 91),
    "dvclive_output info model metric dataset optimizer loss logger evaluator best_value iou "
    "classes display NCHW current_lr checkpoint best last summary_rows skip_validation_steps "
    "skip_initial_validation".split(),
)
INIT_ROWS = [
    *[(line, lambda s, name=name: s.set(name)) for line, name in INIT_STORES],
    (68, lambda s: put(s.writer_class, call=s.trip())),
    (76, lambda s: put(s.args["optimizer"], lr=s.read(0.01))),
    (77, lambda s: put(s.args["optimizer"], lr=Schedule(call=float), iterations=s.read())),
    (83, lambda s: put(s.os.path, exists=s.trip())),
    (84, lambda s: (put(s.os.path, exists=lambda p: False), put(s.os, makedirs=s.trip()))),
    (93, lambda s: s.join_fails("config.json")),
    ((93, 94), lambda s: put(s.json, dumps=s.trip())),
    (96, lambda s: s.args.update(classes=s.odd("__len__"))),
    (97, lambda s: s.join_fails("labels.txt")),
    ((97, 98), lambda s: s.args.update(classes=s.odd("__iter__", __len__=lambda self: 1))),
    ((97, 99), lambda s: s.args.update(classes=["cat", s.odd("__format__")])),
    (101, lambda s: s.get("best")),
    (102, lambda s: s.get("last")),
]


@run_rows(INIT_ROWS)
def test_constructor(scene, lines, inject):
    s = scene
    messenger = Obj()  # kept by the trainer, so made before the calls
    s.writer_class, s.json = Obj(call=lambda writer: messenger), Obj(dumps=json.dumps)
    s.mp.setattr(detection, "TrainingTensorBoardWriter", s.writer_class)
    s.mp.setattr(detection, "json", s.json)
    s.args.update(self=s.t, model=Obj(), dataset=Obj(), optimizer=Obj(lr=0.01, iterations=7))
    s.args.update(loss=Obj(), logger=Obj(writer=Obj()), checkpoint=str(s.tmp / "ckpt"))
    s.args.update(info={"run": 1}, metric="".join("acc"), iou=float("0.5"), classes=["a", "b"])
    rest = "display dvclive_output skip_validation_steps skip_initial_validation"
    s.args.update({name: Obj() for name in rest.split()})
    inject(s)
    sweep(s, DetectionTrainer.__init__, "__init__", lines)


# --- train_step ----------------------------------------------------------------------------

STEP_ROWS = [
    (186, lambda s: s.args.update(data=s.odd("__getitem__"))),
    (187, lambda s: s.args.update(data=s.odd("__getitem__", nth=2))),
    (189, lambda s: put(s.tf, GradientTape=s.trip())),
    (189, lambda s: put(s.tape, exit=s.trip())),
    (190, lambda s: put(s.model, call=s.trip())),
    (192, lambda s: put(s.loss, compute_loss=s.trip())),
    (194, lambda s: put(s.model, call=lambda *a, **k: s.odd("__iter__"))),
    (196, lambda s: put(s.tf, reduce_sum=s.trip())),
    (197, lambda s: put(s.loss, compute_loss=lambda *a: Obj(get=s.trip()))),
    (200, lambda s: put(s.tape, gradient=s.trip())),
    (201, lambda s: put(s.optimizer, apply_gradients=s.trip())),
    (202, lambda s: put(s.tape, gradient=lambda *a: s.odd("__iter__"))),
    (204, lambda s: put(s.loss, compute_loss=lambda *a: failing_store(s))),
]


@run_rows(STEP_ROWS)
def test_train_step(scene, lines, inject):
    s = scene
    s.tape = Tape(exit=lambda *exc: None, gradient=lambda loss, variables: ["g"])
    s.model = Obj(call=lambda images, training: ["p0", "p1"], losses=["l"], trainable_variables=[1])
    s.loss = Obj(compute_loss=lambda targets, p: {"total-loss": 1.0})
    s.optimizer = Obj(apply_gradients=lambda pairs: None)
    s.T.preprocess_input = staticmethod(lambda x: x)
    s.state(model=s.model, loss=s.loss, optimizer=s.optimizer)
    s.args.update(self=s.t, data=tuple(["images", "boxes"]))
    inject(s)
    sweep(s, DetectionTrainer.train_step.python_function, "train_step", lines)


# --- remove_training_outputs and to_nchw ---------------------------------------------------

REMOVE_ROWS = [
    (214, lambda s: put(s.tf.keras.models, Model=s.trip())),
    (215, lambda s: put(s.net, input=s.read())),
    (216, lambda s: put(s.net, outputs=s.read())),
    (219, lambda s: (s.args.update(model=None), put(s.tf.keras.models, Model=s.trip()))),
    (220, lambda s: (s.args.update(model=None), s.get("model"))),
    (221, lambda s: (s.args.update(model=None), s.get("model", nth=2))),
]


@run_rows(REMOVE_ROWS)
def test_remove_training_outputs(scene, lines, inject):
    s = scene
    s.net = Obj(input=Obj(), outputs=["o0", "o1", "o2"])
    s.state(model=Obj(input=Obj(), outputs=["o0", "o1", "o2"]))
    s.args.update(self=s.t, model=s.net)
    inject(s)
    sweep(s, DetectionTrainer.remove_training_outputs, "remove_training_outputs", lines)


NCHW_ROWS = [
    (227, lambda s: put(s.net, input=s.read())),
    (228, lambda s: put(s.tf.keras, Input=s.trip())),
    (229, lambda s: put(s.tf, transpose=s.trip())),
    (230, lambda s: put(s.net, call=s.trip())),
    (231, lambda s: put(s.tf, transpose=s.trip(nth=2))),
    (232, lambda s: put(s.tf.keras.models, Model=s.trip())),
]


@run_rows(NCHW_ROWS)
def test_to_nchw(scene, lines, inject):
    s = scene
    s.net = Obj(input=Obj(shape=(None, 8, 6, 3)), call=lambda x: "y")
    s.args.update(self=s.t, model=s.net)
    inject(s)
    sweep(s, DetectionTrainer.to_nchw, "to_nchw", lines)


# --- save_model ------------------------------------------------------------------------------


def showwarning_fails(s):
    s.mp.setitem(sys.modules, "mlflow", None)
    s.warnings("always")
    s.mp.setattr(warnings, "showwarning", s.trip())


SAVE_ROWS = [
    (249, lambda s: s.get("NCHW")),
    (250, lambda s: (s.state(NCHW=True), setattr(s.T, "to_nchw", s.trip()))),
    (253, lambda s: setattr(s.T, "remove_training_outputs", s.trip())),
    (252, lambda s: put(s.exported, outputs=s.odd("__len__"))),
    (254, lambda s: put(s.exported, save=s.trip())),
    (256, lambda s: s.block_import("mlflow")),
    (257, lambda s: put(s.mlflow, active_run=s.trip())),
    (258, lambda s: put(s.mlflow, log_artifact=s.trip())),
    (260, showwarning_fails),
    (262, lambda s: s.state(best_value=s.odd("__le__"))),
    (263, lambda s: s.get("metric")),
    (264, lambda s: put(s.exported, save=s.trip(nth=2, then=write_file))),
    (265, lambda s: s.set("best_value")),
    (267, lambda s: (s.warnings("ignore"), s.block_import("mlflow", nth=2))),
    (268, lambda s: put(s.mlflow, active_run=s.trip(nth=2, then=lambda: True))),
    (269, lambda s: put(s.mlflow, log_artifact=s.trip(nth=2))),
    (273, lambda s: (s.args.update(val=float("0.25")), s.state(best_value=0.75), s.get("metric"))),
]


@run_rows(SAVE_ROWS)
def test_save_model(scene, lines, inject):
    s = scene
    s.exported = Obj(save=write_file)
    s.T.remove_training_outputs = Obj(call=lambda model: s.exported)
    s.T.to_nchw = Obj(call=lambda model: Obj())
    s.mlflow = s.module("mlflow", active_run=lambda: True, log_artifact=lambda path: None)
    s.state(NCHW=False, model=Obj(), best_value=0.0, metric="acc")
    s.state(last=str(s.tmp / "last.h5"), best=str(s.tmp / "best.h5"))
    s.args.update(self=s.t, val=float("0.5"))
    inject(s)
    sweep(s, DetectionTrainer.save_model, "save_model", lines)


# --- update_metrics ----------------------------------------------------------------------------

# Lines 310-321 read these values, and lines 369-380 convert these.
READS = [
    key
    for overall, family in (("OP", "mAP"), ("OR", "mAR"), ("OA", "mACC"))
    for key in [(overall, None), *((family, t) for t in THRESHOLDS)]
]
CONVERSIONS = [(family, t) for family in ("mAP", "mACC", "mAR") for t in THRESHOLDS]
CONVERSIONS += [("OA", None), ("OP", None), ("OR", None)]


def value_fails(s, outer, inner):
    holder = s.metrics if inner is None else s.metrics[outer]
    holder[inner or outer] = s.odd("__float__")


def read_fails(s, outer, inner):
    s.clash(s.metrics if inner is None else s.metrics[outer], inner or outer)


PUBLISH_ROWS = [
    *[(310 + i, lambda s, key=key: read_fails(s, *key)) for i, key in enumerate(READS)],
    (323, lambda s: s.get("current_lr")),
    (324, lambda s: s.state(current_lr=Tensor(numpy=s.trip()))),
    (326, lambda s: s.get("current_lr", nth=2)),
    *[(328 + n, lambda s, n=n: put(s.live, log_metric=s.trip(n))) for n in range(1, 13)],
    (342, lambda s: s.state(current_lr=Obj(numpy=s.read()))),
    (343, lambda s: put(s.live, log_metric=s.trip(13))),
    (346, lambda s: s.block_import("mlflow")),
    (348, lambda s: put(s.mlflow, active_run=s.trip())),
    (349, lambda s: put(s.mlflow, log_metrics=s.trip())),
    *[(369 + i, lambda s, key=key: value_fails(s, *key)) for i, key in enumerate(CONVERSIONS)],
    (382, lambda s: put(s.logger, update_metrics=s.trip())),
    (384, lambda s: put(s.logger, update_metrics=lambda row, losses: s.clash(row, "epoch"))),
    (385, lambda s: s.get("summary_rows")),
    (387, lambda s: s.get("checkpoint")),
    (388, lambda s: s.get("checkpoint", nth=2)),
    (391, lambda s: s.join_fails(".summary.", on_open=True)),
    (392, lambda s: s.mp.setattr(detection, "csv", Obj(DictWriter=s.trip()))),
    (393, lambda s: s.mp.setattr(detection, "csv", Obj(DictWriter=lambda f, fieldnames: Obj(
        writeheader=s.trip(), writerows=lambda rows: None)))),
    (394, lambda s: s.get("summary_rows", nth=2)),
    (395, lambda s: put(s.os, replace=s.trip())),
    (398, lambda s: put(s.os, replace=raiser(OSError, "disk full"), remove=s.trip())),
    (401, lambda s: (put(s.os, replace=raiser(PermissionError)),
                     s.mp.setattr(sys, "stdout", Obj(write=s.trip())))),
]  # fmt: skip


@run_rows(PUBLISH_ROWS)
def test_update_metrics(scene, lines, inject):
    s = scene

    def per_threshold():
        return {"0.5": 0.5, "0.75": 0.25, "0.5:0.95": 0.125}

    s.metrics = {"OP": 0.5, "OR": 0.25, "OA": 0.75}
    s.metrics.update(mAP=per_threshold(), mAR=per_threshold(), mACC=per_threshold())
    s.mlflow = s.module("mlflow", active_run=lambda: True, log_metrics=lambda values, step: None)
    s.logger = Obj(update_metrics=lambda row, losses: None)
    s.live = Obj(log_metric=lambda *args, **kwargs: None)
    s.state(current_lr=0.001, logger=s.logger, summary_rows=[], checkpoint=str(s.tmp))
    s.after = vars(s.t)["summary_rows"].clear  # each row holds the epoch object
    s.args.update(self=s.t, metrics=s.metrics, losses={}, epoch=big(), live=s.live)
    inject(s)
    sweep(s, DetectionTrainer.update_metrics, "update_metrics", lines)


# --- run_validation_step -----------------------------------------------------------------------

# Lines 431-436, 438-440 and 442-443 store these keys: (dictionary, key).
STORES = zip(
    (431, 432, 433, 434, 435, 436, 438, 439, 440, 442, 443),
    [("gt_instance", k) for k in ("image", "height", "width", "boxes", "labels", "image_path")]
    + [("dt_instance", k) for k in ("boxes", "labels", "scores")]
    + [(None, "gt_instance"), (None, "dt_instance")],
)


def store_fails(s, which, key):
    """The evaluator spoils one key of the dictionaries it is handed, so the next sample's
    store of that key fails."""

    def single_evaluation(instances, epoch, add_image):
        s.clash(instances[which] if which else instances, key)
        return "truth"

    put(s.evaluator, single_evaluation=single_evaluation)


def tensor(value):
    return Obj(numpy=lambda: value)


VALIDATION_ROWS = [
    (418, lambda s: s.loop.insert(0, s.odd("__iter__"))),
    (419, lambda s: put(s.loop[0][0], numpy=s.trip())),
    (420, lambda s: put(s.loop[0][1], numpy=s.trip())),
    (421, lambda s: put(s.loop[0][2], numpy=s.trip())),
    (422, lambda s: put(s.loop[0][1], numpy=lambda: [s.odd("__getitem__")])),
    (423, lambda s: s.mp.setattr(detection, "np", Obj(array=s.trip()))),
    (424, lambda s: s.state(classes=s.odd("__getitem__"))),
    (426, lambda s: put(s.loop[0][0], numpy=lambda: [Obj(shape=s.read())])),
    (428, lambda s: put(s.evaluator.runner, run_single_instance=lambda image: s.odd("__iter__"))),
    (429, lambda s: put(s.evaluator.runner, run_single_instance=s.trip())),
    *[(line, lambda s, key=key: store_fails(s, *key)) for line, key in STORES],
    (445, lambda s: s.state(display=s.odd("__ge__"))),
    (446, lambda s: s.get("display", nth=2)),
    (452, lambda s: put(s.evaluator, single_evaluation=s.trip())),
    (455, lambda s: put(s.evaluator, conclude=s.trip())),
    (456, lambda s: s.get("metric")),
    (457, lambda s: put(s.evaluator, conclude=lambda tv, epoch: Obj(get=s.trip()))),
    (458, lambda s: (s.state(metric="map"), s.get("metric", nth=2))),
    (459, lambda s: (s.state(metric="map"), put(s.evaluator, conclude=lambda tv, epoch: Obj(
        get=s.trip())))),
    (461, lambda s: (s.state(metric="mar"), put(s.evaluator, conclude=lambda tv, epoch: Obj(
        get=s.trip())))),
    (463, lambda s: setattr(s.T, "save_model", s.trip())),
]  # fmt: skip


@run_rows(VALIDATION_ROWS)
def test_run_validation_step(scene, lines, inject):
    s = scene

    def sample():
        boxes = np.array([[[0.0, 0.0, 1.0, 1.0, 2.0]]])
        images, names = np.zeros((1, 4, 4, 3)), np.array([b"img.png"])
        return (tensor(images), tensor(boxes), tensor(names))

    metrics = {"mACC": {"0.5": 0.5}, "mAP": {"0.5": 0.25}, "mAR": {"0.5": 0.125}}
    s.loop = [sample(), sample()]
    s.evaluator = Obj(
        runner=Obj(run_single_instance=lambda image: ("boxes", "labels", "scores")),
        single_evaluation=lambda instances, epoch, add_image: "truth",
        conclude=lambda truth_values, epoch: metrics,
    )
    s.T.save_model = Obj(call=lambda val: None)
    s.state(classes=["cat", "dog", "bird"], display=1, metric="acc")
    s.args.update(self=s.t, loop=s.loop, evaluator=s.evaluator, epoch=big())
    inject(s)
    sweep(s, DetectionTrainer.run_validation_step, "run_validation_step", lines)


# --- train -----------------------------------------------------------------------------------


def dvclive(s):
    """A DVCLive run for the trainer; returns the stand-in ``dvclive`` module."""
    s.state(dvclive_output="dvc")
    return s.module("dvclive", Live=lambda output, save_dvc_exp, report: s.live)


WORKTREE = "corvane.tessmark.worktree"


def refused(s):
    """DVCLive's output lies outside the working folder's git work tree."""
    s.module(WORKTREE, dvc_experiment_refusal=lambda output: "refused")


def hook_fails(name, nth=1):
    return lambda s: put(s.handler, **{name: s.trip(nth)})


def method_fails(name, nth=1, then=None):
    return lambda s: setattr(s.T, name, s.trip(nth, then))


def bar_fails(nth):
    return lambda s: put(s.tqdm, call=s.trip(nth, then=s.tqdm.call))


def losses_are(make):
    return lambda s: setattr(s.T, "train_step", Obj(call=lambda data: make(s)))


TRAIN_ROWS = [
    (509, lambda s: s.get("checkpoint")),
    (510, lambda s: put(s.os.path, exists=s.trip())),
    (511, lambda s: (put(s.os.path, exists=lambda path: False), put(s.os, makedirs=s.trip()))),
    (516, lambda s: s.get("dvclive_output")),
    (517, lambda s: (dvclive(s), s.module("dvclive", __getattr__=s.trip()))),
    (519, lambda s: (dvclive(s), put(s.os.environ, get=s.trip()))),
    (521, lambda s: (dvclive(s), put(s.os.environ, get=s.trip(nth=2)))),
    (522, lambda s: (dvclive(s), put(s.os.environ, get=lambda key, default=None: s.odd(
        "__ne__") if key == "CI" else default))),
    (525, lambda s: (dvclive(s), s.module(WORKTREE, dvc_experiment_refusal=s.trip()))),
    (526, lambda s: (dvclive(s), refused(s), s.mp.setattr(sys, "stdout", Obj(write=s.trip())))),
    (527, lambda s: put(dvclive(s), Live=s.trip())),
    (528, lambda s: (dvclive(s), put(s.live, log_params=s.trip()))),
    (532, hook_fails("on_train_start")),
    (535, lambda s: put(s.evaluator, call=s.trip())),
    (537, lambda s: s.state(skip_initial_validation=s.odd("__bool__"))),
    (538, bar_fails(1)),
    (546, hook_fails("on_evaluation_start")),
    (547, method_fails("run_validation_step")),
    (552, hook_fails("on_evaluaiton_end")),
    (553, method_fails("update_metrics")),
    (556, lambda s: put(s.evaluator, save_plots_disk=s.trip())),
    (557, lambda s: put(s.evaluator, current_plots=s.read())),
    (561, lambda s: s.join_fails("results.txt")),
    ((561, 564), lambda s: put(s.evaluator, current_summary=s.read("summary"))),
    (569, lambda s: s.args.update(start=s.odd("__index__"))),
    (570, hook_fails("on_epoch_start")),
    (571, bar_fails(2)),
    (577, lambda s: s.args.update(train_ds=s.odd("__next__", __iter__=lambda self: self))),
    (578, hook_fails("on_step_start")),
    (580, lambda s: put(s.clock, time=s.trip())),
    (581, method_fails("train_step")),
    (582, lambda s: put(s.clock, time=s.trip(nth=2, then=lambda: 1.0))),
    (584, lambda s: put(s.optimizer, lr=s.read(s.rate))),
    (585, lambda s: put(s.tf, keras=s.read(s.tf.keras))),
    (586, lambda s: put(s.optimizer, lr=Schedule(call=s.trip()))),
    (587, lambda s: put(s.optimizer, lr=Schedule(call=float), iterations=s.read())),
    (589, lambda s: put(s.optimizer, lr=s.read(s.rate, nth=2))),
    (591, hook_fails("on_step_end")),
    (593, lambda s: s.get("current_lr")),
    (596, losses_are(lambda s: {"total-loss": s.odd("__format__")})),
    (597, losses_are(lambda s: Obj(get=s.trip()))),
    (598, lambda s: put(s.optimizer, lr=Obj(numpy=s.trip()))),
    (602, lambda s: setattr(s, "set_postfix", s.trip())),
    (603, losses_are(failing_store)),
    (604, lambda s: s.get("current_lr", nth=3)),
    (606, lambda s: put(s.logger, update_metrics=s.trip())),
    (608, lambda s: s.state(skip_validation_steps=s.odd("__rmod__"))),
    (609, bar_fails(3)),
    (617, hook_fails("on_evaluation_start", 2)),
    (618, method_fails("run_validation_step", 2, then=dict)),
    (623, hook_fails("on_evaluaiton_end", 2)),
    (624, method_fails("update_metrics", 2)),
    (627, lambda s: put(s.evaluator, save_plots_disk=s.trip(nth=2))),
    (628, lambda s: put(s.evaluator, current_plots=s.read(nth=2))),
    (631, lambda s: s.join_fails("results.txt", nth=2, on_open=True)),
    (632, lambda s: s.join_fails("results.txt", nth=2)),
    ((631, 635), lambda s: put(s.evaluator, current_summary=s.read("summary", nth=2))),
    (638, method_fails("save_model")),
    (639, hook_fails("on_model_save")),
    (642, lambda s: (dvclive(s), put(s.live, next_step=s.trip()))),
    (644, hook_fails("on_epoch_end")),
    (651, lambda s: (dvclive(s), s.mp.setattr(sys, "stdout", Obj(write=s.trip())))),
    (652, lambda s: (dvclive(s), put(s.live, end=s.trip()))),
    (654, hook_fails("on_train_end")),
]  # fmt: skip


@run_rows(TRAIN_ROWS)
def test_train(scene, lines, inject):
    s = scene
    s.rate = Obj(numpy=lambda: 0.001)
    s.optimizer, s.logger = Obj(lr=s.rate, iterations=7), Obj(update_metrics=lambda *a: None)
    s.handler = Obj(**{hook: lambda *args, **kwargs: None for hook in HOOKS})
    s.evaluator = Obj(
        call=lambda val_messenger, labels: None,
        save_plots_disk=lambda plots, path: None,
        current_plots=Obj(),
        current_summary="summary",
    )
    s.live = Obj(log_params=len, next_step=lambda: None, end=lambda: None)
    s.set_postfix = lambda values: None
    s.tqdm = Obj(call=lambda items, **kw: Bar(items=items, set_postfix=s.set_postfix))
    s.clock = Obj(time=lambda: 1.0)
    s.mp.setattr(detection, "tqdm", s.tqdm)
    s.mp.setattr(detection, "time", s.clock)
    s.T.train_step = Obj(call=lambda data: {"total-loss": 1.0})
    s.T.save_model = Obj(call=lambda val: None)
    s.T.run_validation_step = Obj(call=lambda loop, evaluator, epoch: {})
    s.T.update_metrics = Obj(call=lambda *args, **kwargs: None)
    s.state(checkpoint=str(s.tmp), dvclive_output=None, info={}, optimizer=s.optimizer)
    s.state(logger=s.logger, model=Obj(), val_messenger=Obj(), classes=["cat"])
    s.state(skip_initial_validation=False, skip_validation_steps=1)
    start = big()
    s.args.update(self=s.t, epochs=start + 0, train_ds=[tuple(["images", "boxes"])])
    s.args.update(val_ds=[Obj()], evaluator=s.evaluator, start=start, callback_handler=s.handler)
    inject(s)
    sweep(s, DetectionTrainer.train, "train", lines)
