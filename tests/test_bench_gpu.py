"""bench/gpu.py, which measures on a GPU, runs here in its quick form: every case trains and
gives a figure, so the script is ready for a machine with a GPU."""

import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_the_gpu_benchmark_runs_in_its_quick_form():
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "gpu.py"), "--quick", "--networks", "demo", "--json"],
        env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3"),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    import tensorflow as tf

    gpu = bool(tf.config.list_physical_devices("GPU"))
    rows = json.loads(done.stdout.strip().splitlines()[-1])
    mixed = "mixed_float16" if gpu else "mixed_bfloat16"
    assert [row[0].split(", ")[-1] for row in rows] == ["float32", mixed]
    for _, train, peers, ratio, note in rows:
        fit, bare = (float(part.split()[0]) for part in peers.split(", "))
        assert float(train) > 0 and fit > 0 and bare > 0 and float(ratio) > 0
        assert "host reads" in note and (gpu or note.endswith("CPU"))
