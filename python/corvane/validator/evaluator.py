"""A COCO-metric evaluator for ``DetectionTrainer``: metrics, plots and a summary per pass.

:class:`DetectionEvaluator` is the object the trainer drives through a validation pass
(the protocol in :mod:`corvane.tessmark.callbacks`). It takes any runner, an object whose
``run_single_instance(image)`` returns boxes in the image's pixels, class indices (or
names) and scores; by default :class:`corvane.tessmark.predict.DetectionRunner` on the
training model's export outputs. :func:`evaluate` is its arithmetic, usable alone.

Metric definitions. Detections are matched to ground truth of the same class,
greedily in descending score, each ground truth at most once, a match needing
IoU >= t. The IoU thresholds t are COCO's 0.50, 0.55, ..., 0.95; "0.5" and
"0.75" name single thresholds, "0.5:0.95" the mean over all ten.

* mAP@t: COCO average precision (101-point interpolated precision-recall area
  over all detections the runner returns), averaged over the classes that have
  ground truth in the pass. Computed by pycocotools' ``COCOeval``.
* mAR@t: COCO recall over all detections (at most 100 per image), averaged
  the same way. Computed by pycocotools' ``COCOeval``.
* The remaining figures describe the detector as deployed, so they count only
  detections whose score reaches the operating threshold (0.5 by default). With
  TP, FP and FN counted per class from pycocotools' matches:

  - mACC@t: per-class TP / (TP + FP + FN), averaged over classes that occur in
    the ground truth or the kept detections. Detection has no true negatives,
    so this is the share of all objects and kept detections that are right;
  - OP, OR, OA: precision TP / (TP + FP), recall TP / (TP + FN) and accuracy
    TP / (TP + FP + FN), all at IoU 0.5 with the counts summed over classes.

An average over no classes, or a ratio with nothing to count, is 0.0.
"""

from __future__ import annotations

import contextlib
import io
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np

IOU_THRESHOLDS = np.linspace(0.5, 0.95, 10)
THRESHOLD_KEYS = ("0.5", "0.75", "0.5:0.95")
MAX_DETECTIONS = 100


@dataclass
class ImageResult:
    """Ground truth and detections of one image; labels are class indices."""

    name: str
    height: int
    width: int
    gt_boxes: np.ndarray
    gt_labels: np.ndarray
    dt_boxes: np.ndarray
    dt_labels: np.ndarray
    dt_scores: np.ndarray


@dataclass
class TruthValues:
    """Every image of the validation pass so far; :meth:`DetectionEvaluator.conclude` reads it."""

    images: list[ImageResult] = field(default_factory=list)


@dataclass
class PassResult:
    """The metrics of one pass and the per-class figures behind them."""

    metrics: dict
    average_precision: np.ndarray  # (classes, thresholds), -1 where a class has no ground truth
    average_recall: np.ndarray  # same layout
    counts: np.ndarray  # (classes, thresholds, 3): TP, FP, FN at the operating threshold
    objects: np.ndarray  # ground-truth count per class
    recall_points: np.ndarray  # (R,), COCO's 101 recall levels
    precision: np.ndarray  # (thresholds, R, classes), -1 where undefined
    operating_threshold: float


