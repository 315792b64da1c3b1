"""The demo's opening line: what the run is, before anything trains.

It names the devices and how they are used, the data and the output folder, so that a
captured console says which run it was. The per-epoch line is the library's
:class:`~corvane.tessmark.callbacks.RunProgress`.
"""

from __future__ import annotations


def opening_line(config, strategy, source, splits, out) -> str:
    return (
        f"\t - [INFO] Training on {devices(strategy, config.mixed_precision)}; "
        f"data: {data(config, source, splits)}; image size {config.image_size}; "
        f"detector: {config.detector}; output: {out}"
    )


def devices(strategy, mixed_precision: bool = False) -> str:
    """The devices that compute and the strategy over them."""
    import tensorflow as tf

    if strategy is None:
        gpus = tf.config.list_logical_devices("GPU")
        where = f"{gpus[0].name} (one device, no strategy)" if gpus else "the CPU (no strategy)"
    else:
        replicas = strategy.num_replicas_in_sync
        name = type(strategy).__name__
        resolver = getattr(strategy, "cluster_resolver", None)
        workers = len(resolver.cluster_spec().as_dict().get("worker", [])) if resolver else 0
        if workers > 1:
            where = f"{name}, {workers} workers, {replicas} replicas in all"
        else:
            shown = ", ".join(strategy.extended.worker_devices)
            where = f"{name} over {replicas} replicas ({shown})"
    if mixed_precision:
        where += f", mixed precision {tf.keras.mixed_precision.global_policy().name}"
    return where


def data(config, source, splits) -> str:
    """The data's source, format, image counts and classes."""
    classes = list(source.classes)
    counts = (
        f"{config.train_images} training and {config.validation_images} validation images, "
        f"{len(classes)} classes ({', '.join(classes)})"
    )
    if splits is None:
        what = "crowded scenes" if config.builtin == "crowded" else "shapes"
        return f"the built-in {what}, {counts}"
    if splits.format == "COCO":
        where = f"{splits.train.annotations} and {splits.validation.annotations}"
    else:
        where = config.data
    return f"{splits.format} {where}, {counts}"
