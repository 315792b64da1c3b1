"""One training across the processes that make it: :class:`TrainingRun`.

A training that is killed and started again is one run in several segments. A
``TrainingRun`` keeps what ties them together in the run's folder, and gives each
segment the pieces that continue the earlier ones::

    run = TrainingRun("out", options={"epochs": 10, "seed": 0})
    if run.complete(10):
        ...  # nothing to do; run.stopped says whether early stopping ended it
    logger = run.logger()
    with run.mlflow_run(info, experiment="my-detector") as run_id:
        trainer = DetectionTrainer(model, train_ds, optimizer, loss, logger, "out/checkpoints",
                                   info=info, dvclive_output=str(run.dvclive), ...)
        run.started(run_id)
        backup = run.backup(trainer, logger)
        start = backup.restore()
        trainer.train(10, ..., start=start, callback_handler=CallbackList([..., backup]))

What each piece continues:

* ``run.json`` (written durably by :meth:`started`): the options the run was started
  with, which every later segment must repeat, its TensorBoard folder and its MLflow run.
* ``backup/``: the :class:`~corvane.tessmark.backup.TrainingBackup` of :meth:`backup`,
  with the logger's step registered.
* ``tensorboard/<name>/``: one log folder for every segment. A later segment's
  :meth:`logger` goes on at the backed-up step behind TensorBoard's restart marker, so
  what an interrupted segment wrote after its last backup is not shown twice: one
  history, each step once.
* ``dvclive/``, ``dvclive-2/``, ...: one DVCLive folder per segment (:attr:`dvclive`). The
  trainer starts ``Live`` without ``resume``, which deletes earlier outputs in its folder,
  and DVCLive's own resume cannot line its step up with a repeated epoch.
* MLflow (:meth:`mlflow_run`): one run for every segment, with ``info`` as its parameters.
  Its experiment is made with its artifacts beside a local tracking store, so the
  trainer's ``last.h5`` and ``best.h5`` artifacts land there, not in ``./mlruns`` of the
  working folder. A repeated epoch logs its values again at the same step.

On a multi-worker run every worker makes the run object (each needs the backup), but
only the chief (``chief=True``) discards, writes ``run.json`` and logs.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import time
from collections.abc import Mapping
from pathlib import Path

from corvane.tessmark.backup import BackupRecord, TrainingBackup
from corvane.tessmark.callbacks import TensorBoard
from corvane.tessmark.durable import write_json

RUN_FILE = "run.json"
BACKUP_FOLDER = "backup"
# The registered name of the logger's step in every backup.
LOGGER_STEP = "tensorboard_step"
# MLflow takes parameter values of at most this many characters.
_PARAMETER_LENGTH = 6000


class ResumeError(ValueError):
    """The run's folder holds a run this segment cannot go on with; the message says why."""


class RunMismatchError(ResumeError):
    """The folder holds a run started with other options.

    ``differences`` lists ``(option, value there, value here)``.
    """

    def __init__(self, folder: Path, differences: list, fresh_option: str = "fresh=True"):
        self.folder, self.differences = folder, differences
        shown = "; ".join(
            f"{key} {theirs!r} there, {ours!r} here" for key, theirs, ours in differences
        )
        super().__init__(
            f"{folder} holds a run with other options ({shown}): give the same options to go "
            f"on with it, or start over ({fresh_option}, or another folder)"
        )


