"""Detections from a trained detector, for images of any size, in their own pixels.

In Python::

    from corvane.tessmark.predict import DetectionRunner, read_image

    runner = DetectionRunner.from_checkpoint("checkpoints/best.h5", score_threshold=0.5)
    found = runner.detect(read_image("photo.jpg"))  # boxes, scores, classes

On the command line, one JSON object per image and line::

    python -m corvane.tessmark.predict CHECKPOINT IMAGE [IMAGE ...]
        [--classes labels.txt] [--score S] [--out FILE]

    {"image": path, "width": w, "height": h, "boxes": [[x1, y1, x2, y2], ...],
     "scores": [...], "classes": [...]}

Classes are names when labels are known (``--classes``, by default the ``labels.txt``
that the trainer writes beside its checkpoints), otherwise class indices.

An image is letterboxed to the network's square input as in training (scaled to fit,
centred, the rest filled), and the boxes are mapped back to the image and clipped to it.
A channels-first checkpoint (saved with ``trainer.NCHW = True``) is recognised by its
input and used the same way. Checkpoints of both layouts, the grid
(:mod:`corvane.tessmark.grid`) and the pyramid (:mod:`corvane.tessmark.pyramid`), are
taken alike: the shape of the ``detections`` output says which it is
(:func:`corvane.tessmark.layouts.output_layout`).

A ``.h5`` that is no checkpoint of the trainer is refused with a :class:`CheckpointError`
naming the file and the fault, the message that :mod:`corvane.tessmark.export` gives too.

Exports of a checkpoint (:mod:`corvane.tessmark.export`) are taken wherever a checkpoint
is, and give the same JSON: a SavedModel folder (its ``network`` signature), a ``.tflite``
file (float32, float16 or int8 inside; TensorFlow's own interpreter) and an ``.onnx`` file
(through ``onnxruntime``, of the ``[export]`` extra).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

import numpy as np

from corvane.tessmark.coco import Letterbox, letterbox_image
from corvane.tessmark.durable import write_text
from corvane.tessmark.grid import Detections, export_network
from corvane.tessmark.layouts import SHAPES, output_layout

# The lowest score the command reports: the evaluator's operating threshold, from which
# on detections count for the figures of a deployed detector.
DEFAULT_SCORE = 0.5
# The runner's own default: the evaluator measures mAP over every detection from here on.
EVALUATION_SCORE = 0.05
NMS_IOU = 0.5
# What brings the runtimes of the ONNX export (and its converter).
INSTALL_EXPORT = "pip install 'corvane-tessmark-trainer[export]'"


class CheckpointError(ValueError):
    """A file that is no checkpoint of ``DetectionTrainer``, as prediction and export both
    refuse it; ``path`` is the file, ``problem`` what is wrong with it."""

    def __init__(self, path: str | os.PathLike, problem: str):
        self.path, self.problem = os.fspath(path), problem
        super().__init__(f"{self.path}: {problem}")


class DetectionRunner:
    """Detections for one image from a network whose output is its ``detections``.

    ``network`` maps a (1, H, W, 3) float batch scaled to [0, 1] to the ``detections`` of
    the grid (:mod:`corvane.tessmark.grid`) or of the pyramid
    (:mod:`corvane.tessmark.pyramid`), or a one-element list of it: a loaded checkpoint,
    the export cut of a training model (:meth:`from_training_model`), or any callable. The
    output's shape says which layout decodes it (``layout``, ``num_classes``; for a network
    that does not declare its shape, each output is read as it comes). A network of a fixed
    square input gets every image letterboxed to it; any other is fed the image as it is.
    It is also the runner of :class:`corvane.validator.evaluator.DetectionEvaluator`.
    """

    def __init__(
        self, network, score_threshold: float = EVALUATION_SCORE, nms_iou: float = NMS_IOU
    ):
        import tensorflow as tf

        self.network = network
        self.score_threshold = score_threshold
        self.nms_iou = nms_iou
        shape = getattr(network, "input_shape", None)
        shape = tuple(shape) if isinstance(shape, (tuple, list)) and len(shape) == 4 else None
        # Channels-first: a channel count where channels-last networks have the width.
        self.channels_first = bool(shape and shape[1] in (1, 3) and shape[3] not in (1, 3))
        size = shape[2:4] if self.channels_first else shape[1:3] if shape else (None, None)
        self.input_size = size[0] if size[0] and size[0] == size[1] else None
        outputs = getattr(network, "output_shape", None)
        outputs = outputs[0] if isinstance(outputs, list) and len(outputs) == 1 else outputs
        self.layout = output_layout(outputs, self.channels_first)
        self.num_classes = self.layout.num_classes if self.layout else None
        # A traced call is several times faster than an eager one per image; the
        # variables are captured by reference, so training updates show through.
        # An exported network runs in its own runtime, already compiled.
        self._forward = (
            network
            if isinstance(network, ExportedNetwork)
            else tf.function(lambda batch: network(batch, training=False))
        )

    @classmethod
    def from_training_model(cls, model, **kwargs) -> DetectionRunner:
        """Runner on ``model``'s export outputs; it follows ``model``'s training."""
        return cls(export_network(model), **kwargs)

    @classmethod
    def from_checkpoint(cls, path: str | os.PathLike, **kwargs) -> DetectionRunner:
        """Runner on a checkpoint the trainer saved (``best.h5``, ``last.h5``) or an export
        of it (a SavedModel folder, ``.tflite``, ``.onnx``)."""
        return cls(load_checkpoint(path), **kwargs)

    def detect(self, image) -> Detections:
        """Detections of ``image`` ((H, W, 3) uint8, 0..255), in its pixels, best first."""
        import tensorflow as tf

        height, width = np.shape(image)[:2]
        if self.input_size is None or (height, width) == (self.input_size, self.input_size):
            box = None
        else:
            box = Letterbox.fit(height, width, self.input_size)
            image = letterbox_image(
                image, box.new_height, box.new_width, box.top, box.left, self.input_size
            )
            height = width = self.input_size
        batch = tf.cast(tf.convert_to_tensor(image)[None], tf.float32) / 255.0
        if self.channels_first:
            batch = tf.transpose(batch, (0, 3, 1, 2))
        output = self._forward(batch)
        if isinstance(output, (list, tuple)):
            output = output[0]
        output = np.asarray(output)
        layout = self.layout or output_layout(output.shape, self.channels_first)
        if layout is None:
            raise ValueError(
                f"the network's output {output.shape[1:]} is no detections of either layout: "
                f"{SHAPES}{', channels first' if self.channels_first else ''}"
            )
        output = output[0].transpose(1, 2, 0) if self.channels_first else output[0]
        found = layout.decode(output, height, width, self.score_threshold, self.nms_iou)
        if box is None:
            return found
        boxes = box.boxes_to_image(found.boxes)
        # A box that lay wholly in the fill is empty once clipped to the image.
        kept = (boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1])
        return Detections(boxes[kept], found.scores[kept], found.classes[kept])

    def run_single_instance(self, image):
        """(boxes, class indices, scores) of ``image``, as the trainer's evaluator asks."""
        found = self.detect(image)
        return found.boxes, found.classes, found.scores


