"""Backup and resume of a whole training: :class:`TrainingBackup` and :class:`TrainingState`.

Use it when a training may die before it ends (a killed job, a lost machine) and the
next run should go on as if it never stopped. ``DetectionTrainer`` keeps ``last.h5``
and ``best.h5``, but those are export networks: they lack the training outputs, the
optimizer's slots and step counter, the epoch, the best value and the summary
history. The backup holds all of it::

    trainer = DetectionTrainer(model, train_ds, optimizer, loss, logger, "out", ...)
    backup = TrainingBackup(trainer, "out/backup")
    backup.register("logger_step", lambda: logger.step, lambda v: setattr(logger, "step", v))
    start = backup.restore()  # 1 when the folder holds no backup
    trainer.train(epochs, train_ds=..., val_ds=..., evaluator=..., start=start,
                  callback_handler=CallbackList([my_callbacks, backup]))

As Keras splits ``BackupAndRestore`` from ``WorkerTrainingState``, the hooks are apart
from the state: :class:`TrainingBackup` is the callback handler (it saves at the end of
every epoch and refuses a folder it did not restore), :class:`TrainingState` is what a
backup holds and how it is written, checked and read. Put the backup last among the
handlers (``CallbackList`` insists): it saves what the others did at the same epoch's end.

What one backup is, written at the end of every epoch (after the other handlers'
``on_epoch_end``, so it holds what they did):

* ``ckpt-<epoch>.index`` and ``ckpt-<epoch>.data-*``: a ``tf.train.Checkpoint`` of
  ``trainer.model`` (every output, BatchNorm statistics too), ``trainer.optimizer``
  (``iterations``, slots, its rate variable) and the registered TensorFlow objects,
  written by ``tf.train.CheckpointManager``, which keeps the newest two;
* ``backup-<epoch>.json``: the epoch, ``best_value``, ``summary_rows``, whether a handler
  stopped the training (``trainer.stop_training``), the registered Python state, the
  shapes of every variable and the size of every checkpoint file;
* ``best-<epoch>.h5``: a hard link to (or, across file systems, a copy of) the
  trainer's ``best.h5`` of that moment, so that ``best.h5`` always matches ``best_value``.

Why the state file, and what it adds to TensorFlow's own saving. In TensorFlow 2.15
``CheckpointManager.save`` writes each shard to a temporary file and renames it, then
renames the data file to its final name and writes ``ckpt-N.index`` in place; its own
``checkpoint`` file is replaced atomically once the save is complete. Nothing is
fsynced, and saving a number again (the epoch a resumed run repeats) replaces the data
file before rewriting the index, while ``checkpoint`` already names that number. So
the backup:

1. removes any record of this epoch or later before saving (they describe a timeline
   being replaced);
2. fsyncs every checkpoint file and the folder once the save returns;
3. writes ``backup-<epoch>.json`` durably (:mod:`corvane.tessmark.durable`): the record
   exists only for a complete, durable checkpoint, and the record (not TensorFlow's
   ``checkpoint`` file) decides what is restored;
4. only then drops records beyond the newest two.

Several workers. With ``corvane.tessmark.distributed.DistributedDetectionTrainer`` under
``MultiWorkerMirroredStrategy`` every worker must save (reading batch normalisation's
moving statistics is a collective operation): the chief writes into ``directory``, every
other worker into a temporary folder of its own (``trainer.role``), removed after
training. Every worker restores from ``directory``, the chief's, so it must be reachable
from every worker (a shared file system); a worker that cannot see it starts at another
epoch than the chief, which the distributed trainer refuses before training.

A kill at any instant therefore leaves the newest complete backup intact, and
:meth:`TrainingState.restore` takes the newest record whose files check out: a record
or checkpoint that is truncated or corrupted (sizes, then every tensor's checksum) is
skipped with one console line, and the one before it is used.
"""

from __future__ import annotations

import contextlib
import filecmp
import glob
import json
import os
import re
import shutil
from collections.abc import Callable
from dataclasses import dataclass, field

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.durable import fsync_file, fsync_folder, write_json

CHECKPOINT_NAME = "ckpt"
RECORD_FORMAT = 1
# Every file a backup of one epoch consists of, temporaries included.
_EPOCH_FILE = re.compile(
    r"^(?:backup-(\d+)\.json|\.backup-(\d+)\.json\.tmp|best-(\d+)\.h5|"
    + CHECKPOINT_NAME
    + r"-(\d+)(?:\.index|\.data-\d+-of-\d+|_temp))$"
)
_RECORD = re.compile(r"^backup-(\d+)\.json$")