class TrainingRun:
    """The run in ``folder``: a new one, or the one an earlier segment started.

    ``options`` are what makes the run that run (epochs, seeds, data, ...: JSON values);
    an earlier run with other options is refused with :class:`RunMismatchError`.
    ``fresh`` discards an earlier run (its record, backup and later DVCLive segments)
    and starts a new one; :attr:`discarded` tells whether there was one. ``name`` ends the
    new run's TensorBoard folder name, after its start time. ``fresh_option`` is how
    messages name the way to start over (an application's command-line option, say).
    """

    def __init__(
        self,
        folder: str | os.PathLike,
        options: Mapping | None = None,
        fresh: bool = False,
        chief: bool = True,
        name: str | None = None,
        fresh_option: str = "fresh=True",
    ):
        self.folder = Path(folder).resolve()
        self.fresh_option = fresh_option
        # As run.json will hold them (tuples become lists), so that a later segment
        # compares like with like.
        try:
            self.options = json.loads(json.dumps(dict(options or {})))
        except (TypeError, ValueError) as error:
            raise TypeError(f"the run's options must be JSON values: {error}") from None
        self.chief = chief
        # Another worker takes fresh as a new run without waiting for the chief: it never
        # reads the chief's folder again.
        self.discarded = bool(fresh and chief and self.discard())
        self.record: dict | None = None if fresh else self._read_record()
        # Whether an earlier segment started this run.
        self.continuing = self.record is not None
        self.backup_record: BackupRecord | None = (
            None if fresh else TrainingBackup.latest(self.backup_folder)
        )
        if self.record is None:
            if self.backup_record is not None:
                raise ResumeError(
                    f"{self.backup_folder} holds a backup but {self.folder / RUN_FILE} is "
                    "missing, so it is not a run's backup: choose another folder, or start "
                    f"over ({fresh_option})"
                )
            stamp = time.strftime("%Y%m%d-%H%M%S")
            self.tensorboard = self.folder / "tensorboard" / (f"{stamp}-{name}" if name else stamp)
            self.dvclive = self.folder / "dvclive"
            return
        saved = self.record.get("options", {})
        differences = [
            (key, saved.get(key), self.options.get(key))
            for key in sorted(set(saved) | set(self.options))
            if saved.get(key) != self.options.get(key)
        ]
        if differences:
            raise RunMismatchError(self.folder, differences, fresh_option)
        self.tensorboard = self.folder / "tensorboard" / self.record["tensorboard"]
        self.dvclive = self._next_dvclive_folder()

    # -- what the folder holds ----------------------------------------------------------

    @property
    def backup_folder(self) -> Path:
        return self.folder / BACKUP_FOLDER

    @property
    def mlflow_run_id(self) -> str | None:
        return (self.record or {}).get("mlflow_run_id")

    @property
    def stopped(self) -> bool:
        """Whether the newest backup records that early stopping ended the training."""
        return bool(self.backup_record and self.backup_record.stopped)

    def complete(self, epochs: int) -> bool:
        """Whether the newest backup holds epoch ``epochs`` or records an early stop."""
        record = self.backup_record
        return record is not None and (record.epoch >= epochs or record.stopped)

    def dvclive_segments(self) -> list[Path]:
        """The DVCLive folders of the run's segments in order, ``dvclive`` first."""
        return dvclive_segments(self.folder)

    def _next_dvclive_folder(self) -> Path:
        # The first free number: a segment killed before its first backup keeps its folder.
        number = 2
        while (self.folder / f"dvclive-{number}").exists():
            number += 1
        return self.folder / f"dvclive-{number}"

    def _read_record(self) -> dict | None:
        path = self.folder / RUN_FILE
        try:
            with open(path, encoding="utf-8") as f:
                record = json.load(f)
            if not isinstance(record, dict) or "tensorboard" not in record:
                raise ValueError("not a run record")
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as error:
            raise ResumeError(
                f"{path} does not read ({error}): start over ({self.fresh_option}) to replace it"
            ) from None
        return record

    def discard(self) -> bool:
        """Removes the run's record, backup and later DVCLive segments; whether there was a
        run. The first DVCLive folder, the logs and the checkpoints stay (a new run
        replaces them)."""
        found = self.backup_folder.exists() or (self.folder / RUN_FILE).exists()
        shutil.rmtree(self.backup_folder, ignore_errors=True)
        (self.folder / RUN_FILE).unlink(missing_ok=True)
        for folder in self.dvclive_segments()[1:]:
            shutil.rmtree(folder, ignore_errors=True)
        return found

    # -- the pieces of a segment --------------------------------------------------------

    def started(self, mlflow_run_id: str | None = None) -> None:
        """Records the run (options, TensorBoard folder, MLflow run) once its outputs exist.

        A segment without MLflow keeps the MLflow run of the segments that had it. Only
        the chief writes.
        """
        if not self.chief:
            return
        record = {
            "options": self.options,
            "tensorboard": self.tensorboard.name,
            "mlflow_run_id": mlflow_run_id or self.mlflow_run_id,
        }
        if record != self.record:
            self.folder.mkdir(parents=True, exist_ok=True)
            write_json(self.folder / RUN_FILE, record, indent=1)
            self.record = record

    def logger(self, **options) -> TensorBoard:
        """The run's TensorBoard logger; a later segment's continues the earlier ones'.

        It goes on at the backed-up step, behind a restart marker at that step (at 0 when
        no backup was made), so that TensorBoard drops what the interrupted segment wrote
        from there on. The backed-up epoch's validation scalars stood at that step too:
        the logger writes them again from the backup's summary history.
        """
        if not self.continuing:
            return TensorBoard(str(self.tensorboard), **options)
        record = self.backup_record
        if record is not None and LOGGER_STEP not in record.state:
            raise ResumeError(
                f"the backup in {self.backup_folder} holds no logger step, so the log cannot "
                "go on from it: make the backup with run.backup(trainer, logger)"
            )
        step = record.state[LOGGER_STEP] if record else 0
        logger = TensorBoard(str(self.tensorboard), step=step, purge_step=step, **options)
        for row in record.summary_rows if record else ():
            if row.get("epoch") == record.epoch:
                logger.update_metrics({k: v for k, v in row.items() if k != "epoch"}, {})
        return logger

    def backup(self, trainer, logger=None, **options) -> TrainingBackup:
        """The run's backup handler, with ``logger``'s step registered.

        A worker without a logger (not the chief) keeps the step in a stand-in, so that
        every worker's backup holds the same state.
        """
        steps = logger if logger is not None else _Steps()
        backup = TrainingBackup(trainer, self.backup_folder, **options)
        backup.register(LOGGER_STEP, lambda: steps.step, lambda v: setattr(steps, "step", v))
        return backup

    @contextlib.contextmanager
    def mlflow_run(
        self,
        info: Mapping | None = None,
        experiment: str = "corvane",
        run_name: str | None = None,
        tracking_uri: str | None = None,
    ):
        """The run's MLflow run, active inside the block; yields its id.

        The first segment starts it in ``experiment`` with ``info`` as its parameters; a
        later one continues it. ``tracking_uri`` (default: MLflow's own, such as
        ``MLFLOW_TRACKING_URI``) is where runs are recorded. A new experiment is made with
        its artifacts beside a local store (``mlartifacts`` beside an SQLite file), so
        the checkpoints the trainer logs stay with the run.
        """
        import mlflow

        if tracking_uri is not None:
            mlflow.set_tracking_uri(tracking_uri)
        uri = mlflow.get_tracking_uri()
        run_id = self.mlflow_run_id
        if run_id:
            try:
                run = mlflow.start_run(run_id=run_id)
            except mlflow.exceptions.MlflowException:
                raise ResumeError(
                    f"the run in {self.folder} logs to MLflow run {run_id}, which {uri} does "
                    "not hold: use the tracking store it was recorded in "
                    f"(MLFLOW_TRACKING_URI), or start over ({self.fresh_option})"
                ) from None
            with run:
                yield run_id
            return
        found = mlflow.get_experiment_by_name(experiment)
        if found is not None:
            experiment_id = found.experiment_id
        else:
            experiment_id = mlflow.create_experiment(
                experiment, artifact_location=artifacts_beside(uri)
            )
        with mlflow.start_run(experiment_id=experiment_id, run_name=run_name) as run:
            if info:
                mlflow.log_params(mlflow_parameters(info))
            yield run.info.run_id


