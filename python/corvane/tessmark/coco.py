"""COCO-format detection data: a reader that checks everything first, the writer, and the letterbox.

:func:`read_coco` reads an annotations file through pycocotools and checks every
entry, and every image file's header, before anything trains on it. All faults
found are reported together in one :class:`CocoFormatError` that names the
annotations file and each faulty entry (image id, annotation id, file name).
Images without annotations are kept: they are negatives.

Boxes come out as float32 rows ``[x1, y1, x2, y2, class_index]`` in pixels of
the original image, ``class_index`` counting the categories in the file's order.
Crowd annotations (``iscrowd`` 1) mark regions of many objects rather than one
object; they are left out of the boxes.

:class:`Letterbox` fits an image of any size into a square network input: scaled
to fit, centred, the rest filled. It maps boxes both ways, so that training
targets are made in input coordinates and detections are reported in the
original image's. :func:`letterbox_image` applies it with TensorFlow ops, in a
``tf.data`` pipeline or eagerly.
"""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field, replace

import numpy as np

# What tf.io.decode_image reads, by Pillow's format names.
IMAGE_FORMATS = ("PNG", "JPEG", "GIF", "BMP")
# Coordinates written with a few decimals may round past the image's edge.
EDGE_TOLERANCE = 1e-3
SHOWN_PROBLEMS = 20


class CocoFormatError(ValueError):
    """Annotations that cannot be trained on, with every fault found.

    ``path`` is the annotations file; ``problems`` lists one line per fault, each
    starting with the entry it concerns.
    """

    def __init__(self, path: str, problems: Sequence[str]):
        self.path = str(path)
        self.problems = list(problems)
        if len(self.problems) == 1:
            message = f"{self.path}: {self.problems[0]}"
        else:
            shown = self.problems[:SHOWN_PROBLEMS]
            lines = [f"{self.path}: {len(self.problems)} problems:"]
            lines += [f"  {problem}" for problem in shown]
            if len(self.problems) > len(shown):
                lines.append(f"  ... and {len(self.problems) - len(shown)} more")
            message = "\n".join(lines)
        super().__init__(message)


@dataclass(frozen=True)
class CocoImage:
    """One image: where its file is, its size, and its boxes (see the module docstring)."""

    id: int
    file_name: str
    path: str
    width: int
    height: int
    boxes: np.ndarray = field(repr=False)


@dataclass(frozen=True)
class CocoDataset:
    """A checked annotations file: class names in category order, images in file order."""

    annotations: str
    images_dir: str
    classes: tuple[str, ...]
    category_ids: tuple[int, ...]
    images: tuple[CocoImage, ...]

    def __len__(self) -> int:
        return len(self.images)

    def head(self, count: int | None) -> CocoDataset:
        """The first ``count`` images (all when ``count`` is None), for short runs."""
        return self if count is None else replace(self, images=self.images[:count])


