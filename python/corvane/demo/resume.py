"""Resuming the demo: its backup, the run it belongs to, and the outputs that continue.

The demo keeps a :class:`~corvane.tessmark.backup.TrainingBackup` in ``OUT/backup``
and, from the moment a run starts, the run's identity in ``OUT/run.json`` (its
options, its TensorBoard folder, its MLflow run). Running the same command again
goes on with that run: from its newest backup, or from the start when it was killed
before its first one. ``--fresh`` discards both. What goes on with the training:

* TensorBoard: the same log folder, its step axis continued (the logger's step is
  state registered with the backup). A killed run may have written steps after its
  last backup; the next segment first writes TensorBoard's restart marker (a
  ``SessionLog`` START event), on which TensorBoard's event loader drops what earlier
  segments wrote from there on, so repeated steps are not shown twice.
* MLflow: the same run, so its metric history is one. A repeated epoch logs its
  values again at the same step; they are the same values.
* DVCLive: the trainer starts ``Live`` without ``resume``, which deletes earlier
  outputs in its folder, and DVCLive's own resume cannot line its step up with a
  repeated epoch. So each later segment gets a folder of its own, ``OUT/dvclive-2``,
  ``OUT/dvclive-3``, ...; the first stays ``OUT/dvclive``.
"""

from __future__ import annotations

import json
import os
import shutil
import socket
import time
from dataclasses import dataclass
from pathlib import Path

from corvane.tessmark.backup import BackupRecord, TrainingBackup
from corvane.tessmark.callbacks import TessmarkTrainingCallback

BACKUP_FOLDER = "backup"
RUN_FILE = "run.json"
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
)
# Test-only: a file to which the demo appends the phase it enters (see DemoHandler).
PHASES_ENV = "CORVANE_DEMO_PHASES"


class ResumeError(ValueError):
    """OUT holds a run this command cannot go on with; the message says what to do."""


@dataclass
class Session:
    """Where this segment's outputs go and what it goes on from.

    ``run`` is the identity of an earlier segment's run (None: a new run); ``record``
    the newest backup (None: the run starts at epoch 1).
    """

    out: Path
    options: dict
    run: dict | None
    record: BackupRecord | None
    tensorboard: Path
    dvclive: Path

    @property
    def backup_folder(self) -> Path:
        return self.out / BACKUP_FOLDER

    @property
    def mlflow_run_id(self) -> str | None:
        return (self.run or {}).get("mlflow_run_id")

    def complete(self, epochs: int) -> bool:
        return self.record is not None and self.record.epoch >= epochs

    def started(self, mlflow_run_id: str | None) -> None:
        """Records the run's identity once its outputs exist (atomically, fsynced)."""
        run = {
            "options": self.options,
            "tensorboard": self.tensorboard.name,
            # A segment without MLflow keeps the run for the segments that have it.
            "mlflow_run_id": mlflow_run_id or self.mlflow_run_id,
        }
        if run == self.run:
            return
        path, temp = self.out / RUN_FILE, self.out / f".{RUN_FILE}.tmp"
        with open(temp, "w", encoding="utf-8") as f:
            json.dump(run, f, indent=1)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
        folder = os.open(self.out, os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)
        self.run = run


def prepare(out: Path, config, chief: bool = True) -> Session:
    """Discards the run for ``--fresh``, else reads it and checks the options match.

    Only the chief of a multi-worker run discards; the other workers take ``--fresh``
    as a new run without waiting for it, since they never read the chief's folder again.
    """
    if config.fresh and chief and discard(out):
        print(f"\t - [INFO] Discarded the backup in {out / BACKUP_FOLDER} (--fresh)")
    options = {key: getattr(config, key) for key in RUN_OPTIONS}
    run = None if config.fresh else _read_run(out)
    record = None if config.fresh else TrainingBackup.latest(out / BACKUP_FOLDER)
    if run is None:
        if record is not None:
            raise ResumeError(
                f"{out / BACKUP_FOLDER} holds a backup but {out / RUN_FILE} is missing, so "
                "it is not the demo's: choose another --out, or add --fresh to discard it"
            )
        name = time.strftime(f"%Y%m%d-%H%M%S-seed{config.seed}")
        return Session(out, options, None, None, out / "tensorboard" / name, out / "dvclive")
    differing = [
        f"--{key.replace('_', '-')} {run['options'].get(key)} there, {options[key]} here"
        for key in RUN_OPTIONS
        if run["options"].get(key) != options[key]
    ]
    if differing:
        raise ResumeError(
            f"{out} holds a run with other options ({'; '.join(differing)}): run the same "
            "command to go on with it, or add --fresh to start over"
        )
    tensorboard = out / "tensorboard" / run["tensorboard"]
    return Session(out, options, run, record, tensorboard, _next_dvclive_folder(out))


