"""Where the demo's runs go: a new folder under ./runs for every command, ``--resume`` for
the newest unfinished one, and the lines that say what a run is and how far it got."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from bench import resume_kills
from corvane.demo.app import parse_args
from corvane.demo.resume import run_options, unfinished_run
from corvane.tessmark.runs import new_run_folder

OPTIONS = ["--quick", "--epochs", "2"]
LIBRARY_FILES = {".keras/keras.json", ".cache/matplotlib/fontlist-v390.json"}


def demo(cwd, env, *args, popen=False):
    command = [sys.executable, "-m", "corvane.demo", *OPTIONS, *args]
    if popen:
        quiet = subprocess.DEVNULL
        return subprocess.Popen(command, cwd=cwd, env=env, stdout=quiet, stderr=quiet)
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def test_every_command_trains_a_new_run_and_resume_finishes_a_killed_one(tmp_path):
    """Two commands in a row both train, each into its own folder, with nothing written
    outside the working folder; a killed one ends, with --resume, as the one never killed."""
    pytest.importorskip("corvane.tessmark.trainer.detection")
    work, home = tmp_path / "work", tmp_path / "home"
    work.mkdir(), home.mkdir()
    env = resume_kills.demo_env(work)
    # The defaults: MLflow's store in the run folder, DVCLive on (outside git).
    env.pop("MLFLOW_TRACKING_URI")
    env.update(HOME=str(home), XDG_CACHE_HOME=str(home / ".cache"))

    first = demo(work, env, "--export", "tflite")
    runs = work / "runs"
    exported = runs / "demo" / "checkpoints" / "best.tflite"
    assert f"Exported {exported}: TFLite (float32)" in first
    assert f"output: {runs / 'demo'}" in first
    assert "data: the built-in shapes, 96 training and 16 validation images, 3 classes" in first
    assert "Training on the CPU (no strategy)" in first
    assert "Epoch 1 of 2 done: " in first and ", about " in first
    assert "Epoch 2 of 2 done: " in first
    # The trainer's own lines are all still there, in their order.
    assert first.index("Saving best iteration checkpoint at") < first.index("Final validation")

    killed = demo(work, env, popen=True)
    second = runs / "demo-2"
    resume_kills.kill_after_backup(killed, second)
    assert not (second / "backup" / "backup-2.json").exists()

    resumed = demo(work, env, "--resume")
    assert f"Resuming from the backup of epoch 1 in {second / 'backup'}" in resumed
    assert sorted(p.name for p in runs.iterdir()) == ["demo", "demo-2"]
    assert resume_kills.compare(second, runs / "demo")["summary.csv equal"]
    # A finished run is not resumed again.
    assert unfinished_run(runs, "demo") is None
    assert sorted(p.name for p in work.iterdir()) == ["runs"]
    # Only the libraries' own caches and settings, the same for every program using them.
    written = {str(p.relative_to(home)) for p in home.rglob("*") if p.is_file()}
    assert written <= LIBRARY_FILES, written


class TestRunFolders:
    def test_numbers_follow_the_highest_and_creation_is_exclusive(self, tmp_path):
        assert new_run_folder(tmp_path, "demo") == tmp_path / "demo"
        (tmp_path / "demo-7").mkdir()
        (tmp_path / "demo-x").mkdir()
        (tmp_path / "demonstration").mkdir()
        assert new_run_folder(tmp_path, "demo") == tmp_path / "demo-8"
        assert new_run_folder(tmp_path, "demo") == tmp_path / "demo-9"

    def test_resume_takes_the_newest_unfinished_run_and_its_options(self, tmp_path, monkeypatch):
        from corvane.tessmark.runs import TrainingRun

        monkeypatch.chdir(tmp_path)
        with pytest.raises(SystemExit):
            parse_args(["--resume"])
        for name, epochs in (("demo", 3), ("demo-2", 4), ("demo-3", 5)):
            config = parse_args(["--epochs", str(epochs), "--image-size", "96"])
            TrainingRun(tmp_path / "runs" / name, run_options(config)).started()
        # No backup yet in any of them: all unfinished; the newest wins.
        folder, options = unfinished_run(tmp_path / "runs", "demo")
        assert folder.name == "demo-3" and options["epochs"] == 5
        config = parse_args(["--resume"])
        assert (config.out, config.epochs, config.image_size) == (str(folder), 5, 96)
        assert parse_args(["--resume", "--epochs", "5"]).epochs == 5

    def test_resume_refuses_options_that_differ_from_the_runs(self, tmp_path, monkeypatch, capsys):
        from corvane.tessmark.runs import TrainingRun

        monkeypatch.chdir(tmp_path)
        TrainingRun(tmp_path / "runs" / "demo", run_options(parse_args([]))).started()
        with pytest.raises(SystemExit):
            parse_args(["--resume", "--seed", "4"])
        assert "--seed 0 there, 4 here" in capsys.readouterr().err
        with pytest.raises(SystemExit):
            parse_args(["--resume", "--batch-size", "8"])
        assert "--batch-size 32 there, 8 here" in capsys.readouterr().err
        # The run's own batch size, also where --quick would pick another.
        quick = run_options(parse_args(["--quick", "--batch-size", "8"]))
        TrainingRun(tmp_path / "runs" / "demo-2", quick).started()
        assert parse_args(["--resume"]).batch_size == 8

    def test_runs_recorded_before_the_later_options_still_go_on(self):
        options = run_options(parse_args([]))
        assert "image_size" not in options and "data" not in options
        assert run_options(parse_args(["--image-size", "128"]))["image_size"] == 128

    @pytest.mark.parametrize(
        "args, message",
        [
            (["--resume", "--out", "x"], "--resume finds the run"),
            (["--resume", "--fresh"], "give one"),
            (["--image-size", "100"], "multiple of 8"),
            (["--data", "t.json"], "needs --val"),
            (["--data", "data.yaml", "--val", "v.json"], "--val is for COCO"),
            (["--export-yolo", "d", "--export-voc", "e"], "one of"),
        ],
    )
    def test_inconsistent_options_are_refused(self, args, message, capsys):
        with pytest.raises(SystemExit):
            parse_args(args)
        assert message in capsys.readouterr().err


def test_the_default_is_the_working_folder_never_a_shared_one(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    config = parse_args([])
    assert config.out is None and not config.resume
    assert not os.path.exists(Path(tmp_path) / "runs")  # made when a run starts, not before
