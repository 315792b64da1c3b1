"""COCO-format detection data: a reader that checks everything first, the writer, and the letterbox.

:func:`read_coco` reads an annotations file through pycocotools and checks every
entry, and decodes every image file whole, before anything trains on it. All faults
found are reported together in one :class:`CocoFormatError` that names the
annotations file and each faulty entry (image id, annotation id, file name).
Images without annotations are kept: they are negatives.

Boxes come out as float32 rows ``[x1, y1, x2, y2, class_index]`` in pixels of
the original image as displayed, ``class_index`` counting the categories in the
file's order. Crowd annotations (``iscrowd`` 1) mark regions of many objects
rather than one object; they are kept apart from the boxes, for writers and
scorers that ignore them. A box a little past the image's edge, as labelling
tools export, is refused unless ``clip`` allows it.

Images are taken as displayed: an EXIF orientation (a camera's "rotate me") is
read from the file's header, sizes are reported turned, and :func:`decode_image`
and :func:`read_image` turn the pixels the same way.

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
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field, replace

import numpy as np

# What tf.io.decode_image reads, by Pillow's format names.
IMAGE_FORMATS = ("PNG", "JPEG", "GIF", "BMP")
# Coordinates written with a few decimals may round past the image's edge.
EDGE_TOLERANCE = 1e-3
SHOWN_PROBLEMS = 20
# Checks of more images than this show a progress bar; smaller ones stay quiet.
PROGRESS_FROM = 1000


class DatasetFormatError(ValueError):
    """A dataset that cannot be trained on, with every fault found.

    ``path`` is the dataset's file or folder; ``problems`` lists one line per fault,
    each starting with the entry it concerns.
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


class CocoFormatError(DatasetFormatError):
    """COCO annotations that cannot be trained on; ``path`` is the annotations file."""


def no_boxes() -> np.ndarray:
    return np.zeros((0, 5), np.float32)


@dataclass(frozen=True)
class CocoImage:
    """One image: where its file is, its size, and its boxes (see the module docstring).

    ``width`` and ``height`` are the displayed size: turned by ``orientation``, the
    file's EXIF orientation (1 to 8; 1 when none). ``crowd`` holds regions left out of
    training (COCO's ``iscrowd``, VOC's ``difficult``), rows like ``boxes``.
    """

    id: int
    file_name: str
    path: str
    width: int
    height: int
    boxes: np.ndarray = field(repr=False)
    crowd: np.ndarray = field(default_factory=no_boxes, repr=False)
    orientation: int = 1


@dataclass(frozen=True)
class CocoDataset:
    """A checked dataset: class names in category order, images in file order.

    ``annotations`` is the file (or folder) it was read from; ``clipped`` counts the
    boxes that were clipped to their image.
    """

    annotations: str
    images_dir: str
    classes: tuple[str, ...]
    category_ids: tuple[int, ...]
    images: tuple[CocoImage, ...]
    clipped: int = 0

    def __len__(self) -> int:
        return len(self.images)

    def head(self, count: int | None) -> CocoDataset:
        """The first ``count`` images (all when ``count`` is None), for short runs."""
        return self if count is None else replace(self, images=self.images[:count])


