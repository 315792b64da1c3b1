"""The demo killed with SIGKILL and run again: it resumes and ends as the uninterrupted run.

Each kill costs a fresh interpreter importing TensorFlow and MLflow (several seconds), so
the normal suite kills one campaign four times, once in each phase (a training step, a
validation pass, a checkpoint save, the backup write); ``CORVANE_KILL_TESTS=full`` runs
eight campaigns, 32 kills.
"""

import os
import shutil
import subprocess

import pytest

from bench import resume_kills
from corvane.demo.app import parse_args
from corvane.tessmark.backup import TrainingBackup

FULL = os.environ.get("CORVANE_KILL_TESTS") == "full"
CAMPAIGNS = 8 if FULL else 1
KILLS = 4
SEED = int(os.environ.get("CORVANE_KILL_SEED", 11))
EPOCHS = 3
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def test_fresh_and_determinism_options():
    assert parse_args([]).fresh is False and parse_args([]).deterministic is True
    config = parse_args(["--fresh", "--no-deterministic"])
    assert config.fresh and not config.deterministic


def test_an_unreadable_run_file_is_an_error_not_a_new_run(tmp_path):
    from corvane.demo.resume import open_run
    from corvane.tessmark.runs import ResumeError

    (tmp_path / "run.json").write_text('{"options": {"epo')
    with pytest.raises(ResumeError, match=f"{tmp_path / 'run.json'} does not read.*--fresh"):
        open_run(tmp_path, parse_args(["--out", str(tmp_path)]))
    fresh = open_run(tmp_path, parse_args(["--out", str(tmp_path), "--fresh"]))
    assert fresh.record is None and not (tmp_path / "run.json").exists()


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    folder = tmp_path_factory.mktemp("reference")
    phases = folder / "phases"
    resume_kills.run(folder / "out", EPOCHS, integrations=True, phases=phases)
    return folder / "out", resume_kills.durations(phases)


@pytest.fixture(scope="module")
def killed(reference, tmp_path_factory):
    runs = []
    for c in range(CAMPAIGNS):
        out = tmp_path_factory.mktemp(f"killed-{c}") / "out"
        report = resume_kills.campaign(out, KILLS, SEED + c, EPOCHS, True, reference[1])
        runs.append((out, report))
    return runs


def test_every_kill_leaves_a_restorable_backup_and_the_run_ends_as_never_killed(reference, killed):
    for out, report in killed:
        assert len(report.kills) == KILLS, report.outputs
        assert sorted(target for target, _ in report.kills) == sorted(resume_kills.PHASES)
        assert report.broken == []
        # The files show that a checkpoint save was really interrupted.
        assert any(found == "checkpoint save" for _, found in report.kills)
        differences = resume_kills.compare(out, reference[0])
        assert differences == {
            "summary.csv equal": True,
            "last.h5": 0.0,
            "best.h5": 0.0,
            "training state": 0.0,
        }


def test_mlflow_and_tensorboard_histories_continue_as_one(reference, killed):
    expected = resume_kills.histories(reference[0])
    assert expected["mlflow runs"] == 1
    assert [step for step, _ in expected["mlflow mAP 0.50"]] == list(range(EPOCHS + 1))
    steps = [step for step, _ in expected["tensorboard train/total-loss"]]
    assert steps == list(range(EPOCHS * 6))
    for out, _ in killed:
        # A repeated epoch logs its metrics again at the same step, with the same values.
        assert resume_kills.histories(out) == expected


def test_dvclive_keeps_every_segment_and_the_closing_lines_say_where(killed):
    from corvane.tessmark.runs import dvclive_segments

    out, report = killed[0]
    segments = dvclive_segments(out)
    assert segments[0] == out / "dvclive" and len(segments) >= 2
    assert all((s / "params.yaml").is_file() for s in segments)
    final = report.outputs[-1]
    assert any(
        line in final
        for line in ("Resuming from the backup of epoch", "Restarting the run", "is complete")
    ), final
    (line,) = [line for line in final.splitlines() if "DVCLive:" in line]
    assert str(out / "dvclive") in line


