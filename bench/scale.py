"""How large a benchmark runs: its full form, ``--quick``, or the test suite's smoke form.

The smoke form (``CORVANE_BENCH_SMOKE=1``, inherited by the benchmarks run in processes of
their own) gives every benchmark the tiniest sizes that still go through all its code, so
that the suite notices a benchmark that no longer runs; its figures mean nothing.
"""

import os

SMOKE = os.environ.get("CORVANE_BENCH_SMOKE") == "1"


def sized(quick: bool, full, quick_value, smoke_value):
    """``smoke_value`` in the smoke form, else ``quick_value`` or ``full`` as asked."""
    if SMOKE:
        return smoke_value
    return quick_value if quick else full
