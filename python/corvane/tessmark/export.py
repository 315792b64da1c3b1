"""Deployment exports of a checkpoint: SavedModel, TFLite (float32, float16, int8) and ONNX.

In Python (the demo's ``--export`` calls the same)::

    from corvane.tessmark.export import export_checkpoint

    artefact = export_checkpoint("checkpoints/best.h5", "tflite", quantize="int8",
                                 data="val.json")
    print(artefact.path, artefact.size)

On the command line, one artefact per call, its path and size on stdout::

    python -m corvane.tessmark.export CHECKPOINT --to {savedmodel,tflite,onnx}
        [--quantize {fp16,int8}] [--data ANNOTATIONS] [--out PATH] [--force]

Every artefact keeps the checkpoint's network: the same input (a float32 batch scaled to
[0, 1], channels-last or channels-first as the checkpoint is) and the same ``detections``
as its one output, so :mod:`corvane.tessmark.predict` runs each of them and gives the
same JSON. Checkpoints of the grid and of the pyramid layout export alike; the output's
shape says which decoding the serving signature carries
(:func:`corvane.tessmark.layouts.output_layout`). By default an artefact lies beside the
checkpoint, named after it (``best.h5``: ``best_saved_model/``, ``best.tflite``,
``best_fp16.tflite``, ``best_int8.tflite``, ``best.onnx``).

``savedmodel``
    A TensorFlow SavedModel folder with two signatures. ``network``: the checkpoint's
    network. ``serving_default``: detection without any Python of ours, for TensorFlow
    Serving and the like; it takes ``image``, one (H, W, 3) uint8 image of any size, and
    returns ``boxes`` (n, 4) ``[x1, y1, x2, y2]`` in that image's pixels, ``scores`` (n,)
    and ``classes`` (n,) int64, best first, after class-aware non-maximum suppression, as
    :class:`~corvane.tessmark.predict.DetectionRunner` finds them (the thresholds are
    fixed at export); also ``names`` (n,) when ``labels.txt`` lies beside the checkpoint.
``tflite``
    A TFLite flatbuffer of TensorFlow Lite's builtin operations. ``quantize="fp16"``
    stores the weights as float16; ``quantize="int8"`` computes in int8 throughout,
    calibrated on up to 200 images of ``data`` (COCO annotations, a YOLO ``data.yaml`` or
    a Pascal VOC root, read by :func:`corvane.tessmark.formats.read_dataset`; the ``val``
    split of YOLO and VOC) letterboxed as in training. Inputs and outputs stay float32 in
    every case.
``onnx``
    An ONNX graph (opset :data:`ONNX_OPSET`) made by ``tf2onnx``; needs the ``[export]``
    extra (``tf2onnx``, ``onnx``, ``onnxruntime``).

Checks come before any work, and an artefact is built in a hidden temporary folder
beside its destination and moved there whole, so a failure leaves nothing behind and an
existing output is replaced (with ``force``) only by a complete one. ``force`` replaces
only an earlier artefact of the same format, recognised by its content (a TFLite
flatbuffer's identifier, a valid ONNX model, a folder with ``saved_model.pb``): any other
file or folder is refused and left as it is.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import sys
from dataclasses import dataclass

from corvane.tessmark.durable import write_whole
from corvane.tessmark.predict import (
    DEFAULT_SCORE,
    INSTALL_EXPORT,
    NMS_IOU,
    CheckpointError,
    DetectionRunner,
    exit_with_error,
    read_checkpoint,
    read_labels,
)

FORMATS = ("savedmodel", "tflite", "onnx")
QUANTIZATIONS = ("fp16", "int8")
# Converters of the last years and runtimes back to 2020 (onnxruntime 1.6) read it.
ONNX_OPSET = 13
# TensorFlow's guide asks for a few hundred representative images.
CALIBRATION_IMAGES = 200
# The split of a YOLO or VOC dataset calibrated on (a COCO file is one split).
CALIBRATION_SPLIT = "val"


class ExportError(ValueError):
    """An export that cannot be made; ``path`` is the file the message is about."""

    def __init__(self, path: str | os.PathLike, problem: str):
        self.path = os.fspath(path)
        super().__init__(f"{self.path}: {problem}")


@dataclass(frozen=True)
class Artefact:
    """An export written: where, its size in bytes (a folder's files together), and what."""

    path: str
    size: int
    format: str
    quantize: str | None = None

    def describe(self) -> str:
        kind = {"savedmodel": "SavedModel", "tflite": "TFLite", "onnx": "ONNX"}[self.format]
        precision = {None: "float32", "fp16": "float16 weights", "int8": "int8"}[self.quantize]
        return f"{self.path}: {kind} ({precision}), {self.size:,} bytes ({_human(self.size)})"


def default_output(checkpoint: str | os.PathLike, to: str, quantize: str | None = None) -> str:
    """Where an export goes by default: beside ``checkpoint``, named after it."""
    stem = os.path.splitext(os.fspath(checkpoint).rstrip(os.sep))[0]
    if to == "savedmodel":
        return f"{stem}_saved_model"
    return f"{stem}{'_' + quantize if quantize else ''}.{to}"


def export_checkpoint(
    checkpoint: str | os.PathLike,
    to: str,
    out: str | os.PathLike | None = None,
    quantize: str | None = None,
    data: str | os.PathLike | None = None,
    force: bool = False,
    *,
    score_threshold: float = DEFAULT_SCORE,
    nms_iou: float = NMS_IOU,
    calibration_images: int = CALIBRATION_IMAGES,
) -> Artefact:
    """Writes ``checkpoint`` (a ``.h5`` of ``DetectionTrainer``) as a ``to`` artefact.

    ``out`` defaults to :func:`default_output`; an existing one is replaced only with
    ``force``, and only when it is an artefact of the format ``to``. ``quantize``
    (``tflite`` only): ``"fp16"`` or ``"int8"``, which calibrates on up to
    ``calibration_images`` images of the dataset ``data``. ``score_threshold``
    and ``nms_iou`` are those of the SavedModel's serving signature. Raises
    :class:`ExportError` (or ``FileNotFoundError``, or the dataset reader's error), naming
    the file at fault, before anything is written; a file that is no checkpoint of the
    trainer gets the message of :func:`~corvane.tessmark.predict.read_checkpoint`.
    """
    checkpoint = os.fspath(checkpoint)
    if to not in FORMATS:
        raise ExportError(checkpoint, f"cannot export to {to!r}: choose one of {FORMATS}")
    if quantize not in (None, *QUANTIZATIONS):
        raise ExportError(
            checkpoint, f"no quantisation {quantize!r}: choose one of {QUANTIZATIONS}"
        )
    if quantize and to != "tflite":
        raise ExportError(checkpoint, f"--quantize {quantize} applies to tflite, not to {to}")
    if quantize == "int8" and data is None:
        raise ExportError(
            checkpoint,
            "int8 calibrates on images: give a dataset with --data (a COCO JSON file, "
            "a YOLO data.yaml or a Pascal VOC root)",
        )
    if not os.path.exists(checkpoint):
        raise FileNotFoundError(f"no checkpoint at {checkpoint}")
    out = os.path.abspath(
        os.fspath(out) if out is not None else default_output(checkpoint, to, quantize)
    )
    if to == "onnx":
        _require_onnx(checkpoint)
    _check_destination(out, to, force)

    try:
        model = read_checkpoint(checkpoint)
    except CheckpointError as error:
        raise ExportError(error.path, error.problem) from None
    runner = DetectionRunner(model)
    names = _class_names(checkpoint, runner.num_classes) if to == "savedmodel" else None
    dataset = _calibration_data(data, calibration_images) if quantize == "int8" else None

    def build(target: str) -> None:
        if to == "savedmodel":
            _write_saved_model(model, runner, target, names, score_threshold, nms_iou)
        elif to == "tflite":
            _write_tflite(model, runner, target, checkpoint, quantize, dataset)
        else:
            _write_onnx(model, target, checkpoint)

    write_whole(out, build)
    return Artefact(out, _size(out), to, quantize)


def _check_destination(out: str, to: str, force: bool) -> None:
    parent = os.path.dirname(out)
    if not os.path.isdir(parent):
        raise ExportError(out, f"its folder {parent} does not exist: create it or choose --out")
    if not os.path.lexists(out):
        return
    if not force:
        raise ExportError(out, "already exists: pass --force to replace it, or choose --out")
    # --force replaces an earlier export of the same kind, never anything else.
    problem = _not_an_export(out, to)
    if problem:
        raise ExportError(
            out,
            f"{problem}; --force replaces only an earlier {to} export: choose another --out",
        )


def _not_an_export(path: str, to: str) -> str | None:
    """Why ``path`` is no artefact of the format ``to``, judged by its content; None when
    it is one."""
    what = "is not " + {"savedmodel": "a SavedModel folder", "tflite": "a TFLite file"}.get(
        to, "an ONNX model"
    )
    if to == "savedmodel":
        marks = [os.path.join(path, name) for name in ("saved_model.pb", "saved_model.pbtxt")]
        return None if any(map(os.path.isfile, marks)) else f"{what} (no saved_model.pb in it)"
    if not os.path.isfile(path):
        return f"{what} ({'a folder' if os.path.isdir(path) else 'not a regular file'})"
    if to == "tflite":
        with open(path, "rb") as f:
            header = f.read(8)
        # A flatbuffer's file identifier follows the offset of its root table.
        return None if header[4:8] == b"TFL3" else f"{what} (no TFL3 identifier)"
    import onnx

    try:
        onnx.checker.check_model(path)
    except Exception as error:  # protobuf's and the checker's own errors
        first = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        return f"{what} ({first})"
    return None


def _class_names(checkpoint: str, num_classes: int | None) -> list[str] | None:
    """The names in ``labels.txt`` beside the checkpoint, when it is there."""
    labels = os.path.join(os.path.dirname(os.path.abspath(checkpoint)), "labels.txt")
    if not os.path.isfile(labels):
        return None
    names = read_labels(labels)
    if len(names) != num_classes:
        raise ExportError(
            labels,
            f"names {len(names)} classes, the checkpoint predicts {num_classes}: "
            "correct it or move it away",
        )
    return names


def _calibration_data(data, count: int):
    from corvane.tessmark.formats import read_dataset

    dataset = read_dataset(data, split=CALIBRATION_SPLIT).head(count)
    if not len(dataset):
        raise ExportError(data, "has no images to calibrate int8 on")
    return dataset


def _calibration_batches(dataset, size: int, channels_first: bool):
    """One batch of one image per calibration image, letterboxed as in training."""
    import tensorflow as tf

    from corvane.tessmark.coco import Letterbox, decode_image, letterbox_image

    for image in dataset.images:
        pixels = decode_image(image.path, image.orientation)
        box = Letterbox.fit(image.height, image.width, size)
        pixels = letterbox_image(pixels, box.new_height, box.new_width, box.top, box.left, size)
        batch = tf.cast(pixels[None], tf.float32) / 255.0
        if channels_first:
            batch = tf.transpose(batch, (0, 3, 1, 2))
        yield [batch.numpy()]


def _write_saved_model(model, runner, target, names, score_threshold, nms_iou) -> None:
    import tensorflow as tf

    from corvane.tessmark.grid import image_detector

    detect = image_detector(
        model,
        runner.input_size,
        runner.channels_first,
        score_threshold,
        nms_iou,
        decode_graph=runner.layout.decode_graph,
    )

    def serve(image):
        found = detect(image)
        if names:
            found["names"] = tf.gather(tf.constant(names), found["classes"])
        return found

    root, network = _network_graph(model)
    signatures = {
        "serving_default": tf.function(
            serve, input_signature=[tf.TensorSpec([None, None, 3], tf.uint8, name="image")]
        ),
        "network": network,
    }
    tf.saved_model.save(root, target, signatures=signatures)


def _network_graph(model):
    """The checkpoint's network as one traced function of its input to ``detections``,
    and a module that holds its weights.

    Converters save what they are given as a SavedModel first: the weights alone take a
    tenth of the time that a Keras network, with every layer's own functions, takes.
    """
    import tensorflow as tf

    root = tf.Module()
    root.network_weights = list(model.weights)
    spec = tf.TensorSpec((None, *model.input_shape[1:]), tf.float32, name=model.input_names[0])
    network = tf.function(lambda batch: {"detections": model(batch, training=False)})
    return root, network.get_concrete_function(spec)


def _write_tflite(model, runner, target, checkpoint, quantize, dataset) -> None:
    import tensorflow as tf
    from tensorflow.lite.python.convert_phase import ConverterError

    root, network = _network_graph(model)
    converter = tf.lite.TFLiteConverter.from_concrete_functions([network], root)
    if quantize:
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
    if quantize == "fp16":
        converter.target_spec.supported_types = [tf.float16]
    elif quantize == "int8":
        converter.representative_dataset = lambda: _calibration_batches(
            dataset, runner.input_size, runner.channels_first
        )
        # Every operation in int8, or a clear failure: no silent float fallback.
        converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8]
    try:
        flatbuffer = converter.convert()
    except ConverterError as error:
        places = [
            (record.operator.name, call.name)
            for record in getattr(error, "errors", [])
            for call in record.location.call[:1]
        ]
        if not places:
            raise ExportError(checkpoint, f"TFLite cannot convert it: {error}") from None
        what = "TFLite int8" if quantize == "int8" else "TFLite's builtin operations"
        raise _unconvertible(model, checkpoint, what, places) from None
    with open(target, "wb") as f:
        f.write(flatbuffer)