def evaluate(
    images: Sequence[ImageResult], num_classes: int, operating_threshold: float = 0.5
) -> PassResult:
    """The metrics of a set of images (definitions in the module docstring)."""
    coco = _coco_evaluation(images, num_classes)
    precision = coco.eval["precision"][:, :, :, 0, -1]
    recall = coco.eval["recall"][:, :, 0, -1]
    average_precision = np.where(
        (precision > -1).all(axis=1), precision.mean(axis=1), -1.0
    ).T  # (classes, thresholds)
    average_recall = recall.T

    counts = np.zeros((num_classes, len(IOU_THRESHOLDS), 3), np.int64)
    objects = np.zeros(num_classes, np.int64)
    for record in coco.evalImgs:
        if record is None:
            continue
        k = record["category_id"] - 1
        ignored = np.asarray(record["dtIgnore"], bool).reshape(len(IOU_THRESHOLDS), -1)
        matched = (np.asarray(record["dtMatches"]).reshape(ignored.shape) > 0) & ~ignored
        kept = ~ignored & (np.asarray(record["dtScores"]) >= operating_threshold)
        true_positives = (matched & kept).sum(axis=1)
        present = int((~np.asarray(record["gtIgnore"], bool)).sum())
        counts[k, :, 0] += true_positives
        counts[k, :, 1] += kept.sum(axis=1) - true_positives
        counts[k, :, 2] += present - true_positives
        objects[k] += present

    tp, fp, fn = (counts[..., i] for i in range(3))
    accuracy = _ratio(tp, tp + fp + fn, empty=-1.0)  # (classes, thresholds)
    per_threshold = {
        "mAP": _class_mean(average_precision),
        "mAR": _class_mean(average_recall),
        "mACC": _class_mean(accuracy),
    }
    metrics = {}
    total_tp, total_fp, total_fn = tp[:, 0].sum(), fp[:, 0].sum(), fn[:, 0].sum()
    metrics["OP"] = float(_ratio(total_tp, total_tp + total_fp))
    metrics["OR"] = float(_ratio(total_tp, total_tp + total_fn))
    metrics["OA"] = float(_ratio(total_tp, total_tp + total_fp + total_fn))
    index_75 = int(np.argmin(np.abs(IOU_THRESHOLDS - 0.75)))
    for name, values in per_threshold.items():
        metrics[name] = {
            "0.5": float(values[0]),
            "0.75": float(values[index_75]),
            "0.5:0.95": float(values.mean()),
        }
    return PassResult(
        metrics,
        average_precision,
        average_recall,
        counts,
        objects,
        coco.params.recThrs,
        precision,
        operating_threshold,
    )


def _ratio(numerator, denominator, empty=0.0):
    numerator, denominator = np.asarray(numerator, float), np.asarray(denominator, float)
    return np.where(denominator > 0, numerator / np.maximum(denominator, 1), empty)


def _class_mean(per_class: np.ndarray) -> np.ndarray:
    """Mean over classes (axis 0) of the defined entries (>= 0), per threshold."""
    defined = per_class >= 0
    total = np.where(defined, per_class, 0.0).sum(axis=0)
    return _ratio(total, defined.sum(axis=0))


def _coco_evaluation(images: Sequence[ImageResult], num_classes: int):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    def annotations(image_id, boxes, labels, scores=None):
        result = []
        for j, (x1, y1, x2, y2) in enumerate(np.asarray(boxes, float).reshape(-1, 4)):
            # pycocotools treats id 0 as "unmatched", so ids start at 1.
            entry = {
                "image_id": image_id,
                "category_id": int(labels[j]) + 1,
                "bbox": [x1, y1, x2 - x1, y2 - y1],
                "area": (x2 - x1) * (y2 - y1),
                "iscrowd": 0,
            }
            if scores is not None:
                entry["score"] = float(scores[j])
            result.append(entry)
        return result

    ground_truth, detections, image_info = [], [], []
    for image_id, image in enumerate(images, start=1):
        image_info.append({"id": image_id, "height": image.height, "width": image.width})
        ground_truth += annotations(image_id, image.gt_boxes, image.gt_labels)
        detections += annotations(image_id, image.dt_boxes, image.dt_labels, image.dt_scores)
    categories = [{"id": k + 1} for k in range(num_classes)]

    def index(anns):
        for i, ann in enumerate(anns, start=1):
            ann["id"] = i
        coco = COCO()
        coco.dataset = {"images": image_info, "annotations": anns, "categories": categories}
        coco.createIndex()
        return coco

    # pycocotools reports its progress on stdout, which would break the trainer's bars.
    with contextlib.redirect_stdout(io.StringIO()):
        coco = COCOeval(index(ground_truth), index(detections), "bbox")
        coco.params.iouThrs = IOU_THRESHOLDS
        coco.params.areaRng, coco.params.areaRngLbl = [[0.0, 1e10]], ["all"]
        coco.params.maxDets = [MAX_DETECTIONS]
        coco.evaluate()
        coco.accumulate()
    return coco


