"""Random mixes of positional and keyword arguments for every method: each call binds, or
fails with exactly the binding message its arguments call for, and never takes the
interpreter down. The expected outcome is worked out here from the parameter list alone,
and checked against ``inspect.Signature.bind``."""

import inspect
import re
import types

import pytest
from doubles import module_entries
from hypothesis import event, given, settings
from hypothesis import strategies as st

import corvane.tessmark.trainer.detection as detection
from corvane.tessmark.trainer.detection import DetectionTrainer

FILE = "corvane\\tessmark\\trainer\\detection"
QUALNAME = "corvane.tessmark.trainer.detection.DetectionTrainer."


class Inert(DetectionTrainer):
    """A trainer without state: every body fails at its first attribute read, and
    ``train_step`` cannot reach TensorFlow through ``preprocess_input``."""

    preprocess_input = None


class Mapping(dict):
    pass


class Text(str):
    pass


# name: (function, first line); the two tf.function methods are called undecorated.
METHODS = {
    "__init__": (DetectionTrainer.__init__, 57),
    "preprocess_input": (DetectionTrainer.preprocess_input.python_function, 143),
    "train_step": (DetectionTrainer.train_step.python_function, 160),
    "remove_training_outputs": (DetectionTrainer.remove_training_outputs, 207),
    "to_nchw": (DetectionTrainer.to_nchw, 226),
    "save_model": (DetectionTrainer.save_model, 235),
    "update_metrics": (DetectionTrainer.update_metrics, 286),
    "run_validation_step": (DetectionTrainer.run_validation_step, 409),
    "train": (DetectionTrainer.train, 466),
}
CONVERSION_LINE = 237  # save_model's val
KEYWORDS = sorted(
    {p for fn, _ in METHODS.values() for p in inspect.signature(fn).parameters}
    | {"bogus", "Self", "vals", "kwargs"}
)
FORMS = [
    r"\w+\(\) takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)",
    r"([\w.]+\.)?\w+\(\) got an unexpected keyword argument '\w+'",
    r"([\w.]+\.)?\w+\(\) got multiple values for keyword argument '\w+'",
    r"Argument '(metrics|losses)' has incorrect type \(expected dict, got \w+\)",
    r"must be real number, not \w+",
    r"int too large to convert to float",
]

values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 3),
    st.integers(min_value=2**1023, max_value=2**1030),
    st.floats(),
    st.text(max_size=3),
    st.lists(st.integers(0, 3), max_size=3),
    st.dictionaries(st.integers(0, 3), st.integers(0, 3), max_size=2),
    st.builds(Mapping),
    st.builds(object),
)
selves = st.one_of(st.builds(lambda: Inert.__new__(Inert)), values)
# The keyword as the caller spells it: the interned name, an equal copy, or a str subclass.
spellings = st.sampled_from([lambda k: k, lambda k: "".join(list(k)), Text])


@st.composite
def calls(draw, name):
    """Positional values (self first), a keyword dict and a second one unpacked after it."""
    params = list(inspect.signature(METHODS[name][0]).parameters)
    n = draw(st.integers(0, len(params) + 1))
    pos = [draw(selves)] + [draw(values) for _ in range(n - 1)] if n else []

    def keywords(names, max_size):
        keys = draw(st.lists(st.sampled_from(names), unique=True, max_size=max_size))
        if draw(st.integers(0, 3)) == 0:  # now and then a name the method does not have
            keys.append(draw(st.sampled_from([k for k in KEYWORDS if k not in params])))
        keys = draw(st.permutations(keys))
        return {draw(spellings)(k): draw(selves if k == "self" else values) for k in keys}

    kw = keywords(params, len(params))
    kw2 = keywords(params, 2) if draw(st.integers(0, 4)) == 0 else {}
    undecorated = name in ("preprocess_input", "train_step")
    bound = bool(pos) and isinstance(pos[0], Inert) and not undecorated and draw(st.booleans())
    return pos, kw, kw2, bound


