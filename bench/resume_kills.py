"""Resume under SIGKILL: a --quick demo run killed at random instants ends as if never killed.

A campaign runs the same demo command again and again into one OUT. Each process is
killed with SIGKILL at a target instant: during a training step, during a validation
pass, inside a checkpoint save (``last.h5``/``best.h5`` being written), or inside the
backup write. After every kill the newest backup must be complete (every tensor reads
and checks out) and at least as new as the last epoch the process finished; then the
command is run once more to the end. Its weights (the training network's full state,
``last.h5``, ``best.h5``), ``summary.csv``, MLflow history and TensorBoard scalars are
compared with an uninterrupted run of the same command.

Instants are aimed with the demo's test-only phase file (``CORVANE_DEMO_PHASES``: one
timestamped line per phase it enters) and, for saves, by watching for the trainer's
temporary checkpoint file. Delays inside a phase are drawn from the phase's duration
in the uninterrupted run.

    .venv/bin/python bench/resume_kills.py [--campaigns 8] [--kills 4] [--seed 11]
"""

from __future__ import annotations

import argparse
import glob
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PHASES = ("step", "validation", "save", "backup")
CHECKPOINT = "ckpt"
TIMEOUT = 300


def demo_env(out: Path, phases: Path | None = None) -> dict:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), str(ROOT)]))
    env.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    env["MLFLOW_TRACKING_URI"] = f"sqlite:///{out}/mlflow.db"
    env.pop("DVC_REPORT", None)
    env.pop("CORVANE_DEMO_PHASES", None)
    if phases is not None:
        env["CORVANE_DEMO_PHASES"] = str(phases)
    return env


def demo_command(out: Path, epochs: int, integrations: bool) -> list[str]:
    command = [sys.executable, "-m", "corvane.demo", "--quick", "--epochs", str(epochs)]
    # The grid, on which the campaigns of bench/README.md were measured.
    command += ["--detector", "grid"]
    command += ["--out", str(out)]
    command += ["--mlflow", "--dvclive"] if integrations else ["--no-mlflow", "--no-dvclive"]
    return command


