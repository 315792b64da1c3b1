"""Writers that carry validation results to TensorBoard.

``DetectionTrainer`` builds one :class:`TrainingTensorBoardWriter` from its
logger's ``writer`` (a ``tf.summary`` file writer) and hands it to the
evaluator as ``val_messenger``. The trainer itself only builds and passes it;
the evaluator decides what to send: typically the flagged validation images
with their boxes drawn, at the epoch as step. (Scalars are the logger's: it
knows the training step that their x axis shares with the losses.)

:func:`as_scalar` is the one rule, shared with the loggers, for which values
are worth a scalar summary.
"""

from __future__ import annotations

import numpy as np

from corvane.tessmark.quiet import drop_checkpoint_messages


def as_scalar(value) -> float | None:
    """``value`` as a Python float when it holds one real number, else None.

    Accepts Python numbers, numpy scalars and one-element arrays, tensors and
    variables (anything ``np.asarray`` reads). Strings, containers of several
    values, booleans and None give None, so callers can skip them.
    """
    if value is None or isinstance(value, (str, bytes, bool, np.bool_)):
        return None
    try:
        array = np.asarray(value)
    except Exception:  # objects numpy cannot read are simply not scalars
        return None
    if array.size != 1 or array.dtype.kind not in "iuf":
        return None
    return float(array.reshape(()))


class TrainingTensorBoardWriter:
    """Keeps the logger's summary writer for the evaluator.

    ``writer`` may be None (no TensorBoard): the helpers then write nothing.
    """

    def __init__(self, writer):
        self.writer = writer
        # Every trainer's constructor makes one: the library's checkpoint saves stay
        # quiet even where a warnings block has discarded the filters since the import.
        drop_checkpoint_messages()

    def add_image(self, tag: str, image, step: int) -> None:
        """One image, (H, W, C) uint8 or float in [0, 1], under ``tag``."""
        if self.writer is None:
            return
        import tensorflow as tf

        image = tf.convert_to_tensor(image)
        if image.dtype != tf.uint8:
            image = tf.image.convert_image_dtype(tf.clip_by_value(image, 0.0, 1.0), tf.uint8)
        with self.writer.as_default():
            tf.summary.image(tag, image[None], step=int(step))

    def flush(self) -> None:
        if self.writer is not None:
            self.writer.flush()