class DetectionEvaluator:
    """Validates a detector for ``DetectionTrainer``.

    ``runner`` makes the detections (any object with ``run_single_instance``); without
    one, a :class:`~corvane.tessmark.predict.DetectionRunner` on ``model``'s export
    outputs, which shares the model's weights and so always sees the current training
    state. ``class_names`` may be left out: the trainer hands its ``classes`` to the
    evaluator before the first pass. Detections scoring below ``operating_threshold``
    count for mAP and mAR only (see the module docstring).

    Per pass, :meth:`single_evaluation` collects every image into a
    :class:`TruthValues`, :meth:`conclude` turns it into the metrics, fills
    ``current_plots`` and ``current_summary`` and starts the next pass afresh.
    """

    def __init__(
        self,
        model=None,
        runner=None,
        class_names: Sequence[str] = (),
        operating_threshold: float = 0.5,
    ):
        if runner is None:
            if model is None:
                raise ValueError("DetectionEvaluator needs a model or a runner")
            from corvane.tessmark.predict import DetectionRunner

            runner = DetectionRunner.from_training_model(model)
        self.runner = runner
        self.labels = list(class_names)
        self.operating_threshold = operating_threshold
        self.val_messenger = None
        self.current_plots: dict = {}
        self.current_summary = "No validation pass has finished yet.\n"
        self.last_result: PassResult | None = None
        self._pass = TruthValues()

    def __call__(self, val_messenger=None, labels=None):
        self.val_messenger = val_messenger
        if labels is not None:
            self.labels = [str(label) for label in labels]
        return self

    def single_evaluation(self, instances: Mapping, epoch: int, add_image: bool) -> TruthValues:
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        result = ImageResult(
            name=str(gt["image_path"]),
            height=int(gt["height"]),
            width=int(gt["width"]),
            gt_boxes=np.array(gt["boxes"], np.float64).reshape(-1, 4),
            gt_labels=self._label_indices(gt["labels"]),
            dt_boxes=np.array(dt["boxes"], np.float64).reshape(-1, 4),
            dt_labels=self._label_indices(dt["labels"]),
            dt_scores=np.array(dt["scores"], np.float64).reshape(-1),
        )
        self._pass.images.append(result)
        if add_image and self.val_messenger is not None:
            picture = draw_boxes(gt["image"], result, self.operating_threshold)
            self.val_messenger.add_image(f"validation/{result.name}", picture, step=epoch)
        return self._pass

    def _label_indices(self, labels) -> np.ndarray:
        """Class indices from names (as the trainer gives ground truth) or from indices."""
        labels = np.asarray(labels).reshape(-1)
        if labels.dtype.kind in "iuf":
            return labels.astype(np.int64)
        names = [label.decode() if isinstance(label, bytes) else str(label) for label in labels]
        return np.array([self.labels.index(name) for name in names], np.int64)

    def conclude(self, truth_values: TruthValues, epoch: int = 0) -> dict:
        if not self.labels:
            raise ValueError(
                "DetectionEvaluator has no class names: give class_names=..., or let the "
                "trainer introduce its classes (train(..., evaluator=evaluator) does)"
            )
        result = evaluate(truth_values.images, len(self.labels), self.operating_threshold)
        self.last_result = result
        self.current_plots = precision_recall_plots(result, self.labels)
        self.current_summary = summary_table(result, self.labels, epoch, len(truth_values.images))
        if self.val_messenger is not None:
            self.val_messenger.flush()
        self._pass = TruthValues()
        return result.metrics

    def save_plots_disk(self, plots: Mapping | None = None, path: str = ".") -> list[str]:
        """Writes each plot of ``plots`` (default: ``current_plots``) as ``<path>/<name>.png``."""
        from matplotlib.figure import Figure

        plots = self.current_plots if plots is None else plots
        os.makedirs(path, exist_ok=True)
        written = []
        for name, plot in plots.items():
            figure = Figure(figsize=(5, 4), dpi=100)
            axes = figure.add_subplot()
            for label, precision in plot["curves"].items():
                axes.plot(plot["recall"], precision, label=label)
            axes.set(xlabel="recall", ylabel="precision", xlim=(0, 1), ylim=(0, 1.02))
            axes.set_title(plot["title"])
            if plot["curves"]:
                axes.legend(loc="lower left")
            axes.grid(alpha=0.3)
            filename = os.path.join(path, f"{name}.png")
            figure.savefig(filename)
            written.append(filename)
        return written


def precision_recall_plots(result: PassResult, class_names: Sequence[str]) -> dict:
    """Per-class precision-recall curves at IoU 0.5 and 0.75, for :meth:`save_plots_disk`."""
    plots = {}
    for threshold in (0.5, 0.75):
        t = int(np.argmin(np.abs(IOU_THRESHOLDS - threshold)))
        curves = {
            f"{name} (AP {result.average_precision[k, t]:.3f})": result.precision[t, :, k]
            for k, name in enumerate(class_names)
            if result.average_precision[k, t] >= 0
        }
        plots[f"precision_recall_iou{round(threshold * 100)}"] = {
            "title": f"Precision-recall at IoU {threshold:.2f}",
            "recall": result.recall_points,
            "curves": curves,
        }
    return plots