def load_checkpoint(path: str | os.PathLike):
    """The network of a checkpoint, without its training configuration.

    A folder is taken as a SavedModel, a ``.tflite`` or ``.onnx`` file as that export
    (an :class:`ExportedNetwork`); anything else must be a checkpoint of the trainer
    (:func:`read_checkpoint`).
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no checkpoint at {path}")
    if os.path.isdir(path):
        return SavedModelNetwork(path)
    suffix = os.path.splitext(path)[1].lower()
    if suffix in EXPORTED_FILES:
        return EXPORTED_FILES[suffix](path)
    return read_checkpoint(path)


def read_checkpoint(path: str | os.PathLike):
    """The Keras network of a checkpoint of ``DetectionTrainer``; :class:`CheckpointError`
    when the file is none: not loadable by Keras, or not one image input and one
    ``detections`` output of either layout."""
    import tensorflow as tf

    path = os.fspath(path)
    not_ours = "is not a checkpoint of DetectionTrainer"
    try:
        model = tf.keras.models.load_model(path, compile=False)
    except Exception as error:  # h5py, Keras and TensorFlow each raise their own
        first = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise CheckpointError(
            path, f"{not_ours}: Keras cannot load it as a network ({first})"
        ) from None
    if not isinstance(model, tf.keras.Model) or len(model.inputs) != 1 or len(model.outputs) != 1:
        count = len(getattr(model, "outputs", None) or [])
        raise CheckpointError(
            path,
            f"{not_ours}: it has {count} outputs, where a checkpoint keeps its detections alone",
        )
    runner = DetectionRunner(model)
    shape = model.input_shape
    channels = shape[1 if runner.channels_first else 3] if len(shape) == 4 else None
    if runner.input_size is None or channels != 3:
        raise CheckpointError(
            path, f"{not_ours}: its input is {model.input_shape}, not a square image of 3 channels"
        )
    if runner.layout is None:
        raise CheckpointError(path, f"{not_ours}: its output is {model.output_shape}, not {SHAPES}")
    return model


class ExportedNetwork:
    """A checkpoint's network in the runtime of an export, called as the Keras network is.

    ``input_shape`` and ``output_shape`` are the network's, with ``None`` for the batch;
    a call takes a float32 batch in that input layout and returns the ``detections``
    output, of either layout, as a numpy array.
    """

    input_shape: tuple
    output_shape: tuple

    def __call__(self, batch, training: bool = False) -> np.ndarray:
        raise NotImplementedError


def _shape(dims) -> tuple:
    """A runtime's shape as Keras gives it: ints, ``None`` where it is not fixed."""
    return (
        None,
        *(int(d) if isinstance(d, (int, np.integer)) and d > 0 else None for d in dims[1:]),
    )


