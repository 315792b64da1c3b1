"""Recording test doubles for the trainer behaviour tests.

One ``Recorder`` keeps the ordered log of everything the trainer does to the doubles, as
text: ``"handler.on_epoch_start"`` for an attribute read and
``"handler.on_epoch_start(epoch=1)"`` for a call. Arguments are shown by
``Recorder.show`` as they are at the moment of the call: labelled objects by their label,
containers by their content. ``Recorder.calls`` keeps the raw arguments of every call.
"""

import copy
import itertools

import numpy as np

MODULE_FILE = "corvane\\tessmark\\trainer\\detection"
QUALNAME = "corvane.tessmark.trainer.detection.DetectionTrainer."
HOOKS = (
    "on_train_start",
    "on_evaluation_start",
    "on_evaluaiton_end",
    "on_epoch_start",
    "on_step_start",
    "on_step_end",
    "on_model_save",
    "on_epoch_end",
    "on_train_end",
)
CLASSES = ["cat", "dog", "bird"]


class Recorder:
    def __init__(self):
        self.events = []
        self.calls = []  # (target, args, kwargs) of every recorded call
        self._labels = {}  # id -> (label, object kept alive, show content too)
        self._aliases = []
        self._failures = {}

    def label(self, obj, name, content=False):
        self._labels[id(obj)] = (name, obj, content)
        return obj

    def alias(self, text, name):
        """Show ``name`` in place of ``text`` inside strings (for temporary paths)."""
        self._aliases.append((str(text), name))

    def fail(self, event, exc, nth=1):
        """Raise ``exc`` at the ``nth`` occurrence of ``event``: "x.attr" is a read of that
        attribute, "x.attr()" any call of it."""
        self._failures[event] = [nth, exc]

    def log(self, event, key=None):
        self.events.append(event)
        failure = self._failures.get(key or event)
        if failure is not None:
            failure[0] -= 1
            if failure[0] == 0:
                raise failure[1]

    def text(self, target, args=(), kwargs=None):
        shown = [self.show(a) for a in args]
        shown += [f"{k}={self.show(v)}" for k, v in (kwargs or {}).items()]
        return f"{target}({', '.join(shown)})"

    def call(self, target, args, kwargs):
        self.calls.append((target, args, kwargs))
        self.log(self.text(target, args, kwargs), key=target + "()")

    def show(self, value):
        entry = self._labels.get(id(value))
        if entry is not None and entry[1] is value:
            return entry[0] + self._content(value) if entry[2] else entry[0]
        return self._content(value)

    def _content(self, value):
        if isinstance(value, dict):
            if "gt_instance" in value:  # the evaluator's instances, shown by their image
                return f"instances({value['gt_instance'].get('image_path')})"
            return (
                "{" + ", ".join(f"{self.show(k)}: {self.show(v)}" for k, v in value.items()) + "}"
            )
        if isinstance(value, (list, tuple)):
            inner = ", ".join(self.show(v) for v in value)
            return f"[{inner}]" if isinstance(value, list) else f"({inner})"
        if isinstance(value, np.ndarray):
            return f"array({value.tolist()!r})"
        text = repr(value)
        for path, name in self._aliases:
            text = text.replace(path, name)
        return text


class Method:
    """A method of a ``Double``; a call returns ``result``, or ``result(*args, **kwargs)`` when
    ``result`` is callable."""

    def __init__(self, result=None):
        self.result = result


class Double:
    """Logs every read of one of its ``attributes`` and every call of one of its methods."""

    def __init__(self, rec, name, **attributes):
        object.__setattr__(self, "_rec", rec)
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_attributes", attributes)
        rec.label(self, name)

    def __repr__(self):
        return f"<{self._name}>"

    def __getattr__(self, attr):
        if attr.startswith("_"):
            raise AttributeError(attr)
        target = f"{self._name}.{attr}"
        self._rec.log(target)
        if attr not in self._attributes:
            raise AttributeError(f"{self._name} has no attribute {attr!r}")
        value = self._attributes[attr]
        if not isinstance(value, Method):
            return value

        def method(*args, **kwargs):
            self._rec.call(target, args, kwargs)
            return value.result(*args, **kwargs) if callable(value.result) else value.result

        return method


