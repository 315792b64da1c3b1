"""Resuming the demo: its run's options, what it says, and the phase marks of the kill tests.

The run itself is the library's :class:`~corvane.tessmark.runs.TrainingRun` in ``OUT``:
the same command again goes on with it, from its newest backup, or from the start when
it was killed before its first one; ``--fresh`` discards it. This module holds what only
the demo knows: which of its options make a run that run, the lines it prints, and its
test-only phase marks.
"""

from __future__ import annotations

import json
import os
import time
from pathlib import Path

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.runs import RUN_FILE, ResumeError, RunMismatchError, TrainingRun

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
# Options added later, recorded only where they differ from these values, so that runs
# recorded before them still go on.
LATER_OPTIONS = {
    "data": None,
    "image_size": 64,
    "clip_boxes": 0.0,
    "augment": False,
    "detector": "grid",
    "builtin": "shapes",
}
# Test-only: a file to which the demo appends the phase it enters (see PhaseMarks).
PHASES_ENV = "CORVANE_DEMO_PHASES"


def open_run(out: Path, config, chief: bool = True) -> TrainingRun:
    """The run in ``out`` for ``config``: discarded first with ``--fresh``.

    A run whose options differ is refused with the demo's own option names.
    """
    options = run_options(config)
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
        # A later option at its old value is not recorded: the run had that value.
        shown = lambda key, value: LATER_OPTIONS.get(key) if value is None else value  # noqa: E731
        differing = [
            f"--{key.replace('_', '-')} {shown(key, theirs)} there, {shown(key, ours)} here"
            for key, theirs, ours in error.differences
        ]
        raise ResumeError(
            f"{out} holds a run with other options ({'; '.join(differing)}): run the same "
            "command to go on with it, or add --fresh to start over"
        ) from None
    if run.discarded:
        print(f"\t - [INFO] Discarded the backup in {run.backup_folder} (--fresh)")
    return run


def run_options(config) -> dict:
    """What makes ``config``'s run that run, as ``run.json`` records it."""
    options = {key: getattr(config, key) for key in RUN_OPTIONS}
    for key, default in LATER_OPTIONS.items():
        value = getattr(config, key, default)
        if value != default:
            options[key] = value
    return options


def unfinished_run(parent: Path, name: str) -> tuple[Path, dict] | None:
    """The newest run folder ``name``, ``name-2``, ... in ``parent`` that holds a started
    run (its ``run.json``) whose backup does not hold its last epoch or an early stop, with
    the run's recorded options; None when there is none."""
    from corvane.tessmark.runs import numbered_run_folders

    for _, folder in reversed(numbered_run_folders(parent, name)):
        try:
            with open(folder / RUN_FILE, encoding="utf-8") as f:
                options = json.load(f)["options"]
            run = TrainingRun(folder, options, chief=False)
        except (OSError, ValueError, KeyError, TypeError):
            continue  # not a started run, or one that does not read: never resumed blindly
        if not run.complete(int(options.get("epochs", 0))):
            return folder, options
    return None


def resumed_config(parent: Path, name: str, config, given: set):
    """``config`` for ``--resume``: the newest unfinished run's folder and options.

    An option given on the command line must agree with the run's; the rest come from it.
    """
    from dataclasses import replace

    found = unfinished_run(parent, name)
    if found is None:
        raise ValueError(
            f"--resume found no unfinished run under {parent} (runs that end, or stop "
            "early, are finished): start a new one without --resume"
        )
    folder, options = found
    recorded = {key: options.get(key, LATER_OPTIONS.get(key)) for key in run_options(config)}
    recorded.update({k: options[k] for k in LATER_OPTIONS if k in options})
    differing = [
        f"--{key.replace('_', '-')} {recorded[key]} there, {getattr(config, key)} here"
        for key in sorted(given & set(recorded))
        if recorded[key] != getattr(config, key)
    ]
    if differing:
        raise ValueError(
            f"--resume goes on with the run in {folder}, which has other options "
            f"({'; '.join(differing)}): leave them out to take the run's own"
        )
    # train_images and validation_images follow from quick and the data.
    keep = {k: v for k, v in recorded.items() if k not in ("train_images", "validation_images")}
    resumed = replace(config, out=str(folder), **keep)
    resumed.train_images = recorded["train_images"]
    resumed.validation_images = recorded["validation_images"]
    return resumed


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