def _read_run(out: Path) -> dict | None:
    try:
        with open(out / RUN_FILE, encoding="utf-8") as f:
            run = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise ResumeError(
            f"{out / RUN_FILE} does not read ({error}): add --fresh to start over"
        ) from None
    return run


def mark_restart(session: Session) -> None:
    """TensorBoard's restart marker for a later segment, written before its logger.

    The marker's own events file sorts after every earlier segment's and before the
    new logger's (same second, ".0.restart" < ".<n>.v2"). After a backup it sits one
    step after the backed-up step: that step's validation scalars belong to the
    backed-up epoch, and the training scalar written again there has the same value.
    """
    import tensorflow as tf
    from tensorboard.compat.proto import event_pb2

    step = session.record.state["tensorboard_step"] + 1 if session.record else 0
    session.tensorboard.mkdir(parents=True, exist_ok=True)
    now = time.time()
    name = f"events.out.tfevents.{int(now)}.{socket.gethostname()}.{os.getpid()}.0.restart"
    start = event_pb2.SessionLog(status=event_pb2.SessionLog.START)
    with tf.io.TFRecordWriter(str(session.tensorboard / name)) as writer:
        for event in (
            event_pb2.Event(wall_time=now, file_version="brain.Event:2"),
            event_pb2.Event(wall_time=now, step=step, session_log=start),
        ):
            writer.write(event.SerializeToString())


def discard(out: Path) -> bool:
    """Removes the run, its backup and later segments' DVCLive folders; whether there was one."""
    found = (out / BACKUP_FOLDER).exists() or (out / RUN_FILE).exists()
    shutil.rmtree(out / BACKUP_FOLDER, ignore_errors=True)
    (out / RUN_FILE).unlink(missing_ok=True)
    for folder in dvclive_segments(out)[1:]:
        shutil.rmtree(folder, ignore_errors=True)
    return found


def dvclive_segments(out: Path) -> list[Path]:
    """The DVCLive folders of the run's segments in order, ``OUT/dvclive`` first."""
    numbered = []
    for path in out.glob("dvclive-*"):
        suffix = path.name[len("dvclive-") :]
        if path.is_dir() and suffix.isdigit():
            numbered.append((int(suffix), path))
    first = [out / "dvclive"] if (out / "dvclive").is_dir() else []
    return first + [path for _, path in sorted(numbered)]


def _next_dvclive_folder(out: Path) -> Path:
    # The first free number: a segment killed before its first backup keeps its folder.
    number = 2
    while (out / f"dvclive-{number}").exists():
        number += 1
    return out / f"dvclive-{number}"


def attach(session: Session, trainer, logger, data_epoch) -> TrainingBackup:
    """The run's backup handler, with the logger's step registered.

    A worker without a logger (not the chief) keeps the step in a stand-in, so that
    every worker's backup holds the same state.
    """
    steps = logger if logger is not None else _Steps()
    backup = TrainingBackup(trainer, session.backup_folder, handler=DemoHandler(data_epoch))
    backup.register("tensorboard_step", lambda: steps.step, lambda v: setattr(steps, "step", v))
    return backup


class _Steps:
    step = 0


def resumed_line(session: Session, start: int, epochs: int) -> str:
    if start == 1:
        return (
            f"\t - [INFO] Restarting the run in {session.out}, interrupted before its first "
            "backup, at epoch 1 (--fresh starts a new run)"
        )
    return (
        f"\t - [INFO] Resuming from the backup of epoch {start - 1} in {session.backup_folder}: "
        f"training goes on at epoch {start} of {epochs} (--fresh starts over)"
    )


def complete_line(backup_folder: Path, epoch: int) -> str:
    return (
        f"\t - [INFO] The training is complete: {backup_folder} holds its epoch {epoch}; "
        "nothing to do (--fresh starts over)"
    )


def metrics_of_row(row: dict) -> dict:
    """A summary row in the evaluator's metrics layout."""
    return {
        "OP": row["Overall-AP"],
        "OR": row["Overall-AR"],
        "OA": row["Overall-ACC"],
        **{
            name: {key: row[f"{name}@{key}"] for key in ("0.5", "0.75", "0.5:0.95")}
            for name in ("mAP", "mAR", "mACC")
        },
    }


class DemoHandler(TessmarkTrainingCallback):
    """The demo's hooks: each epoch's data order, and phase marks for the kill tests.

    ``data_epoch`` is the data pipeline's epoch variable: setting it at the start of
    every epoch makes the order depend on the epoch number alone. When the
    environment names a file in ``CORVANE_DEMO_PHASES`` (tests only), every phase the
    run enters is appended to it as one line (a monotonic time stamp and the phase),
    before the phase's work.
    """

    def __init__(self, data_epoch):
        self.data_epoch = data_epoch
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
        self.data_epoch.assign(epoch - 1)
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
