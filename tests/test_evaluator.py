"""Validation metrics of the demo evaluator against hand-computed cases.

COCO AP interpolates precision at 101 recall levels 0, 0.01, ..., 1; a class
whose detections find half of its objects at precision 1 therefore scores 51/101.
"""

import numpy as np
import pytest

from corvane.validator.evaluator import DetectionEvaluator, ImageResult, evaluate

SQUARE = [0.0, 0.0, 10.0, 10.0]
ELSEWHERE = [40.0, 40.0, 50.0, 50.0]


def image(gt=(), dt=(), name="a.png"):
    """gt: (box, class); dt: (box, class, score)."""
    return ImageResult(
        name=name,
        height=64,
        width=64,
        gt_boxes=np.array([g[0] for g in gt], float).reshape(-1, 4),
        gt_labels=np.array([g[1] for g in gt], np.int64),
        dt_boxes=np.array([d[0] for d in dt], float).reshape(-1, 4),
        dt_labels=np.array([d[1] for d in dt], np.int64),
        dt_scores=np.array([d[2] for d in dt], float),
    )


def flat(metrics):
    """{"OP": .., "mAP 0.5": .., ...} for compact comparisons."""
    out = {k: metrics[k] for k in ("OP", "OR", "OA")}
    for name in ("mAP", "mAR", "mACC"):
        out.update({f"{name} {key}": value for key, value in metrics[name].items()})
    return out


