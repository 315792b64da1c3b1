"""Training through tf.distribute: steps/s of the demo network on 1 and 2 logical CPU devices,
and what the distributed layer itself costs per step against the single-device trainer.

Splitting the CPU into logical devices must happen before TensorFlow initialises its
devices, so this runs in a process of its own: ``python bench/distributed.py [--quick]``
prints its rows, ``--json`` prints them for ``bench/run.py``.

* steps/s: the demo network (default widths, the demo's 64 x 64 shapes, global batches of
  32, Adam, ``TessmarkLoss``, the demo's TensorBoard logger), ``train`` with validation off,
  after an untimed epoch that traces. Sides: ``DetectionTrainer`` with the demo's own
  network, ``DetectionTrainer`` with the network as the distributed demo builds it
  (synchronized batch normalisation), ``DistributedDetectionTrainer`` on one replica and on
  two. Alternating runs, median.
* own cost per step: ``train_step`` alone over prepared batches, for a tiny network (so
  that TensorFlow's work is small) and the demo network, both with synchronized batch
  normalisation: ``DetectionTrainer`` against the distributed trainer on TensorFlow's
  default strategy (the layer's own graph and Python, no replicas), on a one-device
  ``MirroredStrategy`` and on two logical devices. The sides alternate round by round.
"""

import argparse
import contextlib
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

from corvane.tessmark.distributed import (  # noqa: E402
    DistributedDetectionTrainer,
    strategy_for_devices,
)

TWO = strategy_for_devices(2)  # before anything else initialises TensorFlow's devices

import tensorflow as tf  # noqa: E402

from bench.scale import sized  # noqa: E402
from corvane.demo import data  # noqa: E402
from corvane.demo.model import build_detector  # noqa: E402
from corvane.tessmark.callbacks import TensorBoard, TessmarkTrainingCallback  # noqa: E402
from corvane.tessmark.grid import encode_targets  # noqa: E402
from corvane.tessmark.losses import TessmarkLoss  # noqa: E402
from corvane.tessmark.trainer.detection import DetectionTrainer  # noqa: E402

ONE = tf.distribute.MirroredStrategy(["/cpu:0"])
DEFAULT = tf.distribute.get_strategy()


class Silent:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def make(strategy, folder, build, weights, synchronized):
    with strategy.scope() if strategy else contextlib.nullcontext():
        model = build(synchronized)
        model.set_weights(weights)
        optimizer = tf.keras.optimizers.Adam(1e-3)
        optimizer.build(model.trainable_variables)
    arguments = (model, None, optimizer, TessmarkLoss(), TensorBoard(f"{folder}/tb"), folder)
    with contextlib.redirect_stdout(Silent()):
        if strategy is None:
            return DetectionTrainer(*arguments, classes=list(data.CLASSES))
        return DistributedDetectionTrainer(
            *arguments, classes=list(data.CLASSES), strategy=strategy
        )


SIDES = {
    "DetectionTrainer, demo network": (None, False),
    "DetectionTrainer, synchronized BN": (None, True),
    "Distributed, 1 replica": (ONE, True),
    "Distributed, 2 logical devices": (TWO, True),
}


def steps_per_second(folder, quick):
    images, epochs, repeats = sized(quick, (512, 2, 5), (256, 1, 1), (64, 1, 1))
    shapes = data.make_shapes(images, (data.DATA_SEED, data.TRAIN_SPLIT))
    train_ds = data.training_dataset(shapes, 32, seed=0)
    steps = epochs * len(train_ds)
    tf.keras.utils.set_random_seed(0)
    weights = {sync: build_detector(synchronized=sync).get_weights() for sync in (False, True)}
    times = {name: [] for name in SIDES}
    for r in range(repeats):
        for name, (strategy, sync) in SIDES.items():
            trainer = make(
                strategy,
                f"{folder}/{r}-{len(times[name])}-{name[:4]}",
                lambda s: build_detector(synchronized=s),
                weights[sync],
                sync,
            )
            handler = TessmarkTrainingCallback()
            with contextlib.redirect_stderr(Silent()), contextlib.redirect_stdout(Silent()):
                trainer.train(1, train_ds=train_ds, callback_handler=handler)  # traces
                start = time.perf_counter()
                trainer.train(epochs + 1, train_ds=train_ds, start=2, callback_handler=handler)
                times[name].append(time.perf_counter() - start)
            trainer.logger.close()
    base = steps / statistics.median(times["DetectionTrainer, synchronized BN"])
    rows = []
    for name, measured in times.items():
        rate = steps / statistics.median(measured)
        rows.append(
            (
                f"steps/s, demo network, {name}",
                f"{rate:.2f} (best {steps / min(measured):.2f})",
                "",
                f"{rate / base:.2f}",
                f"{repeats} alternating runs of {steps} steps; ratio to synchronized BN",
            )
        )
    return rows


