"""Argument binding of the compiled methods, their failure messages and traceback entries."""

import sys

import pytest

from corvane.tessmark.trainer.detection import DetectionTrainer as DT

FILE = "corvane\\tessmark\\trainer\\detection"


def last_entry(excinfo):
    tb = excinfo.tb
    while tb.tb_next:
        tb = tb.tb_next
    return tb


def entry_of(excinfo):
    tb = last_entry(excinfo)
    return tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno


@pytest.fixture
def bare():
    """A trainer with no state: binding is tested before any body step runs."""
    return DT.__new__(DT)


@pytest.mark.parametrize(
    "call, message, line",
    [
        (
            lambda t: DT.save_model(t),
            "save_model() takes exactly 2 positional arguments (1 given)",
            235,
        ),
        (
            lambda t: DT.__init__(t, 1, 2, 3),
            "__init__() takes at least 5 positional arguments (4 given)",
            57,
        ),
        (
            lambda t: t.remove_training_outputs(1, 2),
            "remove_training_outputs() takes at most 2 positional arguments (3 given)",
            207,
        ),
        (
            lambda t: DT.update_metrics(),
            "update_metrics() takes at least 1 positional argument (0 given)",
            286,
        ),
        (
            lambda t: t.run_validation_step(1, epoch=2),
            "run_validation_step() takes exactly 4 positional arguments (2 given)",
            409,
        ),
        (
            lambda t: t.train(epochs=1, bogus=2),
            "train() got an unexpected keyword argument 'bogus'",
            466,
        ),
        (
            lambda t: t.save_model(0.5, val=0.5),
            "save_model() got multiple values for keyword argument 'val'",
            235,
        ),
        (
            lambda t: DT.__init__(t, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
            "__init__() takes at most 15 positional arguments (16 given)",
            57,
        ),
    ],
)
def test_binding_messages_and_their_entry(bare, call, message, line):
    with pytest.raises(TypeError) as excinfo:
        call(bare)
    assert str(excinfo.value) == message
    name, filename, lineno = entry_of(excinfo)
    assert filename == FILE
    assert lineno == line
    assert name.startswith("corvane.tessmark.trainer.detection.DetectionTrainer.")


def test_keywords_fill_later_parameters_and_missing_required_is_a_count_error(bare):
    # loss (required) is neither positional nor named.
    with pytest.raises(TypeError) as excinfo:
        DT.__init__(bare, 1, 2, optimizer=3, logger=4)
    assert str(excinfo.value) == "__init__() takes at least 5 positional arguments (3 given)"
    # An unknown keyword is reported even when every other parameter is named.
    with pytest.raises(TypeError) as excinfo:
        bare.train(epochs=1, train_ds=None, start=1, callback_handler=None, nope=1)
    assert str(excinfo.value) == "train() got an unexpected keyword argument 'nope'"
    # Any parameter, self included, binds by name; the body then runs.
    with pytest.raises(AttributeError) as excinfo:
        DT.save_model(val=1.0, self=bare)
    assert "NCHW" in str(excinfo.value)


def test_number_parameter_is_converted_before_the_body(bare, tmp_path):
    bare.NCHW = False  # would be read first by the body
    with pytest.raises(TypeError) as excinfo:
        bare.save_model("0.5")
    assert str(excinfo.value) == "must be real number, not str"
    assert entry_of(excinfo) == (
        "corvane.tessmark.trainer.detection.DetectionTrainer.save_model",
        FILE,
        237,
    )


def test_update_metrics_accepts_only_exact_dicts(bare):
    class MyDict(dict):
        pass

    with pytest.raises(TypeError) as excinfo:
        bare.update_metrics(MyDict())
    assert str(excinfo.value) == (
        "Argument 'metrics' has incorrect type (expected dict, got MyDict)"
    )
    # This failure carries no entry of the method itself.
    assert excinfo.tb.tb_next is None
    with pytest.raises(TypeError) as excinfo:
        bare.update_metrics({}, losses=[1])
    assert str(excinfo.value) == "Argument 'losses' has incorrect type (expected dict, got list)"
    # None passes binding; the body then fails reading it.
    with pytest.raises(AttributeError) as excinfo:
        bare.update_metrics(None, None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'get'"


def test_failures_at_one_line_share_one_code_object(bare):
    codes = []
    for _ in range(3):
        with pytest.raises(TypeError) as excinfo:
            bare.save_model()
        codes.append(last_entry(excinfo).tb_frame.f_code)
    assert codes[0] is codes[1] is codes[2]
    with pytest.raises(TypeError) as excinfo:
        bare.to_nchw()
    assert last_entry(excinfo).tb_frame.f_code is not codes[0]


def test_repeated_calls_leave_reference_counts_unchanged(bare):
    class Odd:
        pass

    args = [Odd(), Odd(), {}, "x"]
    before = [sys.getrefcount(a) for a in args]
    for _ in range(50):
        with pytest.raises(TypeError):
            DT.__init__(bare, args[0], args[1])
        with pytest.raises(TypeError):
            bare.update_metrics(args[2], unknown=args[3])
        with pytest.raises(TypeError):
            bare.save_model(args[3])
    assert [sys.getrefcount(a) for a in args] == before
