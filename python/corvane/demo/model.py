"""The demo detector: a tiny single-scale grid detector in the Keras functional API.

A stride-8 backbone maps a 64x64 image to an 8x8 grid; every cell predicts one
box. The model has three outputs, in this order:

``box_logits`` (N, G, G, 5)
    raw objectness, centre offset (x, y) and size (w, h) logits; training only.
``class_logits`` (N, G, G, C)
    raw class scores; training only.
``detections`` (N, G, G, 5 + C)
    the same values made readable: sigmoid of the five box channels and the
    softmax of the class scores, laid out like the training targets of
    :mod:`corvane.demo.data`. This is the export network's only output.

The loss reads the logits (numerically stabler than the probabilities), the
runner reads ``detections``. Only standard layers are used, so a saved
checkpoint loads with ``tf.keras.models.load_model`` and no custom objects.
"""

from __future__ import annotations

import tensorflow as tf

from .data import CLASSES, IMAGE_SIZE

TRAINING_OUTPUTS = 2
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

    def head(channels, name):
        return layers.Conv2D(channels, 1, kernel_regularizer=regulariser, name=name)(x)

    box_logits = head(5, "box_logits")
    class_logits = head(num_classes, "class_logits")
    detections = layers.Concatenate(name="detections")(
        [layers.Activation("sigmoid")(box_logits), layers.Softmax()(class_logits)]
    )
    return tf.keras.Model(inputs, [box_logits, class_logits, detections], name="shape_detector")


def export_network(model: tf.keras.Model) -> tf.keras.Model:
    """The deployable part of ``model``: its outputs after the training-only ones.

    It shares the layers, and so the weights, of ``model``; the same cut that the
    trainer makes before saving a checkpoint.
    """
    return tf.keras.Model(model.input, model.outputs[TRAINING_OUTPUTS:])