def _require_onnx(checkpoint: str) -> None:
    try:
        import onnx  # noqa: F401
        import tf2onnx  # noqa: F401
    except ImportError as error:
        raise ExportError(
            checkpoint, f"the ONNX export needs tf2onnx and onnx ({error}): {INSTALL_EXPORT}"
        ) from None


@contextlib.contextmanager
def _quiet_tf2onnx():
    """tf2onnx logs every step, and each unsupported operation, at INFO to ERROR: the
    export reports those itself."""
    logger = logging.getLogger("tf2onnx")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        logger.setLevel(level)


def _write_onnx(model, target, checkpoint) -> None:
    import onnx
    import tensorflow as tf

    with _quiet_tf2onnx():
        import tf2onnx

        spec = tf.TensorSpec((None, *model.input_shape[1:]), tf.float32, model.input_names[0])
        proto, _ = tf2onnx.convert.from_keras(model, input_signature=(spec,), opset=ONNX_OPSET)
    # tf2onnx keeps an operation it cannot map as a node of the TensorFlow name.
    unknown = [
        (node.op_type, node.name)
        for node in proto.graph.node
        if node.domain in ("", "ai.onnx") and not onnx.defs.has(node.op_type, node.domain)
    ]
    if unknown:
        raise _unconvertible(model, checkpoint, f"ONNX (opset {ONNX_OPSET})", unknown)
    onnx.save(proto, target)