def read_coco(
    annotations: str | os.PathLike,
    images_dir: str | os.PathLike | None = None,
    *,
    clip: float = 0.0,
    decode: bool = True,
) -> CocoDataset:
    """Reads and checks ``annotations``; ``file_name`` entries are relative to ``images_dir``.

    ``images_dir`` defaults to the folder of the annotations file. A box reaching at
    most ``clip`` pixels past its image's edge is clipped to the image (counted in
    ``CocoDataset.clipped``); one further out is a fault. Every image is decoded
    whole, as training decodes it (:func:`decode_problems`); ``decode=False`` reads
    only the headers, for callers that want the labels alone. Raises
    :class:`CocoFormatError` when the file is not COCO detection annotations or
    any entry is faulty: an image file that is missing, unreadable, cut short or
    corrupt, of a format TensorFlow cannot decode or of another size than declared;
    a box that is not four numbers, has a width or height of 0 or less, or reaches
    outside its image; an annotation of an unknown image or category; duplicate ids.
    """
    clip = check_clip(clip)
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

    headers: dict[int, ImageHeader] = {}
    wrong_size = set()
    for image in coco.loadImgs(coco.getImgIds()):
        entry = _image_entry(image)
        header, problem = image_header(os.path.join(folder, image["file_name"]), folder)
        if header is None:
            problems.append(f"{entry}: {problem}")
            continue
        problem = header.size_problem(image.get("width"), image.get("height"), "the entry says")
        if problem:
            problems.append(f"{entry}: {problem}")
            # Its boxes were drawn on some other picture: checking them would report
            # the same fault once more for each.
            wrong_size.add(image["id"])
            continue
        headers[image["id"]] = header
    if decode:
        problems += decode_problems(
            [(_image_entry(coco.imgs[i]), header.path) for i, header in headers.items()]
        )

    placed, clipped = {}, 0
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
        bbox = annotation["bbox"]
        problem = _bbox_problem(bbox)
        if problem is None and image["id"] not in wrong_size:
            header = headers.get(image["id"])
            # Without a readable file, the declared size is all there is to check against.
            width, height = (
                (header.width, header.height)
                if header
                else (image.get("width"), image.get("height"))
            )
            if width is not None and height is not None:
                x, y, w, h = bbox
                corners, was_clipped, problem = place_box(x, y, x + w, y + h, width, height, clip)
                if problem:
                    problem = f"box {bbox} (x, y, width, height) {problem}"
                placed[annotation["id"]] = corners
                clipped += was_clipped
        if problem:
            problems.append(f"{entry}: {problem}")
    if problems:
        raise CocoFormatError(path, problems)

    images = []
    for image in coco.loadImgs(image_ids):
        rows: list[tuple] = []
        crowd: list[tuple] = []
        for annotation in coco.loadAnns(coco.getAnnIds(imgIds=[image["id"]])):
            row = (*placed[annotation["id"]], class_index[annotation["category_id"]])
            (crowd if annotation.get("iscrowd", 0) else rows).append(row)
        header = headers[image["id"]]
        images.append(
            CocoImage(
                id=image["id"],
                file_name=image["file_name"],
                path=header.path,
                width=header.width,
                height=header.height,
                boxes=np.asarray(rows, np.float32).reshape(-1, 5),
                crowd=np.asarray(crowd, np.float32).reshape(-1, 5),
                orientation=header.orientation,
            )
        )
    return CocoDataset(
        path, folder, tuple(classes), tuple(category_ids), tuple(images), clipped=clipped
    )


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


@dataclass(frozen=True)
class ImageHeader:
    """What an image file's header says: its displayed size and EXIF orientation."""

    path: str
    width: int
    height: int
    orientation: int = 1

    def size_problem(self, width, height, declared: str) -> str | None:
        """The fault of a declared size (None where it is absent), or None."""
        if width is None or height is None or (width, height) == (self.width, self.height):
            return None
        problem = (
            f"the file is {self.width}x{self.height} pixels, {declared} "
            f"{width}x{height} (width x height)"
        )
        if self.orientation >= 5 and (width, height) == (self.height, self.width):
            problem += (
                f"; its EXIF orientation {self.orientation} turns the stored pixels, "
                "and boxes are taken as displayed"
            )
        return problem


def image_header(file_path: str, folder: str) -> tuple[ImageHeader | None, str | None]:
    """(header, None) from the file's header, without decoding it, or (None, what is wrong)."""
    from PIL import Image, UnidentifiedImageError

    if not os.path.isfile(file_path):
        return None, f"image file not found: {file_path} (images folder {folder})"
    try:
        with Image.open(file_path) as picture:
            (width, height), kind = picture.size, picture.format
            orientation = _orientation(picture)
    except (UnidentifiedImageError, OSError, SyntaxError) as error:
        return None, f"cannot read the image file {file_path}: {error}"
    if kind not in IMAGE_FORMATS:
        return None, (f"{file_path} is a {kind} image; supported are {', '.join(IMAGE_FORMATS)}")
    if orientation >= 5:
        width, height = height, width
    return ImageHeader(file_path, width, height, orientation), None