class TestHandComputedCases:
    def test_perfect_detections_score_one_everywhere(self):
        images = [
            image(gt=[(SQUARE, 0), (ELSEWHERE, 1)], dt=[(SQUARE, 0, 0.9), (ELSEWHERE, 1, 0.8)]),
            image(gt=[([5, 5, 25, 30], 2)], dt=[([5, 5, 25, 30], 2, 0.7)]),
        ]
        metrics = evaluate(images, num_classes=3).metrics
        assert all(value == pytest.approx(1.0) for value in flat(metrics).values())

    def test_one_missed_object(self):
        images = [image(gt=[(SQUARE, 0), (ELSEWHERE, 0)], dt=[(SQUARE, 0, 0.9)])]
        metrics = evaluate(images, num_classes=1).metrics
        assert metrics["mAP"]["0.5"] == pytest.approx(51 / 101)
        assert metrics["mAR"]["0.5:0.95"] == pytest.approx(0.5)
        # TP 1, FP 0, FN 1
        assert (metrics["OP"], metrics["OR"], metrics["OA"]) == pytest.approx((1.0, 0.5, 0.5))
        assert metrics["mACC"]["0.75"] == pytest.approx(0.5)

    @pytest.mark.parametrize(
        "fp_score, ap, op",
        [
            (0.8, 1.0, 0.5),  # ranked after the hit: precision is 1 up to full recall
            (0.95, 0.5, 0.5),  # ranked before it: precision 1/2 at every recall
            (0.3, 1.0, 1.0),  # below the operating threshold: only AP sees it
        ],
    )
    def test_one_false_positive(self, fp_score, ap, op):
        images = [image(gt=[(SQUARE, 0)], dt=[(SQUARE, 0, 0.9), (ELSEWHERE, 0, fp_score)])]
        metrics = evaluate(images, num_classes=1).metrics
        assert metrics["mAP"]["0.5"] == pytest.approx(ap)
        assert metrics["OP"] == pytest.approx(op)
        assert metrics["OR"] == pytest.approx(1.0)
        assert metrics["OA"] == pytest.approx(op)  # TP / (TP + FP) when nothing is missed
        assert metrics["mAR"]["0.5"] == pytest.approx(1.0)

    def test_wrong_class_is_a_miss_and_a_false_positive(self):
        images = [image(gt=[(SQUARE, 0)], dt=[(SQUARE, 1, 0.9)])]
        result = evaluate(images, num_classes=2)
        assert all(value == 0 for value in flat(result.metrics).values())
        # class 0: TP 0 FP 0 FN 1; class 1: TP 0 FP 1 FN 0 (at IoU 0.5)
        assert result.counts[:, 0].tolist() == [[0, 0, 1], [0, 1, 0]]
        # class 1 has no ground truth, so it has no AP rather than AP 0
        assert result.average_precision[1, 0] == -1

    @pytest.mark.parametrize(
        "height, iou, matched_thresholds",
        [(5.2, 0.52, 1), (4.8, 0.48, 0), (7.2, 0.72, 5), (7.7, 0.77, 6), (8.2, 0.82, 7)],
    )
    def test_iou_just_above_and_below_thresholds(self, height, iou, matched_thresholds):
        # The detection covers the top part of the 10x10 box: IoU = height / 10.
        images = [image(gt=[(SQUARE, 0)], dt=[([0, 0, 10, height], 0, 0.9)])]
        metrics = evaluate(images, num_classes=1).metrics
        hit_at_50 = float(iou >= 0.5)
        assert metrics["mAP"]["0.5"] == pytest.approx(hit_at_50)
        assert metrics["mAP"]["0.75"] == pytest.approx(float(iou >= 0.75))
        # One threshold of ten per 0.05 of IoU from 0.5 on.
        assert metrics["mAP"]["0.5:0.95"] == pytest.approx(matched_thresholds / 10)
        assert metrics["mAR"]["0.5:0.95"] == pytest.approx(matched_thresholds / 10)
        assert metrics["mACC"]["0.5:0.95"] == pytest.approx(matched_thresholds / 10)
        assert (metrics["OP"], metrics["OR"]) == pytest.approx((hit_at_50, hit_at_50))
        # Unmatched, the detection is a false positive and the object a miss: 0 / 2.
        assert metrics["OA"] == pytest.approx(hit_at_50)

    def test_classes_absent_from_the_pass_do_not_dilute_the_means(self):
        images = [image(gt=[(SQUARE, 0)], dt=[(SQUARE, 0, 0.9)])]
        metrics = evaluate(images, num_classes=3).metrics
        assert metrics["mAP"]["0.5"] == pytest.approx(1.0)
        assert metrics["mACC"]["0.5"] == pytest.approx(1.0)

    def test_mixed_classes_average_per_class(self):
        # class 0 perfect, class 1 half found: mAP = (1 + 51/101) / 2
        images = [
            image(gt=[(SQUARE, 0)], dt=[(SQUARE, 0, 0.9)]),
            image(gt=[(SQUARE, 1), (ELSEWHERE, 1)], dt=[(ELSEWHERE, 1, 0.6)]),
        ]
        metrics = evaluate(images, num_classes=2).metrics
        assert metrics["mAP"]["0.5"] == pytest.approx((1 + 51 / 101) / 2)
        assert metrics["mACC"]["0.5"] == pytest.approx((1 + 0.5) / 2)
        # Overall counts pool the classes: TP 2, FP 0, FN 1.
        assert (metrics["OP"], metrics["OR"], metrics["OA"]) == pytest.approx((1, 2 / 3, 2 / 3))

    @pytest.mark.parametrize("images", [[], [image()], [image(dt=[(SQUARE, 0, 0.9)])]])
    def test_nothing_to_find_gives_zeros(self, images):
        metrics = evaluate(images, num_classes=2).metrics
        assert all(value == 0 for value in flat(metrics).values())
        assert set(metrics) == {"OP", "OR", "OA", "mAP", "mAR", "mACC"}
        assert all(set(metrics[k]) == {"0.5", "0.75", "0.5:0.95"} for k in ("mAP", "mAR", "mACC"))


class RecordingMessenger:
    def __init__(self):
        self.images = []
        self.flushes = 0

    def add_image(self, tag, picture, step):
        self.images.append((tag, np.asarray(picture).shape, step))

    def flush(self):
        self.flushes += 1


def trainer_style_pass(evaluator, samples, epoch, display=1):
    """Feeds samples the way the trainer does: the same dicts and arrays refilled in place."""
    gt, dt = {}, {}
    instances = {"gt_instance": gt, "dt_instance": dt}
    boxes = np.zeros((2, 4))
    truth = None
    for index, (gt_boxes, gt_names, detections) in enumerate(samples):
        boxes[: len(gt_boxes)] = gt_boxes  # reused buffer, as a caller may do
        gt.update(
            image=np.full((64, 64, 3), 30, np.uint8),
            height=64,
            width=64,
            boxes=boxes[: len(gt_boxes)],
            labels=np.array(gt_names),
            image_path=f"img{index}.png",
        )
        dt.update(
            boxes=np.array([d[0] for d in detections], np.float32).reshape(-1, 4),
            labels=np.array([d[1] for d in detections], np.int64),
            scores=np.array([d[2] for d in detections], np.float32),
        )
        truth = evaluator.single_evaluation(instances, epoch, index < display)
    return evaluator.conclude(truth, epoch=epoch)


