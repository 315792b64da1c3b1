"""Accuracy of the default demo run over several seeds.

Runs ``python -m corvane.demo``'s default configuration once per seed, each in
its own temporary folder with DVCLive and MLflow off (they record the run but do
not change it), and prints mAP@0.5 on the built-in validation split per seed,
then the mean and the spread. The demo promises at least 0.5. ``--detector``: the
grid by default, as in the figures of bench/README.md, made before the pyramid became
the demo's default.

    .venv/bin/python bench/demo_accuracy.py [--seeds 0 1 2] [--epochs N] [--detector grid]
        [--mixed-precision] [--ema] [--warmup-steps N] [--target 0.5]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time

from corvane.demo.app import DemoConfig, run_demo

TARGET = 0.5


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--epochs", type=int, default=DemoConfig().epochs)
    parser.add_argument("--detector", choices=["grid", "pyramid"], default="grid")
    parser.add_argument("--mixed-precision", action="store_true")
    parser.add_argument("--ema", action="store_true")
    parser.add_argument("--warmup-steps", type=int)
    parser.add_argument("--target", type=float, default=TARGET)
    args = parser.parse_args(argv)
    aids = dict(mixed_precision=args.mixed_precision, ema=args.ema, detector=args.detector)
    aids.update(warmup_steps=args.warmup_steps)

    scores = {}
    for seed in args.seeds:
        with tempfile.TemporaryDirectory(prefix="corvane-bench-") as out:
            started = time.monotonic()
            config = DemoConfig(
                epochs=args.epochs, out=out, dvclive=False, mlflow=False, seed=seed, **aids
            )
            scores[seed] = run_demo(config).map50
            print(f"seed {seed}: mAP@0.5 {scores[seed]:.4f} ({time.monotonic() - started:.0f} s)")

    values = list(scores.values())
    print("\nseed  mAP@0.5")
    for seed, value in scores.items():
        print(f"{seed:>4}  {value:.4f}")
    spread = max(values) - min(values)
    deviation = statistics.stdev(values) if len(values) > 1 else 0.0
    print(f"mean {statistics.mean(values):.4f}  min {min(values):.4f}  max {max(values):.4f}")
    print(f"spread (max - min) {spread:.4f}  standard deviation {deviation:.4f}")
    met = min(values) >= args.target
    print(f"target mAP@0.5 >= {args.target}: {'met' if met else 'NOT met'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
