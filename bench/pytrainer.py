"""Interpreted twin of the compiled ``DetectionTrainer``: a benchmark baseline and a
differential oracle for the behaviour tests, not shipped code."""

import contextlib
import csv
import errno
import json
import os
import time
import uuid
import warnings

import numpy as np
import tensorflow as tf
from tqdm import tqdm

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.validator.writers import TrainingTensorBoardWriter

_BAR_FORMAT = "{l_bar}{bar:15}{r_bar}{bar:-15b}"
_IMPROVED = "\t - [INFO] Saving model with improved {} from {} to {}"
_NO_IMPROVEMENT = "\t - [INFO] No improvement in {} from {} to {} "
_CSV_WARNING = (
    "\t - [WARNING]: Error writing evaluation summary. "
    "Please close the file to allow Tessmark to write metrics"
)


def _tp_name(value):
    """The C-level type name, as argument-type errors of compiled code show it."""
    cls = type(value)
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # heap type, or a built-in
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _check_dict(name, value):
    if value is not None and type(value) is not dict:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected dict, got {_tp_name(value)})"
        )


def _as_double(value):
    """Float conversion of a C ``double`` parameter: no parsing of strings."""
    if type(value) is float:
        return value
    cls = type(value)
    if not (hasattr(cls, "__float__") or hasattr(cls, "__index__")):
        raise TypeError(f"must be real number, not {cls.__name__}")
    return float(value)


def _unpack(values, count):
    """Unpack exactly ``count`` items, with the messages of compiled code."""
    items = []
    for item in values:
        if len(items) == count:
            raise ValueError(f"too many values to unpack (expected {count})")
        items.append(item)
    if len(items) < count:
        found = len(items)
        raise ValueError(f"need more than {found} value{'' if found == 1 else 's'} to unpack")
    return items


def _temp_beside(path):
    """A fresh file name in the folder of ``path`` that keeps its extension."""
    folder, name = os.path.split(path)
    stem, ext = os.path.splitext(name)
    return os.path.join(folder, f".{stem}.{os.getpid()}-{uuid.uuid4().hex[:8]}.tmp{ext}")


def _fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _replace_durably(temp, path):
    """``os.replace`` that keeps the old file's permission bits and survives a power loss."""
    with contextlib.suppress(FileNotFoundError):
        os.chmod(temp, os.stat(path).st_mode & 0o7777)
    _fsync_path(temp)
    os.replace(temp, path)
    try:
        _fsync_path(os.path.dirname(path) or os.curdir)
    except OSError as e:
        if e.errno != errno.EINVAL:
            raise


_NO_OUTPUTS_LEFT = (
    "The network has {} output{}: the first two are training outputs, which checkpoints "
    "leave out, so none remain to save. Put the outputs to export after the two training "
    "outputs."
)


def _save_replacing(model, path):
    """``model.save`` into a temporary file, then move it onto ``path``."""
    temp = _temp_beside(path)
    try:
        model.save(temp)
        _replace_durably(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temp)
        raise


def _rank(output):
    rank = getattr(getattr(output, "shape", None), "rank", None)
    return rank if isinstance(rank, int) else None


def _mlflow_log_artifact(path):
    import mlflow

    if mlflow.active_run():
        mlflow.log_artifact(path)


