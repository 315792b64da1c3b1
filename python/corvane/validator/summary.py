"""The summary row: which of the evaluator's metrics each of its keys holds.

``DetectionTrainer`` publishes every validation pass as one row of 12 values, written to
``summary.csv`` (with "epoch" in front) and handed to the logger. :data:`ROW_KEYS` is the
one place the Python layer spells that mapping; :func:`metrics_of_row` reads a row back
into the evaluator's layout (``{"OP": ..., "mAP": {"0.5": ...}, ...}``).
"""

from __future__ import annotations

from collections.abc import Mapping

# Row key -> (metric of the evaluator's result, threshold key or None), in the row's order.
ROW_KEYS = {
    "mAP@0.5": ("mAP", "0.5"),
    "mAP@0.75": ("mAP", "0.75"),
    "mAP@0.5:0.95": ("mAP", "0.5:0.95"),
    "mACC@0.5": ("mACC", "0.5"),
    "mACC@0.75": ("mACC", "0.75"),
    "mACC@0.5:0.95": ("mACC", "0.5:0.95"),
    "mAR@0.5": ("mAR", "0.5"),
    "mAR@0.75": ("mAR", "0.75"),
    "mAR@0.5:0.95": ("mAR", "0.5:0.95"),
    "Overall-ACC": ("OA", None),
    "Overall-AP": ("OP", None),
    "Overall-AR": ("OR", None),
}


def row_of_metrics(metrics: Mapping) -> dict:
    """The 12 values of a summary row from an evaluator's metrics, as floats."""
    return {
        key: float(metrics[name] if threshold is None else metrics[name][threshold])
        for key, (name, threshold) in ROW_KEYS.items()
    }


def metrics_of_row(row: Mapping) -> dict:
    """A summary row in the evaluator's metrics layout ("epoch", if present, is left out)."""
    metrics: dict = {}
    for key, (name, threshold) in ROW_KEYS.items():
        if threshold is None:
            metrics[name] = row[key]
        else:
            metrics.setdefault(name, {})[threshold] = row[key]
    return metrics