def read_coco(annotations: str | os.PathLike, images_dir: str | os.PathLike | None = None):
    """Reads and checks ``annotations``; ``file_name`` entries are relative to ``images_dir``.

    ``images_dir`` defaults to the folder of the annotations file. Raises
    :class:`CocoFormatError` when the file is not COCO detection annotations or
    any entry is faulty: an image file that is missing, unreadable, of a format
    TensorFlow cannot decode or of another size than declared; a box that is not
    four numbers, has a width or height of 0 or less, or reaches outside its
    image; an annotation of an unknown image or category; duplicate ids.
    """
    path = os.path.abspath(os.fspath(annotations))
    folder = os.path.abspath(os.fspath(images_dir)) if images_dir else os.path.dirname(path)
    document = _load_json(path)
    problems = _structure_problems(document)
    if problems:
        raise CocoFormatError(path, problems)

    from pycocotools.coco import COCO

    coco = COCO()
    coco.dataset = document
    with contextlib.redirect_stdout(io.StringIO()):  # pycocotools reports on stdout
        coco.createIndex()

    category_ids = coco.getCatIds()
    classes = [category["name"] for category in coco.loadCats(category_ids)]
    class_index = {category_id: k for k, category_id in enumerate(category_ids)}
    # With a repeated id, pycocotools keeps one category for both: names would repeat too.
    problems += _duplicates("category", category_ids, "id") or _duplicates(
        "category", classes, "name"
    )
    image_ids = [image["id"] for image in document["images"]]
    problems += _duplicates("image", image_ids, "id")
    problems += _duplicates("annotation", [a["id"] for a in document["annotations"]], "id")

    sizes = {}
    for image in coco.loadImgs(coco.getImgIds()):
        entry = _image_entry(image)
        file_path = os.path.join(folder, image["file_name"])
        found, problem = _image_header(file_path, folder)
        if problem:
            problems.append(f"{entry}: {problem}")
            continue
        declared = (image.get("width"), image.get("height"))
        if None not in declared and declared != found:
            problems.append(
                f"{entry}: the file is {found[0]}x{found[1]} pixels, the entry says "
                f"{declared[0]}x{declared[1]} (width x height)"
            )
            continue
        sizes[image["id"]] = found

    for annotation in document["annotations"]:
        image = coco.imgs.get(annotation["image_id"])
        entry = f"annotation id {annotation['id']}"
        if image is None:
            problems.append(f"{entry}: image_id {annotation['image_id']!r} is not in images")
            continue
        entry += f" ({_image_entry(image)})"
        if annotation["category_id"] not in class_index:
            known = ", ".join(str(i) for i in category_ids)
            problems.append(
                f"{entry}: category_id {annotation['category_id']!r} is not in categories "
                f"(ids {known})"
            )
        size = sizes.get(image["id"], (image.get("width"), image.get("height")))
        problem = _box_problem(annotation["bbox"], *size)
        if problem:
            problems.append(f"{entry}: {problem}")
    if problems:
        raise CocoFormatError(path, problems)

    images = []
    for image in coco.loadImgs(image_ids):
        annotations_of_image = coco.loadAnns(coco.getAnnIds(imgIds=[image["id"]]))
        rows = []
        for annotation in annotations_of_image:
            if not annotation.get("iscrowd", 0):
                x, y, w, h = annotation["bbox"]
                rows.append((x, y, x + w, y + h, class_index[annotation["category_id"]]))
        width, height = sizes[image["id"]]
        images.append(
            CocoImage(
                id=image["id"],
                file_name=image["file_name"],
                path=os.path.join(folder, image["file_name"]),
                width=width,
                height=height,
                boxes=np.asarray(rows, np.float32).reshape(-1, 5),
            )
        )
    return CocoDataset(path, folder, tuple(classes), tuple(category_ids), tuple(images))


def _load_json(path: str):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        raise CocoFormatError(path, ["annotations file not found"]) from None
    except IsADirectoryError:
        raise CocoFormatError(path, ["is a folder, not an annotations file"]) from None
    except json.JSONDecodeError as error:
        raise CocoFormatError(
            path, [f"not JSON: {error.msg} at line {error.lineno}, column {error.colno}"]
        ) from None
    except UnicodeDecodeError:
        raise CocoFormatError(path, ["not JSON: the file is not UTF-8 text"]) from None


