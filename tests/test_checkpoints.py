"""The export rewrites of the network and the last/best checkpoints."""

import gc
import math
import os
import sys
import types
import warnings

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.trainer.detection import DetectionTrainer

TRACE_FILE = "corvane\\tessmark\\trainer\\detection"
START_FILES = {"config.json", "labels.txt"}
ALL_FILES = START_FILES | {"last.h5", "best.h5"}
MLFLOW_MISSING = "MLFlow is not installed. Please install it to log artifacts"
pytestmark = pytest.mark.filterwarnings("ignore:You are saving your model as an HDF5 file")


@pytest.fixture(scope="module")
def model():
    tf.keras.utils.set_random_seed(2)
    layers = tf.keras.layers
    # Height and width differ, so a swapped axis cannot pass unnoticed.
    image = tf.keras.Input((24, 32, 3))
    x = layers.Conv2D(4, 3, strides=4, padding="same")(image)
    heads = [layers.Conv2D(c, 1, kernel_regularizer="l2")(x) for c in (5, 2, 3)]
    return tf.keras.Model(image, heads)


@pytest.fixture
def trainer(model, tmp_path, capsys):
    logger = types.SimpleNamespace(writer=None)
    optimizer = tf.keras.optimizers.SGD(0.01)
    made = DetectionTrainer(model, None, optimizer, None, logger, str(tmp_path), classes=["a"])
    capsys.readouterr()
    return made


def images(seed=0):
    return np.random.default_rng(seed).random((2, 24, 32, 3), dtype=np.float32)


def reported_at(exc, method):
    name = f"corvane.tessmark.trainer.detection.DetectionTrainer.{method}"
    lines, tb = [], exc.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_name == name and code.co_filename == TRACE_FILE:
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


def same(tensors, expected):
    # By identity: == on symbolic tensors builds an operation instead of comparing.
    return [id(t) for t in tensors] == [id(t) for t in expected]


def variables(m):
    return {id(v) for v in m.weights}


# --- export rewrites ----------------------------------------------------------


class Falsy(types.SimpleNamespace):
    def __bool__(self):
        return False


def test_remove_training_outputs_keeps_outputs_from_the_third_on(trainer, model):
    falsy = Falsy(input=model.input, outputs=model.outputs[::-1])
    for made in (trainer.remove_training_outputs(), trainer.remove_training_outputs(None)):
        assert made is not model and made.input is model.input
        assert same(made.outputs, model.outputs[2:])
        assert variables(made) and variables(made) <= variables(model)
    # Any object but None is the one rebuilt, whatever its truth value.
    other = tf.keras.Model(model.input, model.outputs[::-1])
    for given in (other, falsy):
        assert same(trainer.remove_training_outputs(given).outputs, [given.outputs[2]])
    assert len(model.outputs) == 3 and model.input.shape == (None, 24, 32, 3)

    broken = types.SimpleNamespace(input=None, outputs={1, 2})
    with pytest.raises(TypeError, match="^'set' object is unsliceable$") as given:
        trainer.remove_training_outputs(broken)
    trainer.model = broken
    with pytest.raises(TypeError, match="^'set' object is unsliceable$") as own:
        trainer.remove_training_outputs()
    assert reported_at(given.value, "remove_training_outputs") == [216]
    assert reported_at(own.value, "remove_training_outputs") == [221]


def test_to_nchw_moves_channels_first_around_the_same_layers(trainer, model):
    export = trainer.remove_training_outputs()
    nchw = trainer.to_nchw(export)
    assert nchw.input.shape == (None, 3, 24, 32)
    assert nchw.outputs[0].shape == (None, 3, 6, 8)
    assert variables(nchw) == variables(export)
    x = images()
    expected = np.transpose(export(x).numpy(), (0, 3, 1, 2))
    np.testing.assert_allclose(nchw(np.transpose(x, (0, 3, 1, 2))).numpy(), expected, rtol=1e-6)
    assert export.input.shape == (None, 24, 32, 3)


@pytest.mark.parametrize(
    "shape, message",
    [
        (tf.TensorShape([None, 24, 32]), "need more than 3 values to unpack"),
        ((None, 1), "need more than 2 values to unpack"),
        (tf.TensorShape([None, 1, 2, 3, 4]), "too many values to unpack (expected 4)"),
        ((None, 1, 2, 3, 4), "too many values to unpack (expected 4)"),
    ],
)
def test_to_nchw_needs_four_dimensions(trainer, shape, message):
    network = types.SimpleNamespace(input=types.SimpleNamespace(shape=shape))
    with pytest.raises(ValueError) as caught:
        trainer.to_nchw(network)
    assert str(caught.value) == message
    assert reported_at(caught.value, "to_nchw") == [227]