class TestEvaluatorProtocol:
    @pytest.fixture
    def evaluator(self):
        messenger = RecordingMessenger()
        evaluator = DetectionEvaluator(runner=object())
        evaluator(val_messenger=messenger, labels=["cat", "dog"])
        return evaluator

    def test_copies_samples_and_maps_names_with_the_given_labels(self, evaluator):
        samples = [
            ([SQUARE], ["dog"], [(SQUARE, 1, 0.9)]),  # found
            ([ELSEWHERE, SQUARE], ["dog", "cat"], [(ELSEWHERE, 1, 0.9)]),  # the cat is missed
        ]
        metrics = trainer_style_pass(evaluator, samples, epoch=3)
        # dog: 2 of 2 found; cat: 0 of 1. Had the first sample been kept by
        # reference it would have turned into the second one.
        assert metrics["mAP"]["0.5"] == pytest.approx((1.0 + 0.0) / 2)
        assert (metrics["OP"], metrics["OR"]) == pytest.approx((1.0, 2 / 3))
        assert evaluator.last_result.objects.tolist() == [1, 2]

    def test_conclude_starts_a_fresh_pass(self, evaluator):
        trainer_style_pass(evaluator, [([SQUARE], ["cat"], [])], epoch=1)
        second = trainer_style_pass(evaluator, [([SQUARE], ["cat"], [(SQUARE, 0, 0.9)])], epoch=2)
        assert second["mAP"]["0.5"] == pytest.approx(1.0)
        assert "epoch 2" in evaluator.current_summary

    def test_only_flagged_images_are_sent(self, evaluator):
        samples = [([SQUARE], ["cat"], [(SQUARE, 0, 0.9)])] * 3
        trainer_style_pass(evaluator, samples, epoch=4, display=2)
        messenger = evaluator.val_messenger
        assert [(tag, step) for tag, _, step in messenger.images] == [
            ("validation/img0.png", 4),
            ("validation/img1.png", 4),
        ]
        assert all(shape[-1] == 3 and shape[0] > 64 for _, shape, _ in messenger.images)

    def test_reports_are_written(self, evaluator, tmp_path):
        samples = [([SQUARE], ["cat"], [(SQUARE, 0, 0.9)]), ([ELSEWHERE], ["dog"], [])]
        trainer_style_pass(evaluator, samples, epoch=1)
        written = evaluator.save_plots_disk(plots=evaluator.current_plots, path=str(tmp_path))
        assert written and all(open(f, "rb").read(8) == b"\x89PNG\r\n\x1a\n" for f in written)
        table = evaluator.current_summary.splitlines()
        cat = next(line.split() for line in table if line.startswith("cat"))
        dog = next(line.split() for line in table if line.startswith("dog"))
        # objects, TP, FP, FN
        assert cat[1:5] == ["1", "1", "0", "0"] and dog[1:5] == ["1", "0", "0", "1"]


def test_the_summary_table_is_the_row_the_compiled_trainer_publishes(tmp_path, capsys):
    import types

    from corvane.tessmark.trainer.detection import DetectionTrainer
    from corvane.validator.summary import ROW_KEYS, metrics_of_row, row_of_metrics

    rows = []
    logger = types.SimpleNamespace(writer=None, update_metrics=lambda row, losses: rows.append(row))
    trainer = DetectionTrainer(None, None, types.SimpleNamespace(lr=0.1), None, logger,
                               str(tmp_path), classes=["a"])  # fmt: skip
    # Every value distinct, so that a swapped pair of keys shows.
    values = iter(np.arange(1, 13) / 16)
    metrics = {"OP": next(values), "OR": next(values), "OA": next(values)}
    for name in ("mAP", "mAR", "mACC"):
        metrics[name] = {key: next(values) for key in ("0.5", "0.75", "0.5:0.95")}
    trainer.update_metrics(metrics, {}, epoch=3)
    (published,) = rows
    assert list(published) == list(ROW_KEYS) + ["epoch"]
    assert {**row_of_metrics(metrics), "epoch": 3} == published
    assert metrics_of_row(published) == metrics
