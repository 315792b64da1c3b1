"""The pyramid layout: an anchor-free detector that predicts from several feature levels.

Where the grid of :mod:`corvane.tessmark.grid` gives each cell of one feature map a single
object, a pyramid network predicts at every location of several maps (strides 8, 16 and 32
by default), and :class:`corvane.tessmark.pyramid_loss.PyramidLoss` chooses, per training
step, which locations learn which object, so crowded scenes and objects smaller than a
stride keep their own locations.

A location is the centre of one cell of a level: ``((col + 0.5) * stride, (row + 0.5) *
stride)`` in the input's pixels. All levels are concatenated, level by level, each row-major;
``A`` is the number of locations of all levels (:func:`anchor_points`). The network has
three outputs, in this order:

``box_regression`` (N, A, 4)
    raw distances from the location to the box's left, top, right and bottom sides; a
    training output.
``class_logits`` (N, A, C)
    raw class scores; a training output.
``detections`` (N, A, 1, 4 + C)
    per location the box ``[x1, y1, x2, y2]`` as fractions of the input's side (pixels
    divided by the image size), then the sigmoid class scores, float32: a map of A x 1
    cells with 4 + C channels. Boxes and scores share one range, about [0, 1], so an int8
    export, which quantises the whole tensor with one scale, keeps the scores as exact as
    the boxes. ``DetectionTrainer``
    keeps this output alone in its checkpoints; it is made of Keras' own layers and
    TensorFlow operations, so a checkpoint loads with ``tf.keras.models.load_model`` and no
    custom objects, and converts to TFLite's builtin operations. It has rank 4 because a
    channels-first checkpoint (``trainer.NCHW = True``) transposes the one output it keeps
    with the permutation (0, 3, 1, 2), which a rank-3 tensor refuses: such a checkpoint
    takes a (N, 3, H, W) input and gives (N, 4 + C, A, 1), the channels first, as a grid's.

A side's distance is ``softplus(raw) * stride``: positive, linear for large values, so
that a large box needs no large logit, and with a bounded gradient where an exponential
would overflow in float16 early in training. A distribution over distance bins (as in
YOLOv8) would give more outputs and a decoding that the checkpoint would have to carry, for
precision that small detectors rarely need.

:func:`pyramid_detector` builds the whole network on any backbone that reaches the largest
stride (:func:`feature_taps` finds its levels), or on :func:`small_backbone`.
"""

from __future__ import annotations

import math

import numpy as np

from corvane.tessmark.batchnorm import FROM_SCRATCH_MOMENTUM

STRIDES = (8, 16, 32)
# Each side starts at one stride from the location (softplus(bias) = 1): a box of two
# strides, which overlaps the objects around its location, so the assignment has IoUs to
# rank from the first step.
BOX_BIAS = math.log(math.e - 1.0)
# The classes' initial probability (RetinaNet's prior): nearly every location is background.
CLASS_PRIOR = 0.01


def anchor_points(image_size: int, strides=STRIDES) -> tuple[np.ndarray, np.ndarray]:
    """The locations of a square input of ``image_size`` pixels in the network's order:
    ``(points (A, 2) [x, y] in pixels, strides (A,))``, both float32."""
    points, location_strides = [], []
    for stride in strides:
        cells = image_size // stride
        centres = (np.arange(cells, dtype=np.float32) + 0.5) * stride
        y, x = np.meshgrid(centres, centres, indexing="ij")
        points.append(np.stack([x.ravel(), y.ravel()], axis=1))
        location_strides.append(np.full(cells * cells, stride, np.float32))
    return np.concatenate(points), np.concatenate(location_strides)


