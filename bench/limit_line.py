"""The limit line: ``DetectionTrainer.train`` on the demo network against a bare loop of its step.

Real steps (the demo network, 2,000 training images in batches of 32, Adam with the
demo's cosine schedule, validation off):

* bare loop: ``for batch in batches: trainer.train_step(batch)`` over prepared batches
  (the pipeline's batches, made once and kept in a list): the physical limit of this
  design, one compiled step after another;
* ``train`` over the same list: progress bar, the demo logger, learning-rate readout,
  hooks, and the ``last.h5`` written after every epoch;
* ``train`` over the demo's ``tf.data`` pipeline, and over the COCO pipeline reading the
  same images exported as PNG files.

Each round runs one epoch of every way, in rotated order; the ratio to the bare loop is
taken within each round, and medians over the rounds are reported, with the CPU time per
step (all threads of the process) and the CPU ratio (the bare loop's median CPU time per
step over the way's), which other load on the machine disturbs less than wall time.

The parts, per step. A real step takes tens of milliseconds and varies by several from
run to run, which buries the parts. So they are measured on a null step: ``train_step``
replaced by one that returns a copy of a real step's losses (the same tensors), and
every part but the one measured replaced by a stand-in that costs next to nothing (a
pass-through bar, a logger that drops its input, a constant learning rate, prepared
batches, no checkpoint). A part's cost is its run's time per step minus the floor's.
"""

import contextlib
import os
import statistics
import sys
import tempfile
import time
import types
from pathlib import Path

# Run as a script (python bench/limit_line.py) as well as from bench/run.py.
ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [p for p in (str(ROOT), str(ROOT / "python")) if p not in sys.path]

import tensorflow as tf  # noqa: E402
import tqdm  # noqa: E402

import corvane.tessmark.trainer.detection as detection  # noqa: E402
from bench import overhead  # noqa: E402
from bench.end_to_end import Silent  # noqa: E402
from bench.scale import SMOKE, sized  # noqa: E402
from corvane.demo import data  # noqa: E402
from corvane.demo.coco import coco_source, export_shapes  # noqa: E402
from corvane.demo.model import build_detector  # noqa: E402
from corvane.tessmark.callbacks import TensorBoard, TessmarkTrainingCallback  # noqa: E402
from corvane.tessmark.coco import read_coco  # noqa: E402
from corvane.tessmark.data import batch_training_set, coco_training_elements  # noqa: E402
from corvane.tessmark.losses import TessmarkLoss  # noqa: E402

BATCH_SIZE = 32
NULL_LOGGER = types.SimpleNamespace(writer=None, update_metrics=dict.fromkeys)


class PerStepTensorBoard(TensorBoard):
    """The demo logger as it was before it kept steps: one graph call for every step."""

    def __init__(self, logdir):
        super().__init__(logdir)
        self._step_graph = tf.function(self._write_step)

    def update_metrics(self, metrics, losses):
        if metrics:
            return super().update_metrics(metrics, losses)
        scalars = {
            key: tf.constant(value, tf.float32) if isinstance(value, float) else value
            for key, value in self._scalars("train/", losses or {}).items()
        }
        if scalars:
            self._step_graph(scalars, tf.constant(self.step, tf.int64))
        self.step += 1

    def _write_step(self, scalars, step):
        with self.writer.as_default():
            for key in sorted(scalars):
                tf.summary.scalar(key, tf.cast(scalars[key], tf.float32), step=step)


def demo_optimizer(model, steps, legacy=False):
    schedule = tf.keras.optimizers.schedules.CosineDecay(
        3e-4, decay_steps=steps, alpha=0.02, warmup_target=3e-3, warmup_steps=100
    )
    family = tf.keras.optimizers.legacy if legacy else tf.keras.optimizers
    optimizer = family.Adam(schedule)
    if not legacy:
        optimizer.build(model.trainable_variables)
    return optimizer


def pipelines(folder, images):
    """The demo's synthetic pipeline and the COCO one over the same images, exported."""
    train, validation = data.shape_splits(images, 16)
    train_json, val_json = export_shapes(os.path.join(folder, "coco"), train, validation)
    coco = coco_source(str(train_json), str(val_json))
    uncached = coco_training_elements(read_coco(train_json), 64, 8, cache=False)
    batch = batch_training_set
    return {
        "synthetic": batch(data.training_elements(train), BATCH_SIZE, seed=0),
        "coco": batch(coco.train, BATCH_SIZE, seed=0),
        "coco, not cached": batch(uncached, BATCH_SIZE, seed=0),
    }


def make_trainer(folder, train_ds, steps):
    tf.keras.utils.set_random_seed(0)
    model = build_detector()
    trainer = detection.DetectionTrainer(
        model,
        train_ds,
        demo_optimizer(model, steps),
        TessmarkLoss(),
        TensorBoard(os.path.join(folder, "tb")),
        os.path.join(folder, "checkpoints"),
        classes=list(data.CLASSES),
        metric="map",
        display=0,
    )
    return trainer


