"""One training step: against a hand-written GradientTape step, and operation by operation
against stand-ins for TensorFlow and the collaborators."""

import collections
import gc
import sys
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.trainer import detection
from corvane.tessmark.trainer.detection import DetectionTrainer

TRACE_NAME = "corvane.tessmark.trainer.detection.DetectionTrainer.train_step"
TRACE_FILE = "corvane\\tessmark\\trainer\\detection"


class GridLoss:
    """Squared errors of the three outputs against one target grid."""

    def __init__(self):
        self.received = []

    def compute_loss(self, targets, predictions):
        self.received.append((targets, predictions))
        grid = tf.cast(targets[0], tf.float32)
        boxes, scores, detections = predictions
        localization = tf.reduce_mean(tf.square(boxes - grid))
        classification = tf.reduce_mean(tf.square(scores - grid[..., :2]))
        objectness = tf.reduce_mean(tf.square(detections[..., 0] - grid[..., 0]))
        return {
            "total-loss": localization + classification + objectness,
            "localization-loss": localization,
            "classification-loss": classification,
            "objectness-loss": objectness,
        }


@pytest.fixture(scope="module")
def model():
    tf.keras.utils.set_random_seed(1)
    layers, l2 = tf.keras.layers, tf.keras.regularizers.L2(0.05)
    image = tf.keras.Input((32, 32, 3))
    x = layers.Conv2D(4, 3, strides=4, padding="same", kernel_regularizer=l2)(image)
    heads = [layers.Conv2D(c, 1, kernel_regularizer=l2)(x) for c in (5, 2, 3)]
    return tf.keras.Model(image, heads)


def make_trainer(model, folder, loss):
    logger = types.SimpleNamespace(writer=None)
    sgd = tf.keras.optimizers.SGD(0.1)
    return DetectionTrainer(model, None, sgd, loss, logger, checkpoint=str(folder), classes=["a"])


def batch(seed):
    rng = np.random.default_rng(seed)
    images = tf.constant(rng.integers(0, 256, (2, 32, 32, 3), dtype=np.uint8))
    return images, tf.constant(rng.random((2, 8, 8, 5), dtype=np.float32))


def test_preprocess_input_scales_to_unit_float():
    y = DetectionTrainer.__new__(DetectionTrainer).preprocess_input(tf.constant([0, 255], tf.uint8))
    assert y.dtype == tf.float32 and y.numpy().tolist() == [0.0, 1.0]


def test_one_call_is_one_optimizer_step_on_total_plus_l2_without_retracing(model, tmp_path):
    trainer = make_trainer(model, tmp_path, GridLoss())
    reference = tf.keras.models.clone_model(model)
    reference.set_weights(model.get_weights())
    optimizer = tf.keras.optimizers.SGD.from_config(trainer.optimizer.get_config())
    images, grid = batch(0)
    with tf.GradientTape() as tape:
        predictions = reference(tf.cast(images, tf.float32) / 255.0, training=True)
        expected = GridLoss().compute_loss((grid,), tuple(predictions))
        l2 = tf.reduce_sum(reference.losses)
        full_loss = expected["total-loss"] + l2
    grads = tape.gradient(full_loss, reference.trainable_variables)
    optimizer.apply_gradients(zip(grads, reference.trainable_variables, strict=True))
    # The L2 term must weigh enough for a step without it to fail the comparison.
    assert float(l2) > 1e-3 * float(expected["total-loss"])

    losses = trainer.train_step((images, grid))

    assert type(losses) is dict and set(losses) == set(expected) | {"L2-loss"}
    for key, value in expected.items():
        np.testing.assert_allclose(losses[key], value, rtol=1e-5)
    np.testing.assert_allclose(losses["L2-loss"], l2, rtol=1e-5)
    for got, want in zip(model.get_weights(), reference.get_weights(), strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-7)
    targets, predictions = trainer.loss.received[-1]
    assert type(targets) is tuple and type(predictions) is tuple and len(predictions) == 3

    traces = trainer.train_step.experimental_get_tracing_count()
    for seed in (1, 2):
        trainer.train_step(batch(seed))
    assert trainer.train_step.experimental_get_tracing_count() == traces


# --- stand-ins: every operation of the step logged, no tracing involved ---------


