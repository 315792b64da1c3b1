# Types of the compiled module corvane.tessmark.trainer.detection, for editors and type
# checkers. The collaborator protocols below say what the trainer calls on each object;
# corvane.tessmark.callbacks describes them in full.
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Protocol

import tensorflow as tf

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.validator.writers import TrainingTensorBoardWriter

__test__: dict[str, Any]

class _Loss(Protocol):
    def compute_loss(self, targets: Any, predictions: tuple[Any, ...]) -> dict[str, Any]: ...

class _Logger(Protocol):
    writer: Any
    def update_metrics(
        self, metrics: Mapping[str, Any] | None, losses: Mapping[str, Any] | None
    ) -> None: ...

class _Live(Protocol):
    def log_metric(self, name: str, val: Any, *args: Any, **kwargs: Any) -> None: ...

class DetectionTrainer:
    dvclive_output: str | None
    info: Any
    model: tf.keras.Model
    metric: str
    dataset: Any
    optimizer: Any
    loss: _Loss
    logger: _Logger
    evaluator: Any
    val_messenger: TrainingTensorBoardWriter
    best_value: float
    iou: float
    classes: Sequence[str]
    display: int | None
    NCHW: bool
    current_lr: Any
    checkpoint: str
    best: str
    last: str
    summary_rows: list[dict[str, Any]]
    skip_validation_steps: int
    skip_initial_validation: bool
    # Not set by the constructor: a handler sets it to stop the run after the current
    # epoch; ``train`` sets a true value back to False when it starts.
    stop_training: bool
    def __init__(
        self,
        model: tf.keras.Model,
        dataset: Any,
        optimizer: Any,
        loss: _Loss,
        logger: _Logger | str = "out",
        checkpoint: str = "out",
        info: Any = None,
        metric: str = "acc",
        iou: float = 0.5,
        classes: Sequence[str] | None = None,
        display: int | None = None,
        dvclive_output: str | None = None,
        skip_validation_steps: int = 1,
        skip_initial_validation: bool = False,
    ) -> None: ...
    def preprocess_input(self, x: tf.Tensor) -> tf.Tensor: ...
    def train_step(self, data: Sequence[Any]) -> dict[str, Any]: ...
    def remove_training_outputs(self, model: tf.keras.Model | None = None) -> tf.keras.Model: ...
    def to_nchw(self, model: tf.keras.Model) -> tf.keras.Model: ...
    def save_model(self, val: float) -> None: ...
    def update_metrics(
        self,
        metrics: dict[str, Any] | None = ...,
        losses: dict[str, Any] | None = ...,
        epoch: int = 0,
        live: _Live | None = None,
    ) -> None: ...
    def run_validation_step(
        self, loop: Iterable[Any], evaluator: Any, epoch: int
    ) -> dict[str, Any]: ...
    def train(
        self,
        epochs: int,
        train_ds: Iterable[Any] | None = None,
        val_ds: Iterable[Any] | None = None,
        evaluator: Any = None,
        start: int = 1,
        callback_handler: TessmarkTrainingCallback | Any = ...,
    ) -> None: ...
