"""What the field's trainers add to the loop, as handlers and schedules: the weights' moving
average (validated and saved, training going on from the weights themselves), the linear
warmup, the guard against a diverging loss, and the optimizer's gradient clipping."""

import os

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.backup import TrainingBackup
from corvane.tessmark.callbacks import (
    CallbackList,
    DivergenceGuard,
    TessmarkTrainingCallback,
    TrainingDiverged,
)
from corvane.tessmark.data import training_elements, validation_samples
from corvane.tessmark.ema import ExponentialMovingAverage
from corvane.tessmark.grid import detection_head
from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.schedules import LinearWarmup
from corvane.tessmark.trainer.detection import DetectionTrainer

CLASSES = ["a", "b"]


def network():
    tf.keras.utils.set_random_seed(5)
    layers = tf.keras.layers
    image = tf.keras.Input((32, 32, 3))
    x = layers.Conv2D(8, 3, 4, padding="same", use_bias=False)(image)
    x = layers.BatchNormalization(momentum=0.5)(x)
    x = layers.Conv2D(8, 3, 2, padding="same", activation="relu")(x)
    return tf.keras.Model(image, detection_head(x, len(CLASSES)))


def pictures(count, seed):
    rng = np.random.default_rng(seed)
    images = rng.integers(0, 255, (count, 32, 32, 3)).astype(np.uint8)
    boxes = [np.array([[4, 4, 20, 28, i % 2]], np.float32) for i in range(count)]
    return images, boxes


class Logger:
    writer = None

    def update_metrics(self, metrics, losses):
        pass


def flat(variables):
    return np.concatenate([np.reshape(v.numpy(), -1) for v in variables])


def make_trainer(folder, model, optimizer=None, **options):
    return DetectionTrainer(
        model,
        None,
        optimizer or tf.keras.optimizers.SGD(0.05),
        TessmarkLoss(),
        Logger(),
        str(folder),
        metric="map",
        classes=CLASSES,
        display=0,
        **options,
    )


class TestMovingAverage:
    def test_validation_and_both_checkpoints_see_the_average_and_training_the_weights(
        self, tmp_path, capsys
    ):
        from corvane.validator.evaluator import DetectionEvaluator

        model = network()
        images, boxes = pictures(8, 1)
        train_ds = training_elements(images, boxes, len(CLASSES), stride=8).batch(4)
        val_ds = validation_samples(*pictures(2, 2)[:2], ["v0.png", "v1.png"])
        trainer = make_trainer(tmp_path, model, skip_validation_steps=2)
        variables = [v for v in model.variables if v.dtype.is_floating]
        ema = ExponentialMovingAverage(model, decay=0.8)
        expected, seen = flat(variables), {"raw": [], "validated": [], "epoch": []}

        class Watch(TessmarkTrainingCallback):
            def on_step_end(self, losses, lr):
                nonlocal expected
                n = int(ema.state.updates.numpy())
                decay = min(0.8, (1 + n) / (10 + n))
                expected = expected - (1 - decay) * (expected - flat(variables))
                seen["raw"].append(flat(variables))

            def on_evaluation_start(self):
                seen["validated"].append((flat(variables), expected.copy()))

            def on_epoch_start(self, epoch):
                seen["epoch"].append(flat(variables))

        trainer.train(
            3,
            train_ds=train_ds,
            val_ds=val_ds,
            evaluator=DetectionEvaluator(model),
            callback_handler=CallbackList([ema, Watch()], trainer=trainer),
        )
        # The average of the weights after every step, the first weights weighing little.
        np.testing.assert_allclose(ema.state.average.numpy(), expected, rtol=1e-5, atol=1e-6)
        assert int(ema.state.updates.numpy()) == 6
        # Each pass (epoch 0 and 2) measured the average; each epoch trained on from the
        # weights themselves; the network ends with its own weights.
        assert len(seen["validated"]) == 2
        for measured, average in seen["validated"]:
            np.testing.assert_allclose(measured, average, rtol=1e-5, atol=1e-6)
        np.testing.assert_array_equal(seen["epoch"][1], seen["raw"][1])
        np.testing.assert_array_equal(seen["epoch"][2], seen["raw"][3])
        np.testing.assert_array_equal(flat(variables), seen["raw"][-1])

        # last.h5 holds the average after epoch 3, which had no validation pass; best.h5
        # the average the pass after epoch 2 measured.
        def by_name(values):
            cuts = np.cumsum([v.shape.num_elements() for v in variables])[:-1]
            return dict(zip([v.name for v in variables], np.split(values, cuts)))

        for path, average in (
            (trainer.last, ema.state.average.numpy()),
            (trainer.best, seen["validated"][1][1]),
        ):
            saved = tf.keras.models.load_model(path, compile=False)
            in_file = {w.name: w.numpy().reshape(-1) for w in saved.weights}
            expected_values = by_name(average)
            assert in_file.keys() == expected_values.keys()
            for name, values in in_file.items():
                np.testing.assert_allclose(values, expected_values[name], rtol=1e-5, atol=1e-6)

    def test_a_failed_pass_leaves_the_average_in_until_the_next_train(self, tmp_path, capsys):
        model = network()
        variables = [v for v in model.variables if v.dtype.is_floating]
        ema = ExponentialMovingAverage(model, decay=0.5)
        ema.set_trainer(make_trainer(tmp_path, model))
        own = flat(variables)
        for v in variables:
            v.assign(v + 1.0)
        ema.on_step_end(losses={}, lr=None)
        ema.on_evaluation_start()  # the pass fails here: the average stays in
        assert not np.allclose(flat(variables), own + 1.0)
        ema.on_train_start(epochs=1)
        np.testing.assert_array_equal(flat(variables), own + 1.0)


