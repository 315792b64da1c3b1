"""What a run shows on the console: the bars and the trainer's lines, and every library
message but the two that each checkpoint save or load repeats, for any application."""

import os
import subprocess
import sys
from pathlib import Path

import corvane

# Runs the demo with hooks that raise a genuine TensorFlow warning (a deprecation, through
# TensorFlow's logger) and another UserWarning mid-run.
DEMO = """
import sys, warnings
import tensorflow as tf
from corvane.demo import app, resume

class Marks(resume.PhaseMarks):
    def on_epoch_end(self, losses, metrics):
        tf.test.is_gpu_available()
        warnings.warn("a UserWarning of the application's own", UserWarning)
        super().on_epoch_end(losses, metrics)

resume.PhaseMarks = Marks
assert app.main(sys.argv[1:]) == 0
"""
# A save and a load of a checkpoint by an application, with or without the library.
SAVE_AND_LOAD = """
import sys
import tensorflow as tf
if sys.argv[2] == "library":
    import corvane.tessmark.trainer.detection
model = tf.keras.models.load_model(sys.argv[1])
model.save(sys.argv[1] + ".again.h5")
tf.get_logger().warning("another message of TensorFlow's logger")
"""
HDF5 = "saving your model as an HDF5 file"
COMPILED = "Compiled the loaded model"


def run(tmp_path, *command):
    # One stream, unbuffered, so that the console's order is kept.
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]), PYTHONUNBUFFERED="1")
    env.pop("TF_CPP_MIN_LOG_LEVEL", None)
    done = subprocess.run(
        [sys.executable, *command],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout[-3000:]
    return done.stdout


def test_a_run_shows_bars_and_trainer_lines_but_not_the_checkpoint_chatter(tmp_path):
    out = tmp_path / "out"
    options = ["--quick", "--epochs", "1", "--no-dvclive", "--no-mlflow", "--out", str(out)]
    console = run(tmp_path, "-c", DEMO, *options)
    assert COMPILED not in console and HDF5 not in console
    for kept in (
        "Epoch 1",
        "Running Validation",
        "\t - Saving best iteration checkpoint at : ",
        "\t - [INFO] Saving model with improved map from 0.0 to ",
        "is_gpu_available (from tensorflow.python.framework.test_util) is deprecated",
        "UserWarning: a UserWarning of the application's own",
    ):
        assert kept in console, kept

    # Both messages are real, and the library drops exactly them in any application.
    checkpoint = str(out / "checkpoints" / "last.h5")
    plain = run(tmp_path, "-c", SAVE_AND_LOAD, checkpoint, "plain")
    assert COMPILED in plain and HDF5 in plain
    quiet = run(tmp_path, "-c", SAVE_AND_LOAD, checkpoint, "library")
    assert COMPILED not in quiet and HDF5 not in quiet
    assert "another message of TensorFlow's logger" in quiet


def test_each_trainer_puts_the_filter_back_but_leaves_an_applications_own():
    import warnings

    from corvane.validator.writers import TrainingTensorBoardWriter

    message = "You are saving your model as an HDF5 file via `model.save()`. Legacy."
    with warnings.catch_warnings(record=True) as shown:
        warnings.resetwarnings()  # as a warnings block may leave them
        TrainingTensorBoardWriter(None)  # what every trainer's constructor makes
        warnings.warn(message, UserWarning, stacklevel=1)
        warnings.warn("another UserWarning", UserWarning, stacklevel=1)
        assert [str(w.message) for w in shown] == ["another UserWarning"]

        warnings.resetwarnings()
        warnings.filterwarnings("always", message="You are saving your model as an HDF5")
        TrainingTensorBoardWriter(None)
        warnings.warn(message, UserWarning, stacklevel=1)
        assert str(shown[-1].message) == message
