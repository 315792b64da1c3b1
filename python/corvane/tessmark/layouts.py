"""Which detection layout a network's ``detections`` output holds, read from its shape,
so that prediction, export and evaluation decode any checkpoint without being told.

Per image, channels-last, the two layouts give:

grid (:mod:`corvane.tessmark.grid`)
    (G, G, 5 + C): a square map, objectness and box before the class probabilities.
pyramid (:mod:`corvane.tessmark.pyramid`)
    (A, 1, 4 + C) with A > 1 locations: a column, the box before the class scores.

A channels-first checkpoint gives (5 + C, G, G) and (4 + C, A, 1). The shapes never
overlap: a grid's first two sides are equal, a pyramid's are not.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

from corvane.tessmark.grid import decode_grid, decode_grid_graph
from corvane.tessmark.pyramid_decode import decode_pyramid, decode_pyramid_graph

# How the two outputs look, for messages that refuse any other.
SHAPES = "a grid (G, G, 5 + C) or a pyramid's (A, 1, 4 + C), with at least one class C"


class Layout(NamedTuple):
    """A layout recognised: its ``name``, the ``num_classes`` of the output, and its
    decodings of one image's channels-last output: ``decode`` in numpy, giving
    :class:`~corvane.tessmark.grid.Detections`, and ``decode_graph`` in TensorFlow
    operations; both take ``(output, height, width, score_threshold, nms_iou)``."""

    name: str
    num_classes: int
    decode: Callable
    decode_graph: Callable


def output_layout(shape, channels_first: bool = False) -> Layout | None:
    """The layout of a ``detections`` output of ``shape`` (N, ...), as Keras gives a
    network's ``output_shape`` or numpy an array's; None when it is of neither layout or
    its sides are not known."""
    shape = tuple(shape) if shape is not None else ()
    if len(shape) != 4 or any(not isinstance(d, int) for d in shape[1:]):
        return None
    channels, *sides = (shape[1], *shape[2:]) if channels_first else (shape[3], *shape[1:3])
    if sides[0] == sides[1] and channels > 5:
        return Layout("grid", channels - 5, decode_grid, decode_grid_graph)
    if sides[0] > 1 and sides[1] == 1 and channels > 4:
        return Layout("pyramid", channels - 4, decode_pyramid, decode_pyramid_graph)
    return None