class DetectionTrainer:
    """
    This class implements a training process that combines all the tools in the API

    Parameters
    ----------
        model: tf.keras.models.Model
            An instance of a keras model ready for training
        dataset:
            The dataset iterator with training samples
        optimizer: tf.keras.optimizers.Optimizer
            The optimizer used during training.
        loss: corvane.tessmark.losses.TessmarkLoss
            Tessmark loss function or any subclass
        logger: corvane.tessmark.callbacks.TensorBoard
            TensorBoard logger, used to see training performance on the web browser
        checkpoint: str
            Path to the checkpoints folder. If the folder does not exist, it will be automatically created
        H: int
            Height of the input dimension
        W: int
            Width of the input dimension
        info: dict
            Global configuration object updated with additional information that needs to be stored
            into the HDD for reproducibility
        metric: str
            Name of the metric the Trainer will use to store the best checkpoint
        iou: float
            Postprocessing parameter used to execute NMS
        classes: list
            Name of the classes defined in our problem
        display: int
            Number of samples the Trainer will send to TensorBoard after evaluating each epoch. It could be 0
        parameters: dict
            Validation parameters, used to configure the validator
    """  # noqa: E501

    def __init__(
        self,
        model,
        dataset,
        optimizer,
        loss,
        logger="out",
        checkpoint="out",
        info=None,
        metric="acc",
        iou=0.5,
        classes=None,
        display=None,
        dvclive_output=None,
        skip_validation_steps=1,
        skip_initial_validation=False,
    ):
        self.dvclive_output = dvclive_output
        self.info = info
        self.model = model
        self.metric = metric
        self.dataset = dataset
        self.optimizer = optimizer
        self.loss = loss
        self.logger = logger
        self.evaluator = None
        self.val_messenger = TrainingTensorBoardWriter(logger.writer)
        self.best_value = 0.0
        self.iou = iou
        self.classes = classes
        self.display = display
        self.NCHW = False
        if isinstance(self.optimizer.lr, tf.keras.optimizers.schedules.LearningRateSchedule):
            self.current_lr = self.optimizer.lr(self.optimizer.iterations)
        else:
            self.current_lr = self.optimizer.lr
        self.checkpoint = checkpoint
        if not os.path.exists(self.checkpoint):
            os.makedirs(self.checkpoint, exist_ok=True)
        self.best = os.path.join(self.checkpoint, "best.h5")
        self.last = os.path.join(self.checkpoint, "last.h5")
        self.summary_rows = []
        self.skip_validation_steps = skip_validation_steps
        self.skip_initial_validation = skip_initial_validation
        with open(os.path.join(self.checkpoint, "config.json"), "w") as fp:
            fp.write(json.dumps(info, indent=4))
        if len(self.classes) > 0:
            with open(os.path.join(self.checkpoint, "labels.txt"), "w") as fp:
                for name in self.classes:
                    fp.write(f"{name}\n")
        print("\t - Saving best iteration checkpoint at : %s" % self.best)  # noqa: UP031
        print("\t - Saving last iteration checkpoint at : %s" % self.last)  # noqa: UP031

    @tf.function
    def preprocess_input(self, x: tf.Tensor):
        """
        Preprocess input function for Tessmark

        Parameters
        ----------
        x: tf.Tensor
            Batch of images

        Returns
        -------
        data: tf.Tensor
            An unsigned normalized tensor
        """
        return tf.cast(x, tf.float32) / 255.0

    @tf.function
    def train_step(self, data):
        """
        This function runs a single training step over a batch of data

        Parameters
        ----------
        data: list
            Element 0 holds the image, element 1 the target bounding boxes

        Returns
        -------
        losses: dict
            Loss values; default keys: total-loss, localization-loss, classification-loss,
            objectness-loss

        Element 0 of the data always holds the images and the first entry after it the boxes;
        later entries could be other ground truths (mask, skeleton).
        """
        images = self.preprocess_input(data[0])
        targets = data[1:]
        with tf.GradientTape() as tape:
            p = self.model(images, training=True)
            losses = self.loss.compute_loss(targets, tuple(p))
            l2 = tf.reduce_sum(self.model.losses)
            full_loss = losses.get("total-loss") + l2
            scaling = hasattr(self.optimizer, "get_scaled_loss")
            if scaling:
                scaled_loss = self.optimizer.get_scaled_loss(full_loss)
        grads = tape.gradient(scaled_loss if scaling else full_loss, self.model.trainable_variables)
        if scaling:
            grads = self.optimizer.get_unscaled_gradients(grads)
        self.optimizer.apply_gradients(zip(grads, self.model.trainable_variables))  # noqa: B905
        losses["L2-loss"] = l2
        return losses

    def remove_training_outputs(self, model: tf.keras.models.Model = None):
        """This function removes training outputs from Tessmark training model.

        Returns:
            _type_: _description_
        """
        if model is not None:
            return tf.keras.models.Model(model.input, model.outputs[2:])
        return tf.keras.models.Model(self.model.input, self.model.outputs[2:])

    def to_nchw(self, model: tf.keras.models.Model) -> tf.keras.models.Model:
        _, H, W, C = _unpack(model.input.shape, 4)
        new_input = tf.keras.Input(shape=(C, H, W))
        x = tf.transpose(new_input, (0, 2, 3, 1))
        y = model(x)
        if isinstance(y, (list, tuple)):
            y = [tf.transpose(o, (0, 3, 1, 2)) if _rank(o) == 4 else o for o in y]
        else:
            y = tf.transpose(y, (0, 3, 1, 2))
        new_model = tf.keras.models.Model(new_input, y)
        return new_model

    def save_model(self, val: "float"):
        """
        Saves two models, last.h5 which stores the last trained epoch and best.h5 which stores
        the best evaluated model so far

        Parameters
        ----------
        val: float
            Validation value

        Returns
        -------
        None
        """
        val = _as_double(val)
        channels_first = self.NCHW
        new_model = self.remove_training_outputs(None)
        outputs = getattr(new_model, "outputs", None)
        if outputs is not None and len(outputs) == 0:
            count = len(self.model.outputs)
            raise ValueError(_NO_OUTPUTS_LEFT.format(count, "" if count == 1 else "s"))
        if channels_first:
            new_model = self.to_nchw(new_model)
        _save_replacing(new_model, self.last)
        try:
            _mlflow_log_artifact(self.last)
        except ImportError:
            warnings.warn("MLFlow is not installed. Please install it to log artifacts", Warning)  # noqa: B028
        if val >= self.best_value:
            print(_IMPROVED.format(self.metric, self.best_value, val))
            _save_replacing(new_model, self.best)
            self.best_value = val
            try:
                _mlflow_log_artifact(self.best)
            except ImportError:
                pass
        elif val > -1.0:
            print(_NO_IMPROVEMENT.format(self.metric, self.best_value, val))

    def update_metrics(
        self,
        metrics: "dict" = {},  # noqa: B006 (one dict shared by every call, on purpose)
        losses: "dict" = {},  # noqa: B006
        epoch: "int" = 0,
        live=None,
    ):
        """
        Updates the metrics and losses to tensorboard

        Parameters
        ----------
        metrics: dict, default {}
            Dictionary of key:value pairs
        losses: dict, default {}
            Dictionary of key:value pairs
        epoch: int, default 0
            Number of evaluated epoch
        live:, default None
            Optional DVCLive object

        Returns
        -------
        """
        _check_dict("metrics", metrics)
        _check_dict("losses", losses)
        mAP = metrics.get("OP")
        mAP1 = metrics.get("mAP").get("0.5")
        mAP2 = metrics.get("mAP").get("0.75")
        mAP3 = metrics.get("mAP").get("0.5:0.95")
        mAR = metrics.get("OR")
        mAR1 = metrics.get("mAR").get("0.5")
        mAR2 = metrics.get("mAR").get("0.75")
        mAR3 = metrics.get("mAR").get("0.5:0.95")
        mACC = metrics.get("OA")
        mACC1 = metrics.get("mACC").get("0.5")
        mACC2 = metrics.get("mACC").get("0.75")
        mACC3 = metrics.get("mACC").get("0.5:0.95")

        if isinstance(self.current_lr, tf.Tensor):
            lr = self.current_lr.numpy()
        else:
            lr = self.current_lr

        if live is not None:
            live.log_metric("mACC 0.50", mACC1, plot=False)
            live.log_metric("mACC 0.75", mACC2, plot=False)
            live.log_metric("mACC 0.50-0.95", mACC3, plot=False)
            live.log_metric("mAP 0.50", mAP1, plot=False)
            live.log_metric("mAP 0.75", mAP2, plot=False)
            live.log_metric("mAP 0.50-0.95", mAP3, plot=False)
            live.log_metric("mAR 0.50", mAR1, plot=False)
            live.log_metric("mAR 0.75", mAR2, plot=False)
            live.log_metric("mAR 0.50-0.95", mAR3, plot=False)
            live.log_metric("Overall ACC", mACC)
            live.log_metric("Overall AP", mAP)
            live.log_metric("Overall AR", mAR)
            to_numpy = getattr(lr, "numpy", None)
            live.log_metric("Learning Rate", to_numpy() if to_numpy is not None else lr)

        try:
            import mlflow

            if mlflow.active_run():
                mlflow.log_metrics(
                    {
                        "mAP 0.50": mAP1,
                        "mAP 0.75": mAP2,
                        "mAP 0.50-0.95": mAP3,
                        "mACC 0.50": mACC1,
                        "mACC 0.75": mACC2,
                        "mACC 0.50-0.95": mACC3,
                        "mAR 0.50": mAR1,
                        "mAR 0.75": mAR2,
                        "mAR 0.50-0.95": mAR3,
                        "Overall ACC": mACC,
                        "Overall AP": mAP,
                        "Overall AR": mAR,
                        "learning-rate": lr,
                    },
                    step=epoch,
                )
        except ImportError:
            pass

        summary = {
            "mAP@0.5": float(mAP1),
            "mAP@0.75": float(mAP2),
            "mAP@0.5:0.95": float(mAP3),
            "mACC@0.5": float(mACC1),
            "mACC@0.75": float(mACC2),
            "mACC@0.5:0.95": float(mACC3),
            "mAR@0.5": float(mAR1),
            "mAR@0.75": float(mAR2),
            "mAR@0.5:0.95": float(mAR3),
            "Overall-ACC": float(mACC),
            "Overall-AP": float(mAP),
            "Overall-AR": float(mAR),
        }
        self.logger.update_metrics(summary, losses)
        columns = ["epoch", *summary.keys()]
        summary["epoch"] = epoch
        self.summary_rows.append(summary)

        summary_file_name = os.path.join(self.checkpoint, "summary.csv")
        temp_name = _temp_beside(summary_file_name)
        replaced = False
        try:
            try:
                with open(temp_name, "w", encoding="UTF8", newline="") as f:
                    writer = csv.DictWriter(f, fieldnames=columns)
                    writer.writeheader()
                    writer.writerows(self.summary_rows)
                _replace_durably(temp_name, summary_file_name)
                replaced = True
            finally:
                if not replaced:
                    with contextlib.suppress(OSError):
                        os.remove(temp_name)
        except PermissionError:
            print(_CSV_WARNING)

    def run_validation_step(self, loop, evaluator, epoch):
        counter = 0
        add_image = True
        instances, gt_instance, dt_instance = {}, {}, {}
        for sample in loop:
            image, boxes, names = _unpack(sample, 3)
            image = image.numpy()[0]
            boxes = boxes.numpy()[0]
            image_name = names.numpy()[0].decode()
            gt_boxes = boxes[:, 0:4]
            gt_classes = np.array([self.classes[int(cls[0])] for cls in boxes[:, 4:]])
            height, width, _ = _unpack(image.shape, 3)
            dt_boxes, dt_classes, dt_scores = _unpack(
                evaluator.runner.run_single_instance(image), 3
            )

            gt_instance["image"] = image
            gt_instance["height"] = height
            gt_instance["width"] = width
            gt_instance["boxes"] = gt_boxes
            gt_instance["labels"] = gt_classes
            gt_instance["image_path"] = image_name

            dt_instance["boxes"] = dt_boxes
            dt_instance["labels"] = dt_classes
            dt_instance["scores"] = dt_scores

            instances["gt_instance"] = gt_instance
            instances["dt_instance"] = dt_instance

            if self.display >= 0:
                if counter < self.display:
                    counter += 1
                    add_image = True
                else:
                    add_image = False

            truth_values = evaluator.single_evaluation(instances, epoch, add_image)

        metrics = evaluator.conclude(truth_values, epoch=epoch)
        if self.metric == "acc":
            val = metrics.get("mACC").get("0.5")
        elif self.metric == "map":
            val = metrics.get("mAP").get("0.5")
        else:
            val = metrics.get("mAR").get("0.5")
        self.save_model(float(val))
        return metrics

    def train(
        self,
        epochs: "int",
        train_ds=None,
        val_ds=None,
        evaluator=None,
        start: "int" = 1,
        callback_handler=TessmarkTrainingCallback(),  # noqa: B008 (one shared default)
    ):
        """
        Main function to run the training process.

        Parameters
        ----------
        epochs: int
            Number of epochs to train the model
        train_ds:
            Train iterator
        val_ds:
            Validation iterator
        evaluator:
            Evaluator instance
        start:int
            Index of the first epoch, normally 1

        Returns
        -------
        """
        if getattr(self, "stop_training", False):
            self.stop_training = False
        validation_folder = os.path.join(self.checkpoint, "validation")
        if not os.path.exists(validation_folder):
            os.makedirs(validation_folder)

        if self.dvclive_output is not None:
            from dvclive import Live

            report = os.environ.get("DVC_REPORT", None)
            if report is None:
                ci = os.environ.get("CI", None)
                report = "md" if ci is not None and ci != "false" and ci != "0" else "html"
            from corvane.tessmark.worktree import dvc_experiment_refusal

            save_experiment = True
            reason = dvc_experiment_refusal(self.dvclive_output)
            if reason is not None:
                print(reason)
                save_experiment = False
            live = Live(self.dvclive_output, save_dvc_exp=save_experiment, report=report)
            live.log_params(self.info)
        else:
            live = None

        callback_handler.on_train_start(epochs=epochs)

        if evaluator is not None:
            evaluator(val_messenger=self.val_messenger, labels=self.classes)
            if not self.skip_initial_validation:
                loop = tqdm(
                    val_ds,
                    desc="Running Validation",
                    leave=True,
                    colour="green",
                    bar_format=_BAR_FORMAT,
                )
                callback_handler.on_evaluation_start()
                metrics = self.run_validation_step(loop=loop, evaluator=evaluator, epoch=0)
                callback_handler.on_evaluaiton_end(metrics=metrics)
                self.update_metrics(metrics, epoch=0, live=live)
                evaluator.save_plots_disk(plots=evaluator.current_plots, path=validation_folder)
                with open(os.path.join(validation_folder, "results.txt"), "w") as fp:
                    fp.write(evaluator.current_summary)

        losses = {}
        metrics = {}
        for epoch in range(start, epochs + 1):
            callback_handler.on_epoch_start(epoch=epoch)
            loop = tqdm(
                train_ds,
                desc="Epoch %d" % epoch,  # noqa: UP031
                leave=True,
                bar_format=_BAR_FORMAT,
                colour="green",
            )
            for batch_id, data in enumerate(loop):
                callback_handler.on_step_start(step=batch_id)
                started = time.time()
                losses = self.train_step(data)
                train_step = time.time() - started
                if isinstance(
                    self.optimizer.lr, tf.keras.optimizers.schedules.LearningRateSchedule
                ):
                    self.current_lr = self.optimizer.lr(self.optimizer.iterations)
                else:
                    self.current_lr = self.optimizer.lr
                callback_handler.on_step_end(losses=losses, lr=self.current_lr)
                postfix = "loss: {:.3f}   lr: {:.6f} step-time: {:.6f}".format(
                    losses.get("total-loss"), self.current_lr.numpy(), train_step
                )
                loop.set_postfix(values=postfix)
                losses["step-time (seconds)"] = train_step
                losses["learning-rate"] = self.current_lr
                self.logger.update_metrics({}, losses)

            if evaluator is not None and epoch % self.skip_validation_steps == 0:
                loop = tqdm(
                    val_ds,
                    desc="Running Validation",
                    leave=True,
                    colour="green",
                    bar_format=_BAR_FORMAT,
                )
                callback_handler.on_evaluation_start()
                metrics = self.run_validation_step(loop=loop, evaluator=evaluator, epoch=epoch)
                callback_handler.on_evaluaiton_end(metrics=metrics)
                self.update_metrics(metrics, losses, epoch=epoch, live=live)
                evaluator.save_plots_disk(plots=evaluator.current_plots, path=validation_folder)
                with open(os.path.join(validation_folder, "results.txt"), "w") as fp:
                    fp.write(evaluator.current_summary)

            self.save_model(-1.0)
            callback_handler.on_model_save(self.model)
            if live is not None:
                live.next_step()
            callback_handler.on_epoch_end(losses=losses, metrics=metrics)
            if getattr(self, "stop_training", False):
                break

        if live is not None:
            print("\t - [INFO] Ending DVCLive session")
            live.end()
        callback_handler.on_train_end()