def feature_taps(backbone, strides=STRIDES) -> list:
    """The feature maps of ``backbone`` at ``strides``: for each, the output of the last
    layer whose map is the input's size divided by the stride, as a Keras tensor of the
    backbone's graph (build a neck on them and a model from ``backbone.input``).

    ``backbone`` is a functional Keras model of one fixed-size image input, such as a
    ``tf.keras.applications`` network made with ``include_top=False`` and an
    ``input_shape``; pass that model itself, not a model that calls it as one layer (whose
    inner maps are not reachable from the outer input).
    """
    shape = backbone.input_shape
    if isinstance(shape, list):
        if len(shape) != 1:
            raise ValueError(f"the backbone takes {len(shape)} inputs, not one image")
        (shape,) = shape
    if len(shape) != 4 or shape[1] is None or shape[2] is None:
        raise ValueError(
            f"the backbone's input is {shape}: build it for a fixed image size, such as "
            "input_shape=(320, 320, 3), so its levels can be told apart"
        )
    height, width = shape[1], shape[2]
    uneven = [s for s in strides if height % s or width % s]
    if uneven:
        raise ValueError(
            f"the backbone's input of {height}x{width} pixels is not divisible by the "
            f"stride {uneven[-1]}: choose a size that is a multiple of {max(strides)}"
        )
    found, seen = {}, set()
    for layer in backbone.layers:
        try:
            outputs = layer.output
        except AttributeError:  # a layer called more than once has no single output
            continue
        for output in outputs if isinstance(outputs, (list, tuple)) else [outputs]:
            dims = tuple(getattr(output, "shape", ()))
            if len(dims) != 4 or not dims[1] or not dims[2]:
                continue
            if height % dims[1] == 0 and height // dims[1] == width // dims[2]:
                seen.add(height // dims[1])
            for stride in strides:
                if (dims[1], dims[2]) == (height // stride, width // stride):
                    found[stride] = output
    missing = [s for s in strides if s not in found]
    if missing:
        reached = ", ".join(str(s) for s in sorted(seen)) or "none"
        raise ValueError(
            f"the backbone {backbone.name!r} has no feature map at stride {missing[0]} "
            f"(a {height // missing[0]}x{width // missing[0]} map of its {height}x{width} "
            f"input); its strides: {reached}. Choose strides it reaches, or a deeper backbone."
        )
    return [found[s] for s in strides]


def _conv(x, filters, kernel=1, strides=1, kernel_regularizer=None):
    """Convolution, batch normalisation and SiLU."""
    import tensorflow as tf

    layers = tf.keras.layers
    x = layers.Conv2D(
        filters,
        kernel,
        strides,
        padding="same",
        use_bias=False,
        kernel_regularizer=kernel_regularizer,
    )(x)
    x = layers.BatchNormalization(momentum=FROM_SCRATCH_MOMENTUM)(x)
    return layers.Activation("swish")(x)


def _csp(x, filters, blocks=1, shortcut=True, kernel_regularizer=None):
    """A cross-stage partial block (YOLOv8's C2f): a 1x1 convolution whose two halves are
    kept, the second also through ``blocks`` pairs of 3x3 convolutions (residual with
    ``shortcut``), each pair's result kept too, and a 1x1 convolution over all of them."""
    import tensorflow as tf

    layers = tf.keras.layers
    half = max(filters // 2, 1)
    parts = list(tf.split(_conv(x, 2 * half, kernel_regularizer=kernel_regularizer), 2, axis=-1))
    for _ in range(blocks):
        z = _conv(parts[-1], half, 3, kernel_regularizer=kernel_regularizer)
        z = _conv(z, half, 3, kernel_regularizer=kernel_regularizer)
        parts.append(layers.Add()([parts[-1], z]) if shortcut else z)
    return _conv(layers.Concatenate()(parts), filters, kernel_regularizer=kernel_regularizer)


def small_backbone(
    image_size: int, width: int = 16, kernel_regularizer=None, name: str = "small_backbone"
):
    """A small CSP backbone to stride 32, for the demo and for networks without one of
    their own: a stride-2 stem, four stride-2 stages of ``width`` times 2, 4, 6 and 8
    channels, each with a CSP block, and spatial pyramid pooling at the end.

    About 0.45M parameters at the default ``width``; batch normalisation with
    :data:`~corvane.tessmark.batchnorm.FROM_SCRATCH_MOMENTUM`, as training from scratch
    needs. Returns a Keras model of
    an (image_size, image_size, 3) input scaled to [0, 1].
    """
    import tensorflow as tf

    layers = tf.keras.layers
    reg = kernel_regularizer
    inputs = tf.keras.Input((image_size, image_size, 3), name="image")
    x = _conv(inputs, width, 3, 2, reg)
    for multiple in (2, 4, 6, 8):
        x = _conv(x, width * multiple, 3, 2, reg)
        x = _csp(x, width * multiple, kernel_regularizer=reg)
    # Spatial pyramid pooling (YOLOv5's fast form): context of 5, 9 and 13 cells at stride 32.
    channels = width * 8
    y = _conv(x, channels // 2, kernel_regularizer=reg)
    pooled = [y]
    for _ in range(3):
        pooled.append(layers.MaxPooling2D(5, 1, padding="same")(pooled[-1]))
    x = _conv(layers.Concatenate()(pooled), channels, kernel_regularizer=reg)
    return tf.keras.Model(inputs, x, name=name)


def pyramid_neck(features, width: int, kernel_regularizer=None) -> list:
    """A path-aggregation neck (FPN then PAN, as YOLOv8's) on ``features``, finest first:
    each level is mixed with the coarser ones on the way up and the finer ones on the way
    down, and comes out with ``width`` channels."""
    import tensorflow as tf

    layers = tf.keras.layers
    reg = kernel_regularizer
    # Top-down: coarse context into the fine maps.
    down = [features[-1]]
    for level in reversed(features[:-1]):
        up = layers.UpSampling2D(2, interpolation="nearest")(down[0])
        merged = layers.Concatenate()([level, up])
        down.insert(0, _csp(merged, width, shortcut=False, kernel_regularizer=reg))
    # Bottom-up: fine detail back into the coarse maps.
    out = [down[0]]
    for level in down[1:]:
        reduced = _conv(out[-1], width, 3, 2, reg)
        merged = layers.Concatenate()([reduced, level])
        out.append(_csp(merged, width, shortcut=False, kernel_regularizer=reg))
    return out


def pyramid_detector(
    backbone,
    num_classes: int,
    image_size: int | None = None,
    strides=STRIDES,
    width: int = 48,
    kernel_regularizer=None,
    name: str = "pyramid_detector",
):
    """The detector of this layout: ``backbone`` (a Keras model, see :func:`feature_taps`;
    ``None`` for :func:`small_backbone`), a neck of ``width`` channels, and a head per level.

    The three outputs are those of the module docstring; under a mixed precision policy
    they are float32. ``image_size`` is the square input's side, required without a
    backbone and checked against the backbone's input otherwise. Images come in scaled to
    [0, 1], as ``DetectionTrainer`` gives them (a backbone that scales its own input, such
    as EfficientNet's, expects 0..255).

    Each level has its own head, a box branch and a class branch of two 3x3 convolutions
    each: levels see objects of different sizes and, with batch normalisation, statistics
    of their own, which one shared head would have to average.

    A ``tf.keras.applications`` backbone keeps its own batch normalisation momentum (0.999
    in MobileNetV2); trained from scratch, lower it with
    :func:`corvane.tessmark.batchnorm.for_training_from_scratch` before training.
    """
    import tensorflow as tf

    layers = tf.keras.layers
    strides = tuple(int(s) for s in strides)
    if any(finer * 2 != coarser for finer, coarser in zip(strides, strides[1:])):
        # The neck joins neighbouring levels by upsampling and convolving by 2.
        raise ValueError(f"each stride must double the one before, as 8, 16, 32: {strides}")
    if backbone is None:
        if image_size is None:
            raise ValueError("pyramid_detector needs image_size when it builds its own backbone")
        backbone = small_backbone(image_size, kernel_regularizer=kernel_regularizer)
    shape = backbone.input_shape
    shape = shape[0] if isinstance(shape, list) and len(shape) == 1 else shape
    if image_size is not None and tuple(shape[1:3]) != (image_size, image_size):
        raise ValueError(
            f"the backbone's input is {tuple(shape[1:3])}, not the square image_size "
            f"{image_size}: build it with input_shape=({image_size}, {image_size}, 3)"
        )
    if shape[1] != shape[2]:
        raise ValueError(f"the backbone's input {tuple(shape[1:3])} is not square")
    image_size = shape[1]
    features = pyramid_neck(feature_taps(backbone, strides), width, kernel_regularizer)

    float32 = "float32"
    regressions, logits, boxes = [], [], []
    for stride, feature in zip(strides, features):
        box, cls = feature, feature
        for _ in range(2):
            box = _conv(box, width, 3, kernel_regularizer=kernel_regularizer)
            cls = _conv(cls, width, 3, kernel_regularizer=kernel_regularizer)
        box = layers.Conv2D(
            4,
            1,
            kernel_regularizer=kernel_regularizer,
            bias_initializer=tf.keras.initializers.Constant(BOX_BIAS),
        )(box)
        cls = layers.Conv2D(
            num_classes,
            1,
            kernel_regularizer=kernel_regularizer,
            bias_initializer=tf.keras.initializers.Constant(
                -math.log((1 - CLASS_PRIOR) / CLASS_PRIOR)
            ),
        )(cls)
        # Float32 from here on: the loss and the exports read these.
        box = layers.Activation("linear", dtype=float32)(box)
        cls = layers.Activation("linear", dtype=float32)(cls)
        locations = (image_size // stride) ** 2
        regressions.append(layers.Reshape((locations, 4), dtype=float32)(box))
        logits.append(layers.Reshape((locations, num_classes), dtype=float32)(cls))
        level = _level_boxes(box, stride, image_size)
        boxes.append(layers.Reshape((locations, 4), dtype=float32)(level))

    def joined(tensors, name=None):
        if len(tensors) == 1:
            return layers.Activation("linear", dtype=float32, name=name)(tensors[0])
        return layers.Concatenate(axis=1, dtype=float32, name=name)(tensors)

    box_regression = joined(regressions, "box_regression")
    class_logits = joined(logits, "class_logits")
    scores = layers.Activation("sigmoid", dtype=float32)(class_logits)
    detections = layers.Concatenate(axis=-1, dtype=float32)([joined(boxes), scores])
    # Rank 4, so a channels-first checkpoint moves its channels as it does a grid's.
    detections = layers.Reshape(
        (sum((image_size // s) ** 2 for s in strides), 1, 4 + num_classes),
        dtype=float32,
        name="detections",
    )(detections)
    return tf.keras.Model(backbone.input, [box_regression, class_logits, detections], name=name)


def _level_boxes(raw, stride: int, image_size: int):
    """``[x1, y1, x2, y2]`` as fractions of the input's side at each location of one
    level's raw (N, h, w, 4) box map, in TensorFlow operations that Keras saves as layers
    of its own: the locations come from cumulative sums of ones, so the checkpoint needs
    no constant of its own."""
    import tensorflow as tf

    ones = tf.ones_like(raw[..., :1])
    col = tf.math.cumsum(ones, axis=2) - 0.5
    row = tf.math.cumsum(ones, axis=1) - 0.5
    centres = tf.keras.layers.Concatenate(dtype="float32")([col, row, col, row])
    distances = tf.keras.layers.Activation("softplus", dtype="float32")(raw)
    return (centres + distances * [-1.0, -1.0, 1.0, 1.0]) * (stride / image_size)