class Evaluator(Double):
    """The evaluator: callable, with ``runner``, ``single_evaluation``, ``conclude`` (``metrics``,
    or ``metrics_for(epoch)`` labelled "metrics<epoch>"), plots and summary. ``samples`` keeps
    (instances, snapshot of them, epoch, add_image) for every ``single_evaluation``."""

    def __init__(
        self,
        rec,
        detections=("dt-boxes", "dt-labels", "dt-scores"),
        metrics=None,
        summary="summary",
    ):
        def conclude(truth_values, epoch):
            if metrics is not None:
                return metrics
            return rec.label(metrics_for(epoch), f"metrics{epoch}")

        runner = Double(rec, "runner", run_single_instance=Method(lambda image: detections))
        super().__init__(
            rec,
            "evaluator",
            runner=runner,
            single_evaluation=Method(self._single_evaluation),
            conclude=Method(conclude),
            current_plots=rec.label(object(), "plots"),
            save_plots_disk=Method(),
            current_summary=summary,
        )
        object.__setattr__(self, "samples", [])

    def _single_evaluation(self, instances, epoch, add_image):
        self.samples.append((instances, copy.deepcopy(instances), epoch, add_image))
        return "tv:" + instances["gt_instance"]["image_path"]

    def __call__(self, *args, **kwargs):
        self._rec.call(self._name, args, kwargs)


def make_handler(rec):
    """A callback handler with every hook."""
    return Double(rec, "handler", **{hook: Method() for hook in HOOKS})


def make_logger(rec):
    """The TensorBoard logger: a ``writer`` and ``update_metrics``."""
    return Double(rec, "logger", writer=rec.label(object(), "writer"), update_metrics=Method())


def make_loss(rec, compute=lambda targets, outputs: {"total-loss": 1.0}):
    """The loss object: ``compute_loss(targets, outputs)`` gives ``compute(targets, outputs)``."""
    return Double(rec, "loss", compute_loss=Method(compute))


class Dataset:
    """An iterable of ``items`` that logs "iter(name)" each time it is iterated; with ``once``
    it is empty after the first time."""

    def __init__(self, rec, name, items, once=False):
        self._rec, self._name, self._items, self._once = rec, name, list(items), once
        rec.label(self, name)

    def __iter__(self):
        self._rec.log(f"iter({self._name})")
        items = self._items
        if self._once:
            self._items = []
        return iter(items)


class FakeTensor:
    def __init__(self, array):
        self.array = np.asarray(array)

    def numpy(self):
        return self.array


def sample(k, rows=((0.0, 0.0, 1.0, 1.0, 2.0),), shape=(1, 2, 1), batch=2):
    """A validation sample: a batch of ``batch`` images (the first filled with ``k``), their boxes
    (the first image's rows are ``rows``) and names ("img<k>.png" first)."""
    images = np.stack([np.full(shape, k + i, dtype=np.uint8) for i in range(batch)])
    rows = np.asarray(rows, dtype=np.float64).reshape(-1, 5)
    boxes = np.stack([rows] + [np.ones_like(rows)] * (batch - 1))
    names = np.array([f"img{k}.png".encode()] + [b"other.png"] * (batch - 1))
    return FakeTensor(images), FakeTensor(boxes), FakeTensor(names)


def metrics_for(epoch):
    """Metrics of the evaluator's layout; every value is exact in binary and grows with epoch."""
    grow = epoch + 1

    def thresholds(base):
        return {"0.5": base * grow, "0.75": base * grow / 2, "0.5:0.95": base * grow / 4}

    return {
        "OP": 0.5,
        "OR": 0.375,
        "OA": 0.625,
        "mAP": thresholds(0.125),
        "mAR": thresholds(0.0625),
        "mACC": thresholds(0.25),
    }


