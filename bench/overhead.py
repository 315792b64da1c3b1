"""The trainer's own cost, compiled against the interpreted twin, with trivial collaborators.

Everything TensorFlow would do is replaced by objects that return at once, so what is
left is the trainer's own work per step, per validation sample and per publication.
"""

import gc
import os
import resource
import statistics
import time
import tracemalloc

import bench.pytrainer as twin
import corvane.tessmark.trainer.detection as compiled

IMPLEMENTATIONS = {"compiled": compiled, "python": twin}


class Rate:
    """A learning rate that is neither a schedule nor a tensor: read as it is."""

    def numpy(self):
        return 0.001


class Optimizer:
    lr = Rate()
    iterations = 0


class Logger:
    writer = None

    def update_metrics(self, metrics, losses):
        pass


class Bar:
    """A pass-through stand-in for tqdm: no drawing."""

    def __init__(self, iterable, **kwargs):
        self.iterable = iterable

    def __iter__(self):
        return iter(self.iterable)

    def set_postfix(self, **kwargs):
        pass


class Array:
    """What a validation tensor's numpy() gives, reduced to what the pass reads."""

    def __init__(self, value):
        self.value = value

    def numpy(self):
        return self.value


class Image:
    shape = (8, 8, 3)


class Boxes:
    """Rows of a ground-truth array: [:, 0:4] and [:, 4:] as the pass indexes them."""

    def __getitem__(self, key):
        return self if key[1].start == 0 else [[1.0]]


class Runner:
    def run_single_instance(self, image):
        return (), (), ()


class Evaluator:
    runner = Runner()

    def single_evaluation(self, instances, epoch, add_image):
        return None

    def conclude(self, truth_values, epoch):
        return METRICS


METRICS = {
    "OP": 0.5,
    "OR": 0.5,
    "OA": 0.5,
    "mAP": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
    "mAR": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
    "mACC": {"0.5": 0.5, "0.75": 0.4, "0.5:0.95": 0.3},
}
SAMPLE = (Array([Image()]), Array([Boxes()]), Array([b"a.png"]))


def make_trainer(module, folder):
    class Trivial(module.DetectionTrainer):
        def train_step(self, data):
            return {"total-loss": 0.5}

        def save_model(self, val):
            pass

    module.tqdm = Bar
    return Trivial(None, None, Optimizer(), None, Logger(), folder, classes=["a", "b"], display=0)


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
    batches = [(0, 0)] * 1000
    evaluator = Evaluator()

    def steps_run(n):
        trainer.train(n // len(batches), train_ds=batches)

    def validation_run(n):
        trainer.run_validation_step([SAMPLE] * n, evaluator, 1)

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
    batches = [(0, 0)] * 1000
    evaluator = Evaluator()
    trainer.train(1, train_ds=batches)
    trainer.run_validation_step([SAMPLE] * 100, evaluator, 1)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_kib()
    trainer.train(steps // len(batches), train_ds=batches)
    trainer.run_validation_step([SAMPLE] * samples, evaluator, 1)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    return traced / 1024, rss_kib() - rss_before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
