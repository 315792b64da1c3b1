"""What decoding every image whole costs the readers, on 10,000 PNG images of 160 x 160.

    .venv/bin/python bench/image_check.py [--images 10000] [--repeats 3] [--quick] [--json]

The images (a gradient, three coloured blocks and a little noise, about 30 KB each) are
written to a temporary folder as a YOLO split without label files, and read with
``read_yolo`` twice: with the whole decode (the default) and with ``decode=False``, the
headers only. The check's cost is the difference. The files are in the page cache, as
right after a copy; from a cold disk the reading adds to both. Medians over the repeats,
with the spread (max - min), after one warm-up read of 100 images. ``--quick``: 200
images, one read each.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "python")]
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

from corvane.tessmark.yolo import read_yolo  # noqa: E402

SIZE = 160


def write_images(folder: str, count: int) -> str:
    """``count`` PNG images under ``folder/images/train``; returns the ``data.yaml``."""
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:SIZE, 0:SIZE]
    base = np.stack([(x + y) // 2, x * 255 // SIZE, y * 255 // SIZE], -1).astype(np.uint8)
    images = os.path.join(folder, "images", "train")
    os.makedirs(images)
    for index in range(count):
        pixels = base.copy()
        for _ in range(3):
            (top, left), (height, width) = rng.integers(0, 120, 2), rng.integers(10, 40, 2)
            pixels[top : top + height, left : left + width] = rng.integers(0, 256, 3)
        pixels += rng.integers(0, 4, pixels.shape, dtype=np.uint8)
        Image.fromarray(pixels).save(os.path.join(images, f"{index:05d}.png"))
    path = os.path.join(folder, "data.yaml")
    with open(path, "w") as f:
        f.write("train: images/train\nnames: [block]\n")
    return path


def timed(data_yaml: str, decode: bool, repeats: int) -> list[float]:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        read_yolo(data_yaml, decode=decode)
        times.append(time.perf_counter() - start)
    return times


def measure(count: int, repeats: int):
    with tempfile.TemporaryDirectory() as folder:
        warm = write_images(os.path.join(folder, "warm"), min(count, 100))
        read_yolo(warm)  # TensorFlow's start-up is no part of the check
        data_yaml = write_images(os.path.join(folder, "set"), count)
        os.sync()  # the write-back of the new files would slow the first read
        headers = timed(data_yaml, False, repeats)
        whole = timed(data_yaml, True, repeats)
    return headers, whole


def seconds(times: list[float]) -> str:
    return f"{statistics.median(times):.2f} s (spread {max(times) - min(times):.2f} s)"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=10000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200 images, one read each")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    count, repeats = (200, 1) if args.quick else (args.images, args.repeats)
    headers, whole = measure(count, repeats)
    check = statistics.median(whole) - statistics.median(headers)
    what = f"{count} PNG {SIZE}x{SIZE}"
    rows = [
        [f"read_yolo, {what}, whole decode", seconds(whole), seconds(headers),
         f"{statistics.median(whole) / statistics.median(headers):.1f}", "peer: headers only"],
        [f"the whole-decode check, {what}", f"{check:.2f} s", "", "",
         f"{count / check:.0f} images/s" if check > 0 else "too few images to tell"],
    ]  # fmt: skip
    for row in rows:
        print(" | ".join(row), file=sys.stderr)
    if args.json:
        print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