# --- checkpoints ----------------------------------------------------------------


def listing(folder):
    return set(os.listdir(folder))


def test_save_model_compares_reports_and_writes(trainer, tmp_path, capsys):
    folder, metric = tmp_path, trainer.metric

    def call(val, printed, written):
        for name in ("last.h5", "best.h5"):
            if (folder / name).exists():
                os.remove(folder / name)
        assert trainer.save_model(val) is None
        assert capsys.readouterr().out == "".join(line + "\n" for line in printed)
        assert listing(folder) == START_FILES | written

    with pytest.raises(TypeError) as caught:
        trainer.save_model("0.5")
    assert reported_at(caught.value, "save_model") == [237]
    assert listing(folder) == START_FILES and capsys.readouterr().out == ""

    both = {"last.h5", "best.h5"}
    call(-1.0, [], {"last.h5"})
    assert trainer.best_value == 0.0
    call(0.0, [f"\t - [INFO] Saving model with improved {metric} from 0.0 to 0.0"], both)
    call(0.5, [f"\t - [INFO] Saving model with improved {metric} from 0.0 to 0.5"], both)
    call(0.5, [f"\t - [INFO] Saving model with improved {metric} from 0.5 to 0.5"], both)
    call(0.25, [f"\t - [INFO] No improvement in {metric} from 0.5 to 0.25 "], {"last.h5"})
    for val in (-1.0, -3.0, math.nan):
        call(val, [], {"last.h5"})
    assert type(trainer.best_value) is float and trainer.best_value == 0.5

    call(0.75, [f"\t - [INFO] Saving model with improved {metric} from 0.5 to 0.75"], both)
    x = images(1)
    expected = trainer.remove_training_outputs()(x).numpy()
    for name in ("last.h5", "best.h5"):
        loaded = tf.keras.models.load_model(folder / name, compile=False)
        np.testing.assert_allclose(loaded(x).numpy(), expected, rtol=1e-6)


def network(kinds, seed=3):
    """A network on a (24, 32, 3) input whose outputs are, in order: "map" a (6, 8, k) grid,
    "vector" a (k,) vector per image."""
    tf.keras.utils.set_random_seed(seed)
    layers = tf.keras.layers
    image = tf.keras.Input((24, 32, 3))
    x = layers.Conv2D(4, 3, strides=4, padding="same")(image)
    outputs = []
    for k, kind in enumerate(kinds, start=2):
        head = layers.Conv2D(k, 1)(x)
        outputs.append(head if kind == "map" else layers.GlobalAveragePooling2D()(head))
    return tf.keras.Model(image, outputs)


@pytest.mark.parametrize(
    "kinds",
    [
        ["map", "map", "map"],
        ["map", "map", "map", "vector", "map"],
        ["map", "vector", "vector", "map"],
    ],
)
def test_channels_first_checkpoints_are_the_export_network_transposed(trainer, tmp_path, kinds):
    trainer.model = network(kinds)
    export = tf.keras.Model(trainer.model.input, trainer.model.outputs[2:])
    trainer.NCHW = True
    trainer.save_model(0.5)

    x = images(4)
    expected = export(x)
    expected = expected if isinstance(expected, list) else [expected]
    expected = [np.transpose(e, (0, 3, 1, 2)) if e.ndim == 4 else e for e in expected]
    assert len(expected) == len(kinds) - 2
    for name in ("last.h5", "best.h5"):
        loaded = tf.keras.models.load_model(tmp_path / name, compile=False)
        assert loaded.input.shape == (None, 3, 24, 32)
        got = loaded(np.transpose(x, (0, 3, 1, 2)))
        got = got if isinstance(got, list) else [got]
        assert [g.shape for g in got] == [e.shape for e in expected]
        for g, e in zip(got, expected):
            np.testing.assert_allclose(g, e, rtol=1e-5, atol=1e-6)
    # The training network itself is left channels-last.
    assert trainer.model.input.shape == (None, 24, 32, 3)
    assert len(trainer.model.outputs) == len(kinds)


