"""Training runs for tests/test_distributed.py that need a process of their own.

``python tests/distributed_runs.py equivalence RESULT.json`` splits the CPU into two
logical devices (possible only before TensorFlow initialises its devices, hence a fresh
process) and trains the same network from the same weights on the same global batches
once with ``DetectionTrainer`` and once with ``DistributedDetectionTrainer`` over
``MirroredStrategy``, recording the losses shown (``on_step_end``) and published (the
logger), and the weights.

``python tests/distributed_runs.py worker RESULTS OUT`` is one worker of a
``MultiWorkerMirroredStrategy`` cluster (``TF_CONFIG`` set by the caller): it trains with
validation, checkpoints, TensorBoard, DVCLive and MLflow into OUT and writes its final
weights to RESULTS/weights-<task>.npz. ``stopping RESULTS OUT`` is one worker of a cluster
that stops early, and writes the epochs it started to RESULTS/stopping-<task>.json.
"""

import contextlib
import io
import json
import os
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402

EPOCHS = 2
BATCH = 4
LEARNING_RATE = 0.02
# Large enough that counting the L2 term once per replica would show in the weights.
L2 = 1e-2
SEED = 3


def tiny_detector(tf):
    """The demo's layout (three outputs, an 8 x 8 grid on 64 x 64 images) at a fraction of
    its size, with one batch normalisation layer that uses global batch statistics."""
    layers = tf.keras.layers
    regulariser = tf.keras.regularizers.L2(L2)
    inputs = tf.keras.Input((64, 64, 3))
    x = layers.Conv2D(12, 8, 8, use_bias=False, kernel_regularizer=regulariser)(inputs)
    x = layers.BatchNormalization(synchronized=True)(x)
    x = layers.LeakyReLU(0.1)(x)
    box = layers.Conv2D(5, 1, kernel_regularizer=regulariser)(x)
    classes = layers.Conv2D(3, 1, kernel_regularizer=regulariser)(x)
    detections = layers.Concatenate()(
        [layers.Activation("sigmoid")(box), layers.Softmax()(classes)]
    )
    return tf.keras.Model(inputs, [box, classes, detections])


def tiny_pyramid(tf):
    """A pyramid network on 64 x 64 images, narrow, with global batch statistics."""
    from corvane.tessmark.batchnorm import synchronized_copy
    from corvane.tessmark.pyramid import pyramid_detector

    inputs = tf.keras.Input((64, 64, 3))
    x = inputs
    for _ in range(5):  # to stride 32
        x = tf.keras.layers.Conv2D(8, 3, 2, padding="same", activation="relu")(x)
    network = pyramid_detector(tf.keras.Model(inputs, x), 3, 64, width=8)
    return synchronized_copy(network)


NETWORKS = {"grid": tiny_detector, "pyramid": tiny_pyramid}


def shapes_data(count, network="grid"):
    from corvane.demo import data
    from corvane.tessmark.grid import encode_targets
    from corvane.tessmark.pyramid_data import pad_boxes

    shapes = data.make_shapes(count, (SEED, count))
    if network == "pyramid":
        return shapes, np.stack([pad_boxes(b, 8) for b in shapes.boxes])
    grids = np.stack([encode_targets(b, 64, 8, 3) for b in shapes.boxes])
    return shapes, grids


def initial_weights(tf, network="grid"):
    tf.keras.utils.set_random_seed(SEED)
    return NETWORKS[network](tf).get_weights()


class MeanSquaredLoss:
    """A loss by the per-example-mean convention, without the ``global_sum`` keyword."""

    def __init__(self, tf):
        self.tf = tf

    def compute_loss(self, targets, predictions):
        tf = self.tf
        grid = tf.cast(targets[0], tf.float32)
        per_example = tf.reduce_sum(
            tf.square(tf.sigmoid(predictions[0]) - grid[..., :5]), axis=[1, 2, 3]
        )
        return {"total-loss": tf.reduce_mean(per_example)}


class CountingLoss:
    """Counts its Python calls: one per replica each time the step is traced."""

    def __init__(self, loss):
        self.loss, self.calls = loss, 0

    def compute_loss(self, targets, predictions, global_sum=None):
        self.calls += 1
        return self.loss.compute_loss(targets, predictions, global_sum=global_sum)


class Recording:
    """Logger and callback handler at once: the losses of every step as floats."""

    writer = None

    def __init__(self):
        self.shown, self.published = [], []

    @staticmethod
    def _floats(losses):
        skipped = ("step-time (seconds)", "learning-rate")
        return {k: float(v) for k, v in losses.items() if k not in skipped}

    def update_metrics(self, metrics, losses):
        self.published.append(self._floats(losses))

    def on_step_end(self, losses, lr):
        self.shown.append(self._floats(losses))

    def __getattr__(self, name):
        if name.startswith("on_"):
            return lambda *args, **kwargs: None
        raise AttributeError(name)