def run(out: Path, epochs: int, integrations: bool, phases: Path | None = None):
    """One run of the command to its end; its output."""
    # The working folder is outside any checkout, for DVCLive.
    done = subprocess.run(
        demo_command(out, epochs, integrations),
        cwd=out.parent,
        env=demo_env(out, phases),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    if done.returncode != 0:
        raise RuntimeError(f"demo exited with {done.returncode}:\n{done.stderr[-3000:]}")
    return done


def kill_after_backup(process: subprocess.Popen, out: Path, epoch: int = 1) -> None:
    """SIGKILLs ``process`` once its run in ``out`` has written the backup of ``epoch``
    (or it has ended), and reaps it."""
    try:
        deadline = time.monotonic() + TIMEOUT
        while not (out / "backup" / f"backup-{epoch}.json").exists() and process.poll() is None:
            if time.monotonic() > deadline:
                raise TimeoutError(f"no backup of epoch {epoch} in {out} after {TIMEOUT} s")
            time.sleep(0.05)
        process.send_signal(signal.SIGKILL)
    finally:
        process.kill()
        process.wait()


def read_phases(path: Path) -> list[tuple[float, list[str]]]:
    if not path.exists():
        return []
    marks = []
    for line in path.read_text().splitlines():
        words = line.split()
        if len(words) >= 2:
            marks.append((float(words[0]), words[1:]))
    return marks


def durations(path: Path) -> dict:
    """Typical seconds of each phase, from an uninterrupted run's phase file."""
    marks = read_phases(path)
    spans = {"step": [], "validation": [], "backup": []}
    for (t0, a), (t1, _) in zip(marks, marks[1:]):
        if a[0] in spans:
            spans[a[0]].append(t1 - t0)
    return {k: sorted(v)[len(v) // 2] if v else 0.05 for k, v in spans.items()}


class Watch:
    """A running demo process and what it has reported so far."""

    def __init__(self, out: Path, epochs: int, integrations: bool, phases: Path):
        phases.unlink(missing_ok=True)
        self.phases, self.out = phases, out
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            demo_command(out, epochs, integrations),
            cwd=out.parent,
            env=demo_env(out, phases),
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        self.started = time.monotonic()

    def marks(self):
        return [words for _, words in read_phases(self.phases)]

    def wait_for(self, test, timeout=TIMEOUT):
        """Polls until ``test()`` is true; False when the process ended first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if test():
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.001)
        self.kill()
        raise RuntimeError("the demo reached no target in time:\n" + self.tail())

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=60)

    def tail(self) -> str:
        self.log.seek(0)
        return self.log.read().decode(errors="replace")[-3000:]

    def close(self):
        self.kill()
        self.log.close()


def aim(watch: Watch, phase: str, rng: random.Random, spans: dict, steps: int, epochs: int):
    """Waits for an instant of ``phase`` in the process's first or second epoch.

    The run must not complete before its last kill: a backup write is aimed at before
    the last epoch's, or else at the very start of the last one's.
    """
    if not watch.wait_for(lambda: any(m[0] == "epoch" for m in watch.marks())):
        return False
    first = int(next(m[1] for m in watch.marks() if m[0] == "epoch"))
    last = epochs - 1 if phase == "backup" and first < epochs else epochs
    epoch = str(min(first + rng.randint(0, 1), last))

    def seen(*words):
        return lambda: list(words) in watch.marks()

    if phase == "step":
        ok = watch.wait_for(seen("step", epoch, str(rng.randrange(steps))))
        delay = rng.uniform(0, spans["step"])
    elif phase == "validation":
        ok = watch.wait_for(seen("validation", epoch))
        delay = rng.uniform(0, spans["validation"])
    elif phase == "backup":
        ok = watch.wait_for(seen("backup", epoch))
        if rng.random() < 0.5:
            # Most of TensorFlow's save gathers tensors before any file is written.
            delay = rng.uniform(0, spans["backup"]) if int(epoch) < epochs else 0.0
        else:
            ok = ok and watch.wait_for(lambda: writing_backup(watch.out / "backup", epoch))
            delay = rng.uniform(0, 0.001)
    else:  # inside one of the trainer's checkpoint saves of that epoch
        ok = watch.wait_for(seen("epoch", epoch)) and watch.wait_for(
            lambda: saving(watch.out / "checkpoints", watch.proc.pid)
        )
        delay = rng.uniform(0, 0.002)
    time.sleep(delay)
    return ok


def writing_backup(backup: Path, epoch: str) -> bool:
    """Whether the files of the backup of ``epoch`` are being written."""
    if (backup / f"{CHECKPOINT}-{epoch}_temp").exists():
        return True
    return (backup / f"{CHECKPOINT}-{epoch}.index").exists() and not (
        backup / f"backup-{epoch}.json"
    ).exists()


def saving(checkpoints: Path, pid: int) -> bool:
    """Whether process ``pid`` is writing a checkpoint (the trainer's temporary file)."""
    return bool(glob.glob(str(checkpoints / f".*.{pid}-*.tmp.h5")))


# Where a kill landed, by the phase the process had entered last.
LANDED = {
    "train": "set-up or initial validation",
    "epoch": "training step",
    "step": "training step",
    "validation": "validation pass",
    "validated": "summary, plots, last.h5",
    "saved": "DVCLive step",
    "backup": "backup write, before its files",
}


def unfinished(out: Path) -> set:
    """Files that only an interrupted write leaves: TensorFlow's and the record's
    temporaries, a checkpoint without its record, the trainer's temporary h5 files."""
    from corvane.tessmark.backup import _record_epochs

    backup = out / "backup"
    found = set(glob.glob(str(backup / "*_temp")) + glob.glob(str(backup / ".backup-*.tmp")))
    records = _record_epochs(str(backup))
    for index in glob.glob(str(backup / f"{CHECKPOINT}-*.index")):
        epoch = int(Path(index).name[len(CHECKPOINT) + 1 : -len(".index")])
        if not records or epoch > records[0]:
            found.add(index)
    return found | set(glob.glob(str(out / "checkpoints" / ".*.tmp.h5")))


def landed(out: Path, last_mark: str, before: set) -> str:
    """Where the kill landed: the files it left unfinished, else the last phase entered."""
    new = unfinished(out) - before
    if any(path.endswith(".tmp.h5") for path in new):
        return "checkpoint save"
    if new:
        return "backup write, files"
    return LANDED.get(last_mark, last_mark)


def campaign(out: Path, kills: int, seed: int, epochs: int, integrations: bool, spans: dict):
    """Kills and restarts the command ``kills`` times, then runs it to its end."""
    from corvane.tessmark.backup import TrainingBackup

    rng = random.Random(seed)
    steps = 96 // 16  # --quick: 96 training images in batches of 16
    # Every phase once in each group of four, in a random order.
    targets = [p for _ in range(kills // len(PHASES) + 1) for p in rng.sample(PHASES, len(PHASES))]
    report = types.SimpleNamespace(kills=[], broken=[], outputs=[])
    phases = out.parent / f"{out.name}.phases"
    for target in targets[:kills]:
        before = unfinished(out)
        watch = Watch(out, epochs, integrations, phases)
        try:
            hit = aim(watch, target, rng, spans, steps, epochs)
            watch.kill()
            marks, tail = watch.marks(), watch.tail()
        finally:
            watch.close()
        if not hit:
            report.outputs.append("ended before its target: " + tail)
            continue
        finished = [int(m[1]) - 1 for m in marks if m[0] == "epoch"] + [
            epochs for m in marks if m[0] == "end"
        ]
        newest = TrainingBackup.latest(out / "backup", verify=True)
        got = newest.epoch if newest else 0
        if got < max(finished, default=0):
            report.broken.append((target, max(finished), got))
        report.kills.append((target, landed(out, marks[-1][0] if marks else "-", before)))
    final = run(out, epochs, integrations)
    report.outputs.append(final.stdout)
    return report


def weights(path: Path) -> dict:
    import h5py

    found = {}
    with h5py.File(path, "r") as f:
        f["model_weights"].visititems(
            lambda name, item: (
                found.__setitem__(name, item[()]) if isinstance(item, h5py.Dataset) else None
            )
        )
    return found


def full_state(out: Path) -> dict:
    """Every tensor of the newest backup (model, optimizer, registered state)."""
    import tensorflow as tf

    from corvane.tessmark.backup import TrainingBackup

    record = TrainingBackup.latest(out / "backup", verify=True)
    reader = tf.train.load_checkpoint(record.checkpoint)
    return {k: reader.get_tensor(k) for k in reader.get_variable_to_shape_map()}


def largest_difference(a: dict, b: dict) -> float:
    """Largest absolute difference between two name -> array maps with the same names."""
    import numpy as np

    if set(a) != set(b):
        raise AssertionError(f"different tensors: {sorted(set(a) ^ set(b))[:5]}")
    worst = 0.0
    for name in a:
        x, y = np.asarray(a[name]), np.asarray(b[name])
        if x.dtype.kind in "fiu":
            worst = max(worst, float(np.max(np.abs(x.astype(np.float64) - y), initial=0.0)))
        elif not np.array_equal(x, y):
            worst = float("inf")
    return worst


def compare(out: Path, reference: Path) -> dict:
    """The largest weight difference of each product, and whether summary.csv is equal."""
    found = {
        "summary.csv equal": (out / "checkpoints/summary.csv").read_bytes()
        == (reference / "checkpoints/summary.csv").read_bytes()
    }
    for name in ("last.h5", "best.h5"):
        found[name] = largest_difference(
            weights(out / "checkpoints" / name), weights(reference / "checkpoints" / name)
        )
    state, expected = full_state(out), full_state(reference)
    # How often the checkpoint was saved is bookkeeping, not training state.
    for key in [k for k in state if k.startswith("save_counter")]:
        state.pop(key), expected.pop(key, None)
    found["training state"] = largest_difference(state, expected)
    return found


def histories(out: Path) -> dict:
    """MLflow metric histories of the demo's only run, and TensorBoard's scalars."""
    import mlflow
    import tensorflow as tf
    from tensorboard.backend.event_processing.plugin_event_accumulator import EventAccumulator

    client = mlflow.MlflowClient(tracking_uri=f"sqlite:///{out}/mlflow.db")
    runs = client.search_runs([client.get_experiment_by_name("corvane-demo").experiment_id])
    found = {"mlflow runs": len(runs)}
    for key in ("mAP 0.50", "learning-rate"):
        history = client.get_metric_history(runs[0].info.run_id, key)
        found[f"mlflow {key}"] = sorted({(m.step, m.value) for m in history})
    (logdir,) = glob.glob(str(out / "tensorboard" / "*"))
    events = EventAccumulator(logdir, size_guidance={"tensors": 0})
    events.Reload()
    for tag in ("train/total-loss", "validation/mAP@0.5"):
        # As TensorBoard shows them: each step once, however often a segment was killed.
        found[f"tensorboard {tag}"] = sorted(
            (e.step, float(tf.make_ndarray(e.tensor_proto))) for e in events.Tensors(tag)
        )
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--campaigns", type=int, default=8)
    parser.add_argument("--kills", type=int, default=4, help="kills per campaign")
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--no-integrations", action="store_true", help="MLflow, DVCLive off")
    args = parser.parse_args()
    sys.path[:0] = [str(ROOT / "python"), str(ROOT)]
    integrations = not args.no_integrations
    with tempfile.TemporaryDirectory() as folder:
        reference = Path(folder) / "reference"
        started = time.monotonic()
        run(reference, args.epochs, integrations, phases=Path(folder) / "reference.phases")
        spans = durations(Path(folder) / "reference.phases")
        print(f"uninterrupted run: {time.monotonic() - started:.0f} s; phase medians {spans}")
        totals, broken, worst, csv_equal = {}, 0, 0.0, True
        started = time.monotonic()
        for c in range(args.campaigns):
            out = Path(folder) / f"killed-{c}"
            report = campaign(out, args.kills, args.seed + c, args.epochs, integrations, spans)
            result = compare(out, reference)
            broken += len(report.broken)
            csv_equal &= result["summary.csv equal"]
            worst = max(worst, *(v for k, v in result.items() if k != "summary.csv equal"))
            for target, found in report.kills:
                totals[(target, found)] = totals.get((target, found), 0) + 1
            print(f"campaign {c}: kills {report.kills}; {result}")
        kills = sum(totals.values())
        print(f"\n{kills} kills in {args.campaigns} campaigns, {time.monotonic() - started:.0f} s")
        print(f"{'aimed at':<12}{'landed in':<32}kills")
        for (target, found), n in sorted(totals.items()):
            print(f"{target:<12}{found:<32}{n:>5}")
        print(f"kills leaving no complete newest backup: {broken}")
        print(f"largest weight difference to the uninterrupted run: {worst}")
        print(f"summary.csv byte-equal in every campaign: {csv_equal}")


if __name__ == "__main__":
    sys.exit(main())
