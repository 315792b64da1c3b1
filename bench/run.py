"""Runs every benchmark and prints one table: `make bench` (ARGS="--quick" for a short run).

Each figure of the compiled trainer is measured beside its peer in the same process.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

from bench import overhead  # noqa: E402
from bench.scale import SMOKE, sized  # noqa: E402

ROWS = []
STARTED = time.perf_counter()
KINDS = [
    "overhead",
    "memory",
    "tracing",
    "e2e",
    "limit",
    "import",
    "checkpoint",
    "distributed",
    "resume",
    "evaluator",
    "gpu",
    "aids",
    "export",
    "images",
    "crowded",
]


def row(name, value, peer="", ratio="", note=""):
    ROWS.append((name, value, peer, ratio, note))
    elapsed = time.perf_counter() - STARTED
    print(
        f"  [{elapsed:4.0f} s] {name}: {value} | {peer} | {ratio} {note}",
        file=sys.stderr,
        flush=True,
    )


def us(seconds):
    return f"{seconds * 1e6:.2f} us"


def bench_overhead(folder, quick):
    sizes = sized(
        quick,
        {},
        dict(steps=5000, samples=1000, publications=50, repeats=3),
        dict(steps=200, samples=50, publications=2, repeats=1),
    )
    results = {
        name: overhead.measure(mod, f"{folder}/{name}", **sizes)
        for name, mod in overhead.IMPLEMENTATIONS.items()
    }
    for what in ("step", "validation sample", "update_metrics"):
        (c, c_spread), (p, p_spread) = results["compiled"][what], results["python"][what]
        row(
            f"own cost per {what}",
            f"{us(c)} (±{us(c_spread / 2)})",
            f"{us(p)} (±{us(p_spread / 2)})",
            f"{c / p:.2f}",
        )


def bench_memory(folder):
    for name, mod in overhead.IMPLEMENTATIONS.items():
        sizes = dict(steps=500, samples=50) if SMOKE else {}
        traced, rss, _ = overhead.memory_growth(mod, f"{folder}/mem-{name}", **sizes)
        row(
            f"memory growth, 10k steps + 1k samples ({name})",
            f"{traced:.1f} KiB traced",
            f"{rss} KiB resident",
            "",
            "target < 64 KiB / < 2048 KiB" if name == "compiled" else "",
        )


def bench_import():
    code = (
        "import time, tensorflow; t = time.perf_counter(); "
        "import corvane.tessmark.trainer.detection; print(time.perf_counter() - t)"
    )
    times = []
    for _ in range(1 if SMOKE else 5):
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONPATH": str(ROOT / "python")},
            check=True,
        )
        times.append(float(out.stdout.strip().splitlines()[-1]))
    row(
        "import with TensorFlow already loaded",
        f"{statistics.median(times) * 1e3:.1f} ms",
        "",
        "",
        f"spread {(max(times) - min(times)) * 1e3:.1f} ms over 5",
    )


def bench_checkpoint(folder, quick):
    from bench import checkpoint_cost

    (d, d_spread), (p, p_spread) = checkpoint_cost.measure(folder, sized(quick, 40, 10, 2))
    row(
        "last.h5 save, demo network, durable",
        f"{d * 1e3:.2f} ms (spread {d_spread * 1e3:.2f} ms)",
        f"{p * 1e3:.2f} ms (spread {p_spread * 1e3:.2f} ms), unflushed",
        f"{d / p:.2f}",
    )


def rows_of_script(script, options):
    """The rows that a benchmark run in a process of its own prints as its last JSON line:
    the CPU split into logical devices, a mixed precision policy or the old evaluator read
    from git history must not reach the other benchmarks."""
    command = [sys.executable, str(ROOT / "bench" / script), "--json", *options]
    out = subprocess.run(command, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-3000:])
    for cells in json.loads(out.stdout.strip().splitlines()[-1]):
        row(*cells)


SCRIPTS = {  # kind: (script, options of a quick run, options of the smoke form)
    "distributed": ("distributed.py", ["--quick"], ["--quick"]),
    "evaluator": ("evaluator_speed.py", ["--passes", "2"], ["--passes", "1", "--samples", "4"]),
    "gpu": ("gpu.py", ["--quick"], ["--quick", "--networks", "demo"]),
    "aids": (
        "aids_cost.py",
        ["--steps", "50", "--repeats", "3"],
        ["--steps", "3", "--repeats", "1"],
    ),
    "export": ("export.py", ["--quick", "--repeats", "1"], ["--quick", "--repeats", "1"]),
    "images": ("image_check.py", ["--quick"], ["--images", "20", "--repeats", "1"]),
    "crowded": (
        "crowded.py",
        ["--quick"],
        ["--train-images", "8", "--validation-images", "4", "--epochs", "1"],
    ),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--only", nargs="*", default=None, help=", ".join(KINDS))
    args = parser.parse_args()
    want = set(args.only or KINDS)
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        if "overhead" in want:
            bench_overhead(folder, args.quick)
        if "memory" in want:
            bench_memory(folder)
        if "tracing" in want or "e2e" in want:
            from bench import end_to_end

            if "tracing" in want:
                for name, value in end_to_end.tracing(folder):
                    row(name, value)
            if "e2e" in want:
                for cells in end_to_end.against_fit(folder, quick=args.quick):
                    row(*cells)
        if "limit" in want:
            from bench import limit_line

            for cells in limit_line.measure(f"{folder}/limit", quick=args.quick):
                row(*cells)
        if "import" in want:
            bench_import()
        if "checkpoint" in want:
            bench_checkpoint(f"{folder}/checkpoint", args.quick)
        if "resume" in want:
            from bench import resume_cost

            for cells in resume_cost.rows(folder, quick=args.quick):
                row(*cells)
        for kind, (script, quick_options, smoke_options) in SCRIPTS.items():
            if kind in want:
                rows_of_script(script, sized(args.quick, [], quick_options, smoke_options))
    widths = [
        max(len(str(r[i])) for r in ROWS + [("measure", "compiled", "peer", "ratio", "")])
        for i in range(5)
    ]
    header = ("measure", "compiled", "peer", "ratio", "note")
    print(" | ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("-+-".join("-" * w for w in widths))
    for r in ROWS:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    print(f"\n{time.perf_counter() - start:.0f} s in all")


if __name__ == "__main__":
    main()
