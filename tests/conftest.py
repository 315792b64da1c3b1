# --- Twin-vs-compiled behaviour tests (test_train_run, test_validation_pass,
# test_metrics_publication): import paths and the ``impl`` fixture. ---
import importlib
import importlib.util
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# The repository root holds ``bench``; ``python`` holds ``corvane`` when the venv has no
# path entry for it yet.
for path in (ROOT / "python", ROOT):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

COMPILED = "corvane.tessmark.trainer.detection"


@pytest.fixture(scope="session", autouse=True)
def subprocess_temporary_folder(tmp_path_factory):
    """Programs the tests start, some of them killed outright, leave their temporary files
    (TensorFlow's generated autograph modules among them) in this session's folder, not in
    the system's."""
    folder = tmp_path_factory.mktemp("subprocess-tmp")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("TMPDIR", str(folder))
        yield folder


@pytest.fixture(params=["python", "compiled"])
def impl(request):
    """The implementation under test: the interpreted twin or the compiled module."""
    if request.param == "python":
        return importlib.import_module("bench.pytrainer")
    if importlib.util.find_spec(COMPILED) is None:
        pytest.skip("compiled module not built")
    return importlib.import_module(COMPILED)


@pytest.fixture(scope="session")
def coco_quick_run(tmp_path_factory):
    """The demo's quick shapes exported as COCO files, and a run on them: the run that the
    other ways of giving the same data must train to. It is made in this session because
    training numbers differ from one CPU to another."""
    pytest.importorskip(COMPILED)
    from demo_runs import QUICK_RUN, run_demo_command

    folder = tmp_path_factory.mktemp("coco-quick-run")
    coco = folder / "coco"
    run_demo_command("--quick", "--export-coco", coco, cwd=folder)
    files = ["--coco-train", coco / "train.json", "--coco-val", coco / "val.json"]
    run_demo_command(*QUICK_RUN, *files, "--out", folder / "out", cwd=folder)
    return coco, folder / "out" / "checkpoints"