class BackupError(Exception):
    """A backup that cannot be used as it is; the message names its folder."""

    def __init__(self, directory: str, message: str):
        super().__init__(message)
        self.directory = directory


class BackupMismatchError(BackupError):
    """The backup was made for another network, optimizer or registered state."""


class BackupDamagedError(BackupError):
    """No backup in the folder is complete."""


class _Damaged(Exception):
    pass


@dataclass(frozen=True)
class BackupRecord:
    """What one backup holds besides its variables (see :meth:`TrainingBackup.latest`)."""

    directory: str
    epoch: int
    checkpoint: str  # the checkpoint's path prefix
    best_value: float
    summary_rows: list
    state: dict  # registered Python state, by name
    variables: dict = field(repr=False)
    files: dict = field(repr=False)  # every file of the backup -> size in bytes
    best_copy: str | None = None
    stopped: bool = False  # a handler stopped the training at this epoch


class TrainingState:
    """The training state a backup holds, and its writing, checking and reading.

    ``trainer`` is the ``DetectionTrainer``; ``directory`` the backup folder, created at
    the first save. :meth:`register` adds state of the application (a data pipeline's
    position, a logger's step, a handler's state) before :meth:`restore` or the first
    :meth:`save`.
    """

    def __init__(self, trainer, directory, max_to_keep: int = 2):
        if max_to_keep < 1:
            raise ValueError(f"max_to_keep must be at least 1, not {max_to_keep}")
        self.trainer = trainer
        self.directory = os.fspath(directory)
        # A worker of a multi-worker run other than the chief must save too (reading
        # batch normalisation's statistics is a collective), but into a folder of its
        # own; every worker restores from the chief's folder.
        role = getattr(trainer, "role", None)
        self._writes_to = role.folder(self.directory, "backup") if role else self.directory
        self.max_to_keep = max_to_keep
        self._trackables: dict = {}
        self._python_state: dict[str, tuple[Callable, Callable]] = {}
        self._checkpoint = None
        self._manager = None
        # Set once this state restored or wrote: the folder's backups are then its own.
        self.owner = False
        # The record restore() loaded, None when it started the training afresh.
        self.restored: BackupRecord | None = None
        # What is registered is fixed by the first restore or save.
        self._sealed = False

    # -- registration -------------------------------------------------------------

    def register(self, name: str, state, set_state: Callable | None = None) -> None:
        """Adds application state to every backup, restored by :meth:`restore`.

        ``register(name, trackable)``: a TensorFlow object saved with the variables
        (a ``tf.Variable``, a ``tf.random.Generator``, a ``tf.Module``, ...).
        ``register(name, get_state, set_state)``: ``get_state()`` returns JSON-able
        Python state at each backup (tuples come back as lists); ``set_state(value)``
        receives it on restore. ``register(name, obj)`` for an object with both methods
        ``get_state`` and ``set_state`` (such as ``EarlyStopping``) is the same.
        """
        import tensorflow as tf

        if self._sealed:
            raise RuntimeError(
                f"register({name!r}, ...) comes too late: register state before "
                "restore() and before training"
            )
        if not isinstance(name, str) or not name.isidentifier():
            raise ValueError(f"a registered name must be an identifier, not {name!r}")
        if name in self._trackables or name in self._python_state:
            raise ValueError(f"{name!r} is registered already")
        if set_state is None and _has_state_methods(state):
            state, set_state = state.get_state, state.set_state
        if set_state is None:
            # Checkpoint would wrap a plain list or dict and save nothing of its items.
            if not isinstance(state, tf.__internal__.tracking.Trackable):
                raise TypeError(
                    f"register({name!r}, {type(state).__name__}): not a TensorFlow "
                    "trackable; for Python state give register(name, get_state, set_state)"
                )
            self._trackables[name] = state
        else:
            if not callable(state) or not callable(set_state):
                raise TypeError(f"register({name!r}, get_state, set_state) needs two callables")
            self._python_state[name] = (state, set_state)

    def unrestored_epoch(self) -> int | None:
        """The newest epoch in the folder when this state neither restored nor wrote it."""
        if self.owner:
            return None
        epochs = _record_epochs(self._writes_to)
        return epochs[0] if epochs else None

    # -- writing ----------------------------------------------------------------------

    def save(self, epoch: int) -> BackupRecord:
        """Writes the backup of the completed ``epoch`` (``on_epoch_end`` calls it)."""
        # Everything that can refuse is asked first, so a refusal changes no file.
        state = {name: get() for name, (get, _) in self._python_state.items()}
        record = {
            "format": RECORD_FORMAT,
            "epoch": int(epoch),
            "checkpoint": f"{CHECKPOINT_NAME}-{int(epoch)}",
            "best_value": float(self.trainer.best_value),
            "summary_rows": list(self.trainer.summary_rows),
            "stopped": bool(getattr(self.trainer, "stop_training", False)),
            "state": state,
            "variables": self._variables(),
        }
        try:
            json.dumps(record)
        except (TypeError, ValueError) as error:
            raise TypeError(f"backup state is not JSON-serialisable: {error}") from None
        checkpoint, manager = self._objects()

        folder = self._writes_to
        os.makedirs(folder, exist_ok=True)
        self._drop(lambda e: e >= epoch)
        prefix = manager.save(checkpoint_number=epoch)
        files = sorted(glob.glob(glob.escape(prefix) + ".data-*")) + [prefix + ".index"]
        for path in files:
            fsync_file(path)
        record["best_copy"] = self._keep_best(epoch)
        if record["best_copy"]:
            files.append(os.path.join(folder, record["best_copy"]))
        record["files"] = {os.path.basename(p): os.path.getsize(p) for p in files}
        fsync_folder(folder)
        write_json(os.path.join(folder, f"backup-{epoch}.json"), record)
        self.owner = True
        kept = _record_epochs(folder)[: self.max_to_keep]
        self._drop(lambda e: e < kept[-1])
        return _as_record(folder, record)

    def _keep_best(self, epoch):
        best = getattr(self.trainer, "best", None)
        if not best or not os.path.exists(best):
            return None
        name = f"best-{epoch}.h5"
        target = os.path.join(self._writes_to, name)
        # The trainer replaces best.h5 by a new file on every save, so a hard link
        # keeps this epoch's content at no cost.
        try:
            os.link(best, target)
        except OSError:
            shutil.copyfile(best, target)
        # The trainer does not sync its files; the record vouches for this one's content.
        fsync_file(target)
        return name

    def _drop(self, which):
        folder = self._writes_to
        if not os.path.isdir(folder):
            return
        for name in os.listdir(folder):
            match = _EPOCH_FILE.match(name)
            if match is None or not which(int(next(g for g in match.groups() if g))):
                continue
            path = os.path.join(folder, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)

    # -- restoring --------------------------------------------------------------------

    @classmethod
    def latest(cls, directory, verify: bool = False) -> BackupRecord | None:
        """The newest complete backup in ``directory`` without loading it, or None.

        Complete means the record reads and every checkpoint file has its recorded
        size; with ``verify`` every tensor is also read and its checksum tested.
        For what an application sets up before its trainer (folders, run ids).
        """
        for epoch in _record_epochs(os.fspath(directory)):
            try:
                record = _read_record(os.fspath(directory), epoch)
                _check_files(record, verify)
                return record
            except _Damaged:
                continue
        return None

    def restore(self) -> int:
        """Loads the newest complete backup into the trainer; the epoch to start from.

        Returns 1 when the folder is missing or holds no backup, and then changes
        nothing. Otherwise loads every variable, ``best_value`` and ``summary_rows``,
        sets ``skip_initial_validation`` (the epoch-0 row is in the history already),
        hands registered state back, puts ``best.h5`` back to that backup's, and
        returns the epoch after the backed-up one.
        """
        self._sealed = True
        epochs = _record_epochs(self.directory)
        if not epochs:
            self.owner = True
            return 1
        checkpoint, _ = self._objects()
        current = self._variables()
        skipped = []
        for epoch in epochs:
            try:
                record = _read_record(self.directory, epoch)
                self._check_compatible(record, current)
                _check_files(record, verify=True)
            except _Damaged as why:
                skipped.append(f"epoch {epoch}: {why}")
                continue
            status = checkpoint.read(record.checkpoint)
            try:
                status.assert_consumed()
            except AssertionError as error:
                raise BackupMismatchError(
                    self.directory,
                    f"the backup in {self.directory} does not match this network, optimizer "
                    "and registered state: " + str(error).split("\n")[0],
                ) from None
            self._apply(record)
            self.owner, self.restored = True, record
            if skipped:
                print(
                    f"\t - [WARNING]: damaged backup in {self.directory} ({'; '.join(skipped)});"
                    f" resuming from the previous complete backup, epoch {epoch}"
                )
            return epoch + 1
        raise BackupDamagedError(
            self.directory,
            f"no complete backup in {self.directory} ({'; '.join(skipped)}); remove the "
            "folder to start over",
        )

    def _apply(self, record: BackupRecord):
        trainer = self.trainer
        trainer.best_value = float(record.best_value)
        # In place: the trainer appends to this list object.
        trainer.summary_rows[:] = [dict(row) for row in record.summary_rows]
        trainer.skip_initial_validation = True
        for name, (_, set_state) in self._python_state.items():
            set_state(record.state[name])
        best = getattr(trainer, "best", None)
        # Another worker's best.h5 sits in a temporary folder that nobody reads.
        if not getattr(trainer, "is_chief", True):
            best = None
        if record.best_copy and best:
            copy = os.path.join(self.directory, record.best_copy)
            same = os.path.exists(best) and (
                os.path.samefile(copy, best) or filecmp.cmp(copy, best, shallow=False)
            )
            if not same:
                temp = best + ".restoring.tmp"
                shutil.copyfile(copy, temp)
                os.replace(temp, best)

    def _check_compatible(self, record: BackupRecord, current: dict):
        differences = []
        for part in ("model", "optimizer"):
            differences += _differences(part, record.variables.get(part), current[part])
        saved_class = record.variables.get("optimizer_class")
        if saved_class != current["optimizer_class"]:
            differences.insert(
                0, f"optimizer {current['optimizer_class']} here, {saved_class} in the backup"
            )
        missing = sorted(set(self._python_state) - set(record.state))
        extra = sorted(set(record.state) - set(self._python_state))
        if missing:
            differences.append(f"registered state {', '.join(missing)} is not in the backup")
        if extra:
            differences.append(f"the backup holds state {', '.join(extra)} not registered here")
        if differences:
            shown = "; ".join(differences[:3])
            more = f"; and {len(differences) - 3} more" if len(differences) > 3 else ""
            raise BackupMismatchError(
                self.directory,
                f"the backup of epoch {record.epoch} in {self.directory} was made for another "
                f"network: {shown}{more}. Nothing was loaded; resume with the same network, "
                "or use another folder to start over",
            )

    # -- the TensorFlow side ----------------------------------------------------------

    def _objects(self):
        import tensorflow as tf

        self._sealed = True
        if self._checkpoint is None:
            self._build_optimizer()
            parts = {"model": self.trainer.model, "optimizer": self.trainer.optimizer}
            if self._trackables:
                parts["registered"] = tf.train.Checkpoint(**self._trackables)
            self._checkpoint = tf.train.Checkpoint(**parts)
            # Made on first use otherwise, which a restore would report as unmatched.
            _ = self._checkpoint.save_counter
        if self._manager is None:
            self._manager = tf.train.CheckpointManager(
                self._checkpoint,
                self._writes_to,
                max_to_keep=self.max_to_keep,
                checkpoint_name=CHECKPOINT_NAME,
            )
        return self._checkpoint, self._manager

    def _build_optimizer(self):
        """Creates the optimizer's slots now, so that a restore fills them at once.

        Both Keras families create slots on the first update otherwise, and a restore
        into missing slots is deferred, neither verifiable nor checked for shapes.
        """
        import tensorflow as tf

        optimizer, variables = self.trainer.optimizer, self.trainer.model.trainable_variables
        if isinstance(optimizer, tf.keras.optimizers.legacy.Optimizer):
            optimizer._create_all_weights(variables)  # the legacy family's slot creation
        else:
            optimizer.build(variables)

    def _variables(self) -> dict:
        self._build_optimizer()
        optimizer = self.trainer.optimizer
        return {
            "model": [_describe(v) for v in self.trainer.model.variables],
            "optimizer_class": type(optimizer).__name__,
            "optimizer": [_describe(v) for v in optimizer.variables()],
        }


