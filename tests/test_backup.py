"""TrainingBackup with the real trainer and Keras: resume equality, optimizer round trips,
registered state, bad backups, and the files a kill leaves at each instant."""

import json
import os
import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.demo import data
from corvane.demo.model import build_detector
from corvane.tessmark.backup import (
    BackupDamagedError,
    BackupError,
    BackupMismatchError,
    TrainingBackup,
)
from corvane.tessmark.callbacks import CallbackList, TessmarkTrainingCallback
from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.trainer.detection import DetectionTrainer
from corvane.validator.evaluator import DetectionEvaluator

pytestmark = pytest.mark.filterwarnings("ignore:You are saving your model as an HDF5 file")
WIDTHS = (8, 16, 16)  # the demo network, smaller; still stride 8


@pytest.fixture(scope="module")
def shapes():
    return data.make_shapes(24, (data.DATA_SEED, 0)), data.make_shapes(3, (data.DATA_SEED, 1))


class Logger:
    writer = None

    def __init__(self):
        self.step = 0

    def update_metrics(self, metrics, losses):
        self.step += 0 if metrics else 1


def schedule():
    return tf.keras.optimizers.schedules.CosineDecay(1e-3, 12, warmup_target=3e-3, warmup_steps=3)


def adam():
    return tf.keras.optimizers.Adam(schedule())


def setup(folder, shapes, optimizer=adam, widths=WIDTHS, handler=None):
    """A run as an application builds it: trainer, backup, registered state."""
    tf.keras.utils.set_random_seed(0)
    run = types.SimpleNamespace(logger=Logger(), epoch=tf.Variable(0, dtype=tf.int64))
    run.model, run.optimizer = build_detector(widths=widths), optimizer()
    run.train_ds = data.training_dataset(shapes[0], 8, seed=0, epoch=run.epoch)
    run.trainer = DetectionTrainer(
        run.model,
        run.train_ds,
        run.optimizer,
        TessmarkLoss(),
        run.logger,
        str(folder),
        metric="map",
        classes=list(data.CLASSES),
        display=0,
    )
    run.backup = TrainingBackup(run.trainer, folder / "backup")
    run.handler = CallbackList([handler, run.backup]) if handler else run.backup
    run.backup.register("data_epoch", run.epoch)
    logger = run.logger
    run.backup.register("logger_step", lambda: logger.step, lambda v: setattr(logger, "step", v))
    return run


def train(run, shapes, epochs, start=1, validate=True):
    run.trainer.train(
        epochs,
        train_ds=run.train_ds,
        val_ds=data.validation_dataset(shapes[1]),
        evaluator=DetectionEvaluator(run.model) if validate else None,
        start=start,
        callback_handler=run.handler,
    )


def values(variables):
    return [v.numpy() for v in variables]


