"""The peer on the demo's crowded scenes: keras-cv's YOLOV8Detector, scored as ours are.

    /work/peer-env/bin/python bench/peer_crowded.py [--epochs 40]
        [--train-images 600] [--validation-images 300] [--seed 0] [--quick] [--json]

It trains keras-cv's ``YOLOV8Detector`` (the xs backbone, built from its constructor
arguments with no weights, so nothing is downloaded; the FPN depth of the xs scale) with
``fit`` on the same crowded training scenes, epochs and batch size as ``bench/crowded.py``
trains our two detectors, then detects every validation scene and scores it with
pycocotools' ``COCOeval`` with its default parameters as that bench does: mAP@.5:.95,
mAP@.5, AP_small, AP_medium and AR@100. The training rate is the images of an epoch over
its time, the median of the epochs after the first (which holds the tracing).

Its optimiser is keras-cv's own recipe (Adam with a global clip norm of 10, peak rate
1e-3) on our demo's schedule: cosine decay to 2 % after a warmup from a tenth of the peak
over a tenth of the steps, at most 100. Its detections go through its own non-maximum
suppression set to our runner's operating point (scores from 0.05, IoU 0.5, at most 100).
Neither trains with augmentation; both run with TensorFlow's op determinism on.

keras-cv 0.8.2 needs packages the project does not want (keras-core, tensorflow-datasets
and what they import), and its declared dependencies would pull in more (kagglehub and
all of tensorflow-datasets'), so it lives in an environment of its own, outside the
checkout, made from the checkout's root with the project's pins:

    ~/.pyenv/versions/3.10.13/bin/python -m venv /work/peer-env
    /work/peer-env/bin/pip install -c constraints.txt tensorflow-cpu==2.15.1 numpy pycocotools
    /work/peer-env/bin/pip install --no-deps keras-cv==0.8.2 keras-core==0.1.7 \\
        tensorflow-datasets==4.9.4 tensorflow-metadata==1.15.0 etils==1.7.0
    /work/peer-env/bin/pip install -c constraints.txt dm-tree namex rich regex
    /work/peer-env/bin/pip install -c constraints.txt --no-deps \\
        importlib_resources tqdm promise click psutil toml

(keras-cv imports tensorflow_datasets when it starts, which imports etils, promise,
tensorflow_metadata and the rest of the last line; their own dependencies are not
needed.) The crowded scenes come from the checkout's ``corvane.demo.crowded``, which the
script finds under ``python/``; it and what it imports are plain Python over numpy and
TensorFlow, which this environment has too.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

IMAGE_SIZE = 160
BATCH_SIZE = 32  # the demo's, which bench/crowded.py keeps
# The xs backbone preset's configuration (1,277,680 parameters) and the depth keras-cv
# gave the CSP blocks of the FPN at that scale.
XS_BACKBONE = {"stackwise_channels": [32, 64, 128, 256], "stackwise_depth": [1, 2, 2, 1]}
XS_FPN_DEPTH = 1
PEAK_RATE = 1e-3
# Our runner's operating point for mAP: DetectionRunner's score and NMS IoU, and COCO's
# 100 detections per image.
SCORE, NMS_IOU, MAX_DETECTIONS = 0.05, 0.5, 100
# COCOeval.stats: its summary's lines, in order; the figures bench/crowded.py prints.
STATS = {"mAP@.5:.95": 0, "mAP@.5": 1, "AP_small": 3, "AP_medium": 4, "AR@100": 8}


def labels(shapes):
    """Boxes and classes padded with -1 to the most objects of an image, as keras-cv's
    dense form has them."""
    import numpy as np

    most = max(len(b) for b in shapes.boxes)
    boxes = np.full((len(shapes), most, 4), -1, np.float32)
    classes = np.full((len(shapes), most), -1, np.float32)
    for index, rows in enumerate(shapes.boxes):
        boxes[index, : len(rows)] = rows[:, :4]
        classes[index, : len(rows)] = rows[:, 4]
    return {"boxes": boxes, "classes": classes}


def build(num_classes: int, steps: int):
    import keras_cv
    import tensorflow as tf

    backbone = keras_cv.models.YOLOV8Backbone(
        **XS_BACKBONE, include_rescaling=True, input_shape=(IMAGE_SIZE, IMAGE_SIZE, 3)
    )
    suppression = keras_cv.layers.MultiClassNonMaxSuppression(
        bounding_box_format="xyxy",
        from_logits=False,
        confidence_threshold=SCORE,
        iou_threshold=NMS_IOU,
        max_detections=MAX_DETECTIONS,
        max_detections_per_class=MAX_DETECTIONS,
    )
    model = keras_cv.models.YOLOV8Detector(
        backbone=backbone,
        num_classes=num_classes,
        bounding_box_format="xyxy",
        fpn_depth=XS_FPN_DEPTH,
        prediction_decoder=suppression,
    )
    schedule = tf.keras.optimizers.schedules.CosineDecay(
        PEAK_RATE / 10,
        decay_steps=steps,
        alpha=0.02,
        warmup_target=PEAK_RATE,
        warmup_steps=min(100, steps // 10),
    )
    model.compile(
        optimizer=tf.keras.optimizers.Adam(schedule, global_clipnorm=10.0),
        classification_loss="binary_crossentropy",
        box_loss="ciou",
        jit_compile=False,
    )
    return model


class EpochTimes:
    """Wall time of each epoch of ``fit``."""

    def __init__(self):
        import tensorflow as tf

        times = self.times = []

        class Callback(tf.keras.callbacks.Callback):
            def on_epoch_begin(self, epoch, logs=None):
                self.started = time.perf_counter()

            def on_epoch_end(self, epoch, logs=None):
                times.append(time.perf_counter() - self.started)

        self.callback = Callback()

    def rate(self, images: int) -> float:
        """Images/s: the median epoch after the first, or the first alone."""
        return images / statistics.median(self.times[1:] or self.times)


def scores(validation, found, num_classes: int) -> dict:
    """COCOeval's default figures of ``found`` (keras-cv's decoded predictions) against
    the validation scenes, in the same COCO records as bench/crowded.py makes."""
    import numpy as np
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    images, truth, results = [], [], []
    for index, boxes in enumerate(validation.boxes):
        image_id = index + 1
        images.append({"id": image_id, "height": IMAGE_SIZE, "width": IMAGE_SIZE})
        for x1, y1, x2, y2, cls in boxes.tolist():
            truth.append(
                {
                    "id": len(truth) + 1,
                    "image_id": image_id,
                    "category_id": int(cls) + 1,
                    "bbox": [x1, y1, x2 - x1, y2 - y1],
                    "area": (x2 - x1) * (y2 - y1),
                    "iscrowd": 0,
                }
            )
        count = int(found["num_detections"][index])
        rows = np.asarray(found["boxes"][index][:count], np.float64)
        # Our runner reports boxes inside the image; keras-cv's may reach past it.
        rows = np.clip(rows, 0, IMAGE_SIZE)
        for (x1, y1, x2, y2), cls, score in zip(
            rows.tolist(), found["classes"][index][:count], found["confidence"][index][:count]
        ):
            results.append(
                {
                    "image_id": image_id,
                    "category_id": int(cls) + 1,
                    "bbox": [x1, y1, x2 - x1, y2 - y1],
                    "score": float(score),
                }
            )
    if not results:  # loadRes refuses an empty list; nothing found scores 0
        return dict.fromkeys(STATS, 0.0)
    ground = COCO()
    categories = [{"id": k + 1} for k in range(num_classes)]
    ground.dataset = {"images": images, "annotations": truth, "categories": categories}
    with contextlib.redirect_stdout(io.StringIO()):
        ground.createIndex()
        scoring = COCOeval(ground, ground.loadRes(results), "bbox")
        scoring.evaluate()
        scoring.accumulate()
        scoring.summarize()
    return {name: float(scoring.stats[index]) for name, index in STATS.items()}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=40)
    parser.add_argument("--train-images", type=int, default=600)
    parser.add_argument("--validation-images", type=int, default=300)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quick", action="store_true", help="200 + 100 images, 10 epochs")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    if args.quick:
        args.train_images, args.validation_images, args.epochs = 200, 100, 10

    import numpy as np
    import tensorflow as tf

    from corvane.demo.crowded import crowded_splits
    from corvane.demo.data import CLASSES

    tf.keras.utils.set_random_seed(args.seed)
    # As the demo trains ours: the rates compare alike, and a rerun gives the same figures.
    tf.config.experimental.enable_op_determinism()
    train, validation = crowded_splits(args.train_images, args.validation_images)
    batches = (
        tf.data.Dataset.from_tensor_slices((train.images.astype(np.float32), labels(train)))
        .shuffle(len(train), seed=args.seed, reshuffle_each_iteration=True)
        .batch(BATCH_SIZE)
        .prefetch(tf.data.AUTOTUNE)
    )
    model = build(len(CLASSES), args.epochs * len(batches))
    timing = EpochTimes()
    started = time.monotonic()
    model.fit(batches, epochs=args.epochs, callbacks=[timing.callback], verbose=2)
    found = model.predict(validation.images.astype(np.float32), batch_size=BATCH_SIZE, verbose=0)
    figures = {**scores(validation, found, len(CLASSES)), "images/s": timing.rate(len(train))}
    print(f"peer: {figures} ({time.monotonic() - started:.0f} s)", file=sys.stderr)

    what = (
        f"crowded {IMAGE_SIZE} px, {args.train_images} images, {args.epochs} epochs, "
        f"{args.validation_images} validation images, seed {args.seed}"
    )
    print(f"\nkeras-cv YOLOV8Detector (xs backbone, fpn_depth {XS_FPN_DEPTH}, no weights), {what}")
    for name, value in figures.items():
        print(f"{name:12}{value:>12.1f}" if name == "images/s" else f"{name:12}{value:>12.4f}")
    if args.json:
        print(json.dumps(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