class SavedModelNetwork(ExportedNetwork):
    """The ``network`` signature of an exported SavedModel (or, in another SavedModel, the
    default signature when it takes the float batch)."""

    def __init__(self, path: str):
        import tensorflow as tf

        try:
            loaded = tf.saved_model.load(path)
        except (OSError, tf.errors.OpError) as error:
            raise ValueError(f"{path} is not a SavedModel: {error}") from None
        signatures = loaded.signatures
        function = signatures.get("network") or signatures.get("serving_default")
        inputs = function.structured_input_signature[1] if function is not None else {}
        outputs = function.structured_outputs if function is not None else {}
        if len(inputs) != 1 or len(outputs) != 1:
            raise ValueError(
                f"{path} has no signature of one input and one output to run as the "
                f"network (it has {sorted(signatures)})"
            )
        # The signature's variables live only as long as the loaded object.
        self._loaded, self._function = loaded, function
        ((self._input, spec),) = inputs.items()
        ((self._output, result),) = outputs.items()
        self.input_shape, self.output_shape = _shape(spec.shape), _shape(result.shape)

    def __call__(self, batch, training: bool = False) -> np.ndarray:
        import tensorflow as tf

        batch = tf.convert_to_tensor(batch, tf.float32)
        return self._function(**{self._input: batch})[self._output].numpy()


class TFLiteNetwork(ExportedNetwork):
    """A ``.tflite`` export in TensorFlow's TFLite interpreter. Quantised inputs and
    outputs, where a file has them, are converted with the file's own scale."""

    def __init__(self, path: str):
        import tensorflow as tf

        self.interpreter = tf.lite.Interpreter(model_path=path)
        self.interpreter.allocate_tensors()
        self._input = self.interpreter.get_input_details()[0]
        self._output = self.interpreter.get_output_details()[0]
        self.input_shape = _shape(self._input["shape_signature"])
        self.output_shape = _shape(self._output["shape_signature"])

    def __call__(self, batch, training: bool = False) -> np.ndarray:
        batch = np.asarray(batch, np.float32)
        index = self._input["index"]
        if tuple(self.interpreter.get_input_details()[0]["shape"]) != batch.shape:
            self.interpreter.resize_tensor_input(index, batch.shape)
            self.interpreter.allocate_tensors()
        scale, zero = self._input["quantization"]
        if scale:
            batch = np.round(batch / scale + zero).astype(self._input["dtype"])
        self.interpreter.set_tensor(index, batch)
        self.interpreter.invoke()
        output = self.interpreter.get_tensor(self._output["index"])
        scale, zero = self._output["quantization"]
        return (output.astype(np.float32) - zero) * scale if scale else output.copy()


class OnnxNetwork(ExportedNetwork):
    """An ``.onnx`` export in ``onnxruntime`` (on the CPU)."""

    def __init__(self, path: str):
        try:
            import onnxruntime
        except ImportError:
            raise ImportError(f"running {path} needs onnxruntime: {INSTALL_EXPORT}") from None
        try:
            self.session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
        except Exception as error:  # onnxruntime's own error types, one per cause
            raise ValueError(
                f"{path} is not an ONNX network onnxruntime can run: {error}"
            ) from None
        inputs, outputs = self.session.get_inputs(), self.session.get_outputs()
        if len(inputs) != 1:
            raise ValueError(f"{path} takes {len(inputs)} inputs, not one batch of images")
        self._input = inputs[0]
        self.input_shape, self.output_shape = _shape(inputs[0].shape), _shape(outputs[0].shape)

    def __call__(self, batch, training: bool = False) -> np.ndarray:
        return self.session.run(None, {self._input.name: np.asarray(batch, np.float32)})[0]


