"""What the moving average and the warmup cost per step, against the demo network's step.

    .venv/bin/python bench/aids_cost.py [--steps 200] [--repeats 5] [--json]

The step is ``trainer.train_step`` on one prepared batch of 32 built-in images (Adam with
the demo's cosine decay), timed in blocks of ``--steps`` calls. The moving average costs
its handler's ``on_step_end`` (one ``tf.function`` call that updates the average), timed
the same way. The warmup costs what ``LinearWarmup`` in front of the cosine decay adds: in
the step's graph (Keras's optimizers evaluate the schedule there), measured as the
difference per evaluation of the two schedules evaluated 100 times in one graph (a whole
step is too noisy here to show a difference of microseconds), and in the trainer's
per-step rate readout, which calls a legacy optimizer's schedule eagerly. Medians over
the repeats, with the spread (max - min).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import statistics
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import tensorflow as tf  # noqa: E402

from corvane.demo import data  # noqa: E402
from corvane.demo.model import build_detector  # noqa: E402
from corvane.tessmark.ema import ExponentialMovingAverage  # noqa: E402
from corvane.tessmark.losses import TessmarkLoss  # noqa: E402
from corvane.tessmark.schedules import LinearWarmup  # noqa: E402
from corvane.tessmark.trainer.detection import DetectionTrainer  # noqa: E402

IN_GRAPH = 100


def cosine():
    return tf.keras.optimizers.schedules.CosineDecay(3e-3, decay_steps=10000, alpha=0.02)


def trainer(folder, schedule):
    tf.keras.utils.set_random_seed(0)
    model = build_detector()
    optimizer = tf.keras.optimizers.Adam(schedule)
    optimizer.build(model.trainable_variables)
    logger = types.SimpleNamespace(writer=None)
    with contextlib.redirect_stdout(io.StringIO()):
        return DetectionTrainer(
            model, None, optimizer, TessmarkLoss(), logger, folder, classes=list(data.CLASSES)
        )


def per_call(function, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def median_spread(values):
    return statistics.median(values), max(values) - min(values)


def measure(steps=200, repeats=5):
    shapes = data.make_shapes(32, (data.DATA_SEED, data.TRAIN_SPLIT))
    batch = next(iter(data.training_dataset(shapes, 32, seed=0)))
    with tempfile.TemporaryDirectory() as folder:
        plain = trainer(os.path.join(folder, "plain"), cosine())
        ema = ExponentialMovingAverage(plain.model)
        calls = {
            "step": lambda: plain.train_step(batch),
            "ema": lambda: ema.on_step_end(losses={}, lr=None),
        }
        schedules = {"cosine": cosine(), "warmup": LinearWarmup(50, cosine(), 3e-4)}
        step_count = tf.Variable(10, dtype=tf.int64)
        for name, schedule in schedules.items():
            calls[name] = lambda s=schedule: s(step_count)
            calls[f"{name} graph"] = tf.function(
                lambda s=schedule: tf.add_n([s(step_count + i) for i in range(IN_GRAPH)])
            )
        for function in calls.values():
            per_call(function, 3)  # tracing, not timed
        times = {name: [] for name in calls}
        for _ in range(repeats):
            for name, function in calls.items():
                times[name].append(per_call(function, steps))
    step = median_spread(times["step"])
    ema_cost = median_spread(times["ema"])
    graph = median_spread(
        [(w - c) / IN_GRAPH for w, c in zip(times["warmup graph"], times["cosine graph"])]
    )
    readout = median_spread([w - c for w, c in zip(times["warmup"], times["cosine"])])
    return step, ema_cost, graph, readout


def ms(pair):
    return f"{pair[0] * 1e3:.3f} ms (spread {pair[1] * 1e3:.3f} ms)"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    step, ema_cost, graph, readout = measure(args.steps, args.repeats)
    rows = [
        ["demo network step, batch 32", ms(step), "", "", ""],
        ["moving average, per step", ms(ema_cost), ms(step), f"{ema_cost[0] / step[0]:.1%}",
         "target at most 3 %"],
        ["warmup in the step's graph, per step", ms(graph), ms(step),
         f"{graph[0] / step[0]:.1%}", "target at most 3 %"],
        ["warmup in a legacy optimizer's rate readout, per step", ms(readout), ms(step),
         f"{readout[0] / step[0]:.1%}", "eager call of the schedule"],
    ]  # fmt: skip
    for row in rows:
        print(" | ".join(row), file=sys.stderr)
    if args.json:
        print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