def decode_problems(images: Sequence[tuple[str, str]]) -> list[str]:
    """One fault line ``"<entry>: ..."`` per ``(entry, path)`` image that training cannot decode.

    Each file is decoded whole by :func:`decode_image`, the decoder training uses, in
    parallel in a ``tf.data`` pipeline, and its pixels are dropped: a file cut short,
    corrupt or gone is a fault, with the decoder's reason. A check of more than
    ``PROGRESS_FROM`` images shows a progress bar on stderr.
    """
    if not images:
        return []
    import tensorflow as tf
    from tqdm import tqdm

    paths = [path for _, path in images]

    def decoded(position, path):
        # The shape, not a control dependency: tf.data would drop the unused decode.
        return position, tf.shape(decode_image(path))

    ds = tf.data.Dataset.from_tensor_slices((tf.range(len(paths), dtype=tf.int64), paths))
    ds = ds.map(decoded, num_parallel_calls=tf.data.AUTOTUNE)
    # A file that fails drops out of the stream; what is missing at the end failed.
    ds = ds.ignore_errors().batch(256)
    good = set()
    quiet = len(paths) <= PROGRESS_FROM
    with tqdm(total=len(paths), desc="Decoding images", unit="image", disable=quiet) as bar:
        for positions, _ in ds:
            good.update(positions.numpy().tolist())
            bar.update(len(positions))
    problems = []
    for position in sorted(set(range(len(paths))) - good):
        entry, path = images[position]
        try:
            decode_image(path)  # once more, alone, for the decoder's own words
        except tf.errors.OpError as error:
            problems.append(f"{entry}: cannot decode the image file {path}: {op_message(error)}")
    return problems


def op_message(error) -> str:
    """A TensorFlow error's own words, without the function and op it names."""
    text = re.sub(r"^\{\{function_node [^}]*\}\}\s*", "", error.message)
    return re.sub(r"\s*\[Op:\w+\].*$", "", text, flags=re.S).strip()


def check_images(dataset: CocoDataset) -> None:
    """Decodes every image of ``dataset`` whole, as its reader does (:func:`decode_problems`).

    For images that may have changed since the dataset was read, or one read with
    ``decode=False``. Raises :class:`DatasetFormatError` naming each image that fails.
    """
    problems = decode_problems([(image.file_name, image.path) for image in dataset.images])
    if problems:
        raise DatasetFormatError(dataset.annotations, problems)


def check_clip(clip) -> float:
    """``clip`` as a float, or a ValueError saying what it must be."""
    if not (_is_number(clip) and clip >= 0):
        raise ValueError(f"clip must be a number of pixels, 0 or more, not {clip!r}")
    return float(clip)


def place_box(x1, y1, x2, y2, width, height, clip: float = 0.0):
    """A box's corners checked against its image: ``(corners, clipped, problem)``.

    A box inside the image (within ``EDGE_TOLERANCE``) keeps its corners. One that
    reaches at most ``clip`` pixels past the edge is clipped to the image. Any other
    is refused: ``problem`` completes a sentence that starts with the box.
    """
    overshoot = max(-x1, -y1, x2 - width, y2 - height)
    if overshoot <= 0 or (overshoot <= EDGE_TOLERANCE and not clip):
        return (x1, y1, x2, y2), False, None
    if overshoot <= max(clip, EDGE_TOLERANCE):
        corners = (max(x1, 0), max(y1, 0), min(x2, width), min(y2, height))
        if corners[0] < corners[2] and corners[1] < corners[3]:
            return corners, True, None
        return None, False, f"lies wholly outside its image of {width}x{height} pixels"
    return (
        None,
        False,
        (
            f"reaches outside its image of {width}x{height} pixels (x from {x1:g} to {x2:g}, "
            f"y from {y1:g} to {y2:g}), {overshoot:g} px past the edge"
        ),
    )


