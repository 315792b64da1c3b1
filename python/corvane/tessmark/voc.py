"""Pascal VOC detection data: one XML file per image, and lists of each split's images.

:func:`read_voc` reads one split of a VOC2007-style root into the same checked
:class:`~corvane.tessmark.coco.CocoDataset` that :func:`~corvane.tessmark.coco.read_coco`
gives, so everything downstream is shared::

    Annotations/<id>.xml           size, filename, and one <object> per box
    JPEGImages/<filename>          the image its <filename> names (<id>.jpg without one)
    ImageSets/Main/<split>.txt     the split's image ids, one a line
    labelmap.txt                   the class names in order (optional)

Class names come from the caller; else from ``labelmap.txt`` at the root, when there
is one (a ``name:color:parts:actions`` line per class, as CVAT and Datumaro write it;
their ``background`` entry names no box and is skipped); else from the objects'
``<name>`` in first-seen order over the ``train`` list, then ``val`` (then the split
read, when another), so that both splits have the same classes.

``<bndbox>`` corners are read as given, in pixels (``xmin`` ``ymin`` ``xmax``
``ymax``, decimals accepted), without the 1-based shift some tools assume. Objects
marked ``<difficult>1</difficult>`` are left out of the boxes and kept as crowd
regions, as COCO's ``iscrowd``. Every fault is reported at once in one
:class:`VocFormatError`, each naming its XML file and element.

:func:`write_voc` writes this layout.
"""

from __future__ import annotations

import math
import os
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterable, Mapping, Sequence

import numpy as np

from corvane.tessmark.coco import (
    CocoDataset,
    CocoImage,
    DatasetFormatError,
    check_clip,
    decode_problems,
    image_header,
    no_boxes,
    place_box,
)
from corvane.tessmark.durable import refuse_existing, write_text

CORNERS = ("xmin", "ymin", "xmax", "ymax")
# The splits whose objects name the classes, in this order.
NAMING_SPLITS = ("train", "val")
LABELMAP = "labelmap.txt"


class VocFormatError(DatasetFormatError):
    """A Pascal VOC dataset that cannot be trained on; ``path`` is its root folder."""


def read_voc(
    root: str | os.PathLike,
    split: str = "train",
    classes: Sequence[str] | None = None,
    *,
    clip: float = 0.0,
    decode: bool = True,
) -> CocoDataset:
    """Reads and checks the ``split`` of the VOC root ``root`` (see the module docstring).

    ``classes`` fixes the class names and their order, as ``labelmap.txt`` does
    without it; an object of another class is then a fault. A box reaching at most
    ``clip`` pixels past its image's edge is clipped to it. Every image is decoded
    whole, as training decodes it; ``decode=False`` reads only the headers. Raises
    :class:`VocFormatError` for a missing split list, an annotation file that is
    missing or not XML, a missing, cut short or corrupt image, a declared size that
    differs from the image's, an object without a name, of an unknown class or without
    four numbers in its ``<bndbox>``, and a box outside its image.
    """
    clip = check_clip(clip)
    root = os.path.abspath(os.fspath(root))
    if not os.path.isdir(os.path.join(root, "Annotations")):
        raise VocFormatError(root, ["no Annotations folder: not a Pascal VOC root"])
    ids, problems = _split_ids(root, split)
    if ids is None:
        raise VocFormatError(root, problems)
    documents = {}  # parsed once, for the class names and for the split's own images

    def parsed(image_id):
        if image_id not in documents:
            documents[image_id] = _parse(os.path.join(root, "Annotations", f"{image_id}.xml"))
        return documents[image_id]

    if classes is None:
        classes = _labelmap(root, problems)
        if classes == []:
            raise VocFormatError(root, problems)
    if classes is None:
        naming = [s for s in NAMING_SPLITS if s == split or _list_path(root, s)]
        seen: dict[str, None] = {}  # an ordered set
        for listed in naming if split in naming else [*naming, split]:
            for image_id, _ in ids if listed == split else _split_ids(root, listed)[0]:
                for name in _object_names(parsed(image_id)[0]):
                    seen.setdefault(name, None)
        classes = list(seen)
    else:
        classes = list(classes)
        if len(set(classes)) != len(classes) or not all(isinstance(c, str) for c in classes):
            raise ValueError(f"classes must be distinct texts, not {classes!r}")
    class_index = {name: k for k, name in enumerate(classes)}

    images_dir = os.path.join(root, "JPEGImages")
    images, clipped, readable = [], 0, []
    for number, (image_id, listed) in enumerate(ids, start=1):
        xml_name = f"Annotations/{image_id}.xml"
        document, problem = parsed(image_id)
        if problem:
            problems.append(f"{xml_name}: {problem}" + (f" ({listed})" if listed else ""))
            continue
        found = _image(document, image_id, images_dir, xml_name, class_index, clip, problems)
        if found:
            header, file_name, boxes, crowd, count = found
            clipped += count
            readable.append((xml_name, header.path))
            images.append(
                CocoImage(
                    id=number,
                    file_name=file_name,
                    path=header.path,
                    width=header.width,
                    height=header.height,
                    boxes=boxes,
                    crowd=crowd,
                    orientation=header.orientation,
                )
            )
    if decode:
        problems += decode_problems(readable)
    if problems:
        raise VocFormatError(root, problems)
    return CocoDataset(
        root,
        images_dir,
        tuple(classes),
        tuple(range(1, len(classes) + 1)),
        tuple(images),
        clipped=clipped,
    )


