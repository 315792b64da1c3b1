"""YOLO-format detection data: a ``data.yaml`` and one label text file per image.

:func:`read_yolo` reads one split of a ``data.yaml`` into the same checked
:class:`~corvane.tessmark.coco.CocoDataset` that :func:`~corvane.tessmark.coco.read_coco`
gives, so everything downstream is shared. ``data.yaml`` holds ``path`` (the
dataset's root; relative to the yaml's folder, which is also the default),
``names`` (a list, or a mapping from class index to name) and one entry per split
(``train``, ``val``, ...): an image folder (searched recursively), a text file
listing image paths, or a list of either, relative to the root.

An image's label file is its path with the last ``images`` folder replaced by
``labels`` and the extension by ``.txt`` (``images/train/a.jpg`` ->
``labels/train/a.txt``): one ``class cx cy w h`` row per object, the centre and size
normalised by the image's displayed size. No label file, or an empty one, makes a
negative image. Every fault is reported at once in one :class:`YoloFormatError`,
each naming its file and line.

:func:`write_yolo` writes this layout.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence

import numpy as np

from corvane.tessmark.coco import (
    CocoDataset,
    CocoImage,
    DatasetFormatError,
    check_clip,
    decode_problems,
    image_header,
    place_box,
)
from corvane.tessmark.durable import refuse_existing, write_text

# Files an image folder is searched for; the header check refuses those TensorFlow
# cannot decode, rather than leaving them out unseen.
IMAGE_SUFFIXES = (".bmp", ".gif", ".jpeg", ".jpg", ".png", ".tif", ".tiff", ".webp")
# Normalised coordinates written with few decimals may round a little past 0 or 1.
COORDINATE_TOLERANCE = 1e-6
FIELDS = ("cx", "cy", "w", "h")


class YoloFormatError(DatasetFormatError):
    """A YOLO dataset that cannot be trained on; ``path`` is its ``data.yaml``."""


def read_yolo(
    data_yaml: str | os.PathLike, split: str = "train", *, clip: float = 0.0, decode: bool = True
) -> CocoDataset:
    """Reads and checks the ``split`` of ``data_yaml`` (see the module docstring).

    Classes are the ``names`` in index order; images come in the split's order
    (folders sorted by path), each ``file_name`` relative to the root. A box reaching
    at most ``clip`` pixels past its image's edge is clipped to it. Every image is
    decoded whole, as training decodes it; ``decode=False`` reads only the headers.
    Raises :class:`YoloFormatError` for a faulty ``data.yaml`` (missing keys, bad names,
    a split that is no folder or list), a missing, unreadable, cut short or corrupt
    image, and label rows that are not five numbers, have an unknown class or leave
    0..1 or the image.
    """
    clip = check_clip(clip)
    path = os.path.abspath(os.fspath(data_yaml))
    config = _load_config(path)
    problems = []
    root = config.get("path") or "."
    if not isinstance(root, str):
        problems.append(f"'path' must be a folder's path, found {root!r}")
        root = "."
    root = os.path.normpath(os.path.join(os.path.dirname(path), root))
    if not os.path.isdir(root):
        problems.append(f"'path': the dataset's root {root} is not a folder")
    classes = _names(config, problems)
    if split not in config:
        problems.append(
            f"no {split!r} entry: give the split's image folder, list file, or a list of them"
        )
    if problems:
        raise YoloFormatError(path, problems)

    files = _split_images(config[split], split, root, problems)
    images, clipped, readable = [], 0, []
    for image_id, (file_path, entry) in enumerate(files, start=1):
        header, problem = image_header(file_path, root)
        if problem:
            problems.append(f"{entry}: {problem}")
        rows, count = _labels(label_file(file_path), root, len(classes), header, clip, problems)
        clipped += count
        if header:
            readable.append((entry, file_path))
            images.append(
                CocoImage(
                    id=image_id,
                    file_name=_shown(file_path, root),
                    path=file_path,
                    width=header.width,
                    height=header.height,
                    boxes=rows,
                    orientation=header.orientation,
                )
            )
    if decode:
        problems += decode_problems(readable)
    if problems:
        raise YoloFormatError(path, problems)
    return CocoDataset(
        path, root, tuple(classes), tuple(range(len(classes))), tuple(images), clipped=clipped
    )


def label_file(image_path: str) -> str:
    """The label file of ``image_path``: the last ``images`` folder becomes ``labels``."""
    folder, name = os.path.split(image_path)
    parts = folder.split(os.sep)
    if "images" in parts:
        last = len(parts) - 1 - parts[::-1].index("images")
        parts[last] = "labels"
    return os.path.join(os.sep.join(parts), os.path.splitext(name)[0] + ".txt")


def _load_config(path: str) -> dict:
    import yaml

    try:
        with open(path, encoding="utf-8") as f:
            config = yaml.safe_load(f)
    except FileNotFoundError:
        raise YoloFormatError(path, ["data.yaml file not found"]) from None
    except IsADirectoryError:
        raise YoloFormatError(path, ["is a folder, not a data.yaml file"]) from None
    except UnicodeDecodeError:
        raise YoloFormatError(path, ["not YAML: the file is not UTF-8 text"]) from None
    except yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None)
        where = f" at line {mark.line + 1}, column {mark.column + 1}" if mark else ""
        what = getattr(error, "problem", None) or str(error)
        raise YoloFormatError(path, [f"not YAML: {what}{where}"]) from None
    if not isinstance(config, dict):
        raise YoloFormatError(
            path, ["not a YOLO data.yaml: the top level must be a mapping with 'names' and splits"]
        )
    return config


def _names(config: dict, problems: list[str]) -> list[str]:
    """The class names in index order; faults go to ``problems``."""
    names = config.get("names")
    if names is None:
        problems.append("no 'names': give the class names, a list or {index: name}")
        return []
    if isinstance(names, dict):
        indices = list(names)
        if not all(isinstance(k, int) and not isinstance(k, bool) for k in indices) or sorted(
            indices
        ) != list(range(len(indices))):
            problems.append(
                f"'names' mapping must have the indices 0 to {len(indices) - 1}, "
                f"found {', '.join(repr(k) for k in indices)}"
            )
            return []
        names = [names[k] for k in range(len(indices))]
    if not isinstance(names, list) or not names:
        problems.append(f"'names' must be a non-empty list or {{index: name}}, found {names!r}")
        return []
    classes = []
    for index, name in enumerate(names):
        if isinstance(name, (int, float)) and not isinstance(name, bool):
            name = str(name)
        if not isinstance(name, str) or not name.strip():
            problems.append(
                f"'names' entry {index} must be a non-empty text, found {name!r} (quote it)"
            )
        classes.append(name)
    repeated = sorted({n for n in classes if isinstance(n, str) and classes.count(n) > 1})
    problems += [f"'names': {name!r} appears more than once" for name in repeated]
    if "nc" in config and config["nc"] != len(classes):
        problems.append(f"'nc' is {config['nc']!r} but 'names' has {len(classes)} classes")
    return classes


def _split_images(entry, split: str, root: str, problems: list[str]):
    """``(image path, how to name it in a fault)`` of a split, in order."""
    entries = entry if isinstance(entry, list) else [entry]
    files = []
    for source in entries:
        if not isinstance(source, str) or not source:
            problems.append(f"{split!r}: {source!r} is not a folder or list file path")
            continue
        where = os.path.normpath(os.path.join(root, source))
        if os.path.isdir(where):
            found = []
            for folder, _, names in os.walk(where):
                found += [
                    os.path.join(folder, name)
                    for name in names
                    if name.lower().endswith(IMAGE_SUFFIXES)
                ]
            files += [(file, _shown(file, root)) for file in sorted(found)]
        elif os.path.isfile(where):
            files += _listed_images(where, root, problems)
        else:
            problems.append(f"{split!r}: {where} is neither an image folder nor a list file")
    return files


def _listed_images(list_file: str, root: str, problems: list[str]):
    """The images a list file names, one path a line, relative to the list file's folder."""
    shown = _shown(list_file, root)
    try:
        with open(list_file, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except UnicodeDecodeError:
        problems.append(f"{shown}: not a list of image paths (not UTF-8 text)")
        return []
    folder = os.path.dirname(list_file)
    return [
        (os.path.normpath(os.path.join(folder, line.strip())), f"{shown} line {number}")
        for number, line in enumerate(lines, start=1)
        if line.strip()
    ]


def _labels(path, root, num_classes, header, clip, problems) -> tuple[np.ndarray, int]:
    """The pixel boxes of one label file and how many were clipped; faults go to ``problems``."""
    rows, clipped = [], 0
    if not os.path.isfile(path):
        return np.zeros((0, 5), np.float32), 0  # a negative image
    shown = _shown(path, root)
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except UnicodeDecodeError:
        problems.append(f"{shown}: not a label file (not UTF-8 text)")
        return np.zeros((0, 5), np.float32), 0
    for number, line in enumerate(lines, start=1):
        fields = line.split()
        if not fields:
            continue
        entry = f"{shown} line {number}"
        if len(fields) != 5:
            problems.append(
                f"{entry}: {len(fields)} fields, a row is 'class cx cy w h' "
                "(segments and keypoints are not read)"
            )
            continue
        values = []
        for text in fields:
            try:
                value = float(text)
            except ValueError:
                value = math.nan
            if not math.isfinite(value):
                problems.append(f"{entry}: {text!r} is not a number")
                break
            values.append(value)
        else:
            row, problem = _row(values, num_classes, header, clip)
            if problem:
                problems.append(f"{entry}: {problem}")
            elif row is not None:
                rows.append(row[:5])
                clipped += row[5]
    return np.asarray(rows, np.float32).reshape(-1, 5), clipped


def _row(values, num_classes, header, clip):
    """``([x1, y1, x2, y2, class, clipped] | None, problem)`` of one label row's numbers."""
    cls, cx, cy, w, h = values
    if cls != int(cls):
        return None, f"class {cls:g} is not a class index (a whole number)"
    if not 0 <= cls < num_classes:
        return None, (
            f"class {cls:g} is out of range: 'names' has {num_classes} classes "
            f"(0 to {num_classes - 1})"
        )
    outside = [
        f"{name} {value:g}"
        for name, value in zip(FIELDS, (cx, cy, w, h))
        if not -COORDINATE_TOLERANCE <= value <= 1 + COORDINATE_TOLERANCE
    ]
    if outside:
        return None, (
            f"{', '.join(outside)} outside 0..1 (coordinates are normalised by the image's size)"
        )
    if w <= 0 or h <= 0:
        return None, f"box (cx {cx:g}, cy {cy:g}, w {w:g}, h {h:g}) has a width or height of 0"
    if header is None:
        return None, None  # the image's own fault was reported
    width, height = header.width, header.height
    corners = ((cx - w / 2) * width, (cy - h / 2) * height)
    corners += ((cx + w / 2) * width, (cy + h / 2) * height)
    placed, clipped, problem = place_box(*corners, width, height, clip)
    if problem:
        return None, f"box (cx {cx:g}, cy {cy:g}, w {w:g}, h {h:g}) {problem}"
    return [*placed, int(cls), clipped], None


def _shown(path: str, root: str) -> str:
    """``path`` relative to the root when it is inside it, for shorter messages."""
    relative = os.path.relpath(path, root)
    if relative.startswith(os.pardir):
        return path
    return relative.replace(os.sep, "/")


def write_yolo(
    directory: str | os.PathLike,
    classes: Sequence[str],
    splits: Mapping[str, Iterable[tuple]],
) -> str:
    """Writes a YOLO dataset into ``directory`` and returns its ``data.yaml``'s path.

    ``splits`` maps each split's name to its images, given as ``(name, pixels, boxes)``:
    ``pixels`` (H, W, 3) uint8, ``boxes`` rows ``[x1, y1, x2, y2, class_index]`` in
    pixels. They become ``images/<split>/<stem>.png`` and ``labels/<split>/<stem>.txt``;
    coordinates are written in full, so :func:`read_yolo` gives back the same float32
    boxes. YOLO has no crowd regions: a fourth item (crowd rows) is left out. Existing
    files are not replaced: the call fails before writing anything. ``data.yaml``,
    written last, names ``names`` and the splits' image folders, without ``path``.
    """
    import yaml
    from PIL import Image

    directory = os.path.abspath(os.fspath(directory))
    config_path = os.path.join(directory, "data.yaml")
    planned = []
    for split, items in splits.items():
        for name, pixels, boxes, *_ in items:
            stem = os.path.splitext(os.path.basename(name))[0]
            image_path = os.path.join(directory, "images", split, stem + ".png")
            planned.append((image_path, label_file(image_path), pixels, boxes))
    _refuse_existing([config_path] + [p for plan in planned for p in plan[:2]])

    for image_path, label_path, pixels, boxes in planned:
        pixels = np.asarray(pixels)
        height, width = pixels.shape[:2]
        lines = []
        for x1, y1, x2, y2, cls in np.asarray(boxes, np.float32).reshape(-1, 5).tolist():
            cx, cy = (x1 + x2) / 2 / width, (y1 + y2) / 2 / height
            w, h = (x2 - x1) / width, (y2 - y1) / height
            lines.append(f"{int(cls)} {cx!r} {cy!r} {w!r} {h!r}\n")
        os.makedirs(os.path.dirname(image_path), exist_ok=True)
        os.makedirs(os.path.dirname(label_path), exist_ok=True)
        Image.fromarray(pixels).save(image_path, format="PNG")
        with open(label_path, "w", encoding="utf-8") as f:
            f.write("".join(lines))
    # Written last, and whole or not at all: without it, nothing half-written is read.
    config: dict[str, str | list[str]] = {split: f"images/{split}" for split in splits}
    config["names"] = list(classes)
    write_text(config_path, yaml.safe_dump(config, sort_keys=False, allow_unicode=True))
    return config_path


def _refuse_existing(paths: Sequence[str]) -> None:
    if len(set(paths)) != len(paths):
        raise ValueError("two images of one split have the same name (without extension)")
    refuse_existing(paths)