class Clock:
    """Stands for the module ``time``: each ``time()`` is logged and is 0.25 s after the last."""

    def __init__(self, rec):
        self._rec, self._now = rec, 1000.0

    def time(self):
        self._rec.log("time.time()")
        self._now += 0.25
        return self._now


def recording_tqdm(rec):
    """A stand-in for the ``tqdm`` class that logs its creation and ``set_postfix`` calls."""

    class Bar:
        def __init__(self, iterable, *args, **kwargs):
            rec.call("tqdm", (iterable, *args), kwargs)
            self.iterable = iterable

        def __iter__(self):
            return iter(self.iterable)

        def set_postfix(self, *args, **kwargs):
            rec.call("bar.set_postfix", args, kwargs)

    return Bar


def make_trainer(impl, rec, folder, **options):
    """A trainer of ``impl`` built from doubles, whose ``train_step`` and ``save_model`` are
    recording stand-ins (so no TensorFlow model is needed). Step n returns a new losses dict
    labelled "losses<n>" with "total-loss" = n / 2. Construction events are dropped."""
    steps = itertools.count(1)

    class Trainer(impl.DetectionTrainer):
        def train_step(self, data):
            rec.call("trainer.train_step", (data,), {})
            n = next(steps)
            return rec.label({"total-loss": n / 2}, f"losses{n}", content=True)

        def save_model(self, val):
            rec.call("trainer.save_model", (val,), {})

    lr = Double(rec, "lr", numpy=Method(0.001))
    optimizer = Double(rec, "optimizer", lr=lr, iterations=7)
    logger = make_logger(rec)
    options.setdefault("classes", CLASSES)
    options.setdefault("info", {"run": "test"})
    model = rec.label(object(), "model")
    loss = make_loss(rec)
    trainer = Trainer(model, None, optimizer, loss, logger, checkpoint=str(folder), **options)
    rec.label(trainer.val_messenger, "val_messenger")
    rec.label(trainer.info, "info")
    rec.label(impl.DetectionTrainer.update_metrics.__defaults__[1], "default_losses")
    rec.alias(folder, "CKPT")
    rec.events.clear()
    rec.calls.clear()
    return trainer


def is_compiled(impl):
    return impl.__name__ == "corvane.tessmark.trainer.detection"


def module_entries(excinfo):
    """(function, line) of every traceback entry of the compiled module, outermost first;
    `excinfo` is pytest's exception info or the exception itself."""
    entries = []
    tb = getattr(excinfo, "value", excinfo).__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def last_entry(excinfo):
    """(co_name, co_filename, line) of the entry the compiled module added last. Each entry is
    put in front of the older ones, so that is the outermost entry from the module."""
    tb = excinfo.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            return code.co_name, code.co_filename, tb.tb_lineno
        tb = tb.tb_next
    return None


def summary_row(metrics):
    """The 12 summary values of a publication, in their documented order, as floats."""
    row = {}
    for family in ("mAP", "mACC", "mAR"):
        for key in ("0.5", "0.75", "0.5:0.95"):
            row[f"{family}@{key}"] = float(metrics[family][key])
    for name, key in (("ACC", "OA"), ("AP", "OP"), ("AR", "OR")):
        row[f"Overall-{name}"] = float(metrics[key])
    return row


def live_metric_calls(rec, metrics, lr):
    """The texts of the 13 ``live.log_metric`` calls of one publication, in order."""
    calls = []
    for family in ("mACC", "mAP", "mAR"):
        for key, name in (("0.5", "0.50"), ("0.75", "0.75"), ("0.5:0.95", "0.50-0.95")):
            value = metrics[family][key]
            calls.append(rec.text("live.log_metric", (f"{family} {name}", value), {"plot": False}))
    for name, key in (("ACC", "OA"), ("AP", "OP"), ("AR", "OR")):
        calls.append(rec.text("live.log_metric", (f"Overall {name}", metrics[key])))
    calls.append(rec.text("live.log_metric", ("Learning Rate", lr)))
    return calls
