"""Steps per second on a GPU: ``train`` against Keras ``fit`` and a bare step loop, float32
and mixed precision, for the demo network, a MobileNetV2 grid detector and the pyramid
detector (its own small backbone, at 320 and 640 pixels); and what the per-step host reads
(the bar's loss, the learning-rate readout) cost.

    .venv/bin/python bench/gpu.py [--quick] [--networks demo mobilenet] [--json]

One process, under 5 minutes on one GPU. Each case trains one network from the same
weights on the same synthetic batches, held on the device: ``train`` (the compiled loop,
no evaluator, its bars drawn into a sink), Keras ``fit`` on a model whose step is the
trainer's (through ``optimizer.minimize``, which scales the loss for mixed precision as
``fit`` does), and a bare loop of the trainer's ``train_step``. Every side runs one
untimed epoch first (tracing). The host-read share compares the bare loop with the same
loop reading the loss and the rate to the host after every step, as the bar does.

Mixed precision is ``mixed_float16`` with a ``LossScaleOptimizer`` on a GPU and
``mixed_bfloat16`` on a CPU. ``--quick`` (for a CPU, and the test suite) uses few steps, and
MobileNetV2 at 96 x 96 instead of 320 x 320, the pyramid at 64 x 64.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from corvane.tessmark.grid import detection_head  # noqa: E402
from corvane.tessmark.losses import TessmarkLoss  # noqa: E402
from corvane.tessmark.pyramid import pyramid_detector  # noqa: E402
from corvane.tessmark.pyramid_loss import PyramidLoss  # noqa: E402
from corvane.tessmark.trainer.detection import DetectionTrainer  # noqa: E402


class Silent:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class NoLogger:
    writer = None

    def update_metrics(self, metrics, losses):
        pass


class Hooks:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


def demo_network(size):
    from corvane.demo.model import build_detector

    return build_detector(image_size=size), 8


def mobilenet_network(size):
    inputs = tf.keras.Input((size, size, 3))
    backbone = tf.keras.applications.MobileNetV2(
        input_shape=(size, size, 3), include_top=False, weights=None
    )
    return tf.keras.Model(inputs, detection_head(backbone(inputs), 3)), 32


def pyramid_network(size):
    return pyramid_detector(None, 3, size), None


def grid_batches(size, stride, batch):
    images = np.random.default_rng(0).integers(0, 256, (batch, size, size, 3)).astype(np.uint8)
    grids = np.zeros((batch, size // stride, size // stride, 8), np.float32)
    grids[:, 1, 1, :5] = (1.0, 0.5, 0.5, 0.25, 0.25)
    grids[:, 1, 1, 5] = 1.0
    return images, grids


def pyramid_batches(size, stride, batch):
    """Twelve objects of 4 to 40 % of the side per image, in 100 padded rows."""
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (batch, size, size, 3)).astype(np.uint8)
    boxes = np.tile(np.array([0, 0, 0, 0, -1], np.float32), (batch, 100, 1))
    for k in range(batch):
        sides = rng.uniform(0.04, 0.4, (12, 2)) * size
        corners = rng.uniform(0, 1, (12, 2)) * (size - sides)
        boxes[k, :12, :4] = np.concatenate([corners, corners + sides], axis=1)
        boxes[k, :12, 4] = rng.integers(0, 3, 12)
    return images, boxes


# kind: (network, its loss, its batches, full sizes, the quick form's size)
NETWORKS = {
    "demo": (demo_network, lambda size: TessmarkLoss(), grid_batches, (64,), 64),
    "mobilenet": (mobilenet_network, lambda size: TessmarkLoss(), grid_batches, (320,), 96),
    "pyramid": (pyramid_network, PyramidLoss, pyramid_batches, (320, 640), 64),
}


class FitModel(tf.keras.Model):
    """The trainer's step inside Keras's own loop."""

    def __init__(self, network, loss):
        super().__init__()
        self.network = network
        self.detection_loss = loss

    def call(self, x, training=False):
        return self.network(x, training=training)

    def train_step(self, batch):
        images = tf.cast(batch[0], tf.float32) / 255.0
        with tf.GradientTape() as tape:
            losses = self.detection_loss.compute_loss(
                batch[1:], tuple(self.network(images, training=True))
            )
            full = losses["total-loss"] + tf.reduce_sum(self.network.losses)
        self.optimizer.minimize(full, self.network.trainable_variables, tape=tape)
        return losses


def batches(kind, size, stride, batch, steps):
    # One batch on the device, repeated: the input pipeline is not what is measured.
    one = NETWORKS[kind][2](size, stride, batch)
    return tf.data.Dataset.from_tensors(one).repeat(steps).cache()


def build(kind, size, precision):
    policy = "float32"
    if precision == "mixed":
        policy = "mixed_float16" if tf.config.list_physical_devices("GPU") else "mixed_bfloat16"
    tf.keras.mixed_precision.set_global_policy(policy)
    try:
        tf.keras.utils.set_random_seed(0)
        network, stride = NETWORKS[kind][0](size)
        optimizer = tf.keras.optimizers.Adam(1e-3)
        if policy == "mixed_float16":
            optimizer = tf.keras.mixed_precision.LossScaleOptimizer(optimizer)
        optimizer.build(network.trainable_variables)
    finally:
        tf.keras.mixed_precision.set_global_policy("float32")
    return network, optimizer, stride, policy


def timed(run, steps):
    run()  # tracing, not timed
    start = time.perf_counter()
    run()
    return steps / (time.perf_counter() - start)


def measure(kind, size, precision, steps, batch):
    network, optimizer, stride, policy = build(kind, size, precision)
    data = batches(kind, size, stride, batch, steps)
    loss = NETWORKS[kind][1]
    weights = network.get_weights()
    with tempfile.TemporaryDirectory() as folder, contextlib.redirect_stdout(Silent()):
        trainer = DetectionTrainer(
            network, data, optimizer, loss(size), NoLogger(), folder, classes=["a", "b", "c"]
        )
        with contextlib.redirect_stderr(Silent()):
            train = timed(lambda: trainer.train(1, train_ds=data, callback_handler=Hooks()), steps)

        def bare(read):
            for batch_ in data:
                losses = trainer.train_step(batch_)
                if read:  # what the bar and the rate readout take to the host every step
                    float(losses["total-loss"])
                    float(np.asarray(optimizer.lr))

        unread = timed(lambda: bare(False), steps)
        read = timed(lambda: bare(True), steps)

        network_fit, optimizer_fit, _, _ = build(kind, size, precision)
        network_fit.set_weights(weights)
        model = FitModel(network_fit, loss(size))
        model.compile(optimizer=optimizer_fit)
        fit = timed(lambda: model.fit(data, epochs=1, verbose=0), steps)
    return {
        "network": f"{kind} {size}x{size}, batch {batch}",
        "precision": policy,
        "train": train,
        "fit": fit,
        "bare": unread,
        "host reads share": max(0.0, 1.0 - read / unread),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few steps; MobileNetV2 at 96x96")
    parser.add_argument("--networks", nargs="+", default=list(NETWORKS), choices=list(NETWORKS))
    parser.add_argument("--json", action="store_true", help="one JSON line of rows at the end")
    args = parser.parse_args(argv)
    steps, batch = (4, 4) if args.quick else (60, 32)
    device = [d.name for d in tf.config.list_logical_devices("GPU")] or ["CPU"]
    print(f"device: {', '.join(device)}", file=sys.stderr)
    results = []
    for kind in args.networks:
        sizes = (NETWORKS[kind][4],) if args.quick else NETWORKS[kind][3]
        for size, precision in ((s, p) for s in sizes for p in ("float32", "mixed")):
            found = measure(kind, size, precision, steps, batch)
            results.append(found)
            print(
                f"{found['network']:<28} {found['precision']:<15} train {found['train']:7.2f}"
                f"  fit {found['fit']:7.2f}  bare loop {found['bare']:7.2f} steps/s"
                f"  host reads {100 * found['host reads share']:.1f} % of a step",
                file=sys.stderr,
            )
    if args.json:
        rows = [
            [
                f"steps/s, {r['network']}, {r['precision']}",
                f"{r['train']:.2f}",
                f"{r['fit']:.2f} fit, {r['bare']:.2f} bare loop",
                f"{r['train'] / r['fit']:.2f}",
                f"host reads {100 * r['host reads share']:.1f} % of a step; {device[0]}",
            ]
            for r in results
        ]
        print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