def _structure_problems(document) -> list[str]:
    """Faults that would stop pycocotools' index, or that make the file not COCO at all."""
    if isinstance(document, list):
        hint = " (a list of detections is a results file, not annotations)" if document else ""
        return [
            "not COCO annotations: the top level is a list, not an object with "
            f"'images', 'annotations' and 'categories'{hint}"
        ]
    if not isinstance(document, dict):
        return [f"not COCO annotations: the top level is {_kind(document)}, not an object"]
    missing = [key for key in ("images", "annotations", "categories") if key not in document]
    if missing:
        return [f"not COCO annotations: no {', '.join(repr(k) for k in missing)} at the top level"]
    problems = [
        f"not COCO annotations: '{key}' is {_kind(document[key])}, not a list"
        for key in ("images", "annotations", "categories")
        if not isinstance(document[key], list)
    ]
    if problems:
        return problems
    if not document["categories"]:
        return ["no categories: there is nothing to detect"]

    for position, category in enumerate(document["categories"]):
        entry = f"category #{position}"
        if not isinstance(category, dict):
            problems.append(f"{entry}: {_kind(category)}, not an object")
            continue
        if not _is_int(category.get("id")):
            problems.append(f"{entry}: 'id' must be an integer, found {category.get('id')!r}")
        name = category.get("name")
        if not isinstance(name, str) or not name.strip():
            problems.append(f"{entry} (id {category.get('id')!r}): 'name' must be a non-empty text")

    for position, image in enumerate(document["images"]):
        if not isinstance(image, dict):
            problems.append(f"image #{position}: {_kind(image)}, not an object")
            continue
        entry = f"image #{position}"
        if not _is_int(image.get("id")):
            problems.append(f"{entry}: 'id' must be an integer, found {image.get('id')!r}")
            continue
        entry = f"image id {image['id']}"
        if not isinstance(image.get("file_name"), str) or not image["file_name"]:
            problems.append(f"{entry}: 'file_name' must be a non-empty text")
        for key in ("width", "height"):
            value = image.get(key)
            if value is not None and not (_is_int(value) and value > 0):
                problems.append(f"{entry}: '{key}' must be a positive integer, found {value!r}")

    for position, annotation in enumerate(document["annotations"]):
        if not isinstance(annotation, dict):
            problems.append(f"annotation #{position}: {_kind(annotation)}, not an object")
            continue
        entry = f"annotation #{position}"
        if not _is_int(annotation.get("id")):
            problems.append(f"{entry}: 'id' must be an integer, found {annotation.get('id')!r}")
            continue
        entry = f"annotation id {annotation['id']}"
        for key in ("image_id", "category_id"):
            if not _is_int(annotation.get(key)):
                problems.append(
                    f"{entry}: '{key}' must be an integer, found {annotation.get(key)!r}"
                )
        if "bbox" not in annotation:
            problems.append(f"{entry}: no 'bbox' (a detection box is needed)")
        if annotation.get("iscrowd", 0) not in (0, 1):
            problems.append(f"{entry}: 'iscrowd' must be 0 or 1, found {annotation['iscrowd']!r}")
    return problems


def _duplicates(kind: str, values: Iterable, key: str) -> list[str]:
    seen, repeated = set(), []
    for value in values:
        if value in seen and value not in repeated:
            repeated.append(value)
        seen.add(value)
    return [f"{kind} {key} {value!r} appears more than once" for value in repeated]


def _image_entry(image: dict) -> str:
    return f"image id {image['id']}, file_name {image['file_name']!r}"


def _image_header(file_path: str, folder: str):
    """((width, height), None) from the file's header, or (None, what is wrong)."""
    from PIL import Image, UnidentifiedImageError

    if not os.path.isfile(file_path):
        return None, f"image file not found: {file_path} (images folder {folder})"
    try:
        with Image.open(file_path) as picture:
            size, kind = picture.size, picture.format
    except (UnidentifiedImageError, OSError) as error:
        return None, f"cannot read the image file {file_path}: {error}"
    if kind not in IMAGE_FORMATS:
        return None, (f"{file_path} is a {kind} image; supported are {', '.join(IMAGE_FORMATS)}")
    return size, None


def _box_problem(bbox, width, height) -> str | None:
    if not (isinstance(bbox, list) and len(bbox) == 4 and all(_is_number(v) for v in bbox)):
        return f"'bbox' must be four numbers [x, y, width, height], found {bbox!r}"
    x, y, w, h = bbox
    if w <= 0 or h <= 0:
        return f"box {bbox} (x, y, width, height) has a width or height of 0 or less"
    if width is None or height is None:
        return None  # the image's own fault was reported
    tolerance = EDGE_TOLERANCE
    if x < -tolerance or y < -tolerance or x + w > width + tolerance or y + h > height + tolerance:
        return (
            f"box {bbox} (x, y, width, height) reaches outside its image of "
            f"{width}x{height} pixels (x from {x:g} to {x + w:g}, y from {y:g} to {y + h:g})"
        )
    return None


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _kind(value) -> str:
    """A JSON value's kind, with its article, for messages."""
    kinds = {dict: "an object", list: "a list", str: "a text", bool: "a boolean"}
    kinds.update({int: "a number", float: "a number", type(None): "null"})
    return kinds.get(type(value), f"a {type(value).__name__}")


