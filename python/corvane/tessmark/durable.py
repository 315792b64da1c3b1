"""Files written whole or not at all, and on the disk before anything relies on them.

Every file of the Python layer that a crash must not damage (backup records, the run
record, annotations written for the user) goes through :func:`write_text` or
:func:`write_json`: the content is written to a temporary file ``.<name>.tmp`` in the same
folder, flushed to the disk, moved over the target in one step (``os.replace``), and the
folder is flushed so that the new name is durable too. A kill at any instant leaves the
old file or the new one, never a part of either; a leftover temporary file is replaced by
the next write.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
from collections.abc import Callable, Sequence


def write_text(path: str | os.PathLike, text: str, encoding: str = "utf-8") -> None:
    """Replaces ``path`` with ``text``, durably and in one step."""
    folder, name = os.path.split(os.fspath(path))
    temp = os.path.join(folder, f".{name}.tmp")
    with open(temp, "w", encoding=encoding) as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)
    fsync_folder(folder or ".")


def write_json(path: str | os.PathLike, data, **dumps_options) -> None:
    """Replaces ``path`` with ``json.dumps(data, **dumps_options)``, durably and in one step.

    The data are serialised before any file is touched, so a ``TypeError`` or
    ``ValueError`` for data JSON cannot hold leaves everything as it was.
    """
    write_text(path, json.dumps(data, **dumps_options))


def fsync_file(path: str | os.PathLike) -> None:
    """Flushes a file already written (by another library) to the disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def fsync_folder(path: str | os.PathLike) -> None:
    """Makes the renames and new names in the folder ``path`` durable."""
    if os.name == "nt":  # folders cannot be opened for fsync there
        return
    fsync_file(path)


def fsync_tree(path: str | os.PathLike) -> None:
    """Flushes a file, or a folder's files and folders, written by another library."""
    if os.path.isfile(path):
        fsync_file(path)
        return
    for folder, _, files in os.walk(path, topdown=False):
        for file in files:
            fsync_file(os.path.join(folder, file))
        fsync_folder(folder)


def write_whole(out: str | os.PathLike, build: Callable[[str], None]) -> None:
    """Makes ``out`` (a file or a folder) with ``build(path)`` in a temporary sibling, flushes
    it, then moves it to ``out`` in one step; a failure leaves ``out`` as it was."""
    parent, name = os.path.split(os.fspath(out))
    staging = tempfile.mkdtemp(prefix=f".{name}.", suffix=".tmp", dir=parent)
    try:
        target = os.path.join(staging, name)
        build(target)
        fsync_tree(target)
        if os.path.isdir(out) and not os.path.islink(out):
            # A folder cannot be replaced in one step: the old one is moved aside first.
            os.replace(out, os.path.join(staging, "replaced"))
        os.replace(target, out)
        fsync_folder(parent)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def refuse_existing(paths: Sequence[str]) -> None:
    """Raises ``FileExistsError`` naming the first of ``paths`` that exists (and how many
    more do), so that a writer that must not replace files fails before writing any."""
    existing = [path for path in paths if os.path.exists(path)]
    if existing:
        more = f" and {len(existing) - 1} more" if len(existing) > 1 else ""
        raise FileExistsError(
            f"{existing[0]}{more} already exist; remove them or write into another folder"
        )
