"""Learning-rate schedules: :class:`LinearWarmup`.

A ``tf.keras.optimizers.schedules.LearningRateSchedule`` like Keras's own, so that the
trainer shows its rate at every step (the bar, DVCLive, MLflow) for both optimizer
families, and an optimizer's ``get_config`` and ``from_config`` carry it.
"""

from __future__ import annotations

import tensorflow as tf


@tf.keras.utils.register_keras_serializable(package="corvane")
class LinearWarmup(tf.keras.optimizers.schedules.LearningRateSchedule):
    """Warms the rate up linearly over ``warmup_steps`` steps into ``after``.

    ``after`` is a constant rate or any other schedule. Over the first ``warmup_steps``
    steps the rate rises in a straight line from ``initial`` to the rate ``after`` has at
    step ``warmup_steps``; from then on it is ``after``'s at the same step (the warmup
    does not shift the schedule after it).
    """

    def __init__(self, warmup_steps: int, after, initial: float = 0.0, name: str | None = None):
        super().__init__()
        if int(warmup_steps) != warmup_steps or warmup_steps < 1:
            raise ValueError(
                f"warmup_steps must be a whole number of at least 1, not {warmup_steps!r}"
            )
        if isinstance(after, dict):  # as get_config wrote it
            after = tf.keras.optimizers.schedules.deserialize(after)
        self.warmup_steps = int(warmup_steps)
        self.after = after
        self.initial = float(initial)
        self.name = name

    def _after(self, step):
        if isinstance(self.after, tf.keras.optimizers.schedules.LearningRateSchedule):
            return tf.cast(self.after(step), tf.float32)
        return tf.constant(float(self.after), tf.float32)

    def __call__(self, step):
        with tf.name_scope(self.name or "LinearWarmup"):
            step = tf.cast(step, tf.float32)
            end = tf.constant(float(self.warmup_steps), tf.float32)
            target = self._after(end)
            warm = self.initial + (target - self.initial) * step / end
            return tf.where(step < end, warm, self._after(step))

    def get_config(self):
        after = self.after
        if isinstance(after, tf.keras.optimizers.schedules.LearningRateSchedule):
            after = tf.keras.optimizers.schedules.serialize(after)
        return {
            "warmup_steps": self.warmup_steps,
            "after": after,
            "initial": self.initial,
            "name": self.name,
        }