class Stage:
    """What the stand-ins return and which of their calls fail; one log for all."""

    def __init__(self):
        self.log, self.fail, self.suppress, self.grads = [], {}, False, None
        self.output, self.l2_terms = ["p0", "p1", "p2"], ["a", "b"]
        self.result = {"total-loss": "T", "L2-loss": "old", "extra": 1}

    def record(self, *event):
        self.log.append(event)
        if event[0] in self.fail:
            error = self.fail[event[0]]
            raise type(error)(*error.args)


class Tape:
    def __init__(self, stage):
        self.stage = stage

    def __getattribute__(self, name):
        if name in ("__enter__", "__exit__", "gradient"):
            object.__getattribute__(self, "stage").log.append(("lookup", name))
        return object.__getattribute__(self, name)

    def __enter__(self):
        self.stage.record("enter")
        return self

    def __exit__(self, *exc_info):
        self.stage.record("exit", exc_info)
        return self.stage.suppress

    def gradient(self, target, sources):
        self.stage.record("gradient", target, sources)
        return self.stage.grads or [f"d{v}" for v in sources]


class Net:
    trainable_variables = ["w", "v"]

    def __init__(self, stage):
        self.stage = stage

    @property
    def losses(self):
        return self.stage.l2_terms

    def __call__(self, x, **kwargs):
        self.stage.record("model", x, kwargs)
        return self.stage.output


@pytest.fixture
def stage(model, tmp_path, monkeypatch):
    stage = Stage()
    stage.trainer = trainer = make_trainer(model, tmp_path, None)
    trainer.model = Net(stage)
    trainer.loss = types.SimpleNamespace(
        compute_loss=lambda *args: stage.record("loss", *args) or stage.result
    )
    trainer.optimizer = types.SimpleNamespace(
        apply_gradients=lambda pairs: stage.record("apply", list(pairs))
    )
    # An instance attribute, found before the class's tf.function.
    trainer.preprocess_input = lambda x: ("pre", x)
    # Concatenated strings show which operand of the L2 addition comes first.
    fake_tf = types.SimpleNamespace(GradientTape=lambda: Tape(stage), reduce_sum="".join)
    monkeypatch.setattr(detection, "tf", fake_tf)
    return stage


def step(stage, data):
    return DetectionTrainer.train_step.python_function(stage.trainer, data)


def entries(tb):
    while tb:
        yield tb
        tb = tb.tb_next


def assert_reported_once(exc, line):
    ours = [tb for tb in entries(exc.__traceback__) if tb.tb_frame.f_code.co_name == TRACE_NAME]
    assert [(tb.tb_frame.f_code.co_filename, tb.tb_lineno) for tb in ours] == [(TRACE_FILE, line)]


def test_step_data_flow(stage):
    result = step(stage, ("img", "boxes", "mask"))
    assert result is stage.result and result == {"total-loss": "T", "L2-loss": "ab", "extra": 1}
    assert stage.log == [
        ("lookup", "__exit__"),
        ("lookup", "__enter__"),
        ("enter",),
        ("model", ("pre", "img"), {"training": True}),
        ("loss", ("boxes", "mask"), ("p0", "p1", "p2")),
        ("exit", (None, None, None)),
        ("lookup", "gradient"),
        ("gradient", "Tab", ["w", "v"]),
        ("apply", [("dw", "w"), ("dv", "v")]),
    ]


@pytest.mark.parametrize("data, empty", [(("img",), ()), (["img"], [])])
def test_single_element_batch_gives_empty_targets_of_its_type(stage, data, empty):
    step(stage, data)
    ((_, targets, _),) = [e for e in stage.log if e[0] == "loss"]
    assert type(targets) is type(empty) and targets == empty


