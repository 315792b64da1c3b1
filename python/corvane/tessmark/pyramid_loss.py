"""The loss of the pyramid layout (:mod:`corvane.tessmark.pyramid`) and its assigner.

``PyramidLoss.compute_loss(targets, predictions)`` is what ``DetectionTrainer`` calls in
its compiled training step:

* ``targets[0]``: (N, max_boxes, 5) float32 rows ``[x1, y1, x2, y2, class]`` in the input's
  pixels; padding rows have the class -1 (``[0, 0, 0, 0, -1]``);
* ``predictions``: the network's outputs, ``box_regression`` (N, A, 4), ``class_logits``
  (N, A, C) and ``detections`` (N, A, 1, 4 + C), whose boxes (fractions of the input's
  side, brought back to pixels here) are the ones trained, so the decoding lives in the
  network alone.

Each step, :func:`assign` gives every object the locations whose predictions fit it best,
by the task-aligned rule of TOOD (used by YOLOv8): ``alignment = score ** alpha * IoU **
beta``, from the score of the object's class and the IoU of the predicted box. It ranks by
the predictions' own quality, as SimOTA does, but needs neither a dynamic count of
locations per object nor a sort over costs: one top-k of fixed shape, so the whole step
stays one graph.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import tensorflow as tf

from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.pyramid import STRIDES, anchor_points

# Breaks ties between equal alignments (all zero before training) in favour of the
# locations nearest the object's centre, without reordering any real difference.
TIE_BREAK = 1e-9
EPSILON = 1e-9


class Assignment(NamedTuple):
    """Which object each location learns, for a batch: ``owner`` (N, A) int32, the index of
    the object's row in the targets, -1 for background; and per location the object's
    ``boxes`` (N, A, 4), ``classes`` (N, A) int32 and the class target ``scores`` (N, A):
    the alignment normalised so that each object's best location has its best IoU, 0 on
    background."""

    owner: tf.Tensor
    boxes: tf.Tensor
    classes: tf.Tensor
    scores: tf.Tensor


def box_iou(a, b):
    """IoU of ``[x1, y1, x2, y2]`` boxes, broadcast over the leading axes."""
    low = tf.maximum(a[..., :2], b[..., :2])
    high = tf.minimum(a[..., 2:], b[..., 2:])
    inter = tf.reduce_prod(tf.maximum(high - low, 0.0), axis=-1)
    area_a = tf.reduce_prod(tf.maximum(a[..., 2:] - a[..., :2], 0.0), axis=-1)
    area_b = tf.reduce_prod(tf.maximum(b[..., 2:] - b[..., :2], 0.0), axis=-1)
    return inter / (area_a + area_b - inter + EPSILON)


def complete_iou(pred, target):
    """CIoU of ``[x1, y1, x2, y2]`` box pairs: the IoU less the squared distance of the
    centres over the enclosing box's squared diagonal, less the aspect-ratio term. It pulls
    a box that does not overlap its object straight at it, which GIoU does slowly."""
    iou = box_iou(pred, target)
    hull = tf.maximum(pred[..., 2:], target[..., 2:]) - tf.minimum(pred[..., :2], target[..., :2])
    diagonal = tf.reduce_sum(tf.square(hull), axis=-1) + EPSILON
    centres = (pred[..., :2] + pred[..., 2:] - target[..., :2] - target[..., 2:]) / 2
    distance = tf.reduce_sum(tf.square(centres), axis=-1)
    pred_size = tf.maximum(pred[..., 2:] - pred[..., :2], EPSILON)
    target_size = tf.maximum(target[..., 2:] - target[..., :2], EPSILON)
    shape = (4 / math.pi**2) * tf.square(
        tf.atan(target_size[..., 0] / target_size[..., 1])
        - tf.atan(pred_size[..., 0] / pred_size[..., 1])
    )
    weight = tf.stop_gradient(shape / (1 - iou + shape + EPSILON))
    return iou - distance / diagonal - weight * shape


def assign(
    points,
    strides,
    targets,
    pred_boxes,
    pred_scores,
    top_k: int = 10,
    alpha: float = 0.5,
    beta: float = 6.0,
    radius: float = 2.5,
) -> Assignment:
    """The task-aligned assignment of a batch.

    ``points`` (A, 2) and ``strides`` (A,) are the locations (:func:`anchor_points`),
    ``targets`` the (N, M, 5) padded boxes, ``pred_boxes`` (N, A, 4) and ``pred_scores``
    (N, A, C) the predictions (sigmoid scores); no gradient flows through.

    1. Candidates of an object: the locations inside its box, or within ``radius`` strides
       of its centre, so that an object smaller than a stride has some at every level.
    2. Each object takes its ``top_k`` candidates by alignment.
    3. A location taken by several objects stays with the one its box overlaps most.
    4. An object left with none takes back its best-aligned candidate that is not another
       object's only one; rounds repeat while some object is left and can take one. Only
       an object all of whose candidates are other objects' only locations (more objects
       than locations around it, such as many copies of one box) stays without.
    """
    points = tf.cast(points, tf.float32)
    strides = tf.cast(strides, tf.float32)
    targets = tf.cast(targets, tf.float32)
    pred_boxes = tf.stop_gradient(tf.cast(pred_boxes, tf.float32))
    pred_scores = tf.stop_gradient(tf.cast(pred_scores, tf.float32))
    boxes, classes = targets[..., :4], tf.cast(targets[..., 4], tf.int32)
    num_objects = tf.shape(boxes)[1]
    valid = (classes >= 0) & tf.reduce_all(boxes[..., 2:] > boxes[..., :2], axis=-1)

    # (N, M, A) relations of objects and locations.
    x, y = points[:, 0], points[:, 1]
    x1, y1, x2, y2 = (boxes[..., i, None] for i in range(4))
    inside = (x > x1) & (x < x2) & (y > y1) & (y < y2)
    distance = tf.sqrt(tf.square(x - (x1 + x2) / 2) + tf.square(y - (y1 + y2) / 2)) / strides
    candidate = (inside | (distance <= radius)) & valid[..., None]
    closeness = 1.0 / (1.0 + distance)
    iou = box_iou(boxes[:, :, None], pred_boxes[:, None])
    num_classes = tf.shape(pred_scores)[-1]
    class_scores = tf.gather(
        tf.transpose(pred_scores, [0, 2, 1]),
        tf.clip_by_value(classes, 0, num_classes - 1),
        batch_dims=1,
    )
    alignment = tf.pow(class_scores, alpha) * tf.pow(iou, beta)
    rank = tf.where(candidate, alignment + TIE_BREAK * closeness, -1.0)

    locations = tf.shape(points)[0]
    kth = tf.math.top_k(rank, tf.minimum(top_k, locations)).values[..., -1:]
    chosen = candidate & (rank >= kth)
    overlap = tf.where(chosen, iou + TIE_BREAK * closeness, -1.0)
    owner = tf.where(
        tf.reduce_any(chosen, axis=1), tf.argmax(overlap, axis=1, output_type=tf.int32), -1
    )
    owner = _rescue(owner, rank, candidate, valid, num_objects)

    owned = tf.maximum(owner, 0)
    positive = owner >= 0
    # Each object's alignment normalised to its best IoU over its own locations.
    mine = tf.equal(owner[:, None, :], tf.range(num_objects)[None, :, None])
    best_alignment = tf.reduce_max(tf.where(mine, alignment, 0.0), axis=-1, keepdims=True)
    best_iou = tf.reduce_max(tf.where(mine, iou, 0.0), axis=-1, keepdims=True)
    normalised = alignment * best_iou / (best_alignment + EPSILON)
    scores = tf.reduce_max(tf.where(mine, normalised, 0.0), axis=1)
    return Assignment(
        owner=owner,
        boxes=tf.gather(boxes, owned, batch_dims=1),
        classes=tf.where(positive, tf.gather(classes, owned, batch_dims=1), -1),
        scores=tf.stop_gradient(scores),
    )


def _rescue(owner, rank, candidate, valid, num_objects):
    """Rounds in which objects without a location take one back (step 4 of :func:`assign`).

    In a round each such object claims its best candidate that is not another object's only
    location; a location claimed twice goes to the better claim, and an object loses at
    most one location per round, so none that had two is left without. Every round with a
    claim settles at least one object, so the rounds end.
    """
    rows = tf.range(num_objects)[None, :, None]

    def round_(owner, _):
        locations = tf.range(tf.shape(owner)[1])
        held_mask = tf.equal(owner[:, None, :], rows)  # (N, M, A)
        held = tf.reduce_sum(tf.cast(held_mask, tf.int32), axis=-1)
        orphan = valid & tf.equal(held, 0)
        holder = tf.maximum(owner, 0)
        # Taking an object's only location would leave it without.
        only = (owner >= 0) & tf.equal(tf.gather(held, holder, batch_dims=1), 1)
        open_rank = tf.where(candidate & orphan[..., None] & ~only[:, None, :], rank, -2.0)
        claim = tf.reduce_max(open_rank, axis=-1)
        target = tf.argmax(open_rank, axis=-1, output_type=tf.int32)
        claims = tf.where(
            tf.equal(target[..., None], locations) & (claim > -2.0)[..., None],
            claim[..., None],
            -2.0,
        )
        strongest = tf.reduce_max(claims, axis=1)  # (N, A): the best claim on each location
        claimant = tf.argmax(claims, axis=1, output_type=tf.int32)
        claimed = strongest > -2.0
        # Of one object's claimed locations, only the most wanted one changes hands.
        wanted = tf.argmax(
            tf.where(held_mask & claimed[:, None, :], strongest[:, None, :], -2.0),
            axis=-1,
            output_type=tf.int32,
        )
        given_up = tf.equal(tf.gather(wanted, holder, batch_dims=1), locations)
        won = claimed & ((owner < 0) | given_up)
        return tf.where(won, claimant, owner), tf.reduce_any(won)

    owner, _ = tf.while_loop(
        lambda owner, progress: progress,
        round_,
        (owner, tf.constant(True)),
        maximum_iterations=num_objects + 1,
    )
    return owner


class PyramidLoss(TessmarkLoss):
    """Box and class loss of a pyramid network for ``DetectionTrainer``.

    ``image_size`` and ``strides`` are the network's (:func:`pyramid.pyramid_detector`),
    from which the loss knows its locations. Per location, after :func:`assign`:

    * localization: ``1 - CIoU`` of the predicted and the object's box, on the assigned
      locations, weighted by their class target (at least ``min_box_weight``, so that a
      location given back to an object whose box does not overlap it yet still learns);
    * classification: binary cross-entropy of every class at every location against the
      IoU-aware targets (VarifocalNet, YOLOv8): the assigned class's target is the
      location's normalised alignment, every other one 0;
    * "objectness-loss" is a constant 0: the class scores are the confidence, and there
      is no distance distribution to train.

    Both terms are weighted, summed over the batch and divided by the sum of the class
    targets (at least 1); under ``tf.distribute`` by that of the global batch (see
    :meth:`compute_loss`). "total-loss" is the sum of the three reported terms.
    """

    def __init__(
        self,
        image_size: int,
        strides=STRIDES,
        localization_weight: float = 7.5,
        classification_weight: float = 1.0,
        top_k: int = 10,
        alpha: float = 0.5,
        beta: float = 6.0,
        radius: float = 2.5,
        min_box_weight: float = 0.1,
    ):
        super().__init__(localization_weight, classification_weight, objectness_weight=0.0)
        self.image_size = image_size
        self.strides = tuple(strides)
        self.top_k, self.alpha, self.beta, self.radius = top_k, alpha, beta, radius
        self.min_box_weight = min_box_weight
        points, location_strides = anchor_points(image_size, self.strides)
        self._points = points
        self._location_strides = location_strides

    def compute_loss(self, targets, predictions, global_sum=None) -> dict:
        """The loss terms of one batch.

        ``global_sum``, given by a distributed trainer on each replica, sums a tensor over
        every replica of the global batch; the terms are then divided by the global
        batch's sum of class targets, so the replicas' shares add up to the loss of the
        whole global batch.
        """
        class_logits = tf.cast(predictions[1], tf.float32)
        locations = len(self._points)
        if class_logits.shape[1] is not None and class_logits.shape[1] != locations:
            raise ValueError(
                f"the network predicts at {class_logits.shape[1]} locations, but an input "
                f"of {self.image_size} pixels at strides {self.strides} has {locations}: "
                "give PyramidLoss the network's image_size and strides"
            )
        # The network's own decoding, (N, A, 1, 4 + C): the boxes as it exports them.
        pred_boxes = tf.reshape(tf.cast(predictions[2][..., :4], tf.float32), [-1, locations, 4])
        pred_boxes = pred_boxes * float(self.image_size)
        assignment = assign(
            self._points,
            self._location_strides,
            targets[0],
            pred_boxes,
            tf.sigmoid(class_logits),
            self.top_k,
            self.alpha,
            self.beta,
            self.radius,
        )
        positive = tf.cast(assignment.owner >= 0, tf.float32)
        num_classes = tf.shape(class_logits)[-1]
        class_targets = tf.one_hot(assignment.classes, num_classes) * assignment.scores[..., None]
        normaliser = tf.reduce_sum(assignment.scores)
        if global_sum is not None:
            normaliser = global_sum(normaliser)
        normaliser = tf.maximum(normaliser, 1.0)

        box_weight = positive * tf.maximum(assignment.scores, self.min_box_weight)
        ciou = complete_iou(pred_boxes, assignment.boxes)
        localization_loss = (
            self.localization_weight * tf.reduce_sum(box_weight * (1.0 - ciou)) / normaliser
        )
        classification = tf.nn.sigmoid_cross_entropy_with_logits(
            labels=class_targets, logits=class_logits
        )
        classification_loss = (
            self.classification_weight * tf.reduce_sum(classification) / normaliser
        )
        objectness_loss = tf.zeros((), tf.float32)
        return {
            "total-loss": localization_loss + classification_loss + objectness_loss,
            "localization-loss": localization_loss,
            "classification-loss": classification_loss,
            "objectness-loss": objectness_loss,
        }