class _Steps:
    step = 0


def new_run_folder(parent: str | os.PathLike, name: str) -> Path:
    """Makes and returns a new, empty run folder in ``parent``: ``name``, then ``name-2``,
    ``name-3``, ...

    The number follows the highest one there, so numbers keep the order in which runs
    were made even after some are deleted. The folder is created exclusively: two
    processes starting together get different folders.
    """
    parent = Path(parent).resolve()
    parent.mkdir(parents=True, exist_ok=True)
    number = max((number for number, _ in numbered_run_folders(parent, name)), default=0) + 1
    while True:
        folder = parent / (name if number == 1 else f"{name}-{number}")
        try:
            folder.mkdir()
            return folder
        except FileExistsError:
            number += 1


def numbered_run_folders(parent: str | os.PathLike, name: str) -> list[tuple[int, Path]]:
    """The run folders ``name``, ``name-2``, ... in ``parent``, as (number, path), oldest first."""
    found = []
    for path in Path(parent).glob(f"{name}*"):
        suffix = path.name[len(name) :]
        if not path.is_dir():
            continue
        if suffix == "":
            found.append((1, path))
        elif suffix[:1] == "-" and suffix[1:].isdigit():
            found.append((int(suffix[1:]), path))
    return sorted(found)


def dvclive_segments(folder: str | os.PathLike) -> list[Path]:
    """The DVCLive folders of the segments of the run in ``folder``, ``dvclive`` first."""
    folder = Path(folder)
    numbered = []
    for path in folder.glob("dvclive-*"):
        suffix = path.name[len("dvclive-") :]
        if path.is_dir() and suffix.isdigit():
            numbered.append((int(suffix), path))
    first = [folder / "dvclive"] if (folder / "dvclive").is_dir() else []
    return first + [path for _, path in sorted(numbered)]


def artifacts_beside(tracking_uri: str) -> str | None:
    """Where a new experiment's artifacts go for a tracking store: ``mlartifacts`` beside
    a local SQLite file; None (the store's own choice) for any other store."""
    prefix = "sqlite:///"
    if not tracking_uri.startswith(prefix):
        return None
    database = Path(tracking_uri[len(prefix) :])
    if not database.is_absolute():
        database = Path.cwd() / database
    return (database.parent / "mlartifacts").as_uri()


def mlflow_parameters(info: Mapping, prefix: str = "") -> dict:
    """``info`` as MLflow parameters: nested mappings flattened to ``a.b`` keys, values
    as text (``str``, as MLflow itself converts them), each cut to MLflow's length limit."""
    flat = {}
    for key, value in info.items():
        name = f"{prefix}{key}"
        if isinstance(value, Mapping):
            flat.update(mlflow_parameters(value, f"{name}."))
        else:
            flat[name] = str(value)[:_PARAMETER_LENGTH]
    return flat
