"""Handler composition and early stopping: CallbackList's order and refusals, EarlyStopping's
patience, and both driving the compiled loop."""

import types

import pytest
from doubles import Dataset, Evaluator, Recorder, make_trainer, sample

from corvane.tessmark.backup import TrainingBackup
from corvane.tessmark.callbacks import CallbackList, EarlyStopping, TessmarkTrainingCallback


class Calls(TessmarkTrainingCallback):
    def __init__(self, name, log):
        self.name, self.log = name, log

    def __getattribute__(self, attr):
        if attr.startswith("on_"):
            log, name = object.__getattribute__(self, "log"), object.__getattribute__(self, "name")
            return lambda *args, **kwargs: log.append((name, attr, args, kwargs))
        return object.__getattribute__(self, attr)


class TestCallbackList:
    def test_each_hook_reaches_every_handler_in_order_with_its_arguments(self):
        log = []
        handlers = CallbackList([Calls("a", log), Calls("b", log)])
        model, losses, metrics = object(), {"total-loss": 1.0}, {"mAP": {}}
        handlers.on_train_start(epochs=3)
        handlers.on_model_save(model)
        handlers.on_step_end(losses=losses, lr=0.1)
        handlers.on_epoch_end(losses=losses, metrics=metrics)
        assert log == [
            ("a", "on_train_start", (), {"epochs": 3}),
            ("b", "on_train_start", (), {"epochs": 3}),
            ("a", "on_model_save", (model,), {}),
            ("b", "on_model_save", (model,), {}),
            ("a", "on_step_end", (), {"losses": losses, "lr": 0.1}),
            ("b", "on_step_end", (), {"losses": losses, "lr": 0.1}),
            ("a", "on_epoch_end", (), {"losses": losses, "metrics": metrics}),
            ("b", "on_epoch_end", (), {"losses": losses, "metrics": metrics}),
        ]

    def test_missing_hooks_are_skipped_and_a_failing_hook_stops_the_rest(self):
        seen = []

        class OnlyEpochs:
            def on_epoch_start(self, epoch):
                seen.append(epoch)
                if epoch == 2:
                    raise RuntimeError("no")

        after = Calls("after", seen)
        handlers = CallbackList([OnlyEpochs(), after])
        handlers.on_train_start(epochs=1)  # OnlyEpochs has no such hook
        handlers.on_epoch_start(epoch=1)
        with pytest.raises(RuntimeError):
            handlers.on_epoch_start(epoch=2)
        assert seen == [
            ("after", "on_train_start", (), {"epochs": 1}),
            1,
            ("after", "on_epoch_start", (), {"epoch": 1}),
            2,
        ]

    def test_a_handler_that_runs_last_must_stand_last(self):
        trainer = types.SimpleNamespace(role=None)
        backup = TrainingBackup(trainer, "unused")
        CallbackList([TessmarkTrainingCallback(), backup])
        with pytest.raises(ValueError, match="TrainingBackup must be the last handler.*Early"):
            CallbackList([backup, EarlyStopping(1)])
        handlers = CallbackList([backup])
        with pytest.raises(ValueError, match="must be the last"):
            handlers.append(TessmarkTrainingCallback())

    def test_the_trainer_reaches_every_handler_that_asks_for_it(self):
        trainer, stopping = object(), EarlyStopping(2)
        CallbackList([TessmarkTrainingCallback(), stopping], trainer=trainer)
        assert stopping.trainer is trainer

    def test_the_backup_no_longer_takes_a_handler_and_says_what_to_do(self):
        with pytest.raises(TypeError, match=r"CallbackList\(\[handler, backup\]\)"):
            TrainingBackup(object(), "unused", handler=TessmarkTrainingCallback())


def passes(stopping, trainer, values, first_epoch=1):
    """Feeds one validation pass per epoch whose best value so far is each of ``values``;
    the epochs after which the handler stopped the training."""
    stopped = []
    for epoch, value in enumerate(values, start=first_epoch):
        stopping.on_epoch_start(epoch=epoch)
        trainer.best_value = value
        stopping.on_evaluaiton_end(metrics={})
        stopping.on_epoch_end(losses={}, metrics={})
        if getattr(trainer, "stop_training", False):
            stopped.append(epoch)
            trainer.stop_training = False
    return stopped


