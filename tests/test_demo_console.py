"""What a demo run shows on the console: the bars and the trainer's lines, and every library
message but the two that each checkpoint save repeats."""

import os
import subprocess
import sys
from pathlib import Path

import corvane

# Runs the demo with hooks that raise a genuine TensorFlow warning (a deprecation, through
# TensorFlow's logger) and another UserWarning mid-run; after the run, a save and a load
# outside the demo show that both filtered messages are real and the filters are gone.
SCRIPT = """
import sys, warnings
import tensorflow as tf
from corvane.demo import app, resume

class Handler(resume.DemoHandler):
    def on_epoch_end(self, losses, metrics):
        tf.test.is_gpu_available()
        warnings.warn("a UserWarning of the application's own", UserWarning)
        super().on_epoch_end(losses, metrics)

resume.DemoHandler = Handler
assert app.main(sys.argv[1:]) == 0
model = tf.keras.models.load_model(sys.argv[-1] + "/checkpoints/last.h5")
model.save(sys.argv[-1] + "/again.h5")
"""


def test_quick_run_shows_bars_and_trainer_lines_but_not_the_save_chatter(tmp_path):
    out = tmp_path / "out"
    # One stream, unbuffered, so that the console's order is kept.
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]), PYTHONUNBUFFERED="1")
    env.pop("TF_CPP_MIN_LOG_LEVEL", None)
    command = [sys.executable, "-c", SCRIPT, "--quick", "--epochs", "1"]
    command += ["--no-dvclive", "--no-mlflow", "--out", str(out)]
    done = subprocess.run(
        command,
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=600,
    )
    console = done.stdout
    assert done.returncode == 0, console[-3000:]
    during, after = console.split("\t - [INFO] Final validation")

    assert "Compiled the loaded model" not in during
    assert "saving your model as an HDF5 file" not in during
    assert "Compiled the loaded model" in after and "saving your model as an HDF5 file" in after
    for kept in (
        "Epoch 1",
        "Running Validation",
        "\t - Saving best iteration checkpoint at : ",
        "\t - [INFO] Saving model with improved map from 0.0 to ",
        "is_gpu_available (from tensorflow.python.framework.test_util) is deprecated",
        "UserWarning: a UserWarning of the application's own",
    ):
        assert kept in during, kept
