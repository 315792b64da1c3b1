"""Checkpoints under SIGKILL: the trainer's save_model against a plain in-place model.save.

A child process builds a small Keras network and saves `last.h5` and `best.h5` in a loop
with rising values, so both files are rewritten on every round; the parent kills it at a
seeded random moment after its first save, then tries to load every checkpoint present.
A file that is present but does not load is corrupted. The next child saves into the same
folder, as a restarted training would.

    .venv/bin/python bench/kill_safety.py [--kills 60] [--seed 7] [--max-delay 0.3]
"""

import argparse
import itertools
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CHECKPOINTS = ("last.h5", "best.h5")
MODES = ("crash-safe", "in-place")
TEMP_SUFFIX = ".tmp.h5"


def child(folder, mode, once):
    """Save until killed (or once): the body of every child process."""
    import tensorflow as tf

    from corvane.tessmark.trainer.detection import DetectionTrainer

    markers, sys.stdout = sys.stdout, open(os.devnull, "w")  # a full pipe would stall saving
    tf.keras.utils.set_random_seed(0)
    image = tf.keras.Input((16, 16, 3))
    x = tf.keras.layers.Conv2D(8, 3, padding="same")(image)
    heads = [tf.keras.layers.Conv2D(c, 1)(x) for c in (5, 2, 3)]
    logger = types.SimpleNamespace(writer=None)
    trainer = DetectionTrainer(
        tf.keras.Model(image, heads),
        None,
        tf.keras.optimizers.SGD(0.01),
        None,
        logger,
        folder,
        classes=["a"],
    )
    export = trainer.remove_training_outputs()
    print("ready", file=markers, flush=True)
    # Held back, so that a prepared child never races the saving one; a parent gone
    # before giving the word leaves nothing to save for.
    if not sys.stdin.readline():
        return
    for value in itertools.count():
        if mode == "crash-safe":
            trainer.save_model(float(value))
        else:
            export.save(trainer.last)
            export.save(trainer.best)
        if value == 0:
            print("saved", file=markers, flush=True)
        if once:
            return


class Child:
    """A child process started at once, told to begin saving later."""

    def __init__(self, folder, mode, once=False):
        self.log = tempfile.TemporaryFile()
        command = [sys.executable, "-m", "bench.kill_safety", "--child", folder, "--mode", mode]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), str(ROOT)]))
        env.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        self.proc = subprocess.Popen(
            command + (["--once"] if once else []),
            cwd=ROOT,
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            bufsize=0,
        )

    def expect(self, marker, timeout=300):
        if select.select([self.proc.stdout], [], [], timeout)[0]:
            if self.proc.stdout.readline().decode().strip() == marker:
                return
        self.proc.kill()
        self.proc.wait()
        self.log.seek(0)
        tail = self.log.read().decode(errors="replace")[-3000:]
        raise RuntimeError(f"child gave no {marker!r} (exit {self.proc.returncode}):\n{tail}")

    def start(self):
        self.expect("ready")
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.flush()
        self.expect("saved")

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.close()

    def close(self):
        self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.log.close()


def unloadable(folder):
    """The checkpoints present in `folder` that tf.keras cannot load."""
    import tensorflow as tf

    bad = []
    for name in CHECKPOINTS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            try:
                tf.keras.models.load_model(path, compile=False)
            except Exception:
                bad.append(name)
    return bad


def temporaries(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(TEMP_SUFFIX))


def kill_repeatedly(folder, mode, kills, seed, max_delay):
    """Kill `kills` children at random moments; per kill, the checkpoints left unloadable."""
    rng = random.Random(seed)
    damage, leftovers, pids = [], 0, []
    upcoming = Child(folder, mode)
    try:
        for k in range(kills):
            # The next child imports TensorFlow while this one saves.
            current, upcoming = upcoming, Child(folder, mode) if k + 1 < kills else None
            current.start()
            time.sleep(rng.uniform(0, max_delay))
            current.kill()
            pids.append(current.proc.pid)
            damage.append(unloadable(folder))
            leftovers += bool(temporaries(folder))
    finally:
        if upcoming:
            upcoming.kill()
    return types.SimpleNamespace(damage=damage, kills_leaving_temporaries=leftovers, pids=pids)


def save_once(folder, mode="crash-safe"):
    child = Child(folder, mode, once=True)
    child.start()
    if child.proc.wait(timeout=300) != 0:
        raise RuntimeError(f"the final save ended with exit code {child.proc.returncode}")
    child.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kills", type=int, default=60)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--max-delay", type=float, default=0.3, help="seconds after first save")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--mode", choices=MODES, default="crash-safe", help=argparse.SUPPRESS)
    parser.add_argument("--once", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child, args.mode, args.once)

    import tensorflow as tf

    print(f"seed {args.seed}, {args.kills} kills per mode, delays 0-{args.max_delay} s")
    print(f"machine: nproc {os.cpu_count()}, TensorFlow {tf.__version__}")
    print(f"{'save':<12}{'kills':>6}{'corrupted':>11}{'files':>7}{'temp left':>11}{'seconds':>9}")
    for mode in MODES:
        with tempfile.TemporaryDirectory() as folder:
            started = time.monotonic()
            result = kill_repeatedly(folder, mode, args.kills, args.seed, args.max_delay)
            seconds = time.monotonic() - started
            corrupted = sum(bool(d) for d in result.damage)
            files = sum(len(d) for d in result.damage)
            temps = result.kills_leaving_temporaries
            print(f"{mode:<12}{args.kills:>6}{corrupted:>11}{files:>7}{temps:>11}{seconds:>9.0f}")


if __name__ == "__main__":
    sys.exit(main())