def demo(out, *options):
    command = resume_kills.demo_command(out, EPOCHS, integrations=True)
    return subprocess.run(
        command + list(options),
        cwd=out.parent,
        env=resume_kills.demo_env(out),
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_the_same_command_after_the_end_does_nothing_and_other_options_are_refused(killed):
    out = killed[0][0]
    before = (out / "checkpoints" / "summary.csv").read_bytes()
    again = demo(out)
    assert again.returncode == 0, again.stderr[-2000:]
    assert f"The training is complete: {out / 'backup'} holds its epoch {EPOCHS}" in again.stdout
    assert (out / "checkpoints" / "summary.csv").read_bytes() == before

    elsewhere = f"sqlite:///{out.parent}/other.db"
    moved = subprocess.run(
        resume_kills.demo_command(out, EPOCHS, integrations=True),
        cwd=out.parent,
        env=dict(resume_kills.demo_env(out), MLFLOW_TRACKING_URI=elsewhere),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert moved.returncode == 2 and f"which {elsewhere} does not hold" in moved.stderr

    other = demo(out, "--seed", "5")
    assert other.returncode == 2
    assert f"{out} holds a run with other options" in other.stderr
    assert "--seed 0 there, 5 here" in other.stderr and "--fresh" in other.stderr


def test_fresh_discards_the_backup_and_starts_over(killed, tmp_path):
    out = shutil.copytree(killed[0][0], tmp_path / "out")
    done = demo(out, "--fresh", "--epochs", "1")
    assert done.returncode == 0, done.stderr[-2000:]
    assert f"Discarded the backup in {out / 'backup'} (--fresh)" in done.stdout
    assert "Resuming" not in done.stdout and "Restarting" not in done.stdout
    assert TrainingBackup.latest(out / "backup").epoch == 1
    from corvane.tessmark.runs import dvclive_segments

    assert dvclive_segments(out) == [out / "dvclive"]
    import mlflow

    client = mlflow.MlflowClient(tracking_uri=f"sqlite:///{out}/mlflow.db")
    experiment = client.get_experiment_by_name("corvane-demo").experiment_id
    assert len(client.search_runs([experiment])) == 2
    assert len(list((out / "tensorboard").iterdir())) == 2


@pytest.mark.parametrize(
    "detector",
    [
        pytest.param(
            "grid",
            marks=pytest.mark.skipif(
                not FULL,
                reason="about 45 s; the pyramid's case and the other kill tests here cover "
                "resume in the normal suite (CORVANE_KILL_TESTS=full runs it)",
            ),
        ),
        "pyramid",
    ],
)
def test_mixed_precision_the_moving_average_and_warmup_resume_exactly(tmp_path, detector):
    """Killed after its first backup and run again, the run ends as the one never killed:
    the loss scale, the average and the warmup's position all come back."""
    import sys

    options = ["--mixed-precision", "--ema", "--warmup-steps", "5", "--no-mlflow", "--no-dvclive"]
    options += ["--detector", detector]

    def command(out):
        return [sys.executable, "-m", "corvane.demo", "--quick", "--epochs", "2", "--out", str(out)]

    def run(out):
        done = subprocess.run(
            command(out) + options,
            cwd=tmp_path,
            env=resume_kills.demo_env(out),
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, done.stderr[-2000:]
        return done.stdout

    run(tmp_path / "whole")
    cut = tmp_path / "cut"
    process = subprocess.Popen(
        command(cut) + options,
        cwd=tmp_path,
        env=resume_kills.demo_env(cut),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    resume_kills.kill_after_backup(process, cut)
    assert not (cut / "backup" / "backup-2.json").exists()
    assert "Resuming from the backup of epoch 1" in run(cut)
    assert resume_kills.compare(cut, tmp_path / "whole") == {
        "summary.csv equal": True,
        "last.h5": 0.0,
        "best.h5": 0.0,
        "training state": 0.0,
    }