def real_steps(trainer, batches, datasets, rounds):
    """Per way of running an epoch: wall and CPU seconds per step, and the ratio to the bare loop.

    Each round runs one epoch of every way, in an order rotated from round to round;
    a way's ratio is the median over rounds of the bare loop's time over its own in
    the same round, which cancels the machine's slow drifts.
    """
    handler = TessmarkTrainingCallback()

    def bare():
        for batch in batches:
            trainer.train_step(batch)

    def train(source):
        return lambda: trainer.train(1, train_ds=source, callback_handler=handler)

    ways = {"bare loop": bare, "train, prepared batches": train(batches)}
    ways.update({f"train, {name} pipeline": train(ds) for name, ds in datasets.items()})
    # Not timed: the step's trace, the first save, and one pass over each pipeline (the
    # COCO cache fills in it; with the demo's epochs only the first one pays for that).
    trainer.train(1, train_ds=batches[:2], callback_handler=handler)
    for ds in datasets.values():
        for _ in ds:
            pass
    names = list(ways)
    wall, cpu = {name: [] for name in names}, {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            start, start_cpu = time.perf_counter(), time.process_time()
            ways[name]()
            wall[name].append((time.perf_counter() - start) / len(batches))
            cpu[name].append((time.process_time() - start_cpu) / len(batches))
    bare_wall = wall["bare loop"]
    return {
        name: {
            "median": statistics.median(wall[name]),
            "best": min(wall[name]),
            "cpu": statistics.median(cpu[name]),
            "ratio": statistics.median(b / w for b, w in zip(bare_wall, wall[name])),
        }
        for name in names
    }


def parts(trainer, batches, datasets, folder, epochs, repeats):
    """Microseconds per step that each part adds to the null-step loop."""
    template = trainer.train_step(batches[0])
    real = {"optimizer": trainer.optimizer, "logger": trainer.logger}
    trainer.train_step = lambda batch: dict(template)
    trainer.save_model = id
    handler = TessmarkTrainingCallback()

    def run(bar=overhead.Bar, logger=NULL_LOGGER, optimizer=overhead.OPTIMIZER, source=batches):
        detection.tqdm = bar
        trainer.logger, trainer.optimizer = logger, optimizer
        trainer.train(1, train_ds=source, callback_handler=handler)  # warm
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            trainer.train(epochs, train_ds=source, callback_handler=handler)
            times.append((time.perf_counter() - start) / (epochs * len(source)))
        return statistics.median(times)

    legacy = demo_optimizer(trainer.model, 1000, legacy=True)
    variants = {
        "progress bar (tqdm, redrawn every step)": dict(bar=tqdm.tqdm),
        "logger: demo TensorBoard, kept and written every 50 steps": dict(logger=real["logger"]),
        "logger: one graph call per step (before)": dict(
            logger=PerStepTensorBoard(os.path.join(folder, "tb-before"))
        ),
        "learning-rate readout: demo Adam with schedule": dict(optimizer=real["optimizer"]),
        "learning-rate readout: legacy Adam with schedule": dict(optimizer=legacy),
    }
    variants.update({f"data pipeline: {name}": dict(source=ds) for name, ds in datasets.items()})
    variants["all of the demo's parts"] = dict(
        bar=tqdm.tqdm,
        logger=real["logger"],
        optimizer=real["optimizer"],
        source=datasets["synthetic"],
    )
    floor = run()
    rows = [("loop floor: trainer and hooks, everything else a stand-in", floor)]
    return rows + [(name, run(**kwargs) - floor) for name, kwargs in variants.items()]


def checkpoint_cost(trainer, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        detection.DetectionTrainer.save_model(trainer, -1.0)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(folder=None, quick=False):
    """Rows (name, value, peer, ratio, note) for bench/run.py."""
    images, rounds = sized(quick, (2000, 10), (512, 2), (64, 1))
    previous_bar = detection.tqdm
    tf.get_logger().setLevel("ERROR")  # Keras' note on every checkpoint it loads back
    with contextlib.ExitStack() as stack:
        folder = folder or stack.enter_context(tempfile.TemporaryDirectory())
        stack.enter_context(contextlib.redirect_stdout(Silent()))
        stack.enter_context(contextlib.redirect_stderr(Silent()))
        stack.callback(setattr, detection, "tqdm", previous_bar)
        detection.tqdm = tqdm.tqdm
        datasets = pipelines(folder, images)
        batches = list(datasets["synthetic"])
        trainer = make_trainer(folder, datasets["synthetic"], rounds * len(batches))
        steps = real_steps(trainer, batches, datasets, rounds)
        save = checkpoint_cost(trainer)
        part_rows = parts(
            trainer, batches, datasets, folder, sized(quick, 20, 5, 1), 1 if SMOKE else 7
        )
        trainer.logger.close()

    rows = []
    bare_cpu = steps["bare loop"]["cpu"]
    for name, figures in steps.items():
        rows.append(
            (
                f"limit line, {name}",
                f"{1 / figures['median']:.2f} steps/s (best {1 / figures['best']:.2f})",
                f"{figures['cpu'] * 1e3:.2f} ms CPU/step",
                f"{figures['ratio']:.3f}",
                f"CPU ratio {bare_cpu / figures['cpu']:.3f}; "
                f"{rounds} rounds of {len(batches)} steps, medians",
            )
        )
    rows.append(
        (
            "limit line, last.h5 after each epoch",
            f"{save * 1e3:.1f} ms",
            f"{save / len(batches) * 1e6:.0f} us per step",
            "",
            f"{len(batches)} steps per epoch",
        )
    )
    for name, cost in part_rows:
        rows.append((f"per step, {name}", f"{cost * 1e6:.1f} us", "", "", "null step"))
    return rows


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    for cells in measure(quick=parser.parse_args().quick):
        print(" | ".join(cells))
