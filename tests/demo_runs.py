"""The demo run as a command, and the parts of its summary that tests compare.

Training numbers are repeatable on one CPU, not across CPUs (oneDNN picks its kernels by
the CPU's features), so a stored reference holds only what no float kernel decides: the
columns and the epochs. Numbers are compared between runs made in the same session.
"""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

LAYOUT = Path(__file__).resolve().parent / "data" / "demo-summary-layout.json"


# The options of the quick runs that tests compare with each other: the grid, which learns
# something in their 12 steps, where the pyramid finds nothing yet.
QUICK_RUN = ("--quick", "--epochs", "2", "--seed", "3", "--no-mlflow", "--no-dvclive")
QUICK_RUN += ("--detector", "grid")


def run_demo_command(*args, cwd):
    """``python -m corvane.demo ARGS`` in ``cwd``; its standard output."""
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]))
    env["TF_CPP_MIN_LOG_LEVEL"] = "3"
    command = [sys.executable, "-m", "corvane.demo", *map(str, args)]
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def read_summary(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def stored_layout(name):
    """The columns and epochs that the summary of the run ``name`` must have."""
    return json.loads(LAYOUT.read_text())[name]


def layout(rows):
    return {"columns": list(rows[0]), "epochs": [int(row["epoch"]) for row in rows]}


def assert_same_numbers(ours, theirs, tolerance=1e-6):
    """Two summaries of the same training agree row by row, column by column."""
    assert layout(ours) == layout(theirs)
    for row, expected in zip(ours, theirs, strict=True):
        for key, value in expected.items():
            assert float(row[key]) == pytest.approx(float(value), abs=tolerance), key
