"""``run_validation_step``: display selection, per-sample conversion, metric choice, failures."""

import numpy as np
import pytest
from doubles import (
    MODULE_FILE,
    QUALNAME,
    Evaluator,
    FakeTensor,
    Recorder,
    is_compiled,
    last_entry,
    make_trainer,
    metrics_for,
    sample,
)


def setup_pass(impl, tmp_path, evaluator_options=None, **options):
    rec = Recorder()
    trainer = make_trainer(impl, rec, tmp_path / "ckpt", **options)
    return rec, trainer, Evaluator(rec, **(evaluator_options or {}))


def saved_values(rec):
    return [args[0] for target, args, _ in rec.calls if target == "trainer.save_model"]


@pytest.mark.parametrize("display, flags", [(2, [1, 1, 0, 0, 0]), (0, [0] * 5), (-1, [1] * 5)])
def test_display_flags_the_first_samples_of_every_pass(impl, tmp_path, display, flags):
    rec, trainer, evaluator = setup_pass(impl, tmp_path, display=display)
    samples = [sample(k) for k in range(5)]
    for _ in range(2):
        trainer.run_validation_step(loop=samples, evaluator=evaluator, epoch=4)
    passed = [add_image for *_, add_image in evaluator.samples]
    assert passed == [bool(flag) for flag in flags] * 2
    assert all(type(flag) is bool for flag in passed)


def test_each_sample_is_reduced_to_its_first_image(impl, tmp_path):
    concluded = {"mACC": {"0.5": np.float32(0.75)}}
    detections = ("dt-boxes", "dt-labels", "dt-scores")
    options = dict(detections=detections, metrics=concluded)
    rec, trainer, evaluator = setup_pass(impl, tmp_path, options, display=-1)
    rows = [(1, 2, 3, 4, 2.0), (5, 6, 7, 8, 0.0)]  # float class indices
    samples = iter(  # any iterable, here a one-shot iterator
        [
            sample(0, rows=rows, shape=(3, 4, 1), batch=4),
            sample(1, rows=np.zeros((0, 5)), shape=(3, 4, 1)),  # no ground truth
        ]
    )

    result = trainer.run_validation_step(loop=samples, evaluator=evaluator, epoch=7)

    (first, snap, epoch, _), (second, last, _, _) = evaluator.samples
    assert second is first  # one instances dict for the whole pass
    assert first["gt_instance"]["image_path"] == "img1.png"  # now holding the second sample
    assert list(snap) == ["gt_instance", "dt_instance"]
    gt = snap["gt_instance"]
    assert list(gt) == ["image", "height", "width", "boxes", "labels", "image_path"]
    np.testing.assert_array_equal(gt["image"], np.zeros((3, 4, 1)))
    assert (gt["height"], gt["width"], gt["image_path"]) == (3, 4, "img0.png")
    assert type(gt["image_path"]) is str
    np.testing.assert_array_equal(gt["boxes"], [[1, 2, 3, 4], [5, 6, 7, 8]])
    assert isinstance(gt["labels"], np.ndarray) and gt["labels"].tolist() == ["bird", "cat"]
    assert list(snap["dt_instance"].items()) == list(
        zip(["boxes", "labels", "scores"], detections, strict=True)
    )
    assert last["gt_instance"]["boxes"].shape == (0, 4) and last["gt_instance"]["labels"].size == 0
    assert epoch == 7

    runs = [args for target, args, _ in rec.calls if target == "runner.run_single_instance"]
    assert [len(args) for args in runs] == [1, 1]
    np.testing.assert_array_equal(runs[1][0], np.ones((3, 4, 1)))
    assert rec.events[-3:] == [
        "evaluator.conclude",
        rec.text("evaluator.conclude", ("tv:img1.png",), {"epoch": 7}),
        "trainer.save_model(0.75)",
    ]
    assert type(saved_values(rec)[0]) is float
    assert result is concluded


@pytest.mark.parametrize(
    "metric, value",
    [("acc", 1.0), ("map", 0.5), ("Map", 0.25), ("ACC", 0.25), ("mar", 0.25), ("acc ", 0.25)],
)
def test_metric_setting_chooses_the_checkpoint_value(impl, tmp_path, metric, value):
    rec, trainer, evaluator = setup_pass(impl, tmp_path, metric=metric, display=0)
    result = trainer.run_validation_step(loop=[sample(0)], evaluator=evaluator, epoch=3)
    assert result == metrics_for(3)
    assert saved_values(rec) == [value]


def test_an_empty_loop_fails_before_conclude_is_called(impl, tmp_path):
    rec, trainer, evaluator = setup_pass(impl, tmp_path, display=1)
    with pytest.raises(UnboundLocalError) as excinfo:
        trainer.run_validation_step(loop=[], evaluator=evaluator, epoch=1)
    assert str(excinfo.value) == "local variable 'truth_values' referenced before assignment"
    assert rec.events == ["evaluator.conclude"]  # looked up, never called; nothing saved
    if is_compiled(impl):
        assert last_entry(excinfo) == (QUALNAME + "run_validation_step", MODULE_FILE, 455)


def extra_item(s):
    return (*s, FakeTensor([0]))


UNPACKING = [  # sample, runner result, message, line
    (sample(0)[:2], None, "need more than 2 values to unpack", 418),
    (extra_item(sample(0)), None, "too many values to unpack (expected 3)", 418),
    (sample(0, shape=(1, 2)), None, "need more than 2 values to unpack", 426),
    (sample(0), ("b", "l"), "need more than 2 values to unpack", 428),
    (sample(0), ("b",), "need more than 1 value to unpack", 428),
    (sample(0), ("b", "l", "s", "x"), "too many values to unpack (expected 3)", 428),
]


@pytest.mark.parametrize("item, detections, message, line", UNPACKING)
def test_unpacking_needs_exactly_three_items(impl, tmp_path, item, detections, message, line):
    options = {"detections": detections} if detections else {}
    rec, trainer, evaluator = setup_pass(impl, tmp_path, options, display=1)
    with pytest.raises(ValueError) as excinfo:
        trainer.run_validation_step(loop=[item], evaluator=evaluator, epoch=1)
    assert str(excinfo.value) == message
    ran = [target for target, *_ in rec.calls]
    assert ran == (["runner.run_single_instance"] if line == 428 else [])
    if is_compiled(impl):
        assert last_entry(excinfo) == (QUALNAME + "run_validation_step", MODULE_FILE, line)


def test_display_none_fails_before_the_first_evaluation(impl, tmp_path):
    rec, trainer, evaluator = setup_pass(impl, tmp_path)  # the constructor's default display
    with pytest.raises(TypeError) as excinfo:
        trainer.run_validation_step(loop=[sample(0)], evaluator=evaluator, epoch=1)
    assert str(excinfo.value) == "'>=' not supported between instances of 'NoneType' and 'int'"
    assert [target for target, *_ in rec.calls] == ["runner.run_single_instance"]
    if is_compiled(impl):
        assert last_entry(excinfo) == (QUALNAME + "run_validation_step", MODULE_FILE, 445)
