"""Loading the compiled module: identity across imports, the class object, failed loads."""

import importlib
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import tensorflow as tf

import corvane.tessmark.trainer.detection as detection
from corvane.tessmark.callbacks import TessmarkTrainingCallback

DT = detection.DetectionTrainer
ROOT = Path(__file__).resolve().parents[1]
METHODS = [
    "__init__",
    "preprocess_input",
    "train_step",
    "remove_training_outputs",
    "to_nchw",
    "save_model",
    "update_metrics",
    "run_validation_step",
    "train",
]


def run_python(code):
    """Runs `code` in a fresh interpreter that finds the package; returns the completed process."""
    env_path = f"{ROOT / 'python'}"
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": env_path, "TF_CPP_MIN_LOG_LEVEL": "3", "PATH": "/usr/bin:/bin"},
        timeout=300,
    )


def test_reimport_gives_the_same_module_class_and_shared_defaults():
    handler = DT.train.__defaults__[4]
    assert importlib.import_module(detection.__name__) is detection
    del sys.modules[detection.__name__]
    try:
        again = importlib.import_module(detection.__name__)
    finally:
        sys.modules[detection.__name__] = detection
    assert again is detection
    assert again.DetectionTrainer is DT
    assert DT.train.__defaults__[4] is handler


def test_class_object_and_namespace_order():
    assert DT.__bases__ == (object,)
    assert type(DT) is type
    assert DT.__module__ == "corvane.tessmark.trainer.detection"
    assert DT.__qualname__ == "DetectionTrainer"
    # type() moves __qualname__ out of the namespace onto the class itself.
    assert list(DT.__dict__)[: 2 + len(METHODS)] == ["__module__", "__doc__"] + METHODS
    assert "__slots__" not in DT.__dict__
    assert detection.__test__ == {}
    assert detection.tf is tf
    assert detection.TessmarkTrainingCallback is TessmarkTrainingCallback
    assert detection.__builtins__ is importlib.import_module("builtins")


def test_method_objects_look_like_functions():
    for name in METHODS:
        raw = DT.__dict__[name]
        fn = raw.python_function if name in ("preprocess_input", "train_step") else raw
        assert fn.__name__ == name
        assert fn.__qualname__ == f"DetectionTrainer.{name}"
        assert fn.__module__ == "corvane.tessmark.trainer.detection"
        assert fn.__kwdefaults__ is None
        assert fn.__globals__ is vars(detection)
        assert fn.__code__.co_filename == "corvane\\tessmark\\trainer\\detection"
        assert fn.__code__.co_varnames[0] == "self"
    assert DT.__dict__["train_step"].__class__.__name__ == "Function"
    assert DT.__dict__["preprocess_input"].python_function.__code__.co_firstlineno == 143
    assert DT.save_model.__code__.co_firstlineno == 235
    # Binding through an instance gives an ordinary bound method.
    trainer = DT.__new__(DT)
    assert trainer.save_model.__self__ is trainer
    assert trainer.save_model.__func__ is DT.__dict__["save_model"]


def test_signatures():
    model_cls = tf.keras.models.Model
    sig = {name: inspect.signature(getattr(DT, name)) for name in METHODS}
    assert str(sig["__init__"]) == (
        "(self, model, dataset, optimizer, loss, logger='out', checkpoint='out', info=None, "
        "metric='acc', iou=0.5, classes=None, display=None, dvclive_output=None, "
        "skip_validation_steps=1, skip_initial_validation=False)"
    )
    assert sig["preprocess_input"].parameters["x"].annotation is tf.Tensor
    assert list(sig["train_step"].parameters) == ["self", "data"]
    assert sig["remove_training_outputs"].parameters["model"].annotation is model_cls
    assert sig["remove_training_outputs"].parameters["model"].default is None
    assert sig["to_nchw"].return_annotation is model_cls
    assert str(sig["save_model"]) == "(self, val: 'float')"
    assert str(sig["update_metrics"]) == (
        "(self, metrics: 'dict' = {}, losses: 'dict' = {}, epoch: 'int' = 0, live=None)"
    )
    assert str(sig["run_validation_step"]) == "(self, loop, evaluator, epoch)"
    assert list(sig["train"].parameters) == [
        "self",
        "epochs",
        "train_ds",
        "val_ds",
        "evaluator",
        "start",
        "callback_handler",
    ]
    assert DT.train.__annotations__ == {"epochs": "int", "start": "int"}
    assert DT.save_model.__annotations__ == {"val": "float"}
    assert DT.__init__.__annotations__ == {}


def test_shared_default_objects():
    first, second = DT.update_metrics.__defaults__, DT.update_metrics.__defaults__
    assert first is second
    assert first[0] == {} and first[1] == {} and first[0] is not first[1]
    assert first[2:] == (0, None)
    defaults = DT.train.__defaults__
    assert defaults[:4] == (None, None, None, 1)
    assert isinstance(defaults[4], TessmarkTrainingCallback)
    assert DT.remove_training_outputs.__defaults__ == (None,)
    assert DT.save_model.__defaults__ is None
    assert DT.__init__.__defaults__ == ("out", "out", None, "acc", 0.5, None, None, None, 1, False)