def _describe(variable) -> list:
    return [variable.name, variable.shape.as_list(), variable.dtype.name]


def _differences(part: str, saved, current: list) -> list[str]:
    if not isinstance(saved, list):
        return [f"the backup lists no {part} variables"]
    found = []
    if len(saved) != len(current):
        found.append(f"{len(current)} {part} variables here, {len(saved)} in the backup")
    for index, (mine, theirs) in enumerate(zip(current, saved)):
        if list(mine[1:]) != list(theirs[1:]):
            found.append(
                f"{part} variable {index} ({mine[0]} here, {theirs[0]} in the backup) has "
                f"shape {mine[1]} {mine[2]} here, {theirs[1]} {theirs[2]} in the backup"
            )
    return found


def _record_epochs(directory: str) -> list[int]:
    """Epochs with a record in ``directory``, newest first."""
    if not os.path.isdir(directory):
        return []
    found = (_RECORD.match(name) for name in os.listdir(directory))
    return sorted((int(m.group(1)) for m in found if m), reverse=True)


def _read_record(directory: str, epoch: int) -> BackupRecord:
    path = os.path.join(directory, f"backup-{epoch}.json")
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        record = _as_record(directory, data)
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise _Damaged(f"backup-{epoch}.json does not read ({type(error).__name__})") from None
    if record.epoch != epoch or data.get("format") != RECORD_FORMAT:
        raise _Damaged(f"backup-{epoch}.json is not a record of epoch {epoch}")
    return record