def _unconvertible(model, checkpoint, what: str, places) -> ExportError:
    """The error for operations that ``what`` cannot take, naming the layers they are in.

    ``places`` holds (operation, name in the graph) pairs; graph names run
    ``model/layer/.../Operation``, nested networks adding their own steps.
    """
    known = set()

    def collect(layer):
        known.add(layer.name)
        for inner in getattr(layer, "layers", []):
            collect(inner)

    collect(model)
    found: dict[str, set[str]] = {}
    for operation, name in places:
        steps = name.split("@")[0].split("/")[1:-1]
        layer = "/".join(step for step in steps if step in known and step != model.name)
        operation = operation.removeprefix("tf.")
        found.setdefault(layer or name, set()).add(operation)
    layers = "; ".join(
        f"layer '{layer}' ({', '.join(sorted(operations))})"
        for layer, operations in sorted(found.items())
    )
    return ExportError(
        checkpoint,
        f"{what} cannot take {layers}: replace the layer, or export to savedmodel, "
        "which runs every TensorFlow operation",
    )


def _size(path: str) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(
        os.path.getsize(os.path.join(folder, file))
        for folder, _, files in os.walk(path)
        for file in files
    )


def _human(size: int) -> str:
    if size < 1024:
        return f"{size} bytes"
    return f"{size / 1024:.1f} KiB" if size < 1024**2 else f"{size / 1024**2:.1f} MiB"


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m corvane.tessmark.export",
        description="Export a checkpoint of DetectionTrainer (best.h5) for deployment; "
        "prints the artefact's path and size.",
    )
    parser.add_argument("checkpoint", help="the checkpoint file (.h5)")
    parser.add_argument("--to", required=True, choices=FORMATS, help="the artefact's format")
    parser.add_argument(
        "--quantize", choices=QUANTIZATIONS, help="tflite only: float16 weights, or int8"
    )
    parser.add_argument(
        "--data",
        metavar="ANNOTATIONS",
        help="int8 only: the dataset to calibrate on: a COCO JSON file, a YOLO data.yaml "
        f"or a Pascal VOC root (its {CALIBRATION_SPLIT} split); its first "
        f"{CALIBRATION_IMAGES} images are used",
    )
    parser.add_argument(
        "--out",
        metavar="PATH",
        help="where to write (default: beside the checkpoint, such as best_int8.tflite, "
        "best.onnx or the folder best_saved_model)",
    )
    parser.add_argument("--force", action="store_true", help="replace an existing output")
    parser.add_argument(
        "--score",
        type=float,
        default=DEFAULT_SCORE,
        help="savedmodel: the serving signature's lowest score (default: %(default)s)",
    )
    parser.add_argument(
        "--nms-iou",
        type=float,
        default=NMS_IOU,
        help="savedmodel: the serving signature's suppression IoU (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    for option, value in (("--score", args.score), ("--nms-iou", args.nms_iou)):
        if not 0.0 <= value <= 1.0:
            parser.error(f"{option} must be between 0 and 1, not {value}")
    return parser, args


def main(argv=None) -> int:
    parser, args = _arguments(argv)
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    from corvane.tessmark.coco import DatasetFormatError

    try:
        artefact = export_checkpoint(
            args.checkpoint,
            args.to,
            out=args.out,
            quantize=args.quantize,
            data=args.data,
            force=args.force,
            score_threshold=args.score,
            nms_iou=args.nms_iou,
        )
    except (ExportError, DatasetFormatError, FileNotFoundError) as error:
        exit_with_error(parser, str(error))
    print(artefact.describe())
    return 0


if __name__ == "__main__":
    sys.exit(main())