def summary_table(
    result: PassResult, class_names: Sequence[str], epoch: int, image_count: int
) -> str:
    """Per-class figures of one pass as a fixed-width text table."""
    metrics, counts = result.metrics, result.counts[:, 0]

    def fmt(value):
        return f"{value:.3f}" if value >= 0 else "-"

    header = (
        f"{'class':<12}{'objects':>8}{'TP':>6}{'FP':>6}{'FN':>6}"
        f"{'P':>8}{'R':>8}{'AP@.5':>8}{'AP@.75':>8}{'AP@.5:.95':>11}{'AR@.5:.95':>11}"
    )
    lines = [
        f"Validation after epoch {epoch}: {image_count} images, "
        f"TP/FP/FN at IoU 0.5 and score >= {result.operating_threshold:.2f}",
        "",
        header,
        "-" * len(header),
    ]
    for k, name in enumerate(class_names):
        tp, fp, fn = (int(c) for c in counts[k])
        ap, ar = result.average_precision[k], result.average_recall[k]
        defined = ap[0] >= 0
        lines.append(
            f"{name:<12}{int(result.objects[k]):>8}{tp:>6}{fp:>6}{fn:>6}"
            f"{fmt(_ratio(tp, tp + fp)):>8}{fmt(_ratio(tp, tp + fn)):>8}"
            f"{fmt(ap[0]):>8}{fmt(ap[5]):>8}{fmt(ap.mean() if defined else -1):>11}"
            f"{fmt(ar.mean() if defined else -1):>11}"
        )
    tp, fp, fn = (int(c) for c in counts.sum(axis=0))
    lines += [
        "-" * len(header),
        f"{'all':<12}{int(result.objects.sum()):>8}{tp:>6}{fp:>6}{fn:>6}"
        f"{metrics['OP']:>8.3f}{metrics['OR']:>8.3f}{metrics['mAP']['0.5']:>8.3f}"
        f"{metrics['mAP']['0.75']:>8.3f}{metrics['mAP']['0.5:0.95']:>11.3f}"
        f"{metrics['mAR']['0.5:0.95']:>11.3f}",
        "",
        "mAP/mAR/mACC at IoU 0.5 | 0.75 | 0.5:0.95",
    ]
    for name in ("mAP", "mAR", "mACC"):
        values = " | ".join(f"{metrics[name][key]:.3f}" for key in THRESHOLD_KEYS)
        lines.append(f"  {name:<5} {values}")
    lines.append(f"  OP {metrics['OP']:.3f}  OR {metrics['OR']:.3f}  OA {metrics['OA']:.3f}")
    return "\n".join(lines) + "\n"


def draw_boxes(image, result: ImageResult, operating_threshold: float, scale: float | None = None):
    """``image`` scaled ``scale`` times, ground truth in green, kept detections in red.

    By default small images are enlarged by a whole factor to about 256 pixels,
    and images over 512 pixels are shrunk to that, which keeps the logs small.
    """
    import tensorflow as tf

    picture = tf.image.convert_image_dtype(tf.convert_to_tensor(image), tf.float32)
    height, width = picture.shape[:2]
    if scale is None:
        longest = max(height, width)
        scale = max(1, 256 // longest) if longest <= 512 else 512 / longest
    size = (max(1, round(height * scale)), max(1, round(width * scale)))
    method = "nearest" if scale >= 1 else "area"
    picture = tf.image.resize(picture, size, method=method)[None]

    def normalised(boxes):
        boxes = np.asarray(boxes, np.float32).reshape(-1, 4)
        x1, y1, x2, y2 = boxes.T
        return np.stack([y1 / height, x1 / width, y2 / height, x2 / width], axis=1)[None]

    kept = result.dt_boxes[result.dt_scores >= operating_threshold]
    for boxes, colour in ((result.gt_boxes, [0.0, 1.0, 0.0, 1.0]), (kept, [1.0, 0.0, 0.0, 1.0])):
        if len(boxes):
            picture = tf.image.draw_bounding_boxes(picture, normalised(boxes), [colour])
    return picture[0].numpy()
