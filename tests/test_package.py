"""The package as it ships: type stubs checked against the compiled module, and the wheel."""

import ast
import os
import shutil
import subprocess
import sys
import types
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "corvane" / "tessmark" / "trainer" / "detection.pyi"
MODULE = "corvane.tessmark.trainer.detection"


def test_stubs_match_the_compiled_module(tmp_path):
    pytest.importorskip("mypy", reason="mypy (stubtest) is not installed")
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "TF_CPP_MIN_LOG_LEVEL": "3"}
    config = str(ROOT / "pyproject.toml")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", MODULE, "--mypy-config-file", config],
        cwd=tmp_path,  # mypy's cache goes to the working folder, not the checkout
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith("Success: no issues found in 1 module")


def test_stubs_declare_exactly_the_attributes_of_a_trainer(tmp_path, capsys):
    import tensorflow as tf

    from corvane.tessmark.trainer.detection import DetectionTrainer

    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "DetectionTrainer"]
    declared = [n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)]
    logger = types.SimpleNamespace(writer=None)
    trainer = DetectionTrainer(
        None, None, tf.keras.optimizers.SGD(0.1), None, logger, str(tmp_path), classes=["a"]
    )
    capsys.readouterr()
    # The constructor's 22, then stop_training, which only a handler or train sets.
    assert declared == [*vars(trainer), "stop_training"] and len(vars(trainer)) == 22


def third_party_imports(package):
    """The modules that ``corvane.<package>``, and what of corvane it uses, import besides
    the standard library and corvane, each with the distributions that provide it."""
    import importlib.metadata

    names = set()
    for folder in ("demo", "tessmark", "validator") if package == "demo" else (package,):
        for source in (ROOT / "python" / "corvane" / folder).glob("*.py"):
            for node in ast.walk(ast.parse(source.read_text())):
                if isinstance(node, ast.Import):
                    names |= {alias.name.split(".")[0] for alias in node.names}
                elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                    names.add(node.module.split(".")[0])
    names -= set(sys.stdlib_module_names) | {"corvane", "__future__"}
    owners = importlib.metadata.packages_distributions()
    return {name: {owner.lower() for owner in owners.get(name, [name])} for name in names}


def test_the_library_never_imports_the_demo():
    for folder in ("tessmark", "validator"):
        for source in (ROOT / "python" / "corvane" / folder).rglob("*.py*"):
            if source.suffix not in (".py", ".pyi"):
                continue
            for node in ast.walk(ast.parse(source.read_text())):
                names = [node.module or ""] if isinstance(node, ast.ImportFrom) else []
                names += [a.name for a in node.names] if isinstance(node, ast.Import) else []
                assert not [n for n in names if n.startswith("corvane.demo")], source


def distributions_of_extra(metadata, extra):
    marker = f'; extra == "{extra}"'
    return {
        line.split(":", 1)[1].split(";")[0].strip().lower()
        for line in metadata.splitlines()
        if line.startswith("Requires-Dist:") and line.endswith(marker)
    }


def tracked_copy(destination):
    listed = subprocess.run(
        ["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True, timeout=60
    ).stdout.split(b"\0")
    for name in filter(None, listed):
        source = ROOT / os.fsdecode(name)
        if source.is_file():
            target = destination / os.fsdecode(name)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is needed to list the sources")
def test_wheel_ships_the_module_its_stubs_and_the_python_packages(tmp_path):
    """Built as ``pip install .`` would, from the tracked sources only (no developer build)."""
    source = tmp_path / "src"
    tracked_copy(source)
    if not (source / "pyproject.toml").exists():
        pytest.skip("not a git checkout of the project")
    build = [sys.executable, "-m", "pip", "wheel", str(source), "--no-deps"]
    build += ["--no-build-isolation", "-q", "-w", str(tmp_path / "dist")]
    done = subprocess.run(build, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr[-3000:]
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = archive.read(next(n for n in names if n.endswith("/METADATA"))).decode()
        archive.extractall(tmp_path / "site")

    assert "corvane/py.typed" in names
    assert "corvane/tessmark/trainer/detection.pyi" in names
    compiled = [n for n in names if n.startswith("corvane/tessmark/trainer/detection.")]
    assert len([n for n in compiled if n.endswith(".so") or n.endswith(".pyd")]) == 1
    for module in (
        "corvane/tessmark/callbacks.py",
        "corvane/tessmark/losses.py",
        "corvane/tessmark/worktree.py",
        "corvane/validator/writers.py",
        "corvane/demo/__main__.py",
    ):
        assert module in names
    assert not [n for n in names if "__pycache__" in n or n.startswith("tests/")]
    for extra in ("integrations", "demo"):
        assert f"Provides-Extra: {extra}" in metadata
    # tensorboard comes with tensorflow-cpu.
    required = {"tensorflow-cpu", "tensorflow", "numpy", "h5py", "tqdm", "tensorboard"}
    covered = distributions_of_extra(metadata, "demo") | required
    missing = [m for m, owners in third_party_imports("demo").items() if not owners & covered]
    assert missing == []

    # The wheel's own module loads and is the class the stubs describe.
    probe = "import corvane.tessmark.trainer.detection as d; print(d.__file__)"
    loaded = subprocess.run(
        [sys.executable, "-c", probe],
        env={**os.environ, "PYTHONPATH": str(tmp_path / "site"), "TF_CPP_MIN_LOG_LEVEL": "3"},
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert loaded.returncode == 0, loaded.stderr[-3000:]
    assert loaded.stdout.strip().startswith(str(tmp_path / "site"))
