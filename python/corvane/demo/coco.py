"""The demo on the user's data (COCO, YOLO, Pascal VOC), and the shapes written as files.

Both splits are read and checked by the library's readers (:mod:`corvane.tessmark.formats`)
and fed through its data helpers (:mod:`corvane.tessmark.data`): training images
letterboxed to the network's input, validation samples at their own size, so that the
evaluator measures in the original images' pixels.
"""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass
from pathlib import Path

from corvane.tessmark import data as library
from corvane.tessmark.coco import (
    CocoDataset,
    DatasetFormatError,
    check_images,
    coco_document,
    read_coco,
)
from corvane.tessmark.durable import write_json
from corvane.tessmark.formats import describe_format, read_dataset

from . import data


@dataclass(frozen=True)
class Splits:
    """The user's training and validation data, checked, with what the run records."""

    train: CocoDataset
    validation: CocoDataset
    format: str  # "COCO", "YOLO" or "Pascal VOC"
    info: dict

    @property
    def clipped(self) -> int:
        return getattr(self.train, "clipped", 0) + getattr(self.validation, "clipped", 0)


def read_splits(
    data_path: str | None = None,
    coco_train: str | None = None,
    coco_val: str | None = None,
    images_dir: str | None = None,
    clip: float = 0.0,
    train_limit: int | None = None,
    val_limit: int | None = None,
) -> Splits:
    """Both splits read and checked: COCO files ``coco_train`` and ``coco_val``, or the
    YOLO ``data.yaml`` or VOC root ``data_path``.

    Every entry of both splits is checked, also when a limit keeps only the first images.
    The validation split must name the same classes in the same order as the training
    split, whose classes become the network's.
    """
    if coco_train:
        kind = "COCO"
        train = read_coco(coco_train, images_dir, clip=clip)
        validation = read_coco(coco_val, images_dir, clip=clip)
    else:
        kind = describe_format(data_path)
        train = read_dataset(data_path, "train", clip=clip)
        validation = read_dataset(data_path, "val", clip=clip)
    if validation.classes != train.classes:
        raise DatasetFormatError(
            validation.annotations,
            [
                f"its categories {list(validation.classes)} differ from those of the training "
                f"file {train.annotations}: {list(train.classes)} (same names, same order)"
            ],
        )
    for dataset in (train, validation):
        if not len(dataset):
            raise DatasetFormatError(dataset.annotations, ["no images"])
    train, validation = train.head(train_limit), validation.head(val_limit)
    if coco_train:
        info = {
            "coco_train": train.annotations,
            "coco_val": validation.annotations,
            "images": train.images_dir,
        }
    else:
        info = {"data": data_path, "format": kind}
    info.update(train_images=len(train), validation_images=len(validation))
    return Splits(train, validation, kind, info)


@contextlib.contextmanager
def images_checked_on_failure(splits: Splits | None):
    """Runs the training in its body; when an image stops it there, having changed since
    it was read, the failure becomes the readers' :class:`DatasetFormatError` that names
    each such image with the decoder's reason."""
    import tensorflow as tf

    try:
        yield
    except tf.errors.InvalidArgumentError:
        if splits is not None:
            for dataset in (splits.train, splits.validation):
                check_images(dataset)
        raise


def dataset_source(
    splits: Splits,
    image_size: int = data.IMAGE_SIZE,
    stride: int = data.STRIDE,
    elements=None,
) -> data.DataSource:
    """The demo's data of ``splits``: letterboxed training elements, original validation
    samples. ``elements(dataset, image_size)`` makes the training elements; by default
    the grid's, of ``stride``."""
    if elements is None:
        train = library.coco_training_elements(splits.train, image_size, stride)
    else:
        train = elements(splits.train, image_size)
    return data.DataSource(
        splits.train.classes,
        train,
        library.coco_validation_samples(splits.validation),
        splits.info,
    )


def coco_source(
    train_annotations: str,
    val_annotations: str,
    images_dir: str | None = None,
    train_limit: int | None = None,
    val_limit: int | None = None,
    image_size: int = data.IMAGE_SIZE,
    stride: int = data.STRIDE,
) -> data.DataSource:
    """Both COCO annotation files read and checked, as the demo's data (see
    :func:`read_splits`)."""
    splits = read_splits(
        None, train_annotations, val_annotations, images_dir, 0.0, train_limit, val_limit
    )
    return dataset_source(splits, image_size, stride)


def export_shapes(
    directory: str | os.PathLike,
    train: data.ShapeSet,
    validation: data.ShapeSet,
    kind: str = "coco",
):
    """Writes the shapes into ``directory`` as ``kind`` data ("coco", "yolo" or "voc").

    COCO: ``train.json``, ``val.json`` and ``images/*.png``, each ``file_name`` relative to
    ``directory``; returns the two annotation files. YOLO: ``data.yaml`` (returned) with
    ``images/`` and ``labels/``. VOC: the root (returned) with ``Annotations/``,
    ``JPEGImages/`` and ``ImageSets/Main/``. Existing files are not replaced: the call
    fails before writing anything.
    """
    directory = Path(directory).resolve()
    splits = {"train": train, "val": validation}
    if kind != "coco":
        from corvane.tessmark.voc import write_voc
        from corvane.tessmark.yolo import write_yolo

        items = {
            split: list(zip(shapes.names, shapes.images, shapes.boxes))
            for split, shapes in splits.items()
        }
        write = write_yolo if kind == "yolo" else write_voc
        return Path(write(directory, data.CLASSES, items))

    from PIL import Image

    targets = {"train": directory / "train.json", "val": directory / "val.json"}
    existing = [str(path) for path in targets.values() if path.exists()]
    if existing:
        raise FileExistsError(
            f"{' and '.join(existing)} already exist; remove them or export into another folder"
        )
    (directory / "images").mkdir(parents=True, exist_ok=True)
    for split, shapes in splits.items():
        entries = []
        for picture, boxes, name in zip(shapes.images, shapes.boxes, shapes.names):
            file_name = f"images/{name}"
            Image.fromarray(picture).save(directory / file_name, format="PNG")
            entries.append((file_name, picture.shape[1], picture.shape[0], boxes))
        document = coco_document(data.CLASSES, entries, supercategory="shape")
        write_json(targets[split], document)
    return targets["train"], targets["val"]