def _labelmap(root: str, problems: list[str]) -> list[str] | None:
    """The class names of the root's ``labelmap.txt``, or None without one."""
    path = os.path.join(root, LABELMAP)
    if not os.path.isfile(path):
        return None
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    classes = []
    for number, line in enumerate(lines, start=1):
        name = line.split(":")[0].strip()
        if line.lstrip().startswith("#") or not line.strip() or name == "background":
            continue
        if not name or name in classes:
            what = "no name" if not name else f"{name!r} appears more than once"
            problems.append(f"{LABELMAP} line {number}: {what}")
            continue
        classes.append(name)
    if not classes:
        problems.append(f"{LABELMAP}: no class names")
    return classes


def _list_path(root: str, split: str) -> str | None:
    path = os.path.join(root, "ImageSets", "Main", f"{split}.txt")
    return path if os.path.isfile(path) else None


def _split_ids(root: str, split: str):
    """(``[(id, where it is listed)]``, problems); ids is None without the list."""
    path = _list_path(root, split)
    shown = f"ImageSets/Main/{split}.txt"
    if path is None:
        return None, [f"{shown} not found: the list of the {split!r} split's image ids"]
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    ids, problems, seen = [], [], set()
    for number, line in enumerate(lines, start=1):
        if not line.split():
            continue
        image_id = line.split()[0]
        if image_id in seen:
            problems.append(f"{shown} line {number}: {image_id!r} appears more than once")
            continue
        seen.add(image_id)
        ids.append((image_id, f"listed in {shown} line {number}"))
    return ids, problems


def _parse(path: str):
    """(the ``<annotation>`` element, None) or (None, what is wrong)."""
    try:
        document = ElementTree.parse(path).getroot()
    except FileNotFoundError:
        return None, "annotation file not found"
    except OSError as error:
        return None, f"cannot read the annotation file: {error}"
    except ElementTree.ParseError as error:
        return None, f"not XML: {error}"
    if document.tag != "annotation":
        return None, f"the top element is <{document.tag}>, not <annotation>"
    return document, None


def _object_names(document) -> list[str]:
    if document is None:
        return []
    names = (obj.findtext("name", "").strip() for obj in document.iter("object"))
    return [name for name in names if name]


def _image(document, image_id, images_dir, xml_name, class_index, clip, problems):
    """(header, file_name, boxes, crowd, clipped) of one annotation, or None; faults go to
    ``problems``."""
    file_name = (document.findtext("filename") or "").strip() or f"{image_id}.jpg"
    header, problem = image_header(os.path.join(images_dir, file_name), images_dir)
    if problem:
        problems.append(f"{xml_name}: {problem}")
    size, problem = _declared_size(document)
    if problem is None and header is not None and size is not None:
        problem = header.size_problem(*size, "<size> says")
        if problem:
            header = None  # its boxes were drawn on some other picture: not checked again
    if problem:
        problems.append(f"{xml_name}: {problem}")
    rows, crowd, clipped = [], [], 0
    for position, obj in enumerate(document.iter("object"), start=1):
        name = obj.findtext("name", "").strip()
        entry = f"{xml_name} object[{position}]" + (f" ({name})" if name else "")
        found, problem = _object(obj, name, class_index, header, clip)
        if problem:
            problems.append(f"{entry}: {problem}")
            continue
        if found:
            corners, cls, difficult, was_clipped = found
            (crowd if difficult else rows).append((*corners, cls))
            clipped += was_clipped
    if header is None:
        return None
    as_array = lambda r: np.asarray(r, np.float32).reshape(-1, 5)  # noqa: E731
    return header, file_name, as_array(rows), as_array(crowd), clipped


def _declared_size(document):
    """((width, height) or None when absent, problem)."""
    size = document.find("size")
    if size is None:
        return None, None
    values = []
    for tag in ("width", "height"):
        text = (size.findtext(tag) or "").strip()
        number = _number(text)
        if number is None or number <= 0 or number != int(number):
            return None, f"<size><{tag}> must be a positive whole number, found {text!r}"
        values.append(int(number))
    return tuple(values), None


