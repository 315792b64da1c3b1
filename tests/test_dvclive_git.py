"""DVCLive inside a user's git repository: the repository is never damaged."""

import json
import os
import subprocess

import pytest
from doubles import Evaluator, Recorder, make_handler, make_trainer, metrics_for, sample

from corvane.tessmark import worktree

dvclive = pytest.importorskip("dvclive", reason="dvclive is not installed")


def git(repo, *args):
    return subprocess.run(
        ["git", "-C", str(repo), *args], capture_output=True, text=True, timeout=60
    )


@pytest.fixture
def repo(tmp_path, monkeypatch):
    """A git repository with one commit; the working folder is a folder inside it."""
    root = tmp_path / "repo"
    (root / "work").mkdir(parents=True)
    assert git(root, "init", "-q").returncode == 0
    git(root, "config", "user.email", "test@example.com")
    git(root, "config", "user.name", "test")
    (root / "README").write_text("user's project\n")
    git(root, "add", "README")
    assert git(root, "commit", "-q", "-m", "start").returncode == 0
    monkeypatch.chdir(root / "work")
    for name in ("DVC_REPORT", "CI", "DVC_ROOT", "DVC_EXP_BASELINE_REV", "DVCLIVE_TEST"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("DVC_NO_ANALYTICS", "1")
    monkeypatch.setenv("DVC_STUDIO_OFFLINE", "true")
    return root


def run(impl, tmp_path, output):
    rec = Recorder()
    trainer = make_trainer(impl, rec, tmp_path / "ckpt", display=0, dvclive_output=str(output))
    trainer.train(
        1,
        train_ds=["batch0"],
        val_ds=[sample(0)],
        evaluator=Evaluator(rec),
        callback_handler=make_handler(rec),
    )
    return trainer


def logged_metrics(output):
    return json.loads((output / "metrics.json").read_text())


def test_output_outside_the_work_tree_logs_without_an_experiment(impl, repo, tmp_path, capsys):
    output = tmp_path / "elsewhere" / "dvclive"
    run(impl, tmp_path, output)  # returns normally: nothing raised at Live.end()

    out = capsys.readouterr().out
    warnings = [line for line in out.splitlines() if "[WARNING]" in line]
    assert warnings == [worktree.dvc_experiment_refusal(output).strip("\n")]
    assert warnings[0].startswith("\t - [WARNING]: DVCLive output ")
    assert str(repo) in warnings[0]
    fsck = git(repo, "fsck", "--strict")
    assert fsck.returncode == 0 and "dotdot" not in (fsck.stdout + fsck.stderr).lower()
    staged = git(repo, "ls-files", "--stage").stdout.splitlines()
    assert staged and not [line for line in staged if ".." in line.split("\t")[-1]]
    assert git(repo, "for-each-ref", "refs/exps").stdout == ""
    assert logged_metrics(output)["mAP 0.50"] == metrics_for(1)["mAP"]["0.5"]


def test_output_inside_the_work_tree_saves_the_experiment(impl, repo, tmp_path, capsys):
    output = repo / "work" / "dvclive"
    run(impl, tmp_path, output)

    assert "[WARNING]" not in capsys.readouterr().out
    assert git(repo, "for-each-ref", "refs/exps").stdout.strip()
    assert git(repo, "fsck", "--strict").returncode == 0
    assert logged_metrics(output)["mAP 0.50"] == metrics_for(1)["mAP"]["0.5"]


def test_work_tree_and_refusal_follow_links_and_relative_paths(tmp_path):
    root = tmp_path / "repo"
    (root / ".git").mkdir(parents=True)
    (root / "a" / "b").mkdir(parents=True)
    os.symlink(tmp_path / "outside", root / "a" / "link")
    assert worktree.work_tree_of(root / "a" / "b") == str(root)
    assert worktree.work_tree_of(tmp_path) is None
    cwd = str(root / "a")
    assert worktree.dvc_experiment_refusal("b/live", cwd=cwd) is None
    # A link inside the tree that leads out of it is outside for git too.
    assert worktree.dvc_experiment_refusal("link/live", cwd=cwd) is not None
    assert worktree.dvc_experiment_refusal("../../../x", cwd=cwd) is not None
    assert worktree.dvc_experiment_refusal("x", cwd=str(tmp_path)) is None