def test_docstrings():
    assert DT.__doc__.startswith(
        "\n    This class implements a training process that combines all the tools in the API\n"
    )
    assert "\n    Parameters\n    ----------\n        model: tf.keras.models.Model\n" in DT.__doc__
    assert DT.__doc__.endswith("\n    ")
    assert "dvclive_output" not in DT.__doc__ and "        H: int\n" in DT.__doc__
    for name in ("__init__", "to_nchw", "run_validation_step"):
        assert getattr(DT, name).__doc__ is None
    assert DT.remove_training_outputs.__doc__ == (
        "This function removes training outputs from Tessmark training model.\n\n"
        "        Returns:\n            _type_: _description_\n        "
    )
    assert DT.save_model.__doc__.startswith(
        "\n        Saves two models, last.h5 which stores the last trained epoch and best.h5 "
        "which stores\n        the best evaluated model so far\n"
    )
    assert "        live:, default None\n            Optional DVCLive object\n" in (
        DT.update_metrics.__doc__
    )
    assert "        start:int\n" in DT.train.__doc__
    assert DT.train.__doc__.endswith("Returns\n        -------\n        ")


@pytest.mark.parametrize("marked", [True, False])
def test_preprocess_input_traced_without_autograph_warning(marked):
    # AutoGraph remembers each code object it has passed over, so each variant needs a
    # fresh interpreter. The unmarked variant shows the check would see the warning.
    result = run_python(
        f"""
        import logging
        import tensorflow as tf
        from corvane.tessmark.trainer.detection import DetectionTrainer as DT
        messages = []
        handler = logging.Handler()
        handler.emit = lambda record: messages.append(record.getMessage())
        tf.get_logger().addHandler(handler)
        if not {marked}:
            del DT.__dict__["preprocess_input"].python_function.autograph_info__
        out = DT.__new__(DT).preprocess_input(tf.constant([[0, 255]], dtype=tf.uint8))
        print(out.dtype.name, out.shape, out.numpy().tolist())
        print(sum("could not transform" in m for m in messages))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "float32 (1, 2) [[0.0, 1.0]]"
    assert lines[1] == ("0" if marked else "1")


def test_failed_load_reports_its_line_and_the_next_import_runs_again():
    result = run_python(
        """
        import sys, traceback
        import corvane.tessmark.callbacks as cb
        original = cb.TessmarkTrainingCallback
        class Broken:
            def __init__(self):
                raise RuntimeError("no handler")
        cb.TessmarkTrainingCallback = Broken
        try:
            import corvane.tessmark.trainer.detection
        except RuntimeError as e:
            entry = [t for t in traceback.extract_tb(e.__traceback__) if t.name.startswith("init")]
            print(entry[-1].name, entry[-1].lineno, entry[-1].filename)
        mod = sys.modules.get("corvane.tessmark.trainer.detection")
        print("in sys.modules:", mod is not None)
        cb.TessmarkTrainingCallback = original
        import corvane.tessmark.trainer.detection as d
        print("second load:", isinstance(d.DetectionTrainer.train.__defaults__[4], original))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == (
        "init corvane.tessmark.trainer.detection 473 corvane\\tessmark\\trainer\\detection"
    )
    assert lines[-1] == "second load: True"


def test_missing_dependency_fails_at_its_import_line():
    result = run_python(
        """
        import sys, traceback
        sys.modules["tensorflow"] = None
        try:
            import corvane.tessmark.trainer.detection
        except ImportError as e:
            entry = traceback.extract_tb(e.__traceback__)[-1]
            print(type(e).__name__, entry.name, entry.lineno)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ModuleNotFoundError init corvane.tessmark.trainer.detection 12"


def test_sub_interpreter_import_is_refused():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import corvane.tessmark.trainer.detection
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import corvane.tessmark.trainer.detection")
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process." in result.stdout
    )


@pytest.mark.parametrize("name", ["print", "open"])
def test_cached_builtins_ignore_later_rebinding(name, monkeypatch, tmp_path, capsys):
    calls = []
    monkeypatch.setattr(f"builtins.{name}", lambda *a, **k: calls.append(a))
    monkeypatch.setitem(vars(detection), name, lambda *a, **k: calls.append(a))

    class Logger:
        writer = None

    DT(None, None, tf.keras.optimizers.SGD(0.1), None, Logger(), str(tmp_path), classes=[])
    monkeypatch.undo()
    assert calls == []
    assert (tmp_path / "config.json").read_text() == "null"
    assert "Saving best iteration checkpoint" in capsys.readouterr().out


def test_globals_are_looked_up_at_each_use(monkeypatch):
    import builtins
    import types

    def fake_tf(tag):
        return types.SimpleNamespace(cast=lambda x, dtype: 255.0 * tag, float32=None)

    body = DT.__dict__["preprocess_input"].python_function
    trainer = DT.__new__(DT)
    assert body(trainer, tf.constant([255], tf.uint8)).numpy().tolist() == [1.0]
    monkeypatch.setattr(detection, "tf", fake_tf(2))
    assert body(trainer, None) == 2.0
    # Without a module global the builtins are consulted, and their changes are seen too.
    monkeypatch.delattr(detection, "tf")
    monkeypatch.setattr(builtins, "tf", fake_tf(3), raising=False)
    assert body(trainer, None) == 3.0
    monkeypatch.setattr(builtins, "tf", fake_tf(4))
    assert body(trainer, None) == 4.0
    monkeypatch.delattr(builtins, "tf")
    with pytest.raises(NameError, match="name 'tf' is not defined"):
        body(trainer, None)
