"""The demo on COCO-format data: the user's images as its data, and the shapes written as COCO.

Training images are letterboxed to the network's input in a ``tf.data``
pipeline (read, decode, resize, pad), and their target grids are made once,
before training, from the boxes mapped with the same letterbox. Validation
samples are the original images with their original boxes: the runner
letterboxes each image itself and maps its detections back, so the evaluator
measures in the original image's pixels.

The demo network's grid holds one object per cell; where two objects of an
image fall into one cell, the later annotation is the one trained on.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from corvane.tessmark.coco import (
    CocoDataset,
    CocoFormatError,
    Letterbox,
    coco_document,
    decode_image,
    letterbox_image,
    read_coco,
)

from . import data

# Decoded training images are kept in memory after the first epoch when they fit in this.
CACHE_LIMIT = 1 << 30


def coco_source(
    train_annotations: str,
    val_annotations: str,
    images_dir: str | None = None,
    train_limit: int | None = None,
    val_limit: int | None = None,
    image_size: int = data.IMAGE_SIZE,
    stride: int = data.STRIDE,
) -> data.DataSource:
    """Both annotation files read and checked, as the demo's data.

    Every entry of both files is checked, also when a limit keeps only the
    first images. The validation file must name the same categories in the
    same order as the training file, whose categories become the classes.
    """
    train = read_coco(train_annotations, images_dir)
    validation = read_coco(val_annotations, images_dir)
    if validation.classes != train.classes:
        raise CocoFormatError(
            validation.annotations,
            [
                f"its categories {list(validation.classes)} differ from those of the training "
                f"file {train.annotations}: {list(train.classes)} (same names, same order)"
            ],
        )
    for dataset in (train, validation):
        if not len(dataset):
            raise CocoFormatError(dataset.annotations, ["no images"])
    train, validation = train.head(train_limit), validation.head(val_limit)
    info = {
        "coco_train": train.annotations,
        "coco_val": validation.annotations,
        "images": train.images_dir,
        "train_images": len(train),
        "validation_images": len(validation),
    }
    return data.DataSource(
        train.classes,
        training_elements(train, image_size, stride),
        validation_dataset(validation),
        info,
    )


def training_elements(
    dataset: CocoDataset,
    image_size: int = data.IMAGE_SIZE,
    stride: int = data.STRIDE,
    cache: bool | None = None,
):
    """Unbatched ``(letterboxed image, target_grid)`` elements, in the file's image order.

    With ``cache`` the decoded elements are kept in memory after the first
    epoch; by default when they take at most ``CACHE_LIMIT`` bytes.
    """
    import tensorflow as tf

    boxes = [Letterbox.fit(image.height, image.width, image_size) for image in dataset.images]
    grids = np.stack(
        [
            data.encode_targets(
                box.boxes_to_input(image.boxes), image_size, stride, len(dataset.classes)
            )
            for box, image in zip(boxes, dataset.images)
        ]
    )
    layout = np.array([(b.new_height, b.new_width, b.top, b.left) for b in boxes], np.int32)
    paths = [image.path for image in dataset.images]

    def load(path, layout, grid):
        image = letterbox_image(decode_image(path), *tf.unstack(layout), size=image_size)
        return image, grid

    ds = tf.data.Dataset.from_tensor_slices((paths, layout, grids))
    # Parallel decoding; the element order stays the file's (deterministic map).
    ds = ds.map(load, num_parallel_calls=tf.data.AUTOTUNE)
    if cache is None:
        cache = len(dataset) * (image_size * image_size * 3 + grids[0].nbytes) <= CACHE_LIMIT
    return ds.cache() if cache else ds


def validation_dataset(dataset: CocoDataset):
    """The trainer's validation samples: original images, original boxes, file names."""
    images = dataset.images
    return data.validation_samples(
        [image.path for image in images],
        [image.boxes for image in images],
        [image.file_name for image in images],
        load=decode_image,
    )


def export_shapes(directory: str | os.PathLike, train: data.ShapeSet, validation: data.ShapeSet):
    """Writes ``train.json``, ``val.json`` and ``images/*.png`` into ``directory``.

    Each ``file_name`` is relative to ``directory``, so the files are found
    from the annotations' own folder. Existing annotation files are not
    replaced: the call fails before writing anything.
    """
    from PIL import Image

    directory = Path(directory).resolve()
    targets = {"train": directory / "train.json", "val": directory / "val.json"}
    existing = [str(path) for path in targets.values() if path.exists()]
    if existing:
        raise FileExistsError(
            f"{' and '.join(existing)} already exist; remove them or export into another folder"
        )
    (directory / "images").mkdir(parents=True, exist_ok=True)
    for split, shapes in (("train", train), ("val", validation)):
        entries = []
        for picture, boxes, name in zip(shapes.images, shapes.boxes, shapes.names):
            file_name = f"images/{name}"
            Image.fromarray(picture).save(directory / file_name, format="PNG")
            entries.append((file_name, picture.shape[1], picture.shape[0], boxes))
        document = coco_document(data.CLASSES, entries, supercategory="shape")
        _write_json(targets[split], document)
    return targets["train"], targets["val"]


def _write_json(path: Path, document: dict) -> None:
    import json

    partial = path.with_name(f".{path.name}.partial")
    partial.write_text(json.dumps(document), encoding="utf-8")
    os.replace(partial, path)