@pytest.mark.parametrize("nchw", [False, True])
@pytest.mark.parametrize("count, plural", [(1, ""), (2, "s")])
def test_a_network_without_export_outputs_is_refused_before_writing(
    trainer, tmp_path, capsys, nchw, count, plural
):
    trainer.model = network(["map"] * count)
    trainer.NCHW = nchw
    # The rewrite itself still gives what it is asked for.
    assert trainer.remove_training_outputs().outputs == []
    with pytest.raises(ValueError) as caught:
        trainer.save_model(0.5)
    assert str(caught.value) == (
        f"The network has {count} output{plural}: the first two are training outputs, which "
        "checkpoints leave out, so none remain to save. Put the outputs to export after the "
        "two training outputs."
    )
    assert reported_at(caught.value, "save_model") == [252]
    assert listing(tmp_path) == START_FILES
    assert trainer.best_value == 0.0 and capsys.readouterr().out == ""


class RecordingOs:
    """The real ``os`` with its file operations logged, to see the order of a durable save."""

    def __init__(self, folder):
        self.folder, self.log, self.fds = str(folder), [], {}

    def __getattr__(self, name):
        return getattr(os, name)

    def show(self, path):
        path = str(path)
        if path == self.folder:
            return "<folder>"
        name = os.path.basename(path)
        return "<temp>" if name.startswith(".") else name

    def open(self, path, flags, *args):
        fd = os.open(path, flags, *args)
        self.fds[fd] = self.show(path)
        return fd

    def fsync(self, fd):
        self.log.append(("fsync", self.fds[fd]))
        return os.fsync(fd)

    def replace(self, src, dst):
        self.log.append(("replace", self.show(src), self.show(dst)))
        return os.replace(src, dst)


def test_files_reach_the_disk_before_their_new_name_does(trainer, tmp_path, monkeypatch):
    import corvane.tessmark.trainer.detection as detection

    recording = RecordingOs(tmp_path)
    monkeypatch.setattr(detection, "os", recording)
    trainer.save_model(0.5)
    durable = [("fsync", "<temp>"), ("replace", "<temp>", "{}"), ("fsync", "<folder>")]
    expected = [tuple(step.format("last.h5") for step in s) for s in durable]
    expected += [tuple(step.format("best.h5") for step in s) for s in durable]
    assert recording.log == expected

    recording.log.clear()
    logger = types.SimpleNamespace(update_metrics=lambda *args: None)
    trainer.logger = logger
    metrics = {k: {"0.5": 0.5, "0.75": 0.5, "0.5:0.95": 0.5} for k in ("mAP", "mAR", "mACC")}
    metrics.update(OP=0.5, OR=0.5, OA=0.5)
    trainer.update_metrics(metrics, {}, epoch=1)
    assert recording.log == [tuple(step.format("summary.csv") for step in s) for s in durable]


def test_rewritten_files_keep_their_permission_bits(trainer, tmp_path):
    metrics = {k: {"0.5": 0.5, "0.75": 0.5, "0.5:0.95": 0.5} for k in ("mAP", "mAR", "mACC")}
    metrics.update(OP=0.5, OR=0.5, OA=0.5)
    trainer.logger = types.SimpleNamespace(update_metrics=lambda *args: None)
    old_umask = os.umask(0o022)
    try:
        trainer.save_model(0.5)
        trainer.update_metrics(metrics, {}, epoch=1)
        names = ("last.h5", "best.h5", "summary.csv")
        for name in names:
            assert (tmp_path / name).stat().st_mode & 0o777 == 0o644
        for mode, name in zip((0o640, 0o600, 0o444), names):
            os.chmod(tmp_path / name, mode)
        trainer.save_model(0.75)
        trainer.update_metrics(metrics, {}, epoch=2)
        for mode, name in zip((0o640, 0o600, 0o444), names):
            assert (tmp_path / name).stat().st_mode & 0o7777 == mode
        assert len((tmp_path / "summary.csv").read_text().splitlines()) == 3
    finally:
        os.umask(old_umask)


class FlakySave:
    """An export network whose saves succeed through `network`, or fail after writing half a
    file ("partial") or before creating one ("early")."""

    def __init__(self, network, outcomes):
        self.network, self.outcomes, self.paths = network, list(outcomes), []

    def save(self, path):
        self.paths.append(path)
        outcome = self.outcomes.pop(0)
        if outcome == "ok":
            return self.network.save(path)
        if outcome == "partial":
            with open(path, "wb") as f:
                f.write(b"\x89HDF partial")
        raise OSError(28, "No space left on device")


