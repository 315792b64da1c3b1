"""Where the git work tree around a folder is, and when DVCLive must not save an experiment.

DVCLive saves a DVC experiment of the git repository that holds the working folder. When
its output folder lies outside that work tree, saving stages paths beginning with "../"
into the repository's index, which corrupts it (``git fsck``: "hasDotdot"), and then
fails at ``Live.end()``. ``DetectionTrainer.train`` asks :func:`dvc_experiment_refusal`
before it creates its ``Live`` and logs without an experiment in that case.
"""

from __future__ import annotations

import os


def work_tree_of(path: str | os.PathLike) -> str | None:
    """The root of the git work tree holding ``path`` (a ``.git`` folder or file), or None."""
    current = os.path.realpath(path)
    while True:
        if os.path.exists(os.path.join(current, ".git")):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


def _inside(path: str, folder: str) -> bool:
    return os.path.commonpath([path, folder]) == folder


def dvc_experiment_refusal(output: str | os.PathLike, cwd: str | None = None) -> str | None:
    """The warning line to print when DVCLive writing to ``output`` must not save a DVC
    experiment, or None when saving one is safe (or DVCLive turns it off by itself, as it
    does outside any git repository)."""
    cwd = os.getcwd() if cwd is None else cwd
    root = work_tree_of(cwd)
    if root is None:
        return None
    target = os.path.realpath(os.path.join(cwd, os.fspath(output)))
    if _inside(target, root):
        return None
    return (
        f"\t - [WARNING]: DVCLive output {target} is outside the git work tree {root} of the "
        "working folder, so no DVC experiment is saved: it would stage paths outside that "
        "repository and corrupt its index"
    )