@pytest.mark.parametrize("suppress", [False, True])
@pytest.mark.parametrize(
    "setup, kind, message, line, inside",
    [
        ({"fail": {"model": ValueError("forward")}}, ValueError, "forward", 190, True),
        ({"output": 5}, TypeError, "'int' object is not iterable", 194, True),
        ({"fail": {"loss": KeyError("targets")}}, KeyError, "targets", 192, True),
        ({"l2_terms": [1]}, TypeError, "expected str instance, int found", 196, True),
        ({"result": {}}, TypeError, "for +: 'NoneType' and 'str'", 197, True),
        ({"fail": {"exit": RuntimeError("exit")}}, RuntimeError, "exit", 189, False),
        ({"grads": 5}, TypeError, "'int' object is not iterable", 202, False),
        ({"fail": {"apply": ValueError("apply")}}, ValueError, "apply", 201, False),
        ({"result": types.MappingProxyType({"total-loss": "T"})}, TypeError, "item", 204, False),
    ],
)
def test_failures_and_the_tape_exit(stage, setup, kind, message, line, inside, suppress):
    vars(stage).update(setup, suppress=suppress)
    swallowed = inside and suppress
    with pytest.raises(UnboundLocalError if swallowed else kind) as caught:
        step(stage, ("img", "boxes"))
    exits = [e[1] for e in stage.log if e[0] == "exit"]
    if swallowed:
        assert str(caught.value) == "local variable 'full_loss' referenced before assignment"
        assert_reported_once(caught.value, 200)
        assert stage.log[-1] == ("lookup", "gradient")
        ((exc_type, exc, tb),) = exits
    else:
        assert message in str(caught.value)
        assert_reported_once(caught.value, line)
        if not inside:
            assert exits == [(None, None, None)]
            return
        ((exc_type, exc, tb),) = exits
        assert exc is caught.value and tb in list(entries(exc.__traceback__))
        assert ("lookup", "gradient") not in stage.log
    # __exit__ saw the exception with a traceback that already names the failing line.
    assert exc_type is kind and type(exc) is kind
    assert (tb.tb_frame.f_code.co_name, tb.tb_lineno) == (TRACE_NAME, line)


@pytest.mark.parametrize(
    "data, message, line",
    [
        (5, "'int' object is not subscriptable", 186),
        (collections.deque(["img", "boxes"]), "'collections.deque' object is unsliceable", 187),
    ],
)
def test_unusable_batch(stage, data, message, line):
    with pytest.raises(TypeError, match=f"^{message}$") as caught:
        step(stage, data)
    assert_reported_once(caught.value, line)
    assert stage.log == []


def test_reference_counts_unchanged(stage):
    images, boxes = object(), object()
    data = (images, boxes)
    watched = [data, images, boxes, stage.trainer, stage.result, stage.output]

    def run_all():
        for fail in ({}, {"model": ValueError()}, {"exit": RuntimeError()}, {"apply": OSError()}):
            stage.fail = fail
            try:
                step(stage, data)
            except Exception:
                pass
            stage.log.clear()
            stage.result.pop("L2-loss", None)

    run_all()  # first calls may create cached objects of their own
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    run_all()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_failing_exit_replaces_the_exception_and_keeps_it_as_context(stage):
    stage.fail = {"model": ValueError("forward"), "exit": RuntimeError("exit")}
    with pytest.raises(RuntimeError, match="exit") as caught:
        step(stage, ("img", "boxes"))
    assert type(caught.value.__context__) is ValueError
    assert str(caught.value.__context__) == "forward"


def test_a_loss_scale_optimizer_scales_inside_the_tape_and_unscales_before_applying(stage):
    def scaled(loss):
        stage.record("scale", loss)
        return "S" + loss

    def unscaled(grads):
        stage.record("unscale", grads)
        return [g + "/S" for g in grads]

    stage.trainer.optimizer.get_scaled_loss = scaled
    stage.trainer.optimizer.get_unscaled_gradients = unscaled
    result = step(stage, ("img", "boxes"))
    assert result["total-loss"] == "T" and result["L2-loss"] == "ab"  # unscaled, as before
    assert stage.log[4:] == [
        ("loss", ("boxes",), ("p0", "p1", "p2")),
        ("scale", "Tab"),
        ("exit", (None, None, None)),
        ("lookup", "gradient"),
        ("gradient", "STab", ["w", "v"]),
        ("unscale", ["dw", "dv"]),
        ("apply", [("dw/S", "w"), ("dv/S", "v")]),
    ]

    for failing, line in (("scale", 198), ("unscale", 200)):
        stage.log.clear()
        stage.fail = {failing: OverflowError(failing)}
        with pytest.raises(OverflowError, match=failing) as caught:
            step(stage, ("img", "boxes"))
        assert_reported_once(caught.value, line)
        assert not [e for e in stage.log if e[0] == "apply"]