def test_failed_save_keeps_the_previous_checkpoint(trainer, tmp_path, capsys):
    trainer.save_model(0.5)
    capsys.readouterr()
    before = {name: (tmp_path / name).read_bytes() for name in ("last.h5", "best.h5")}
    export = trainer.remove_training_outputs()
    flaky = FlakySave(export, ["partial", "early", "ok", "partial"])
    trainer.remove_training_outputs = lambda model: flaky

    for _ in range(2):
        with pytest.raises(OSError, match="No space left") as caught:
            trainer.save_model(0.9)
        assert reported_at(caught.value, "save_model") == [254]
        assert (tmp_path / "last.h5").read_bytes() == before["last.h5"]
        assert listing(tmp_path) == ALL_FILES
        assert capsys.readouterr().out == ""

    with pytest.raises(OSError) as caught:
        trainer.save_model(0.9)
    assert reported_at(caught.value, "save_model") == [264]
    assert capsys.readouterr().out.startswith("\t - [INFO] Saving model with improved")
    assert (tmp_path / "best.h5").read_bytes() == before["best.h5"]
    assert (tmp_path / "last.h5").read_bytes() != before["last.h5"]
    tf.keras.models.load_model(tmp_path / "last.h5", compile=False)
    assert trainer.best_value == 0.5
    assert listing(tmp_path) == ALL_FILES
    # Keras picks HDF5 from the name, so the temporary files must keep the suffix.
    assert len(set(flaky.paths)) == 4
    for path in flaky.paths:
        assert os.path.dirname(path) == str(tmp_path) and path.endswith(".h5")
        assert os.path.basename(path) not in ("last.h5", "best.h5")


# --- MLflow ---------------------------------------------------------------------


def test_artifacts_go_to_the_active_mlflow_run(trainer, tmp_path, monkeypatch):
    monkeypatch.setenv("MLFLOW_TRACKING_URI", f"sqlite:///{tmp_path}/mlflow.db")
    monkeypatch.chdir(tmp_path)
    mlflow = pytest.importorskip("mlflow")
    experiment = mlflow.create_experiment("checkpoints", (tmp_path / "artifacts").as_uri())

    trainer.save_model(0.5)
    assert mlflow.active_run() is None
    assert mlflow.search_runs([experiment, "0"], output_format="list") == []

    with mlflow.start_run(experiment_id=experiment) as run:
        trainer.save_model(0.75)
        trainer.save_model(0.25)
    stored = tmp_path / "artifacts" / run.info.run_id / "artifacts"
    assert listing(stored) == {"last.h5", "best.h5"}
    for name in ("last.h5", "best.h5"):
        assert (stored / name).read_bytes() == (tmp_path / name).read_bytes()


def test_mlflow_import_errors_are_skipped_other_errors_propagate(trainer, tmp_path, monkeypatch):
    logged = []

    def use(active_run=lambda: True, log_artifact=logged.append):
        module = types.ModuleType("mlflow")
        module.active_run, module.log_artifact = active_run, log_artifact
        monkeypatch.setitem(sys.modules, "mlflow", module)

    def save_warning_texts(val):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            trainer.save_model(val)
        return [str(w.message) for w in caught if w.category is Warning]

    monkeypatch.setitem(sys.modules, "mlflow", None)
    assert save_warning_texts(0.5) == [MLFLOW_MISSING]
    assert trainer.best_value == 0.5
    assert listing(tmp_path) == ALL_FILES

    def refuse_best(path):
        logged.append(path)
        if path == trainer.best:
            raise ImportError("optional backend")

    use(log_artifact=refuse_best)
    assert save_warning_texts(0.6) == []
    assert logged == [trainer.last, trainer.best] and trainer.best_value == 0.6

    def fail(*args):
        raise RuntimeError("store down")

    for kwargs, line in (({"active_run": fail}, 257), ({"log_artifact": fail}, 258)):
        use(**kwargs)
        with pytest.raises(RuntimeError) as caught:
            trainer.save_model(0.9)
        assert reported_at(caught.value, "save_model") == [line]
        assert trainer.best_value == 0.6


def test_reference_counts_unchanged(trainer, monkeypatch):
    monkeypatch.setitem(sys.modules, "mlflow", None)
    val = 0.5
    flaky = FlakySave(None, [])
    watched = [val, trainer, trainer.model, flaky]

    def run_all():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            trainer.save_model(val)
            for args in (("0.5",), (val, val)):
                with pytest.raises(TypeError):
                    trainer.save_model(*args)
            trainer.remove_training_outputs = lambda model: flaky
            flaky.outcomes.append("partial")
            with pytest.raises(OSError):
                trainer.save_model(val)
            del trainer.remove_training_outputs
            flaky.paths.clear()

    run_all()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    run_all()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