class TestWarmup:
    def test_rises_in_a_line_into_the_schedule_after_it(self):
        after = tf.keras.optimizers.schedules.CosineDecay(0.1, decay_steps=100)
        warmup = LinearWarmup(10, after, initial=0.01)
        values = [float(warmup(step)) for step in (0, 5, 10, 50)]
        assert values == pytest.approx([0.01, 0.01 + 0.5 * (float(after(10)) - 0.01),
                                        float(after(10)), float(after(50))])  # fmt: skip
        assert [float(LinearWarmup(4, 0.2)(s)) for s in (0, 2, 9)] == pytest.approx([0, 0.1, 0.2])
        with pytest.raises(ValueError, match="warmup_steps"):
            LinearWarmup(0, 0.1)

    @pytest.mark.parametrize("family", ["keras", "legacy"])
    def test_the_trainer_shows_its_rate_and_the_optimizer_config_carries_it(
        self, family, tmp_path, capsys
    ):
        warmup = LinearWarmup(4, 0.2)
        optimizers = tf.keras.optimizers if family == "keras" else tf.keras.optimizers.legacy
        optimizer = optimizers.SGD(warmup)
        again = type(optimizer).from_config(optimizer.get_config())
        config = again.get_config()["learning_rate"]
        schedule = tf.keras.optimizers.schedules.deserialize(config)
        assert isinstance(schedule, LinearWarmup) and schedule.get_config() == warmup.get_config()

        model = network()
        trainer = make_trainer(tmp_path, model, optimizer)
        shown = []

        class Rates(TessmarkTrainingCallback):
            def on_step_end(self, losses, lr):
                shown.append(float(np.asarray(lr)))

        images, boxes = pictures(6, 3)
        batches = training_elements(images, boxes, len(CLASSES), stride=8).batch(2)
        trainer.train(1, train_ds=batches, callback_handler=Rates())
        # As the trainer reads each family's rate: Keras's optimizers keep the rate the
        # step used; a legacy optimizer's schedule is read at its count after the step.
        counts = [0, 1, 2] if family == "keras" else [1, 2, 3]
        assert shown == pytest.approx([float(warmup(n)) for n in counts])
        assert shown[-1] > 0