def _bbox_problem(bbox) -> str | None:
    if not (isinstance(bbox, list) and len(bbox) == 4 and all(_is_number(v) for v in bbox)):
        return f"'bbox' must be four numbers [x, y, width, height], found {bbox!r}"
    if bbox[2] <= 0 or bbox[3] <= 0:
        return f"box {bbox} (x, y, width, height) has a width or height of 0 or less"
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
    images: Iterable[tuple],
    supercategory: str = "object",
) -> dict:
    """COCO annotations for ``images`` given as ``(file_name, width, height, boxes)``.

    ``boxes`` are rows ``[x1, y1, x2, y2, class_index]`` in pixels, as
    :func:`read_coco` returns them; reading the result back gives the same
    float32 boxes. A fifth item, rows of the same form, is written as crowd
    regions (``iscrowd`` 1). Ids count from 1, categories in the order of ``classes``.
    """
    document = {
        "images": [],
        "annotations": [],
        "categories": [
            {"id": k + 1, "name": name, "supercategory": supercategory}
            for k, name in enumerate(classes)
        ],
    }
    for image_id, (file_name, width, height, boxes, *crowd) in enumerate(images, start=1):
        document["images"].append(
            {"id": image_id, "file_name": file_name, "width": int(width), "height": int(height)}
        )
        for iscrowd, rows in enumerate([boxes, *crowd]):
            for x1, y1, x2, y2, cls in np.asarray(rows, np.float32).reshape(-1, 5).tolist():
                w, h = x2 - x1, y2 - y1
                document["annotations"].append(
                    {
                        "id": len(document["annotations"]) + 1,
                        "image_id": image_id,
                        "category_id": int(cls) + 1,
                        "bbox": [x1, y1, w, h],
                        "area": w * h,
                        "iscrowd": iscrowd,
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


# EXIF orientation -> (mirrored first, then quarter turns counterclockwise) to display it.
ORIENTATIONS = {
    1: (False, 0),
    2: (True, 0),
    3: (False, 2),
    4: (True, 2),
    5: (True, 1),
    6: (False, 3),
    7: (True, 3),
    8: (False, 1),
}


def _orientation(picture) -> int:
    """The EXIF orientation of an open Pillow image, 1 when it has none or a wrong one."""
    # Pillow looks for a PNG's eXIf chunk after the pixels by decoding them all; a chunk
    # there is rare, and every file would pay for it.
    if picture.format == "PNG" and "exif" not in picture.info:
        return 1
    value = picture.getexif().get(0x0112, 1)
    return value if value in ORIENTATIONS else 1


def image_orientation(path: str | os.PathLike) -> int:
    """The EXIF orientation of the image file at ``path``; 1 when none can be read."""
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path) as picture:
            return _orientation(picture)
    except (UnidentifiedImageError, OSError, SyntaxError):
        return 1  # the decoder will say what is wrong with the file


def orient_image(image, orientation):
    """(H, W, C) pixels as stored, turned as EXIF ``orientation`` (a tensor or an int) says."""
    import tensorflow as tf

    table = np.array([ORIENTATIONS.get(k, (False, 0)) for k in range(9)], np.int32)
    mirrored, turns = tf.unstack(tf.gather(tf.constant(table), orientation))
    image = tf.cond(
        mirrored > 0, lambda: tf.image.flip_left_right(image), lambda: tf.identity(image)
    )
    return tf.image.rot90(image, turns)


def decode_image(path, orientation=1):
    """The image file at ``path`` (a string tensor in a pipeline) as (H, W, 3) uint8.

    ``orientation`` (``CocoImage.orientation``, a tensor in a pipeline) turns the
    pixels as displayed.
    """
    import tensorflow as tf

    image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
    image = tf.ensure_shape(image, [None, None, 3])
    if isinstance(orientation, int) and orientation == 1:
        return image
    return tf.ensure_shape(orient_image(image, orientation), [None, None, 3])


def read_image(path: str | os.PathLike) -> np.ndarray:
    """The image file at ``path`` (PNG, JPEG, GIF, BMP) as displayed, (H, W, 3) uint8.

    Decoded as for training, turned by its EXIF orientation. A file that cannot be
    decoded raises ``tf.errors.OpError``.
    """
    path = os.fspath(path)
    return decode_image(path, image_orientation(path)).numpy()
