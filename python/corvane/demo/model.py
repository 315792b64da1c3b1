"""The demo detector: a tiny single-scale grid detector in the Keras functional API.

A stride-8 backbone maps a 64x64 image to an 8x8 grid; every cell predicts one box,
through the head of :func:`corvane.tessmark.grid.detection_head` (three outputs: box and
class logits for the loss, then the readable ``detections`` grid that checkpoints keep).
Only standard layers are used, so a saved checkpoint loads with
``tf.keras.models.load_model`` and no custom objects.
"""

from __future__ import annotations

import tensorflow as tf

from corvane.tessmark.grid import detection_head

from .data import CLASSES, IMAGE_SIZE

L2_WEIGHT = 1e-4


def build_detector(
    num_classes: int = len(CLASSES),
    image_size: int = IMAGE_SIZE,
    widths: tuple[int, ...] = (16, 32, 64),
    l2: float = L2_WEIGHT,
    synchronized: bool = False,
) -> tf.keras.Model:
    """One stride-2 stage per width, then a head; input (image_size, image_size, 3) NHWC.

    ``synchronized`` makes batch normalisation use the statistics of the global batch
    under ``tf.distribute``, so that training on several replicas is the same as on one
    device (at the price of a few small all-reduces per layer and step).
    """
    layers = tf.keras.layers
    regulariser = tf.keras.regularizers.L2(l2)

    def conv(x, filters, strides=1, name=None):
        x = layers.Conv2D(
            filters, 3, strides, padding="same", use_bias=False, kernel_regularizer=regulariser
        )(x)
        x = layers.BatchNormalization(momentum=0.9, synchronized=synchronized)(x)
        return layers.LeakyReLU(0.1, name=name)(x)

    inputs = tf.keras.Input((image_size, image_size, 3), name="image")
    x = conv(inputs, widths[0])
    for width in widths:
        x = conv(x, width, strides=2)
        x = conv(x, width)
    x = conv(x, widths[-1] * 2, name="features")
    outputs = detection_head(x, num_classes, kernel_regularizer=regulariser)
    return tf.keras.Model(inputs, outputs, name="shape_detector")