class TestEarlyStopping:
    def trainer(self):
        return types.SimpleNamespace(best_value=0.0, metric="map")

    @pytest.mark.parametrize(
        "patience, min_delta, values, stopped",
        [
            (1, 0.0, [0.1, 0.2, 0.2], [3]),  # a tie is no improvement
            (2, 0.0, [0.1, 0.2, 0.2, 0.3, 0.3, 0.3], [6]),
            (2, 0.05, [0.1, 0.12, 0.14, 0.2], [3]),  # small steps do not reset the count
            (3, 0.0, [0.1, 0.2, 0.3, 0.4], []),
        ],
    )
    def test_stops_after_patience_passes_without_improvement(
        self, patience, min_delta, values, stopped, capsys
    ):
        trainer, stopping = self.trainer(), EarlyStopping(patience, min_delta)
        stopping.set_trainer(trainer)
        assert passes(stopping, trainer, values)[:1] == stopped
        if stopped:
            assert stopping.stopped_epoch == stopped[0]
            line = capsys.readouterr().out
            assert line.startswith(f"\t - [INFO] Early stopping after epoch {stopped[0]}: map ")

    def test_its_state_resumes_the_count(self):
        trainer = self.trainer()
        whole = EarlyStopping(3)
        whole.set_trainer(trainer)
        assert passes(whole, trainer, [0.1, 0.2, 0.2, 0.2, 0.2]) == [5]

        first, second = EarlyStopping(3), EarlyStopping(3)
        first.set_trainer(trainer)
        second.set_trainer(trainer)
        assert passes(first, trainer, [0.1, 0.2, 0.2]) == []
        second.set_state(first.get_state())
        assert passes(second, trainer, [0.2, 0.2], first_epoch=4) == [5]

    def test_refusals(self):
        for patience in (0, -1, 1.5):
            with pytest.raises(ValueError, match="patience"):
                EarlyStopping(patience)
        with pytest.raises(ValueError, match="min_delta"):
            EarlyStopping(1, min_delta=-0.1)
        with pytest.raises(RuntimeError, match=r"trainer=trainer"):
            EarlyStopping(1).on_train_start(epochs=3)


def test_the_compiled_loop_stops_where_early_stopping_says(tmp_path, capsys):
    from corvane.tessmark.trainer import detection

    rec = Recorder()
    constant = {
        "OP": 0.5,
        "OR": 0.5,
        "OA": 0.5,
        **{name: {"0.5": 0.25, "0.75": 0.25, "0.5:0.95": 0.25} for name in ("mAP", "mAR", "mACC")},
    }
    trainer = make_trainer(detection, rec, tmp_path, display=0)
    evaluator = Evaluator(rec, metrics=constant)
    epochs = []

    class Epochs(TessmarkTrainingCallback):
        def on_epoch_start(self, epoch):
            epochs.append(epoch)

        def on_train_end(self):
            epochs.append("end")

    stopping = EarlyStopping(2)
    trainer.train(
        6,
        Dataset(rec, "train_ds", ["b"]),
        Dataset(rec, "val_ds", [sample(0)]),
        evaluator,
        callback_handler=CallbackList([Epochs(), stopping], trainer=trainer),
    )
    # The initial pass sets the reference; epochs 1 and 2 do not beat it.
    assert epochs == [1, 2, "end"] and stopping.stopped_epoch == 2
    assert [row["epoch"] for row in trainer.summary_rows] == [0, 1, 2]
    assert trainer.stop_training is True
    assert "Early stopping after epoch 2" in capsys.readouterr().out


def test_run_progress_estimates_from_this_process_epochs_only():
    """A run resumed at epoch 3 of 5: the initial pass (5 s) counts as elapsed but not in
    the estimate, which is the mean of the epochs trained here times those left."""
    from corvane.tessmark.callbacks import RunProgress

    now, lines = [0.0], []
    progress = RunProgress(5, write=lines.append, clock=lambda: now[0])
    progress.on_train_start(epochs=5)
    now[0] = 5.0
    for epoch, seconds in ((3, 10.0), (4, 30.0), (5, 20.0)):
        progress.on_epoch_start(epoch=epoch)
        now[0] += seconds
        progress.on_epoch_end(losses={}, metrics={})
    assert lines == [
        "\t - [INFO] Epoch 3 of 5 done: 0:00:15 elapsed, about 0:00:20 left for the run",
        "\t - [INFO] Epoch 4 of 5 done: 0:00:45 elapsed, about 0:00:20 left for the run",
        "\t - [INFO] Epoch 5 of 5 done: 0:01:05 elapsed",
    ]
