"""The demo on COCO-format data: the user's images as its data, and the shapes written as COCO.

Both annotation files are read and checked by :func:`corvane.tessmark.coco.read_coco` and
fed through the library's data helpers (:mod:`corvane.tessmark.data`): training images
letterboxed to the network's input, validation samples at their own size, so that the
evaluator measures in the original images' pixels.
"""

from __future__ import annotations

import os
from pathlib import Path

from corvane.tessmark import data as library
from corvane.tessmark.coco import CocoFormatError, coco_document, read_coco
from corvane.tessmark.durable import write_json

from . import data


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
        library.coco_training_elements(train, image_size, stride),
        library.coco_validation_samples(validation),
        info,
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
        write_json(targets[split], document)
    return targets["train"], targets["val"]
