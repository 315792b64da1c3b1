"""One entry to the detection data forms the library reads, told apart by their form.

A ``.json`` file is COCO annotations (:func:`~corvane.tessmark.coco.read_coco`), a
``.yaml`` or ``.yml`` file a YOLO ``data.yaml`` (:func:`~corvane.tessmark.yolo.read_yolo`),
a folder with ``Annotations/`` a Pascal VOC root (:func:`~corvane.tessmark.voc.read_voc`).
Each gives the same checked :class:`~corvane.tessmark.coco.CocoDataset`.
"""

from __future__ import annotations

import os

from corvane.tessmark.coco import CocoDataset, DatasetFormatError, read_coco

COCO, YOLO, VOC = "COCO", "YOLO", "Pascal VOC"
ACCEPTED = (
    "a COCO annotations file (.json), a YOLO data.yaml (.yaml or .yml), "
    "or a Pascal VOC root folder (with Annotations/)"
)


def describe_format(path: str | os.PathLike) -> str:
    """The form of the data at ``path``: ``"COCO"``, ``"YOLO"`` or ``"Pascal VOC"``.

    Raises :class:`~corvane.tessmark.coco.DatasetFormatError` for a path that is none
    of them, saying which forms are accepted.
    """
    path = os.path.abspath(os.fspath(path))
    if os.path.isdir(path):
        if os.path.isdir(os.path.join(path, "Annotations")):
            return VOC
        yamls = sorted(n for n in os.listdir(path) if n.endswith((".yaml", ".yml")))
        hint = f" (for YOLO, give its {yamls[0]})" if yamls else ""
        raise DatasetFormatError(path, [f"a folder without Annotations/{hint}; give {ACCEPTED}"])
    if not os.path.exists(path):
        raise DatasetFormatError(path, [f"not found; give {ACCEPTED}"])
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".json":
        return COCO
    if suffix in (".yaml", ".yml"):
        return YOLO
    raise DatasetFormatError(path, [f"not a form of detection data read here; give {ACCEPTED}"])


def read_dataset(
    path: str | os.PathLike,
    split: str = "train",
    images_dir: str | os.PathLike | None = None,
    clip: float = 0.0,
    decode: bool = True,
) -> CocoDataset:
    """Reads and checks the data at ``path`` in the form :func:`describe_format` finds.

    ``split`` picks a YOLO or VOC split; a COCO file is one split, so it is ignored
    there. ``images_dir`` is COCO's (YOLO and VOC locate their own images). Boxes
    reaching at most ``clip`` pixels past their image are clipped to it. Every image
    is decoded whole unless ``decode`` is False (labels only). Faults are raised as a
    :class:`~corvane.tessmark.coco.DatasetFormatError` (its subclass of the form).
    """
    kind = describe_format(path)
    if kind == COCO:
        return read_coco(path, images_dir, clip=clip, decode=decode)
    if images_dir is not None:
        raise ValueError(f"images_dir is for COCO annotations; {kind} data locate their images")
    if kind == YOLO:
        from corvane.tessmark.yolo import read_yolo

        return read_yolo(path, split, clip=clip, decode=decode)
    from corvane.tessmark.voc import read_voc

    return read_voc(path, split, clip=clip, decode=decode)