EXPORTED_FILES = {".tflite": TFLiteNetwork, ".onnx": OnnxNetwork}


def read_image(path: str | os.PathLike) -> np.ndarray:
    """The image file at ``path`` (PNG, JPEG, GIF, BMP) as (H, W, 3) uint8, as displayed:
    its EXIF orientation applied, as in training and validation."""
    from corvane.tessmark.coco import read_image as read_displayed

    return read_displayed(path)


def read_labels(path: str | os.PathLike) -> list[str]:
    """Class names, one per line, as the trainer writes ``labels.txt``."""
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\r\n") for line in f if line.strip()]


def describe(path: str, image: np.ndarray, found: Detections, classes=None) -> dict:
    """The JSON record of one image's detections."""
    indices = [int(k) for k in found.classes]
    return {
        "image": path,
        "width": int(image.shape[1]),
        "height": int(image.shape[0]),
        "boxes": [[round(float(v), 2) for v in box] for box in found.boxes],
        "scores": [round(float(s), 5) for s in found.scores],
        "classes": [classes[k] for k in indices] if classes else indices,
    }


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m corvane.tessmark.predict",
        description="Detect objects in images with a checkpoint of DetectionTrainer "
        "(best.h5 or last.h5) or an export of it; one JSON object per image and line.",
    )
    parser.add_argument(
        "checkpoint",
        help="the checkpoint file, or an export of it: a SavedModel folder, .tflite or .onnx",
    )
    parser.add_argument("images", nargs="+", metavar="IMAGE", help="PNG, JPEG, GIF or BMP files")
    parser.add_argument(
        "--classes",
        metavar="labels.txt",
        help="class names, one per line (default: labels.txt beside the checkpoint, when "
        "there is one; without names, classes are indices)",
    )
    parser.add_argument(
        "--score",
        type=float,
        default=DEFAULT_SCORE,
        help="lowest score reported (default: %(default)s)",
    )
    parser.add_argument(
        "--nms-iou", type=float, default=NMS_IOU, help="non-maximum suppression IoU (%(default)s)"
    )
    parser.add_argument("--out", metavar="FILE", help="write the lines there, not to stdout")
    args = parser.parse_args(argv)
    if not 0.0 <= args.score <= 1.0:
        parser.error(f"--score must be between 0 and 1, not {args.score}")
    return parser, args


def exit_with_error(parser, message: str) -> None:
    """Exits with status 2 and ``message`` on one line: a file at fault, not the command
    line, so without argparse's usage."""
    parser.exit(2, f"{parser.prog}: error: {message}\n")


def main(argv=None) -> int:
    parser, args = _arguments(argv)
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    classes_file = args.classes
    if classes_file is None:
        beside = os.path.join(os.path.dirname(os.path.abspath(args.checkpoint)), "labels.txt")
        classes_file = beside if os.path.isfile(beside) else None
    wanted = [classes_file, *args.images]
    missing = [path for path in wanted if path and not os.path.isfile(path)]
    if not (os.path.isfile(args.checkpoint) or os.path.isdir(args.checkpoint)):
        missing.insert(0, args.checkpoint)
    if missing:
        exit_with_error(parser, f"no such file: {', '.join(missing)}")
    classes = read_labels(classes_file) if classes_file else None
    try:
        runner = DetectionRunner.from_checkpoint(
            args.checkpoint, score_threshold=args.score, nms_iou=args.nms_iou
        )
    except CheckpointError as error:
        exit_with_error(parser, str(error))
    except (OSError, ValueError, ImportError) as error:
        exit_with_error(parser, f"cannot load the checkpoint {args.checkpoint}: {error}")
    if classes and runner.num_classes not in (None, len(classes)):
        exit_with_error(
            parser,
            f"{classes_file} names {len(classes)} classes, the checkpoint predicts "
            f"{runner.num_classes}: give its own labels.txt with --classes",
        )
    import tensorflow as tf

    lines = []
    for path in args.images:
        try:
            image = read_image(path)
        except tf.errors.OpError as error:
            exit_with_error(parser, f"cannot read the image {path}: {error.message}")
        lines.append(json.dumps(describe(path, image, runner.detect(image), classes)) + "\n")
        if not args.out:
            sys.stdout.write(lines.pop())
    if args.out:
        # Whole or not at all: a failure on a later image leaves no partial file.
        write_text(args.out, "".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
