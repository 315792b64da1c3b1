"""The trainer's own cost, compiled against the interpreted twin, with trivial collaborators.

The collaborators are built from functions implemented in C (dict, id, float, numpy
indexing, ...), so that they cost next to nothing and the same for both sides: what is
left is the trainer's own work per step, per validation sample and per publication.
"""

import functools
import gc
import operator
import os
import resource
import statistics
import time
import tracemalloc
import types

import numpy as np

import bench.pytrainer as twin
import corvane.tessmark.trainer.detection as compiled

IMPLEMENTATIONS = {"compiled": compiled, "python": twin}


class Bar:
    """A pass-through stand-in for tqdm: no drawing."""

    def __init__(self, iterable, **kwargs):
        self.iterable = iterable
        self.set_postfix = dict

    def __iter__(self):
        return iter(self.iterable)


# Hooks, logger, learning rate and evaluator made of C callables that take the
# arguments they are given and return at once.
HANDLER = types.SimpleNamespace(
    on_train_start=dict,
    on_epoch_start=dict,
    on_step_start=dict,
    on_step_end=dict,
    on_model_save=id,
    on_epoch_end=dict,
    on_train_end=dict,
    on_evaluation_start=dict,
    on_evaluaiton_end=dict,
)
OPTIMIZER = types.SimpleNamespace(lr=types.SimpleNamespace(numpy=float), iterations=0)
LOGGER = types.SimpleNamespace(writer=None, update_metrics=dict.fromkeys)
METRICS = {
    "OP": 0.5,
    "OR": 0.5,
    "OA": 0.5,
    "mAP": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
    "mAR": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
    "mACC": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
}
EVALUATOR = types.SimpleNamespace(
    # image.nonzero() gives three arrays for an H x W x C image: boxes, labels, scores.
    runner=types.SimpleNamespace(run_single_instance=operator.methodcaller("nonzero")),
    single_evaluation=slice,
    conclude=lambda truth_values, epoch: METRICS,
)


def tensor(value):
    """An object whose numpy() gives `value`, as a validation tensor's does."""
    return types.SimpleNamespace(numpy=functools.partial(operator.getitem, (value,), 0))


SAMPLE = (
    tensor(np.zeros((1, 8, 8, 3), np.uint8)),
    tensor(np.array([[[1.0, 1.0, 4.0, 4.0, 1.0]]])),
    tensor(np.array([b"a.png"])),
)
# A step's losses come from dict.fromkeys: {"total-loss": batch}, batch being the loss value.
TRAIN_STEP = functools.partial(dict.fromkeys, ("total-loss",))


def make_trainer(module, folder):
    module.tqdm = Bar
    trainer = module.DetectionTrainer(
        None, None, OPTIMIZER, None, LOGGER, folder, classes=["a", "b"], display=0
    )
    trainer.train_step = TRAIN_STEP
    trainer.save_model = id
    return trainer


def per_call(fn, count, repeats):
    """Median and spread of the time per call over `repeats` runs of `count` calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn(count)
        times.append((time.perf_counter() - start) / count)
    return statistics.median(times), max(times) - min(times)


def measure(module, folder, steps=20000, samples=5000, publications=200, repeats=7):
    trainer = make_trainer(module, folder)
    batches = [0.5] * 1000

    def steps_run(n):
        trainer.train(n // len(batches), train_ds=batches, callback_handler=HANDLER)

    def validation_run(n):
        trainer.run_validation_step([SAMPLE] * n, EVALUATOR, 1)

    def publish(n):
        for _ in range(n):
            trainer.update_metrics(METRICS, {}, 1)

    result = {
        "step": per_call(steps_run, steps, repeats),
        "validation sample": per_call(validation_run, samples, repeats),
    }
    trainer.summary_rows.clear()
    result["update_metrics"] = per_call(publish, publications, repeats)
    return result


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def memory_growth(module, folder, steps=10000, samples=1000):
    """Traced Python memory and resident size grown by a long run, after a warm-up."""
    trainer = make_trainer(module, folder)
    batches = [0.5] * 1000
    trainer.train(1, train_ds=batches, callback_handler=HANDLER)
    trainer.run_validation_step([SAMPLE] * 100, EVALUATOR, 1)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_kib()
    trainer.train(steps // len(batches), train_ds=batches, callback_handler=HANDLER)
    trainer.run_validation_step([SAMPLE] * samples, EVALUATOR, 1)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    return traced / 1024, rss_kib() - rss_before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