def _as_record(directory: str, data: dict) -> BackupRecord:
    return BackupRecord(
        directory=directory,
        epoch=int(data["epoch"]),
        checkpoint=os.path.join(directory, str(data["checkpoint"])),
        best_value=float(data["best_value"]),
        summary_rows=list(data["summary_rows"]),
        state=dict(data["state"]),
        variables=dict(data["variables"]),
        files=dict(data["files"]),
        best_copy=data.get("best_copy"),
        stopped=bool(data.get("stopped", False)),
    )


def _check_files(record: BackupRecord, verify: bool):
    for name, expected in record.files.items():
        path = os.path.join(record.directory, name)
        if not os.path.exists(path):
            raise _Damaged(f"{name} is missing")
        if os.path.getsize(path) != expected:
            raise _Damaged(f"{name} has {os.path.getsize(path)} bytes, {expected} expected")
    if verify:
        import tensorflow as tf

        try:
            reader = tf.train.load_checkpoint(record.checkpoint)
            for key in reader.get_variable_to_shape_map():
                reader.get_tensor(key)
        except (tf.errors.OpError, IndexError, ValueError) as error:
            first = str(error).strip().splitlines()[0] if str(error).strip() else ""
            raise _Damaged(
                f"{os.path.basename(record.checkpoint)} does not read: {first}"
            ) from None


