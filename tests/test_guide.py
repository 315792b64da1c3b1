"""The user guide's Python examples run, in order, as one script: the guide cannot rot."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GUIDE = ROOT / "docs" / "guide.md"


def examples(text):
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_every_python_example_of_the_guide_runs(tmp_path):
    blocks = examples(GUIDE.read_text())
    assert len(blocks) >= 5
    script = tmp_path / "guide.py"
    script.write_text("\n".join(f"# --- example {i + 1}\n{b}" for i, b in enumerate(blocks)))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MLFLOW_", "DVC"))}
    # The examples' own temporary folders land in the test's, which pytest removes.
    (tmp_path / "tmp").mkdir()
    env.update(
        TMPDIR=str(tmp_path / "tmp"),
        PYTHONPATH=str(ROOT / "python"),
        TF_CPP_MIN_LOG_LEVEL="3",
        MLFLOW_DISABLE_TELEMETRY="true",
        DO_NOT_TRACK="true",
    )
    # From a folder outside any git checkout, as the guide's DVCLive advice says.
    done = subprocess.run(
        [sys.executable, str(script)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-4000:]
    assert "Saving best iteration checkpoint at" in done.stdout