def tiny(synchronized):
    layers = tf.keras.layers
    inputs = tf.keras.Input((64, 64, 3))
    x = layers.Conv2D(8, 8, 8, use_bias=False)(inputs)
    x = layers.BatchNormalization(synchronized=synchronized)(x)
    box, classes = layers.Conv2D(5, 1)(x), layers.Conv2D(3, 1)(x)
    return tf.keras.Model(inputs, [box, classes, layers.Concatenate()([box, classes])])


def own_cost(folder, quick):
    """CPU time per ``train_step`` over prepared batches (all of the process's threads: the
    work a step costs, which other processes on the machine disturb less than the wall
    clock), the sides alternating round by round."""
    rows = []
    networks = (
        ("tiny network", tiny, 8, sized(quick, (1000, 7), (300, 3), (10, 1))),
        (
            "demo network",
            lambda s: build_detector(synchronized=s),
            32,
            sized(quick, (12, 9), (6, 3), (2, 1)),
        ),
    )
    for label, build, batch, (steps, repeats) in networks:
        shapes = data.make_shapes(4 * batch, (data.DATA_SEED, data.TRAIN_SPLIT))
        grids = [encode_targets(b, 64, 8, 3) for b in shapes.boxes]
        dataset = tf.data.Dataset.from_tensor_slices((shapes.images, grids)).batch(batch)
        tf.keras.utils.set_random_seed(0)
        weights = build(True).get_weights()
        sides = {}
        for name, strategy in (("plain", None), ("default", DEFAULT), ("one", ONE), ("two", TWO)):
            trainer = make(strategy, f"{folder}/{label[:4]}-{name}", build, weights, True)
            source = (
                dataset if strategy is None else strategy.experimental_distribute_dataset(dataset)
            )
            sides[name] = (trainer, list(source))
        cpu = {name: [] for name in sides}
        wall = {name: [] for name in sides}
        for _ in range(repeats + 1):  # the first round traces and is dropped
            for name, (trainer, batches) in sides.items():
                start, start_cpu = time.perf_counter(), time.process_time()
                for i in range(steps):
                    losses = trainer.train_step(batches[i % len(batches)])
                float(losses["total-loss"])
                cpu[name].append((time.process_time() - start_cpu) / steps)
                wall[name].append((time.perf_counter() - start) / steps)
        median = {name: statistics.median(values[1:]) for name, values in cpu.items()}
        spread = {name: max(values[1:]) - min(values[1:]) for name, values in cpu.items()}
        on_clock = {name: statistics.median(values[1:]) for name, values in wall.items()}
        plain = median["plain"]
        for name, what in (
            ("default", "the layer alone (default strategy)"),
            ("one", "the layer on MirroredStrategy, 1 replica"),
            ("two", "the layer on MirroredStrategy, 2 logical devices"),
        ):
            rows.append(
                (
                    f"train_step CPU time, {label}, {what}",
                    f"{median[name] * 1e3:.2f} ms (spread {spread[name] * 1e3:.2f})",
                    f"{plain * 1e3:.2f} ms (spread {spread['plain'] * 1e3:.2f}), DetectionTrainer",
                    f"{median[name] / plain:.2f}",
                    f"{median[name] * 1e3 - plain * 1e3:+.2f} ms per step; wall clock "
                    f"{on_clock[name] * 1e3:.2f} against {on_clock['plain'] * 1e3:.2f} ms; "
                    f"{repeats} rounds of {steps} steps, median",
                )
            )
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        rows = own_cost(folder, args.quick) + steps_per_second(folder, args.quick)
    if args.json:
        print(json.dumps(rows))
    else:
        for row in rows:
            print(" | ".join(row))


if __name__ == "__main__":
    main()
