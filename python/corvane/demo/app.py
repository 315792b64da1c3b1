"""The demo command: train the shape detector end to end with ``DetectionTrainer``."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import sys
import warnings
from dataclasses import asdict, dataclass, field
from pathlib import Path

from corvane.tessmark.worktree import work_tree_of as git_checkout_of

from .crowded import IMAGE_SIZE as CROWDED_SIZE
from .data import BUILTIN
from .detectors import NAMES, PYRAMID_MULTIPLE

# Without --out, each command makes a new run folder here, in the working folder.
RUNS_FOLDER = "runs"
RUN_NAME = "demo"
# What --export makes of best.h5: (format, quantisation) of corvane.tessmark.export.
EXPORTS = {
    "savedmodel": ("savedmodel", None),
    "tflite": ("tflite", None),
    "tflite-fp16": ("tflite", "fp16"),
    "tflite-int8": ("tflite", "int8"),
    "onnx": ("onnx", None),
}
# Where the outputs go and what the data are, rather than how the network was trained.
LOCAL_SETTINGS = (
    "out",
    "resume",
    "dvclive",
    "mlflow",
    "fresh",
    "coco_train",
    "coco_val",
    "data",
    "images",
    "export_coco",
    "export_yolo",
    "export_voc",
    "export",
)


@dataclass
class DemoConfig:
    epochs: int = 5
    # None: a new run folder under ./runs (see RUNS_FOLDER), made when the run starts.
    out: str | None = None
    # Go on with the newest unfinished run under ./runs (parse_args finds it).
    resume: bool = False
    # None: on when the package is installed (and, for DVCLive, ``out`` is outside git).
    dvclive: bool | None = None
    mlflow: bool | None = None
    quick: bool = False
    seed: int = 0
    train_images: int = 2000
    validation_images: int = 200
    # None: 32 images, 16 with quick.
    batch_size: int | None = None
    learning_rate: float = 3e-3
    display: int = 4
    # COCO-format data instead of the built-in shapes; images default to the files' folder.
    coco_train: str | None = None
    coco_val: str | None = None
    # A YOLO data.yaml or a Pascal VOC root, instead of the built-in shapes.
    data: str | None = None
    images: str | None = None
    # Boxes reaching at most this many pixels past their image are clipped, not refused.
    clip_boxes: float = 0.0
    export_coco: str | None = None
    export_yolo: str | None = None
    export_voc: str | None = None
    # The network's square input, in pixels: a multiple of the grid's stride (of the
    # pyramid's coarsest, 32). parse_args gives the crowded scenes their own 160.
    image_size: int = 64
    # The network, loss and training batches: "grid" or "pyramid" (see detectors.py). The
    # pyramid matches the grid's mAP@0.5 on the shapes in their 5 epochs, and leads on
    # crowded scenes (bench/README.md, "Demo accuracy" and section 14).
    detector: str = "pyramid"
    # The built-in set without --data: "shapes" or "crowded" (see data.BUILTIN).
    builtin: str = "shapes"
    # Flip and scale/shift jitter of the training images, drawn by (seed, epoch).
    augment: bool = False
    # Deployment artefacts of best.h5 made after training (see EXPORTS).
    export: tuple = ()
    # More than 1: MirroredStrategy over that many devices; TF_CONFIG: one worker of many.
    devices: int = 1
    # Discard a backup in ``out`` and start over, rather than resume from it.
    fresh: bool = False
    deterministic: bool = True
    # Stop after this many validation passes without a better mAP@0.5; None: never.
    patience: int | None = None
    # float16 compute with loss scaling on a GPU, bfloat16 on a CPU; variables float32.
    mixed_precision: bool = False
    # Validate and save an exponential moving average of the weights.
    ema: bool = False
    # A linear warmup of this many steps in front of the cosine decay; None: its own.
    warmup_steps: int | None = None

    def __post_init__(self):
        if self.quick:
            self.train_images, self.validation_images = 96, 16
        if self.batch_size is None:
            self.batch_size = 16 if self.quick else 32


@dataclass
class DemoResult:
    out: Path
    checkpoints: Path
    tensorboard: Path
    dvclive: Path | None
    mlflow_uri: str | None
    mlflow_run_id: str | None
    metrics: dict = field(default_factory=dict)
    chief: bool = True  # False on the other workers of a multi-worker run
    start: int = 1  # the first epoch this command trained
    dvclive_earlier: tuple = ()  # earlier segments' DVCLive folders, when resumed

    @property
    def map50(self) -> float:
        return self.metrics["mAP"]["0.5"]


def parse_args(argv=None) -> DemoConfig:
    parser = argparse.ArgumentParser(
        prog="python -m corvane.demo",
        description=(
            "Train a small detector on built-in synthetic shapes (squares, discs, "
            "triangles), alone or crowded, or on your own COCO, YOLO or Pascal VOC data, "
            "with DetectionTrainer, then print where its outputs are. By default nothing is "
            "downloaded or sent over the network."
        ),
    )
    defaults = DemoConfig()
    parser.add_argument(
        "--epochs", type=int, default=defaults.epochs, help="epochs to train (default: %(default)s)"
    )
    parser.add_argument(
        "--out",
        help="output folder for checkpoints/, tensorboard/, dvclive/, mlflow.db and the "
        "backup/; the same command with the same --out resumes the run there (default: a "
        f"new folder {RUNS_FOLDER}/{RUN_NAME}, {RUNS_FOLDER}/{RUN_NAME}-2, ... in the "
        "working folder for every command)",
    )
    parser.add_argument(
        "--resume",
        action="store_true",
        help=f"go on with the newest unfinished run under ./{RUNS_FOLDER}, with its own "
        "options (options given with it must agree with them)",
    )
    parser.add_argument(
        "--dvclive",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=(
            "log the run with DVCLive into OUT/dvclive. DVCLive sets up DVC in the "
            "git checkout around its working folder, so the demo runs it from OUT and "
            "refuses an OUT inside a git checkout (default: on when dvclive is installed "
            "and OUT is outside git)"
        ),
    )
    parser.add_argument(
        "--mlflow",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=(
            "record an MLflow run in the local database OUT/mlflow.db (no server), "
            "or at MLFLOW_TRACKING_URI when that is set (default: on when mlflow is installed)"
        ),
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="a few tiny batches instead of the full data, to check the set-up",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=defaults.seed,
        help="seed of the initial weights and the batch order; the data are fixed "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--batch-size",
        type=int,
        metavar="N",
        help="training images per step; a resumed run must keep it (default: 32, 16 with --quick)",
    )
    parser.add_argument(
        "--image-size",
        type=int,
        metavar="N",
        help="the network's square input in pixels, a multiple of 8 (of 32 for the "
        "pyramid); images of any size are letterboxed to it (default: "
        f"{defaults.image_size}, {CROWDED_SIZE} with --builtin crowded)",
    )
    parser.add_argument(
        "--detector",
        choices=NAMES,
        default=defaults.detector,
        help="grid: one object per 8-pixel cell, of one feature map; pyramid: an "
        "anchor-free network that predicts at strides 8, 16 and 32, for crowded scenes and "
        "small objects, slower to train; a resumed run must keep it (default: %(default)s)",
    )
    parser.add_argument(
        "--builtin",
        choices=BUILTIN,
        help="the built-in set: shapes, one to three apart in 64-pixel images, or crowded, "
        "4 to 20 overlapping shapes of 6 to 90 pixels in 160-pixel images with clutter "
        f"(default: {BUILTIN[0]})",
    )
    parser.add_argument(
        "--augment",
        action=argparse.BooleanOptionalAction,
        default=defaults.augment,
        help="move every training image (horizontal flip, scale and shift jitter) with its "
        "boxes, drawn anew each epoch from the seed and the epoch, so a resumed run stays "
        "exact; the pyramid also trains on mosaics of four images for the first three "
        "quarters of the epochs; validation images are never moved (default: off, as "
        "measured in bench/README.md)",
    )
    own = parser.add_argument_group(
        "your own data",
        "Train and validate on your own images instead of the built-in shapes: COCO "
        "annotations (JSON), YOLO labels (a data.yaml) or Pascal VOC (a VOC2007-style "
        "folder). The classes come from the data; images of any size are letterboxed to "
        "the network's input, and metrics are measured in the original images' pixels. "
        "Every entry is checked before training. With --quick, only the first images of "
        "each split are used.",
    )
    own.add_argument(
        "--data",
        metavar="PATH",
        help="a YOLO data.yaml, a Pascal VOC root folder (Annotations/, JPEGImages/, "
        "ImageSets/Main/train.txt and val.txt), or COCO training annotations (with --val)",
    )
    own.add_argument("--val", metavar="ANNOTATIONS.json", help="COCO validation annotations")
    own.add_argument("--coco-train", metavar="ANNOTATIONS.json", help="COCO training annotations")
    own.add_argument("--coco-val", metavar="ANNOTATIONS.json", help="COCO validation annotations")
    own.add_argument(
        "--images",
        metavar="DIR",
        help="folder that each COCO image's file_name is relative to "
        "(default: the folder of each annotations file)",
    )
    own.add_argument(
        "--clip-boxes",
        type=float,
        default=0.0,
        metavar="PX",
        help="clip boxes that reach at most PX pixels past their image's edge, as labelling "
        "tools' exports often do, instead of refusing them (default: refuse)",
    )
    parser.add_argument(
        "--export",
        action="append",
        choices=EXPORTS,
        default=[],
        metavar="FORMAT",
        help="after training, export best.h5 beside it for deployment; repeat for several: "
        f"{', '.join(EXPORTS)} (tflite-int8 calibrates on the validation images of --data; "
        "onnx needs the [export] extra)",
    )
    exports = parser.add_argument_group(
        "the built-in shapes as files",
        "Write the built-in set (--builtin) in a format and exit, without training.",
    )
    exports.add_argument(
        "--export-coco",
        metavar="DIR",
        help="COCO: DIR/train.json, DIR/val.json and DIR/images/*.png",
    )
    exports.add_argument(
        "--export-yolo", metavar="DIR", help="YOLO: DIR/data.yaml, DIR/images/, DIR/labels/"
    )
    exports.add_argument(
        "--export-voc",
        metavar="DIR",
        help="Pascal VOC: DIR/Annotations/, DIR/JPEGImages/, DIR/ImageSets/Main/",
    )
    parser.add_argument(
        "--devices",
        type=int,
        default=defaults.devices,
        help="train on N devices of this machine with MirroredStrategy: its GPUs when it has "
        "N, otherwise its CPU split into N logical devices. With TF_CONFIG set, the same "
        "command on every worker trains with MultiWorkerMirroredStrategy (default: 1)",
    )
    parser.add_argument(
        "--fresh",
        action="store_true",
        help="discard the backup in OUT and start over (by default the same command "
        "with the same --out resumes an interrupted training from its last completed epoch)",
    )
    parser.add_argument(
        "--deterministic",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="TensorFlow op determinism, so that a resumed run ends exactly as an "
        "uninterrupted one (default: on)",
    )
    parser.add_argument(
        "--patience",
        type=int,
        metavar="N",
        help="stop early once N validation passes in a row have not improved mAP@0.5 "
        "(the checkpoint metric); the same command again then trains nothing "
        "(default: train every epoch)",
    )
    parser.add_argument(
        "--mixed-precision",
        action="store_true",
        help="compute in float16 with loss scaling on a GPU, in bfloat16 on a CPU (where it "
        "is slower than float32); variables and outputs stay float32",
    )
    parser.add_argument(
        "--ema",
        action="store_true",
        help="validate and save an exponential moving average of the weights; training "
        "goes on from the weights themselves",
    )
    parser.add_argument(
        "--warmup-steps",
        type=int,
        metavar="N",
        help="warm the learning rate up linearly over N steps, then the cosine decay "
        "(default: the decay's own warmup of a tenth of the steps, at most 100)",
    )
    args = parser.parse_args(argv)
    if args.patience is not None and args.patience < 1:
        parser.error("--patience must be at least 1")
    if args.warmup_steps is not None and args.warmup_steps < 1:
        parser.error("--warmup-steps must be at least 1")
    if args.epochs < 1:
        parser.error("--epochs must be at least 1")
    if args.batch_size is not None and args.batch_size < 1:
        parser.error("--batch-size must be at least 1")
    builtin = args.builtin or BUILTIN[0]
    image_size = args.image_size
    if image_size is None:
        image_size = CROWDED_SIZE if builtin == "crowded" else defaults.image_size
    if image_size < 16 or image_size % 8:
        parser.error(f"--image-size must be a multiple of 8 from 16 on, not {image_size}")
    if args.detector == "pyramid" and image_size % PYRAMID_MULTIPLE:
        parser.error(
            f"--detector pyramid needs an --image-size that is a multiple of "
            f"{PYRAMID_MULTIPLE}, its coarsest stride, not {image_size}"
        )
    if not args.clip_boxes >= 0.0:
        parser.error("--clip-boxes must be 0 or more pixels")
    coco_train, coco_val, data = _data_arguments(parser, args)
    if args.builtin and (coco_train or data):
        parser.error("--builtin picks the built-in data; it does not go with --data")
    exporting = [
        name for name in ("export_coco", "export_yolo", "export_voc") if getattr(args, name)
    ]
    if len(exporting) > 1:
        parser.error("give one of --export-coco, --export-yolo and --export-voc at a time")
    if exporting and (coco_train or data):
        option = "--" + exporting[0].replace("_", "-")
        parser.error(f"{option} writes the built-in data; it does not go with --data")
    if "tflite-int8" in args.export and not (coco_train or data):
        parser.error("--export tflite-int8 calibrates on your validation images: give --data")
    if args.devices < 1:
        parser.error("--devices must be at least 1")
    if args.devices > 1 and os.environ.get("TF_CONFIG"):
        parser.error(
            "--devices is for one machine: with TF_CONFIG each worker uses all its devices"
        )
    if args.resume and args.out:
        parser.error("--resume finds the run under ./runs; with --out, the same command resumes")
    if args.resume and args.fresh:
        parser.error("--resume goes on with a run and --fresh starts over: give one")
    if os.environ.get("TF_CONFIG") and not args.out and not exporting:
        parser.error("with TF_CONFIG, give every worker the same --out")
    config = DemoConfig(
        epochs=args.epochs,
        out=args.out and os.path.abspath(args.out),
        resume=args.resume,
        dvclive=args.dvclive,
        mlflow=args.mlflow,
        quick=args.quick,
        seed=args.seed,
        batch_size=args.batch_size,
        coco_train=coco_train,
        coco_val=coco_val,
        data=data,
        images=args.images and os.path.abspath(args.images),
        clip_boxes=args.clip_boxes,
        export_coco=args.export_coco and os.path.abspath(args.export_coco),
        export_yolo=args.export_yolo and os.path.abspath(args.export_yolo),
        export_voc=args.export_voc and os.path.abspath(args.export_voc),
        image_size=image_size,
        detector=args.detector,
        builtin=builtin,
        augment=args.augment,
        export=tuple(dict.fromkeys(args.export)),
        devices=args.devices,
        fresh=args.fresh,
        deterministic=args.deterministic,
        patience=args.patience,
        mixed_precision=args.mixed_precision,
        ema=args.ema,
        warmup_steps=args.warmup_steps,
    )
    if config.resume:
        from . import resume

        try:
            config = resume.resumed_config(
                Path(RUNS_FOLDER).resolve(), RUN_NAME, config, _given(parser, argv)
            )
        except ValueError as error:
            parser.error(str(error))
    if config.dvclive and config.out and git_checkout_of(config.out):
        parser.error(
            f"--dvclive needs an --out outside any git checkout ({config.out} is inside "
            f"{git_checkout_of(config.out)})"
        )
    return config


def _data_arguments(parser, args):
    """(COCO training file, COCO validation file, YOLO or VOC path), absolute, from the
    data options."""
    absolute = lambda path: path and os.path.abspath(path)  # noqa: E731
    if args.coco_train or args.coco_val:
        if bool(args.coco_train) != bool(args.coco_val):
            parser.error("--coco-train and --coco-val go together")
        if args.data or args.val:
            parser.error("--data and --val replace --coco-train and --coco-val: give one pair")
        return absolute(args.coco_train), absolute(args.coco_val), None
    if args.val and not args.data:
        parser.error("--val needs --data (the COCO training annotations)")
    if args.data and args.data.lower().endswith(".json"):
        if not args.val:
            parser.error("--data with COCO annotations needs --val (the validation file)")
        return absolute(args.data), absolute(args.val), None
    if args.val:
        parser.error("--val is for COCO annotations; YOLO and VOC data name their own splits")
    if args.images and not args.data:
        parser.error("--images needs COCO data (--data and --val)")
    if args.images:
        parser.error("--images is for COCO annotations; YOLO and VOC data find their images")
    return None, None, absolute(args.data)


def _given(parser, argv) -> set:
    """The destinations of the options given on the command line."""
    given = set()
    for action in parser._actions:
        for option in action.option_strings:
            for word in sys.argv[1:] if argv is None else argv:
                if word == option or word.startswith(option + "="):
                    given.add(action.dest)
                # --no-x of a boolean option
                if option.startswith("--") and word == "--no-" + option[2:]:
                    given.add(action.dest)
    return given


def run_demo(config: DemoConfig) -> DemoResult:
    """Builds everything, trains, and returns where the results are."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow as tf

    from corvane.tessmark import distributed
    from corvane.tessmark.trainer.detection import DetectionTrainer

    # Before any other TensorFlow operation: both strategies set up the devices.
    strategy = None
    if os.environ.get("TF_CONFIG"):
        strategy = tf.distribute.MultiWorkerMirroredStrategy()
    elif config.devices > 1:
        strategy = distributed.strategy_for_devices(config.devices)
    # Only the chief writes; the trainer sends another worker's files elsewhere.
    chief = strategy is None or distributed.WorkerRole(strategy).is_chief

    from corvane.tessmark.callbacks import (
        CallbackList,
        DivergenceGuard,
        EarlyStopping,
        RunProgress,
    )
    from corvane.tessmark.data import EpochOrder
    from corvane.tessmark.ema import ExponentialMovingAverage
    from corvane.tessmark.schedules import LinearWarmup
    from corvane.validator.evaluator import DetectionEvaluator

    from . import console, data, resume
    from .coco import images_checked_on_failure
    from .detectors import detector as detector_named

    detector = detector_named(config.detector)

    # The user's data are read and checked first: a fault leaves no run folder behind.
    splits = _read_splits(config)
    if splits is not None:
        # The run records the sizes it trains on.
        config.train_images = len(splits.train)
        config.validation_images = len(splits.validation)
    if config.out:
        out = Path(config.out).resolve()
        if chief:
            out.mkdir(parents=True, exist_ok=True)
    else:
        from corvane.tessmark.runs import new_run_folder

        out = new_run_folder(RUNS_FOLDER, RUN_NAME)
    use_dvclive = config.dvclive
    if use_dvclive is None:
        use_dvclive = _installed("dvclive") and not git_checkout_of(str(out))
    use_mlflow = (_installed("mlflow") if config.mlflow is None else config.mlflow) and chief
    if use_dvclive and git_checkout_of(str(out)):
        raise ValueError(f"DVCLive would set up DVC in the git checkout around {out}")
    checkpoints = out / "checkpoints"
    run = resume.open_run(out, config, chief)
    dvclive_dir = run.dvclive if use_dvclive else None
    if run.complete(config.epochs):
        return _already_complete(run, config, checkpoints, use_mlflow, chief)

    if config.deterministic:
        tf.config.experimental.enable_op_determinism()
    tf.keras.utils.set_random_seed(config.seed)
    with warnings.catch_warnings():
        # Said once below, as one of the demo's own lines.
        warnings.filterwarnings("ignore", detector.left_out_warning, UserWarning)
        if splits is not None:
            from .coco import dataset_source

            source = dataset_source(splits, config.image_size, elements=detector.dataset_elements)
        else:
            source = data.synthetic_source(
                config.train_images,
                config.validation_images,
                config.image_size,
                config.builtin,
                detector.elements,
            )
    left_out = detector.left_out(source.train)
    if left_out and chief:
        print(f"\t - [INFO] {left_out}")
    data_epoch = tf.Variable(0, dtype=tf.int64, trainable=False)
    train_ds = detector.batches(
        source.train, config.batch_size, config.seed, data_epoch, config.augment, config.epochs
    )
    val_ds = source.validation
    classes = list(source.classes)

    if config.mixed_precision:
        gpu = bool(tf.config.list_physical_devices("GPU"))
        tf.keras.mixed_precision.set_global_policy("mixed_float16" if gpu else "mixed_bfloat16")
    with strategy.scope() if strategy else contextlib.nullcontext():
        # Global batch statistics, so that several replicas train as one device would.
        model = detector.network(len(classes), config.image_size, strategy is not None)
        steps = config.epochs * len(train_ds)
        if config.warmup_steps:
            decay = tf.keras.optimizers.schedules.CosineDecay(
                config.learning_rate, decay_steps=steps, alpha=0.02
            )
            schedule = LinearWarmup(config.warmup_steps, decay, config.learning_rate / 10)
        else:
            schedule = tf.keras.optimizers.schedules.CosineDecay(
                config.learning_rate / 10,
                decay_steps=steps,
                alpha=0.02,
                warmup_target=config.learning_rate,
                warmup_steps=min(100, steps // 10),
            )
        optimizer = tf.keras.optimizers.Adam(schedule)
        if tf.keras.mixed_precision.global_policy().compute_dtype == "float16":
            optimizer = tf.keras.mixed_precision.LossScaleOptimizer(optimizer)
        # Slot variables made inside the first step would cost tf.function a second trace.
        optimizer.build(model.trainable_variables)
        average = ExponentialMovingAverage(model) if config.ema else None
    evaluator = DetectionEvaluator(model, class_names=classes)
    info = {
        **{k: v for k, v in asdict(config).items() if k not in LOCAL_SETTINGS},
        **source.info,
        "classes": classes,
        "image_size": config.image_size,
        **detector.info(),
        "parameters": int(model.count_params()),
    }

    with contextlib.ExitStack() as stack:
        logger = None
        if chief:
            logger = run.logger()
            stack.callback(logger.close)
        mlflow_uri, run_id = None, None
        if use_mlflow:
            mlflow_uri = _mlflow_tracking(out)
            run_id = stack.enter_context(
                run.mlflow_run(info, experiment="corvane-demo", run_name=f"seed-{config.seed}")
            )
        if use_dvclive and chief:
            # DVCLive finds its repository, and writes dvc.yaml, from the working folder.
            stack.enter_context(_working_folder(out))
            # Outside git DVCLive cannot save an experiment, as intended; not worth a warning.
            os.environ.setdefault("DVCLIVE_LOGLEVEL", "ERROR")
            os.environ.setdefault("DVC_STUDIO_OFFLINE", "true")

        if chief:
            print(console.opening_line(config, strategy, source, splits, out), flush=True)
        trainer = (
            DetectionTrainer if strategy is None else distributed.DistributedDetectionTrainer
        )(
            model,
            train_ds,
            optimizer,
            detector.loss(config.image_size),
            logger,
            str(checkpoints),
            info=info,
            metric="map",
            iou=evaluator.runner.nms_iou,
            classes=classes,
            display=config.display,
            dvclive_output=str(dvclive_dir) if dvclive_dir else None,
            **({"strategy": strategy} if strategy else {}),
        )
        run.started(run_id)
        # The guard first: no other handler sees a step whose loss is not a number.
        handlers = [DivergenceGuard(), EpochOrder(data_epoch), resume.PhaseMarks()]
        backup = run.backup(trainer, logger)
        if average:
            backup.register("ema", average.state)
            handlers.append(average)
        if config.patience:
            stopping = EarlyStopping(config.patience)
            backup.register("early_stopping", stopping)
            handlers.append(stopping)
        start = backup.restore()
        if chief:
            handlers.append(RunProgress(config.epochs))
        if run.continuing and chief:
            print(resume.resumed_line(run, start, config.epochs))
        stack.enter_context(images_checked_on_failure(splits))
        trainer.train(
            config.epochs,
            train_ds=train_ds,
            val_ds=val_ds,
            evaluator=evaluator,
            start=start,
            callback_handler=CallbackList([*handlers, backup], trainer=trainer),
        )
    metrics = evaluator.last_result.metrics if evaluator.last_result else {}
    earlier = tuple(p for p in run.dvclive_segments() if p != dvclive_dir)
    return DemoResult(
        out,
        checkpoints,
        run.tensorboard,
        dvclive_dir,
        mlflow_uri,
        run_id,
        metrics,
        chief,
        start,
        earlier,
    )


def _read_splits(config: DemoConfig):
    """The user's data, read and checked; None for the built-in shapes."""
    if not (config.coco_train or config.data):
        return None
    from .coco import read_splits

    limits = (config.train_images, config.validation_images) if config.quick else (None, None)
    splits = read_splits(
        config.data,
        config.coco_train,
        config.coco_val,
        config.images,
        config.clip_boxes,
        *limits,
    )
    if splits.clipped:
        print(
            f"\t - [INFO] Clipped {splits.clipped} boxes that reached at most "
            f"{config.clip_boxes:g} pixels past their image's edge (--clip-boxes)"
        )
    return splits


def _already_complete(run, config, checkpoints, use_mlflow, chief) -> DemoResult:
    from corvane.validator.summary import metrics_of_row

    from . import resume

    record = run.backup_record
    if chief:
        print(resume.complete_line(run))
    mlflow_uri = run_id = None
    if use_mlflow and run.mlflow_run_id:
        # Closes the run that a kill after the last backup left open.
        mlflow_uri = _mlflow_tracking(run.folder)
        with run.mlflow_run() as run_id:
            pass
    segments = tuple(run.dvclive_segments())
    metrics = metrics_of_row(record.summary_rows[-1]) if record.summary_rows else {}
    return DemoResult(
        run.folder,
        checkpoints,
        run.tensorboard,
        segments[-1] if segments else None,
        mlflow_uri,
        run_id,
        metrics,
        chief,
        record.epoch + 1,
        segments[:-1],
    )


def _installed(package: str) -> bool:
    return importlib.util.find_spec(package) is not None


def _mlflow_tracking(out: Path) -> str:
    """Sets MLflow's store: a local ``OUT/mlflow.db`` unless ``MLFLOW_TRACKING_URI`` says."""
    # Local by default: no telemetry, and a SQLite store with the artifacts beside it.
    os.environ.setdefault("MLFLOW_DISABLE_TELEMETRY", "true")
    os.environ.setdefault("DO_NOT_TRACK", "true")
    import mlflow

    uri = os.environ.get("MLFLOW_TRACKING_URI") or f"sqlite:///{out / 'mlflow.db'}"
    mlflow.set_tracking_uri(uri)
    return uri


@contextlib.contextmanager
def _working_folder(path: Path):
    previous = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(previous)


def report(result: DemoResult) -> str:
    if not result.chief:
        return "\t - [INFO] This worker is done; the chief worker wrote the outputs"
    validation = result.checkpoints / "validation"
    lines = []
    if result.metrics:
        lines.append(f"Final validation: mAP@0.5 {result.map50:.3f}")
    lines += [
        f"Checkpoints: {result.checkpoints / 'best.h5'} and {result.checkpoints / 'last.h5'}",
        f"Summary: {result.checkpoints / 'summary.csv'}",
        f"Validation results: {validation / 'results.txt'} and the PNG plots beside it",
        f"TensorBoard logs: {result.tensorboard} "
        f"(view with: tensorboard --logdir {result.tensorboard.parent})",
    ]
    if result.dvclive:
        line = f"DVCLive: {result.dvclive} (report: {result.dvclive / 'report.html'})"
        if result.dvclive_earlier:
            earlier = ", ".join(str(p) for p in result.dvclive_earlier)
            line += f", epochs {result.start} on; earlier, interrupted segments: {earlier}"
        lines.append(line)
    if result.mlflow_uri:
        lines.append(
            f"MLflow run {result.mlflow_run_id} in {result.mlflow_uri} "
            f"(view with: mlflow ui --backend-store-uri {result.mlflow_uri})"
        )
    return "\n".join(f"\t - [INFO] {line}" for line in lines)


def main(argv=None) -> int:
    config = parse_args(argv)
    if config.export_coco or config.export_yolo or config.export_voc:
        return export(config)
    from corvane.tessmark.backup import BackupError
    from corvane.tessmark.callbacks import TrainingDiverged
    from corvane.tessmark.coco import DatasetFormatError
    from corvane.tessmark.runs import ResumeError

    try:
        result = run_demo(config)
    except (DatasetFormatError, ResumeError, BackupError, TrainingDiverged) as error:
        print(f"python -m corvane.demo: error: {error}", file=sys.stderr)
        return 2
    print(report(result))
    return export_checkpoints(config, result)


def export_checkpoints(config: DemoConfig, result: DemoResult) -> int:
    """The deployment artefacts of ``--export``, beside ``best.h5``; 2 when one fails."""
    if not config.export or not result.chief:
        return 0
    from corvane.tessmark.coco import DatasetFormatError
    from corvane.tessmark.export import ExportError, export_checkpoint

    # int8 calibrates on the validation images: the COCO file, or the data's val split.
    calibration = config.coco_val or config.data
    for name in config.export:
        to, quantize = EXPORTS[name]
        try:
            # The run's own file, made again from this run's best.h5.
            artefact = export_checkpoint(
                result.checkpoints / "best.h5",
                to,
                quantize=quantize,
                data=calibration if quantize == "int8" else None,
                force=True,
            )
        except (ExportError, DatasetFormatError, FileNotFoundError) as error:
            print(f"python -m corvane.demo: error: --export {name}: {error}", file=sys.stderr)
            return 2
        print(f"\t - [INFO] Exported {artefact.describe()}")
    return 0


def export(config: DemoConfig) -> int:
    """Writes the built-in set as files of the asked format, and how to train on them."""
    from . import data
    from .coco import export_shapes

    train, validation = data.builtin_splits(
        config.builtin, config.train_images, config.validation_images
    )
    kind, folder = next(
        (kind, folder)
        for kind, folder in (
            ("coco", config.export_coco),
            ("yolo", config.export_yolo),
            ("voc", config.export_voc),
        )
        if folder
    )
    try:
        written = export_shapes(folder, train, validation, kind)
    except FileExistsError as error:
        print(f"python -m corvane.demo: error: {error}", file=sys.stderr)
        return 2
    if kind == "coco":
        what, arguments = (
            f"{written[0]} and {written[1]}",
            f"--data {written[0]} --val {written[1]}",
        )
    else:
        what, arguments = str(written), f"--data {written}"
    if config.image_size != DemoConfig.image_size:
        # Data from files train at the default size unless told.
        arguments += f" --image-size {config.image_size}"
    name = {"coco": "COCO", "yolo": "YOLO", "voc": "Pascal VOC"}[kind]
    print(
        f"\t - [INFO] Wrote {len(train)} training and {len(validation)} validation images "
        f"as {name} data: {what}\n"
        f"\t - [INFO] Train on them with: python -m corvane.demo {arguments}"
    )
    return 0
