"""An application of the library as its guide (docs/guide.md) describes one, with a network
nobody here wrote: MobileNetV2 from ``tf.keras.applications`` (no pretrained weights) and the
head of the loss's layout, trained on pictures of its own. Nothing of ``corvane.demo``.

    python tests/application.py OUT [--epochs 4] [--patience 2] [--min-delta 0.0]

The same command again goes on with the training in OUT after a crash, and trains nothing
once it is complete or stopped early. At the end it detects the objects of a new picture
of another size with ``best.h5`` and prints them as one line "prediction: {json}".
"""

import argparse
import json
import os

import numpy as np
import tensorflow as tf

from corvane.tessmark.callbacks import CallbackList, EarlyStopping, TessmarkTrainingCallback
from corvane.tessmark.data import (
    EpochOrder,
    batch_training_set,
    training_elements,
    validation_samples,
)
from corvane.tessmark.grid import detection_head
from corvane.tessmark.losses import TessmarkLoss
from corvane.tessmark.predict import DetectionRunner
from corvane.tessmark.runs import TrainingRun
from corvane.tessmark.trainer.detection import DetectionTrainer
from corvane.validator.evaluator import DetectionEvaluator

CLASSES = ["plate", "bar"]
SIZE, STRIDE = 96, 32


def pictures(count, seed, height=SIZE, width=SIZE):
    """Grey noise with one or two objects: a square plate or a long bar, in any colour."""
    rng = np.random.default_rng(seed)
    images = rng.integers(60, 120, (count, height, width, 3)).astype(np.uint8)
    boxes = []
    for image in images:
        rows = []
        for _ in range(int(rng.integers(1, 3))):
            cls = int(rng.integers(2))
            w, h = (int(v) for v in rng.integers(20, 36, 2))
            if cls == 1:
                w, h = (w + 30, h // 3) if rng.random() < 0.5 else (h // 3, w + 30)
            w, h = min(w, width - 2), min(h, height - 2)
            x, y = int(rng.integers(0, width - w)), int(rng.integers(0, height - h))
            image[y : y + h, x : x + w] = rng.integers(0, 256, 3)
            rows.append([x, y, x + w, y + h, cls])
        boxes.append(np.array(rows, np.float32))
    return images, boxes


def build_network():
    inputs = tf.keras.Input((SIZE, SIZE, 3))
    backbone = tf.keras.applications.MobileNetV2(
        input_shape=(SIZE, SIZE, 3), include_top=False, weights=None, alpha=0.35
    )
    return tf.keras.Model(inputs, detection_head(backbone(inputs), len(CLASSES)))


class Ended(TessmarkTrainingCallback):
    def on_train_end(self):
        print("application: the training ended")


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--patience", type=int, default=2)
    parser.add_argument("--min-delta", type=float, default=0.0)
    args = parser.parse_args(argv)
    options = {"epochs": args.epochs, "patience": args.patience, "min_delta": args.min_delta}

    tf.config.experimental.enable_op_determinism()
    tf.keras.utils.set_random_seed(0)
    run = TrainingRun(args.out, options)
    if run.complete(args.epochs):
        why = "stopped early" if run.stopped else "complete"
        print(f"application: nothing to do, the training in {args.out} is {why} "
              f"(epoch {run.backup_record.epoch})")  # fmt: skip
        return 0

    images, boxes = pictures(64, seed=1)
    order = tf.Variable(0, dtype=tf.int64)
    elements = training_elements(images, boxes, len(CLASSES), STRIDE)
    train_ds = batch_training_set(elements, batch_size=16, seed=0, epoch=order)
    val_images, val_boxes = pictures(8, seed=2)
    val_ds = validation_samples(val_images, val_boxes, [f"val-{i}.png" for i in range(8)])
    model = build_network()
    optimizer = tf.keras.optimizers.Adam(1e-3)
    optimizer.build(model.trainable_variables)
    info = {**options, "classes": CLASSES, "backbone": "MobileNetV2 alpha 0.35"}

    tf.keras.utils.set_random_seed(0)
    logger = run.logger()
    with run.mlflow_run(info, experiment="application") as mlflow_run_id:
        trainer = DetectionTrainer(
            model,
            train_ds,
            optimizer,
            TessmarkLoss(),
            logger,
            checkpoint=os.path.join(args.out, "checkpoints"),
            info=info,
            metric="map",
            classes=CLASSES,
            display=0,
            dvclive_output=str(run.dvclive),
        )
        run.started(mlflow_run_id)
        stopping = EarlyStopping(args.patience, args.min_delta)
        backup = run.backup(trainer, logger)
        backup.register("early_stopping", stopping)
        start = backup.restore()
        if start > 1:
            print(f"application: resuming at epoch {start}")
        handlers = CallbackList([EpochOrder(order), Ended(), stopping, backup], trainer=trainer)
        trainer.train(
            args.epochs,
            train_ds=train_ds,
            val_ds=val_ds,
            evaluator=DetectionEvaluator(model),
            start=start,
            callback_handler=handlers,
        )
    logger.close()

    runner = DetectionRunner.from_checkpoint(trainer.best, score_threshold=0.05)
    picture = pictures(1, seed=9, height=110, width=150)[0][0]
    found = runner.detect(picture)
    record = {
        "width": picture.shape[1],
        "height": picture.shape[0],
        "boxes": found.boxes.tolist(),
        "scores": found.scores.tolist(),
        "classes": [CLASSES[k] for k in found.classes],
    }
    print("prediction: " + json.dumps(record))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
