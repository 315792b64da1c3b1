"""Detection loss for single-scale grid detectors.

``TessmarkLoss.compute_loss(targets, predictions)`` is what ``DetectionTrainer``
calls inside its compiled training step, so everything here is TensorFlow ops
that trace in graph mode: no ``.numpy()``, no Python branching on tensor values.

Targets and predictions use the grid layout of :mod:`corvane.tessmark.grid`
(``encode_targets`` makes the targets, ``detection_head`` the predictions):

* ``targets[0]``: (N, G, G, 5 + C) float, per cell objectness, centre offset
  inside the cell (x, y), size as a fraction of the image (w, h), one-hot class;
* ``predictions[0]``: (N, G, G, 5) logits of those five box values;
* ``predictions[1]``: (N, G, G, C) class logits.

Further targets or predictions (such as the decoded export output) are ignored.
"""

from __future__ import annotations

import tensorflow as tf

LOSS_KEYS = ("total-loss", "localization-loss", "classification-loss", "objectness-loss")


class TessmarkLoss:
    """Objectness over every cell, box and class over the cells that hold an object.

    Each term is summed over the batch and divided by the number of objects in
    it (at least one), so its scale does not depend on batch size or crowding.
    The localization term is ``1 - GIoU`` of predicted and target box, which is
    0 for a perfect box and still has a gradient when the boxes do not overlap.
    The weights scale the terms before they are reported, so "total-loss" is
    exactly the sum of the three reported terms. Regularisation is not
    included: the trainer adds the model's own L2 losses itself.

    Under ``tf.distribute`` it divides by the objects of the global batch, not of the
    replica's share (see ``compute_loss``), so the distributed loss is the
    single-device loss of the same global batch.
    """

    def __init__(
        self,
        localization_weight: float = 2.0,
        classification_weight: float = 1.0,
        objectness_weight: float = 1.0,
    ):
        self.localization_weight = localization_weight
        self.classification_weight = classification_weight
        self.objectness_weight = objectness_weight

    def compute_loss(self, targets, predictions, global_sum=None) -> dict:
        """The loss terms of one batch.

        ``global_sum``, given by a distributed trainer on each replica, sums a tensor over
        every replica of the global batch. The terms are then divided by the global
        batch's number of objects, so each is this replica's share and the replicas'
        shares add up to the loss of the whole global batch.
        """
        grid = tf.cast(targets[0], tf.float32)
        box_logits = tf.cast(predictions[0], tf.float32)
        class_logits = tf.cast(predictions[1], tf.float32)

        present = grid[..., 0]
        objects = tf.reduce_sum(present)
        if global_sum is not None:
            objects = global_sum(objects)
        objects = tf.maximum(objects, 1.0)

        objectness = tf.nn.sigmoid_cross_entropy_with_logits(
            labels=present, logits=box_logits[..., 0]
        )
        cells = tf.cast(tf.shape(grid)[1:3], tf.float32)
        giou = generalized_iou(tf.sigmoid(box_logits[..., 1:5]), grid[..., 1:5], cells)
        classification = tf.nn.softmax_cross_entropy_with_logits(
            labels=grid[..., 5:], logits=class_logits
        )

        localization_loss = self.localization_weight * _per_object(present * (1.0 - giou), objects)
        classification_loss = self.classification_weight * _per_object(
            present * classification, objects
        )
        objectness_loss = self.objectness_weight * _per_object(objectness, objects)
        return {
            "total-loss": localization_loss + classification_loss + objectness_loss,
            "localization-loss": localization_loss,
            "classification-loss": classification_loss,
            "objectness-loss": objectness_loss,
        }


def _per_object(values, objects):
    return tf.reduce_sum(values) / objects


def generalized_iou(pred, target, cells):
    """GIoU of boxes given as (x offset, y offset, w, h) with sizes in image fractions.

    Both boxes of a pair sit in the same cell, so comparing them in cell units
    needs no cell position: offsets are already in cell units, sizes are scaled
    by the grid size ``cells`` (height, width).
    """
    sizes_scale = tf.stack([cells[1], cells[0]])

    def corners(box):
        centre, size = box[..., 0:2], box[..., 2:4] * sizes_scale
        return centre - size / 2, centre + size / 2

    p_low, p_high = corners(pred)
    t_low, t_high = corners(target)
    p_area = tf.reduce_prod(p_high - p_low, axis=-1)
    t_area = tf.reduce_prod(t_high - t_low, axis=-1)
    inter = tf.reduce_prod(
        tf.maximum(tf.minimum(p_high, t_high) - tf.maximum(p_low, t_low), 0.0), axis=-1
    )
    union = p_area + t_area - inter
    hull = tf.reduce_prod(tf.maximum(p_high, t_high) - tf.minimum(p_low, t_low), axis=-1)
    eps = 1e-7
    return inter / (union + eps) - (hull - union) / (hull + eps)
