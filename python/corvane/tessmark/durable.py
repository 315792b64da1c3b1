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