def coco_document(
    classes: Sequence[str],
    images: Iterable[tuple[str, int, int, np.ndarray]],
    supercategory: str = "object",
) -> dict:
    """COCO annotations for ``images`` given as ``(file_name, width, height, boxes)``.

    ``boxes`` are rows ``[x1, y1, x2, y2, class_index]`` in pixels, as
    :func:`read_coco` returns them; reading the result back gives the same
    float32 boxes. Ids count from 1, categories in the order of ``classes``.
    """
    document = {
        "images": [],
        "annotations": [],
        "categories": [
            {"id": k + 1, "name": name, "supercategory": supercategory}
            for k, name in enumerate(classes)
        ],
    }
    for image_id, (file_name, width, height, boxes) in enumerate(images, start=1):
        document["images"].append(
            {"id": image_id, "file_name": file_name, "width": int(width), "height": int(height)}
        )
        for x1, y1, x2, y2, cls in np.asarray(boxes, np.float32).reshape(-1, 5).tolist():
            w, h = x2 - x1, y2 - y1
            document["annotations"].append(
                {
                    "id": len(document["annotations"]) + 1,
                    "image_id": image_id,
                    "category_id": int(cls) + 1,
                    "bbox": [x1, y1, w, h],
                    "area": w * h,
                    "iscrowd": 0,
                }
            )
    return document


@dataclass(frozen=True)
class Letterbox:
    """Where an image of ``height`` x ``width`` pixels lands in a ``size`` x ``size`` input.

    The image is scaled by the same factor on both axes (up or down) until it
    fits, and centred; ``top`` and ``left`` are the fill above and left of it.
    The scale per axis is the rounded size over the original, so that boxes map
    onto the resized pixels exactly.
    """

    height: int
    width: int
    size: int
    new_height: int
    new_width: int
    top: int
    left: int

    @classmethod
    def fit(cls, height: int, width: int, size: int) -> Letterbox:
        scale = min(size / height, size / width)
        new_height = min(size, max(1, round(height * scale)))
        new_width = min(size, max(1, round(width * scale)))
        top, left = (size - new_height) // 2, (size - new_width) // 2
        return cls(int(height), int(width), int(size), new_height, new_width, top, left)

    @property
    def is_identity(self) -> bool:
        return self.height == self.width == self.size

    def boxes_to_input(self, boxes: np.ndarray) -> np.ndarray:
        """Rows ``[x1, y1, x2, y2, ...]`` in image pixels to input pixels; other columns kept."""
        boxes = np.array(boxes, np.float32)
        if not self.is_identity:
            boxes[:, 0:4:2] = boxes[:, 0:4:2] * (self.new_width / self.width) + self.left
            boxes[:, 1:4:2] = boxes[:, 1:4:2] * (self.new_height / self.height) + self.top
        return boxes

    def boxes_to_image(self, boxes: np.ndarray) -> np.ndarray:
        """(n, 4) boxes in input pixels to image pixels, clipped to the image."""
        boxes = np.array(boxes, np.float32).reshape(-1, 4)
        if self.is_identity:
            return boxes
        x = (boxes[:, 0::2] - self.left) * (self.width / self.new_width)
        y = (boxes[:, 1::2] - self.top) * (self.height / self.new_height)
        boxes[:, 0::2] = np.clip(x, 0, self.width)
        boxes[:, 1::2] = np.clip(y, 0, self.height)
        return boxes


def letterbox_image(image, new_height, new_width, top, left, size: int, fill: int = 0):
    """``image`` (H, W, C) uint8 resized to ``new_height`` x ``new_width``, placed in the input.

    The geometry is a :class:`Letterbox`'s; its fields may be tensors, as in a
    ``tf.data`` map. Antialiased resizing, rounded back to uint8; an image that
    already has the new size is not resampled. The result is (size, size, C) uint8.
    """
    import tensorflow as tf

    image = tf.convert_to_tensor(image)
    new_size = tf.stack([new_height, new_width])

    def resized():
        pixels = tf.image.resize(image, new_size, antialias=True)
        return tf.cast(tf.round(tf.clip_by_value(pixels, 0.0, 255.0)), tf.uint8)

    same = tf.reduce_all(tf.equal(tf.shape(image)[:2], new_size))
    placed = tf.cond(same, lambda: image, resized)
    bottom, right = size - new_height - top, size - new_width - left
    placed = tf.pad(placed, [[top, bottom], [left, right], [0, 0]], constant_values=fill)
    return tf.ensure_shape(placed, [size, size, image.shape[-1]])


def decode_image(path):
    """The image file at ``path`` (a string tensor in a pipeline) as (H, W, 3) uint8."""
    import tensorflow as tf

    image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
    return tf.ensure_shape(image, [None, None, 3])
