"""A backbone trained from scratch predicts in inference mode what it learnt in training."""

import pytest
import tensorflow as tf

from corvane.demo import data
from corvane.tessmark.batchnorm import for_training_from_scratch
from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.grid import detection_head
from corvane.tessmark.losses import TessmarkLoss

STRIDE = 8
TAP = "block_6_expand_relu"  # MobileNetV2's last stride-8 layer


class Logger:
    writer = None

    def update_metrics(self, metrics, losses):
        pass


def inference_to_training_loss(folder, from_scratch: bool) -> float:
    """The loss of a short from-scratch run of MobileNetV2's stride-8 part on its own
    training batches, in inference mode over training mode."""
    from corvane.tessmark.trainer.detection import DetectionTrainer

    tf.keras.utils.set_random_seed(0)
    inputs = tf.keras.Input((64, 64, 3))
    backbone = tf.keras.applications.MobileNetV2(
        input_shape=(64, 64, 3), include_top=False, weights=None, alpha=0.35
    )
    features = backbone.get_layer(TAP).output
    backbone = tf.keras.Model(backbone.input, features)
    model = tf.keras.Model(inputs, detection_head(backbone(inputs), len(data.CLASSES)))
    if from_scratch:
        assert for_training_from_scratch(model) == 19  # every one up to the tap
    shapes = data.make_shapes(320, (data.DATA_SEED, data.TRAIN_SPLIT))
    train_ds = data.training_dataset(shapes, 16, seed=0, stride=STRIDE)
    optimizer = tf.keras.optimizers.Adam(3e-3)
    optimizer.build(model.trainable_variables)
    trainer = DetectionTrainer(model, None, optimizer, TessmarkLoss(), Logger(), str(folder),
                               classes=list(data.CLASSES), display=0)  # fmt: skip
    trainer.train(5, train_ds=train_ds, callback_handler=TessmarkTrainingCallback())  # 100 steps
    totals = {True: 0.0, False: 0.0}
    for images, grids in train_ds.take(4):
        for training in totals:
            outputs = model(tf.cast(images, tf.float32) / 255.0, training=training)
            losses = TessmarkLoss().compute_loss((grids,), tuple(outputs))
            totals[training] += float(losses["total-loss"])
    return totals[False] / totals[True]


def test_from_scratch_momentum_makes_inference_match_training(tmp_path):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    # Keras's own MobileNetV2 momentum (0.999) leaves the moving statistics where they
    # started, so inference runs another network than the one trained ...
    assert inference_to_training_loss(tmp_path / "default", from_scratch=False) > 3.0
    # ... and the from-scratch momentum brings them along.
    assert inference_to_training_loss(tmp_path / "scratch", from_scratch=True) < 1.3
    with pytest.raises(ValueError, match="momentum"):
        for_training_from_scratch(tf.keras.Sequential(), 1.0)