class TestDivergenceGuard:
    def test_a_nan_loss_stops_before_anything_of_its_epoch_is_written(self, tmp_path, capsys):
        from corvane.validator.evaluator import DetectionEvaluator

        model = network()
        images, boxes = pictures(4, 4)
        good = list(training_elements(images, boxes, len(CLASSES), stride=8).batch(2))
        poisoned = (good[1][0], good[1][1] * np.nan)

        class Epochs:
            """Epoch 2's second batch has NaN targets."""

            def __init__(self):
                self.epoch = 0

            def __iter__(self):
                self.epoch += 1
                return iter([good[0], poisoned if self.epoch == 2 else good[1]])

        trainer = make_trainer(tmp_path / "run", model)
        backup = TrainingBackup(trainer, tmp_path / "run" / "backup")
        backup.restore()
        snapshot = {}

        class Snapshot(TessmarkTrainingCallback):
            def on_epoch_start(self, epoch):
                if epoch == 2:
                    snapshot.update(files(tmp_path / "run"))

        with pytest.raises(TrainingDiverged) as caught:
            trainer.train(
                3,
                train_ds=Epochs(),
                val_ds=validation_samples(*pictures(1, 5)[:2], ["v.png"]),
                evaluator=DetectionEvaluator(model),
                callback_handler=CallbackList([DivergenceGuard(), Snapshot(), backup]),
            )
        assert (caught.value.epoch, caught.value.step) == (2, 1)
        assert np.isnan(caught.value.value)
        assert str(caught.value).startswith(
            'The training diverged: "total-loss" is nan at epoch 2, step 1.'
        )
        assert files(tmp_path / "run") == snapshot and "last.h5" in snapshot
        assert TrainingBackup.latest(tmp_path / "run" / "backup").epoch == 1

    def test_finite_losses_and_values_that_are_not_numbers_pass(self):
        guard = DivergenceGuard()
        for value in (tf.constant(1.5), 2.0, np.float32(0.0), None, "text"):
            guard.on_step_end(losses={"total-loss": value}, lr=0.1)
        with pytest.raises(TrainingDiverged, match="is inf at epoch 0, step 0"):
            guard.on_step_end(losses={"total-loss": tf.constant(np.inf)}, lr=0.1)


def test_a_step_skipped_for_overflowing_scaled_gradients_is_not_a_divergence(tmp_path, capsys):
    tf.keras.mixed_precision.set_global_policy("mixed_float16")
    try:
        model = network()
    finally:
        tf.keras.mixed_precision.set_global_policy("float32")

    class Steep(TessmarkLoss):
        """A finite loss whose float16 gradients overflow once scaled."""

        def compute_loss(self, targets, predictions):
            losses = super().compute_loss(targets, predictions)
            losses["total-loss"] = losses["total-loss"] * 1e6
            return losses

    optimizer = tf.keras.mixed_precision.LossScaleOptimizer(tf.keras.optimizers.SGD(0.01))
    trainer = DetectionTrainer(model, None, optimizer, Steep(), Logger(), str(tmp_path),
                               classes=CLASSES)  # fmt: skip
    weights = [v.numpy() for v in model.trainable_variables]
    images, boxes = pictures(2, 7)
    batches = training_elements(images, boxes, len(CLASSES), stride=8).batch(2)
    trainer.train(1, train_ds=batches, callback_handler=DivergenceGuard())
    assert float(optimizer.loss_scale) < 2.0**15  # the step was skipped, the scale lowered
    assert all(np.array_equal(v.numpy(), w) for v, w in zip(model.trainable_variables, weights))


def files(folder):
    return {
        os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
        for d, _, names in os.walk(folder)
        for f in names
    }


@pytest.mark.parametrize("clipping", [{"clipnorm": 0.01}, {"global_clipnorm": 0.01}])
@pytest.mark.parametrize("family", ["keras", "legacy"])
def test_the_optimizers_gradient_clipping_is_honoured(family, clipping, tmp_path, capsys):
    optimizers = tf.keras.optimizers if family == "keras" else tf.keras.optimizers.legacy
    model, reference = network(), network()
    trainer = make_trainer(tmp_path, model, optimizers.SGD(1.0, **clipping))
    images, boxes = pictures(2, 6)
    batch = next(iter(training_elements(images, boxes, len(CLASSES), stride=8).batch(2)))
    trainer.train_step(batch)

    with tf.GradientTape() as tape:
        predictions = reference(tf.cast(batch[0], tf.float32) / 255.0, training=True)
        loss = TessmarkLoss().compute_loss(batch[1:], tuple(predictions))["total-loss"]
    grads = tape.gradient(loss, reference.trainable_variables)
    if "clipnorm" in clipping:
        grads = [tf.clip_by_norm(g, 0.01) for g in grads]
    else:
        grads, _ = tf.clip_by_global_norm(grads, 0.01)
    for mine, variable, grad in zip(
        model.trainable_variables, reference.trainable_variables, grads
    ):
        np.testing.assert_allclose(mine.numpy(), (variable - grad).numpy(), rtol=1e-5, atol=1e-6)