def train_once(tf, strategy, loss, weights, examples, folder, aid=None, network="grid"):
    """One training of ``network`` (a key of NETWORKS); ``aid`` adds mixed precision
    ("mixed"), the weights' moving average ("ema") or the optimizer's gradient clipping
    ("clipped")."""
    from corvane.tessmark.callbacks import CallbackList
    from corvane.tessmark.distributed import DistributedDetectionTrainer
    from corvane.tessmark.ema import ExponentialMovingAverage
    from corvane.tessmark.trainer.detection import DetectionTrainer

    shapes, targets = shapes_data(examples, network)
    dataset = tf.data.Dataset.from_tensor_slices((shapes.images, targets)).batch(BATCH)
    if aid == "mixed":
        tf.keras.mixed_precision.set_global_policy("mixed_float16")
    try:
        with strategy.scope() if strategy else contextlib.nullcontext():
            model = NETWORKS[network](tf)
            model.set_weights(weights)
            clipping = {"global_clipnorm": 0.05} if aid == "clipped" else {}
            optimizer = tf.keras.optimizers.SGD(LEARNING_RATE, momentum=0.5, **clipping)
            if aid == "mixed":
                optimizer = tf.keras.mixed_precision.LossScaleOptimizer(optimizer)
            optimizer.build(model.trainable_variables)
            average = ExponentialMovingAverage(model, decay=0.9) if aid == "ema" else None
    finally:
        tf.keras.mixed_precision.set_global_policy("float32")
    record = Recording()
    arguments = (model, dataset, optimizer, loss, record, folder)
    with contextlib.redirect_stdout(io.StringIO()):
        if strategy is None:
            trainer = DetectionTrainer(*arguments, classes=["x"])
        else:
            trainer = DistributedDetectionTrainer(*arguments, classes=["x"], strategy=strategy)
    handlers = CallbackList([record, average] if average else [record], trainer=trainer)
    trainer.train(EPOCHS, train_ds=dataset, callback_handler=handlers)
    result = {
        "shown": record.shown,
        "published": record.published,
        "weights": [w.tolist() for w in model.get_weights()],
    }
    if average:
        result["average"] = average.state.average.numpy().tolist()
    return result


def equivalence(result_path):
    import tempfile

    from corvane.tessmark.distributed import strategy_for_devices

    strategy = strategy_for_devices(2)
    import tensorflow as tf

    from corvane.tessmark.losses import TessmarkLoss

    weights = initial_weights(tf)
    results = {"initial": [w.tolist() for w in weights]}
    with tempfile.TemporaryDirectory() as folder:
        # 8 examples: equal batches of 4, two per replica; 11: a last batch of 3, split 2 + 1.
        for examples in (8, 11):
            for name, make_loss in (
                ("tessmark", TessmarkLoss),
                ("mean", lambda: MeanSquaredLoss(tf)),
            ):
                case = {}
                for side, chosen in (("single", None), ("mirrored", strategy)):
                    loss = CountingLoss(TessmarkLoss()) if name == "tessmark" else make_loss()
                    case[side] = train_once(
                        tf, chosen, loss, weights, examples, f"{folder}/{name}{examples}{side}"
                    )
                    if name == "tessmark":
                        case[side]["compute_loss_calls"] = loss.calls
                results[f"{name}-{examples}"] = case
        # Mixed precision, the moving average and gradient clipping, with TessmarkLoss and a
        # smaller last batch.
        for aid in ("mixed", "ema", "clipped"):
            results[f"{aid}-11"] = {
                side: train_once(
                    tf, chosen, TessmarkLoss(), weights, 11, f"{folder}/{aid}{side}", aid
                )
                for side, chosen in (("single", None), ("mirrored", strategy))
            }
        # The pyramid layout, its assignment and its loss, with the moving average.
        from corvane.tessmark.pyramid_loss import PyramidLoss

        pyramid_weights = initial_weights(tf, "pyramid")
        results["pyramid-11"] = {
            side: train_once(
                tf, chosen, PyramidLoss(64), pyramid_weights, 11, f"{folder}/pyr{side}", "ema",
                network="pyramid",
            )
            for side, chosen in (("single", None), ("mirrored", strategy))
        }  # fmt: skip
        results["pyramid-initial"] = [w.tolist() for w in pyramid_weights]
        # A last batch of one example leaves the second replica with nothing.
        try:
            train_once(tf, strategy, TessmarkLoss(), weights, 9, f"{folder}/small")
            results["small_batch_error"] = None
        except ValueError as error:
            results["small_batch_error"] = str(error)
    with open(result_path, "w") as f:
        json.dump(results, f)


WORKER_EXAMPLES = 10  # global batches of 4, 4 and 2: each of the two workers gets 2, 2, 1
VALIDATION_EXAMPLES = 4


class UnusedLogger:
    """Given to a worker that is not the chief, which must never use it."""

    def __getattr__(self, name):
        raise AssertionError(f"a worker other than the chief used its logger ({name})")