def _has_state_methods(obj) -> bool:
    return callable(getattr(obj, "get_state", None)) and callable(getattr(obj, "set_state", None))


class TrainingBackup(TessmarkTrainingCallback):
    """Callback handler that backs up the whole training state after every epoch.

    Give it with the other handlers, last: ``CallbackList([..., backup])``. Its state is
    :attr:`state` (a :class:`TrainingState`); :meth:`register`, :meth:`restore` and
    :meth:`save` are that state's. Before training it refuses a folder that holds a
    backup it did not restore, and more epochs after a backup that records an early stop.
    """

    # CallbackList keeps it last: it saves what the other handlers did at on_epoch_end.
    runs_last = True

    def __init__(self, trainer, directory, max_to_keep: int = 2, **removed):
        if "handler" in removed:
            raise TypeError(
                "TrainingBackup no longer forwards hooks to a handler: pass "
                "callback_handler=CallbackList([handler, backup]) to train instead"
            )
        if removed:
            raise TypeError(f"unexpected keyword argument {next(iter(removed))!r}")
        self.state = TrainingState(trainer, directory, max_to_keep)
        self._epoch = None

    @property
    def directory(self) -> str:
        return self.state.directory

    @property
    def stopped(self) -> bool:
        """Whether the restored backup records that a handler stopped the training."""
        return bool(self.state.restored and self.state.restored.stopped)

    def register(self, name: str, state, set_state: Callable | None = None) -> None:
        self.state.register(name, state, set_state)

    register.__doc__ = TrainingState.register.__doc__

    def restore(self) -> int:
        return self.state.restore()

    restore.__doc__ = TrainingState.restore.__doc__

    def save(self, epoch: int) -> BackupRecord:
        return self.state.save(epoch)

    save.__doc__ = TrainingState.save.__doc__

    latest = staticmethod(TrainingState.latest)

    def on_train_start(self, epochs):
        found = self.state.unrestored_epoch()
        if found is not None:
            raise BackupError(
                self.directory,
                f"{self.directory} holds a backup (epoch {found}) that this run did not "
                "restore: call restore() to go on from it, or remove the folder (or choose "
                "another) to start over",
            )
        record = self.state.restored
        if record is not None and record.stopped and epochs > record.epoch:
            raise BackupError(
                self.directory,
                f"the training backed up in {self.directory} was stopped after epoch "
                f"{record.epoch} (early stopping): nothing is left to train. Remove the "
                "folder (or choose another) to train again",
            )

    def on_epoch_start(self, epoch):
        self._epoch = epoch

    def on_epoch_end(self, losses, metrics):
        if self._epoch is None:
            raise RuntimeError("on_epoch_end without on_epoch_start: no epoch to back up")
        self.save(self._epoch)