def _object(obj, name, class_index, header, clip):
    """((corners, class, difficult, clipped) | None, problem) of one ``<object>``."""
    if not name:
        return None, "no <name>: the object's class"
    if name not in class_index:
        known = ", ".join(class_index)
        return None, f"class {name!r} is not among the classes ({known})"
    difficult = (obj.findtext("difficult") or "0").strip()
    if difficult not in ("0", "1"):
        return None, f"<difficult> must be 0 or 1, found {difficult!r}"
    box = obj.find("bndbox")
    if box is None:
        return None, "no <bndbox>"
    corners = []
    for tag in CORNERS:
        text = box.findtext(tag)
        if text is None:
            return None, f"<bndbox> has no <{tag}>"
        value = _number(text.strip())
        if value is None:
            return None, f"<bndbox><{tag}> {text.strip()!r} is not a number"
        corners.append(value)
    x1, y1, x2, y2 = corners
    described = f"box (xmin {x1:g}, ymin {y1:g}, xmax {x2:g}, ymax {y2:g})"
    if x2 <= x1 or y2 <= y1:
        return None, f"{described} has a width or height of 0 or less"
    if header is None:
        return None, None  # the image's own fault was reported
    placed, clipped, problem = place_box(x1, y1, x2, y2, header.width, header.height, clip)
    if problem:
        return None, f"{described} {problem}"
    return (placed, class_index[name], difficult == "1", clipped), None


def _number(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def write_voc(
    directory: str | os.PathLike,
    classes: Sequence[str],
    splits: Mapping[str, Iterable[tuple]],
) -> str:
    """Writes a Pascal VOC root into ``directory`` and returns its path.

    ``splits`` maps each split's name to its images, given as ``(name, pixels, boxes)``
    or ``(name, pixels, boxes, crowd)``: ``pixels`` (H, W, 3) uint8, ``boxes`` and
    ``crowd`` rows ``[x1, y1, x2, y2, class_index]`` in pixels; crowd rows become
    difficult objects. Each image becomes ``JPEGImages/<stem>.png`` (PNG, found through
    ``<filename>``) and ``Annotations/<stem>.xml``, with corners written in full, and
    ``labelmap.txt`` keeps the order of ``classes``, so :func:`read_voc` gives back the
    same classes and float32 boxes. Existing files are not replaced:
    the call fails before writing anything. The split lists are written last.
    """
    from PIL import Image

    directory = os.path.abspath(os.fspath(directory))
    planned = []
    lists: dict[str, list[str]] = {}
    for split, items in splits.items():
        lists[split] = []
        for name, pixels, boxes, *crowd_rows in items:
            stem = os.path.splitext(os.path.basename(name))[0]
            lists[split].append(stem)
            crowd = crowd_rows[0] if crowd_rows else no_boxes()
            planned.append((stem, np.asarray(pixels), boxes, crowd))
    targets = [os.path.join(directory, "ImageSets", "Main", f"{s}.txt") for s in lists]
    targets.append(os.path.join(directory, LABELMAP))
    for stem, *_ in planned:
        targets.append(os.path.join(directory, "JPEGImages", f"{stem}.png"))
        targets.append(os.path.join(directory, "Annotations", f"{stem}.xml"))
    if len(set(targets)) != len(targets):
        raise ValueError("two images have the same name (without extension): VOC names are ids")
    refuse_existing(targets)

    for folder in ("JPEGImages", "Annotations", os.path.join("ImageSets", "Main")):
        os.makedirs(os.path.join(directory, folder), exist_ok=True)
    for stem, pixels, boxes, crowd in planned:
        Image.fromarray(pixels).save(
            os.path.join(directory, "JPEGImages", f"{stem}.png"), format="PNG"
        )
        document = _annotation(f"{stem}.png", pixels.shape, classes, boxes, crowd)
        document.write(os.path.join(directory, "Annotations", f"{stem}.xml"), encoding="utf-8")
    labels = "".join(f"{name}:::\n" for name in classes)
    write_text(os.path.join(directory, LABELMAP), "# label:color_rgb:parts:actions\n" + labels)
    # Written last, and whole or not at all: a split is only read once its list exists.
    for split, stems in lists.items():
        write_text(os.path.join(directory, "ImageSets", "Main", f"{split}.txt"), "\n".join(stems))
    return directory


def _annotation(file_name, shape, classes, boxes, crowd) -> ElementTree.ElementTree:
    document = ElementTree.Element("annotation")
    ElementTree.SubElement(document, "filename").text = file_name
    size = ElementTree.SubElement(document, "size")
    for tag, value in zip(("width", "height", "depth"), (shape[1], shape[0], shape[2])):
        ElementTree.SubElement(size, tag).text = str(value)
    for difficult, rows in enumerate((boxes, crowd)):
        for *corners, cls in np.asarray(rows, np.float32).reshape(-1, 5).tolist():
            obj = ElementTree.SubElement(document, "object")
            ElementTree.SubElement(obj, "name").text = classes[int(cls)]
            ElementTree.SubElement(obj, "difficult").text = str(difficult)
            box = ElementTree.SubElement(obj, "bndbox")
            for tag, value in zip(CORNERS, corners):
                ElementTree.SubElement(box, tag).text = repr(value)
    ElementTree.indent(document)
    return ElementTree.ElementTree(document)
