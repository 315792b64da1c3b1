"""Checkpoints stay loadable when the saving process is killed at any moment."""

import os

import tensorflow as tf

from bench.kill_safety import kill_repeatedly, save_once, temporaries, unloadable

# Every kill costs a fresh interpreter importing TensorFlow, a few seconds each, so the
# full count is opt-in.
FULL = os.environ.get("CORVANE_KILL_TESTS") == "full"
KILLS = int(os.environ.get("CORVANE_KILLS", 50 if FULL else 8))
SEED = int(os.environ.get("CORVANE_KILL_SEED", 7))


def test_checkpoints_survive_kills_and_the_next_save_leaves_no_temporary(tmp_path):
    folder = str(tmp_path)
    result = kill_repeatedly(folder, "crash-safe", KILLS, SEED, max_delay=0.3)
    assert result.damage == [[]] * KILLS

    # Besides whatever the kills left: one leftover of a process known to be dead, and
    # one of a running process, which may still be writing it.
    dead = f".last.h5.{result.pids[0]}-1.tmp.h5"
    running = f".best.h5.{os.getpid()}-1.tmp.h5"
    for name in (dead, running):
        with open(tmp_path / name, "wb") as f:
            f.write(b"partial")
    save_once(folder)
    assert temporaries(folder) == [running]

    assert unloadable(folder) == []
    for name in ("last.h5", "best.h5"):
        model = tf.keras.models.load_model(tmp_path / name, compile=False)
        assert len(model.outputs) == 1 and model.output_shape == (None, 16, 16, 3)
