"""The demo's two detectors, ``--detector grid`` and ``--detector pyramid``: what differs
between them, from the network to the training batches.

``grid`` is the demo's own single-scale network (:mod:`corvane.demo.model`) with
``TessmarkLoss``: one object per cell of stride 8, the others of a cell counted and left
out. ``pyramid`` is the library's multi-level network on its small backbone
(:func:`corvane.tessmark.pyramid.pyramid_detector`) with ``PyramidLoss``, trained on padded
boxes (:mod:`corvane.tessmark.pyramid_data`), and, with ``--augment``, on mosaics too.
Everything else, the trainer, the evaluator and the run, is the same for both.
"""

from __future__ import annotations

from dataclasses import dataclass

from corvane.tessmark.pyramid import STRIDES

from . import data

NAMES = ("grid", "pyramid")
# The coarsest level's stride: a pyramid's input must be a whole number of its cells.
PYRAMID_MULTIPLE = STRIDES[-1]
# Mosaics for the first three quarters of the epochs, the rest on whole images.
MOSAIC_SHARE = 0.75


@dataclass(frozen=True)
class Grid:
    name: str = "grid"
    # What its training elements say about the objects they leave out.
    left_out_warning: str = "(?s).*share a grid cell"

    def network(self, num_classes: int, image_size: int, synchronized: bool = False):
        from .model import build_detector

        return build_detector(
            num_classes=num_classes, image_size=image_size, synchronized=synchronized
        )

    def loss(self, image_size: int):
        from corvane.tessmark.losses import TessmarkLoss

        return TessmarkLoss()

    def elements(self, shapes: data.ShapeSet):
        return data.training_elements(shapes)

    def dataset_elements(self, dataset, image_size: int):
        from corvane.tessmark.data import coco_training_elements

        return coco_training_elements(dataset, image_size, data.STRIDE)

    def batches(self, elements, batch_size, seed, epoch, augment: bool, epochs: int):
        from corvane.tessmark.augment import Augmentation
        from corvane.tessmark.data import batch_training_set

        augmentation = Augmentation() if augment else None
        return batch_training_set(elements, batch_size, seed, epoch=epoch, augment=augmentation)

    def left_out(self, elements) -> str | None:
        counts = elements.target_boxes
        return counts.message if counts.unplaced else None

    def info(self) -> dict:
        return {"grid_stride": data.STRIDE}


@dataclass(frozen=True)
class Pyramid:
    name: str = "pyramid"
    left_out_warning: str = "(?s).*more than max_boxes"

    def network(self, num_classes: int, image_size: int, synchronized: bool = False):
        import tensorflow as tf

        from corvane.tessmark.pyramid import pyramid_detector

        from .model import L2_WEIGHT

        model = pyramid_detector(
            None, num_classes, image_size, kernel_regularizer=tf.keras.regularizers.L2(L2_WEIGHT)
        )
        if synchronized:
            from corvane.tessmark.batchnorm import synchronized_copy

            model = synchronized_copy(model)
        return model

    def loss(self, image_size: int):
        from corvane.tessmark.pyramid_loss import PyramidLoss

        return PyramidLoss(image_size, STRIDES)

    def elements(self, shapes: data.ShapeSet):
        from corvane.tessmark.pyramid_data import pyramid_training_elements

        return pyramid_training_elements(shapes.images, shapes.boxes)

    def dataset_elements(self, dataset, image_size: int):
        from corvane.tessmark.pyramid_data import pyramid_dataset_elements

        return pyramid_dataset_elements(dataset, image_size)

    def batches(self, elements, batch_size, seed, epoch, augment: bool, epochs: int):
        from corvane.tessmark.augment import Augmentation
        from corvane.tessmark.mosaic import Mosaic
        from corvane.tessmark.pyramid_data import batch_pyramid_set

        if not augment:
            return batch_pyramid_set(elements, batch_size, seed, epoch=epoch)
        mosaic = Mosaic(last_epoch=int(MOSAIC_SHARE * epochs))
        return batch_pyramid_set(
            elements, batch_size, seed, epoch=epoch, augment=Augmentation(), mosaic=mosaic
        )

    def left_out(self, elements) -> str | None:
        counts = elements.padded_boxes
        return counts.message if counts.truncated else None

    def info(self) -> dict:
        return {"strides": list(STRIDES)}


def detector(name: str):
    """The detector called ``name`` (one of :data:`NAMES`)."""
    return {"grid": Grid, "pyramid": Pyramid}[name]()
