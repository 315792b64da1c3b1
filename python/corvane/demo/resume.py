"""Resuming the demo: its run's options, what it says, and the phase marks of the kill tests.

The run itself is the library's :class:`~corvane.tessmark.runs.TrainingRun` in ``OUT``:
the same command again goes on with it, from its newest backup, or from the start when
it was killed before its first one; ``--fresh`` discards it. This module holds what only
the demo knows: which of its options make a run that run, the lines it prints, and its
test-only phase marks.
"""

from __future__ import annotations

import os
import time
from pathlib import Path

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.runs import ResumeError, RunMismatchError, TrainingRun

# What makes a run that run: it goes on only under the same options.
RUN_OPTIONS = (
    "epochs",
    "seed",
    "quick",
    "train_images",
    "validation_images",
    "batch_size",
    "learning_rate",
    "display",
    "coco_train",
    "coco_val",
    "images",
    "patience",
    "mixed_precision",
    "ema",
    "warmup_steps",
)
# Test-only: a file to which the demo appends the phase it enters (see PhaseMarks).
PHASES_ENV = "CORVANE_DEMO_PHASES"


def open_run(out: Path, config, chief: bool = True) -> TrainingRun:
    """The run in ``out`` for ``config``: discarded first with ``--fresh``.

    A run whose options differ is refused with the demo's own option names.
    """
    options = {key: getattr(config, key) for key in RUN_OPTIONS}
    try:
        run = TrainingRun(
            out,
            options,
            fresh=config.fresh,
            chief=chief,
            name=f"seed{config.seed}",
            fresh_option="--fresh",
        )
    except RunMismatchError as error:
        differing = [
            f"--{key.replace('_', '-')} {theirs} there, {ours} here"
            for key, theirs, ours in error.differences
        ]
        raise ResumeError(
            f"{out} holds a run with other options ({'; '.join(differing)}): run the same "
            "command to go on with it, or add --fresh to start over"
        ) from None
    if run.discarded:
        print(f"\t - [INFO] Discarded the backup in {run.backup_folder} (--fresh)")
    return run


def resumed_line(run: TrainingRun, start: int, epochs: int) -> str:
    if start == 1:
        return (
            f"\t - [INFO] Restarting the run in {run.folder}, interrupted before its first "
            "backup, at epoch 1 (--fresh starts a new run)"
        )
    return (
        f"\t - [INFO] Resuming from the backup of epoch {start - 1} in {run.backup_folder}: "
        f"training goes on at epoch {start} of {epochs} (--fresh starts over)"
    )


def complete_line(run: TrainingRun) -> str:
    epoch = run.backup_record.epoch
    how = ", where early stopping ended it" if run.stopped else ""
    return (
        f"\t - [INFO] The training is complete: {run.backup_folder} holds its epoch {epoch}"
        f"{how}; nothing to do (--fresh starts over)"
    )


class PhaseMarks(TessmarkTrainingCallback):
    """Phase marks for the kill tests: when the environment names a file in
    ``CORVANE_DEMO_PHASES`` (tests only), every phase the run enters is appended to it as
    one line (a monotonic time stamp and the phase), before the phase's work.
    """

    def __init__(self):
        self.epoch = 0
        path = os.environ.get(PHASES_ENV)
        self._phases = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT) if path else None

    def _mark(self, *words):
        if self._phases is not None:
            line = " ".join(map(str, (f"{time.monotonic():.6f}", *words)))
            os.write(self._phases, (line + "\n").encode())

    def on_train_start(self, epochs):
        self._mark("train", epochs)

    def on_evaluation_start(self):
        self._mark("validation", self.epoch)

    def on_evaluaiton_end(self, metrics):
        self._mark("validated", self.epoch)

    def on_epoch_start(self, epoch):
        self.epoch = epoch
        self._mark("epoch", epoch)

    def on_step_start(self, step):
        self._mark("step", self.epoch, step)

    def on_model_save(self, model):
        self._mark("saved", self.epoch)

    def on_epoch_end(self, losses, metrics):
        self._mark("backup", self.epoch)

    def on_train_end(self):
        self._mark("end")
        if self._phases is not None:
            os.close(self._phases)
            self._phases = None
