"""The demo's console: progress bars and the trainer's own lines, without two library
messages that every checkpoint save repeats.

Keras 2.15 says at every ``.h5`` save that HDF5 is a legacy format (a ``UserWarning``),
and TensorFlow's logger says "Compiled the loaded model, but the compiled metrics have
yet to be built" each time a network is rebuilt from one. Neither asks anything of the
user. :func:`quiet_checkpoint_messages` drops exactly those two and nothing else: every
other warning and log record of TensorFlow still shows.
"""

from __future__ import annotations

import contextlib
import logging
import warnings

COMPILED_METRICS = "Compiled the loaded model, but the compiled metrics have yet to be built"
HDF5_LEGACY = r"You are saving your model as an HDF5 file via `model\.save\(\)`"


class _DropMessage(logging.Filter):
    def __init__(self, start: str):
        super().__init__()
        self.start = start

    def filter(self, record: logging.LogRecord) -> bool:
        return not record.getMessage().startswith(self.start)


@contextlib.contextmanager
def quiet_checkpoint_messages():
    """Within the block, the two messages above are not shown."""
    import tensorflow as tf

    logger = tf.get_logger()
    drop = _DropMessage(COMPILED_METRICS)
    logger.addFilter(drop)
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=HDF5_LEGACY, category=UserWarning)
            yield
    finally:
        logger.removeFilter(drop)