def worker_dataset(tf):
    shapes, grids = shapes_data(WORKER_EXAMPLES)
    dataset = tf.data.Dataset.from_tensor_slices((shapes.images, grids)).batch(BATCH)
    options = tf.data.Options()
    options.experimental_distribute.auto_shard_policy = tf.data.experimental.AutoShardPolicy.DATA
    return dataset.with_options(options)


def worker(results, out):
    import tensorflow as tf

    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    from corvane.demo import data
    from corvane.tessmark.callbacks import TensorBoard
    from corvane.tessmark.distributed import DistributedDetectionTrainer
    from corvane.tessmark.losses import TessmarkLoss
    from corvane.validator.evaluator import DetectionEvaluator

    weights = initial_weights(tf)
    with strategy.scope():
        model = tiny_detector(tf)
        model.set_weights(weights)
        optimizer = tf.keras.optimizers.SGD(LEARNING_RATE, momentum=0.5)
        optimizer.build(model.trainable_variables)
    chief = strategy.extended.should_checkpoint
    validation = data.validation_dataset(data.make_shapes(VALIDATION_EXAMPLES, (SEED, 99)))
    logger = TensorBoard(os.path.join(out, "tensorboard")) if chief else UnusedLogger()
    run = contextlib.nullcontext()
    if chief:
        import mlflow

        run = mlflow.start_run()
    with run:
        trainer = DistributedDetectionTrainer(
            model,
            None,
            optimizer,
            TessmarkLoss(),
            logger,
            os.path.join(out, "checkpoints"),
            info={"run": "multi-worker"},
            metric="map",
            classes=list(data.CLASSES),
            display=1,
            dvclive_output=os.path.join(out, "dvclive"),
            strategy=strategy,
        )
        trainer.train(
            EPOCHS,
            train_ds=worker_dataset(tf),
            val_ds=validation,
            evaluator=DetectionEvaluator(model),
        )
    if chief:
        logger.close()
    task = strategy.cluster_resolver.task_id
    # Reading batch normalisation's statistics is a collective: every worker does it.
    np.savez(os.path.join(results, f"weights-{task}.npz"), *model.get_weights())
    with open(os.path.join(results, f"worker-{task}.json"), "w") as f:
        json.dump({"chief": trainer.is_chief, "dvclive": "dvclive" in sys.modules}, f)


def stopping(results, out):
    """One worker of a cluster that stops early: every worker must stop after the chief's
    epoch, also when its own validation would say otherwise (here it always improves)."""
    import tensorflow as tf

    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    from corvane.demo import data
    from corvane.tessmark.callbacks import CallbackList, EarlyStopping, TessmarkTrainingCallback
    from corvane.tessmark.distributed import DistributedDetectionTrainer
    from corvane.tessmark.losses import TessmarkLoss
    from corvane.validator.evaluator import DetectionEvaluator

    with strategy.scope():
        model = tiny_detector(tf)
        optimizer = tf.keras.optimizers.SGD(LEARNING_RATE)
        optimizer.build(model.trainable_variables)
    chief = strategy.extended.should_checkpoint

    class Evaluator(DetectionEvaluator):
        def conclude(self, truth_values, epoch=0):
            metrics = super().conclude(truth_values, epoch)
            # The chief's metric never moves; another worker's rises by a whole 1 a pass.
            metrics["mAP"]["0.5"] = 0.0 if chief else float(epoch)
            return metrics

    class Epochs(TessmarkTrainingCallback):
        seen = []

        def on_epoch_start(self, epoch):
            self.seen.append(epoch)

    with contextlib.redirect_stdout(io.StringIO()):
        trainer = DistributedDetectionTrainer(
            model,
            None,
            optimizer,
            TessmarkLoss(),
            UnusedLogger() if not chief else Recording(),
            os.path.join(out, "checkpoints"),
            metric="map",
            classes=list(data.CLASSES),
            display=0,
            strategy=strategy,
        )
    stop = EarlyStopping(patience=1, min_delta=0.5)
    trainer.train(
        3,
        train_ds=worker_dataset(tf),
        val_ds=data.validation_dataset(data.make_shapes(2, (SEED, 98))),
        evaluator=Evaluator(model),
        callback_handler=CallbackList([Epochs(), stop], trainer=trainer),
    )
    task = strategy.cluster_resolver.task_id
    with open(os.path.join(results, f"stopping-{task}.json"), "w") as f:
        json.dump({"epochs": Epochs.seen, "stopped": stop.stopped_epoch}, f)
    trainer.close()


def single(results):
    """The reference: one process, no strategy, the workers' global batches."""
    import tempfile

    import tensorflow as tf

    from corvane.tessmark.losses import TessmarkLoss

    with tempfile.TemporaryDirectory() as folder:
        run = train_once(tf, None, TessmarkLoss(), initial_weights(tf), WORKER_EXAMPLES, folder)
    np.savez(os.path.join(results, "weights-single.npz"), *map(np.array, run["weights"]))


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    command, *arguments = sys.argv[1:]
    commands = {"equivalence": equivalence, "worker": worker, "stopping": stopping}
    commands["single"] = single
    commands[command](*arguments)
