"""Quiet checkpoints: the two messages that every HDF5 save or load of a network repeats.

Keras 2.15 warns at each ``.h5`` save that HDF5 is a legacy format (a ``UserWarning``),
and TensorFlow's logger says "Compiled the loaded model, but the compiled metrics have yet
to be built" each time a network without compiled metrics is saved or loaded that way.
``DetectionTrainer`` saves ``last.h5`` and ``best.h5`` after every validation pass and
every epoch, and neither message asks anything of the user.

Importing ``corvane.tessmark`` (so any use of the trainer) drops exactly these two
messages and nothing else: every other warning and TensorFlow log record still shows.
The filters are process-wide, since the compiled trainer's saves run with no Python frame
around them that a narrower filter could be tied to. Every trainer's constructor installs
them again when they are gone (a ``warnings.catch_warnings`` block around the import
discards them); an application that wants the warning back adds its own filter, such as
``warnings.filterwarnings("default", message=...)``, which is then left in front.
"""

from __future__ import annotations

import logging
import warnings

HDF5_LEGACY = r"You are saving your model as an HDF5 file via `model\.save\(\)`"
# The warning's own first words, to recognise any filter that concerns it.
_HDF5_TEXT = "You are saving your model as an HDF5 file via `model.save()`. "
COMPILED_METRICS = "Compiled the loaded model, but the compiled metrics have yet to be built"


class _DropMessage(logging.Filter):
    def __init__(self, start: str):
        super().__init__()
        self.start = start

    def filter(self, record: logging.LogRecord) -> bool:
        return not record.getMessage().startswith(self.start)


# TensorFlow logs through the standard logger of this name; a filter added before
# TensorFlow is imported stays when TensorFlow sets the logger up.
_TENSORFLOW_LOGGER = "tensorflow"
_DROP = _DropMessage(COMPILED_METRICS)


def drop_checkpoint_messages() -> None:
    """Installs both filters where they are missing; calling it again changes nothing."""
    # Any filter for this message, ours or the application's own, is left as it stands.
    if not any(entry[1] is not None and entry[1].match(_HDF5_TEXT) for entry in warnings.filters):
        warnings.filterwarnings("ignore", message=HDF5_LEGACY, category=UserWarning)
    logging.getLogger(_TENSORFLOW_LOGGER).addFilter(_DROP)


drop_checkpoint_messages()
