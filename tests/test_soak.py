"""Soak: a long run of succeeding and failing calls leaks neither references nor objects."""

import contextlib
import gc
import os
import sys
import types

import numpy as np

import corvane.tessmark.trainer.detection as detection

STEPS, EPOCHS, SAMPLES, FAILURES = 10_000, 10, 1_000, 1_000
HOOKS = (
    "on_train_start",
    "on_epoch_start",
    "on_step_start",
    "on_step_end",
    "on_model_save",
    "on_epoch_end",
    "on_train_end",
)
THRESHOLDS = {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3}
METRICS = {
    "OP": 0.5,
    "OR": 0.5,
    "OA": 0.5,
    "mAP": THRESHOLDS,
    "mAR": THRESHOLDS,
    "mACC": THRESHOLDS,
}


class Bar:
    """tqdm without the drawing."""

    def __init__(self, iterable, **kwargs):
        self.iterable = iterable

    def __iter__(self):
        return iter(self.iterable)

    def set_postfix(self, **kwargs):
        pass


class Tensor:
    def __init__(self, value):
        self.value = value

    def numpy(self):
        return self.value


class Evaluator:
    runner = types.SimpleNamespace(run_single_instance=lambda image: ((), (), ()))

    def single_evaluation(self, instances, epoch, add_image):
        return None

    def conclude(self, truth_values, epoch):
        return METRICS


def logger(update_metrics=lambda metrics, losses: None):
    return types.SimpleNamespace(writer=None, update_metrics=update_metrics)


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    # A new exception each time: re-raising one instance would grow its traceback.
    raise Boom("injected")


class Handler:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


class Trivial(detection.DetectionTrainer):
    def train_step(self, data):
        return {"total-loss": 0.5}

    def save_model(self, val):
        pass


class Network:
    """Stands in for a Keras model and for what the fake `tf` makes of it."""

    fail_on = "last"  # which checkpoint's save raises
    write_first = False  # whether the failing save leaves a partial file behind

    def __init__(self, input=None, outputs=None):
        self.input = input or types.SimpleNamespace(shape=(None, 8, 8, 3))
        self.outputs = outputs if isinstance(outputs, list) else [outputs] * 3

    def __call__(self, x):
        return x

    def save(self, path):
        failing = os.path.basename(path).startswith(f".{Network.fail_on}.")
        if Network.write_first or not failing:
            with open(path, "wb") as f:
                f.write(b"h5")
        if failing:
            raise OSError("disk full")


def fake_tf():
    keras = types.SimpleNamespace(
        Input=lambda shape: ("input", shape),
        models=types.SimpleNamespace(Model=Network),
        optimizers=types.SimpleNamespace(
            schedules=types.SimpleNamespace(LearningRateSchedule=type("Schedule", (), {}))
        ),
    )
    return types.SimpleNamespace(keras=keras, transpose=lambda x, perm: x, Tensor=type("T", (), {}))


class Val:
    """A checkpoint value that is not a float, so binding has to convert it."""

    def __float__(self):
        return 1.0


class EverySecondSample(Evaluator):
    calls = 0

    def single_evaluation(self, instances, epoch, add_image):
        self.calls += 1
        if self.calls % 2 == 0:
            boom()


def failing_evaluators():
    """Evaluators that fail at different points of a pass, with what each raises."""
    runner_fails = Evaluator()
    runner_fails.runner = types.SimpleNamespace(run_single_instance=boom)
    short_result = Evaluator()
    short_result.runner = types.SimpleNamespace(run_single_instance=lambda image: ((), ()))
    conclude_fails = Evaluator()
    conclude_fails.conclude = boom
    no_metric = Evaluator()
    no_metric.conclude = lambda truth_values, epoch: {"mACC": None}
    return [
        (runner_fails, Boom),
        (short_result, ValueError),
        (conclude_fails, Boom),
        (no_metric, AttributeError),
        (EverySecondSample(), Boom),
    ]