def binding_failure(name, params, nrequired, pos, kw):
    """The message the arguments call for, by the binding rules, or None when they bind."""
    n, total = len(pos), len(params)
    exact = nrequired == total

    def count(too_few):
        how = "exactly" if exact else "at least" if too_few else "at most"
        number = nrequired if exact or too_few else total
        plural = "" if number == 1 else "s"
        return f"{name}() takes {how} {number} positional argument{plural} ({n} given)"

    if n > total:
        return count(too_few=False)
    if any(params[i] not in kw for i in range(n, nrequired)):
        return count(too_few=True)
    for key in kw:
        if key in params[:n]:
            return f"{name}() got multiple values for keyword argument '{key}'"
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'"
    return None


def typing_failure(name, bound):
    """(exception type, message, line or None) of a typed parameter refused on entry."""
    if name == "save_model":
        val = bound["val"]
        if isinstance(val, (int, float)):
            try:
                float(val)
            except OverflowError as exc:
                return OverflowError, str(exc), CONVERSION_LINE
            return None
        return TypeError, f"must be real number, not {type(val).__name__}", CONVERSION_LINE
    if name == "update_metrics":
        for param in ("metrics", "losses"):
            value = bound.get(param, {})
            if value is not None and type(value) is not dict:
                got = type(value).__name__
                message = f"Argument '{param}' has incorrect type (expected dict, got {got})"
                return TypeError, message, None
    return None


def expected_outcome(name, pos, kw, kw2):
    """(exception type, message, entry line or None), or None when the call reaches the body."""
    fn, first_line = METHODS[name]
    repeated = [key for key in kw2 if key in kw]
    if repeated:  # the interpreter refuses the unpacking before any call
        message = f"{QUALNAME}{name}() got multiple values for keyword argument '{repeated[0]}'"
        return TypeError, message, None
    kw = {**kw, **kw2}
    signature = inspect.signature(fn)
    params = list(signature.parameters)
    nrequired = sum(p.default is inspect.Parameter.empty for p in signature.parameters.values())
    message = binding_failure(name, params, nrequired, pos, kw)
    try:
        bound = signature.bind(*pos, **kw).arguments
    except TypeError:
        assert message is not None, "inspect refuses a call the rules accept"
        return TypeError, message, first_line
    assert message is None, f"inspect accepts a call the rules refuse: {message}"
    return typing_failure(name, bound)


@pytest.fixture(scope="module", autouse=True)
def no_tensorflow():
    """Bodies that get as far as TensorFlow stop there at once."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(detection, "tf", types.SimpleNamespace())
        yield


@pytest.mark.parametrize("name", list(METHODS))
@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_every_call_binds_or_fails_with_its_binding_message(name, data):
    pos, kw, kw2, bound = data.draw(calls(name))
    fn, first_line = METHODS[name]
    expected = expected_outcome(name, pos, kw, kw2)
    try:
        if bound:
            getattr(pos[0], name)(*pos[1:], **kw, **kw2)
        else:
            fn(*pos, **kw, **kw2)
    except Exception as exc:
        caught = exc
    else:
        caught = None
    if expected is not None:
        error, message, line = expected
        form = next((form for form in FORMS if re.fullmatch(form, message)), None)
        assert form is not None, message
        event(form)
        assert type(caught) is error and str(caught) == message
        assert module_entries(caught) == ([(QUALNAME + name, line)] if line else [])
    elif caught is not None:
        # The body ran: whatever it raised carries an entry at one of its own lines.
        event("bound")
        entries = module_entries(caught)
        assert entries and entries[-1][0] == QUALNAME + name, (caught, entries)
        assert entries[-1][1] not in (first_line, CONVERSION_LINE if name == "save_model" else 0)
        assert not any(re.fullmatch(form, str(caught)) for form in FORMS)