def assert_equal_arrays(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


def rate(optimizer):
    lr = optimizer.lr
    if isinstance(lr, tf.keras.optimizers.schedules.LearningRateSchedule):
        return float(lr(optimizer.iterations))
    return float(lr)


def folder_bytes(folder):
    return {
        os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
        for d, _, files in os.walk(folder)
        for f in files
    }


@pytest.fixture(scope="module")
def two_epochs(tmp_path_factory, shapes):
    """A folder after two epochs with a backup each, and what each backup holds."""
    folder = tmp_path_factory.mktemp("two-epochs")
    saved = {}

    class Snapshot(TessmarkTrainingCallback):
        # Called before the backup is written, so this is what the backup holds.
        def on_epoch_end(self, losses, metrics):
            epoch = len(saved) + 1
            assert not os.path.exists(folder / "backup" / f"backup-{epoch}.json")
            saved[epoch] = values(run.model.variables), values(run.optimizer.variables())

    run = setup(folder, shapes, handler=Snapshot())
    train(run, shapes, 2)
    return types.SimpleNamespace(folder=folder, saved=saved, run=run)


def copy_of(source, target):
    import shutil

    shutil.copytree(source, target)
    return target


class TestResume:
    def test_a_resumed_training_ends_as_the_uninterrupted_one(self, tmp_path, shapes):
        whole = setup(tmp_path / "whole", shapes)
        train(whole, shapes, 3)

        first = setup(tmp_path / "cut", shapes)
        train(first, shapes, 2)
        second = setup(tmp_path / "cut", shapes)
        assert second.backup.restore() == 3
        assert second.trainer.skip_initial_validation is True
        assert second.trainer.best_value == first.trainer.best_value
        assert second.trainer.summary_rows == first.trainer.summary_rows
        assert second.logger.step == first.logger.step == 6 and int(second.epoch.numpy()) == 2
        train(second, shapes, 3, start=3)

        assert_equal_arrays(values(second.model.variables), values(whole.model.variables))
        assert_equal_arrays(
            values(second.optimizer.variables()), values(whole.optimizer.variables())
        )
        csv = "summary.csv"
        assert (tmp_path / "cut" / csv).read_bytes() == (tmp_path / "whole" / csv).read_bytes()
        assert [row["epoch"] for row in second.trainer.summary_rows] == [0, 1, 2, 3]
        # The newest two backups stay, nothing else of older ones.
        left = sorted(os.listdir(tmp_path / "cut" / "backup"))
        assert [n for n in left if n.startswith("backup-")] == ["backup-2.json", "backup-3.json"]
        assert not [n for n in left if "-1" in n]

    @pytest.mark.parametrize(
        "optimizer",
        [
            lambda: tf.keras.optimizers.SGD(0.05, momentum=0.9),
            adam,
            lambda: tf.keras.optimizers.legacy.Adam(schedule()),
        ],
        ids=["sgd-float-rate", "adam-schedule", "legacy-adam-schedule"],
    )
    def test_optimizer_iterations_and_slots_come_back(self, tmp_path, shapes, optimizer):
        saved = {}

        class Snapshot(TessmarkTrainingCallback):
            def on_epoch_end(self, losses, metrics):
                saved["optimizer"] = values(run.optimizer.variables())
                saved["model"] = values(run.model.variables)
                saved["lr"] = rate(run.optimizer)

        run = setup(tmp_path, shapes, optimizer, handler=Snapshot())
        train(run, shapes, 2, validate=False)

        again = setup(tmp_path, shapes, optimizer)
        assert again.backup.restore() == 3
        assert int(again.optimizer.iterations.numpy()) == 6
        assert_equal_arrays(values(again.optimizer.variables()), saved["optimizer"])
        assert_equal_arrays(values(again.model.variables), saved["model"])
        assert rate(again.optimizer) == saved["lr"]
        # The slots were filled by the restore itself, not left for the first update.
        assert all(np.any(v != 0) for v in values(again.optimizer.variables())[1:])


class TestRegisteredState:
    def test_trackables_and_python_state_come_back(self, tmp_path, shapes):
        run = setup(tmp_path, shapes)
        generator = tf.random.Generator.from_seed(5)
        counter, notes = tf.Variable(7), {"run": "abc", "seen": [1, 2]}
        run.backup.register("generator", generator)
        run.backup.register("counter", counter)
        run.backup.register("notes", lambda: dict(notes), notes.update)
        run.backup.save(1)
        expected = generator.normal([3]).numpy()

        again = setup(tmp_path, shapes)
        generator2, counter2, notes2 = tf.random.Generator.from_seed(99), tf.Variable(0), {}
        again.backup.register("generator", generator2)
        again.backup.register("counter", counter2)
        again.backup.register("notes", lambda: notes2, notes2.update)
        assert again.backup.restore() == 2
        np.testing.assert_array_equal(generator2.normal([3]).numpy(), expected)
        assert int(counter2.numpy()) == 7 and notes2 == notes

    def test_registration_mistakes_are_refused_clearly(self, tmp_path, shapes):
        run = setup(tmp_path, shapes)
        with pytest.raises(TypeError, match="not a TensorFlow trackable"):
            run.backup.register("plain", [1, 2])
        with pytest.raises(ValueError, match="registered already"):
            run.backup.register("data_epoch", tf.Variable(1))
        with pytest.raises(ValueError, match="identifier"):
            run.backup.register("two words", tf.Variable(1))
        run.backup.register("unsaveable", lambda: {1, 2}, lambda v: None)
        with pytest.raises(TypeError, match="not JSON-serialisable"):
            run.backup.save(1)
        assert not (tmp_path / "backup").exists()
        run.backup.restore()
        with pytest.raises(RuntimeError, match="too late"):
            run.backup.register("late", tf.Variable(1))

    def test_state_registered_on_one_side_only_is_a_mismatch(self, tmp_path, two_epochs, shapes):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        run = setup(folder, shapes)
        run.backup.register("extra", lambda: 1, lambda v: None)
        with pytest.raises(BackupMismatchError, match="registered state extra is not in"):
            run.backup.restore()


class TestBadBackups:
    def test_another_network_is_refused_and_nothing_changes(self, tmp_path, two_epochs, shapes):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        before = folder_bytes(folder)
        run = setup(folder, shapes, widths=(8, 16, 24))
        weights = values(run.model.variables)
        with pytest.raises(BackupMismatchError) as caught:
            run.backup.restore()
        message = str(caught.value)
        assert str(folder / "backup") in message and caught.value.directory == str(
            folder / "backup"
        )
        assert "shape [3, 3, 16, 24] float32 here, [3, 3, 16, 16] float32 in the backup" in message
        assert_equal_arrays(values(run.model.variables), weights)
        # Training on into the folder anyway is refused before anything is written.
        with pytest.raises(BackupError, match="did not restore"):
            train(run, shapes, 1, validate=False)
        assert folder_bytes(folder) == before

    def test_another_optimizer_is_refused(self, tmp_path, two_epochs, shapes):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        run = setup(folder, shapes, optimizer=lambda: tf.keras.optimizers.SGD(0.1))
        with pytest.raises(BackupMismatchError, match="optimizer SGD here, Adam in the backup"):
            run.backup.restore()

    @pytest.mark.parametrize(
        "damage",
        ["truncate-data", "flip-data-byte", "truncate-record", "remove-index"],
    )
    def test_a_damaged_newest_backup_falls_back_to_the_previous(
        self, tmp_path, two_epochs, shapes, damage, capsys
    ):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        backup = folder / "backup"
        data_file = backup / "ckpt-2.data-00000-of-00001"
        content = bytearray(data_file.read_bytes())
        if damage == "truncate-data":
            data_file.write_bytes(content[: len(content) // 2])
        elif damage == "flip-data-byte":
            content[len(content) // 2] ^= 0xFF
            data_file.write_bytes(content)
        elif damage == "truncate-record":
            record = (backup / "backup-2.json").read_bytes()
            (backup / "backup-2.json").write_bytes(record[: len(record) // 2])
        else:
            (backup / "ckpt-2.index").unlink()
        run = setup(folder, shapes)
        capsys.readouterr()
        assert run.backup.restore() == 2
        (line,) = capsys.readouterr().out.splitlines()
        assert line.startswith("\t - [WARNING]: damaged backup in " + str(backup))
        assert "epoch 2:" in line and line.endswith("previous complete backup, epoch 1")
        model, optimizer = two_epochs.saved[1]
        assert_equal_arrays(values(run.model.variables), model)
        assert_equal_arrays(values(run.optimizer.variables()), optimizer)
        assert [row["epoch"] for row in run.trainer.summary_rows] == [0, 1]

    def test_no_complete_backup_is_an_error_naming_the_folder(self, tmp_path, two_epochs, shapes):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        for epoch in (1, 2):
            (folder / "backup" / f"ckpt-{epoch}.index").write_bytes(b"")
        run = setup(folder, shapes)
        with pytest.raises(BackupDamagedError, match=f"no complete backup in {folder}/backup"):
            run.backup.restore()

    def test_a_missing_folder_starts_at_epoch_one_and_changes_nothing(self, tmp_path, shapes):
        run = setup(tmp_path, shapes)
        assert run.backup.restore() == 1
        assert not (tmp_path / "backup").exists()
        trainer = run.trainer
        assert (trainer.best_value, trainer.summary_rows, trainer.skip_initial_validation) == (
            0.0,
            [],
            False,
        )
        assert TrainingBackup.latest(tmp_path / "backup") is None


def test_a_backup_of_an_early_stop_is_complete_and_refuses_more_epochs(tmp_path, shapes):
    run = setup(tmp_path, shapes)
    run.backup.restore()
    run.trainer.stop_training = True  # as a handler sets it before the backup's hook
    run.backup.save(1)
    assert TrainingBackup.latest(tmp_path / "backup").stopped

    again = setup(tmp_path, shapes)
    assert again.backup.restore() == 2 and again.backup.stopped
    with pytest.raises(BackupError, match="was stopped after epoch 1 .*nothing is left"):
        train(again, shapes, 3, start=2, validate=False)
    assert not (tmp_path / "backup" / "backup-2.json").exists()


class TestKillInstants:
    """The files as a kill leaves them at each instant of the backup write."""

    def test_a_checkpoint_without_its_record_is_not_restored(self, tmp_path, two_epochs, shapes):
        # Killed after TensorFlow's save of epoch 2 completed, before its record: its
        # own "checkpoint" file already names ckpt-2.
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        (folder / "backup" / "backup-2.json").unlink()
        assert tf.train.latest_checkpoint(folder / "backup").endswith("ckpt-2")
        run = setup(folder, shapes)
        assert run.backup.restore() == 2
        assert_equal_arrays(values(run.model.variables), two_epochs.saved[1][0])
        train(run, shapes, 2, start=2, validate=False)
        assert TrainingBackup.latest(folder / "backup", verify=True).epoch == 2

    def test_leftovers_of_an_interrupted_write_are_ignored_then_removed(
        self, tmp_path, two_epochs, shapes
    ):
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        backup = folder / "backup"
        (backup / "ckpt-3_temp").mkdir()
        (backup / "ckpt-3_temp" / "part-00000-of-00001.index").write_bytes(b"partial")
        (backup / ".backup-3.json.tmp").write_text('{"epoch": 3, "chec')
        run = setup(folder, shapes)
        assert run.backup.restore() == 3
        train(run, shapes, 3, start=3, validate=False)
        left = sorted(os.listdir(backup))
        assert "ckpt-3_temp" not in left and ".backup-3.json.tmp" not in left
        assert [n for n in left if n.endswith(".json")] == ["backup-2.json", "backup-3.json"]

    def test_best_checkpoint_goes_back_to_the_backups(self, tmp_path, two_epochs, shapes):
        # Killed after a validation pass wrote a better best.h5, before the backup.
        folder = copy_of(two_epochs.folder, tmp_path / "copy")
        kept = (folder / "best.h5").read_bytes()
        (folder / "best.h5").write_bytes(b"a later network")
        run = setup(folder, shapes)
        run.backup.restore()
        assert (folder / "best.h5").read_bytes() == kept

    def test_the_record_names_a_complete_durable_checkpoint(self, two_epochs):
        record = TrainingBackup.latest(two_epochs.folder / "backup", verify=True)
        assert record.epoch == 2 and record.checkpoint.endswith("ckpt-2")
        on_disk = json.loads((two_epochs.folder / "backup" / "backup-2.json").read_text())
        for name, size in on_disk["files"].items():
            assert os.path.getsize(two_epochs.folder / "backup" / name) == size
        assert "ckpt-2.index" in on_disk["files"] and on_disk["best_copy"] == "best-2.h5"


class Recording(TessmarkTrainingCallback):
    def __init__(self):
        self.calls = []

    def __getattribute__(self, name):
        if name.startswith("on_"):
            calls = object.__getattribute__(self, "calls")
            return lambda *args, **kwargs: calls.append((name, args, kwargs))
        return object.__getattribute__(self, name)


def test_every_hook_reaches_a_handler_beside_the_backup_in_order_with_the_same_arguments(
    tmp_path, shapes
):
    direct, through = Recording(), Recording()
    run = setup(tmp_path / "a", shapes)
    run.handler = direct  # the handler alone
    train(run, shapes, 2)
    run = setup(tmp_path / "b", shapes, handler=through)
    train(run, shapes, 2)

    def shape(calls):
        return [(n, len(a), sorted(k), type(a[0]).__name__ if a else None) for n, a, k in calls]

    assert shape(through.calls) == shape(direct.calls)
    names = [n for n, _, _ in through.calls]
    assert names[:2] == ["on_train_start", "on_evaluation_start"] and names[-1] == "on_train_end"
    assert names.count("on_step_start") == 6 and names.count("on_evaluaiton_end") == 3
    (save,) = [a for n, a, _ in through.calls if n == "on_model_save"][:1]
    assert save[0] is run.model