def workload(trainer, saver, publisher, objs):
    """One round: the steps and samples that succeed, then every kind of failing call."""
    raised = {}

    def fails(kind, exc, fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc:
            raised[kind] = raised.get(kind, 0) + 1

    trainer.train(EPOCHS, train_ds=objs.batches, callback_handler=objs.handler)
    trainer.run_validation_step(objs.samples, objs.evaluator, objs.epoch)

    DT = detection.DetectionTrainer
    binding = [
        (DT.save_model, saver, "x"),
        (DT.train_step, trainer),
        (DT, objs.network),
        (trainer.update_metrics, [], objs.losses),
        (trainer.update_metrics, objs.metrics, objs.losses, objs.epoch, None, 5),
        (trainer.run_validation_step, objs.samples, objs.evaluator),
        (trainer.to_nchw, objs.network, objs.network),
    ]
    for i in range(FAILURES):
        fails("binding", TypeError, *binding[i % len(binding)])
        if i % 2:
            fails("binding", TypeError, trainer.train, 1, epochs=1)
        else:
            fails("binding", TypeError, trainer.train, 1, bogus=objs.batches)
        handler = objs.hooks[i % len(objs.hooks)]
        fails("hook", Boom, trainer.train, 2, train_ds=objs.few, callback_handler=handler)
        evaluator, exc = objs.failing[i % len(objs.failing)]
        fails("evaluator", exc, trainer.run_validation_step, objs.few_samples, evaluator, 1)
        fails("logger", Boom, publisher.update_metrics, objs.metrics, objs.losses, objs.epoch)
        saver.NCHW = i % 2 == 0
        Network.fail_on = "best" if i % 3 == 0 else "last"
        Network.write_first = i % 4 < 2
        fails("save", OSError, saver.save_model, objs.val)
    return raised


def live_counts():
    gc.collect()
    counts = {}  # str keys and int values only, so the dict itself stays untracked
    for obj in gc.get_objects():
        t = type(obj)
        key = f"{t.__module__}.{t.__qualname__}"
        counts[key] = counts.get(key, 0) + 1
    return counts


def grown(before, after):
    return {k: n - before.get(k, 0) for k, n in after.items() if n > before.get(k, 0)}


def test_long_run_of_succeeding_and_failing_calls_leaks_nothing(tmp_path, monkeypatch):
    monkeypatch.setattr(detection, "tqdm", Bar)
    monkeypatch.setattr(detection, "tf", fake_tf())
    rate = types.SimpleNamespace(numpy=lambda: 0.001)
    optimizer = types.SimpleNamespace(lr=rate, iterations=0)
    make = dict(optimizer=optimizer, loss=None, classes=["a", "b"], display=1)
    with contextlib.redirect_stdout(open(os.devnull, "w")) as devnull, devnull:
        trainer = Trivial(None, None, logger=logger(), checkpoint=str(tmp_path / "t"), **make)
        network = Network()
        saver = detection.DetectionTrainer(
            network, None, logger=logger(), checkpoint=str(tmp_path / "s"), **make
        )
        saver.best_value = 0.5
        failing_logger = logger(boom)
        publisher = Trivial(None, None, logger=failing_logger, checkpoint=str(tmp_path), **make)
        hooks = [Handler() for _ in HOOKS]
        for handler, hook in zip(hooks, HOOKS):
            setattr(handler, hook, boom)
        sample = (
            Tensor(np.zeros((1, 8, 8, 3))),
            Tensor(np.array([[[1.0, 1.0, 4.0, 4.0, 1.0]]])),
            Tensor(np.array([b"a.png"])),
        )
        objs = types.SimpleNamespace(
            batches=[(object(), object())] * (STEPS // EPOCHS),
            few=[(object(), object())] * 3,
            handler=Handler(),
            hooks=hooks,
            sample=sample,
            samples=[sample] * SAMPLES,
            few_samples=[sample] * 3,
            evaluator=Evaluator(),
            failing=failing_evaluators(),
            epoch=object(),
            metrics=dict(METRICS),
            losses={"total-loss": 0.5},
            network=network,
            val=Val(),
        )
        sentinels = [o for o in vars(objs).values() if not isinstance(o, list)]
        sentinels += (
            objs.hooks
            + [e for e, _ in objs.failing]
            + [objs.batches, objs.samples, objs.batches[0]]
        )
        sentinels += [trainer, saver, publisher, failing_logger]
        refs = [sys.getrefcount(o) for o in sentinels]

        expected = dict.fromkeys(["hook", "evaluator", "logger", "save"], FAILURES)
        expected["binding"] = 2 * FAILURES
        assert workload(trainer, saver, publisher, objs) == expected  # warm-up
        first = live_counts()
        assert workload(trainer, saver, publisher, objs) == expected
        second = live_counts()
        blocks = sys.getallocatedblocks()
        assert workload(trainer, saver, publisher, objs) == expected
        gc.collect()
        blocks = sys.getallocatedblocks() - blocks
        third = live_counts()
        assert workload(trainer, saver, publisher, objs) == expected
        fourth = live_counts()

    assert [sys.getrefcount(o) for o in sentinels] == refs
    # A leak grows with every round. Another thread of the process (such as tqdm's monitor,
    # left by earlier tests) can hold an object or two while one count runs; that does not
    # repeat.
    leaked = {k: n for k, n in grown(second, third).items() if k in grown(third, fourth)}
    assert leaked == {}, f"rounds: {grown(first, second)}, {grown(second, third)}"
    assert saver.best_value == 0.5
    assert sorted(os.listdir(tmp_path / "s")) == ["config.json", "labels.txt", "last.h5"]
    # gc.get_objects() does not see floats or strings: a leak of one per call shows here.
    assert blocks < FAILURES // 10
