"""What resumability costs: the backup per epoch, and TensorFlow's op determinism per step.

Backup: the demo's network and data (2,000 training images in batches of 32, 200
validation images, validation after every epoch, as the demo runs) trained by
``DetectionTrainer.train`` with a :class:`TrainingBackup` as the callback handler and
with the plain ``TessmarkTrainingCallback``, alternating. Reported: the backup write
itself (timed inside the handler) as a share of the epoch, and the epoch times of both.

Determinism: steps per second of the same training without validation, in fresh
processes with ``tf.config.experimental.enable_op_determinism()`` and without,
alternating (the switch is process-wide).

    .venv/bin/python bench/resume_cost.py [--repeats 3] [--only backup determinism] [--quick]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def _setup(folder, train_images, validation_images):
    import tensorflow as tf

    from bench.end_to_end import Silent
    from corvane.demo import data
    from corvane.demo.model import build_detector
    from corvane.tessmark.callbacks import TensorBoard
    from corvane.tessmark.losses import TessmarkLoss
    from corvane.tessmark.trainer.detection import DetectionTrainer
    from corvane.validator.evaluator import DetectionEvaluator

    tf.keras.utils.set_random_seed(0)
    train = data.make_shapes(train_images, (data.DATA_SEED, data.TRAIN_SPLIT))
    validation = data.make_shapes(validation_images, (data.DATA_SEED, data.VALIDATION_SPLIT))
    train_ds = data.training_dataset(train, 32, seed=0)
    model = build_detector()
    optimizer = tf.keras.optimizers.Adam(1e-3)
    optimizer.build(model.trainable_variables)
    with contextlib.redirect_stdout(Silent()):
        trainer = DetectionTrainer(
            model,
            train_ds,
            optimizer,
            TessmarkLoss(),
            TensorBoard(os.path.join(folder, "tb")),
            folder,
            classes=list(data.CLASSES),
            metric="map",
            display=0,
        )
    val_ds = data.validation_dataset(validation)
    return trainer, train_ds, val_ds, DetectionEvaluator(model)


def backup_share(folder, epochs=3, repeats=3, train_images=2000, validation_images=200):
    """(median backup seconds, median epoch seconds with, without backup)."""
    from bench.end_to_end import Silent
    from corvane.tessmark.backup import TrainingBackup
    from corvane.tessmark.callbacks import TessmarkTrainingCallback

    class Timed(TrainingBackup):
        first = True

        def save(self, epoch):
            start = time.perf_counter()
            try:
                return super().save(epoch)
            finally:
                # A handler's first write also makes its checkpoint objects.
                if not self.first:
                    writes.append(time.perf_counter() - start)
                self.first = False

    writes, with_backup, without = [], [], []
    for r in range(repeats):
        for use in (True, False):
            base = os.path.join(folder, f"backup-{r}-{use}")
            trainer, train_ds, val_ds, evaluator = _setup(base, train_images, validation_images)
            handler = Timed(trainer, os.path.join(base, "backup")) if use else None
            handler = handler or TessmarkTrainingCallback()
            if use:
                handler.restore()
            run = dict(train_ds=train_ds, val_ds=val_ds, evaluator=evaluator)
            with contextlib.redirect_stdout(Silent()), contextlib.redirect_stderr(Silent()):
                trainer.train(1, callback_handler=handler, **run)  # tracing, not timed
                trainer.skip_initial_validation = True
                start = time.perf_counter()
                trainer.train(epochs + 1, start=2, callback_handler=handler, **run)
                seconds = (time.perf_counter() - start) / epochs
            (with_backup if use else without).append(seconds)
            print(f"    run {r} backup={use}: {seconds:.2f} s per epoch", file=sys.stderr)
    return statistics.median(writes), statistics.median(with_backup), statistics.median(without)


CHILD = """
import sys, time, contextlib
import tensorflow as tf
if sys.argv[1] == "on":
    tf.config.experimental.enable_op_determinism()
from bench.resume_cost import _setup
from bench.end_to_end import Silent
trainer, train_ds, _, _ = _setup(sys.argv[2], int(sys.argv[3]), 1)
with contextlib.redirect_stdout(Silent()), contextlib.redirect_stderr(Silent()):
    trainer.train(1, train_ds=train_ds)
    start = time.perf_counter()
    trainer.train(3, train_ds=train_ds, start=2)
print(2 * len(train_ds) / (time.perf_counter() - start))
"""


def determinism_cost(folder, repeats=3, train_images=2000):
    """Median and best steps/s with op determinism on and off."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), str(ROOT)]))
    env.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
    rates = {"on": [], "off": []}
    for r in range(repeats):
        for mode in ("on", "off"):
            out = os.path.join(folder, f"determinism-{mode}-{r}")
            done = subprocess.run(
                [sys.executable, "-c", CHILD, mode, out, str(train_images)],
                cwd=ROOT,
                env=env,
                capture_output=True,
                text=True,
                timeout=900,
                check=True,
            )
            rates[mode].append(float(done.stdout.strip().splitlines()[-1]))
            print(f"    run {r} determinism {mode}: {rates[mode][-1]:.2f} steps/s", file=sys.stderr)
    return {mode: (statistics.median(r), max(r)) for mode, r in rates.items()}


def rows(folder, quick=False, only=("backup", "determinism"), repeats=3):
    from bench.scale import sized

    sizes = sized(
        quick,
        dict(repeats=repeats),
        dict(repeats=1, train_images=500),
        dict(repeats=1, train_images=64),
    )
    found = []
    if "backup" in only:
        write, epoch_with, epoch_without = backup_share(
            folder,
            validation_images=sized(quick, 200, 50, 4),
            epochs=sized(quick, 3, 3, 1),
            **sizes,
        )
        found.append(
            (
                "backup write per epoch, demo network",
                f"{write * 1e3:.0f} ms",
                f"epoch {epoch_with:.2f} s with, {epoch_without:.2f} s without",
                f"{write / epoch_with:.1%}",
                "share of the epoch (target <= 2 %)",
            )
        )
    if "determinism" in only:
        rates = determinism_cost(folder, **sizes)
        (on, on_best), (off, off_best) = rates["on"], rates["off"]
        found.append(
            (
                "steps/s, op determinism on",
                f"{on:.2f} (best {on_best:.2f})",
                f"{off:.2f} (best {off_best:.2f}) off",
                f"{on / off:.2f} (best {on_best / off_best:.2f})",
                f"validation off, {sizes['repeats']} alternating runs, median",
            )
        )
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer images, one repeat")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=["backup", "determinism"])
    args = parser.parse_args()
    sys.path[:0] = [str(ROOT), str(ROOT / "python")]
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
    with tempfile.TemporaryDirectory() as folder:
        for row in rows(folder, args.quick, args.only, args.repeats):
            print(" | ".join(row))


if __name__ == "__main__":
    sys.exit(main())
