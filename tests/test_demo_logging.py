"""The TensorBoard logger, the validation writer and the callback handler's hook contract."""

import glob
import os
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.callbacks import TensorBoard, TessmarkTrainingCallback
from corvane.validator.writers import TrainingTensorBoardWriter, as_scalar


def read_events(logdir):
    """{tag: [(step, value)]} for scalars, {tag: [step]} for images."""
    scalars, images = {}, {}
    for path in sorted(glob.glob(f"{logdir}/events.out.tfevents.*")):
        for event in tf.compat.v1.train.summary_iterator(path):
            for value in event.summary.value:
                array = tf.make_ndarray(value.tensor)
                if value.metadata.plugin_data.plugin_name == "images":
                    images.setdefault(value.tag, []).append(event.step)
                else:
                    scalars.setdefault(value.tag, []).append((event.step, float(array)))
    return scalars, images


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, 1.0),
        (0.25, 0.25),
        (np.float32(0.5), 0.5),
        (np.array([3]), 3.0),
        (tf.constant(2.5), 2.5),
        (tf.Variable(0.125), 0.125),
        ("0.5", None),
        (None, None),
        (True, None),
        ([1.0, 2.0], None),
        (tf.constant([1.0, 2.0]), None),
        ({"a": 1}, None),
    ],
)
def test_as_scalar(value, expected):
    assert as_scalar(value) == expected


class TestTensorBoardLogger:
    def test_steps_and_validation_rows_as_the_trainer_calls_them(self, tmp_path):
        logger = TensorBoard(str(tmp_path))
        shared_default = {}
        row = {"mAP@0.5": 0.25, "Overall-AP": 0.5}
        logger.update_metrics(row, shared_default)  # initial pass, no losses
        for loss in (3.0, 2.0, 1.5):
            losses = {
                "total-loss": tf.constant(loss),
                "L2-loss": np.float32(0.1),
                "learning-rate": tf.Variable(1e-3),
                "step-time (seconds)": 0.01,
                "note": "skipped",
            }
            logger.update_metrics({}, losses)
        logger.update_metrics({"mAP@0.5": 0.75, "tag": "skipped"}, losses)
        logger.close()

        scalars, _ = read_events(tmp_path)
        assert scalars["train/total-loss"] == [(0, 3.0), (1, 2.0), (2, 1.5)]
        assert [step for step, _ in scalars["train/learning-rate"]] == [0, 1, 2]
        assert scalars["train/learning-rate"][0][1] == pytest.approx(1e-3)
        assert scalars["validation/mAP@0.5"] == [(0, 0.25), (3, 0.75)]
        assert scalars["validation/Overall-AP"] == [(0, 0.5)]
        assert not any("note" in tag or "tag" in tag for tag in scalars)
        assert logger.step == 3
        assert shared_default == {}

    def test_validation_metrics_are_on_disk_without_closing(self, tmp_path):
        logger = TensorBoard(str(tmp_path))
        logger.update_metrics({"mAP@0.5": 0.5}, {})
        scalars, _ = read_events(tmp_path)
        assert scalars["validation/mAP@0.5"] == [(0, 0.5)]
        logger.close()

    def test_kept_steps_are_written_in_order_with_their_own_values(self, tmp_path):
        logger = TensorBoard(str(tmp_path), write_every=3)
        rate = tf.Variable(1.0)  # the trainer hands over the same variable every step
        for step in range(7):
            rate.assign(0.5**step)
            losses = {"total-loss": tf.constant(step, tf.int32), "learning-rate": rate}
            if step >= 4:
                losses["L2-loss"] = float(step)  # a tag set that changes mid-run
            logger.update_metrics({}, losses)
        logger.writer.flush()  # the file writer alone: only whole groups are written yet
        scalars, _ = read_events(tmp_path)
        assert [step for step, _ in scalars["train/total-loss"]] == list(range(6))
        logger.flush()
        scalars, _ = read_events(tmp_path)
        assert scalars["train/total-loss"] == [(k, float(k)) for k in range(7)]
        assert scalars["train/learning-rate"] == [(k, 0.5**k) for k in range(7)]
        assert scalars["train/L2-loss"] == [(k, float(k)) for k in range(4, 7)]
        logger.close()

    def test_one_trace_whatever_the_number_of_kept_steps(self, tmp_path):
        logger = TensorBoard(str(tmp_path), write_every=50)
        for _ in range(120):
            logger.update_metrics({}, {"total-loss": tf.constant(1.0), "step-time": 0.1})
        logger.update_metrics({"mAP@0.5": 0.5}, {})
        logger.close()
        assert [g.experimental_get_tracing_count() for g in logger._graphs.values()] == [1, 1]
        scalars, _ = read_events(tmp_path)
        assert len(scalars["train/total-loss"]) == 120
        assert scalars["validation/mAP@0.5"] == [(120, 0.5)]

    def test_kept_steps_reach_the_file_when_the_program_ends_without_close(self, tmp_path):
        code = (
            "import sys, tensorflow as tf\n"
            "from corvane.tessmark.callbacks import TensorBoard\n"
            "logger = TensorBoard(sys.argv[1])\n"
            "for k in range(3):\n"
            "    logger.update_metrics({}, {'total-loss': tf.constant(float(k))})\n"
            "closed = TensorBoard(sys.argv[1] + '-closed')\n"
            "closed.close()\n"
        )
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TF_CPP_MIN_LOG_LEVEL="2")
        done = subprocess.run(
            [sys.executable, "-c", code, str(tmp_path / "tb")],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr[-2000:]
        assert "Error" not in done.stderr  # the closed logger's exit hook is gone
        scalars, _ = read_events(tmp_path / "tb")
        assert scalars["train/total-loss"] == [(0, 0.0), (1, 1.0), (2, 2.0)]

    def test_write_every_must_be_positive(self, tmp_path):
        with pytest.raises(ValueError, match="write_every"):
            TensorBoard(str(tmp_path), write_every=0)


class TestValidationWriter:
    def test_images_reach_the_loggers_file(self, tmp_path):
        logger = TensorBoard(str(tmp_path))
        messenger = TrainingTensorBoardWriter(logger.writer)
        messenger.add_image("validation/a.png", np.zeros((8, 8, 3), np.uint8), step=2)
        messenger.add_image("validation/b.png", np.full((8, 8, 3), 0.5, np.float32), step=3)
        messenger.flush()
        _, images = read_events(tmp_path)
        assert images == {"validation/a.png": [2], "validation/b.png": [3]}


def test_default_callback_accepts_every_hook_as_the_trainer_calls_it():
    handler = TessmarkTrainingCallback()
    handler.on_train_start(epochs=3)
    handler.on_evaluation_start()
    handler.on_evaluaiton_end(metrics={})
    handler.on_epoch_start(epoch=1)
    handler.on_step_start(step=0)
    handler.on_step_end(losses={}, lr=0.1)
    handler.on_model_save(object())
    handler.on_epoch_end(losses={}, metrics={})
    handler.on_train_end()
