"""The demo command: train the shape detector end to end with ``DetectionTrainer``."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import sys
import tempfile
from dataclasses import asdict, dataclass, field
from pathlib import Path

from corvane.tessmark.worktree import work_tree_of as git_checkout_of

DEFAULT_OUT = os.path.join(tempfile.gettempdir(), "corvane-demo")
# Where the outputs go and what the data are, rather than how the network was trained.
LOCAL_SETTINGS = (
    "out",
    "dvclive",
    "mlflow",
    "fresh",
    "coco_train",
    "coco_val",
    "images",
    "export_coco",
)


@dataclass
class DemoConfig:
    epochs: int = 5
    out: str = DEFAULT_OUT
    # None: on when the package is installed (and, for DVCLive, ``out`` is outside git).
    dvclive: bool | None = None
    mlflow: bool | None = None
    quick: bool = False
    seed: int = 0
    train_images: int = 2000
    validation_images: int = 200
    batch_size: int = 32
    learning_rate: float = 3e-3
    display: int = 4
    # COCO-format data instead of the built-in shapes; images default to the files' folder.
    coco_train: str | None = None
    coco_val: str | None = None
    images: str | None = None
    export_coco: str | None = None
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
            self.train_images, self.validation_images, self.batch_size = 96, 16, 16


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
            "triangles) with DetectionTrainer, then print where its outputs are. "
            "By default nothing is downloaded or sent over the network."
        ),
    )
    defaults = DemoConfig()
    parser.add_argument(
        "--epochs", type=int, default=defaults.epochs, help="epochs to train (default: %(default)s)"
    )
    parser.add_argument(
        "--out",
        default=defaults.out,
        help="output folder for checkpoints/, tensorboard/, dvclive/, mlflow.db and the "
        "backup/ that the same command resumes from (default: %(default)s)",
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
    coco = parser.add_argument_group(
        "COCO-format data",
        "Train and validate on your own images, annotated in COCO's JSON format, instead "
        "of the built-in shapes. The categories become the classes, in the file's order; "
        "images of any size are letterboxed to the network's 64x64 input. With --quick, "
        "only the first images of each file are used (every entry is still checked).",
    )
    coco.add_argument("--coco-train", metavar="ANNOTATIONS.json", help="training annotations")
    coco.add_argument("--coco-val", metavar="ANNOTATIONS.json", help="validation annotations")
    coco.add_argument(
        "--images",
        metavar="DIR",
        help="folder that each image's file_name is relative to "
        "(default: the folder of each annotations file)",
    )
    coco.add_argument(
        "--export-coco",
        metavar="DIR",
        help="write the built-in shapes as COCO data (DIR/train.json, DIR/val.json, "
        "DIR/images/*.png) and exit, without training",
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
        "again resumes an interrupted training from its last completed epoch)",
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
    if bool(args.coco_train) != bool(args.coco_val):
        parser.error("--coco-train and --coco-val go together")
    if args.images and not args.coco_train:
        parser.error("--images needs --coco-train and --coco-val")
    if args.export_coco and args.coco_train:
        parser.error("--export-coco writes the built-in data; it does not go with --coco-train")
    if args.devices < 1:
        parser.error("--devices must be at least 1")
    if args.devices > 1 and os.environ.get("TF_CONFIG"):
        parser.error(
            "--devices is for one machine: with TF_CONFIG each worker uses all its devices"
        )
    out = os.path.abspath(args.out)
    if args.dvclive and git_checkout_of(out):
        parser.error(
            f"--dvclive needs an --out outside any git checkout ({out} is inside "
            f"{git_checkout_of(out)})"
        )
    return DemoConfig(
        epochs=args.epochs,
        out=out,
        dvclive=args.dvclive,
        mlflow=args.mlflow,
        quick=args.quick,
        seed=args.seed,
        coco_train=args.coco_train and os.path.abspath(args.coco_train),
        coco_val=args.coco_val and os.path.abspath(args.coco_val),
        images=args.images and os.path.abspath(args.images),
        export_coco=args.export_coco and os.path.abspath(args.export_coco),
        devices=args.devices,
        fresh=args.fresh,
        deterministic=args.deterministic,
        patience=args.patience,
        mixed_precision=args.mixed_precision,
        ema=args.ema,
        warmup_steps=args.warmup_steps,
    )


def run_demo(config: DemoConfig) -> DemoResult:
    """Builds everything, trains, and returns where the results are."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow as tf

    from corvane.tessmark import distributed
    from corvane.tessmark.losses import TessmarkLoss
    from corvane.tessmark.trainer.detection import DetectionTrainer

    # Before any other TensorFlow operation: both strategies set up the devices.
    strategy = None
    if os.environ.get("TF_CONFIG"):
        strategy = tf.distribute.MultiWorkerMirroredStrategy()
    elif config.devices > 1:
        strategy = distributed.strategy_for_devices(config.devices)
    # Only the chief writes; the trainer sends another worker's files elsewhere.
    chief = strategy is None or distributed.WorkerRole(strategy).is_chief

    from corvane.tessmark.callbacks import CallbackList, DivergenceGuard, EarlyStopping
    from corvane.tessmark.data import EpochOrder, batch_training_set
    from corvane.tessmark.ema import ExponentialMovingAverage
    from corvane.tessmark.schedules import LinearWarmup
    from corvane.validator.evaluator import DetectionEvaluator

    from . import data, resume
    from .model import build_detector

    out = Path(config.out).resolve()
    if chief:
        out.mkdir(parents=True, exist_ok=True)
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
    if config.coco_train:
        from .coco import coco_source

        limits = (config.train_images, config.validation_images) if config.quick else (None, None)
        source = coco_source(config.coco_train, config.coco_val, config.images, *limits)
    else:
        source = data.synthetic_source(config.train_images, config.validation_images)
    data_epoch = tf.Variable(0, dtype=tf.int64, trainable=False)
    train_ds = batch_training_set(source.train, config.batch_size, config.seed, epoch=data_epoch)
    val_ds = source.validation
    classes = list(source.classes)

    if config.mixed_precision:
        gpu = bool(tf.config.list_physical_devices("GPU"))
        tf.keras.mixed_precision.set_global_policy("mixed_float16" if gpu else "mixed_bfloat16")
    with strategy.scope() if strategy else contextlib.nullcontext():
        # Global batch statistics, so that several replicas train as one device would.
        model = build_detector(num_classes=len(classes), synchronized=strategy is not None)
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
        "image_size": data.IMAGE_SIZE,
        "grid_stride": data.STRIDE,
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

        trainer = (
            DetectionTrainer if strategy is None else distributed.DistributedDetectionTrainer
        )(
            model,
            train_ds,
            optimizer,
            TessmarkLoss(),
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
        if run.continuing and chief:
            print(resume.resumed_line(run, start, config.epochs))
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
    if config.export_coco:
        return export(config)
    from corvane.tessmark.backup import BackupError
    from corvane.tessmark.callbacks import TrainingDiverged
    from corvane.tessmark.coco import CocoFormatError
    from corvane.tessmark.runs import ResumeError

    try:
        result = run_demo(config)
    except (CocoFormatError, ResumeError, BackupError, TrainingDiverged) as error:
        print(f"python -m corvane.demo: error: {error}", file=sys.stderr)
        return 2
    print(report(result))
    return 0


def export(config: DemoConfig) -> int:
    from . import data
    from .coco import export_shapes

    train, validation = data.shape_splits(config.train_images, config.validation_images)
    try:
        train_json, val_json = export_shapes(config.export_coco, train, validation)
    except FileExistsError as error:
        print(f"python -m corvane.demo: error: {error}", file=sys.stderr)
        return 2
    print(
        f"\t - [INFO] Wrote {len(train)} training and {len(validation)} validation images "
        f"as COCO data: {train_json} and {val_json}\n"
        f"\t - [INFO] Train on them with: python -m corvane.demo "
        f"--coco-train {train_json} --coco-val {val_json}"
    )
    return 0
