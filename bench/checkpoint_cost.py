"""What durable checkpoints cost: ``save_model`` on the demo network against the same save
without the flushes (temporary file and ``os.replace`` only, as before they were made
durable). Both write into the same folder, alternating, so the disk's state is shared.

    .venv/bin/python bench/checkpoint_cost.py [--saves 40] [--folder DIR]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def measure(folder, saves=40):
    """Median and spread of the seconds per last-checkpoint save: (durable, unflushed)."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
    import warnings

    import tensorflow as tf

    from corvane.demo.model import build_detector
    from corvane.tessmark.trainer.detection import DetectionTrainer

    warnings.filterwarnings("ignore", "You are saving your model as an HDF5 file")
    tf.get_logger().setLevel("ERROR")
    model = build_detector()
    logger = types.SimpleNamespace(writer=None)
    with open(os.devnull, "w") as quiet:
        stdout, sys.stdout = sys.stdout, quiet
        try:
            trainer = DetectionTrainer(
                model, None, tf.keras.optimizers.SGD(0.01), None, logger, folder, classes=["a"]
            )
        finally:
            sys.stdout = stdout
    last = os.path.join(folder, "last.h5")

    def unflushed():
        temp = os.path.join(folder, f".last.h5.{os.getpid()}-bench.tmp.h5")
        trainer.remove_training_outputs().save(temp)
        os.replace(temp, last)

    durable, plain = [], []
    for i in range(saves + 2):
        for fn, times in ((lambda: trainer.save_model(-1.0), durable), (unflushed, plain)):
            start = time.perf_counter()
            fn()
            if i >= 2:  # the first saves pay for h5py's and Keras's own warm-up
                times.append(time.perf_counter() - start)
    return [(statistics.median(t), max(t) - min(t)) for t in (durable, plain)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--saves", type=int, default=40)
    parser.add_argument("--folder", default=None, help="where to save (default: a temp folder)")
    args = parser.parse_args()
    sys.path[:0] = [str(ROOT), str(ROOT / "python")]
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        (d, d_spread), (p, p_spread) = measure(folder, args.saves)
    print(f"durable save:   {d * 1e3:.2f} ms (spread {d_spread * 1e3:.2f} ms)")
    print(f"unflushed save: {p * 1e3:.2f} ms (spread {p_spread * 1e3:.2f} ms)")
    print(f"flushing costs {(d - p) * 1e3:.2f} ms per save ({d / p - 1:+.1%})")


if __name__ == "__main__":
    main()
